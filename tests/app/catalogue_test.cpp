// The output format catalogue, the shipped format file and initial settings, and
// "quillmar-cli formats".
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/FormatCatalogue.h"
#include "app/IniStore.h"
#include "app/ParameterLists.h"
#include "engine/LegacyNames.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/parseutils.h>
}

namespace fs = std::filesystem;

namespace {

// The committed data files. The copies beside the built program may have been written to by
// runs of the program (the settings file there is live), so they are not what is checked.
std::string DataFile(const char* name) {
    const fs::path source = fs::path(__FILE__).parent_path().parent_path().parent_path() / "data" / name;
    if (fs::exists(source)) return source.string();
    return (fs::path(testmedia::CliPath()).parent_path() / name).string();
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The extension a display name announces: "(*.mp4)" gives "mp4".
std::string ExtensionInName(std::string_view name) {
    const size_t open = name.rfind("(*.");
    const size_t close = name.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return "";
    return std::string(name.substr(open + 3, close - open - 3));
}

const char* const kListKeys[] = {"VideoSize", "VideoBitRate", "FrameRate", "VideoEncoder", "AudioBitRate",
                                 "SampleRate", "AudioEncoder", "Channel", "Volume"};
const char* const kH264Keys[] = {"paraBitExact", "paraMaxBitrate", "paraBufferSize", "paraLevel",
                                 "paraQscale", "paraGop", "paraCoder"};

// Engine video codec names the options builder hands on; any other stored value leaves the
// choice to the output container.
const std::set<std::string> kPassedVideoCodecs = {
    "mpeg4", "libxvid", "mpeg1video", "mpeg2video", "msmpeg4", "msmpeg4v1", "msmpeg4v2", "huffyuv", "dvvideo", "rawvideo",
    "h263p", "h263", "rv10", "rv20", "ljpeg", "mjpeg", "svq1", "zlib", "wmv1", "wmv2", "libx264"};
// Container keywords the options builder hands on; otherwise the extension decides.
const std::set<std::string> kPassedContainers = {"ipod", "3gp", "3g2", "avi", "psp", "mov", "vcd", "flv", "mpegts", "vob"};

struct TFormatData {
    int code;
    std::string name;
    std::map<std::string, std::string> keys;  // as read through the store
    std::vector<std::string> List(const char* key) const {
        const std::string v = keys.at(key);
        return v == "null" ? std::vector<std::string>{} : SplitList(v);
    }
    std::string DefaultItem(const char* key) const {
        const std::vector<std::string> items = List(key);
        const int i = std::stoi(keys.at(std::string("i") + key));
        return items.at(static_cast<size_t>(i));
    }
};

// The format file's sections in catalogue order, read once.
const std::vector<TFormatData>& Formats() {
    static const std::vector<TFormatData> formats = [] {
        std::vector<TFormatData> all;
        const TIniStore file(DataFile("quillmarformat.ini"));
        for (const TFormatEntry& f : AllFormats()) {
            TFormatData d{f.code, std::string(f.name), {}};
            for (const auto& [k, v] : file.ReadSectionValues(FormatSection(f.code))) d.keys[k] = v;
            all.push_back(std::move(d));
        }
        return all;
    }();
    return formats;
}

std::map<std::string, std::string> AsMap(const std::vector<std::pair<std::string, std::string>>& values) {
    return {values.begin(), values.end()};
}

const AVOutputFormat* MuxerOf(const TFormatData& f) {
    const std::string keyword = Lower(f.keys.at("Format"));
    if (kPassedContainers.count(keyword)) return av_guess_format(keyword.c_str(), nullptr, nullptr);
    return av_guess_format(nullptr, ("out." + f.keys.at("FileExt")).c_str(), nullptr);
}

// The encoder a stored video value ends up with: its own, or the container's default for the
// words that stand for a container ("wmv3" is neither here: nothing encodes it).
const AVCodec* VideoEncoderFor(const std::string& stored, const AVOutputFormat* muxer) {
    if (kPassedVideoCodecs.count(stored)) return avcodec_find_encoder_by_name(TodayEncoderName(stored).c_str());
    const std::set<std::string> containerWords = {"3gp", "3g2", "mov", "flv", "swf"};
    if (!containerWords.count(stored)) return nullptr;
    return avcodec_find_encoder(muxer->video_codec);
}

const AVCodec* AudioEncoderFor(const std::string& stored) {
    return avcodec_find_encoder_by_name(TodayEncoderName(stored).c_str());
}

}  // namespace

TEST(FormatCatalogue, CategoriesFormatsAndCodes) {
    const auto categories = FormatCategories();
    ASSERT_EQ(categories.size(), 25u);
    const size_t perCategory[] = {9, 5, 6, 1, 5, 4, 3, 3, 7, 7, 10, 3, 3, 2, 6, 1, 1, 8, 1, 2, 1, 9, 1, 10, 7};
    for (size_t i = 0; i < categories.size(); ++i) {
        EXPECT_EQ(categories[i].index, static_cast<int>(i));
        EXPECT_EQ(categories[i].formats.size(), perCategory[i]) << categories[i].caption;
    }
    EXPECT_EQ(categories[13].caption, "Nitendeo WII");
    EXPECT_EQ(categories[24].caption, "General Audio formates");

    const auto all = AllFormats();
    ASSERT_EQ(all.size(), 115u);
    std::set<int> codes;
    std::set<std::string> lowerNames;
    for (const TFormatEntry& f : all) {
        EXPECT_EQ(f.code, f.category * 100 + f.position);
        EXPECT_LT(f.position, 10);
        EXPECT_EQ(categories[static_cast<size_t>(f.category)].formats[static_cast<size_t>(f.position)], f.name);
        codes.insert(f.code);
        lowerNames.insert(Lower(std::string(f.name)));
    }
    EXPECT_EQ(codes.size(), 115u);
    EXPECT_EQ(lowerNames.size(), 115u) << "a name look-up ignores letter case, so names must differ beyond it";
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](auto& a, auto& b) { return a.code < b.code; }));

    struct Case { int code; const char* name; };
    const Case cases[] = {
        {0, "iPod Video MPEG-4 (*.mp4)"},
        {403, "PSP H.264/AVC Video (*.mp4)"},
        {1405, "Nokia N Series MPEG-4 Video(*.mp4)"},
        {1600, "Nokia N Series MPEG-4 Video (*.mp4)"},
        {1009, "iRiver PMP-120/140/IMP-1000/1100 Video (*.avi)"},
        {2309, "DV - PAL -Digital Video Format (*.dv)"},
        {2406, "AC-3 Audio Codec (*.ac3)"},
    };
    for (const Case& c : cases) {
        const auto byCode = FindFormatByCode(c.code);
        ASSERT_TRUE(byCode) << c.code;
        EXPECT_EQ(byCode->name, c.name);
        const auto byName = FindFormatByName(std::string("  ") + Lower(c.name) + " ");
        ASSERT_TRUE(byName) << c.name;
        EXPECT_EQ(byName->code, c.code);
    }
    for (int missing : {-1, 9, 110, 2407, 2500}) EXPECT_FALSE(FindFormatByCode(missing)) << missing;
    EXPECT_FALSE(FindFormatByName("iPod Video"));
    EXPECT_EQ(FormatSection(403), "formatInfo403");
}

