#include "engine/Presets.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/CustomFFmpeg.h"
#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {
std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool SameText(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// ---- the built-in table ----

// One libx264 speed as the encoder settings that differ between the speeds.
struct TX264Speed {
    int coder;
    bool loopFilter;
    const char* partitions;
    const char* meMethod;
    int subq;
    int meRange;
    int scThreshold;
    int bStrategy;
    int bFrames;
    int refs;
    int directPred;  // 1 spatial, 3 auto
    int trellis;
    const char* flags2;
    int weightP;
};

constexpr const char* kAllPartitions = "+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8";
constexpr const char* kDefaultPartitions = "+parti8x8+parti4x4+partp8x8+partb8x8";
constexpr const char* kIntraPartitions = "+parti8x8+parti4x4-partp8x8-partb8x8";
constexpr const char* kNoPartitions = "-parti8x8-parti4x4-partp8x8-partb8x8";
constexpr const char* kAllFlags2 = "+bpyramid+mixed_refs+wpred+dct8x8+fastpskip";

// The encoder's speeds, fastest first.
constexpr TX264Speed kUltrafast = {0, false, kNoPartitions, "dia", 0, 16, 0, 0, 0, 1, 1, 0, "-bpyramid-mixed_refs-wpred-dct8x8+fastpskip", 0};
constexpr TX264Speed kSuperfast = {1, true, kIntraPartitions, "dia", 1, 16, 40, 1, 3, 1, 1, 0, "+bpyramid-mixed_refs+wpred+dct8x8+fastpskip", 1};
constexpr TX264Speed kVeryfast = {1, true, kDefaultPartitions, "hex", 2, 16, 40, 1, 3, 1, 1, 0, "+bpyramid-mixed_refs+wpred+dct8x8+fastpskip", 1};
constexpr TX264Speed kFaster = {1, true, kDefaultPartitions, "hex", 4, 16, 40, 1, 3, 2, 1, 1, "+bpyramid-mixed_refs+wpred+dct8x8+fastpskip", 1};
constexpr TX264Speed kFast = {1, true, kDefaultPartitions, "hex", 6, 16, 40, 1, 3, 2, 1, 1, kAllFlags2, 2};
constexpr TX264Speed kMedium = {1, true, kDefaultPartitions, "hex", 7, 16, 40, 1, 3, 3, 1, 1, kAllFlags2, 2};
constexpr TX264Speed kSlow = {1, true, kDefaultPartitions, "umh", 8, 16, 40, 2, 3, 5, 3, 1, kAllFlags2, 2};
constexpr TX264Speed kSlower = {1, true, kAllPartitions, "umh", 9, 16, 40, 2, 3, 8, 3, 2, kAllFlags2, 2};
constexpr TX264Speed kVeryslow = {1, true, kAllPartitions, "umh", 10, 24, 40, 2, 8, 16, 3, 2, kAllFlags2, 2};
constexpr TX264Speed kPlacebo = {1, true, kAllPartitions, "tesa", 11, 24, 40, 2, 16, 16, 3, 2, "+bpyramid+mixed_refs+wpred+dct8x8-fastpskip", 2};

// A quick first pass: its statistics serve the second pass, so the analysis is cut down to what
// the rate control needs.
TX264Speed FirstPass(TX264Speed s) {
    s.partitions = kNoPartitions;
    s.meMethod = "dia";
    s.subq = std::min(s.subq, 2);
    s.refs = 1;
    s.trellis = 0;
    s.flags2 = s.bFrames == 0 ? "-bpyramid-mixed_refs-wpred-dct8x8+fastpskip" : "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip";
    s.weightP = std::min(s.weightP, 1);
    return s;
}

// The full parameter set of a speed, in the same order as the other sets; `qmin` 0 with "cqp=0"
// makes the lossless variants.
std::string SpeedText(const TX264Speed& s, bool lossless = false) {
    std::ostringstream t;
    t << "coder=" << s.coder << "\nflags=" << (s.loopFilter ? "+loop" : "-loop") << "\ncmp=+chroma\npartitions="
      << s.partitions << "\nme_method=" << s.meMethod << "\nsubq=" << s.subq << "\nme_range=" << s.meRange
      << "\ng=250\nkeyint_min=25\nsc_threshold=" << s.scThreshold << "\ni_qfactor=0.71\nb_strategy=" << s.bStrategy
      << "\nqcomp=0.6\nqmin=" << (lossless ? 0 : 10) << "\nqmax=51\nqdiff=4\nbf=" << s.bFrames << "\nrefs=" << s.refs
      << "\ndirectpred=" << s.directPred << "\ntrellis=" << s.trellis << "\nflags2=" << s.flags2
      << "\nwpredp=" << s.weightP;
    if (lossless) t << "\ncqp=0";
    return t.str();
}

// The portable-player sets share this form; each differs in a few lines.
constexpr const char* kPsp =
    "coder=1\nflags=+loop\nlevel=30\ncmp=+chroma\npartitions=+parti4x4+parti8x8+partp8x8+partb8x8\nme_method=umh\n"
    "subq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\n"
    "qmax=51\nqdiff=4\nbf=3\nrefs=1\ndirectpred=1\ntrellis=2\nb=1250000\nmaxrate=1500000\nbufsize=4000000\n"
    "bt=256000\nsc_threshold=40";
constexpr const char* kPs3 =
    "coder=1\nflags=+loop\nlevel=30\ncmp=+chroma\npartitions=+parti4x4+parti8x8+partp8x8+partb8x8\nme_method=umh\n"
    "subq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\n"
    "qmax=51\nqdiff=4\nbf=3\nrefs=1\ndirectpred=1\ntrellis=2\nmaxrate=3500000\nbufsize=4000000\nbt=256000";
constexpr const char* kIpod =
    "coder=0\nflags=+loop\nlevel=30\ncmp=+chroma\npartitions=+parti4x4+parti8x8+partp8x8\nme_method=umh\n"
    "subq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\n"
    "qmax=51\nqdiff=4\nrefs=1\ndirectpred=1\ntrellis=2\nb=1000000\nmaxrate=1250000\nbufsize=4000000\nbt=256000";

std::vector<TOptionsPreset> MakeBuiltinPresets() {
    const std::string medium =
        "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\nme_method=hex\nsubq=7\n"
        "me_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\n"
        "qmax=51\nqdiff=4\nbf=3\nrefs=3\ndirectpred=1\ntrellis=1\nflags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
        "wpredp=2";
    return {
        {"libx264-baseline", "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0"},
        {"libx264-default", SpeedText(kMedium)},
        {"libx264-fast", SpeedText(kFast)},
        {"libx264-fast_firstpass", SpeedText(FirstPass(kFast))},
        {"libx264-faster", SpeedText(kFaster)},
        {"libx264-faster_firstpass", SpeedText(FirstPass(kFaster))},
        {"libx264-fastfirstpass", SpeedText(FirstPass(kMedium))},
        {"libx264-hq", SpeedText(kSlow)},
        {"libx264-ipod320", "coder=0\nbf=0\nflags2=-wpred-dct8x8\nlevel=13\nmaxrate=768000\nbufsize=3000000\nwpredp=0"},
        {"libx264-ipod640",
         "coder=0\nbf=0\nrefs=1\nflags2=-wpred-dct8x8\nlevel=30\nmaxrate=10000000\nbufsize=10000000\nwpredp=0"},
        {"libx264-lossless_fast", SpeedText(kFast, true)},
        {"libx264-lossless_max", SpeedText(kPlacebo, true)},
        {"libx264-lossless_medium", SpeedText(kMedium, true)},
        {"libx264-lossless_slow", SpeedText(kSlow, true)},
        {"libx264-lossless_slower", SpeedText(kSlower, true)},
        {"libx264-lossless_ultrafast", SpeedText(kUltrafast, true)},
        {"libx264-main", "flags2=-dct8x8"},
        {"libx264-max", SpeedText(kPlacebo)},
        {"libx264-medium", medium},
        {"libx264-medium_firstpass", SpeedText(FirstPass(kMedium))},
        {"libx264-normal", SpeedText(kFast)},
        {"libx264-placebo", SpeedText(kPlacebo)},
        {"libx264-placebo_firstpass", SpeedText(FirstPass(kPlacebo))},
        {"libx264-slow", SpeedText(kSlow)},
        {"libx264-slow_firstpass", SpeedText(FirstPass(kSlow))},
        {"libx264-slower", SpeedText(kSlower)},
        {"libx264-slower_firstpass", SpeedText(FirstPass(kSlower))},
        {"libx264-slowfirstpass", SpeedText(kSlow)},
        {"libx264-superfast", SpeedText(kSuperfast)},
        {"libx264-superfast_firstpass", SpeedText(FirstPass(kSuperfast))},
        {"libx264-ultrafast", SpeedText(kUltrafast)},
        {"libx264-ultrafast_firstpass", SpeedText(FirstPass(kUltrafast))},
        {"libx264-veryfast", SpeedText(kVeryfast)},
        {"libx264-veryfast_firstpass", SpeedText(FirstPass(kVeryfast))},
        {"libx264-veryslow", SpeedText(kVeryslow)},
        {"libx264-veryslow_firstpass", SpeedText(FirstPass(kVeryslow))},
        {"libx264-psp", kPsp},
        {"libx264-ps3", kPs3},
        {"libx264-ipod", kIpod},
        {"libx264-mp4", kPsp},
    };
}

// ---- preset files ----

std::string ReadPresetFile(const std::string& fileName) {
    std::error_code ec;
    const auto status = std::filesystem::status(fileName, ec);
    if (ec || !std::filesystem::exists(status) || std::filesystem::is_directory(status))
        throw FFmpegException(Format("Preset \"%s\" not found", fileName.c_str()));
    std::ifstream in(fileName, std::ios::binary);
    if (!in) throw FFmpegException(Format("Cannot open file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw FFmpegException(Format("Cannot read file \"%s\". %s", fileName.c_str(), std::strerror(errno)));
    return text.str();
}

// ---- targets ----

enum TNorm { nmPAL, nmNTSC, nmFILM };

int RateCode(int num, int den) { return static_cast<int>(std::lround(static_cast<double>(num) * 1000.0 / den)); }

bool NormOfRate(int code, TNorm* norm) {
    if (code == 25000) {
        *norm = nmPAL;
        return true;
    }
    if (code == 29970 || code == 23976) {
        *norm = nmNTSC;
        return true;
    }
    return false;
}

TNorm DetectNorm(TCustomFFmpeg& task, const std::string& defaultNorm) {
    const AVRational r = task.Settings().frameRate;
    if (r.den == 0) throw FFmpegException("frame_rate is invalid.");
    TNorm norm;
    if (NormOfRate(RateCode(r.num, r.den), &norm)) return norm;
    for (int i = 0; i < task.InputFileCount(); ++i) {
        const AVFormatContext* ic = task.InputFile(i);
        if (!ic) continue;
        for (unsigned j = 0; j < ic->nb_streams; ++j) {
            AVStream* st = ic->streams[j];
            if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
            // The stream's frame rate stands for the decoder time base of older libraries.
            const AVRational rate = st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0 ? st->r_frame_rate : st->avg_frame_rate;
            if (rate.num > 0 && rate.den > 0 && NormOfRate(RateCode(rate.num, rate.den), &norm)) return norm;
        }
    }
    if (defaultNorm == "film") return nmFILM;
    if (defaultNorm == "ntsc") return nmNTSC;
    return nmPAL;
}

void AssumeAspect(TCustomFFmpeg& task, const char* aspect) {
    if (task.Settings().frameAspectRatio != 0.0) return;
    TFFLogger::Instance().LogFmt(&task, llInfo, "Assuming %s for aspect ratio", aspect);
    task.SetOption("aspect", aspect);
}
}  // namespace

