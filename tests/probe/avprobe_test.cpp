#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "engine/FFUtils.h"
#include "engine/FFmpegLoader.h"
#include "engine/FFmpegLogger.h"
#include "engine/UnicodeProtocol.h"
#include "probe/AVProbe.h"
#include "support/TestMedia.h"

namespace {

// What the probe logged, recorded by a logger handler for the life of a test.
class ProbeLog {
public:
    struct Entry {
        TLogLevel level;
        std::string msg;
    };
    explicit ProbeLog(const TFFBaseComponent* probe) {
        TFFLogger& logger = TFFLogger::Instance();
        logger.SetTriggerEventInMainThread(false);
        logger.SetLogLevel(llInfo);
        logger.SetOnLog([this, probe](TFFBaseComponent* sender, uint32_t, TLogLevel level, const std::string& msg) {
            if (sender != probe) return;
            std::lock_guard lock(mutex_);
            entries_.push_back({level, msg});
        });
    }
    ~ProbeLog() { TFFLogger::Instance().SetOnLog({}); }
    std::vector<Entry> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(entries_, {});
    }

private:
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

bool IsEmpty(const TVideoStreamInfo& v) {
    return v.Language.empty() && v.CodecName.empty() && v.StartPTS == -1 && v.StartTime == -1 &&
           v.DurationPTS == -1 && v.Duration == -1 && v.BitRate == -1 && v.Height == -1 && v.Width == -1 &&
           v.DisplayAspectRatio == -1.0f && v.PixelFormat == -1 && v.FrameRateNum == -1 && v.FrameRateDen == -1;
}
bool IsEmpty(const TAudioStreamInfo& a) {
    return a.Language.empty() && a.CodecName.empty() && a.StartPTS == -1 && a.StartTime == -1 &&
           a.DurationPTS == -1 && a.Duration == -1 && a.BitRate == -1 && a.Channels == -1 && a.SampleRate == -1 &&
           a.SampleFormat == -1;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        const size_t lf = text.find('\n', start);
        lines.push_back(text.substr(start, lf - start));
        if (lf == std::string::npos) return lines;
        start = lf + 1;
    }
}

class AVProbe : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(LoadLibraries("", EngineLibraries(), error)) << error;
    }
};

}  // namespace