// Every format has its keys, defaults inside their lists, items that the boxes can store, and
// the H.264 extras exactly where H.264 is offered.
TEST(FormatFile, EveryFormatHasItsKeysAndStorableItems) {
    ASSERT_EQ(Formats().size(), 115u);
    for (const TFormatData& f : Formats()) {
        SCOPED_TRACE(std::to_string(f.code) + " " + f.name);
        ASSERT_TRUE(f.keys.count("Format") && f.keys.count("FileExt"));
        EXPECT_EQ(f.keys.at("FileExt"), ExtensionInName(f.name));
        for (const char* key : kListKeys) {
            ASSERT_TRUE(f.keys.count(key)) << key;
            const std::string iKey = std::string("i") + key;
            ASSERT_TRUE(f.keys.count(iKey)) << iKey;
            ASSERT_TRUE(IsIntegerText(f.keys.at(iKey))) << iKey;
            const std::vector<std::string> items = f.List(key);
            if (std::string(key) == "VideoEncoder" && items.empty()) continue;  // audio-only format
            ASSERT_FALSE(items.empty()) << key;
            const int i = IntegerOfText(f.keys.at(iKey));
            EXPECT_TRUE(i >= 0 && i < static_cast<int>(items.size())) << iKey << "=" << i;
        }
        for (const std::string& s : f.List("VideoSize")) {
            const TFrameSizeCheck c = CheckFrameSizeText(s);
            EXPECT_TRUE(c.kind == TFrameSizeCheck::fkAsSource || (c.kind == TFrameSizeCheck::fkValid && c.width > 0 && c.height > 0)) << s;
        }
        if (!f.List("VideoEncoder").empty()) {
            EXPECT_NE(f.DefaultItem("VideoSize"), kAsSource) << "Default stores nothing for \"as source\"";
        }
        for (const char* key : {"VideoBitRate", "SampleRate"})
            for (const std::string& s : f.List(key)) EXPECT_TRUE(s == kAsSource || (IsIntegerText(s) && IntegerOfText(s) > 0)) << s;
        for (const std::string& s : f.List("AudioBitRate")) EXPECT_TRUE(s == kAsSource || IsFloatText(s)) << s;
        for (const std::string& s : f.List("FrameRate")) EXPECT_TRUE(s == kAsSource || (IsFloatText(s) && std::stod(s) > 0)) << s;
        for (const std::string& s : f.List("VideoEncoder")) EXPECT_TRUE(VideoEncoderValue(s)) << s;
        for (const std::string& s : f.List("AudioEncoder")) EXPECT_TRUE(AudioEncoderValue(s)) << s;
        for (const std::string& s : f.List("Channel")) EXPECT_TRUE(ChannelValue(s)) << s;
        for (const std::string& s : f.List("Volume")) EXPECT_TRUE(VolumeValue(s)) << s;
        EXPECT_EQ(f.DefaultItem("Volume"), "100%");

        const std::vector<std::string> video = f.List("VideoEncoder");
        const bool offersH264 = std::any_of(video.begin(), video.end(), [](auto& s) { return VideoEncoderValue(s) == "libx264"; });
        for (const char* key : kH264Keys) {
            EXPECT_EQ(f.keys.count(key) == 1, offersH264) << key;
            if (!offersH264 || !f.keys.count(key)) continue;
            const std::string v = f.keys.at(key);
            if (std::string(key) == "paraBitExact") EXPECT_TRUE(v == "true" || v == "false") << v;
            else if (std::string(key) == "paraCoder") EXPECT_TRUE(v == "0" || v == "1") << v;
            else EXPECT_TRUE(IsIntegerText(v) && IntegerOfText(v) > 0) << key << "=" << v;
        }
    }
    // Nothing beyond the catalogue.
    const TIniStore file(DataFile("quillmarformat.ini"));
    EXPECT_EQ(file.ReadSections().size(), 115u);
}