const std::vector<TOptionsPreset>& BuiltinPresets() {
    static const std::vector<TOptionsPreset> table = MakeBuiltinPresets();
    return table;
}

const TOptionsPreset* FindBuiltinPreset(const std::string& name) {
    for (const TOptionsPreset& p : BuiltinPresets())
        if (SameText(p.name, name)) return &p;
    return nullptr;
}

void ApplyPresetOption(TCustomFFmpeg& task, const std::string& option, const std::string& value) {
    if (option.empty() || value.empty()) return;
    const char kind = option[0];
    if (kind != 'f') {
        if (const TOptionsPreset* p = FindBuiltinPreset(value)) return ApplyPresetText(task, p->name, p->content);
        const TTaskSettings& s = task.Settings();
        const std::string& codec = kind == 'v' ? s.videoCodecName : kind == 'a' ? s.audioCodecName : s.subtitleCodecName;
        if (!codec.empty())
            if (const TOptionsPreset* p = FindBuiltinPreset(codec + "-" + value))
                return ApplyPresetText(task, p->name, p->content);
    }
    ApplyPresetText(task, value, ReadPresetFile(value));
}

void ApplyPresetText(TCustomFFmpeg& task, const std::string& presetName, const std::string& text) {
    std::string normalised;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            normalised += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            normalised += text[i];
        }
    }
    std::istringstream lines(Trim(normalised));
    std::string raw;
    while (std::getline(lines, raw)) {
        const std::string line = Trim(raw);
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? line : Trim(line.substr(0, eq));
        const std::string val = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        if (key.empty() || val.empty())
            throw FFmpegException(Format("%s: Invalid syntax: \"%s\"", presetName.c_str(), line.c_str()));
        if (SameText(key, "acodec") || SameText(key, "vcodec") || SameText(key, "scodec")) {
            std::string lower = key;
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            task.SetOption(lower, val);
            continue;
        }
        TOptionStore* store = task.OptionStore();
        if (!store || !store->Set(key, val))
            throw FFmpegException(Format("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                                         presetName.c_str(), line.c_str(), key.c_str(), val.c_str()));
    }
}

void ApplyTargetOption(TCustomFFmpeg& task, const std::string& value) {
    const std::string v = Trim(value);
    std::string norm = "auto", kind = v;
    for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
        if (v.rfind(prefix, 0) == 0) {
            norm = std::string(prefix, std::strlen(prefix) - 1);
            kind = v.substr(std::strlen(prefix));
            break;
        }
    }
    ApplyTarget(task, kind, norm, "ntsc");
}

