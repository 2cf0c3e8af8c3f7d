#include "engine/Previewer.h"

#include "engine/FFmpegLogger.h"

extern "C" {
#include <libavutil/time.h>
}

void TVideoPreviews::SetFlags(int flags) {
    std::shared_ptr<TPreviewer> gone;  // freed outside the lock
    std::lock_guard lock(switchLock_);
    flags_ = flags & (pfPreview | pfPreviewBitmap);
    if (!(flags_ & pfPreview)) gone = std::move(previewer_);
}

int TVideoPreviews::Flags() const {
    std::lock_guard lock(switchLock_);
    return flags_;
}

void TVideoPreviews::Offer(const uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width,
                           int height, int frameNumber, int64_t ptsUs, TFFBaseComponent* sender) {
    int flags;
    std::shared_ptr<TPreviewer> previewer;
    {
        std::lock_guard lock(switchLock_);
        flags = flags_;
        if (!flags) return;
        const int64_t now = av_gettime_relative();
        if (lastPreviewUs_ != INT64_MIN && now - lastPreviewUs_ <= intervalUs_) return;
        lastPreviewUs_ = now;
        if (!(flags & pfPreviewBitmap && bitmapHandler_) && (flags & pfPreview)) {
            if (!previewer_ && factory_) previewer_ = factory_();
            previewer = previewer_;
        }
    }

    int switchOff = 0;
    if ((flags & pfPreviewBitmap) && bitmapHandler_) {
        if (converter_.ToBitmap(data, linesize, format, width, height)) {
            bitmapHandler_(sender, converter_.View(), frameNumber, ptsUs);
        } else {
            TFFLogger::Instance().Log(sender, llError, "Cannot initialize the toRGB conversion context");
            switchOff = pfPreviewBitmap;
        }
    } else if (flags & pfPreview) {
        bool shown = false;
        if (previewer && converter_.ToBitmap(data, linesize, format, width, height))
            shown = previewer->ShowFrame(converter_.View(), frameNumber, ptsUs);
        if (!shown) switchOff = pfPreview;
    }
    if (switchOff) {
        std::shared_ptr<TPreviewer> gone;
        std::lock_guard lock(switchLock_);
        flags_ &= ~switchOff;
        if (!(flags_ & pfPreview)) gone = std::move(previewer_);
    }
}
