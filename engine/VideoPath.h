#pragma once
// The video frame path of a running task after the decoder: frame-rate sync (duplicating or
// dropping pictures), frame limit, the old-style crop bands, scaling to the encoder's size and
// pixel format (re-created when the input size changes), encoding. Also the subtitle output.
//
// Threads: everything here runs on the task's worker thread; no lock guards these fields. The stop
// flag is written by another thread and read here between duplicated frames.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "engine/AVPtr.h"
#include "engine/AudioPath.h"  // TPacketSink
#include "engine/Previewer.h"
#include "engine/Types.h"

// Frame counters of a task that the video path raises (read by the progress report).
struct TVideoCounters {
    int duplicatedFrames = 0;
    int droppedFrames = 0;
    bool dupDropChanged = false;
};

// What the video path needs of the task's settings for one call.
struct TVideoSyncSettings {
    int videoSyncMethod = -1;     // vsync: 0 pass, 1 constant rate, 2 variable rate, -1 by the format
    bool variableRateFormat = false;  // the output format accepts variable frame rates
    int64_t startTimeUs = 0;      // ss of the output side
    int maxFrames = 0;            // vframes
    int verbose = 1;              // v
    bool exitOnError = false;     // xerror
    int topFieldFirst = -1;       // top
    bool interlacedEncoding = false;  // the encoder codes interlaced (ildct / ilme)
    bool keepPictureType = false;     // me_threshold set: the decoder's picture types go on
    const std::atomic<bool>* stopRequested = nullptr;
    TFFBaseComponent* sender = nullptr;
    TVideoPreviews* previews = nullptr;  // offered every picture that goes to the encoder
    int frameCounter = 0;                // the task's frame counter: the previews' frame number
};

// The crop bands of an output stream (top, bottom, left, right).
struct TCropBands {
    int top = 0, bottom = 0, left = 0, right = 0;
    bool Any() const { return top || bottom || left || right; }
};

// Closes a two-pass log file.
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

class TVideoOut {
public:
    // enc: the opened encoder (not owned). inWidth/inHeight/inFormat: the decoder's picture as the
    // run set-up saw it; the scaler is made when the cropped input differs from the encoder.
    TVideoOut(AVCodecContext* enc, int inputFile, int inputStream, int inWidth, int inHeight, AVPixelFormat inFormat,
              const TCropBands& crop, int swsFlags);

    // One decoded (pre-processed) picture. syncInputPtsUs: the sync input stream's pts. Returns the
    // size in bytes of the last packet written (0 when none).
    int Process(const AVFrame* picture, int64_t syncInputPtsUs, const TVideoSyncSettings& settings,
                TVideoCounters& counters, const TPacketSink& sink);
    // End of stream: drains the encoder.
    void Flush(const TPacketSink& sink);

    // Pass-1 statistics go here when set.
    void SetPassLog(FilePtr log) { passLog_ = std::move(log); }

    int64_t syncPts = 0;   // frames of the encoder's time base written so far (pts of the next frame)
    int frameNumber = 0;   // frames written
    bool NeedsScaler() const { return resample_; }

private:
    const AVFrame* Prepare(const AVFrame* picture, const TVideoSyncSettings& settings);
    void MakeScaler();
    int Encode(AVFrame* frame, const TPacketSink& sink);

    AVCodecContext* enc_;
    int inputFile_, inputStream_;
    bool resample_ = false;
    int resampleWidth_, resampleHeight_;
    AVPixelFormat resampleFormat_;
    int originalWidth_, originalHeight_;
    TCropBands crop_, originalCrop_;
    int swsFlags_;
    av::SwsPtr scaler_;
    av::FramePtr scaled_;
    av::FramePtr cropped_;
    av::FramePtr work_;
    FilePtr passLog_;
    bool flushed_ = false;
};

// Encodes one decoded subtitle. ptsInStream: the packet's pts in the input stream's time base
// (AV_NOPTS_VALUE when unknown). The packets reach the sink with timestamps in microseconds.
void SubtitleOut(AVCodecContext* enc, const AVSubtitle& subtitle, int64_t ptsInStream, AVRational inTimeBase,
                 int64_t startTimeUs, bool exitOnError, TFFBaseComponent* sender, const TPacketSink& sink);
