// Built-in presets, preset files and target presets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "engine/CustomFFmpeg.h"
#include "engine/FFmpegLogger.h"
#include "engine/Presets.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {
std::string FailureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const FFmpegException& e) {
        return e.what();
    }
    return "(no failure)";
}

std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = testmedia::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Counts the library's lines that refuse an option value while it lives.
class RefusalCounter {
public:
    RefusalCounter() {
        TFFLogger& l = TFFLogger::Instance();
        level_ = l.LogLevel();
        l.SetTriggerEventInMainThread(false);
        l.SetLogLevel(llError);
        l.HookLibraryLog();
        l.SetOnLog([this](TFFBaseComponent*, uint32_t, TLogLevel level, const std::string& msg) {
            std::lock_guard lock(mutex_);
            if (level <= llError) lines_.push_back(msg);
        });
    }
    ~RefusalCounter() {
        TFFLogger::Instance().SetOnLog({});
        TFFLogger::Instance().SetLogLevel(level_);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    TLogLevel level_;
};

std::string EncoderOption(AVCodecContext* ctx, const char* name) {
    uint8_t* v = nullptr;
    if (av_opt_get(ctx, name, AV_OPT_SEARCH_CHILDREN, &v) < 0 || !v) return "(none)";
    std::string s = reinterpret_cast<char*>(v);
    av_free(v);
    return s;
}
}  // namespace

TEST(Presets, BuiltinTableHasTheFortyNamesInOrder) {
    const std::vector<std::string> expected = {
        "libx264-baseline", "libx264-default", "libx264-fast", "libx264-fast_firstpass", "libx264-faster",
        "libx264-faster_firstpass", "libx264-fastfirstpass", "libx264-hq", "libx264-ipod320", "libx264-ipod640",
        "libx264-lossless_fast", "libx264-lossless_max", "libx264-lossless_medium", "libx264-lossless_slow",
        "libx264-lossless_slower", "libx264-lossless_ultrafast", "libx264-main", "libx264-max", "libx264-medium",
        "libx264-medium_firstpass", "libx264-normal", "libx264-placebo", "libx264-placebo_firstpass", "libx264-slow",
        "libx264-slow_firstpass", "libx264-slower", "libx264-slower_firstpass", "libx264-slowfirstpass",
        "libx264-superfast", "libx264-superfast_firstpass", "libx264-ultrafast", "libx264-ultrafast_firstpass",
        "libx264-veryfast", "libx264-veryfast_firstpass", "libx264-veryslow", "libx264-veryslow_firstpass",
        "libx264-psp", "libx264-ps3", "libx264-ipod", "libx264-mp4"};
    std::vector<std::string> names;
    for (const TOptionsPreset& p : BuiltinPresets()) names.push_back(p.name);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(FindBuiltinPreset("LIBX264-Medium"), FindBuiltinPreset("libx264-medium"));
    EXPECT_EQ(FindBuiltinPreset("libx264-medium-"), nullptr);
}

TEST(Presets, GivenRowsAreExact) {
    EXPECT_EQ(FindBuiltinPreset("libx264-baseline")->content, "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0");
    EXPECT_EQ(FindBuiltinPreset("libx264-main")->content, "flags2=-dct8x8");
    EXPECT_EQ(FindBuiltinPreset("libx264-medium")->content,
              "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\nme_method=hex\n"
              "subq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\nb_strategy=1\nqcomp=0.6\n"
              "qmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=3\ndirectpred=1\ntrellis=1\n"
              "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\nwpredp=2");
    EXPECT_EQ(FindBuiltinPreset("libx264-mp4")->content, FindBuiltinPreset("libx264-psp")->content);
    EXPECT_THAT(FindBuiltinPreset("libx264-ps3")->content, ::testing::AllOf(::testing::HasSubstr("maxrate=3500000"),
                                                                            ::testing::Not(::testing::HasSubstr("\nb="))));
    EXPECT_THAT(FindBuiltinPreset("libx264-ipod")->content,
                ::testing::AllOf(::testing::StartsWith("coder=0\n"), ::testing::Not(::testing::HasSubstr("\nbf=")),
                                 ::testing::HasSubstr("partitions=+parti4x4+parti8x8+partp8x8\n"),
                                 ::testing::HasSubstr("b=1000000\nmaxrate=1250000")));
}

