// The audio and video paths on their own, with real encoders and hand-made frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "engine/AudioPath.h"
#include "engine/FFmpegLogger.h"
#include "engine/VideoPath.h"

namespace {

av::CodecContextPtr OpenAudioEncoder(const char* name, AVSampleFormat fmt, int rate, int channels) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    av::CodecContextPtr c(avcodec_alloc_context3(codec));
    c->sample_fmt = fmt;
    c->sample_rate = rate;
    av_channel_layout_default(&c->ch_layout, channels);
    c->time_base = {1, rate};
    EXPECT_EQ(avcodec_open2(c.get(), codec, nullptr), 0) << name;
    return c;
}

// A block of interleaved or planar samples, every sample `value` (per-sample when a generator is given).
av::FramePtr AudioBlock(AVSampleFormat fmt, int rate, int channels, int samples, int16_t value = 1000) {
    av::FramePtr f = av::MakeFrame();
    f->format = fmt;
    f->sample_rate = rate;
    f->nb_samples = samples;
    av_channel_layout_default(&f->ch_layout, channels);
    EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
    const int planes = av_sample_fmt_is_planar(fmt) ? channels : 1;
    const int perPlane = samples * (av_sample_fmt_is_planar(fmt) ? 1 : channels);
    for (int p = 0; p < planes; ++p)
        for (int i = 0; i < perPlane; ++i) {
            if (av_get_packed_sample_fmt(fmt) == AV_SAMPLE_FMT_S16)
                reinterpret_cast<int16_t*>(f->data[p])[i] = value;
            else if (av_get_packed_sample_fmt(fmt) == AV_SAMPLE_FMT_FLT)
                reinterpret_cast<float*>(f->data[p])[i] = value / 32768.0f;
        }
    return f;
}

struct TPacketLog {
    std::vector<int64_t> pts;
    std::vector<int> sizes;
    TPacketSink Sink() {
        return [this](AVPacket* p) {
            pts.push_back(p->pts);
            sizes.push_back(p->size);
        };
    }
};

// ---- volume ----

TEST(TranscodePaths, VolumeScalesEverySampleFormat) {
    struct Case {
        AVSampleFormat fmt;
        int vol;
        int16_t in;
        double expected;  // in 16-bit units
    };
    const Case cases[] = {
        {AV_SAMPLE_FMT_S16, 256, 20000, 20000},   {AV_SAMPLE_FMT_S16, 512, 20000, 32767},
        {AV_SAMPLE_FMT_S16, 512, -20000, -32768}, {AV_SAMPLE_FMT_S16, 128, 20000, 10000},
        {AV_SAMPLE_FMT_S16P, 512, 1000, 2000},    {AV_SAMPLE_FMT_FLTP, 512, 20000, 32768},
        {AV_SAMPLE_FMT_FLT, 128, -20000, -10000},
    };
    for (const Case& c : cases) {
        av::FramePtr f = AudioBlock(c.fmt, 44100, 2, 4, c.in);
        ApplyVolume(f.get(), c.vol);
        const int planes = av_sample_fmt_is_planar(c.fmt) ? 2 : 1;
        for (int p = 0; p < planes; ++p) {
            const double got = av_get_packed_sample_fmt(c.fmt) == AV_SAMPLE_FMT_S16
                                   ? reinterpret_cast<int16_t*>(f->data[p])[1]
                                   : reinterpret_cast<float*>(f->data[p])[1] * 32768.0;
            EXPECT_NEAR(got, c.expected, 0.5) << av_get_sample_fmt_name(c.fmt) << " vol " << c.vol;
        }
    }
}

// ---- audio synchronisation ----

struct TSyncCase {
    const char* name;
    int async;
    std::vector<double> blockStartSeconds;  // input time of each 4410-sample block
    int64_t expectedSamples;                // encoded after the flush
    const char* logged;                     // a line the path logs ("" for none)
    int compensation;                       // last drift compensation requested
};
// Names the case in test listings (instead of a byte dump).
void PrintTo(const TSyncCase& c, std::ostream* os) { *os << c.name; }

class TranscodeAudioSync : public ::testing::TestWithParam<TSyncCase> {};