TEST_F(AVProbe, RefusesToOpenWithoutItsLibraries) {
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("audio.wav")));
    struct Case {
        TLibraryIndex library;
        const char* message;
    };
    const Case cases[] = {
        {liAVCodec, "LibAVCodec not loaded."},
        {liAVFormat, "LibAVFormat not loaded."},
        {liAVUtil, "LibAVUtil not loaded."},
        {liSWScale, "LibSwScale not loaded."},
    };
    TFFmpegLoader& loader = TFFmpegLoader::Instance();
    const auto loadError = [&] {
        try {
            probe.LoadFile(testmedia::Fixture("av.mp4"));
        } catch (const FFmpegException& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    for (const Case& c : cases) {
        loader.UnloadOne(c.library);
        EXPECT_EQ(loadError(), c.message);
        ASSERT_TRUE(loader.LoadOne(c.library)) << loader.LastError();
        EXPECT_EQ(probe.StreamCount(), 1) << "the open input stays open";
    }
    // Two missing: the first in the order avcodec, avformat, avutil, swscale is named.
    loader.UnloadOne(liSWScale);
    loader.UnloadOne(liAVFormat);
    EXPECT_EQ(loadError(), "LibAVFormat not loaded.");
    ASSERT_TRUE(loader.Load(EngineLibraries())) << loader.LastError();
}

TEST_F(AVProbe, ReadsFileAndStreamFacts) {
    const std::string path = testmedia::Fixture("av.mp4");
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrorMessage();
    EXPECT_EQ(probe.FileName(), path);
    EXPECT_EQ(probe.FormatName(), "mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(path)));
    EXPECT_EQ(probe.StreamCount(), 2);
    EXPECT_EQ(probe.ProgramCount(), 0);
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    EXPECT_EQ(probe.SubtitleStreamCount(), 0);
    EXPECT_EQ(probe.FirstVideoStream(), 0);
    EXPECT_EQ(probe.FirstAudioStream(), 1);
    EXPECT_EQ(probe.FirstSubtitleStream(), -1);

    const TFileStreamInfo file = probe.FileStreamInfo();
    EXPECT_NEAR(file.Duration, 2'000'000, 50'000);
    EXPECT_EQ(file.StartTime, 0);
    EXPECT_GT(file.BitRate, 0);

    const TVideoStreamInfo v = probe.VideoStreamInfo();
    EXPECT_EQ(v.Width, 320);
    EXPECT_EQ(v.Height, 240);
    EXPECT_EQ(v.FrameRateNum, 25);
    EXPECT_EQ(v.FrameRateDen, 1);
    EXPECT_EQ(v.PixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_FLOAT_EQ(v.DisplayAspectRatio, 4.0f / 3);
    EXPECT_EQ(v.CodecName.rfind("h264(", 0), 0u) << v.CodecName;
    EXPECT_NEAR(v.Duration, 2'000'000, 50'000);
    const AVRational tb = probe.Context()->streams[0]->time_base;
    EXPECT_EQ(v.Duration, av_rescale_q(v.DurationPTS, tb, AV_TIME_BASE_Q));

    const TAudioStreamInfo a = probe.AudioStreamInfo();
    EXPECT_EQ(a.Channels, 2);
    EXPECT_EQ(a.SampleRate, 44100);
    EXPECT_EQ(a.SampleFormat, AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(a.CodecName.rfind("aac(", 0), 0u) << a.CodecName;
    EXPECT_GT(a.BitRate, 0);
    EXPECT_TRUE(probe.IsVideoStream(0));
    EXPECT_FALSE(probe.IsVideoStream(1));
    EXPECT_TRUE(probe.IsAudioStream(1));
}

TEST_F(AVProbe, FileMetadataFillsTheTextFields) {
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("meta.mkv")));
    const TFileStreamInfo file = probe.FileStreamInfo();
    EXPECT_EQ(file.Title, "TestTitle");
    EXPECT_EQ(file.Author, "TestArtist");  // today's containers call the author "artist"
    EXPECT_EQ(file.Album, "TestAlbum");
    EXPECT_EQ(file.Comment, "TestComment");
    EXPECT_EQ(file.Genre, "");
    EXPECT_EQ(file.Year, 0);
    EXPECT_EQ(file.Timestamp, 0);
    EXPECT_EQ(probe.AudioStreamInfo().Language, "eng");
    EXPECT_EQ(probe.VideoStreamInfo().Language, "");
}

TEST_F(AVProbe, BadQueriesRecordTheirErrorAndReturnTheEmptyState) {
    TAVProbe probe;
    ProbeLog log(&probe);
    ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("av.mp4")));  // stream 0 video, stream 1 audio
    struct Case {
        const char* what;
        std::function<bool()> query;  // true when the result is the empty state
        const char* error;
    };
    const Case cases[] = {
        {"video 5", [&] { return IsEmpty(probe.VideoStreamInfo(5)); }, "stream index #5 is invalid."},
        {"video 1", [&] { return IsEmpty(probe.VideoStreamInfo(1)); }, "stream #1 is not video stream."},
        {"audio 0", [&] { return IsEmpty(probe.AudioStreamInfo(0)); }, "stream #0 is not audio stream."},
        {"audio -2", [&] { return IsEmpty(probe.AudioStreamInfo(-2)); }, "stream index #-2 is invalid."},
        {"is audio 2", [&] { return !probe.IsAudioStream(2); }, "stream index #2 is invalid."},
        {"is video -1", [&] { return !probe.IsVideoStream(-1); }, "stream index #-1 is invalid."},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(c.query()) << c.what;
        EXPECT_EQ(probe.LastErrorMessage(), c.error) << c.what;
        const auto entries = log.Take();
        ASSERT_EQ(entries.size(), 1u) << c.what;
        EXPECT_EQ(entries[0].level, llError) << c.what;
        EXPECT_EQ(entries[0].msg, c.error) << c.what;
    }

    ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("odd.mkv")));  // video only
    EXPECT_TRUE(IsEmpty(probe.AudioStreamInfo(-1)));
    EXPECT_EQ(probe.LastErrorMessage(), "no audio stream.");
    EXPECT_FALSE(probe.IsAudioStream(probe.FirstAudioStream()));
    EXPECT_EQ(probe.LastErrorMessage(), "stream index #-1 is invalid.");
    log.Take();

    probe.Close();
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_EQ(probe.FileSize(), -1);
    EXPECT_EQ(probe.FirstVideoStream(), -1);
    const TFileStreamInfo file = probe.FileStreamInfo();
    EXPECT_EQ(file.Duration, -1);
    EXPECT_EQ(file.BitRate, -1);
    EXPECT_TRUE(file.Title.empty());
    EXPECT_TRUE(IsEmpty(probe.VideoStreamInfo()));
    EXPECT_EQ(probe.InfoText(), "");
    EXPECT_EQ(probe.FileName(), "");
    EXPECT_EQ(probe.LastErrorMessage(), "file not loaded.");
    for (const auto& e : log.Take()) {
        EXPECT_EQ(e.level, llWarning);
        EXPECT_EQ(e.msg, "file not loaded.");
    }
}