// Every built-in preset goes through "vpre" into the store and from there into a real libx264
// encoder, which then opens with it; no value is refused anywhere on the way.
TEST(Presets, EveryBuiltinPresetAppliesToALibx264Encoder) {
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    ASSERT_NE(x264, nullptr);
    for (const TOptionsPreset& preset : BuiltinPresets()) {
        SCOPED_TRACE(preset.name);
        RefusalCounter refusals;
        TCustomFFmpeg task;
        task.Reset();
        task.SetOption("vcodec", "libx264");
        ASSERT_NO_THROW(task.SetOption("vpre", preset.name.substr(8)));  // found as "libx264-" + name

        av::CodecContextPtr ctx(avcodec_alloc_context3(x264));
        ctx->width = 64;
        ctx->height = 48;
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        ctx->time_base = {1, 25};
        task.OptionStore()->Apply(ctx.get(), AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
        if (ctx->bit_rate > 0 && ctx->rc_buffer_size == 0) ctx->rc_buffer_size = static_cast<int>(ctx->bit_rate);
        EXPECT_EQ(avcodec_open2(ctx.get(), x264, nullptr), 0);
        EXPECT_THAT(refusals.Lines(), ::testing::IsEmpty());
    }
}

TEST(Presets, MediumReachesTheEncoderWithTodaysNames) {
    TCustomFFmpeg task;
    task.Reset();
    task.SetOption("vcodec", "libx264");
    task.SetOption("vpre", "MEDIUM");  // any letter case
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    av::CodecContextPtr ctx(avcodec_alloc_context3(x264));
    task.OptionStore()->Apply(ctx.get(), AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
    EXPECT_EQ(ctx->refs, 3);
    EXPECT_EQ(ctx->max_b_frames, 3);
    EXPECT_EQ(ctx->gop_size, 250);
    EXPECT_EQ(ctx->me_range, 16);
    EXPECT_EQ(EncoderOption(ctx.get(), "me_method"), "1");  // "hex", a name of the encoder's own table
    EXPECT_EQ(EncoderOption(ctx.get(), "direct-pred"), "1");
    EXPECT_EQ(EncoderOption(ctx.get(), "weightb"), "true");
    EXPECT_EQ(EncoderOption(ctx.get(), "8x8dct"), "true");
    EXPECT_EQ(EncoderOption(ctx.get(), "b-pyramid"), "2");
    EXPECT_EQ(EncoderOption(ctx.get(), "partitions"), "i8x8,i4x4,p8x8,b8x8");
    EXPECT_EQ(EncoderOption(ctx.get(), "wpredp"), "2");
}

TEST(Presets, LookupOrderAndFailures) {
    const std::string dir = testmedia::TempDir();
    struct Case {
        std::vector<std::pair<std::string, std::string>> options;  // the last one is the preset
        std::string message;                                       // empty: succeeds
    };
    const std::vector<Case> cases = {
        {{{"vpre", "libx264-main"}}, ""},                                 // full name, no codec needed
        {{{"vpre", "medium"}}, "Preset \"medium\" not found"},           // no codec name: no second look-up
        {{{"acodec", "libx264"}, {"vpre", "medium"}}, "Preset \"medium\" not found"},  // apre's codec is not vpre's
        {{{"acodec", "libx264"}, {"apre", "medium"}}, ""},
        {{{"vcodec", "libx264"}, {"fpre", "medium"}}, "Preset \"medium\" not found"},  // fpre is a file only
        {{{"vpre", dir}}, "Preset \"" + dir + "\" not found"},           // a folder is no preset file
        {{{"vpre", ""}}, ""},
    };
    for (const Case& c : cases) {
        TCustomFFmpeg task;
        task.Reset();
        for (size_t i = 0; i + 1 < c.options.size(); ++i) task.SetOption(c.options[i].first, c.options[i].second);
        const auto& [n, v] = c.options.back();
        const std::string got = FailureOf([&] { task.SetOption(n, v); });
        EXPECT_EQ(got, c.message.empty() ? "(no failure)" : c.message) << n << " " << v;
    }
}

TEST(Presets, FilesAreReadLineByLine) {
    const std::string good = WriteFile("good.ffpreset", "\r\n  g = 12 \r\nvcodec=copy\rACODEC=mp2\n\nbf=0\n  \n");
    TCustomFFmpeg task;
    task.Reset();
    task.SetOption("fpre", good);
    EXPECT_EQ(task.OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
    EXPECT_EQ(task.OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "bf"), 0);
    EXPECT_TRUE(task.Settings().videoStreamCopy);
    EXPECT_EQ(task.Settings().audioCodecName, "mp2");

    struct Case {
        std::string text, message;  // "%F" stands for the file name
        int gAfter;                 // lines before the failing one stay applied
    };
    const std::vector<Case> cases = {
        {"g=7\nno equals sign\n", "%F: Invalid syntax: \"no equals sign\"", 7},
        {"g=8\n=5\n", "%F: Invalid syntax: \"=5\"", 8},
        {"g=9\nbf=\n", "%F: Invalid syntax: \"bf=\"", 9},
        {"g=10\nno_such_key=1\n", "%F: Invalid option or argument: \"no_such_key=1\", parsed as \"no_such_key\" = \"1\"", 10},
        {"g=11\nbf= many \n", "%F: Invalid option or argument: \"bf= many\", parsed as \"bf\" = \"many\"", 11},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string file = WriteFile("bad" + std::to_string(n++) + ".ffpreset", c.text);
        std::string message = c.message;
        message.replace(message.find("%F"), 2, file);
        TCustomFFmpeg t;
        t.Reset();
        EXPECT_EQ(FailureOf([&] { t.SetPreset("fpre", file); }), message);
        EXPECT_EQ(t.OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "g"), c.gAfter);
    }
}

TEST(Presets, BaselineTurnsTodaysOptionsOff) {
    TCustomFFmpeg task;
    task.Reset();
    task.SetOption("vcodec", "libx264");
    EXPECT_NO_THROW(task.SetOption("vpre", "baseline"));
    EXPECT_EQ(task.OptionStore()->Get(AVMEDIA_TYPE_VIDEO, "weightb"), "0");
    EXPECT_EQ(task.OptionStore()->Get(AVMEDIA_TYPE_VIDEO, "8x8dct"), "0");
    EXPECT_EQ(task.OptionStore()->Get(AVMEDIA_TYPE_VIDEO, "coder"), "0");
}

// ---- targets ----

namespace {
struct TargetResult {
    int width, height;
    AVRational rate;
    std::string gop, vcodec, acodec, format, pixFmt;
    int sampleRate, channels;
    double aspect;
};

TargetResult ResultOf(const TCustomFFmpeg& t) {
    const TTaskSettings& s = t.Settings();
    const char* pix = av_get_pix_fmt_name(s.pixelFormat);
    return {s.frameWidth, s.frameHeight, s.frameRate, t.OptionStore()->Get(AVMEDIA_TYPE_VIDEO, "g"), s.videoCodecName,
            s.audioCodecName, s.formatName, pix ? pix : "", s.audioSampleRate, s.audioChannels, s.frameAspectRatio};
}
}  // namespace

TEST(Targets, KindsAndNorms) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> before;
        std::string target;
        int width, height, rateNum, rateDen;
        const char *gop, *vcodec, *acodec, *format, *pixFmt;
        int sampleRate, channels;
        double aspect;
    };
    const std::vector<Case> cases = {
        {{}, "pal-dvd", 720, 576, 25, 1, "15", "mpeg2video", "ac3", "dvd", "", 48000, 2, 16.0 / 9},
        {{{"aspect", "4:3"}}, "ntsc-dvd", 720, 480, 30000, 1001, "18", "mpeg2video", "ac3", "dvd", "", 48000, 2, 4.0 / 3},
        {{}, "film-dvd", 720, 480, 24000, 1001, "18", "mpeg2video", "ac3", "dvd", "", 48000, 2, 16.0 / 9},
        {{{"ac", "1"}}, "pal-vcd", 352, 288, 25, 1, "15", "mpeg1video", "mp2", "vcd", "", 44100, 2, 4.0 / 3},
        {{{"ac", "1"}}, "ntsc-svcd", 480, 480, 30000, 1001, "18", "mpeg2video", "mp2", "svcd", "", 44100, 2, 4.0 / 3},
        {{{"ac", "6"}}, "ntsc-svcd", 480, 480, 30000, 1001, "18", "mpeg2video", "mp2", "svcd", "", 44100, 6, 4.0 / 3},
        {{{"ac", "6"}}, "pal-dv", 720, 576, 25, 1, "12", "", "", "dv", "yuv420p", 48000, 2, 0.0},
        {{}, "ntsc-dv", 720, 480, 30000, 1001, "12", "", "", "dv", "yuv411p", 48000, 2, 0.0},
        {{}, "film-dv50", 720, 480, 24000, 1001, "12", "", "", "dv", "yuv422p", 48000, 2, 0.0},
        // automatic norm from the frame rate
        {{{"r", "25"}}, "vcd", 352, 288, 25, 1, "15", "mpeg1video", "mp2", "vcd", "", 44100, 2, 4.0 / 3},
        {{{"r", "29.97"}}, "vcd", 352, 240, 30000, 1001, "18", "mpeg1video", "mp2", "vcd", "", 44100, 2, 4.0 / 3},
        {{{"r", "23.976"}}, "dvd", 720, 480, 30000, 1001, "18", "mpeg2video", "ac3", "dvd", "", 48000, 2, 16.0 / 9},
        {{{"r", "10"}}, "dvd", 720, 480, 30000, 1001, "18", "mpeg2video", "ac3", "dvd", "", 48000, 2, 16.0 / 9},  // default ntsc
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        TCustomFFmpeg task;
        task.Reset();
        for (const auto& [n, v] : c.before) task.SetOption(n, v);
        task.SetOption("target", c.target);
        const TargetResult r = ResultOf(task);
        EXPECT_EQ(r.width, c.width);
        EXPECT_EQ(r.height, c.height);
        EXPECT_EQ(r.rate.num, c.rateNum);
        EXPECT_EQ(r.rate.den, c.rateDen);
        EXPECT_EQ(r.gop, c.gop);
        EXPECT_EQ(r.vcodec, c.vcodec);
        EXPECT_EQ(r.acodec, c.acodec);
        EXPECT_EQ(r.format, c.format);
        EXPECT_EQ(r.pixFmt, c.pixFmt);
        EXPECT_EQ(r.sampleRate, c.sampleRate);
        EXPECT_EQ(r.channels, c.channels);
        EXPECT_DOUBLE_EQ(r.aspect, c.aspect);
    }
}

