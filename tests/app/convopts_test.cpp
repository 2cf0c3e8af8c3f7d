// Options built from a format, its stored choices, a job record and the source's facts.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "app/ConversionOptions.h"
#include "app/IniStore.h"
#include "app/ParameterLists.h"
#include "engine/EngineComponent.h"
#include "engine/FFmpegLoader.h"
#include "probe/AVProbe.h"
#include "support/TestMedia.h"

namespace {

constexpr int kCode = 1;
const std::string kSection = "formatInfo1";

class TAnsweringPrompt : public IUserPrompt {
public:
    bool answer = false;
    std::vector<std::string> asked;  // caption + "|" + text
    void ShowMessage(const std::string& text) override { asked.push_back("|" + text); }
    void ShowMessageBox(const std::string& caption, const std::string& text) override {
        asked.push_back(caption + "|" + text);
    }
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        asked.push_back(caption + "|" + text);
        return answer;
    }
    void Beep() override {}
};

using TKeys = std::map<std::string, std::string>;

struct TBuilt {
    TOutputOptions out;
    TInputOptions in;
    std::vector<std::string> asked;
};

// A format file with "Format" = format (none when empty) and settings with the given keys.
TBuilt Build(const std::string& format, const TKeys& keys, const TSourceFacts& src, const TlvFilesRecord& job,
             bool answer = false, const std::string& presetFilters = "") {
    const std::string dir = testmedia::TempDir();
    TIniStore formatFile(dir + "/format.ini");
    TIniStore settings(dir + "/settings.ini");
    formatFile.WriteString("formatInfo99", "Format", "unused");
    if (!format.empty()) formatFile.WriteString(kSection, "Format", format);
    settings.WriteString("settings", "FormatCode", "1");
    for (const auto& [k, v] : keys) settings.WriteString(kSection, k, v);
    TBuilt b;
    InitOutputOptions(b.out);
    InitInputOptions(b.in);
    b.out.FileName = "/out/x.mp4";
    b.out.VideoFilters = presetFilters;
    b.in.FileName = "/in/x.avi";
    TAnsweringPrompt prompt;
    prompt.answer = answer;
    BuildConversionOptions(job, kCode, b.out, src, b.in, formatFile, settings, prompt);
    b.asked = prompt.asked;
    return b;
}

TSourceFacts Video(int w, int h, int bitRate = 1234000) { return {true, w, h, bitRate}; }

TlvFilesRecord Job(const std::string& zoom, int top = 0, int left = 0, int bottom = 0, int right = 0) {
    TlvFilesRecord r;
    r.SourceFile = "/in/x.avi";
    r.Zoom = zoom;
    r.CropTop = top, r.CropLeft = left, r.CropBottom = bottom, r.CropRight = right;
    return r;
}

TEST(LetterboxPads, FitsThePictureKeepingItsProportions) {
    struct Case {
        int Sw, Sh, W, H;
        TPads pads;
    } cases[] = {
        {1280, 720, 320, 240, {30, 30, 0, 0}},  // wide source, bars above and below
        {480, 640, 320, 240, {0, 0, 70, 70}},   // portrait source, bars at the sides
        {640, 480, 320, 240, {0, 0, 0, 0}},     // same proportion
        {160, 90, 320, 240, {30, 30, 0, 0}},    // smaller source is scaled up
        {90, 160, 320, 240, {0, 0, 92, 92}},
        {720, 576, 720, 576, {0, 0, 0, 0}},
        {0, 576, 720, 576, {0, 0, 0, 0}},       // unknown size: nothing to divide by
        {720, 576, 0, 0, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Sw) + "x" + std::to_string(c.Sh) + " -> " + std::to_string(c.W) + "x" +
                     std::to_string(c.H));
        TPads p = LetterboxPads(c.Sw, c.Sh, c.W, c.H);
        EXPECT_EQ(p.Top, c.pads.Top);
        EXPECT_EQ(p.Bottom, c.pads.Bottom);
        EXPECT_EQ(p.Left, c.pads.Left);
        EXPECT_EQ(p.Right, c.pads.Right);
    }
}

