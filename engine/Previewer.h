#pragma once
// Previews of a task's encoded pictures: a bitmap callback for the application, or a preview window
// (TPreviewer). At most one preview per interval (100 ms unless changed), always of the picture as
// it goes to the encoder (after filters and scaling).
//
// Threads: the switches (SetFlags/Flags) may be changed from any thread; they and the previewer
// are read and written under the preview-switch lock. The worker never holds that lock while it
// calls out (a handler that waits for the main thread must not block a main thread that flips a
// switch), so it keeps its own reference to the previewer during a call. The handlers and the
// previewer factory are set on the configuring thread before the run. Offer runs on the task's
// worker thread only; the converter and the last preview time are the worker's.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/Bitmap.h"
#include "engine/RgbFrameConverter.h"
#include "engine/Types.h"

// A preview window. ShowFrame answers whether it took the frame; once its window was closed it
// refuses every frame.
class TPreviewer {
public:
    virtual ~TPreviewer() = default;
    virtual bool ShowFrame(const TBitmapView& bitmap, int frameNumber, int64_t ptsUs) = 0;
};
using TPreviewerFactory = std::function<std::unique_ptr<TPreviewer>()>;

// (sender task, bitmap, frame number, pts in microseconds). The bitmap is valid during the call.
using TPreviewBitmapHandler =
    std::function<void(TFFBaseComponent* sender, const TBitmapView& bitmap, int frameNumber, int64_t ptsUs)>;

enum TPreviewFlag : int { pfPreview = 1, pfPreviewBitmap = 2 };

class TVideoPreviews {
public:
    static constexpr int64_t kDefaultIntervalUs = 100000;

    // ---- configuring thread, before the run ----
    void SetBitmapHandler(TPreviewBitmapHandler handler) { bitmapHandler_ = std::move(handler); }
    void SetPreviewerFactory(TPreviewerFactory factory) { factory_ = std::move(factory); }
    void SetInterval(int64_t us) { intervalUs_ = us; }

    // ---- any thread, under the preview-switch lock ----
    // Bit 0 preview window, bit 1 preview bitmap. Turning the window off frees the previewer.
    void SetFlags(int flags);
    int Flags() const;

    // ---- worker thread ----
    // A picture on its way to the encoder. Makes a preview when a switch is on and the interval has
    // passed since the last one; a failed conversion or a refusing window switches that preview off.
    void Offer(const uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width, int height,
               int frameNumber, int64_t ptsUs, TFFBaseComponent* sender);
    // Forgets the last preview time (a new run starts).
    void Restart() { lastPreviewUs_ = INT64_MIN; }

private:
    mutable std::mutex switchLock_;  // the preview-switch lock: guards flags_ and previewer_
    int flags_ = 0;
    std::shared_ptr<TPreviewer> previewer_;

    TPreviewBitmapHandler bitmapHandler_;
    TPreviewerFactory factory_;
    int64_t intervalUs_ = kDefaultIntervalUs;
    int64_t lastPreviewUs_ = INT64_MIN;  // worker only
    TRgbFrameConverter converter_;       // worker only
};