TEST(Targets, StoreValuesReachEncoderAndMuxer) {
    TCustomFFmpeg task;
    task.Reset();
    task.SetOption("target", "pal-vcd");
    TOptionStore& store = *task.OptionStore();
    EXPECT_EQ(store.GetInt(AVMEDIA_TYPE_VIDEO, "b"), 1150000);
    EXPECT_EQ(store.GetInt(AVMEDIA_TYPE_VIDEO, "maxrate"), 1150000);
    EXPECT_EQ(store.GetInt(AVMEDIA_TYPE_VIDEO, "bufsize"), 327680);
    EXPECT_EQ(store.GetInt(AVMEDIA_TYPE_AUDIO, "b"), 224000);
    EXPECT_DOUBLE_EQ(task.Settings().muxPreloadSeconds, 0.44);

    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "vcd", nullptr), 0);
    av::FormatContextPtr oc(raw);
    store.Apply(oc.get(), AV_OPT_FLAG_ENCODING_PARAM);
    EXPECT_EQ(oc->packet_size, 2324u);
    int64_t muxrate = 0;
    ASSERT_GE(av_opt_get_int(oc->priv_data, "muxrate", 0, &muxrate), 0);
    EXPECT_EQ(muxrate, 1411200);

    TCustomFFmpeg svcd;
    svcd.Reset();
    svcd.SetTarget("svcd", "pal", "ntsc");
    av::CodecContextPtr enc(avcodec_alloc_context3(avcodec_find_encoder_by_name("mpeg2video")));
    svcd.OptionStore()->Apply(enc.get(), AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
    EXPECT_EQ(enc->rc_max_rate, 2516000);
    EXPECT_EQ(EncoderOption(enc.get(), "scan_offset"), "true");  // "+scan_offset" of the old flags
}

