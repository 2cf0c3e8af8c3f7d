#include "engine/OptionHandlers.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>

#include "engine/CustomFFmpeg.h"
#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"
#include "engine/Presets.h"

extern "C" {
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
}

namespace {
std::string Trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The number at the start of `p` (0 when there is none), whatever the process's locale.
double LeadingDouble(const char* p) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '+') ++p;
    double v = 0.0;
    std::from_chars(p, p + std::strlen(p), v);
    return v;
}

[[noreturn]] void Fail(const std::string& message) { throw FFmpegException(message); }

void DoNothing(TCustomFFmpeg& task, const std::string& name, const std::string&) {
    TFFLogger::Instance().Log(&task, llInfo, "Do nothing: option - " + name);
}

void Todo(TCustomFFmpeg&, const std::string& name, const std::string&) { Fail("TODO: option - " + name); }

void PadRemoved(TCustomFFmpeg&, const std::string&, const std::string&) { Fail("Please use vfilters=pad"); }

void LogLevel(TCustomFFmpeg&, const std::string&, const std::string& value) {
    static const char* const kNames[] = {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"};
    for (const char* n : kNames)
        if (strcasecmp(value.c_str(), n) == 0) return TFFLogger::Instance().SetLogLevelByName(value);
    ParseIntValue(value);  // a level that is not a name must be a number
    TFFLogger::Instance().SetLogLevelByName(Trimmed(value));
}

void TimeLimit(TCustomFFmpeg& task, const std::string&, const std::string&) {
    TFFLogger::Instance().Log(&task, llWarning, "Warning: -timelimit not implemented on Windows");
}

// strtol with base detection, then one separator character skipped when present.
long NextNumber(const char*& p) {
    char* end = nullptr;
    const long v = std::strtol(p, &end, 0);
    p = end;
    if (*p) ++p;
    return v;
}
}  // namespace

// Handlers that write the task's settings directly (TCustomFFmpeg grants this struct access).
struct TOptionHandlers {
    static TTaskSettings& S(TCustomFFmpeg& t) { return t.settings_; }

    static void Apply(TCustomFFmpeg& task, const TOptionDef& row, const std::string& name, const std::string& value) {
        TTaskSettings& s = S(task);
        std::visit(
            [&](auto target) {
                using T = decltype(target);
                if constexpr (std::is_same_v<T, TOptionFn>) {
                    target(task, name, value);
                } else if constexpr (std::is_same_v<T, bool TTaskSettings::*>) {
                    s.*target = row.kind == TValueKind::vkAny || value != "0";
                } else if constexpr (std::is_same_v<T, int TTaskSettings::*>) {
                    s.*target = ParseIntValue(value);
                } else if constexpr (std::is_same_v<T, int64_t TTaskSettings::*>) {
                    s.*target = row.kind == TValueKind::vkDuration ? ParseDurationValue(name, value) : ParseInt64Value(value);
                } else if constexpr (std::is_same_v<T, double TTaskSettings::*>) {
                    s.*target = ParseFloatValue(value);
                } else {
                    s.*target = value;
                }
            },
            row.target);
    }

    static void FormatName(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        if (value == "pgmyuv") {
            TFFLogger::Instance().Log(&task, llInfo, "pgmyuv format is deprecated, use image2");
            S(task).formatName = "image2";
            S(task).pgmyuvInput = true;
        } else {
            S(task).formatName = value;
        }
    }

    static void Map(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        auto& maps = S(task).streamMaps;
        if (static_cast<int>(maps.size()) >= kMaxStreamMaps) Fail(Format("Too many stream maps (at most %d)", kMaxStreamMaps));
        const char* p = value.c_str();
        TStreamMap m;
        m.fileIndex = static_cast<int>(NextNumber(p));
        m.streamIndex = static_cast<int>(NextNumber(p));
        if (*p) {
            m.syncFileIndex = static_cast<int>(NextNumber(p));
            m.syncStreamIndex = static_cast<int>(NextNumber(p));
        } else {
            m.syncFileIndex = m.fileIndex;
            m.syncStreamIndex = m.streamIndex;
        }
        maps.push_back(m);
    }

