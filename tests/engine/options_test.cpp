// The option table of the transcoding core: failures, effects, value conventions, typed setters.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/CustomFFmpeg.h"
#include "engine/FrameHook.h"
#include "engine/FFmpegLogger.h"
#include "engine/OptionHandlers.h"
#include "support/TestMedia.h"

using ::testing::HasSubstr;

namespace {
// Collects what the engine and the libraries log while it lives.
class LogCapture {
public:
    LogCapture() {
        TFFLogger& l = TFFLogger::Instance();
        savedLevel_ = l.LogLevel();
        l.SetTriggerEventInMainThread(false);
        l.SetLogLevel(llDebug);
        l.HookLibraryLog();
        l.SetOnLog([this](TFFBaseComponent*, uint32_t, TLogLevel level, const std::string& msg) {
            std::lock_guard lock(mutex_);
            lines_.push_back({level, msg});
        });
    }
    ~LogCapture() {
        TFFLogger::Instance().SetOnLog({});
        TFFLogger::Instance().SetLogLevel(savedLevel_);
    }
    // Lines containing `text`, with their level.
    std::vector<std::pair<TLogLevel, std::string>> Matching(const std::string& text) const {
        std::lock_guard lock(mutex_);
        std::vector<std::pair<TLogLevel, std::string>> out;
        for (const auto& l : lines_)
            if (l.second.find(text) != std::string::npos) out.push_back(l);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<TLogLevel, std::string>> lines_;
    TLogLevel savedLevel_;
};

std::string FailureOf(TCustomFFmpeg& task, const std::string& name, const std::string& value) {
    try {
        task.SetOption(name, value);
    } catch (const FFmpegException& e) {
        return e.what();
    }
    return "(no failure)";
}

std::string Repeat(const std::string& item, int count, const std::string& sep) {
    std::string s;
    for (int i = 0; i < count; ++i) s += (i ? sep : "") + item;
    return s;
}

const char kVerticalCrop[] =
    "Vertical crop dimensions are outside the range of the original image.\nRemember to crop first and scale second.";
const char kHorizontalCrop[] =
    "Horizontal crop dimensions are outside the range of the original image.\nRemember to crop first and scale second.";
}  // namespace

// Every failure message of the table, and that a failed option leaves the settings as they were.
TEST(OptionHandlers, FailuresRaiseTheirMessageAndChangeNothing) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> before;  // options given first
        std::string name, value, message;
    };
    const std::string matrix63 = Repeat("16", 63, ",");
    const std::vector<Case> cases = {
        {{}, "threads", "2", "TODO: option - threads"},
        {{{"pass", "1"}}, "pass", "3", "pass number can be only 1 or 2"},
        {{}, "pass", "0", "pass number can be only 1 or 2"},
        {{}, "qscale", "0", "qscale must be > 0.0 and <= 255"},
        {{{"qscale", "3"}}, "qscale", "255.5", "qscale must be > 0.0 and <= 255"},
        {{}, "metadata", "foo", "Missing ="},
        {{}, "itsscale", "25:2.0", "stream index over MAX_STREAMS(20)"},
        {{}, "itsscale", "-1:2.0", "stream index over MAX_STREAMS(20)"},
        {{}, "t", "1:xx", "Invalid duration value for t: 1:xx"},
        {{}, "ss", "soon", "Invalid duration value for ss: soon"},
        {{}, "itsoffset", "", "Invalid duration value for itsoffset: "},
        {{}, "timestamp", "yesterday", "Invalid date value for timestamp: yesterday"},
        {{}, "r", "fast", "Incorrect frame rate"},
        {{}, "s", "big", "Incorrect frame size"},
        {{}, "aspect", "0", "Incorrect aspect ratio value."},
        {{}, "aspect", "4:0", "Incorrect aspect ratio value."},
        {{}, "aspect", "wide", "Incorrect aspect ratio value."},
        {{}, "pix_fmt", "yuv999p", "Unknown pixel format requested: yuv999p"},
        {{}, "croptop", "10", kVerticalCrop},  // no frame size yet
        {{{"s", "320x240"}}, "cropbottom", "240", kVerticalCrop},
        {{{"s", "320x240"}}, "cropleft", "320", kHorizontalCrop},
        {{{"s", "320x240"}, {"cropleft", "300"}}, "cropright", "20", kHorizontalCrop},
        {{}, "padtop", "8", "Please use vfilters=pad"},
        {{}, "padcolor", "000000", "Please use vfilters=pad"},
        {{}, "vhook", "/nonexistent/hook.so -x", "Failed to add video hook function: /nonexistent/hook.so -x"},
        {{}, "vtag", "XVI", "video tag parameter must be 4 chars"},
        {{}, "atag", "mp4a_", "audio tag parameter must be 4 chars"},
        {{}, "stag", "t", "subtitle tag parameter must be 4 chars"},
        {{}, "newvideo", "", "At least one output file must be specified"},
        {{}, "newaudio", "", "At least one output file must be specified"},
        {{}, "newsubtitle", "", "At least one output file must be specified"},
        {{}, "streamid", "3", "Invalid value \"3\" for option \"streamid\", required syntax is \"index:value\""},
        {{}, "streamid", ":3", "Invalid value \":3\" for option \"streamid\", required syntax is \"index:value\""},
        {{}, "streamid", "3:", "Invalid value \"3:\" for option \"streamid\", required syntax is \"index:value\""},
        {{}, "streamid", "20:1", "stream index over MAX_STREAMS(20)"},
        {{}, "vbsf", "no_such_filter=x", "Unknown bitstream filter no_such_filter=x"},
        {{}, "absf", "  nope ", "Unknown bitstream filter nope"},
        {{}, "target", "pal-foo", "Unknown target type"},
        {{}, "target", "vcd", "frame_rate is invalid."},
        {{}, "target", "svcd-pal", "frame_rate is invalid."},  // a suffix is no norm
        {{}, "fpre", "/nonexistent/x.ffpreset", "Preset \"/nonexistent/x.ffpreset\" not found"},
        {{}, "loglevel", "loud", "'loud' is not a valid integer value"},
        {{}, "fs", "1e6", "'1e6' is not a valid integer value"},
        {{}, "muxdelay", "0,7", "'0,7' is not a valid floating point value"},
        {{}, "qscale", "inf", "'inf' is not a valid floating point value"},
    };
    for (const Case& c : cases) {
        TCustomFFmpeg task;
        task.Reset();
        for (const auto& [n, v] : c.before) task.SetOption(n, v);
        const TTaskSettings before = task.Settings();
        const size_t names = task.OptionStore()->Names().size();
        EXPECT_EQ(FailureOf(task, c.name, c.value), c.message) << c.name << " " << c.value;
        EXPECT_TRUE(task.Settings() == before) << c.name << " " << c.value << ": settings changed";
        EXPECT_EQ(task.OptionStore()->Names().size(), names) << c.name;
    }
}

