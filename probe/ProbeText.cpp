#include "probe/ProbeText.h"

#include <cmath>
#include <ctime>
#include <string_view>

#include "engine/FFUtils.h"

extern "C" {
#include <libavutil/dict.h>
}

std::string ProbeSizeText(int64_t bytes) {
    constexpr int64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
    if (bytes < 0) return "N/A";
    if (bytes <= kKiB) return Format("%lld Byte", static_cast<long long>(bytes));
    if (bytes <= kMiB) return Format("%.2f KB", static_cast<double>(bytes) / kKiB);
    if (bytes <= kGiB) return Format("%.2f MB", static_cast<double>(bytes) / kMiB);
    return Format("%.2f GB", static_cast<double>(bytes) / kGiB);
}

std::string ProbeRateItem(double value, const char* unit) {
    const long long hundredths = std::llround(value * 100);
    if (hundredths % 100 != 0) return Format(", %3.2f %s", value, unit);
    if (hundredths % (100 * 1000) != 0) return Format(", %1.0f %s", value, unit);
    return Format(", %1.0fk %s", value / 1000, unit);
}

std::string ProbeSecondsText(int64_t microseconds) {
    // Unsigned magnitude: INT64_MIN has no positive counterpart.
    const bool negative = microseconds < 0;
    const uint64_t v = negative ? 0 - static_cast<uint64_t>(microseconds) : static_cast<uint64_t>(microseconds);
    return Format("%s%llu.%.6llu", negative ? "-" : "", static_cast<unsigned long long>(v / 1000000),
                  static_cast<unsigned long long>(v % 1000000));
}

std::string ProbeLocalTimeText(int64_t secondsSince1970) {
    const std::time_t t = static_cast<std::time_t>(secondsSince1970);
    std::tm local{};
    if (!localtime_r(&t, &local)) return "N/A";
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return buf;
}

std::string ProbeMetadataKeyName(const std::string& key) {
    struct Name {
        std::string_view id, name;
    };
    static constexpr Name kId3Names[] = {
        {"TALB", "album"},     {"TAL", "album"},       {"TCOM", "composer"},   {"TCON", "genre"},
        {"TCO", "genre"},      {"TCOP", "copyright"},  {"TDRL", "date"},       {"TENC", "encoder"},
        {"TEN", "encoder"},    {"TIT2", "title"},      {"TT2", "title"},       {"TLAN", "language"},
        {"TPE1", "artist"},    {"TP1", "artist"},      {"TPOS", "disc"},       {"TPUB", "publisher"},
        {"TRCK", "track"},     {"TRK", "track"},       {"TSOA", "albumsort"},  {"TSOP", "authorsort"},
        {"TSOT", "titlesort"}, {"TYER", "year"},
    };
    for (const Name& n : kId3Names)
        if (key == n.id) return std::string(n.name);
    return key;
}

std::vector<std::string> ProbeMetadataBlock(const AVDictionary* dict, const std::string& prefix) {
    std::vector<std::string> lines;
    const int count = av_dict_count(dict);
    if (count == 0) return lines;
    if (count == 1 && av_dict_get(dict, "", nullptr, AV_DICT_IGNORE_SUFFIX)->key == std::string_view("language"))
        return lines;
    lines.push_back(prefix + "Metadata:");
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX))) {
        if (std::string_view(e->key) == "language") continue;
        const std::string head = Format("%s  %-16s: ", prefix.c_str(), ProbeMetadataKeyName(e->key).c_str());
        // A line break inside a value would start a line without the prefix: continue it aligned.
        std::string_view value = e->value;
        bool first = true;
        for (;;) {
            const size_t lf = value.find_first_of("\r\n");
            const std::string_view part = value.substr(0, lf);
            lines.push_back((first ? head : std::string(head.size(), ' ')) + std::string(part));
            first = false;
            if (lf == std::string_view::npos) break;
            value.remove_prefix(lf + (value.compare(lf, 2, "\r\n") == 0 ? 2 : 1));
        }
    }
    return lines;
}