// Whatever a list offers, this FFmpeg can encode it and the format's container can carry it;
// the default choices also suit the default encoder's rates and channels.
TEST(FormatFile, OfferedCodecsExistAndFitTheContainer) {
    std::set<std::string> encodersSeen;
    for (const TFormatData& f : Formats()) {
        SCOPED_TRACE(std::to_string(f.code) + " " + f.name);
        const AVOutputFormat* muxer = MuxerOf(f);
        ASSERT_NE(muxer, nullptr) << f.keys.at("Format") << " / " << f.keys.at("FileExt");
        auto carries = [&](const AVCodec* c) {
            EXPECT_NE(avformat_query_codec(muxer, c->id, FF_COMPLIANCE_NORMAL), 0) << muxer->name << " cannot carry " << c->name;
        };
        for (const std::string& item : f.List("VideoEncoder")) {
            const std::string stored = *VideoEncoderValue(item);
            const AVCodec* c = VideoEncoderFor(stored, muxer);
            ASSERT_NE(c, nullptr) << "no encoder for " << item << " (" << stored << ")";
            EXPECT_TRUE(av_codec_is_encoder(c));
            encodersSeen.insert(c->name);
            carries(c);
        }
        for (const std::string& item : f.List("AudioEncoder")) {
            const AVCodec* c = AudioEncoderFor(*AudioEncoderValue(item));
            ASSERT_NE(c, nullptr) << "no encoder for " << item;
            encodersSeen.insert(c->name);
            carries(c);
        }

        const AVCodec* audio = AudioEncoderFor(*AudioEncoderValue(f.DefaultItem("AudioEncoder")));
        const int sampleRate = IntegerOfText(f.DefaultItem("SampleRate"));
        if (audio->supported_samplerates) {
            bool found = false;
            for (const int* r = audio->supported_samplerates; *r; ++r) found |= *r == sampleRate;
            EXPECT_TRUE(found) << audio->name << " at " << sampleRate << " Hz";
        }
        const std::string channel = *ChannelValue(f.DefaultItem("Channel"));
        if (audio->ch_layouts && channel != kAsSource) {
            bool found = false;
            for (const AVChannelLayout* l = audio->ch_layouts; l->nb_channels; ++l) found |= l->nb_channels == IntegerOfText(channel);
            EXPECT_TRUE(found) << audio->name << " with " << channel << " channels";
        }
        if (f.List("VideoEncoder").empty()) continue;

        const std::string videoStored = *VideoEncoderValue(f.DefaultItem("VideoEncoder"));
        const AVCodec* video = VideoEncoderFor(videoStored, muxer);
        const std::string rateText = f.DefaultItem("FrameRate");
        if (video->supported_framerates && rateText != kAsSource) {
            AVRational rate{};
            ASSERT_EQ(av_parse_video_rate(&rate, rateText.c_str()), 0) << rateText;
            bool near = false;
            for (const AVRational* q = video->supported_framerates; q->num; ++q)
                near |= std::fabs(av_q2d(*q) / av_q2d(rate) - 1) < 0.001;
            EXPECT_TRUE(near) << video->name << " at " << rateText << " frames/s";
        }
        if (videoStored == "h263") {
            const std::set<std::string> h263Sizes = {"128x96", "176x144", "352x288", "704x576", "1408x1152"};
            for (const std::string& s : f.List("VideoSize")) EXPECT_TRUE(h263Sizes.count(s)) << s;
        }
    }
    // The legacy audio names reach today's encoders.
    for (const char* name : {"aac", "libmp3lame", "wmav2", "libx264", "libopencore_amrnb", "pcm_mulaw"})
        EXPECT_TRUE(encodersSeen.count(name)) << name;
}