// Every option read as a number fails with the conversion message, leaving its setting alone.
TEST(OptionHandlers, NumberOptionsRefuseTextWithTheConversionMessage) {
    const char* ints[] = {"dframes", "loop_output", "v",    "vsync",        "async", "vglobal", "programid",
                          "copyinkf", "vframes",    "vdt", "me_threshold", "top",   "dc",      "aframes",
                          "ar",       "ac",         "vol", "vc",           "pass",  "croptop", "fs"};
    const char* floats[] = {"adrift_threshold", "dts_delta_threshold", "aq", "muxdelay", "muxpreload", "qscale"};
    TCustomFFmpeg task;
    task.Reset();
    const TTaskSettings before = task.Settings();
    for (const char* n : ints) EXPECT_EQ(FailureOf(task, n, "12abc"), "'12abc' is not a valid integer value") << n;
    for (const char* n : ints) EXPECT_EQ(FailureOf(task, n, "99999999999999999999"), "'99999999999999999999' is not a valid integer value") << n;
    for (const char* n : floats) EXPECT_EQ(FailureOf(task, n, "1.5x"), "'1.5x' is not a valid floating point value") << n;
    EXPECT_TRUE(task.Settings() == before);
}

TEST(OptionHandlers, MatrixKeepsTheCoefficientsReadBeforeASyntaxError) {
    TCustomFFmpeg task;
    task.Reset();
    const std::string v63 = Repeat("7", 63, ",");
    EXPECT_EQ(FailureOf(task, "intra_matrix", v63), "Syntax error in matrix \"" + v63 + "\" at coeff 62");
    ASSERT_TRUE(task.Settings().intraMatrix.has_value());
    EXPECT_EQ((*task.Settings().intraMatrix)[62], 7);
    EXPECT_EQ((*task.Settings().intraMatrix)[63], 0);

    std::string v64;
    for (int i = 0; i < 64; ++i) v64 += (i ? "," : "") + std::to_string(i + 1);
    task.SetOption("inter_matrix", v64);
    ASSERT_TRUE(task.Settings().interMatrix.has_value());
    for (int i = 0; i < 64; ++i) EXPECT_EQ((*task.Settings().interMatrix)[i], i + 1);
    // A later, shorter matrix starts from zero again.
    task.SetOption("intra_matrix", v64);
    EXPECT_EQ((*task.Settings().intraMatrix)[63], 64);
}