    static void MapMetaData(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        auto& maps = S(task).metaDataMaps;
        if (static_cast<int>(maps.size()) >= kMaxMetaDataMaps)
            Fail(Format("Too many metadata maps (at most %d)", kMaxMetaDataMaps));
        const char* p = value.c_str();
        TMetaDataMap m;
        m.outFileIndex = static_cast<int>(NextNumber(p));
        m.inFileIndex = static_cast<int>(NextNumber(p));
        maps.push_back(m);
    }

    static void RecordingTime(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        const int64_t us = ParseDurationValue(name, value);
        S(task).recordingTimeUs = us;
        task.totalDurationUs_ = us;
    }

    static void InputTsScale(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        const char* p = value.c_str();
        const long stream = NextNumber(p);
        // A negative index would address outside the table just as a large one would.
        if (stream < 0 || stream >= MAX_STREAMS) Fail(Format("stream index over MAX_STREAMS(%d)", MAX_STREAMS));
        S(task).inputTsScale[stream] = LeadingDouble(p);
    }

    static void Timestamp(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        S(task).timestampSeconds = std::llround(static_cast<double>(ParseDateValue(name, value)) / 1000000.0);
    }

    static void Metadata(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        const size_t eq = value.find('=');
        if (eq == std::string::npos) Fail("Missing =");
        S(task).metadata.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    }

    template <int index>
    static void MaxFrames(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        S(task).maxFrames[index] = ParseIntValue(value);
    }

    static void Target(TCustomFFmpeg& task, const std::string&, const std::string& value) { ApplyTargetOption(task, value); }

    static void BitRate(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        TOptionStore* store = task.OptionStore();
        if (!store || !store->Set(name, value)) return;
        const int64_t rate = store->GetInt(name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO, "b");
        if (rate < 1000)
            TFFLogger::Instance().Log(&task, llWarning,
                                      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
    }

    static void FrameRate(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        if (value.empty()) return;
        AVRational rate;
        if (av_parse_video_rate(&rate, value.c_str()) < 0) Fail("Incorrect frame rate");
        S(task).frameRate = rate;
    }

    static void FrameSize(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        if (value.empty()) return;
        int w = 0, h = 0;
        if (av_parse_video_size(&w, &h, value.c_str()) < 0) Fail("Incorrect frame size");
        S(task).frameWidth = w;
        S(task).frameHeight = h;
    }

    static void Aspect(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        if (value.empty()) return;
        auto intOr0 = [](const std::string& t) {
            try {
                return ParseIntValue(t);
            } catch (const FFmpegException&) {
                return 0;
            }
        };
        double aspect = 0.0;
        const size_t colon = value.find(':');
        if (colon != std::string::npos) {
            const int x = intOr0(value.substr(0, colon)), y = intOr0(value.substr(colon + 1));
            if (y > 0) aspect = static_cast<double>(x) / y;
        } else {
            try {
                aspect = ParseFloatValue(value);
            } catch (const FFmpegException&) {
                aspect = 0.0;
            }
        }
        if (aspect == 0.0) Fail("Incorrect aspect ratio value.");
        S(task).frameAspectRatio = aspect;
    }

    static void PixelFormat(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        if (value == "list") {
            char buf[128];
            for (int i = -1; i < AV_PIX_FMT_NB; ++i) {
                if (i >= 0 && !av_pix_fmt_desc_get(static_cast<AVPixelFormat>(i))) continue;
                TFFLogger::Instance().Log(&task, llInfo,
                                          Trimmed(av_get_pix_fmt_string(buf, sizeof buf, static_cast<AVPixelFormat>(i))));
            }
            return;
        }
        const AVPixelFormat f = av_get_pix_fmt(value.c_str());
        if (f == AV_PIX_FMT_NONE) Fail(Format("Unknown pixel format requested: %s", value.c_str()));
        S(task).pixelFormat = f;
    }

    static void SampleFormat(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        if (value == "list") {
            char buf[128];
            for (int i = -1; i < AV_SAMPLE_FMT_NB; ++i)
                TFFLogger::Instance().Log(&task, llInfo,
                                          Trimmed(av_get_sample_fmt_string(buf, sizeof buf, static_cast<AVSampleFormat>(i))));
            return;
        }
        S(task).sampleFormat = av_get_sample_fmt(value.c_str());
    }

    static void Crop(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        const int band = ParseIntValue(value);
        if (band <= 0) return;
        TTaskSettings& s = S(task);
        const bool vertical = name == "croptop" || name == "cropbottom";
        int& extent = vertical ? s.frameHeight : s.frameWidth;
        if (band >= extent)
            Fail(vertical ? "Vertical crop dimensions are outside the range of the original image.\n"
                            "Remember to crop first and scale second."
                          : "Horizontal crop dimensions are outside the range of the original image.\n"
                            "Remember to crop first and scale second.");
        const char* which = name == "croptop" ? "Top" : name == "cropbottom" ? "Bottom" : name == "cropleft" ? "Left" : "Right";
        TFFLogger::Instance().LogFmt(&task, llWarning, "Crop%s is deprecated in favor of the crop avfilter", which);
        (name == "croptop"      ? s.cropTop
         : name == "cropbottom" ? s.cropBottom
         : name == "cropleft"   ? s.cropLeft
                                : s.cropRight) = band;
        extent -= band;
    }

    static void QScale(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        const double q = ParseFloatValue(value);
        if (!(q > 0.0 && q <= 255.0)) Fail("qscale must be > 0.0 and <= 255");
        S(task).qscale = q;
    }

    static void RcOverride(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        S(task).rcOverride = value;
    }

    static void CodecName(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        if (value.empty()) return;
        TTaskSettings& s = S(task);
        const char kind = name[0];
        std::string& codec = kind == 'v' ? s.videoCodecName : kind == 'a' ? s.audioCodecName : s.subtitleCodecName;
        bool& copy = kind == 'v' ? s.videoStreamCopy : kind == 'a' ? s.audioStreamCopy : s.subtitleStreamCopy;
        codec.clear();
        if (value == "copy")
            copy = true;
        else
            codec = value;
    }

    static void Pass(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        const int pass = ParseIntValue(value);
        if (pass != 1 && pass != 2) Fail("pass number can be only 1 or 2");
        S(task).pass = pass;
    }

    static void VStats(TCustomFFmpeg& task, const std::string&, const std::string&) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char hms[16];
        std::strftime(hms, sizeof hms, "%H%M%S", &local);
        S(task).vstatsFile = Format("%svstats_%s.log", StatsFolder().c_str(), hms);
    }

