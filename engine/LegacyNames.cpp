#include "engine/LegacyNames.h"

#include <cstring>

namespace {
struct TFlagPart {
    char sign;  // '+', '-' or 0 when the part has none (a plain flag name sets it)
    std::string name;
};

// "+a-b+c" -> {+a, -b, +c}.
std::vector<TFlagPart> SplitFlags(const std::string& value) {
    std::vector<TFlagPart> parts;
    size_t i = 0;
    while (i < value.size()) {
        char sign = 0;
        if (value[i] == '+' || value[i] == '-') sign = value[i++];
        const size_t end = value.find_first_of("+-", i);
        std::string name = value.substr(i, end == std::string::npos ? std::string::npos : end - i);
        if (!name.empty() || sign) parts.push_back({sign, std::move(name)});
        if (end == std::string::npos) break;
        i = end;
    }
    return parts;
}

const TLegacyOptionRow* FindOptionRow(const std::string& legacyName) {
    for (const TLegacyOptionRow& row : LegacyOptionTable())
        if (legacyName == row.legacyName) return &row;
    return nullptr;
}

// The old codec flag names for libx264's partitions, and today's list entries.
constexpr std::pair<const char*, const char*> kPartitions[] = {
    {"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"}, {"partp8x8", "p8x8"}, {"partb8x8", "b8x8"}};

// Today's libx264 reads its partitions as a list and looks for the partition names anywhere in it, so
// an old "-partp8x8" would turn p8x8 on. Only the "+" parts are kept.
std::string TodayPartitions(const std::string& value) {
    const std::vector<TFlagPart> parts = SplitFlags(value);
    bool legacy = false;
    for (const TFlagPart& p : parts)
        for (const auto& [old, today] : kPartitions)
            if (p.name == old) legacy = true;
    if (!legacy) return value;
    std::string list;
    for (const TFlagPart& p : parts) {
        if (p.sign == '-') continue;
        for (const auto& [old, today] : kPartitions) {
            if (p.name != old) continue;
            if (!list.empty()) list += ',';
            list += today;
        }
    }
    return list.empty() ? "none" : list;
}
}  // namespace

const std::vector<TLegacyEncoderRow>& LegacyEncoderTable() {
    static const std::vector<TLegacyEncoderRow> table = {
        {"libfaac", "aac"},
        {"libflac", "flac"},
        // The native Vorbis encoder is experimental and stereo-only.
        {"vorbis", "libvorbis"},
    };
    return table;
}

const std::vector<TLegacyOptionRow>& LegacyOptionTable() {
    static const std::vector<TLegacyOptionRow> table = {
        {"directpred", "direct-pred", nullptr, nullptr},
        {"cqp", "qp", nullptr, nullptr},
        {"flags:scan_offset", "scan_offset", "1", "0"},
        {"flags2:wpred", "weightb", "1", "0"},
        {"flags2:dct8x8", "8x8dct", "1", "0"},
        {"flags2:bpyramid", "b-pyramid", "normal", "none"},
        {"flags2:mixed_refs", "mixed-refs", "1", "0"},
        {"flags2:fastpskip", "fast-pskip", "1", "0"},
    };
    return table;
}

std::string TodayEncoderName(const std::string& name) {
    for (const TLegacyEncoderRow& row : LegacyEncoderTable())
        if (name == row.legacyName) return row.todayName;
    return name;
}

std::vector<std::pair<std::string, std::string>> TodayOptions(const std::string& name, const std::string& value) {
    if (name == "flags" || name == "flags2") {
        std::vector<std::pair<std::string, std::string>> result;
        std::string rest;
        for (const TFlagPart& p : SplitFlags(value)) {
            const TLegacyOptionRow* row = FindOptionRow(name + ":" + p.name);
            if (row) {
                result.emplace_back(row->todayName, p.sign == '-' ? row->offValue : row->onValue);
            } else {
                if (p.sign) rest += p.sign;
                rest += p.name;
            }
        }
        if (!rest.empty()) result.emplace_back(name, rest);
        return result;
    }
    if (name == "partitions") return {{name, TodayPartitions(value)}};
    if (const TLegacyOptionRow* row = FindOptionRow(name)) return {{row->todayName, row->onValue ? row->onValue : value}};
    return {{name, value}};
}