TEST_F(AVProbe, FailedLoadsLeaveTheProbeClosedWithTheReason) {
    const std::string missing = testmedia::TempDir() + "/missing.mp4";
    struct Case {
        std::string file, format, error;
    };
    const Case cases[] = {
        {missing, "", missing + ": No such file or directory"},
        {testmedia::Fixture("random.bin"), "",
         testmedia::Fixture("random.bin") + ": Invalid data found when processing input"},
        {testmedia::Fixture("truncated.mp4"), "",
         testmedia::Fixture("truncated.mp4") + ": Invalid data found when processing input"},
        {testmedia::Fixture("av.mp4"), "no-such-format", "Unknown input format: no-such-format"},
        {testmedia::Fixture("random.bin"), "mpegts", testmedia::Fixture("random.bin") + ": could not find codec parameters"},
    };
    for (const Case& c : cases) {
        TAVProbe probe;
        ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("audio.wav")));
        EXPECT_FALSE(probe.LoadFile(c.file, c.format)) << c.file;
        EXPECT_EQ(probe.LastErrorMessage(), c.error);
        EXPECT_FALSE(probe.IsOpen());
        EXPECT_EQ(probe.StreamCount(), -1);
        EXPECT_EQ(probe.ForcedFormat(), "");
    }
}

TEST_F(AVProbe, ForcedFormatIsKept) {
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("av.ts"), "mpegts")) << probe.LastErrorMessage();
    EXPECT_EQ(probe.ForcedFormat(), "mpegts");
    EXPECT_EQ(probe.FormatName(), "mpegts");
    probe.Close();
    EXPECT_EQ(probe.ForcedFormat(), "");
}

TEST_F(AVProbe, OpensNamesTheLibrariesWouldMisread) {
    // A colon makes the libraries look for a protocol named "clip".
    const std::string path = testmedia::TempDir() + "/clip:1 é.wav";
    std::filesystem::copy_file(testmedia::Fixture("audio.wav"), path);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrorMessage();
    EXPECT_EQ(probe.FileName(), path);
    EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(path)));
    EXPECT_EQ(Lines(probe.InfoText())[0], "File Name: " + path);
}

TEST_F(AVProbe, AttachedInputStaysWithItsOwner) {
    const std::string path = testmedia::Fixture("av.mkv");
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
    av::InputContextPtr input(raw);
    ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
    const auto stillReadable = [&] {
        av::PacketPtr pkt = av::MakePacket();
        const int rc = av_read_frame(input.get(), pkt.get());
        return rc >= 0 && pkt->size > 0;
    };

    {
        TAVProbe probe;
        probe.AttachContext(input.get());
        EXPECT_TRUE(probe.IsOpen());
        EXPECT_FALSE(probe.OwnsContext());
        EXPECT_EQ(probe.StreamCount(), 2);
        EXPECT_EQ(probe.FileName(), path);
        EXPECT_EQ(probe.ForcedFormat(), "");
        probe.Close();
        EXPECT_EQ(probe.StreamCount(), -1);
        EXPECT_TRUE(stillReadable());

        probe.AttachContext(input.get());
        ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("audio.wav")));  // replaces the attached input
        EXPECT_TRUE(probe.OwnsContext());
        EXPECT_TRUE(stillReadable());

        probe.AttachContext(input.get());  // closes its own input, forgets it on destruction
    }
    EXPECT_TRUE(stillReadable());

    // Attaching the input the probe opened itself keeps it owned and open.
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path));
    probe.AttachContext(probe.Context());
    EXPECT_TRUE(probe.OwnsContext());
    EXPECT_EQ(probe.StreamCount(), 2);
    probe.AttachContext(nullptr);
    EXPECT_FALSE(probe.IsOpen());
}

