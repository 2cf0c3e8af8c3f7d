#pragma once
// Pre-processing of every decoded video picture of a task, before filters and encoders: the frame
// counter, deinterlacing, the custom hook (the picture as a 24-bit bitmap for the application,
// taken back when the handler asks for it) or the loaded frame-hook plug-ins.
//
// Threads: the hook handler is set on the configuring thread before the run (ClearCustomHook also
// from the worker); everything else runs on the task's worker thread. No lock: one thread at a time.
#include <cstdint>
#include <functional>

#include "engine/AVPtr.h"
#include "engine/Bitmap.h"
#include "engine/RgbFrameConverter.h"
#include "engine/Types.h"

class TFrameHookList;

// (sender task, bitmap, frame number, pts in microseconds, update: in true, stop hook: in false).
// The handler may draw into the bitmap but must not change its size; update = false leaves the
// picture as it was; stop hook = true means it is never called again in this task.
using TCustomHookHandler = std::function<void(TFFBaseComponent* sender, const TBitmapView& bitmap, int frameNumber,
                                              int64_t ptsUs, bool& update, bool& stopHook)>;

class TVideoPreprocessor {
public:
    TVideoPreprocessor();
    ~TVideoPreprocessor();

    void SetCustomHook(TCustomHookHandler handler) { customHook_ = std::move(handler); }
    bool HasCustomHook() const { return static_cast<bool>(customHook_); }

    struct TSettings {
        bool deinterlace = false;
        TFrameHookList* videoHooks = nullptr;  // used when not empty and no custom hook is set
        bool* usingVideoHooks = nullptr;       // the task's flag, cleared with the custom hook
        TFFBaseComponent* sender = nullptr;
    };
    // One decoded picture (refcounted). Afterwards `picture` holds the processed picture (its own
    // buffer when anything was done, with the decoded picture's properties).
    void Process(AVFrame* picture, int64_t ptsUs, const TSettings& settings);

    // Pictures pre-processed so far; the frame number given to hooks and previews.
    int FrameCounter() const { return frameCounter_; }
    // A new run: the counter starts again (the hook and buffers stay for the task).
    void Restart() { frameCounter_ = 0; }

private:
    bool PrepareWork(const AVFrame* picture);
    bool Deinterlace(const AVFrame* picture);
    // Converts `source` for the hook and, when the hook asks for it, its bitmap back into `work`
    // (which may be `source`). True when `work` now holds the hook's picture.
    bool RunCustomHook(const AVFrame* source, AVFrame* work, int64_t ptsUs, const TSettings& settings);

    int frameCounter_ = 0;
    TCustomHookHandler customHook_;
    av::FramePtr work_;  // the hook work buffer: decoded size and format
    TRgbFrameConverter converter_;
    struct TDeinterlacer;
    std::unique_ptr<TDeinterlacer> deinterlacer_;
};