// The shipped settings hold, for every format, what Default stores (new jobs letterboxed).
TEST(InitialSettings, EqualWhatDefaultStores) {
    const TIniStore shipped(DataFile("quillmar.ini"));
    const TIniStore formatFile(DataFile("quillmarformat.ini"));
    // A file system without syncing keeps the 2,000 small rewrites quick where one exists.
    const std::string dir = fs::is_directory("/dev/shm") ? "/dev/shm" : testmedia::TempDir();
    const std::string scratch = dir + "/quillmar-defaults-" + std::to_string(::getpid()) + ".ini";
    for (const TFormatEntry& f : AllFormats()) {
        SCOPED_TRACE(std::to_string(f.code) + " " + std::string(f.name));
        fs::remove(scratch);
        TIniStore settings(scratch);
        struct : IUserPrompt {
            std::vector<std::string> shown;
            void ShowMessage(const std::string& t) override { shown.push_back(t); }
            void ShowMessageBox(const std::string&, const std::string& t) override { shown.push_back(t); }
            bool AskYesNo(const std::string&, const std::string& t) override { shown.push_back(t); return false; }
            void Beep() override { shown.emplace_back("beep"); }
        } prompt;
        StoreFormatDefaults(formatFile, settings, prompt, f.code);
        EXPECT_TRUE(prompt.shown.empty()) << prompt.shown.front();

        const std::string section = FormatSection(f.code);
        auto expected = AsMap(settings.ReadSectionValues(section));
        EXPECT_EQ(expected["paraZoom"], "full");
        expected["paraZoom"] = "lbox";
        EXPECT_EQ(AsMap(shipped.ReadSectionValues(section)), expected);
        const bool videoFormat = formatFile.ReadString(section, "VideoEncoder", "null") != "null";
        EXPECT_EQ(expected.count("paraVideoEncoder"), videoFormat ? 1u : 0u);
    }
    fs::remove(scratch);

    // The chosen format is the first of the catalogue, and its category opens expanded.
    EXPECT_EQ(shipped.ReadInteger("settings", "FormatCode", -1), 0);
    EXPECT_EQ(shipped.ReadString("settings", "FormatName", ""), AllFormats().front().name);
    EXPECT_FALSE(shipped.ReadBool("lstformat", "0", true));
    EXPECT_TRUE(shipped.ReadBool("lstformat", "24", false));
    // The output folders depend on the user's home and are left to the defaults.
    EXPECT_FALSE(shipped.ValueExists("settings", "OutPutDir"));
    EXPECT_FALSE(shipped.ValueExists("settings", "SnapOutPutDir"));
    EXPECT_EQ(shipped.ReadSections().size(), 2u + 115u);
}