TEST(BuildConversionOptions, FrameSizeZoomAndCrop) {
    struct Case {
        const char* name;
        std::string zoom;
        int top, left, bottom, right;  // the job's crop
        std::string videoSize, encoder;
        int Sw, Sh;
        bool answer;
        std::string frameSize, aspect, filters;
        int cropTop, cropBottom, cropLeft, cropRight;
        bool asks;
    } cases[] = {
        {"letterbox", "lbox", 0, 0, 0, 0, "320x240", "libx264", 1280, 720, false,
         "320x180", "320:180", "pad=320:240:0:30", 0, 0, 0, 0, false},
        {"letterbox as source", "lbox", 0, 0, 0, 0, "as source", "libx264", 720, 576, false,
         "720x576", "720:576", "pad=720:576:0:0", 0, 0, 0, 0, false},
        {"letterbox with crop", "lbox", 8, 0, 0, 0, "320x240", "libx264", 1280, 720, false,
         "", "320:180", "crop=w=1280:h=712:x=0:y=8,scale=320:180,pad=320:240:0:30", 0, 0, 0, 0, false},
        {"letterbox portrait", "lbox", 0, 0, 0, 0, "320x240", "mpeg4", 480, 640, false,
         "180x240", "180:240", "pad=320:240:70:0", 0, 0, 0, 0, false},
        {"full with crop", "full", 8, 0, 0, 0, "320x240", "mpeg4", 1280, 720, false,
         "320x240", "320:240", "", 8, 0, 0, 0, false},
        {"full", "full", 0, 0, 0, 0, "320x240", "mpeg4", 1280, 720, false,
         "320x240", "320:240", "", 0, 0, 0, 0, false},
        {"size without x, No", "full", 0, 0, 0, 0, "640", "mpeg4", 1280, 720, false,
         "1280x720", "1280:720", "", 0, 0, 0, 0, true},
        {"size without x, Yes", "full", 0, 0, 0, 0, "640", "mpeg4", 1280, 720, true,
         "320x240", "320:240", "", 0, 0, 0, 0, true},
        {"missing size asks", "full", 0, 0, 0, 0, "", "mpeg4", 1280, 720, true,
         "320x240", "320:240", "", 0, 0, 0, 0, true},
        {"letters for width", "full", 0, 0, 0, 0, "abcx480", "mpeg4", 1280, 720, false,
         "1280x480", "1280:480", "", 0, 0, 0, 0, false},
        {"zero width takes the source's", "full", 0, 0, 0, 0, "0x480", "mpeg4", 1280, 720, false,
         "1280x480", "1280:480", "", 0, 0, 0, 0, false},
        {"h263 snaps up", "full", 0, 0, 0, 0, "320x240", "h263", 1280, 720, false,
         "352x288", "352:288", "", 0, 0, 0, 0, false},
        {"h263 snaps to the large size", "full", 0, 0, 0, 0, "800x600", "h263", 1280, 720, false,
         "704x576", "704:576", "", 0, 0, 0, 0, false},
        {"h263 size stays", "full", 0, 0, 0, 0, "176x144", "h263", 1280, 720, false,
         "176x144", "176:144", "", 0, 0, 0, 0, false},
        {"h263 small stays", "full", 0, 0, 0, 0, "170x100", "h263", 1280, 720, false,
         "170x100", "170:100", "", 0, 0, 0, 0, false},
        {"h263p does not snap", "full", 0, 0, 0, 0, "320x240", "h263p", 1280, 720, false,
         "320x240", "320:240", "", 0, 0, 0, 0, false},
        {"pan wide source", "pan", 0, 0, 0, 0, "320x240", "mpeg4", 1280, 720, false,
         "320x240", "320:240", "", 0, 0, 160, 160, false},
        {"pan portrait source", "pan", 0, 0, 0, 0, "320x240", "mpeg4", 480, 640, false,
         "320x240", "320:240", "", 140, 140, 0, 0, false},
        {"pan 4:3 source", "pan", 0, 0, 0, 0, "320x240", "mpeg4", 640, 480, false,
         "320x240", "320:240", "", 0, 0, 0, 0, false},
        {"pan adds the left margin", "pan", 0, 10, 0, 0, "320x240", "mpeg4", 1280, 720, false,
         "320x240", "320:240", "", 0, 0, 164, 164, false},
        {"center", "center", 0, 0, 0, 0, "as source", "mpeg4", 1920, 1080, false,
         "1920x1080", "1920:1080", "pad=1920:1088:0:4:black", 0, 0, 0, 0, false},
        {"center aligned", "center", 0, 0, 0, 0, "320x240", "mpeg4", 1280, 720, false,
         "320x240", "320:240", "pad=320:240:0:0:black", 0, 0, 0, 0, false},
        {"unknown zoom", "zoom", 0, 0, 0, 0, "320x240", "mpeg4", 1280, 720, false,
         "", "", "", 0, 0, 0, 0, false},
        {"unknown source size", "lbox", 0, 0, 0, 0, "as source", "mpeg4", -1, -1, false,
         "", "", "", 0, 0, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TKeys keys = {{"paraVideoEncoder", c.encoder}};
        if (!c.videoSize.empty()) keys["paraVideoSize"] = c.videoSize;
        TBuilt b = Build("mp4", keys, Video(c.Sw, c.Sh), Job(c.zoom, c.top, c.left, c.bottom, c.right), c.answer);
        EXPECT_EQ(b.out.FrameSize, c.frameSize);
        EXPECT_EQ(b.out.FrameAspectRatio, c.aspect);
        EXPECT_EQ(b.out.VideoFilters, c.filters);
        EXPECT_EQ(b.out.CropTop, c.cropTop);
        EXPECT_EQ(b.out.CropBottom, c.cropBottom);
        EXPECT_EQ(b.out.CropLeft, c.cropLeft);
        EXPECT_EQ(b.out.CropRight, c.cropRight);
        if (c.asks) {
            EXPECT_EQ(b.asked, std::vector<std::string>{"Warning|Error output Video Size.Use the default size 320x240?"});
        } else {
            EXPECT_TRUE(b.asked.empty());
        }
    }
}

TEST(BuildConversionOptions, FiltersAppendToThoseAlreadySet) {
    TKeys keys = {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}};
    EXPECT_EQ(Build("mp4", keys, Video(1280, 720), Job("lbox"), false, "hflip").out.VideoFilters,
              "hflip,pad=320:240:0:30");
    // No chain of its own: the existing one stays without a stray comma.
    EXPECT_EQ(Build("mp4", keys, Video(1280, 720), Job("full"), false, "hflip").out.VideoFilters, "hflip");
}

