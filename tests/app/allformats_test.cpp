// Every format of the catalogue converts with its default choices through "quillmar-cli convert",
// and the ffprobe tool finds in the output the container, codecs, picture and sound the format
// file promises.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/FormatCatalogue.h"
#include "app/GlobalUnit.h"
#include "app/IniStore.h"
#include "app/ParameterLists.h"
#include "engine/LegacyNames.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;

// Names each case in test listings.
void PrintTo(const TFormatEntry& f, std::ostream* os) { *os << f.code << " " << f.name; }

namespace {

// What the sources hold (see TestMedia.h).
constexpr int kSourceWidth = 320, kSourceHeight = 240, kSourceSampleRate = 44100, kSourceChannels = 2;
constexpr double kSourceFrameRate = 25, kSourceSeconds = 1;

// The ffprobe name of each container by the output's extension.
const std::map<std::string, std::string> kContainerOfExtension = {
    {"mp4", "mov,mp4,m4a,3gp,3g2,mj2"}, {"m4a", "mov,mp4,m4a,3gp,3g2,mj2"}, {"mov", "mov,mp4,m4a,3gp,3g2,mj2"},
    {"3gp", "mov,mp4,m4a,3gp,3g2,mj2"}, {"avi", "avi"},     {"wmv", "asf"},  {"wma", "asf"},
    {"mpg", "mpeg"},                    {"ts", "mpegts"},   {"flv", "flv"},  {"swf", "swf"},
    {"mkv", "matroska,webm"},           {"dv", "dv"},       {"mp3", "mp3"},  {"aac", "aac"},
    {"wav", "wav"},                     {"ogg", "ogg"},     {"ac3", "ac3"},
};

// Engine encoder names whose streams ffprobe names otherwise; the rest are named alike. "flv" and
// "swf" stand for their container's own video codec.
const std::map<std::string, std::string> kCodecOfEncoder = {
    {"libx264", "h264"},     {"libxvid", "mpeg4"},  {"libmp3lame", "mp3"}, {"libvorbis", "vorbis"},
    {"libopencore_amrnb", "amr_nb"}, {"flv", "flv1"}, {"swf", "flv1"},
};

std::string CodecOfEncoder(const std::string& stored) {
    const std::string engineName = TodayEncoderName(stored);
    const auto it = kCodecOfEncoder.find(engineName);
    return it == kCodecOfEncoder.end() ? engineName : it->second;
}

// The format file's default item of a list, "" when the list is not offered.
std::string DefaultItem(const TIniStore& formatFile, int code, const std::string& key) {
    const std::string section = FormatSection(code);
    const std::string list = formatFile.ReadString(section, key, "null");
    if (list == "null" || list.empty()) return "";
    const std::vector<std::string> items = SplitList(list);
    const int i = formatFile.ReadInteger(section, "i" + key, 0);
    return i >= 0 && i < static_cast<int>(items.size()) ? items[static_cast<size_t>(i)] : "";
}

double RateOf(const std::string& fraction) {
    const size_t slash = fraction.find('/');
    if (slash == std::string::npos) return std::atof(fraction.c_str());
    const double den = std::atof(fraction.c_str() + slash + 1);
    return den > 0 ? std::atof(fraction.substr(0, slash).c_str()) / den : 0;
}

// One section of ffprobe's report: a stream, or the file as a whole.
struct TProbedSection {
    std::map<std::string, std::string> keys;
    std::string Get(const std::string& k) const {
        const auto it = keys.find(k);
        return it == keys.end() ? "" : it->second;
    }
    int Int(const std::string& k) const { return std::atoi(Get(k).c_str()); }
};

struct TProbed {
    int exitCode = -1;
    TProbedSection format;
    std::vector<TProbedSection> streams;
    std::vector<const TProbedSection*> OfType(const std::string& type) const {
        std::vector<const TProbedSection*> found;
        for (const TProbedSection& s : streams)
            if (s.Get("codec_type") == type) found.push_back(&s);
        return found;
    }
};

TProbed Probe(const std::string& path) {
    std::string out;
    TProbed p;
    p.exitCode = testmedia::Run("ffprobe -v error -count_packets -show_entries format=format_name,duration:stream="
                                "codec_type,codec_name,width,height,r_frame_rate,sample_rate,channels,nb_read_packets "
                                "-of default " + testmedia::Quote(path),
                                &out);
    std::istringstream in(out);
    std::map<std::string, std::string>* section = nullptr;
    bool inProgram = false;  // a transport stream's programs list their streams once more
    for (std::string line; std::getline(in, line);) {
        if (line == "[PROGRAM]" || line == "[/PROGRAM]") {
            inProgram = line == "[PROGRAM]";
            section = nullptr;
        } else if (inProgram) {
            continue;
        } else if (line == "[STREAM]") {
            p.streams.emplace_back();
            section = &p.streams.back().keys;
        } else if (line == "[FORMAT]") {
            section = &p.format.keys;
        } else if (line.rfind("[/", 0) == 0) {
            section = nullptr;
        } else if (const size_t eq = line.find('='); section && eq != std::string::npos) {
            (*section)[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return p;
}

class FormatConversion : public ::testing::TestWithParam<TFormatEntry> {};

TEST_P(FormatConversion, DefaultsGiveTheFormatsContainerCodecsAndPicture) {
    const TFormatEntry& f = GetParam();
    const std::string cliFolder = fs::path(testmedia::CliPath()).parent_path().string();
    const TIniStore formatFile(LocateFormatFile(cliFolder));
    const std::string section = FormatSection(f.code);
    ASSERT_TRUE(formatFile.SectionExists(section));

    const std::string videoItem = DefaultItem(formatFile, f.code, "VideoEncoder");
    const bool video = !videoItem.empty();
    const std::string source = testmedia::Fixture(video ? "short.mp4" : "short.wav");
    ASSERT_FALSE(source.empty());

    // A fresh copy of the shipped settings: the format's defaults, letterboxed.
    const std::string dir = testmedia::TempDir() + "/" + std::to_string(f.code);
    fs::create_directories(dir + "/out");
    const std::string settings = dir + "/settings.ini";
    fs::copy_file(ShippedSettingsFile(cliFolder), settings);

    std::string log;
    const int rc = testmedia::Run(testmedia::Quote(testmedia::CliPath()) + " convert --format " +
                                      std::to_string(f.code) + " --settings " + testmedia::Quote(settings) +
                                      " --output-dir " + testmedia::Quote(dir + "/out") + " " +
                                      testmedia::Quote(source),
                                  &log, true);
    ASSERT_EQ(rc, 0) << log;

    const std::string extension = formatFile.ReadString(section, "FileExt", "mp4");
    const std::string base = fs::path(source).stem().string();
    ASSERT_EQ(testmedia::FolderEntries(dir + "/out"), std::vector<std::string>{base + "_(new)." + extension}) << log;
    const TProbed probed = Probe(dir + "/out/" + base + "_(new)." + extension);
    ASSERT_EQ(probed.exitCode, 0);

    ASSERT_TRUE(kContainerOfExtension.count(extension)) << "no container known for ." << extension;
    EXPECT_EQ(probed.format.Get("format_name"), kContainerOfExtension.at(extension));

    const auto audio = probed.OfType("audio");
    ASSERT_EQ(audio.size(), 1u);
    const std::optional<std::string> audioEncoder = AudioEncoderValue(DefaultItem(formatFile, f.code, "AudioEncoder"));
    ASSERT_TRUE(audioEncoder.has_value());
    EXPECT_EQ(audio[0]->Get("codec_name"), CodecOfEncoder(*audioEncoder));
    const std::string sampleRate = DefaultItem(formatFile, f.code, "SampleRate");
    EXPECT_EQ(audio[0]->Int("sample_rate"), sampleRate == kAsSource ? kSourceSampleRate : IntegerOfText(sampleRate));
    const std::string channels = ChannelValue(DefaultItem(formatFile, f.code, "Channel")).value_or("?");
    EXPECT_EQ(audio[0]->Int("channels"), channels == kAsSource ? kSourceChannels : std::atoi(channels.c_str()));

    const auto pictures = probed.OfType("video");
    double seconds = RateOf(probed.format.Get("duration"));
    if (!video) {
        EXPECT_TRUE(pictures.empty());
    } else {
        ASSERT_EQ(pictures.size(), 1u);
        const TProbedSection& v = *pictures[0];
        const std::optional<std::string> videoEncoder = VideoEncoderValue(videoItem);
        ASSERT_TRUE(videoEncoder.has_value());
        EXPECT_EQ(v.Get("codec_name"), CodecOfEncoder(*videoEncoder));

        const TFrameSizeCheck size = CheckFrameSizeText(DefaultItem(formatFile, f.code, "VideoSize"));
        const bool asSource = size.kind == TFrameSizeCheck::fkAsSource;
        EXPECT_EQ(v.Int("width"), asSource ? kSourceWidth : size.width);
        EXPECT_EQ(v.Int("height"), asSource ? kSourceHeight : size.height);

        const std::string rateItem = DefaultItem(formatFile, f.code, "FrameRate");
        const double rate = rateItem == kAsSource ? kSourceFrameRate : std::atof(rateItem.c_str());
        EXPECT_NEAR(RateOf(v.Get("r_frame_rate")), rate, rate * 0.001) << v.Get("r_frame_rate");
        // A container without a duration of its own (a Flash movie): its pictures tell it.
        if (seconds <= 0) seconds = v.Int("nb_read_packets") / rate;
    }
    EXPECT_NEAR(seconds, kSourceSeconds, 0.25) << probed.format.Get("duration");
}

INSTANTIATE_TEST_SUITE_P(Catalogue, FormatConversion, ::testing::ValuesIn(AllFormats().begin(), AllFormats().end()),
                         [](const ::testing::TestParamInfo<TFormatEntry>& info) {
                             return std::to_string(info.param.code);
                         });

}  // namespace