    static void VStatsFile(TCustomFFmpeg& task, const std::string&, const std::string& value) { S(task).vstatsFile = value; }

    static void VideoHook(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        const char* separator = value.find('|') != std::string::npos ? "|" : " ";
        std::vector<std::string> tokens;
        size_t i = 0;
        while (i < value.size() && tokens.size() < 254) {
            i = value.find_first_not_of(separator, i);
            if (i == std::string::npos) break;
            const size_t end = value.find_first_of(separator, i);
            tokens.push_back(value.substr(i, end == std::string::npos ? std::string::npos : end - i));
            i = end == std::string::npos ? value.size() : end;
        }
        if (tokens.empty() || task.AddVideoHook(tokens) != 0) Fail("Failed to add video hook function: " + value);
        S(task).usingVideoHooks = true;
    }

    static void VideoFilters(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        if (!value.empty()) S(task).videoFilters = value;
    }

    static void Matrix(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        std::optional<TQuantMatrix>& m = name == "intra_matrix" ? S(task).intraMatrix : S(task).interMatrix;
        m.emplace();
        m->fill(0);
        const char* p = value.c_str();
        for (int i = 0; i < 64; ++i) {
            (*m)[i] = static_cast<uint16_t>(std::atoi(p));
            p = std::strchr(p, ',');
            if (!p) {
                if (i < 63) Fail(Format("Syntax error in matrix \"%s\" at coeff %d", value.c_str(), i));
                break;
            }
            ++p;
        }
    }

    static void Tag(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        if (value.empty()) return;
        const char kind = name[0];
        if (value.size() != 4)
            Fail(kind == 'v'   ? "video tag parameter must be 4 chars"
                 : kind == 'a' ? "audio tag parameter must be 4 chars"
                               : "subtitle tag parameter must be 4 chars");
        const auto* c = reinterpret_cast<const unsigned char*>(value.data());
        const uint32_t tag = c[0] | (c[1] << 8) | (c[2] << 16) | (static_cast<uint32_t>(c[3]) << 24);
        (kind == 'v' ? S(task).videoTag : kind == 'a' ? S(task).audioTag : S(task).subtitleTag) = tag;
    }