TEST(BuildConversionOptions, CropThatLeavesNoPictureIsRefused) {
    TKeys keys = {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}};
    EXPECT_THROW(Build("mp4", keys, Video(640, 480), Job("lbox", 0, 320, 0, 320)), EConvertError);
    EXPECT_THROW(Build("mp4", keys, Video(640, 480), Job("lbox", 480, 0, 0, 0)), EConvertError);
    EXPECT_NO_THROW(Build("mp4", keys, Video(640, 480), Job("lbox", 0, 318, 0, 318)));
}

TEST(BuildConversionOptions, CodecsPresetsContainersAndTargets) {
    struct Case {
        std::string format, encoder, videoSize;
        std::string videoCodec, preset, fileFormat;
        int targetType, targetNorm;
    } cases[] = {
        {"flv", "flv", "320x240", "", "", "flv", 0, 0},
        {"PS3", "libx264", "320x240", "libx264", "libx264-ps3", "", 0, 0},
        {"ipod", "libx264", "320x240", "libx264", "libx264-ipod", "ipod", 0, 0},
        {"PSP", "libx264", "320x240", "libx264", "libx264-psp", "PSP", 0, 0},
        {"mp4", "libx264", "320x240", "libx264", "libx264-mp4", "", 0, 0},
        {"avi", "LIBX264", "320x240", "", "", "avi", 0, 0},  // codec names are exact
        {"3gp", "3gp", "176x144", "", "", "3gp", 0, 0},
        {"pal-dvd", "mpeg2video", "720x576", "mpeg2video", "", "", 3, 1},
        {"ntsc-dvd", "mpeg2video", "720x480", "mpeg2video", "", "", 3, 2},
        {"mpeg", "mpeg2video", "720x480", "mpeg2video", "", "", 3, 0},
        {"ntsc-vcd", "mpeg1video", "352x240", "mpeg1video", "", "", 1, 2},
        {"pal-svcd", "mpeg2video", "480x576", "mpeg2video", "", "", 3, 1},  // the codec makes it a DVD
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format + " " + c.encoder);
        TBuilt b = Build(c.format, {{"paraVideoEncoder", c.encoder}, {"paraVideoSize", c.videoSize}},
                         Video(720, 576), Job("full"));
        EXPECT_EQ(b.out.VideoCodec, c.videoCodec);
        EXPECT_EQ(b.out.VideoPreset, c.preset);
        EXPECT_EQ(b.out.FileFormat, c.fileFormat);
        EXPECT_EQ(b.out.TargetType, c.targetType);
        EXPECT_EQ(b.out.TargetNorm, c.targetNorm);
        EXPECT_FALSE(b.out.DisableVideo);
    }
}

