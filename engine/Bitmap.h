#pragma once
// The engine's 24-bit picture: three bytes per pixel in the order blue, green, red, rows top down.
// Hooks, previews and the picture routines all work on it; app/ and ui/ wrap it in a QImage
// (Format_BGR888) without copying.
#include <cstddef>
#include <cstdint>
#include <vector>

// A view on pixels owned elsewhere. Valid only as long as the owner keeps them.
struct TBitmapView {
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes from one row to the next, at least width * 3
    uint8_t* bits = nullptr;

    uint8_t* Row(int y) const { return bits + static_cast<std::ptrdiff_t>(y) * stride; }
    bool Empty() const { return width <= 0 || height <= 0 || bits == nullptr; }
};

// A bitmap that owns its pixels. Rows are padded to four bytes, as device-independent bitmaps are.
class TBitmap24 {
public:
    TBitmap24() = default;
    TBitmap24(int width, int height) { Resize(width, height); }

    // Keeps the buffer when it is large enough; the pixels are unspecified after a size change.
    void Resize(int width, int height) {
        width_ = width > 0 ? width : 0;
        height_ = height > 0 ? height : 0;
        stride_ = (width_ * 3 + 3) & ~3;
        const size_t need = static_cast<size_t>(stride_) * static_cast<size_t>(height_);
        if (pixels_.size() < need) pixels_.resize(need);
    }

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Stride() const { return stride_; }
    uint8_t* Bits() { return pixels_.data(); }
    const uint8_t* Bits() const { return pixels_.data(); }
    TBitmapView View() { return TBitmapView{width_, height_, stride_, pixels_.data()}; }

private:
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    std::vector<uint8_t> pixels_;
};