TEST(Targets, AutomaticNormWithTheDefaultNorm) {
    struct Case {
        const char* defaultNorm;
        int height, rateNum;
    };
    const Case cases[] = {{"pal", 576, 25}, {"ntsc", 480, 30000}, {"film", 480, 24000}, {"anything", 576, 25}};
    for (const Case& c : cases) {
        TCustomFFmpeg task;
        task.Reset();
        task.SetOption("r", "12");
        task.SetTarget("dvd", "auto", c.defaultNorm);
        EXPECT_EQ(task.Settings().frameHeight, c.height) << c.defaultNorm;
        EXPECT_EQ(task.Settings().frameRate.num, c.rateNum) << c.defaultNorm;
    }
}

TEST(Targets, UnknownKindFailsAfterTheNorm) {
    TCustomFFmpeg task;
    task.Reset();
    EXPECT_EQ(FailureOf([&] { task.SetTarget("laserdisc", "auto", "pal"); }), "frame_rate is invalid.");
    EXPECT_EQ(FailureOf([&] { task.SetTarget("laserdisc", "pal", "pal"); }), "Unknown target type");
    EXPECT_TRUE(task.Settings() == TTaskSettings{});
}

// With the frame rate of no norm, the first video stream of the opened inputs decides.
TEST(Targets, AutomaticNormFromOpenedInputs) {
    struct Case {
        const char* fixture;
        const char* rate;  // given after the input; empty: the input's own rate stays
        int height;
    };
    const Case cases[] = {
        {"ntsc.ts", "", 240},     // 29.97 from the input
        {"ntsc.ts", "12", 240},   // 12 is no norm: the input's stream decides
        {"av.mp4", "12", 288},    // a 25 fps stream: PAL
        {"odd.mkv", "", 288},     // 25 fps as well
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture + std::string(" ") + c.rate);
        TCustomFFmpeg task;
        task.Reset();
        ASSERT_TRUE(task.OpenInput(testmedia::Fixture(c.fixture))) << task.LastError();
        if (*c.rate) task.SetOption("r", c.rate);
        task.SetTarget("vcd", "auto", "film");
        EXPECT_EQ(task.Settings().frameHeight, c.height);
    }
}