// MPEG-2 brings the DVD target and its 9 Mbit/s ceiling; a higher chosen rate lifts the ceiling
// and the buffer in the DVD's proportions (9 of 6, and 1835008 bits for 9 Mbit/s).
TEST(BuildConversionOptions, RatesAboveTheDvdCeilingLiftIt) {
    struct Case {
        std::string encoder, bitRate;
        int videoBitrate, maxRate, bufferSize;
    } cases[] = {
        {"mpeg2video", "6000", 6000000, -1, -1},
        {"mpeg2video", "9000", 9000000, -1, -1},
        {"mpeg2video", "15000", 15000000, 22500000, 4587520},
        {"mpeg2video", "as source", 12000000, 18000000, 3670016},
        {"mpeg2video", "5000000", INT_MAX, INT_MAX, 437849963},
        {"mpeg4", "15000", 15000000, -1, -1},  // no DVD target, no ceiling
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoder + " " + c.bitRate);
        TBuilt b = Build("vob",
                         {{"paraVideoEncoder", c.encoder}, {"paraVideoSize", "1920x1080"}, {"paraVideoBitRate", c.bitRate}},
                         Video(1920, 1080, 12000000), Job("lbox"));
        EXPECT_EQ(b.out.VideoBitrate, c.videoBitrate);
        EXPECT_EQ(b.out.VideoMaxRate, c.maxRate);
        EXPECT_EQ(b.out.VideoBufferSize, c.bufferSize);
        EXPECT_EQ(b.out.VideoMinRate, -1);
    }
}

TEST(BuildConversionOptions, DiscAspectFollowsTheStoredSize) {
    // Full-screen zoom writes its own aspect, so look at a zoom that leaves it alone.
    auto aspect = [](const std::string& format, const std::string& size) {
        return Build(format, {{"paraVideoEncoder", "mpeg2video"}, {"paraVideoSize", size}}, Video(720, 576),
                     Job("none"))
            .out.FrameAspectRatio;
    };
    EXPECT_EQ(aspect("pal-dvd", "720x576"), "16:9");
    EXPECT_EQ(aspect("pal-dvd", "352x288"), "4:3");
    EXPECT_EQ(aspect("NTSC-DVD", "720x480"), "16:9");
    EXPECT_EQ(aspect("ntsc-dvd", "720x576"), "4:3");
    EXPECT_EQ(aspect("pal-vcd", "352x288"), "4:3");
}