void ApplyTarget(TCustomFFmpeg& task, const std::string& kind, const std::string& norm, const std::string& defaultNorm) {
    TNorm n;
    if (norm == "pal") {
        n = nmPAL;
    } else if (norm == "ntsc") {
        n = nmNTSC;
    } else if (norm == "film") {
        n = nmFILM;
    } else {
        n = DetectNorm(task, defaultNorm);
        if (task.Settings().verbose > 0)
            TFFLogger::Instance().LogFmt(&task, llVerbose, "Assuming %s for target.", n == nmPAL ? "PAL" : "NTSC");
    }
    const bool pal = n == nmPAL;
    const char* rate = pal ? "25" : n == nmNTSC ? "30000/1001" : "24000/1001";
    const char* gop = pal ? "15" : "18";
    TOptionStore* store = task.OptionStore();
    auto put = [&](const char* name, const char* value) {
        if (store) store->Set(name, value);
    };

    if (kind == "vcd") {
        task.SetOption("vcodec", "mpeg1video");
        task.SetOption("acodec", "mp2");
        task.SetOption("f", "vcd");
        task.SetOption("s", pal ? "352x288" : "352x240");
        task.SetOption("r", rate);
        put("g", gop);
        put("b", "1150000");
        put("maxrate", "1150000");
        put("minrate", "1150000");
        put("bufsize", "327680");
        put("ab", "224000");
        task.SetOption("ar", "44100");
        task.SetOption("ac", "2");
        put("packetsize", "2324");
        put("muxrate", "1411200");
        task.SetOption("muxpreload", "0.44");
        AssumeAspect(task, "4:3");
    } else if (kind == "svcd") {
        task.SetOption("vcodec", "mpeg2video");
        task.SetOption("acodec", "mp2");
        task.SetOption("f", "svcd");
        task.SetOption("s", pal ? "480x576" : "480x480");
        task.SetOption("r", rate);
        put("g", gop);
        put("b", "2040000");
        put("maxrate", "2516000");
        put("minrate", "0");
        put("bufsize", "1835008");
        put("flags", "+scan_offset");
        put("ab", "224000");
        task.SetOption("ar", "44100");
        put("packetsize", "2324");
        if (task.Settings().audioChannels == 1) task.SetOption("ac", "2");
        AssumeAspect(task, "4:3");
    } else if (kind == "dvd") {
        task.SetOption("vcodec", "mpeg2video");
        task.SetOption("acodec", "ac3");
        task.SetOption("f", "dvd");
        task.SetOption("s", pal ? "720x576" : "720x480");
        task.SetOption("r", rate);
        put("g", gop);
        put("b", "6000000");
        put("maxrate", std::to_string(kDvdMaxRate).c_str());
        put("minrate", "0");
        put("bufsize", std::to_string(kDvdBufferSize).c_str());
        put("packetsize", "2048");
        put("muxrate", "10080000");
        put("ab", "448000");
        task.SetOption("ar", "48000");
        if (task.Settings().audioChannels == 1) task.SetOption("ac", "2");
        AssumeAspect(task, "16:9");
    } else if (kind == "dv" || kind == "dv50") {
        task.SetOption("f", "dv");
        task.SetOption("s", pal ? "720x576" : "720x480");
        task.SetOption("pix_fmt", kind == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
        task.SetOption("r", rate);
        task.SetOption("ar", "48000");
        task.SetOption("ac", "2");
    } else {
        throw FFmpegException("Unknown target type");
    }
}
