#pragma once
// The video filter chain of one encoded output stream (the "vf" option): "buffer" source "src",
// an optional "crop" step (the crop bands) and "scale" step (to the encoder's size, with the
// store's scaler flags), the user's description between "in" and "out", and a "buffersink" "out"
// that accepts only the encoder's pixel format.
//
// Threads: built by the run set-up and used by the run, both on the task's worker thread.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/AVPtr.h"
#include "engine/VideoPath.h"  // TCropBands

class TVideoFilterChain {
public:
    struct TInput {
        int width = 0, height = 0;
        AVPixelFormat format = AV_PIX_FMT_NONE;
        AVRational sampleAspect{0, 1};
    };
    struct TOutput {
        int width = 0, height = 0;  // the encoder's size before the chain
        AVPixelFormat format = AV_PIX_FMT_NONE;
    };
    // Throws FFmpegException "Error opening filters: <reason>" when the chain cannot be built.
    TVideoFilterChain(const TInput& input, const TOutput& output, const TCropBands& crop, int swsFlags,
                      const std::string& description);

    // What the chain gives: the encoder takes this size and sample aspect ratio (num 0: none).
    int Width() const { return width_; }
    int Height() const { return height_; }
    AVRational SampleAspect() const { return sampleAspect_; }

    // Pushes one picture (pts in microseconds); null at the end of the stream. Throws on failure.
    void Push(const AVFrame* picture);
    // The next filtered picture into `out` (pts in microseconds); false when none is ready.
    bool Pull(AVFrame* out);

private:
    av::FilterGraphPtr graph_;
    AVFilterContext* source_ = nullptr;  // owned by graph_
    AVFilterContext* sink_ = nullptr;    // owned by graph_
    int width_ = 0, height_ = 0;
    AVRational sampleAspect_{0, 1};
};