TEST_P(TranscodeAudioSync, TrimsPadsOrCompensates) {
    const TSyncCase& c = GetParam();
    std::vector<std::string> lines;
    TFFLogger::Instance().SetTriggerEventInMainThread(false);
    TFFLogger::Instance().SetLogLevel(llVerbose);
    TFFLogger::Instance().SetOnLog(
        [&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& m) { lines.push_back(m); });
    av::CodecContextPtr enc = OpenAudioEncoder("pcm_s16le", AV_SAMPLE_FMT_S16, 44100, 2);
    TAudioOut out(enc.get(), c.async > 1);
    TAudioSyncSettings settings{c.async, 0.1, 0, 3, nullptr};
    TPacketLog packets;
    bool atStart = true;
    for (double start : c.blockStartSeconds) {
        av::FramePtr block = AudioBlock(AV_SAMPLE_FMT_S16, 44100, 2, 4410);
        out.Process(block.get(), std::llround(start * 1000000), atStart, settings, packets.Sink());
        EXPECT_EQ(out.FifoSamples(), 0) << "a PCM encoder takes each block whole";
    }
    out.Flush(packets.Sink());
    TFFLogger::Instance().SetOnLog({});
    int64_t samples = 0;
    for (int size : packets.sizes) samples += size / 4;
    EXPECT_NEAR(static_cast<double>(samples), static_cast<double>(c.expectedSamples), c.async > 1 ? 40 : 0);
    if (*c.logged) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l == c.logged; })) << c.logged;
    } else {
        for (const std::string& l : lines) EXPECT_EQ(l.find("audio samples"), std::string::npos) << l;
    }
    EXPECT_EQ(out.LastCompensation(), c.compensation);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TranscodeAudioSync,
    ::testing::Values(
        TSyncCase{"late_start_padded", 1, {0.5, 0.6}, 22050 + 2 * 4410, "adding 22050 audio samples of silence", 0},
        TSyncCase{"early_start_trimmed", 1, {-0.05, 0.05}, 4410 - 2205 + 4410, "discarding 2205 audio samples", 0},
        TSyncCase{"whole_early_block_dropped", 1, {-0.2, 0.0}, 4410, "discarding 8820 audio samples", 0},
        TSyncCase{"small_delta_untouched", 1, {0.001, 0.101}, 2 * 4410, "", 0},
        TSyncCase{"small_drift_after_start_left_alone", 1, {0.1, 0.25}, 3 * 4410, "adding 4410 audio samples of silence", 0},
        TSyncCase{"large_drift_padded", 1, {0.0, 0.4}, 4410 + 13230 + 4410, "adding 13230 audio samples of silence", 0},
        TSyncCase{"small_drift_compensated", 100, {0.1, 0.25, 0.35}, 4 * 4410, "adding 4410 audio samples of silence", 100},
        TSyncCase{"no_sync_keeps_every_sample", 0, {0.5, 0.0}, 2 * 4410, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TranscodePaths, FramedEncoderGetsFullFramesAndAPaddedLast) {
    av::CodecContextPtr enc = OpenAudioEncoder("mp2", AV_SAMPLE_FMT_S16, 44100, 2);
    ASSERT_EQ(enc->frame_size, 1152);
    TAudioOut out(enc.get(), false);
    TAudioSyncSettings settings{};
    TPacketLog packets;
    bool atStart = true;
    for (int i = 0; i < 5; ++i) {
        av::FramePtr block = AudioBlock(AV_SAMPLE_FMT_S16, 44100, 2, 1000);
        out.Process(block.get(), av_rescale(i * 1000, 1000000, 44100), atStart, settings, packets.Sink());
    }
    EXPECT_EQ(out.SyncPts(), 4 * 1152);
    EXPECT_EQ(out.FifoSamples(), 5000 - 4 * 1152);
    out.Flush(packets.Sink());
    ASSERT_EQ(packets.pts.size(), 5u);
    // Frames follow each other without gaps (the encoder's own delay shifts them all).
    for (size_t i = 0; i < packets.pts.size(); ++i)
        EXPECT_EQ(packets.pts[i], static_cast<int64_t>(i) * 1152 - enc->initial_padding);
}

TEST(TranscodePaths, ConvertsChannelsRateAndSampleFormat) {
    struct Case {
        AVSampleFormat inFmt;
        int inRate, inChannels;
        double expectedRatio;  // output samples per input sample (per channel)
        float firstValue;      // first output sample, full scale 1.0
    };
    const Case cases[] = {
        {AV_SAMPLE_FMT_S16, 22050, 1, 2.0, -1},           // mono 22050 -> stereo 44100: resampled
        {AV_SAMPLE_FMT_S16, 44100, 2, 1.0, 1000 / 32768.0f},  // 16-bit -> float: converted only
    };
    for (const Case& c : cases) {
        av::CodecContextPtr enc = OpenAudioEncoder("pcm_f32le", AV_SAMPLE_FMT_FLT, 44100, 2);
        TAudioOut out(enc.get(), false);
        TAudioSyncSettings settings{};
        std::vector<float> samples;
        auto sink = [&](AVPacket* p) {
            const float* f = reinterpret_cast<const float*>(p->data);
            samples.insert(samples.end(), f, f + p->size / 4);
        };
        bool atStart = true;
        for (int i = 0; i < 10; ++i) {
            av::FramePtr block = AudioBlock(c.inFmt, c.inRate, c.inChannels, 2205);
            out.Process(block.get(), av_rescale(i * 2205, 1000000, c.inRate), atStart, settings, sink);
        }
        out.Flush(sink);
        EXPECT_NEAR(samples.size() / 2.0 / (10 * 2205), c.expectedRatio, 0.01);
        if (c.firstValue >= 0) {
            EXPECT_FLOAT_EQ(samples.at(0), c.firstValue);
        }
    }
}

// ---- video frame-rate sync ----

av::CodecContextPtr OpenRawVideoEncoder() {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_RAWVIDEO);
    av::CodecContextPtr c(avcodec_alloc_context3(codec));
    c->width = 16;
    c->height = 16;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = {1, 25};
    EXPECT_EQ(avcodec_open2(c.get(), codec, nullptr), 0);
    return c;
}