// What each kind of row writes.
TEST(OptionHandlers, OptionsWriteTheirSettings) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> options;
        std::function<void(const TCustomFFmpeg&)> check;
        const char* what;
    };
    const std::vector<Case> cases = {
        {{{"vn", "0"}}, [](auto& t) { EXPECT_FALSE(t.Settings().videoDisable); }, "vn 0"},
        {{{"vn", ""}}, [](auto& t) { EXPECT_TRUE(t.Settings().videoDisable); }, "vn empty"},
        {{{"an", "yes"}, {"sn", "1"}}, [](auto& t) { EXPECT_TRUE(t.Settings().audioDisable && t.Settings().subtitleDisable); }, "an sn"},
        {{{"copyts", "0"}, {"xerror", "0"}}, [](auto& t) { EXPECT_TRUE(t.Settings().copyTimestamps && t.Settings().exitOnError); }, "copyts 0"},
        {{{"shortest", "0"}}, [](auto& t) { EXPECT_FALSE(t.Settings().shortest); }, "shortest 0"},
        {{{"itsscale", "1:0.5"}}, [](auto& t) { EXPECT_EQ(t.Settings().inputTsScale[1], 0.5); EXPECT_EQ(t.Settings().inputTsScale[0], 0.0); }, "itsscale"},
        {{{"map", "0.1:1.0"}, {"map", "2:3"}, {"map", "0x1.010"}},
         [](auto& t) {
             EXPECT_THAT(t.Settings().streamMaps, ::testing::ElementsAre(TStreamMap{0, 1, 1, 0}, TStreamMap{2, 3, 2, 3}, TStreamMap{1, 8, 1, 8}));
         },
         "map"},
        {{{"map_meta_data", "1:0"}}, [](auto& t) { EXPECT_THAT(t.Settings().metaDataMaps, ::testing::ElementsAre(TMetaDataMap{1, 0})); }, "map_meta_data"},
        {{{"metadata", "title=a=b"}, {"metadata", "comment="}},
         [](auto& t) {
             using P = std::pair<std::string, std::string>;
             EXPECT_THAT(t.Settings().metadata, ::testing::ElementsAre(P{"title", "a=b"}, P{"comment", ""}));
         },
         "metadata"},
        {{{"t", "1:02:03.5"}}, [](auto& t) { EXPECT_EQ(t.Settings().recordingTimeUs, 3723500000LL); EXPECT_EQ(t.TotalDuration(), 3723500000LL); }, "t"},
        {{{"ss", "2.25"}, {"itsoffset", "-1"}}, [](auto& t) { EXPECT_EQ(t.Settings().startTimeUs, 2250000); EXPECT_EQ(t.Settings().inputTsOffsetUs, -1000000); }, "ss itsoffset"},
        {{{"timestamp", "2010-01-02T03:04:05.6Z"}}, [](auto& t) { EXPECT_EQ(t.Settings().timestampSeconds, 1262401446); }, "timestamp rounds"},
        {{{"fs", "5000000000"}}, [](auto& t) { EXPECT_EQ(t.Settings().limitFileSizeBytes, 5000000000LL); }, "fs int64"},
        {{{"vframes", "10"}, {"aframes", "20"}, {"dframes", "30"}},
         [](auto& t) { EXPECT_THAT(t.Settings().maxFrames, ::testing::ElementsAre(10, 20, 30, INT_MAX)); }, "frame limits"},
        {{{"r", "ntsc"}}, [](auto& t) { EXPECT_EQ(t.Settings().frameRate.num, 30000); EXPECT_EQ(t.Settings().frameRate.den, 1001); }, "r abbreviation"},
        {{{"r", "25"}, {"r", ""}}, [](auto& t) { EXPECT_EQ(av_q2d(t.Settings().frameRate), 25.0); }, "r empty keeps"},
        {{{"s", "vga"}, {"s", ""}}, [](auto& t) { EXPECT_EQ(t.Settings().frameWidth, 640); EXPECT_EQ(t.Settings().frameHeight, 480); }, "s"},
        {{{"aspect", "16:9"}}, [](auto& t) { EXPECT_DOUBLE_EQ(t.Settings().frameAspectRatio, 16.0 / 9.0); }, "aspect ratio"},
        {{{"aspect", "1.85"}, {"aspect", ""}}, [](auto& t) { EXPECT_DOUBLE_EQ(t.Settings().frameAspectRatio, 1.85); }, "aspect number"},
        {{{"pix_fmt", "yuv422p"}, {"sample_fmt", "s16"}},
         [](auto& t) { EXPECT_EQ(t.Settings().pixelFormat, AV_PIX_FMT_YUV422P); EXPECT_EQ(t.Settings().sampleFormat, AV_SAMPLE_FMT_S16); }, "formats"},
        {{{"sample_fmt", "s16"}, {"sample_fmt", "bogus"}}, [](auto& t) { EXPECT_EQ(t.Settings().sampleFormat, AV_SAMPLE_FMT_NONE); }, "unknown sample format"},
        {{{"f", "pgmyuv"}}, [](auto& t) { EXPECT_EQ(t.Settings().formatName, "image2"); EXPECT_TRUE(t.Settings().pgmyuvInput); }, "pgmyuv"},
        {{{"vcodec", "libx264"}, {"vcodec", ""}}, [](auto& t) { EXPECT_EQ(t.Settings().videoCodecName, "libx264"); }, "empty codec keeps"},
        {{{"acodec", "mp2"}, {"acodec", "copy"}},
         [](auto& t) { EXPECT_TRUE(t.Settings().audioCodecName.empty()); EXPECT_TRUE(t.Settings().audioStreamCopy); }, "copy"},
        {{{"scodec", "mov_text"}}, [](auto& t) { EXPECT_EQ(t.Settings().subtitleCodecName, "mov_text"); EXPECT_FALSE(t.Settings().subtitleStreamCopy); }, "scodec"},
        {{{"vtag", "XVID"}, {"atag", ""}}, [](auto& t) { EXPECT_EQ(t.Settings().videoTag, MKTAG('X', 'V', 'I', 'D')); EXPECT_EQ(t.Settings().audioTag, 0u); }, "tags"},
        {{{"s", "320x240"}, {"croptop", "10"}, {"cropleft", "0"}, {"cropright", "-4"}, {"cropright", "20"}},
         [](auto& t) {
             EXPECT_EQ(t.Settings().cropTop, 10);
             EXPECT_EQ(t.Settings().frameHeight, 230);
             EXPECT_EQ(t.Settings().cropLeft, 0);
             EXPECT_EQ(t.Settings().cropRight, 20);
             EXPECT_EQ(t.Settings().frameWidth, 300);
         },
         "crop"},
        {{{"ar", "0"}, {"ac", "-1"}}, [](auto& t) { EXPECT_EQ(t.Settings().audioSampleRate, 44100); EXPECT_EQ(t.Settings().audioChannels, 2); }, "ar ac not positive"},
        {{{"ar", "22050"}, {"ac", "6"}}, [](auto& t) { EXPECT_EQ(t.Settings().audioSampleRate, 22050); EXPECT_EQ(t.Settings().audioChannels, 6); }, "ar ac"},
        {{{"qscale", "2.5"}, {"pass", "2"}, {"passlogfile", "/tmp/x"}},
         [](auto& t) { EXPECT_EQ(t.Settings().qscale, 2.5); EXPECT_EQ(t.Settings().pass, 2); EXPECT_EQ(t.Settings().passLogFile, "/tmp/x"); }, "qscale pass"},
        {{{"vf", "scale=10:10"}, {"vfilters", ""}}, [](auto& t) { EXPECT_EQ(t.Settings().videoFilters, "scale=10:10"); }, "vf empty keeps"},
        {{{"rc_override", "0,10,5"}, {"tvstd", "pal"}, {"vstats_file", "/tmp/v.log"}},
         [](auto& t) {
             EXPECT_EQ(t.Settings().rcOverride, "0,10,5");
             EXPECT_EQ(t.Settings().tvStandard, "pal");
             EXPECT_EQ(t.Settings().vstatsFile, "/tmp/v.log");
         },
         "texts"},
        {{{"vstats", ""}}, [](auto& t) { EXPECT_THAT(t.Settings().vstatsFile.value_or(""), ::testing::MatchesRegex(".*/vstats_[0-9]{6}\\.log")); }, "vstats"},
        {{{"streamid", "3:77"}}, [](auto& t) { EXPECT_EQ(t.Settings().streamIds[3], 77); }, "streamid"},
        {{{"vbsf", "h264_mp4toannexb"}, {"absf", "aac_adtstoasc=x"}, {"sbsf", "=null"}, {"vbsf", ""}},
         [](auto& t) {
             ASSERT_EQ(t.Settings().videoBitstreamFilters.size(), 1u);
             EXPECT_EQ(t.Settings().videoBitstreamFilters[0].filter, av_bsf_get_by_name("h264_mp4toannexb"));
             ASSERT_EQ(t.Settings().audioBitstreamFilters.size(), 1u);
             EXPECT_EQ(t.Settings().audioBitstreamFilters[0].name, "aac_adtstoasc");
             EXPECT_EQ(t.Settings().audioBitstreamFilters[0].args, "x");
             EXPECT_TRUE(t.Settings().subtitleBitstreamFilters.empty());
         },
         "bitstream filters"},
        {{{"vol", "512"}, {"async", "1"}, {"vsync", "0"}, {"adrift_threshold", "0.25"}, {"dts_delta_threshold", "5"}},
         [](auto& t) {
             EXPECT_EQ(t.Settings().audioVolume, 512);
             EXPECT_EQ(t.Settings().audioSyncMethod, 1);
             EXPECT_EQ(t.Settings().videoSyncMethod, 0);
             EXPECT_EQ(t.Settings().audioDriftThresholdSeconds, 0.25);
             EXPECT_EQ(t.Settings().dtsDeltaThresholdSeconds, 5.0);
         },
         "numbers"},
        {{{"loglevel", "Warning"}}, [](auto&) { EXPECT_EQ(TFFLogger::Instance().LogLevel(), llWarning); }, "loglevel name"},
        {{{"loglevel", "16"}}, [](auto&) { EXPECT_EQ(TFFLogger::Instance().LogLevel(), llError); }, "loglevel number"},
    };
    const TLogLevel level = TFFLogger::Instance().LogLevel();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TCustomFFmpeg task;
        task.Reset();
        for (const auto& [n, v] : c.options) task.SetOption(n, v);
        c.check(task);
    }
    TFFLogger::Instance().SetLogLevel(level);
}

