// The transcoder's limits, modes and failures, end to end on small files.
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine/transcode_support.h"

using namespace transcodetest;
namespace fs = std::filesystem;

namespace {

const char* const kVideo2s = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2";

// ---- recording time, start position, frame and size limits, shortest ----

struct TLimitCase {
    const char* name;
    std::vector<std::string> before;  // options before the input
    std::vector<std::string> after;   // options between the input and the output
    double videoSeconds;              // expected video duration (-1: no check)
    long videoPackets;                // expected video packets (-1: no check)
    double audioSeconds;              // expected audio duration (-1: no check)
};
// Names the case in test listings (instead of a byte dump).
void PrintTo(const TLimitCase& c, std::ostream* os) { *os << c.name; }

class TranscodeLimits : public ::testing::TestWithParam<TLimitCase> {};

TEST_P(TranscodeLimits, OutputEndsWhereTheLimitSays) {
    const TLimitCase& c = GetParam();
    const std::string output = testmedia::TempDir() + "/out.mkv";
    std::vector<std::string> args = c.before;
    args.insert(args.end(), {"-i", testmedia::Fixture("av.mp4")});
    args.insert(args.end(), c.after.begin(), c.after.end());
    args.insert(args.end(), {"-vcodec", "mpeg4", "-acodec", "libvorbis", output});
    const TRunResult run = RunTask(args);
    ASSERT_TRUE(run.error.empty()) << run.error;
    EXPECT_TRUE(run.finished);
    const TFileFacts out = Probe(output);
    ASSERT_TRUE(out.readable);
    const TStreamFacts* v = out.Stream("video");
    const TStreamFacts* a = out.Stream("audio");
    ASSERT_TRUE(v && a);
    if (c.videoPackets >= 0) {
        EXPECT_EQ(v->packets, c.videoPackets);
    }
    if (c.videoSeconds >= 0) {
        EXPECT_NEAR(v->packets / 25.0, c.videoSeconds, 0.041);
    }
    if (c.audioSeconds >= 0) {
        EXPECT_NEAR(out.duration, c.audioSeconds, 0.05);
    }
    EXPECT_NEAR(v->startTime, 0, 0.01);
    EXPECT_TRUE(DecodesCleanly(output));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TranscodeLimits,
    ::testing::Values(TLimitCase{"t", {}, {"-t", "1"}, 1.0, -1, 1.0},
                      TLimitCase{"ss_input", {"-ss", "1"}, {"-t", "0.6"}, 0.6, -1, 0.6},
                      TLimitCase{"ss_output", {}, {"-ss", "1.2", "-t", "0.5"}, 0.5, -1, 0.5},
                      TLimitCase{"ss_input_to_end", {"-ss", "0.5"}, {}, 1.5, -1, 1.52},
                      TLimitCase{"vframes", {}, {"-vframes", "10"}, -1, 10, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TranscodeEdge, FileSizeLimitEndsTheRunEarly) {
    const std::string dir = testmedia::TempDir();
    const TRunResult run = RunTask({"-i", testmedia::Fixture("av.mp4"), "-vcodec", "mpeg4", "-fs", "30000", dir + "/fs.avi"});
    ASSERT_TRUE(run.error.empty()) << run.error;
    const TFileFacts out = Probe(dir + "/fs.avi");
    ASSERT_TRUE(out.readable);
    EXPECT_GT(fs::file_size(dir + "/fs.avi"), 30000u);
    EXPECT_LT(out.duration, 1.5);
}

TEST(TranscodeEdge, ShortestEndsWithTheShortestInput) {
    const std::string dir = testmedia::TempDir();
    const std::string tone = MakeMedia(dir, "tone.wav", "-f lavfi -i sine=frequency=300:duration=0.8");
    const std::string output = dir + "/out.mkv";
    for (bool shortest : {false, true}) {
        std::vector<std::string> args = {"-i", testmedia::Fixture("av.mp4"), "-i", tone, "-map", "0.0", "-map", "1.0"};
        if (shortest) args.push_back("-shortest");
        args.insert(args.end(), {"-vcodec", "mpeg4", "-acodec", "libvorbis", output});
        const TRunResult run = RunTask(args);
        ASSERT_TRUE(run.error.empty()) << run.error;
        const TFileFacts out = Probe(output);
        const double video = out.Stream("video")->packets / 25.0;
        if (shortest)
            EXPECT_NEAR(video, 0.8, 0.12);
        else
            EXPECT_NEAR(video, 2.0, 0.041);
    }
}

// ---- join ----

TEST(TranscodeEdge, JoinConcatenatesTheInputs) {
    const std::string output = testmedia::TempDir() + "/joined.mp4";
    const TRunResult run = RunTask({"-i", testmedia::Fixture("av.mp4"), "-i", testmedia::Fixture("av.mkv"), "-vcodec",
                                    "mpeg4", "-acodec", "aac", "-join", output});
    ASSERT_TRUE(run.error.empty()) << run.error;
    EXPECT_TRUE(run.finished);
    const TFileFacts out = Probe(output);
    ASSERT_TRUE(out.readable);
    EXPECT_EQ(out.Stream("video")->packets, 100);
    EXPECT_NEAR(out.Stream("video")->duration, 4.0, 0.041);
    EXPECT_NEAR(out.Stream("audio")->duration, 4.0, 0.07);
    // The second input continues where the first ended: its first picture is at 2 s.
    std::string pts;
    testmedia::Run("ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 " +
                       testmedia::Quote(output),
                   &pts);
    std::vector<double> times;
    std::istringstream in(pts);
    for (std::string l; std::getline(in, l);) times.push_back(std::atof(l.c_str()));
    std::sort(times.begin(), times.end());
    ASSERT_EQ(times.size(), 100u);
    EXPECT_NEAR(times[50], 2.0, 0.001);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.04, 0.001) << i;
    EXPECT_TRUE(DecodesCleanly(output));
}

TEST(TranscodeEdge, OnlyOneJoinedOutput) {
    TCustomFFmpeg task;
    task.Reset();
    ASSERT_TRUE(task.OpenInput(testmedia::Fixture("av.mp4")));
    ASSERT_TRUE(task.OpenInput(testmedia::Fixture("av.mkv")));
    const std::string dir = testmedia::TempDir();
    EXPECT_EQ(task.AddOutput(dir + "/a.mkv", true), 2);  // the joined output appears once per input
    EXPECT_TRUE(task.Joined());
    EXPECT_EQ(task.AddOutput(dir + "/b.mkv", false), -1);
    EXPECT_EQ(task.LastError(), "Cannot join more than one output file.");
    task.Cleanup();
    EXPECT_FALSE(fs::exists(dir + "/a.mkv"));  // never written: no empty file stays
}

// ---- stream copy ----

TEST(TranscodeEdge, StreamCopyStartsAtAKeyFrame) {
    // av.avi: MPEG-4 with a key frame every 12 pictures; starting at 0.6 s lands between two.
    const std::string source = testmedia::Fixture("av.avi");
    std::string flags;
    testmedia::Run("ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of csv=p=0 " +
                       testmedia::Quote(source),
                   &flags);
    long fromStart = 0, fromKey = 0;
    bool keySeen = false;
    std::istringstream in(flags);
    for (std::string l; std::getline(in, l);) {
        const double t = std::atof(l.c_str());
        if (t < 0.6 - 1e-6) continue;
        ++fromStart;
        keySeen |= l.find('K') != std::string::npos;
        if (keySeen) ++fromKey;
    }
    ASSERT_LT(fromKey, fromStart);  // the fixture has no key frame at 0.6 s
    for (bool keepNonKey : {false, true}) {
        const std::string output = testmedia::TempDir() + "/copy.mkv";
        std::vector<std::string> args = {"-i", source, "-ss", "0.6", "-vcodec", "copy", "-an"};
        if (keepNonKey) args.insert(args.end(), {"-copyinkf", "1"});
        args.push_back(output);
        const TRunResult run = RunTask(args);
        ASSERT_TRUE(run.error.empty()) << run.error;
        EXPECT_EQ(Probe(output).Stream("video")->packets, keepNonKey ? fromStart : fromKey);
    }
}

TEST(TranscodeEdge, StreamCopyKeepsTheCodecAndTheDuration) {
    const std::string output = testmedia::TempDir() + "/copy.mkv";
    const TRunResult run = RunTask({"-i", testmedia::Fixture("av.mp4"), "-vcodec", "copy", "-acodec", "copy", output});
    ASSERT_TRUE(run.error.empty()) << run.error;
    const TFileFacts out = Probe(output);
    EXPECT_EQ(out.Stream("video")->codec, "h264");
    EXPECT_EQ(out.Stream("audio")->codec, "aac");
    EXPECT_EQ(out.Stream("video")->packets, 50);
    EXPECT_TRUE(DecodesCleanly(output));
}

// ---- audio: sync padding, volume ----

TEST(TranscodeEdge, AudioSyncPadsALateStartWithSilence) {
    const std::string dir = testmedia::TempDir();
    const std::string late = MakeMedia(dir, "late.mkv",
                                       std::string(kVideo2s) +
                                           " -itsoffset 0.5 -f lavfi -i sine=frequency=440:duration=1.5 -map 0:v -map 1:a "
                                           "-c:v mpeg4 -c:a pcm_s16le");
    for (int async : {0, 1}) {
        const std::string output = dir + "/out" + std::to_string(async) + ".mkv";
        const TRunResult run =
            RunTask({"-async", std::to_string(async), "-v", "3", "-i", late, "-vcodec", "mpeg4", "-acodec", "pcm_s16le",
                     output});
        ASSERT_TRUE(run.error.empty()) << run.error;
        const TFileFacts facts = Probe(output);
        const TStreamFacts* a = facts.Stream("audio");
        ASSERT_NE(a, nullptr);
        if (async == 0) {
            EXPECT_NEAR(a->startTime, 0.5, 0.002);
            continue;
        }
        EXPECT_TRUE(run.Logged("adding 22050 audio samples of silence"));
        EXPECT_NEAR(a->startTime, 0.0, 0.002);
        const std::vector<int16_t> samples = DecodeAudio(output);
        ASSERT_GT(samples.size(), 44100u);
        const auto loudest = [&](size_t from, size_t to) {
            int m = 0;
            for (size_t i = from; i < to; ++i) m = std::max(m, std::abs(static_cast<int>(samples[i])));
            return m;
        };
        EXPECT_EQ(loudest(0, 22000), 0);        // 0.5 s of silence ...
        EXPECT_GT(loudest(22100, 44100), 1000);  // ... then the tone
    }
}

TEST(TranscodeEdge, VolumeScalesAndClipsSamples) {
    const std::string dir = testmedia::TempDir();
    // A tone at 5/8 of full scale: doubling goes past the 16-bit limits.
    const std::string loud =
        MakeMedia(dir, "loud.wav", "-f lavfi -i sine=frequency=440:duration=0.5 -af volume=5 -c:a pcm_s16le");
    const std::vector<int16_t> in = DecodeAudio(loud);
    ASSERT_FALSE(in.empty());
    for (int vol : {256, 512, 128}) {
        const std::string output = dir + "/vol" + std::to_string(vol) + ".wav";
        const TRunResult run = RunTask({"-i", loud, "-vol", std::to_string(vol), output});
        ASSERT_TRUE(run.error.empty()) << run.error;
        const std::vector<int16_t> out = DecodeAudio(output);
        ASSERT_EQ(out.size(), in.size());
        int clipped = 0;
        for (size_t i = 0; i < in.size(); ++i) {
            const int expected = std::clamp((in[i] * vol + 128) >> 8, -32768, 32767);
            ASSERT_EQ(out[i], expected) << "vol " << vol << " sample " << i;
            clipped += expected == 32767 || expected == -32768;
        }
        if (vol == 512) {
            EXPECT_GT(clipped, 0);
        }
    }
}

// ---- two passes ----

TEST(TranscodeEdge, TwoPassLogFilesAreNamedPerStream) {
    const std::string dir = testmedia::TempDir();
    const std::string source = testmedia::Fixture("av.mp4");
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    for (const char* codec : {"mpeg4", "libx264"}) {
        const std::string log = std::string(codec) == "mpeg4" ? "ffmpeg2pass-0.log" : dir + "/x264log-0.log";
        std::vector<std::string> prefix = {};
        if (std::string(codec) == "libx264") prefix = {"-passlogfile", dir + "/x264log"};
        for (int pass : {1, 2}) {
            std::vector<std::string> args = prefix;
            args.insert(args.end(), {"-i", source, "-an", "-vcodec", codec, "-b", "300k", "-pass", std::to_string(pass),
                                     dir + "/pass" + std::to_string(pass) + codec + ".mp4"});
            const TRunResult run = RunTask(args);
            EXPECT_TRUE(run.error.empty()) << codec << " pass " << pass << ": " << run.error;
            EXPECT_TRUE(fs::exists(log)) << log;
            if (pass == 1) {
                EXPECT_GT(fs::file_size(log), 0u);
            }
        }
        EXPECT_TRUE(DecodesCleanly(dir + "/pass2" + codec + ".mp4"));
    }
    // Pass 2 without its log says which file it wanted.
    const TRunResult run = RunTask({"-i", source, "-an", "-vcodec", "mpeg4", "-pass", "2", "-passlogfile", "none",
                                    dir + "/nolog.avi"});
    EXPECT_EQ(run.error, "Cannot read file: Error reading log file \"none-0.log\" for pass-2 encoding");
    fs::current_path(previous);
}

// ---- mapping and set-up failures ----

struct TFailureCase {
    const char* name;
    std::vector<std::string> options;  // between the input and the output
    const char* output;                // file name in the temporary folder
    const char* message;
};
// Names the case in test listings (instead of a byte dump).
void PrintTo(const TFailureCase& c, std::ostream* os) { *os << c.name; }

class TranscodeSetUpFailure : public ::testing::TestWithParam<TFailureCase> {};

TEST_P(TranscodeSetUpFailure, RunFailsWithTheMessageAndLeavesNoEmptyFile) {
    const TFailureCase& c = GetParam();
    const std::string output = testmedia::TempDir() + "/" + c.output;
    std::vector<std::string> args = {"-i", testmedia::Fixture("av.mp4")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(output);
    const TRunResult run = RunTask(args);
    EXPECT_EQ(run.error, c.message);
    EXPECT_FALSE(run.finished);
    EXPECT_FALSE(fs::exists(output)) << "an empty output stays behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TranscodeSetUpFailure,
    ::testing::Values(
        TFailureCase{"map_count", {"-map", "0.0", "-map", "0.1", "-map", "0.1"}, "a.mkv",
                     "Number of stream maps must match number of output streams"},
        TFailureCase{"map_stream", {"-map", "0.5", "-map", "0.1"}, "b.mkv", "Could not find input stream #0.5"},
        TFailureCase{"map_file", {"-map", "1.0", "-map", "0.1"}, "c.mkv", "Could not find input stream #1.0"},
        TFailureCase{"map_sync", {"-map", "0.0:3.0", "-map", "0.1"}, "d.mkv", "Could not find sync stream #3.0"},
        TFailureCase{"map_type", {"-map", "0.1", "-map", "0.0"}, "e.mkv",
                     "Codec type mismatch for mapping #0.1 (Audio) -> #0.0 (Video)"},
        TFailureCase{"copy_volume", {"-vol", "512", "-acodec", "copy"}, "f.mkv",
                     "-acodec copy and -vol are incompatible (frames are not decoded)"},
        TFailureCase{"encoder_open", {"-vcodec", "h263"}, "g.avi",
                     "Error while opening encoder for output stream #0.0 (Video) - maybe incorrect parameters such as "
                     "bit_rate, rate, width or height. Please check error log message to find out more detail "
                     "information. Encoder h263: The specified picture size of 320x240 is not valid for the H.263 "
                     "codec. Valid sizes are 128x96, 176x144, 352x288, 704x576, and 1408x1152. Try H.263+."},
        TFailureCase{"meta_map", {"-map_meta_data", "0:4"}, "h.mkv", "Invalid input file index 4 map_meta_data(0,4)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TranscodeEdge, MapsChooseAndReorderStreams) {
    const std::string output = testmedia::TempDir() + "/mapped.mkv";
    const TRunResult run = RunTask({"-i", testmedia::Fixture("av.mp4"), "-vol", "256", "-map", "0.0", "-map", "0.1",
                                    "-acodec", "copy", "-vcodec", "mpeg4", output});
    ASSERT_TRUE(run.error.empty()) << run.error;
    EXPECT_TRUE(run.Logged("  Stream #0.0 -> #0.0 (Video)"));
    EXPECT_TRUE(run.Logged("  Stream #0.1 -> #0.1 (Audio)"));
    EXPECT_EQ(Probe(output).Stream("audio")->codec, "aac");
}

TEST(TranscodeEdge, OutputsAndInputsFailWithTheirMessages) {
    TCustomFFmpeg task;
    task.Reset();
    EXPECT_FALSE(task.OpenInput(testmedia::TempDir() + "/missing.mp4"));
    EXPECT_NE(task.LastError().find("missing.mp4: "), std::string::npos) << task.LastError();
    EXPECT_EQ(task.InputFileCount(), 0);
    ASSERT_TRUE(task.OpenInput(testmedia::Fixture("av.mp4")));
    const std::string dir = testmedia::TempDir();
    EXPECT_EQ(task.AddOutput(dir + "/x.unknownext", false), -1);
    EXPECT_EQ(task.LastError(), "Unable to find a suitable output format for '" + dir + "/x.unknownext'");
    task.SetOption("f", "nosuchformat");
    EXPECT_EQ(task.AddOutput(testmedia::TempDir() + "/x.mkv", false), -1);
    EXPECT_EQ(task.LastError(), "Requested output format 'nosuchformat' is not a suitable output format");
    task.SetOption("vcodec", "nosuchcodec");
    EXPECT_EQ(task.AddOutput(testmedia::TempDir() + "/y.mkv", false), -1);
    EXPECT_EQ(task.LastError(), "new_video_stream fail: Unknown encoder 'nosuchcodec'");
    task.SetOption("acodec", "mpeg4");
    EXPECT_EQ(task.AddOutput(testmedia::TempDir() + "/z.mkv", false), -1);
    EXPECT_EQ(task.LastError(), "new_audio_stream fail: Invalid encoder type 'mpeg4'");
    EXPECT_EQ(task.OutputFileCount(), 0);
    // Names are used up by the failed output: the next one gets the defaults.
    const std::string good = testmedia::TempDir() + "/ok.mkv";
    EXPECT_EQ(task.AddOutput(good, false), 1);
    task.Cleanup();
}

TEST(TranscodeEdge, OutputWithoutVideoCodecGetsNoVideo) {
    TCustomFFmpeg task;
    task.Reset();
    ASSERT_TRUE(task.OpenInput(testmedia::Fixture("audio.wav")));
    const std::string output = testmedia::TempDir() + "/a.mkv";
    task.SetOption("an", "");
    // No audio asked for and no video in the input: the output has no stream.
    ASSERT_EQ(task.AddOutput(output, false), 1);
    EXPECT_THROW(task.Transcode(), FFmpegException);
    task.CloseCodecs();
    task.Cleanup();
    EXPECT_FALSE(fs::exists(output));
}

// ---- stop ----

TEST(TranscodeEdge, StopLeavesAPlayableShorterFile) {
    const std::string dir = testmedia::TempDir();
    const std::string source =
        MakeMedia(dir, "long.mkv",
                  "-f lavfi -i testsrc2=size=160x120:rate=25:duration=12 -f lavfi -i sine=duration=12 "
                  "-c:v mpeg4 -c:a libvorbis");
    const std::string output = dir + "/stopped.mp4";
    const TRunResult run = RunTask({"-i", source, "-vcodec", "mpeg4", "-acodec", "aac", output}, [](TCustomFFmpeg& task) {
        task.SetProgressInterval(0);
        task.SetOnProgress([&task](TFFBaseComponent*, int fileIndex, int, int, float, float, int64_t, int64_t timeUs, int64_t) {
            if (fileIndex >= 0 && timeUs >= 1000000) task.RequestStop();
        });
    });
    EXPECT_TRUE(run.error.empty()) << run.error;
    EXPECT_FALSE(run.finished);
    const TFileFacts out = Probe(output);
    ASSERT_TRUE(out.readable);
    EXPECT_GE(out.duration, 1.0);
    EXPECT_LT(out.duration, 6.0);
    EXPECT_TRUE(DecodesCleanly(output));
}

// ---- damaged inputs ----

struct TDamagedCase {
    const char* fixture;
    bool opens;
    const char* message;  // part of the error when it does not open
};
// Names the case in test listings (instead of a byte dump).
void PrintTo(const TDamagedCase& c, std::ostream* os) { *os << c.fixture; }

class TranscodeDamagedInput : public ::testing::TestWithParam<TDamagedCase> {};

TEST_P(TranscodeDamagedInput, EndsWithAMessageOrACleanEnd) {
    const TDamagedCase& c = GetParam();
    const std::string output = testmedia::TempDir() + "/out.mkv";
    const TRunResult run = RunTask({"-i", testmedia::Fixture(c.fixture), "-vcodec", "mpeg4", output});
    if (!c.opens) {
        EXPECT_FALSE(run.configured);
        EXPECT_NE(run.error.find(c.message), std::string::npos) << run.error;
        return;
    }
    EXPECT_TRUE(run.error.empty()) << run.error;
    EXPECT_TRUE(run.finished);
    const TFileFacts out = Probe(output);
    ASSERT_TRUE(out.readable);
    EXPECT_GT(out.duration, 0.2);
    EXPECT_LT(out.duration, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Cases, TranscodeDamagedInput,
                         ::testing::Values(TDamagedCase{"truncated.ts", true, ""},
                                           TDamagedCase{"truncated.mp4", false, "truncated.mp4: "},
                                           TDamagedCase{"random.bin", false, "random.bin: "}),
                         [](const auto& info) {
                             std::string n = info.param.fixture;
                             n[n.find('.')] = '_';
                             return n;
                         });

}  // namespace