TEST(BuildConversionOptions, RatesAndUnits) {
    struct Case {
        std::string key, value;
        int videoBitrate, audioBitrate, sampleRate, channels, volume;
        std::string frameRate;
    } cases[] = {
        // defaults of the other keys: 512 kbit/s video, 29.97 fps, 128 kbit/s, 44100 Hz, 2 channels, volume 3
        {"paraVideoBitRate", "768", 768000, 128000, 44100, 2, 3, "29.97"},
        {"paraVideoBitRate", "as source", 1234000, 128000, 44100, 2, 3, "29.97"},
        {"paraVideoBitRate", "fast", 1234000, 128000, 44100, 2, 3, "29.97"},
        {"paraVideoBitRate", "0", -1, 128000, 44100, 2, 3, "29.97"},
        {"paraVideoBitRate", "5000000", INT_MAX, 128000, 44100, 2, 3, "29.97"},
        {"paraAudioBitRate", "128.5", 512000, 128500, 44100, 2, 3, "29.97"},
        {"paraAudioBitRate", "as source", 512000, -1, 44100, 2, 3, "29.97"},
        {"paraAudioBitRate", "0", 512000, -1, 44100, 2, 3, "29.97"},
        {"paraAudioBitRate", "1e12", 512000, INT_MAX, 44100, 2, 3, "29.97"},
        {"paraFrameRate", "25", 512000, 128000, 44100, 2, 3, "25"},
        {"paraFrameRate", "as source", 512000, 128000, 44100, 2, 3, ""},
        {"paraFrameRate", "0", 512000, 128000, 44100, 2, 3, ""},
        {"paraFrameRate", "25fps", 512000, 128000, 44100, 2, 3, ""},
        {"paraSampleRate", "as source", 512000, 128000, -1, 2, 3, "29.97"},
        {"paraSampleRate", "22050", 512000, 128000, 22050, 2, 3, "29.97"},
        {"paraChannel", "as source", 512000, 128000, 44100, -1, 3, "29.97"},
        {"paraChannel", "1", 512000, 128000, 44100, 1, 3, "29.97"},
        {"paraChannel", "0", 512000, 128000, 44100, -1, 3, "29.97"},
        {"paraVolume", "256", 512000, 128000, 44100, 2, -1, "29.97"},
        {"paraVolume", "384", 512000, 128000, 44100, 2, 384, "29.97"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + "=" + c.value);
        TBuilt b = Build("mp4", {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}, {c.key, c.value}},
                         Video(640, 480), Job("full"));
        EXPECT_EQ(b.out.VideoBitrate, c.videoBitrate);
        EXPECT_EQ(b.out.AudioBitrate, c.audioBitrate);
        EXPECT_EQ(b.out.AudioSampleRate, c.sampleRate);
        EXPECT_EQ(b.out.AudioChannels, c.channels);
        EXPECT_EQ(b.out.AudioVolume, c.volume);
        EXPECT_EQ(b.out.FrameRate, c.frameRate);
    }
}

TEST(BuildConversionOptions, AudioEncoderOfAVideoJob) {
    TKeys keys = {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}};
    keys["paraAudioEncoder"] = "libamr_nb";
    TBuilt b = Build("3gp", keys, Video(640, 480), Job("full"));
    EXPECT_EQ(b.out.AudioCodec, "libopencore_amrnb");
    EXPECT_FALSE(b.out.DisableAudio);
    keys["paraAudioEncoder"] = "  ";
    b = Build("3gp", keys, Video(640, 480), Job("full"));
    EXPECT_EQ(b.out.AudioCodec, "");
    EXPECT_TRUE(b.out.DisableAudio);
    EXPECT_TRUE(b.in.ExtOptions.empty());
}

TEST(BuildConversionOptions, VolumeThatIsNoNumberIsAnError) {
    TKeys keys = {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}, {"paraVolume", "loud"}};
    EXPECT_THROW(Build("mp4", keys, Video(640, 480), Job("full")), EConvertError);
    EXPECT_THROW(Build("mp3", {{"paraVolume", "loud"}}, Video(640, 480), Job("full")), EConvertError);
}

TEST(BuildConversionOptions, SourceWithoutVideoKeepsOnlyTheAudio) {
    TBuilt b = Build("mp4", {{"paraVideoEncoder", "libx264"}, {"paraVideoSize", "320x240"}}, TSourceFacts{},
                     Job("lbox"));
    EXPECT_TRUE(b.out.DisableVideo);
    EXPECT_EQ(b.out.VideoCodec, "libx264");
    EXPECT_EQ(b.out.FrameSize, "");
    EXPECT_EQ(b.out.VideoFilters, "");
    EXPECT_EQ(b.out.VideoBitrate, -1);
    EXPECT_EQ(b.out.CropTop, -1);
    EXPECT_EQ(b.out.AudioBitrate, 128000);
    EXPECT_TRUE(b.asked.empty());
}