    static void NewStream(TCustomFFmpeg& task, const std::string& name, const std::string&) {
        if (task.OutputFileCount() == 0) Fail("At least one output file must be specified");
        task.NewStreamInLastOutput(name == "newvideo"   ? AVMEDIA_TYPE_VIDEO
                                   : name == "newaudio" ? AVMEDIA_TYPE_AUDIO
                                                        : AVMEDIA_TYPE_SUBTITLE);
    }

    static void StreamId(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        const size_t colon = value.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
            Fail(Format("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"", value.c_str(),
                        name.c_str()));
        const int index = ParseIntValue(value.substr(0, colon));
        const int id = ParseIntValue(value.substr(colon + 1));
        // The map has one entry per stream of a file.
        if (index < 0 || index >= MAX_STREAMS) Fail(Format("stream index over MAX_STREAMS(%d)", MAX_STREAMS));
        S(task).streamIds[index] = id;
    }

    template <bool audio>
    static void PositiveRateOrChannels(TCustomFFmpeg& task, const std::string&, const std::string& value) {
        const int v = ParseIntValue(value);
        if (v > 0) (audio ? S(task).audioSampleRate : S(task).audioChannels) = v;
    }

    static void TvStandard(TCustomFFmpeg& task, const std::string&, const std::string& value) { S(task).tvStandard = value; }

    static void BitstreamFilter(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        if (value.empty() || value[0] == '=') return;
        const size_t eq = value.find('=');
        TBitstreamFilterSpec entry;
        entry.name = eq != std::string::npos ? value.substr(0, eq) : value;
        if (eq != std::string::npos) entry.args = value.substr(eq + 1);
        entry.filter = av_bsf_get_by_name(entry.name.c_str());
        if (!entry.filter) Fail(Format("Unknown bitstream filter %s", Trimmed(value).c_str()));
        (name == "vbsf"   ? S(task).videoBitstreamFilters
         : name == "absf" ? S(task).audioBitstreamFilters
                          : S(task).subtitleBitstreamFilters)
            .push_back(std::move(entry));
    }

    static void Preset(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
        ApplyPresetOption(task, name, value);
    }

    // The folder for "vstats" files: the program's folder, or the current folder when the program's
    // is not writable (an installed program's folder usually is not).
    static std::string StatsFolder() {
        std::error_code ec;
        std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        std::string folder = ec ? std::string() : exe.parent_path().string();
        if (folder.empty() || access(folder.c_str(), W_OK) != 0) folder = std::filesystem::current_path(ec).string();
        if (!folder.empty() && folder.back() != '/') folder += '/';
        return folder;
    }

    static std::vector<TOptionDef> MakeTable();
};