TEST_F(AVProbe, InfoTextDescribesFileAndStreams) {
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("ntsc.ts")));
    const std::vector<std::string> lines = Lines(probe.InfoText());
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "File Name: " + testmedia::Fixture("ntsc.ts"));
    EXPECT_EQ(lines[1], "Format Name: mpegts");
    EXPECT_EQ(lines[2], "Format Long Name: MPEG-TS (MPEG-2 Transport Stream)");
    EXPECT_EQ(lines[3], "File Size: " + Format("%.2f KB", std::filesystem::file_size(testmedia::Fixture("ntsc.ts")) / 1024.0));
    EXPECT_EQ(lines[4].rfind("Duration: 00:00:01.", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5].rfind("StartTime: 1.4", 0), 0u) << lines[5];  // the muxer's 1.4 s offset
    EXPECT_EQ(lines[6].rfind("Bit Rate: ", 0), 0u);
    EXPECT_EQ(lines[7], "Program 1 FFmpeg@Service01");
    EXPECT_EQ(lines[8], "  Metadata:");
    EXPECT_EQ(lines[9], "    service_name    : Service01");
    EXPECT_EQ(lines[10], "    service_provider: FFmpeg");
    ASSERT_EQ(lines.size(), 13u) << probe.InfoText();
    // Stream ids shown by the container; rates of the video; the language in brackets and no
    // metadata block for a stream whose only metadata is its language.
    EXPECT_EQ(lines[11].rfind("Stream #0[0x100], 1/90000: Video: mpeg2video", 0), 0u) << lines[11];
    EXPECT_NE(lines[11].find(", 29.97 fps, 29.97 tbr, 90k tbn, StartTime: 1.4"), std::string::npos) << lines[11];
    EXPECT_NE(lines[11].find(", Duration: 00:00:01."), std::string::npos) << lines[11];
    EXPECT_EQ(lines[12].rfind("Stream #1[0x101](eng), 1/90000: Audio: mp2 ", 0), 0u) << lines[12];
    EXPECT_NE(lines[12].find(", 44100 Hz, mono"), std::string::npos) << lines[12];
    EXPECT_EQ(lines[12].find("fps"), std::string::npos);
}

TEST_F(AVProbe, InfoTextShowsMetadataAndWholeFrameRates) {
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(testmedia::Fixture("meta.mkv")));
    const std::string text = probe.InfoText();
    EXPECT_NE(text.find("\nMetadata:\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n  title           : TestTitle\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n  ARTIST          : TestArtist\n"), std::string::npos) << text;
    EXPECT_NE(text.find(", 25 fps, 25 tbr, 1k tbn"), std::string::npos) << text;
    // The audio stream carries more than its language: a block, without the language line.
    const size_t audio = text.find("Stream #1(eng), 1/1000: Audio: vorbis");
    ASSERT_NE(audio, std::string::npos) << text;
    const std::string rest = text.substr(audio);
    EXPECT_NE(rest.find("\n  Metadata:\n    "), std::string::npos) << rest;
    EXPECT_EQ(rest.find("language"), std::string::npos) << rest;
}

TEST_F(AVProbe, ContainerAspectRatioOverridesTheCodecs) {
    // The container says 16:9 while the bit stream keeps square pixels.
    const std::string wide = testmedia::TempDir() + "/wide.mkv";
    ASSERT_EQ(testmedia::Run("ffmpeg -nostdin -loglevel error -i " + testmedia::Quote(testmedia::Fixture("meta.mkv")) +
                             " -map 0:v -c copy -aspect 16:9 " + testmedia::Quote(wide)),
              0);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(wide)) << probe.LastErrorMessage();
    EXPECT_FLOAT_EQ(probe.VideoStreamInfo().DisplayAspectRatio, 16.0f / 9);
    EXPECT_NE(probe.InfoText().find("[SAR 1:1 DAR 4:3], PAR 4:3 DAR 16:9, 25 fps"), std::string::npos) << probe.InfoText();
}