TEST(BuildConversionOptions, AudioOnlyFormats) {
    struct Case {
        const char* name;
        std::string format;
        TKeys keys;
        std::string codec;
        int channels, sampleRate, bitrate, volume;
    } cases[] = {
        {"missing sections", "", {}, "libfaac", 2, 44100, 128000, 3},
        {"mp3", "mp3",
         {{"paraVideoEncoder", " "}, {"paraAudioEncoder", "libmp3lame"}, {"paraChannel", "1"},
          {"paraSampleRate", "48000"}, {"paraAudioBitRate", "192"}, {"paraVolume", "256"}},
         "libmp3lame", 1, 48000, 192000, -1},
        {"as source and zero", "wav",
         {{"paraAudioEncoder", "libamr_nb"}, {"paraChannel", "0"}, {"paraSampleRate", "as source"},
          {"paraAudioBitRate", "as source"}},
         "libamr_nb", -1, -1, -1, 3},
        {"empty encoder stays on", "aac", {{"paraAudioEncoder", ""}}, "", 2, 44100, 128000, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBuilt b = Build(c.format, c.keys, Video(640, 480), Job("lbox"));
        EXPECT_EQ(b.out.AudioCodec, c.codec);
        EXPECT_EQ(b.out.AudioChannels, c.channels);
        EXPECT_EQ(b.out.AudioSampleRate, c.sampleRate);
        EXPECT_EQ(b.out.AudioBitrate, c.bitrate);
        EXPECT_EQ(b.out.AudioVolume, c.volume);
        EXPECT_EQ(b.in.ExtOptions, "vn=1");
        EXPECT_TRUE(b.out.DisableVideo);
        EXPECT_TRUE(b.out.DisableSubtitle);
        EXPECT_FALSE(b.out.DisableAudio);
        EXPECT_EQ(b.out.FrameSize, "");
        EXPECT_EQ(b.out.VideoCodec, "");
        EXPECT_TRUE(b.asked.empty());
    }
}

TEST(BuildConversionOptions, ReadsTheSourceThroughTheProbe) {
    std::string error;
    ASSERT_TRUE(LoadLibraries("", EngineLibraries(), error)) << error;
    const std::string file = testmedia::Fixture("av.mp4");
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(file)) << probe.LastErrorMessage();
    TSourceFacts f = SourceFactsOf(probe);
    EXPECT_TRUE(f.HasVideo);
    EXPECT_EQ(f.Width, probe.VideoStreamInfo().Width);
    EXPECT_GT(f.Width, 0);
    EXPECT_GT(f.Height, 0);
}

}  // namespace