std::vector<TOptionDef> TOptionHandlers::MakeTable() {
    using K = TValueKind;
    using S = TTaskSettings;
    using H = TOptionHandlers;
    constexpr TOptionFn doNothing = &DoNothing;
    return {
        {"L", K::vkAny, doNothing},
        {"h", K::vkAny, doNothing},
        {"version", K::vkAny, doNothing},
        {"formats", K::vkAny, doNothing},
        {"codecs", K::vkAny, doNothing},
        {"bsfs", K::vkAny, doNothing},
        {"protocols", K::vkAny, doNothing},
        {"filters", K::vkAny, doNothing},
        {"loglevel", K::vkCustom, &LogLevel},
        {"f", K::vkCustom, &H::FormatName},
        {"i", K::vkAny, doNothing},
        {"y", K::vkAny, doNothing},
        {"map", K::vkCustom, &H::Map},
        {"map_meta_data", K::vkCustom, &H::MapMetaData},
        {"t", K::vkDuration, &H::RecordingTime},
        {"fs", K::vkInt64, &S::limitFileSizeBytes},
        {"ss", K::vkDuration, &S::startTimeUs},
        {"itsoffset", K::vkDuration, &S::inputTsOffsetUs},
        {"itsscale", K::vkCustom, &H::InputTsScale},
        {"timestamp", K::vkCustom, &H::Timestamp},
        {"metadata", K::vkCustom, &H::Metadata},
        {"dframes", K::vkInt, &H::MaxFrames<mfData>},
        {"benchmark", K::vkAny, doNothing},
        {"timelimit", K::vkAny, &TimeLimit},
        {"dump", K::vkBool, &S::dumpPackets},
        {"hex", K::vkBool, &S::dumpHex},
        {"re", K::vkBool, &S::rateEmulation},
        {"loop_input", K::vkBool, &S::loopInput},
        {"loop_output", K::vkInt, &S::loopOutput},
        {"v", K::vkInt, &S::verbose},
        {"target", K::vkCustom, &H::Target},
        {"threads", K::vkAny, &Todo},
        {"vsync", K::vkInt, &S::videoSyncMethod},
        {"async", K::vkInt, &S::audioSyncMethod},
        {"adrift_threshold", K::vkFloat, &S::audioDriftThresholdSeconds},
        {"vglobal", K::vkInt, &S::videoGlobalHeader},
        {"copyts", K::vkAny, &S::copyTimestamps},
        {"shortest", K::vkBool, &S::shortest},
        {"dts_delta_threshold", K::vkFloat, &S::dtsDeltaThresholdSeconds},
        {"programid", K::vkInt, &S::programId},
        {"xerror", K::vkAny, &S::exitOnError},
        {"copyinkf", K::vkInt, &S::copyInitialNonKeyframes},
        {"b", K::vkCustom, &H::BitRate},
        {"vb", K::vkCustom, &H::BitRate},
        {"vframes", K::vkInt, &H::MaxFrames<mfVideo>},
        {"r", K::vkCustom, &H::FrameRate},
        {"s", K::vkCustom, &H::FrameSize},
        {"aspect", K::vkCustom, &H::Aspect},
        {"pix_fmt", K::vkCustom, &H::PixelFormat},
        {"croptop", K::vkInt, &H::Crop},
        {"cropbottom", K::vkInt, &H::Crop},
        {"cropleft", K::vkInt, &H::Crop},
        {"cropright", K::vkInt, &H::Crop},
        {"padtop", K::vkAny, &PadRemoved},
        {"padbottom", K::vkAny, &PadRemoved},
        {"padleft", K::vkAny, &PadRemoved},
        {"padright", K::vkAny, &PadRemoved},
        {"padcolor", K::vkAny, &PadRemoved},
        {"intra", K::vkBool, &S::intraOnly},
        {"vn", K::vkBool, &S::videoDisable},
        {"vdt", K::vkInt, &S::videoDiscard},
        {"qscale", K::vkFloat, &H::QScale},
        {"rc_override", K::vkText, &H::RcOverride},
        {"vcodec", K::vkCustom, &H::CodecName},
        {"me_threshold", K::vkInt, &S::meThreshold},
        {"sameq", K::vkBool, &S::sameq},
        {"pass", K::vkInt, &H::Pass},
        {"passlogfile", K::vkText, &S::passLogFile},
        {"deinterlace", K::vkBool, &S::deinterlace},
        {"psnr", K::vkBool, &S::psnr},
        {"vstats", K::vkAny, &H::VStats},
        {"vstats_file", K::vkText, &H::VStatsFile},
        {"vhook", K::vkCustom, &H::VideoHook},
        {"vfilters", K::vkText, &H::VideoFilters},
        {"vf", K::vkText, &H::VideoFilters},
        {"intra_matrix", K::vkCustom, &H::Matrix},
        {"inter_matrix", K::vkCustom, &H::Matrix},
        {"top", K::vkInt, &S::topFieldFirst},
        {"dc", K::vkInt, &S::intraDcPrecision},
        {"vtag", K::vkCustom, &H::Tag},
        {"newvideo", K::vkAny, &H::NewStream},
        {"vlang", K::vkText, &S::videoLanguage},
        {"qphist", K::vkBool, &S::qpHistogram},
        {"force_fps", K::vkBool, &S::forceFps},
        {"streamid", K::vkCustom, &H::StreamId},
        {"ab", K::vkCustom, &H::BitRate},
        {"aframes", K::vkInt, &H::MaxFrames<mfAudio>},
        {"aq", K::vkFloat, &S::audioQuality},
        {"ar", K::vkInt, &H::PositiveRateOrChannels<true>},
        {"ac", K::vkInt, &H::PositiveRateOrChannels<false>},
        {"an", K::vkBool, &S::audioDisable},
        {"acodec", K::vkCustom, &H::CodecName},
        {"atag", K::vkCustom, &H::Tag},
        {"vol", K::vkInt, &S::audioVolume},
        {"newaudio", K::vkAny, &H::NewStream},
        {"alang", K::vkText, &S::audioLanguage},
        {"sample_fmt", K::vkCustom, &H::SampleFormat},
        {"sn", K::vkBool, &S::subtitleDisable},
        {"scodec", K::vkCustom, &H::CodecName},
        {"newsubtitle", K::vkAny, &H::NewStream},
        {"slang", K::vkText, &S::subtitleLanguage},
        {"stag", K::vkCustom, &H::Tag},
        {"vc", K::vkInt, &S::videoChannel},
        {"tvstd", K::vkText, &H::TvStandard},
        {"isync", K::vkBool, &S::inputSync},
        {"muxdelay", K::vkFloat, &S::muxMaxDelaySeconds},
        {"muxpreload", K::vkFloat, &S::muxPreloadSeconds},
        {"absf", K::vkCustom, &H::BitstreamFilter},
        {"vbsf", K::vkCustom, &H::BitstreamFilter},
        {"sbsf", K::vkCustom, &H::BitstreamFilter},
        {"apre", K::vkCustom, &H::Preset},
        {"vpre", K::vkCustom, &H::Preset},
        {"spre", K::vkCustom, &H::Preset},
        {"fpre", K::vkCustom, &H::Preset},
    };
}

