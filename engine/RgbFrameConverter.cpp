#include "engine/RgbFrameConverter.h"

#include <algorithm>
#include <cstring>
#include <thread>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kWorkAlign = 32;    // keeps the scaler on its aligned paths
constexpr int kDirectAlign = 16;  // the scaler's own row alignment: bitmap rows this aligned need no copy

int ScalerThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 1u, 16u));
}

void KeepPlanes(void*, uint8_t*) {}  // the planes belong to the caller

// Points the frame at planes owned elsewhere. The scaler takes references to its frames, so the
// frame gets a buffer that frees nothing; without one the scaler would copy the picture.
bool BorrowPlanes(AVFrame* frame, const uint8_t* const data[4], const int linesize[4], AVPixelFormat format,
                  int width, int height, bool readOnly) {
    frame->buf[0] = av_buffer_create(const_cast<uint8_t*>(data[0]), 1, KeepPlanes, nullptr,
                                     readOnly ? AV_BUFFER_FLAG_READONLY : 0);
    if (!frame->buf[0]) return false;
    for (int i = 0; i < 4; ++i) {
        frame->data[i] = const_cast<uint8_t*>(data[i]);
        frame->linesize[i] = linesize[i];
    }
    frame->format = format;
    frame->width = width;
    frame->height = height;
    return true;
}

}  // namespace

bool TRgbFrameConverter::Prepare(TScaler& scaler, int width, int height, AVPixelFormat from, AVPixelFormat to) {
    if (scaler.context && scaler.width == width && scaler.height == height && scaler.from == from && scaler.to == to)
        return true;
    scaler = TScaler{};
    av::SwsPtr context(sws_alloc_context());
    if (!context) return false;
    SwsContext* c = context.get();
    if (av_opt_set_int(c, "srcw", width, 0) < 0 || av_opt_set_int(c, "srch", height, 0) < 0 ||
        av_opt_set_int(c, "src_format", from, 0) < 0 || av_opt_set_int(c, "dstw", width, 0) < 0 ||
        av_opt_set_int(c, "dsth", height, 0) < 0 || av_opt_set_int(c, "dst_format", to, 0) < 0 ||
        av_opt_set_int(c, "sws_flags", kScalerFlags, 0) < 0 || av_opt_set_int(c, "threads", ScalerThreads(), 0) < 0)
        return false;
    if (sws_init_context(c, nullptr, nullptr) < 0) return false;
    scaler = TScaler{std::move(context), width, height, from, to};
    return true;
}

bool TRgbFrameConverter::Scale(TScaler& scaler, const uint8_t* const srcData[4], const int srcLinesize[4],
                               uint8_t* const dstData[4], const int dstLinesize[4]) {
    if (!srcFrame_) srcFrame_ = av::MakeFrame();
    if (!dstFrame_) dstFrame_ = av::MakeFrame();
    if (!srcFrame_ || !dstFrame_) return false;
    int ret = -1;
    if (BorrowPlanes(srcFrame_.get(), srcData, srcLinesize, scaler.from, scaler.width, scaler.height, true) &&
        BorrowPlanes(dstFrame_.get(), dstData, dstLinesize, scaler.to, scaler.width, scaler.height, false))
        ret = sws_scale_frame(scaler.context.get(), dstFrame_.get(), srcFrame_.get());
    av_frame_unref(srcFrame_.get());
    av_frame_unref(dstFrame_.get());
    return ret >= 0;
}

TBitmapView TRgbFrameConverter::View() {
    if (direct_) return TBitmapView{width_, height_, workLinesize_[0], workData_[0]};
    return bitmap_.View();
}

bool TRgbFrameConverter::ToBitmap(const uint8_t* const data[4], const int linesize[4], AVPixelFormat format,
                                  int width, int height) {
    if (width <= 0 || height <= 0 || !data || !data[0]) return false;
    // The scaler asserts on formats it does not know, so they are refused here.
    if (format != kRgbFormat && !sws_isSupportedInput(format)) return false;
    // Until this picture is in the bitmap, FromBitmap refuses to write anything back.
    width_ = 0;
    height_ = 0;
    direct_ = false;
    const int rowBytes = (width * 3 + 3) & ~3;
    converted_ = format != kRgbFormat || (width & 1) || (height & 1) || linesize[0] != rowBytes;

    if (!converted_) {
        bitmap_.Resize(width, height);
        for (int y = 0; y < height; ++y)
            std::memcpy(bitmap_.Bits() + static_cast<ptrdiff_t>(y) * rowBytes,
                        data[0] + static_cast<ptrdiff_t>(y) * linesize[0], static_cast<size_t>(rowBytes));
        width_ = width;
        height_ = height;
        return true;
    }

    const bool direct = rowBytes % kDirectAlign == 0;
    const int size = direct ? rowBytes * height : av_image_get_buffer_size(kRgbFormat, width, height, kWorkAlign);
    if (size <= 0) return false;
    if (static_cast<size_t>(size) > workSize_) {
        work_.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(size))));
        workSize_ = work_ ? static_cast<size_t>(size) : 0;
        if (!work_) return false;
    }
    if (direct) {
        std::fill(std::begin(workData_), std::end(workData_), nullptr);
        std::fill(std::begin(workLinesize_), std::end(workLinesize_), 0);
        workData_[0] = work_.get();
        workLinesize_[0] = rowBytes;
    } else if (av_image_fill_arrays(workData_, workLinesize_, work_.get(), kRgbFormat, width, height, kWorkAlign) < 0) {
        return false;
    }
    if (!Prepare(toRgb_, width, height, format, kRgbFormat)) return false;
    if (!Scale(toRgb_, data, linesize, workData_, workLinesize_)) return false;
    if (!direct) {
        bitmap_.Resize(width, height);
        const size_t copy = static_cast<size_t>(std::min(workLinesize_[0], rowBytes));
        for (int y = 0; y < height; ++y)
            std::memcpy(bitmap_.Bits() + static_cast<ptrdiff_t>(y) * rowBytes,
                        workData_[0] + static_cast<ptrdiff_t>(y) * workLinesize_[0], copy);
    }
    direct_ = direct;
    width_ = width;
    height_ = height;
    return true;
}

bool TRgbFrameConverter::FromBitmap(uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width,
                                    int height) {
    if (width != width_ || height != height_ || width <= 0 || height <= 0 || !data || !data[0]) return false;
    if (converted_ && !sws_isSupportedOutput(format)) return false;
    const int rowBytes = (width * 3 + 3) & ~3;
    if (!converted_) {
        // The rows have the bitmap's length: straight back into the picture.
        for (int y = 0; y < height; ++y)
            std::memcpy(data[0] + static_cast<ptrdiff_t>(y) * linesize[0],
                        bitmap_.Bits() + static_cast<ptrdiff_t>(y) * rowBytes, static_cast<size_t>(rowBytes));
        return true;
    }
    if (!Prepare(fromRgb_, width, height, kRgbFormat, format)) return false;
    if (!direct_) {
        const size_t copy = static_cast<size_t>(std::min(workLinesize_[0], rowBytes));
        for (int y = 0; y < height; ++y)
            std::memcpy(workData_[0] + static_cast<ptrdiff_t>(y) * workLinesize_[0],
                        bitmap_.Bits() + static_cast<ptrdiff_t>(y) * rowBytes, copy);
    }
    return Scale(fromRgb_, workData_, workLinesize_, data, linesize);
}
