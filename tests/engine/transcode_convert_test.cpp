// Whole conversions through the transcoder: many source kinds, many output formats. Each output
// must be read by ffprobe with the requested codecs, sizes and rates, and last as long as the
// source (or -t) within one frame of video or 50 ms of sound.
#include <cmath>

#include "engine/transcode_support.h"

using namespace transcodetest;

namespace {

struct TConversion {
    const char* source;    // fixture name
    const char* output;    // output file name (its extension picks the format)
    const char* options;   // options between the input and the output, space separated
    const char* video;     // expected video codec, "" for none
    int width, height;
    const char* audio;     // expected audio codec, "" for none
    int sampleRate, channels;
    double limitSeconds;   // -t given, or 0
};
std::ostream& operator<<(std::ostream& os, const TConversion& c) { return os << c.source << " -> " << c.output; }

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// A stream's own duration; for containers that keep none, the video's frame count at 25 fps or
// the file's duration.
double StreamDuration(const TFileFacts& f, const TStreamFacts& s) {
    if (s.duration > 0) return s.duration;
    if (s.type == "video" && s.packets > 0) return s.packets / 25.0;
    return f.duration;
}

class TranscodeConvert : public ::testing::TestWithParam<TConversion> {};

TEST_P(TranscodeConvert, OutputHasRequestedStreamsAndDuration) {
    const TConversion& c = GetParam();
    const std::string source = testmedia::Fixture(c.source);
    ASSERT_FALSE(source.empty());
    const std::string output = testmedia::TempDir() + "/" + c.output;
    std::vector<std::string> args = {"-i", source};
    for (const std::string& o : Split(c.options)) args.push_back(o);
    args.push_back(output);

    const TRunResult run = RunTask(args);
    ASSERT_TRUE(run.error.empty()) << run.error;
    EXPECT_TRUE(run.finished);

    const TFileFacts in = Probe(source);
    const TFileFacts out = Probe(output);
    ASSERT_TRUE(out.readable) << output;
    const TStreamFacts* v = out.Stream("video");
    const TStreamFacts* a = out.Stream("audio");
    if (*c.video) {
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->codec, c.video);
        EXPECT_EQ(v->width, c.width);
        EXPECT_EQ(v->height, c.height);
        const double expected = c.limitSeconds > 0 ? c.limitSeconds : StreamDuration(in, *in.Stream("video"));
        EXPECT_NEAR(StreamDuration(out, *v), expected, 0.04 + 0.01) << "video duration";
    } else {
        EXPECT_EQ(v, nullptr);
    }
    if (*c.audio) {
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->codec, c.audio);
        EXPECT_EQ(a->sampleRate, c.sampleRate);
        EXPECT_EQ(a->channels, c.channels);
        const double expected = c.limitSeconds > 0 ? c.limitSeconds : StreamDuration(in, *in.Stream("audio"));
        EXPECT_NEAR(StreamDuration(out, *a), expected, 0.05) << "audio duration";
    } else {
        EXPECT_EQ(a, nullptr);
    }
    EXPECT_TRUE(DecodesCleanly(output));
}

// Every source kind into one output with the format's own codecs.
INSTANTIATE_TEST_SUITE_P(
    Sources, TranscodeConvert,
    ::testing::Values(TConversion{"av.mp4", "mp4.mkv", "", "h264", 320, 240, "vorbis", 44100, 2, 0},
                      TConversion{"av.mkv", "mkv.mkv", "", "h264", 320, 240, "vorbis", 44100, 2, 0},
                      TConversion{"av.avi", "avi.mkv", "", "h264", 320, 240, "vorbis", 44100, 2, 0},
                      TConversion{"av.mov", "mov.mkv", "", "h264", 320, 240, "vorbis", 44100, 2, 0},
                      TConversion{"av.ts", "ts.mkv", "", "h264", 320, 240, "vorbis", 44100, 2, 0},
                      TConversion{"av.flv", "flv.mkv", "", "h264", 320, 240, "vorbis", 44100, 2, 0},
                      TConversion{"av.ogg", "ogg.mkv", "", "h264", 320, 240, "vorbis", 44100, 2, 0},
                      TConversion{"av.webm", "webm.mkv", "", "h264", 320, 240, "vorbis", 48000, 2, 0},
                      TConversion{"audio.wav", "wav.mkv", "", "", 0, 0, "vorbis", 44100, 2, 0},
                      TConversion{"audio.mp3", "mp3.mkv", "", "", 0, 0, "vorbis", 44100, 2, 0}),
    [](const auto& info) { return std::string(info.param.source).replace(std::string(info.param.source).find('.'), 1, "_"); });

// One source into every output format, with the codecs, sizes and rates a device profile asks for.
INSTANTIATE_TEST_SUITE_P(
    Outputs, TranscodeConvert,
    ::testing::Values(
        TConversion{"av.mp4", "out.mp4", "-s 160x120 -vcodec mpeg4 -acodec aac -ab 96k", "mpeg4", 160, 120, "aac", 44100, 2, 0},
        TConversion{"av.mkv", "out.avi", "-vcodec mpeg4 -acodec libmp3lame -ac 1", "mpeg4", 320, 240, "mp3", 44100, 1, 0},
        TConversion{"av.avi", "out.mkv", "-s 480x272 -vcodec libx264 -acodec aac -ac 1", "h264", 480, 272, "aac", 44100, 1, 0},
        TConversion{"av.mov", "out.mpg", "-vcodec mpeg2video -acodec mp2 -ar 48000", "mpeg2video", 320, 240, "mp2", 48000, 2, 0},
        TConversion{"av.ts", "out.flv", "-acodec libmp3lame -ar 44100", "flv1", 320, 240, "mp3", 44100, 2, 0},
        TConversion{"av.flv", "out.3gp", "-s 176x144 -vcodec h263 -acodec libopencore_amrnb -ar 8000 -ac 1", "h263", 176, 144,
                    "amr_nb", 8000, 1, 0},
        TConversion{"av.ogg", "out.wmv", "-vcodec wmv2 -acodec wmav2", "wmv2", 320, 240, "wmav2", 44100, 2, 0},
        TConversion{"av.webm", "out.mp3", "-vn -ar 44100", "", 0, 0, "mp3", 44100, 2, 0},
        TConversion{"av.mp4", "out.wav", "-vn", "", 0, 0, "pcm_s16le", 44100, 2, 0},
        TConversion{"audio.mp3", "out.ogg", "-ac 1", "", 0, 0, "vorbis", 44100, 1, 0},
        TConversion{"audio.wav", "out.ac3", "-ar 48000", "", 0, 0, "ac3", 48000, 2, 0},
        TConversion{"av.mp4", "short.mp4", "-t 1.2 -vcodec mpeg4 -acodec aac", "mpeg4", 320, 240, "aac", 44100, 2, 1.2},
        TConversion{"av.ts", "short.mp3", "-t 0.7 -vn", "", 0, 0, "mp3", 44100, 2, 0.7},
        // Encoders with a fixed picture layout: JPEG wants full range, 525-line DV 4:1:1.
        TConversion{"av.mp4", "mjpeg.avi", "-vcodec mjpeg -acodec pcm_s16le", "mjpeg", 320, 240, "pcm_s16le", 44100, 2, 0},
        TConversion{"av.mp4", "ntsc.dv", "-s 720x480 -r 29.97 -vcodec dvvideo -acodec pcm_s16le -ar 48000", "dvvideo", 720,
                    480, "pcm_s16le", 48000, 2, 0}),
    [](const auto& info) {
        std::string n = info.param.output;
        n[n.find('.')] = '_';
        return n;
    });

}  // namespace
