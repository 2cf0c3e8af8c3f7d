// The parameter boxes' rules: list parsing, number texts, key filters, the storing rule and
// message of every box, the frame-size check, loading a format (which writes nothing) and the
// Default button, all against small settings and format files in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/IniStore.h"
#include "app/ParameterLists.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace {

using testmedia::FolderEntries;
using testmedia::ReadFile;
using testmedia::WriteFile;

struct TPromptEntry {
    std::string caption;  // "" for the application-title information box
    std::string text;
    bool operator==(const TPromptEntry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TPromptEntry& e) { return os << "[" << e.caption << "] " << e.text; }

class TRecordingPrompt : public IUserPrompt {
public:
    std::vector<TPromptEntry> shown;
    int beeps = 0;
    void ShowMessage(const std::string& text) override { shown.push_back({"", text}); }
    void ShowMessageBox(const std::string& caption, const std::string& text) override { shown.push_back({caption, text}); }
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        shown.push_back({caption, text});
        return false;
    }
    void Beep() override { ++beeps; }
};

using TKeyValues = std::map<std::string, std::string>;

TKeyValues SectionOf(const TIniStore& store, const std::string& section) {
    TKeyValues m;
    for (const auto& [k, v] : store.ReadSectionValues(section)) m[k] = v;
    return m;
}



TParameterBox BoxWith(std::vector<std::string> items) {
    TParameterBox b;
    b.SetItems(std::move(items));
    return b;
}

constexpr int kCode = 403;
constexpr const char* kSection = "formatInfo403";

class ParameterRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testmedia::TempDir();
        formatPath_ = dir_ + "/quillmarformat.ini";
        settingsPath_ = dir_ + "/quillmar.ini";
    }
    std::string dir_, formatPath_, settingsPath_;
    TRecordingPrompt prompt_;
};

}  // namespace

TEST(ParameterText, SplitList) {
    struct Case { const char* value; std::vector<std::string> items; };
    const Case cases[] = {
        {"320x240,640x480", {"320x240", "640x480"}},
        {"a,,b", {"a", "", "b"}},
        {"a,", {"a", ""}},
        {",a", {"", "a"}},
        {"single", {"single"}},
        {"", {""}},
        {"pcm_s16,pcm_mulaw ,adpcm_ms", {"pcm_s16", "pcm_mulaw ", "adpcm_ms"}},  // blanks are kept
    };
    for (const Case& c : cases) EXPECT_EQ(SplitList(c.value), c.items) << '"' << c.value << '"';
}

TEST(ParameterText, IntegerAndFloatTexts) {
    struct Case { const char* text; bool integer; bool decimal; };
    const Case cases[] = {
        {"768", true, true},       {"  768", true, true},       {"-5", true, true},
        {"+5", true, true},        {"", false, false},          {"768 ", false, false},
        {"12a", false, false},     {"128.5", false, true},      {".5", false, true},
        {"5.", false, true},       {"1e3", false, true},        {"1.5E-2", false, true},
        {"1e", false, false},      {"e3", false, false},        {".", false, false},
        {"2147483647", true, true}, {"2147483648", false, true}, {"-2147483648", true, true},
        {"0x10", false, false},    {"as source", false, false}, {"1,5", false, false},
        {"inf", false, false},     {"-", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsIntegerText(c.text), c.integer) << '"' << c.text << '"';
        EXPECT_EQ(IsFloatText(c.text), c.decimal) << '"' << c.text << '"';
    }
    EXPECT_EQ(IntegerOfText("  -42"), -42);
}