struct TVsyncCase {
    const char* name;
    int vsync;
    bool variableRateFormat;
    int maxFrames;
    std::vector<int> inputMs;        // pts of each decoded picture
    std::vector<int64_t> outputPts;  // encoded pictures, in frames
    int duplicated, dropped;
    const char* logged;
};
// Names the case in test listings (instead of a byte dump).
void PrintTo(const TVsyncCase& c, std::ostream* os) { *os << c.name; }

class TranscodeVideoSync : public ::testing::TestWithParam<TVsyncCase> {};

TEST_P(TranscodeVideoSync, DuplicatesOrDropsToKeepTheRate) {
    const TVsyncCase& c = GetParam();
    std::vector<std::string> lines;
    TFFLogger::Instance().SetTriggerEventInMainThread(false);
    TFFLogger::Instance().SetLogLevel(llVerbose);
    TFFLogger::Instance().SetOnLog(
        [&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& m) { lines.push_back(m); });
    av::CodecContextPtr enc = OpenRawVideoEncoder();
    TVideoOut out(enc.get(), 0, 0, 16, 16, AV_PIX_FMT_YUV420P, TCropBands{}, SWS_BICUBIC);
    EXPECT_FALSE(out.NeedsScaler());
    av::FramePtr picture = av::MakeFrame();
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = picture->height = 16;
    ASSERT_EQ(av_frame_get_buffer(picture.get(), 0), 0);
    std::atomic<bool> stop{false};
    TVideoSyncSettings settings;
    settings.videoSyncMethod = c.vsync;
    settings.variableRateFormat = c.variableRateFormat;
    settings.maxFrames = c.maxFrames;
    settings.verbose = 3;
    settings.stopRequested = &stop;
    TVideoCounters counters;
    TPacketLog packets;
    for (int ms : c.inputMs) out.Process(picture.get(), ms * 1000LL, settings, counters, packets.Sink());
    out.Flush(packets.Sink());
    TFFLogger::Instance().SetOnLog({});
    EXPECT_EQ(packets.pts, c.outputPts);
    EXPECT_EQ(counters.duplicatedFrames, c.duplicated);
    EXPECT_EQ(counters.droppedFrames, c.dropped);
    if (*c.logged) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l == c.logged; })) << c.logged;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TranscodeVideoSync,
    ::testing::Values(
        TVsyncCase{"one_per_frame", -1, false, INT32_MAX, {0, 40, 80, 120}, {0, 1, 2, 3}, 0, 0, ""},
        TVsyncCase{"three_ahead_written_three_times", -1, false, INT32_MAX, {0, 40, 200}, {0, 1, 2, 3, 4}, 2, 0,
                   "*** 2 dup!"},
        TVsyncCase{"running_ahead_dropped", 1, false, INT32_MAX, {0, 40, 80, 20}, {0, 1, 2}, 0, 1, "*** drop!"},
        TVsyncCase{"pass_through_never_dups", 0, false, INT32_MAX, {0, 40, 200, 200}, {0, 1, 5, 6}, 0, 0, ""},
        TVsyncCase{"variable_rate_jumps", -1, true, INT32_MAX, {0, 40, 200}, {0, 1, 5}, 0, 0, ""},
        TVsyncCase{"frame_limit_with_duplicates", 1, false, 10, {0, 400, 800}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 17, 0,
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TranscodePaths, ScalerFollowsAnInputSizeChange) {
    std::vector<std::string> lines;
    TFFLogger::Instance().SetTriggerEventInMainThread(false);
    TFFLogger::Instance().SetOnLog(
        [&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& m) { lines.push_back(m); });
    av::CodecContextPtr enc = OpenRawVideoEncoder();
    TVideoOut out(enc.get(), 0, 1, 32, 32, AV_PIX_FMT_YUV420P, TCropBands{}, SWS_BICUBIC);
    EXPECT_TRUE(out.NeedsScaler());
    TVideoSyncSettings settings;
    settings.maxFrames = INT32_MAX;
    TVideoCounters counters;
    TPacketLog packets;
    int frame = 0;
    for (int size : {32, 48}) {
        av::FramePtr picture = av::MakeFrame();
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = picture->height = size;
        ASSERT_EQ(av_frame_get_buffer(picture.get(), 0), 0);
        out.Process(picture.get(), 40000LL * frame++, settings, counters, packets.Sink());
    }
    TFFLogger::Instance().SetOnLog({});
    EXPECT_EQ(packets.sizes, (std::vector<int>{16 * 16 * 3 / 2, 16 * 16 * 3 / 2}));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](auto& l) { return l == "Input Stream #0.1 frame size changed to 48x48, yuv420p"; }));
}

}  // namespace