TEST(FormatsCommand, ListsTheCatalogueWithExtensions) {
    std::string out;
    ASSERT_EQ(testmedia::Run(testmedia::Quote(testmedia::CliPath()) + " formats", &out), 0);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 115u);
    EXPECT_EQ(lines[0], "0\tApple iPod\tiPod Video MPEG-4 (*.mp4)\tmp4");
    const std::set<std::string> expected = {
        "403\tSony PSP\tPSP H.264/AVC Video (*.mp4)\tmp4",
        "1402\tMobile Phone\tMobile Phone 3GP2 h263 Video(*.3gp)\t3gp",
        "2107\tHD Video\tHD MPEG2-PS Video (*.mpg)\tmpg",
        "2402\tGeneral Audio formates\tM4A MPEG-4 Audio (*.m4a)\tm4a",
        "2406\tGeneral Audio formates\tAC-3 Audio Codec (*.ac3)\tac3",
    };
    for (const std::string& e : expected) EXPECT_NE(std::find(lines.begin(), lines.end(), e), lines.end()) << e;

    // A program without a format file lists every format with the default extension and says why.
    const std::string dir = testmedia::TempDir();
    const std::string copy = dir + "/bin/quillmar-cli";
    fs::create_directories(dir + "/bin");
    fs::copy_file(testmedia::CliPath(), copy);
    ASSERT_EQ(testmedia::Run(testmedia::Quote(copy) + " formats 2>" + testmedia::Quote(dir + "/err.txt"), &out), 0);
    EXPECT_NE(out.find("2406\tGeneral Audio formates\tAC-3 Audio Codec (*.ac3)\tmp4\n"), std::string::npos);
    std::string err;
    testmedia::Run("cat " + testmedia::Quote(dir + "/err.txt"), &err);
    EXPECT_NE(err.find("quillmarformat.ini not found"), std::string::npos) << err;

    EXPECT_EQ(testmedia::Run(testmedia::Quote(testmedia::CliPath()) + " formats extra 2>/dev/null"), 2);
}