namespace {

// Builds the options of a one-format settings file for the source and runs them through the
// engine; returns the task's error text (empty when it converted).
std::string ConvertWithBuiltOptions(const std::string& source, const std::string& format, const TKeys& keys,
                                    const TlvFilesRecord& job, const std::string& target) {
    const std::string dir = testmedia::TempDir();
    TIniStore formatFile(dir + "/format.ini");
    TIniStore settings(dir + "/settings.ini");
    formatFile.WriteString(kSection, "Format", format);
    for (const auto& [k, v] : keys) settings.WriteString(kSection, k, v);
    ZAReravIRE engine;
    if (!engine.LoadLibraries("")) return "libraries: " + engine.LastErrorMessage();
    TAVProbe probe;
    if (!probe.LoadFile(source)) return "probe: " + probe.LastErrorMessage();
    TOutputOptions out;
    TInputOptions in;
    InitOutputOptions(out);
    InitInputOptions(in);
    out.FileName = target;
    in.FileName = source;
    TAnsweringPrompt prompt;
    BuildConversionOptions(job, kCode, out, probe, in, formatFile, settings, prompt);
    const int task = engine.AddTask(source, &in);
    if (task < 0) return "AddTask: " + engine.LastErrorMessage();
    if (!engine.SetOutputFile(task, target, &out)) return "SetOutputFile: " + engine.LastErrorMessage();
    std::string failure;
    engine.SetOnTerminate([&](TFFBaseComponent*, const TTerminateInfo& info) {
        if (info.TaskIndex >= 0 && info.Failed) failure = info.ErrorMessage;
    });
    engine.StartTask(0);
    return failure;
}

// The built options run through the engine: the letterbox chains give the target size.
TEST(BuildConversionOptions, EngineAcceptsTheLetterboxChains) {
    const std::string source = testmedia::Fixture("av.mp4");  // 320x240
    struct Case {
        const char* name;
        TlvFilesRecord job;
    } cases[] = {{"letterbox", Job("lbox")}, {"letterbox with crop", Job("lbox", 8, 4, 0, 12)},
                 {"center", Job("center")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = testmedia::TempDir() + "/out-" + std::to_string(&c - cases) + ".avi";
        EXPECT_EQ(ConvertWithBuiltOptions(source, "avi",
                                          {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "160x90"},
                                           {"paraAudioEncoder", "mp2"}, {"paraVolume", "256"}},
                                          c.job, target),
                  "");
        TAVProbe result;
        ASSERT_TRUE(result.LoadFile(target)) << result.LastErrorMessage();
        const TVideoStreamInfo v = result.VideoStreamInfo();
        // "center" rounds the canvas up to whole 16-pixel blocks.
        EXPECT_EQ(v.Width, 160);
        EXPECT_EQ(v.Height, std::string(c.name) == "center" ? 96 : 90);
    }
}

// An MPEG-2 rate above the DVD ceiling converts, in a program stream and in a transport stream.
TEST(BuildConversionOptions, EngineOpensMpegTwoAboveTheDvdCeiling) {
    const std::string source = testmedia::Fixture("av.mp4");
    for (const char* format : {"vob", "mpegts"}) {
        SCOPED_TRACE(format);
        const std::string target = testmedia::TempDir() + "/hd-" + format + ".mpg";
        EXPECT_EQ(ConvertWithBuiltOptions(source, format,
                                          {{"paraVideoEncoder", "mpeg2video"}, {"paraVideoSize", "320x240"},
                                           {"paraVideoBitRate", "15000"}, {"paraFrameRate", "29.97"},
                                           {"paraAudioEncoder", "ac3"}, {"paraAudioBitRate", "384"},
                                           {"paraSampleRate", "48000"}, {"paraVolume", "256"}},
                                          Job("lbox"), target),
                  "");
        TAVProbe result;
        ASSERT_TRUE(result.LoadFile(target)) << result.LastErrorMessage();
        EXPECT_EQ(result.VideoStreamInfo().Width, 320);
    }
}

// AMR-NB takes nothing but 8 kHz mono, whatever rate and channels the lists offered.
TEST(BuildConversionOptions, AmrNarrowBandIsAlwaysEightKilohertzMono) {
    const TKeys choices = {{"paraAudioEncoder", "libamr_nb"}, {"paraSampleRate", "44100"}, {"paraChannel", "2"}};
    TKeys videoJob = choices;
    videoJob["paraVideoEncoder"] = "mpeg4";
    videoJob["paraVideoSize"] = "176x144";
    TBuilt b = Build("3gp", videoJob, Video(640, 480), Job("full"));
    EXPECT_EQ(b.out.AudioCodec, "libopencore_amrnb");
    EXPECT_EQ(b.out.AudioSampleRate, 8000);
    EXPECT_EQ(b.out.AudioChannels, 1);
    TKeys audioJob = choices;
    audioJob["paraAudioEncoder"] = "libopencore_amrnb";
    b = Build("3gp", audioJob, Video(640, 480), Job("full"));
    EXPECT_EQ(b.out.AudioSampleRate, 8000);
    EXPECT_EQ(b.out.AudioChannels, 1);
    TKeys aac = videoJob;
    aac["paraAudioEncoder"] = "libfaac";
    b = Build("3gp", aac, Video(640, 480), Job("full"));
    EXPECT_EQ(b.out.AudioSampleRate, 44100);
    EXPECT_EQ(b.out.AudioChannels, 2);

    const std::string target = testmedia::TempDir() + "/amr.3gp";
    videoJob["paraVolume"] = "256";
    EXPECT_EQ(ConvertWithBuiltOptions(testmedia::Fixture("av.mp4"), "3gp", videoJob, Job("full"), target), "");
    TAVProbe result;
    ASSERT_TRUE(result.LoadFile(target)) << result.LastErrorMessage();
    EXPECT_EQ(result.AudioStreamCount(), 1);
}

}  // namespace