TEST(OptionHandlers, UnknownNamesRaiseNothingAndChangeNothing) {
    TCustomFFmpeg task;
    task.Reset();
    const TTaskSettings before = task.Settings();
    EXPECT_NO_THROW(task.SetOption("no_such_option_anywhere", "1"));
    EXPECT_NO_THROW(task.SetOption("T", "5"));  // one-letter names match whole names only
    EXPECT_NO_THROW(task.SetOption("", ""));
    EXPECT_TRUE(task.Settings() == before);
    EXPECT_TRUE(task.OptionStore()->Names().empty());
}

TEST(OptionHandlers, LogLinesOfTheTable) {
    LogCapture log;
    TCustomFFmpeg task;
    task.Reset();
    task.SetOption("h", "");
    task.SetOption("benchmark", "");
    task.SetOption("f", "pgmyuv");
    task.SetOption("timelimit", "10");
    task.SetOption("b", "128");
    task.SetOption("ab", "64k");  // library suffix: no warning
    task.SetOption("s", "320x240");
    task.SetOption("cropbottom", "8");
    task.SetOption("bufsize", "lots");  // a library option with a value the library refuses

    EXPECT_EQ(log.Matching("Do nothing: option - h").size(), 1u);
    EXPECT_EQ(log.Matching("Do nothing: option - benchmark").size(), 1u);
    EXPECT_EQ(log.Matching("pgmyuv format is deprecated, use image2").size(), 1u);
    const auto timelimit = log.Matching("Warning: -timelimit not implemented");
    ASSERT_EQ(timelimit.size(), 1u);
    EXPECT_EQ(timelimit[0].first, llWarning);
    const auto low = log.Matching("WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
    ASSERT_EQ(low.size(), 1u);
    EXPECT_EQ(low[0].first, llWarning);
    EXPECT_EQ(task.OptionStore()->GetInt(AVMEDIA_TYPE_AUDIO, "b"), 64000);
    EXPECT_EQ(log.Matching("CropBottom is deprecated in favor of the crop avfilter").size(), 1u);
    const auto invalid = log.Matching("Invalid value \"lots\" for option \"bufsize\"");
    ASSERT_EQ(invalid.size(), 1u);
    EXPECT_EQ(invalid[0].first, llError);
}

TEST(OptionHandlers, FormatListsAreLogged) {
    LogCapture log;
    TCustomFFmpeg task;
    task.Reset();
    task.SetOption("pix_fmt", "list");
    task.SetOption("sample_fmt", "list");
    EXPECT_EQ(task.Settings().pixelFormat, AV_PIX_FMT_NONE);
    EXPECT_EQ(log.Matching("yuv420p ").size(), 1u);  // its own line; yuv420p10le etc. are others
    EXPECT_FALSE(log.Matching("s16").empty());
}

TEST(TypedSetters, GuardsAndEffects) {
    TCustomFFmpeg task;
    task.Reset();
    const TTaskSettings defaults = task.Settings();
    task.SetStartTime(kNoTimestamp);
    task.SetRecordingTime(kNoTimestamp);
    task.SetProgramId(-1);
    task.SetAudioVolume(-1);
    task.SetMuxDelay(0.0);
    task.SetMuxPreload(-1.0);
    task.SetAudioRate(0);
    task.SetAudioChannels(0);
    task.SetVideoFilters("");
    task.SetCropTop(0);
    EXPECT_TRUE(task.Settings() == defaults);
    EXPECT_EQ(task.TotalDuration(), -1);

    task.SetStartTime(1500000);
    task.SetRecordingTime(3000000);
    task.SetProgramId(2);
    task.SetAudioVolume(0);
    task.SetMuxDelay(0.2);
    task.SetMuxPreload(0.3);
    task.SetAudioRate(8000);
    task.SetAudioChannels(1);
    task.SetAudioSync(1);
    task.SetVideoSync(2);
    task.SetVideoCodec("copy");
    task.SetAudioCodec("aac");
    task.SetVideoTag("DIVX");
    task.SetFrameRate("30000/1001");
    task.SetFrameSize("176x144");
    task.SetFrameAspect("4:3");
    task.SetCropTop(4);
    task.SetIntOption("g", 12);
    task.AddMetadata("title", "a=b");
    const TTaskSettings& s = task.Settings();
    EXPECT_EQ(s.startTimeUs, 1500000);
    EXPECT_EQ(s.recordingTimeUs, 3000000);
    EXPECT_EQ(task.TotalDuration(), 3000000);
    EXPECT_EQ(s.programId, 2);
    EXPECT_EQ(s.audioVolume, 0);
    EXPECT_EQ(s.muxMaxDelaySeconds, 0.2);
    EXPECT_EQ(s.muxPreloadSeconds, 0.3);
    EXPECT_EQ(s.audioSampleRate, 8000);
    EXPECT_EQ(s.audioChannels, 1);
    EXPECT_EQ(s.audioSyncMethod, 1);
    EXPECT_EQ(s.videoSyncMethod, 2);
    EXPECT_TRUE(s.videoStreamCopy);
    EXPECT_EQ(s.audioCodecName, "aac");
    EXPECT_EQ(s.videoTag, MKTAG('D', 'I', 'V', 'X'));
    EXPECT_EQ(s.frameRate.num, 30000);
    EXPECT_EQ(s.frameHeight, 140);  // 144 minus the top band
    EXPECT_EQ(s.cropTop, 4);
    EXPECT_DOUBLE_EQ(s.frameAspectRatio, 4.0 / 3.0);
    EXPECT_EQ(task.OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
    ASSERT_EQ(s.metadata.size(), 1u);
    EXPECT_EQ(s.metadata[0].second, "a=b");
    EXPECT_THROW(task.SetVideoTag("DIV"), FFmpegException);
}

TEST(CustomFFmpeg, ResetRestoresEveryDefault) {
    TCustomFFmpeg task;
    task.Reset();
    const TTaskSettings defaults;
    EXPECT_TRUE(task.Settings() == defaults);
    EXPECT_EQ(task.TotalDuration(), -1);
    for (const auto& [n, v] : std::vector<std::pair<std::string, std::string>>{
             {"vcodec", "mpeg4"}, {"t", "5"}, {"s", "qcif"}, {"map", "0.0"}, {"metadata", "a=b"}, {"g", "7"}, {"vbsf", "null"}})
        task.SetOption(n, v);
    ASSERT_FALSE(task.Settings() == defaults);
    ASSERT_FALSE(task.OptionStore()->Names().empty());
    task.Reset();
    EXPECT_TRUE(task.Settings() == defaults);
    EXPECT_EQ(task.TotalDuration(), -1);
    EXPECT_TRUE(task.OptionStore()->Names().empty());
    EXPECT_EQ(task.OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "g"), 12);  // the library's default again
}

// Documented defaults that the transcoder relies on.
TEST(CustomFFmpeg, DefaultsOfTheSettingsTable) {
    const TTaskSettings s;
    EXPECT_EQ(s.pixelFormat, AV_PIX_FMT_NONE);
    EXPECT_EQ(s.frameRate.den, 0);
    EXPECT_EQ(s.recordingTimeUs, INT64_MAX);
    EXPECT_EQ(s.audioSampleRate, 44100);
    EXPECT_EQ(s.audioChannels, 2);
    EXPECT_EQ(s.audioQuality, -99999.0);
    EXPECT_EQ(s.muxPreloadSeconds, 0.5);
    EXPECT_EQ(s.muxMaxDelaySeconds, 0.7);
    EXPECT_EQ(s.videoSyncMethod, -1);
    EXPECT_EQ(s.topFieldFirst, -1);
    EXPECT_EQ(s.loopOutput, -1);
    EXPECT_EQ(s.intraDcPrecision, 8);
    EXPECT_EQ(s.audioVolume, 256);
    EXPECT_EQ(s.verbose, 1);
    EXPECT_EQ(s.dtsDeltaThresholdSeconds, 10.0);
    EXPECT_EQ(s.audioDriftThresholdSeconds, 0.1);
    EXPECT_EQ(s.swsFlags, SWS_BICUBIC);
    EXPECT_EQ(s.threadCount, 0);  // one thread per core, chosen by the library
}

TEST(OptionHandlers, TableRowsAreUniqueAndInDispatchOrder) {
    const auto& table = OptionTable();
    std::vector<std::string> names;
    for (const TOptionDef& row : table) names.push_back(row.name);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a name appears twice";
    // A few anchors of the order: the do-nothing rows first, the presets last.
    EXPECT_EQ(names.front(), "L");
    EXPECT_EQ(names.back(), "fpre");
    const auto pos = [&](const char* n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
    EXPECT_LT(pos("loglevel"), pos("f"));
    EXPECT_LT(pos("threads"), pos("vsync"));
    EXPECT_LT(pos("vcodec"), pos("acodec"));
    EXPECT_LT(pos("acodec"), pos("scodec"));
}

// quillmar-cli engine reports an option's failure on stderr with exit status 1.
TEST(CliEngine, OptionFailuresEndTheCommand) {
    struct Case {
        const char* args;
        int status;
        const char* text;
    };
    const Case cases[] = {
        {"-threads 2 out.mp4", 1, "TODO: option - threads"},
        {"-pass 3 out.mp4", 1, "pass number can be only 1 or 2"},
        {"-qscale 0 out.mp4", 1, "qscale must be > 0.0 and <= 255"},
        {"-metadata foo out.mp4", 1, "Missing ="},
        {"-an -vn -itsscale 25:2.0", 1, "stream index over MAX_STREAMS(20)"},
        {"-target pal-foo", 1, "Unknown target type"},
        {"-target vcd", 1, "frame_rate is invalid."},
        {"-vcodec", 1, "Missing argument for option \"vcodec\""},
        {"-vcodec libx264 -vpre medium -g 12", 1, "At least one output file must be specified"},
    };
    for (const Case& c : cases) {
        std::string out;
        const int status = testmedia::Run(testmedia::CliPath() + " engine " + c.args + " 2>&1", &out);
        EXPECT_EQ(status, c.status) << c.args;
        EXPECT_THAT(out, HasSubstr(c.text)) << c.args;
    }
}

TEST(OptionHandlers, VideoHooksSplitTheirArguments) {
    const std::string plugin = std::string(QUILLMAR_TEST_PLUGIN_DIR) + "/libtest_vhook.so";
    struct Case {
        std::string value;
        size_t hooksAfter;
        bool fails;
    };
    const std::vector<Case> cases = {
        {plugin + " mark 7", 1, false},          // blanks separate
        {plugin + "|mark|a b", 2, false},        // with a "|", only "|" does
        {plugin + " fail", 2, true},              // the plug-in's Configure refuses
        {"", 2, true},                            // no module at all
    };
    TCustomFFmpeg task;
    task.Reset();
    for (const Case& c : cases) {
        const std::string got = FailureOf(task, "vhook", c.value);
        EXPECT_EQ(got, c.fails ? "Failed to add video hook function: " + c.value : "(no failure)") << c.value;
        EXPECT_EQ(task.VideoHooks().Count(), c.hooksAfter) << c.value;
    }
    EXPECT_TRUE(task.Settings().usingVideoHooks);
    task.Reset();
    EXPECT_EQ(task.VideoHooks().Count(), 0u);
    EXPECT_FALSE(task.Settings().usingVideoHooks);
}

// The tables keep to their sizes: the entry past the last fails and is not kept.
TEST(OptionHandlers, MapTablesRefuseEntriesPastTheirLimits) {
    TCustomFFmpeg task;
    task.Reset();
    for (int i = 0; i < kMaxStreamMaps; ++i) task.SetOption("map", "0." + std::to_string(i % MAX_STREAMS));
    for (int i = 0; i < kMaxMetaDataMaps; ++i) task.SetOption("map_meta_data", "0:0");
    EXPECT_EQ(FailureOf(task, "map", "0.0"), "Too many stream maps (at most 400)");
    EXPECT_EQ(FailureOf(task, "map_meta_data", "0:0"), "Too many metadata maps (at most 20)");
    EXPECT_EQ(task.Settings().streamMaps.size(), 400u);
    EXPECT_EQ(task.Settings().metaDataMaps.size(), 20u);
}