TEST(ParameterText, KeyFilters) {
    struct Case { const char* box; const char* text; char32_t key; TKeyVerdict verdict; };
    const Case cases[] = {
        {"rate", "", U'7', kvAccept},
        {"rate", "12", U'\b', kvAccept},
        {"rate", "12", U'.', kvDiscardWithMessage},  // 128.5 cannot be typed
        {"rate", "", U'a', kvDiscardWithMessage},
        {"rate", "", U'-', kvDiscardWithMessage},
        {"size", "", U'a', kvAccept},  // anything goes into an empty box
        {"size", "", U'X', kvAccept},
        {"size", "640", U'x', kvAccept},
        {"size", "640x", U'x', kvDiscard},
        {"size", "640x4", U'8', kvAccept},
        {"size", "640x48", U'\b', kvAccept},
        {"size", "640", U'X', kvDiscard},
        {"size", "640", U' ', kvDiscard},
    };
    for (const Case& c : cases) {
        const TKeyVerdict v = std::string(c.box) == "rate" ? NumericKeyVerdict(c.key) : FrameSizeKeyVerdict(c.text, c.key);
        EXPECT_EQ(v, c.verdict) << c.box << " '" << c.text << "' + " << static_cast<uint32_t>(c.key);
    }

    TRecordingPrompt prompt;
    EXPECT_TRUE(ApplyKeyVerdict(kvAccept, prompt));
    EXPECT_TRUE(prompt.shown.empty());
    EXPECT_EQ(prompt.beeps, 0);
    EXPECT_FALSE(ApplyKeyVerdict(kvDiscard, prompt));
    EXPECT_TRUE(prompt.shown.empty());
    EXPECT_EQ(prompt.beeps, 1);
    EXPECT_FALSE(ApplyKeyVerdict(kvDiscardWithMessage, prompt));
    EXPECT_EQ(prompt.shown, (std::vector<TPromptEntry>{{"", "Please enter numerical."}}));
    EXPECT_EQ(prompt.beeps, 2);
}

TEST(ParameterText, ItemMappings) {
    // Video encoders: every row of the table, compared in lower case.
    const std::map<std::string, std::string> video = {
        {"MPEG-4", "mpeg4"}, {"3gp", "3gp"}, {"3G2", "3g2"}, {"Xvid", "libxvid"}, {"mov", "mov"},
        {"wmv1", "wmv1"}, {"WMV2", "wmv2"}, {"wmv3", "wmv3"}, {"flv", "flv"}, {"swf", "swf"},
        {"msmpeg4", "msmpeg4"}, {"msmpeg4v1", "msmpeg4v1"}, {"msmpeg4v2", "msmpeg4v2"}, {"H264", "libx264"},
        {"mpeg1video", "mpeg1video"}, {"mpeg2video", "mpeg2video"}, {"h263", "h263"}, {"h263p", "h263p"},
        {"rawvideo", "rawvideo"}, {"rv10", "rv10"}, {"rv20", "rv20"}, {"dvvideo", "dvvideo"},
        {"huffyuv", "huffyuv"}, {"ljpeg", "ljpeg"}, {"MJPEG", "mjpeg"}, {"svq1", "svq1"}, {"zlib", "zlib"},
    };
    for (const auto& [item, stored] : video) EXPECT_EQ(VideoEncoderValue(item), stored) << item;
    for (const char* unknown : {"mpeg4", "h.264", "", "x264", " h264"}) EXPECT_FALSE(VideoEncoderValue(unknown)) << unknown;

    const std::map<std::string, std::string> audio = {
        {"MP3", "libmp3lame"}, {"ogg", "vorbis"}, {"mp2", "mp2"}, {"AAC", "libfaac"}, {"AC-3", "ac3"},
        {"flac", "libflac"}, {"amr_nb", "libopencore_amrnb"}, {"pcm_s16", "pcm_s16le"}, {"pcm_u16", "pcm_u16le"},
        {"pcm_alaw", "pcm_alaw"}, {"PCM_MULAW ", "pcm_mulaw"}, {"pcm_mulaw", "pcm_mulaw"}, {"adpcm_ms", "adpcm_ms"},
        {"adpcm_ima_wav", "adpcm_ima_wav"}, {"wma1", "wmav1"}, {"WMA2", "wmav2"},
    };
    for (const auto& [item, stored] : audio) EXPECT_EQ(AudioEncoderValue(item), stored) << item;
    for (const char* unknown : {"ac3", "vorbis", "opus", ""}) EXPECT_FALSE(AudioEncoderValue(unknown)) << unknown;

    EXPECT_EQ(ChannelValue("as source"), "as source");
    EXPECT_EQ(ChannelValue("mono 1 channel"), "1");
    EXPECT_EQ(ChannelValue("stereo 2 channels"), "2");
    EXPECT_FALSE(ChannelValue("Stereo 2 Channels"));  // compared exactly
    EXPECT_FALSE(ChannelValue("stereo"));

    const std::map<std::string, std::string> volume = {
        {"25%", "64"},   {"50%", "128"},  {"75%", "192"},  {"100%", "256"}, {"125%", "320"}, {"150%", "384"},
        {"175%", "448"}, {"200%", "512"}, {"250%", "640"}, {"300%", "768"}, {"350%", "896"}, {"400%", "1024"},
        {"100 ", "256"},  // any last character goes
    };
    for (const auto& [item, stored] : volume) EXPECT_EQ(VolumeValue(item), stored) << item;
    for (const char* noValue : {"0%", "-25%", "110%", "1000%", "100"}) EXPECT_FALSE(VolumeValue(noValue)) << noValue;
    for (const char* notNumber : {"", "%", "abc%", "1 0%"}) EXPECT_THROW(VolumeValue(notNumber), EConvertError) << notNumber;

    EXPECT_EQ(ZoomValue(0), "full");
    EXPECT_EQ(ZoomValue(1), "lbox");
    EXPECT_EQ(ZoomValue(2), "pan");
    EXPECT_FALSE(ZoomValue(3));
    EXPECT_FALSE(ZoomValue(-1));
}

