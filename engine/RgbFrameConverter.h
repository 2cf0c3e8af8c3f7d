#pragma once
// Hands a decoded picture to the application as a 24-bit bitmap (blue, green, red; rows padded to
// four bytes) and, for hooks, takes the bitmap back into the picture.
//
// A BGR24 picture of even size whose rows already have the bitmap's length is copied as it is;
// anything else goes through a scaler of the same size. The work buffer and both scalers are kept
// between pictures and remade only when the size grows or the format changes. Where the bitmap's
// rows are aligned for the scaler, the work buffer is the bitmap itself and no row is copied. The
// scalers split each picture into bands over the machine's cores.
//
// Threads: one converter belongs to one task and is used only on its worker thread (the scaler's
// own band threads are internal to a call).
#include <cstdint>

#include "engine/AVPtr.h"
#include "engine/Bitmap.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

class TRgbFrameConverter {
public:
    static constexpr AVPixelFormat kRgbFormat = AV_PIX_FMT_BGR24;
    // Bicubic. Exact rounding with full-resolution chroma would keep a round trip a few levels
    // closer at chroma edges, but costs four times as much on every hooked picture.
    static constexpr int kScalerFlags = 0x4;

    // Fills the bitmap (width x height) from the picture. False when no scaler could be made.
    bool ToBitmap(const uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width, int height);
    // Writes the bitmap back into the picture ToBitmap was last given (same planes, format and
    // size). False when no scaler back to the picture's format could be made; the picture is then
    // left as it was.
    bool FromBitmap(uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width, int height);

    // The bitmap of the last ToBitmap; valid until the next ToBitmap.
    TBitmapView View();
    // The last ToBitmap went through the scaler.
    bool Converted() const { return converted_; }
    // Bytes of the RGB work buffer (0 until a conversion was needed).
    size_t WorkBufferSize() const { return workSize_; }

private:
    // A same-size scaler between two formats, remade only when one of them changes.
    struct TScaler {
        av::SwsPtr context;
        int width = 0;
        int height = 0;
        AVPixelFormat from = AV_PIX_FMT_NONE;
        AVPixelFormat to = AV_PIX_FMT_NONE;
    };
    static bool Prepare(TScaler& scaler, int width, int height, AVPixelFormat from, AVPixelFormat to);
    bool Scale(TScaler& scaler, const uint8_t* const srcData[4], const int srcLinesize[4], uint8_t* const dstData[4],
               const int dstLinesize[4]);

    TBitmap24 bitmap_;  // holds the picture when the work buffer does not (see direct_)
    av::BufferPtr<uint8_t> work_;
    size_t workSize_ = 0;
    uint8_t* workData_[4] = {};
    int workLinesize_[4] = {};
    TScaler toRgb_;
    TScaler fromRgb_;
    av::FramePtr srcFrame_;  // borrowed planes handed to the scaler; empty between calls
    av::FramePtr dstFrame_;
    int width_ = 0;
    int height_ = 0;
    bool converted_ = false;
    bool direct_ = false;  // the work buffer has the bitmap's row length and is the bitmap
};
