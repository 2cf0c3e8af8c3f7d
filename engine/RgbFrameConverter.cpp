#include "engine/RgbFrameConverter.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kWorkAlign = 32;  // keeps the scaler on its aligned paths

}  // namespace

bool TRgbFrameConverter::ToBitmap(const uint8_t* const data[4], const int linesize[4], AVPixelFormat format,
                                  int width, int height) {
    if (width <= 0 || height <= 0 || !data || !data[0]) return false;
    // The scaler asserts on formats it does not know, so they are refused here.
    if (format != kRgbFormat && !sws_isSupportedInput(format)) return false;
    bitmap_.Resize(width, height);
    const int rowBytes = bitmap_.Stride();
    converted_ = format != kRgbFormat || (width & 1) || (height & 1) || linesize[0] != rowBytes;

    const uint8_t* rgb = data[0];
    int rgbLinesize = linesize[0];
    if (converted_) {
        const int size = av_image_get_buffer_size(kRgbFormat, width, height, kWorkAlign);
        if (size < 0) return false;
        if (static_cast<size_t>(size) > workSize_) {
            work_.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(size))));
            workSize_ = work_ ? static_cast<size_t>(size) : 0;
            if (!work_) return false;
        }
        if (av_image_fill_arrays(workData_, workLinesize_, work_.get(), kRgbFormat, width, height, kWorkAlign) < 0)
            return false;
        toRgb_.reset(sws_getCachedContext(toRgb_.release(), width, height, format, width, height, kRgbFormat,
                                          kScalerFlags, nullptr, nullptr, nullptr));
        if (!toRgb_) return false;
        sws_scale(toRgb_.get(), data, linesize, 0, height, workData_, workLinesize_);
        rgb = workData_[0];
        rgbLinesize = workLinesize_[0];
    }
    const size_t copy = static_cast<size_t>(std::min(rgbLinesize, rowBytes));
    for (int y = 0; y < height; ++y)
        std::memcpy(bitmap_.Bits() + static_cast<ptrdiff_t>(y) * rowBytes, rgb + static_cast<ptrdiff_t>(y) * rgbLinesize,
                    copy);
    return true;
}

bool TRgbFrameConverter::FromBitmap(uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width,
                                    int height) {
    if (width != bitmap_.Width() || height != bitmap_.Height() || !data || !data[0]) return false;
    if (converted_ && !sws_isSupportedOutput(format)) return false;
    const int rowBytes = bitmap_.Stride();
    if (!converted_) {
        // The rows have the bitmap's length: straight back into the picture.
        for (int y = 0; y < height; ++y)
            std::memcpy(data[0] + static_cast<ptrdiff_t>(y) * linesize[0],
                        bitmap_.Bits() + static_cast<ptrdiff_t>(y) * rowBytes, static_cast<size_t>(rowBytes));
        return true;
    }
    fromRgb_.reset(sws_getCachedContext(fromRgb_.release(), width, height, kRgbFormat, width, height, format,
                                        kScalerFlags, nullptr, nullptr, nullptr));
    if (!fromRgb_) return false;
    const size_t copy = static_cast<size_t>(std::min(workLinesize_[0], rowBytes));
    for (int y = 0; y < height; ++y)
        std::memcpy(workData_[0] + static_cast<ptrdiff_t>(y) * workLinesize_[0],
                    bitmap_.Bits() + static_cast<ptrdiff_t>(y) * rowBytes, copy);
    sws_scale(fromRgb_.get(), workData_, workLinesize_, 0, height, data, linesize);
    return true;
}