// One change of one box: what it stores and what it shows.
TEST_F(ParameterRulesTest, ChangeRulesStoreOrWarn) {
    enum THandler { VideoEncoder, FrameRate, VideoBitRate, SampleRate, AudioBitRate, AudioEncoder, Channel, Volume,
                    Zoom, VideoSizeSelect };
    struct Case {
        const char* name;
        THandler handler;
        std::vector<std::string> items;
        std::optional<int> select;  // select this position, else type `typed`
        const char* typed;
        TKeyValues stored;          // the whole section afterwards (it starts with para*=old)
        std::vector<TPromptEntry> shown;
        const char* boxTextAfter;
    };
    const std::vector<std::string> rates = {"384", "768", "1500"};
    const TKeyValues old = {{"paraVideoEncoder", "old"}, {"paraAudioEncoder", "old"}, {"paraChannel", "old"},
                            {"paraVolume", "old"}, {"paraVideoBitRate", "old"}};
    auto with = [&](TKeyValues extra) {
        TKeyValues m = old;
        for (auto& [k, v] : extra) m[k] = v;
        return m;
    };
    const Case cases[] = {
        {"video encoder item", VideoEncoder, {"MPEG-4", "XVID"}, 1, "", with({{"iVideoEncoder", "1"}, {"paraVideoEncoder", "libxvid"}}), {}, "XVID"},
        {"unknown video encoder keeps the old value", VideoEncoder, {"VP9"}, 0, "", with({{"iVideoEncoder", "0"}}), {}, "VP9"},
        {"frame rate without test", FrameRate, {"25", "abc"}, 1, "", with({{"iFrameRate", "1"}, {"paraFrameRate", "abc"}}), {}, "abc"},
        {"video bit rate item", VideoBitRate, rates, 2, "", with({{"iVideoBitRate", "2"}, {"paraVideoBitRate", "1500"}}), {}, "1500"},
        {"typed video bit rate", VideoBitRate, rates, std::nullopt, "1200", with({{"iVideoBitRate", "-1"}, {"paraVideoBitRate", "1200"}}), {}, "1200"},
        {"video bit rate as source", VideoBitRate, {"as source", "768"}, 0, "", with({{"iVideoBitRate", "0"}, {"paraVideoBitRate", "as source"}}), {}, "as source"},
        {"emptied video bit rate", VideoBitRate, rates, std::nullopt, "", old, {{"", "Video BitRate is not a valid value!"}}, "768"},
        {"decimal video bit rate", VideoBitRate, rates, std::nullopt, "128.5", old, {{"", "Video BitRate is not a valid value!"}}, "768"},
        {"As Source is not as source", VideoBitRate, rates, std::nullopt, "As Source", old, {{"", "Video BitRate is not a valid value!"}}, "768"},
        {"one item: no reselection", VideoBitRate, {"768"}, std::nullopt, "x", old, {{"", "Video BitRate is not a valid value!"}}, "x"},
        {"sample rate", SampleRate, {"44100", "48000"}, std::nullopt, "32000", with({{"iSampleRate", "-1"}, {"paraSampleRate", "32000"}}), {}, "32000"},
        {"bad sample rate", SampleRate, {"44100", "48000"}, std::nullopt, "44.1", old, {{"", "Audio SampleRate is not a valid value!"}}, "48000"},
        {"decimal audio bit rate", AudioBitRate, {"96", "128"}, std::nullopt, "128.5", with({{"iAudioBitRate", "-1"}, {"paraAudioBitRate", "128.5"}}), {}, "128.5"},
        {"bad audio bit rate", AudioBitRate, {"96", "128"}, std::nullopt, "12a", old, {{"", "Audio BitRate is not a valid value!"}}, "128"},
        {"audio encoder item", AudioEncoder, {"AAC", "MP3"}, 1, "", with({{"iAudioEncoder", "1"}, {"paraAudioEncoder", "libmp3lame"}}), {}, "MP3"},
        {"mu-law with its blank", AudioEncoder, {"pcm_s16", "pcm_mulaw "}, 1, "", with({{"iAudioEncoder", "1"}, {"paraAudioEncoder", "pcm_mulaw"}}), {}, "pcm_mulaw "},
        {"unknown audio encoder keeps the old value", AudioEncoder, {"opus"}, 0, "", with({{"iAudioEncoder", "0"}}), {}, "opus"},
        {"stereo", Channel, {"mono 1 channel", "stereo 2 channels"}, 1, "", with({{"iChannel", "1"}, {"paraChannel", "2"}}), {}, "stereo 2 channels"},
        {"capitalised stereo stores the position only", Channel, {"Stereo 2 Channels"}, 0, "", with({{"iChannel", "0"}}), {}, "Stereo 2 Channels"},
        {"volume", Volume, {"50%", "150%"}, 1, "", with({{"iVolume", "1"}, {"paraVolume", "384"}}), {}, "150%"},
        {"volume outside the table", Volume, {"110%"}, 0, "", with({{"iVolume", "0"}}), {}, "110%"},
        {"zoom letterbox", Zoom, {"Full Screen", "Letter Box", "Pan and Scan"}, 1, "", with({{"paraZoom", "lbox"}}), {}, "Letter Box"},
        {"zoom without selection", Zoom, {"Full Screen", "Letter Box", "Pan and Scan"}, -1, "", old, {}, ""},
        {"frame size from the list", VideoSizeSelect, {"320x240", "640x480"}, 1, "", with({{"iVideoSize", "1"}, {"paraVideoSize", "640x480"}}), {}, "640x480"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(settingsPath_);
        TIniStore settings(settingsPath_);
        for (const auto& [k, v] : old) settings.WriteString(kSection, k, v);
        const TIniStore formatFile(formatPath_);
        TRecordingPrompt prompt;
        TParameterRules rules(formatFile, settings, prompt, kCode);
        TParameterBox box = BoxWith(c.items);
        if (c.select) box.Select(*c.select);
        else box.SetText(c.typed);
        switch (c.handler) {
            case VideoEncoder: rules.VideoEncoderChange(box); break;
            case FrameRate: rules.FrameRateChange(box); break;
            case VideoBitRate: rules.VideoBitRateChange(box); break;
            case SampleRate: rules.SampleRateChange(box); break;
            case AudioBitRate: rules.AudioBitRateChange(box); break;
            case AudioEncoder: rules.AudioEncoderChange(box); break;
            case Channel: rules.ChannelChange(box); break;
            case Volume: rules.VolumeChange(box); break;
            case Zoom: rules.ZoomChange(box); break;
            case VideoSizeSelect: rules.VideoSizeSelect(box); break;
        }
        EXPECT_EQ(SectionOf(settings, kSection), c.stored);
        EXPECT_EQ(prompt.shown, c.shown);
        EXPECT_EQ(box.text, c.boxTextAfter);
        EXPECT_EQ(box.focusRequested, !c.shown.empty());
    }
}

TEST_F(ParameterRulesTest, VolumeThatIsNoNumberStoresThePositionThenThrows) {
    TIniStore settings(settingsPath_);
    settings.WriteString(kSection, "paraVolume", "256");
    const TIniStore formatFile(formatPath_);
    TParameterRules rules(formatFile, settings, prompt_, kCode);
    TParameterBox box = BoxWith({"loud!"});
    box.Select(0);
    EXPECT_THROW(rules.VolumeChange(box), EConvertError);
    EXPECT_EQ(settings.ReadString(kSection, "iVolume", ""), "0");
    EXPECT_EQ(settings.ReadString(kSection, "paraVolume", ""), "256");
}

TEST_F(ParameterRulesTest, FrameSizeCheck) {
    struct Case {
        const char* typed;
        std::vector<TPromptEntry> shown;
        const char* boxTextAfter;
        const char* storedIndex;  // nullptr: nothing stored
        const char* storedSize;
    };
    const char* even = "Frame Size must be a multiple of 2.\nThe correct value:";
    const Case cases[] = {
        {"640x481", {{"Input Error!", std::string(even) + "640x480"}}, "640x480", "2", "640x480"},
        {"0x0", {{"Input Error!", std::string(even) + "2x2"}}, "2x2", "0", "2x2"},
        {"321x1", {{"Input Error!", std::string(even) + "320x2"}}, "320x2", "0", "320x2"},
        {"-5x480", {{"Input Error!", std::string(even) + "-4x480"}}, "-4x480", "0", "-4x480"},
        {"320x240", {}, "320x240", "1", "320x240"},
        {"400x300", {}, "400x300", "0", "400x300"},  // typed, not an item
        {"as source", {}, "as source", nullptr, nullptr},
        {"As Source", {}, "As Source", nullptr, nullptr},
        {"640X480", {{"", "Frame Size is not a valid value!"}}, "320x240", nullptr, nullptr},
        {"640", {{"", "Frame Size is not a valid value!"}}, "320x240", nullptr, nullptr},
        {"", {{"", "Frame Size is not a valid value!"}}, "320x240", nullptr, nullptr},
        {"abcx480", {{"", "Frame Size is not a valid value!"}}, "320x240", nullptr, nullptr},
        {"640x", {{"", "Frame Size is not a valid value!"}}, "320x240", nullptr, nullptr},
        {"1x2x4", {{"", "Frame Size is not a valid value!"}}, "320x240", nullptr, nullptr},  // split at the last x
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        fs::remove(settingsPath_);
        TIniStore settings(settingsPath_);
        const TIniStore formatFile(formatPath_);
        TRecordingPrompt prompt;
        TParameterRules rules(formatFile, settings, prompt, kCode);
        TParameterBox box = BoxWith({"176x144", "320x240", "640x480"});
        box.SetText(c.typed);
        rules.CheckVideoSize(box);
        EXPECT_EQ(prompt.shown, c.shown);
        EXPECT_EQ(box.text, c.boxTextAfter);
        EXPECT_EQ(box.focusRequested, !c.shown.empty());
        TKeyValues expected;
        if (c.storedIndex) expected = {{"iVideoSize", c.storedIndex}, {"paraVideoSize", c.storedSize}};
        EXPECT_EQ(SectionOf(settings, kSection), expected);
    }
}

TEST_F(ParameterRulesTest, LoadFormatFillsTheBoxesAndWritesNothing) {
    WriteFile(formatPath_,
              "[formatInfo403]\n"
              "VideoSize=480x272,320x240\nVideoBitRate=\nFrameRate=25,29.97\nVideoEncoder=H264,MPEG-4\n"
              "AudioBitRate=\nSampleRate=null\nAudioEncoder=AAC\nChannel=mono 1 channel,stereo 2 channels\n"
              "Volume=50%,100%\n"
              "[formatInfo2400]\nVideoSize=320x240\nVideoEncoder=null\nAudioEncoder=MP3\n");
    const std::string settingsText =
        "[formatInfo403]\nparaVideoSize=320X240\nparaVideoBitRate=1200\niFrameRate=1\niVideoEncoder=1\n"
        "iChannel=5\nparaZoom=center\n"
        "[formatInfo2400]\nparaZoom=null\n";
    WriteFile(settingsPath_, settingsText);
    const auto before = fs::last_write_time(settingsPath_);
    const TIniStore formatFile(formatPath_);
    const TIniStore settings(settingsPath_);

    TParameterPanel p;
    LoadFormat(p, formatFile, settings, 403);
    EXPECT_EQ(p.cmbVideoSize.items, (std::vector<std::string>{"480x272", "320x240"}));
    EXPECT_EQ(p.cmbVideoSize.text, "320x240");  // the item, matched ignoring case
    EXPECT_EQ(p.cmbVideoSize.itemIndex, 1);
    EXPECT_EQ(p.cmbVideoSize.dropDownCount, 2);
    EXPECT_EQ(p.cmbVideoBitRate.items, std::vector<std::string>{""});  // only "null" is no list here
    EXPECT_EQ(p.cmbVideoBitRate.text, "1200");
    EXPECT_EQ(p.cmbVideoBitRate.itemIndex, -1);
    EXPECT_EQ(p.cmbFrameRate.text, "29.97");
    EXPECT_EQ(p.cmbVideoEncoder.text, "MPEG-4");
    EXPECT_EQ(p.cmbZoom.items, (std::vector<std::string>{"Full Screen", "Letter Box", "Pan and Scan"}));
    EXPECT_EQ(p.cmbZoom.itemIndex, -1);  // "center" has no item
    EXPECT_TRUE(p.cmbAudioBitRate.items.empty());  // empty counts as "null" for the audio lists
    EXPECT_TRUE(p.cmbSamplerate.items.empty());
    EXPECT_EQ(p.cmbSamplerate.text, "44100");  // restored as typed text
    EXPECT_EQ(p.cmbAudioBitRate.text, "96");
    EXPECT_EQ(p.cmbChannel.itemIndex, -1);  // position 5 does not exist
    EXPECT_EQ(p.cmbChannel.text, "");
    EXPECT_EQ(p.cmbVolume.text, "50%");  // iVolume missing: position 0
    for (const TParameterBox* b : {&p.cmbVideoSize, &p.cmbVideoBitRate, &p.cmbFrameRate, &p.cmbVideoEncoder, &p.cmbZoom,
                                   &p.cmbSamplerate, &p.cmbAudioEncoder, &p.cmbChannel, &p.cmbAudioBitRate, &p.cmbVolume}) {
        EXPECT_TRUE(b->enabled);
        EXPECT_FALSE(b->greyText);
    }

    // No video encoder list greys out all five video boxes, even with frame sizes on offer.
    LoadFormat(p, formatFile, settings, 2400);
    EXPECT_EQ(p.cmbVideoSize.items, std::vector<std::string>{"320x240"});
    for (const TParameterBox* b : {&p.cmbVideoSize, &p.cmbVideoBitRate, &p.cmbFrameRate, &p.cmbVideoEncoder, &p.cmbZoom}) {
        EXPECT_FALSE(b->enabled);
        EXPECT_TRUE(b->greyText);
    }
    EXPECT_TRUE(p.cmbAudioEncoder.enabled);

    // A format without a section offers nothing.
    LoadFormat(p, formatFile, settings, 9999);
    for (const TParameterBox* b : {&p.cmbVideoSize, &p.cmbVideoBitRate, &p.cmbFrameRate, &p.cmbVideoEncoder,
                                   &p.cmbSamplerate, &p.cmbAudioEncoder, &p.cmbChannel, &p.cmbAudioBitRate, &p.cmbVolume}) {
        EXPECT_TRUE(b->items.empty());
        EXPECT_FALSE(b->enabled);
    }

    EXPECT_EQ(ReadFile(settingsPath_), settingsText);
    EXPECT_EQ(fs::last_write_time(settingsPath_), before);
    // Loading against a settings file that does not exist does not create it either.
    const std::string absent = dir_ + "/absent.ini";
    LoadFormat(p, formatFile, TIniStore(absent), 403);
    EXPECT_FALSE(fs::exists(absent));
}

TEST_F(ParameterRulesTest, DefaultStoresTheFormatDefaultsAndCopiesH264Extras) {
    WriteFile(formatPath_,
              "[formatInfo403]\n"
              "VideoSize=480x272,320x240\niVideoSize=1\nVideoBitRate=384,768\niVideoBitRate=1\n"
              "FrameRate=25,29.97\niFrameRate=1\nVideoEncoder=MPEG-4,H264\niVideoEncoder=1\n"
              "AudioBitRate=96,128\niAudioBitRate=1\nSampleRate=24000,48000\niSampleRate=1\n"
              "AudioEncoder=MP3,AAC\niAudioEncoder=1\nChannel=mono 1 channel,stereo 2 channels\niChannel=1\n"
              "Volume=50%,100%\niVolume=1\n"
              "paraBitExact=TRUE\nparaMaxBitrate=0\nparaBufferSize=4000\nparaLevel=abc\nparaQscale=\n"
              "paraGop=250\nparaCoder=0\n");
    TIniStore settings(settingsPath_);
    // A choice typed earlier, which Default replaces.
    settings.WriteString(kSection, "paraVideoBitRate", "999");
    settings.WriteString(kSection, "iVideoBitRate", "-1");
    const TIniStore formatFile(formatPath_);

    TParameterPanel p;
    LoadFormat(p, formatFile, settings, kCode);
    p.cmbVideoSize.SetText("1000x1000");
    TParameterRules(formatFile, settings, prompt_, kCode).Default(p);

    EXPECT_TRUE(prompt_.shown.empty());
    const TKeyValues expected = {
        {"iVideoEncoder", "1"}, {"paraVideoEncoder", "libx264"},
        {"paraBitExact", "TRUE"}, {"paraBufferSize", "4000"}, {"paraGop", "250"}, {"paraCoder", "0"},
        {"iVideoSize", "1"}, {"paraVideoSize", "320x240"},
        {"iFrameRate", "1"}, {"paraFrameRate", "29.97"},
        {"iVideoBitRate", "1"}, {"paraVideoBitRate", "768"},
        {"paraZoom", "full"},
        {"iAudioEncoder", "1"}, {"paraAudioEncoder", "libfaac"},
        {"iAudioBitRate", "1"}, {"paraAudioBitRate", "128"},
        {"iSampleRate", "1"}, {"paraSampleRate", "48000"},
        {"iChannel", "1"}, {"paraChannel", "2"},
        {"iVolume", "1"}, {"paraVolume", "256"},
    };
    EXPECT_EQ(SectionOf(settings, kSection), expected);
    EXPECT_EQ(p.cmbZoom.text, "Full Screen");
    EXPECT_EQ(p.cmbVideoSize.text, "320x240");
}

TEST_F(ParameterRulesTest, H264ExtrasFollowTheirCopyRules) {
    struct Case { const char* key; const char* value; bool copied; };
    const Case cases[] = {
        {"paraBitExact", "true", true},  {"paraBitExact", "True", true},  {"paraBitExact", "false", false},
        {"paraBitExact", "1", false},    {"paraMaxBitrate", "768", true}, {"paraMaxBitrate", "0", false},
        {"paraMaxBitrate", "-1", false}, {"paraBufferSize", "abc", false}, {"paraLevel", "30", true},
        {"paraLevel", "3.0", false},     {"paraQscale", "0x10", true},     {"paraGop", "", false},
        {"paraCoder", "0", true},        {"paraCoder", "1", true},         {"paraCoder", "-1", false},
        {"paraCoder", "cabac", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        WriteFile(formatPath_, std::string("[formatInfo403]\n") + c.key + "=" + c.value + "\n");
        fs::remove(settingsPath_);
        TIniStore settings(settingsPath_);
        const TIniStore formatFile(formatPath_);
        TParameterRules rules(formatFile, settings, prompt_, kCode);
        TParameterBox box = BoxWith({"h264"});
        box.Select(0);
        rules.VideoEncoderChange(box);
        TKeyValues expected = {{"iVideoEncoder", "0"}, {"paraVideoEncoder", "libx264"}};
        if (c.copied) expected[c.key] = c.value;
        EXPECT_EQ(SectionOf(settings, kSection), expected);
    }
}