const std::vector<TOptionDef>& OptionTable() {
    static const std::vector<TOptionDef> table = TOptionHandlers::MakeTable();
    return table;
}

bool DispatchOption(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
    for (const TOptionDef& row : OptionTable()) {
        if (name != row.name) continue;
        TOptionHandlers::Apply(task, row, name, value);
        return true;
    }
    return false;
}

int ParseIntValue(const std::string& value) {
    const int64_t v = [&] {
        try {
            return ParseInt64Value(value);
        } catch (const FFmpegException&) {
            Fail(Format("'%s' is not a valid integer value", value.c_str()));
        }
    }();
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        Fail(Format("'%s' is not a valid integer value", value.c_str()));
    return static_cast<int>(v);
}

int64_t ParseInt64Value(const std::string& value) {
    const std::string t = Trimmed(value);
    // Decimal digits with an optional sign, nothing after them.
    const char* b = t.c_str() + (!t.empty() && t[0] == '+');
    const char* e = t.c_str() + t.size();
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(b, e, v);
    if (t.empty() || ec != std::errc() || end != e || (b != t.c_str() && *b == '-'))
        Fail(Format("'%s' is not a valid integer value", value.c_str()));
    return v;
}

double ParseFloatValue(const std::string& value) {
    const std::string t = Trimmed(value);
    // Plain decimal notation, read the same in every locale; "inf", "nan" and hexadecimal are refused.
    const char* b = t.c_str() + (!t.empty() && t[0] == '+');
    const char* e = t.c_str() + t.size();
    double v = 0.0;
    const auto [end, ec] = std::from_chars(b, e, v, std::chars_format::general);
    const bool plain = t.find_first_not_of("+-.0123456789eE") == std::string::npos;
    if (t.empty() || !plain || ec != std::errc() || end != e || (b != t.c_str() && *b == '-'))
        Fail(Format("'%s' is not a valid floating point value", value.c_str()));
    return v;
}

int64_t ParseDurationValue(const std::string& name, const std::string& value) {
    int64_t us = 0;
    if (av_parse_time(&us, value.c_str(), 1) < 0)
        Fail(Format("Invalid %s value for %s: %s", "duration", name.c_str(), value.c_str()));
    return us;
}

int64_t ParseDateValue(const std::string& name, const std::string& value) {
    int64_t us = 0;
    if (av_parse_time(&us, value.c_str(), 0) < 0)
        Fail(Format("Invalid %s value for %s: %s", "date", name.c_str(), value.c_str()));
    return us;
}
