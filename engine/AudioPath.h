#pragma once
// The audio frame path of a running task: volume, timestamp synchronisation (trim, pad, drift
// compensation), channel/rate/sample-format conversion, framing into the encoder's frame size
// and encoding. One TAudioOut per encoded output audio stream.
//
// Threads: everything here runs on the task's worker thread; no field is shared with another
// thread, so no lock guards them.
#include <cstdint>
#include <functional>

#include "engine/AVPtr.h"
#include "engine/Types.h"

// Scales decoded samples by vol / 256 (256 = unchanged), clipping at the format's range. Signed
// 16-bit samples follow (s * vol + 128) >> 8. The frame must be writable.
void ApplyVolume(AVFrame* frame, int vol);

// What the audio path needs of the task's settings.
struct TAudioSyncSettings {
    int audioSyncMethod = 0;                  // async: 0 none, 1 trim/pad, > 1 also drift compensation
    double audioDriftThresholdSeconds = 0.1;  // adrift_threshold
    int64_t startTimeUs = 0;                  // ss of the output side
    int verbose = 1;                          // v
    TFFBaseComponent* sender = nullptr;       // the task, as the sender of log lines
};

// Receives every encoded packet, its timestamps in the encoder's time base. The sink owns the
// rescaling and the write; it may throw FFmpegException.
using TPacketSink = std::function<void(AVPacket* packet)>;

class TAudioOut {
public:
    // enc: the opened encoder (not owned; outlives this object).
    explicit TAudioOut(AVCodecContext* enc, bool alwaysResample);
    ~TAudioOut() { av_channel_layout_uninit(&swrInLayout_); }
    TAudioOut(const TAudioOut&) = delete;
    TAudioOut& operator=(const TAudioOut&) = delete;

    // One decoded block. syncInputPtsUs is the sync input stream's current pts; inputAtStart is
    // that stream's is-start flag (cleared by the first trim or pad).
    void Process(const AVFrame* block, int64_t syncInputPtsUs, bool& inputAtStart,
                 const TAudioSyncSettings& settings, const TPacketSink& sink);
    // End of stream: encodes what the FIFO holds (a short last frame when the encoder allows it,
    // else padded with silence) and drains the encoder.
    void Flush(const TPacketSink& sink);

    // Samples at the encoder's rate sent to the encoder so far (the pts of the next frame).
    int64_t SyncPts() const { return syncPts_; }
    // Samples waiting in the FIFO for a full frame.
    int64_t FifoSamples() const;
    // Time in microseconds up to which samples were taken in (sent plus waiting).
    int64_t FedEndUs() const;
    // The last drift compensation requested from the resampler (samples per second).
    int LastCompensation() const { return lastCompensation_; }

private:
    void EnsureConverter(const AVFrame* block);
    // Converted samples of a block (in the encoder's format, rate and layout) into converted_.
    int Convert(const AVFrame* block);
    void WriteSilence(int samples);
    void EncodeFromFifo(int samples, const TPacketSink& sink);
    void SendFrame(AVFrame* frame, const TPacketSink& sink);
    bool FrameBased() const;

    AVCodecContext* enc_;
    bool alwaysResample_;
    av::SwrPtr swr_;
    // The input side the converter was made for.
    AVSampleFormat swrInFormat_ = AV_SAMPLE_FMT_NONE;
    int swrInRate_ = 0;
    AVChannelLayout swrInLayout_{};
    av::AudioFifoPtr fifo_;
    av::FramePtr converted_;
    av::FramePtr encodeFrame_;
    int64_t syncPts_ = 0;
    int64_t sentEnd_ = 0;  // pts just after the last sample handed to the encoder
    int lastCompensation_ = 0;
    bool flushed_ = false;
};
