#include "player/Subtitles.h"

#include <algorithm>

uint32_t PaletteEntryToYuva(uint32_t argb) {
    const int a = static_cast<int>(argb >> 24);
    const int r = static_cast<int>((argb >> 16) & 0xFF);
    const int g = static_cast<int>((argb >> 8) & 0xFF);
    const int b = static_cast<int>(argb & 0xFF);
    // >> on negative ints is arithmetic with every compiler this builds with (and defined in C++20).
    const int y = (263 * r + 517 * g + 101 * b + 16896) >> 10;
    const int u = ((-152 * r - 298 * g + 450 * b + 511) >> 10) + 128;
    const int v = ((450 * r - 377 * g - 74 * b + 511) >> 10) + 128;
    return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(y) << 16) | (static_cast<uint32_t>(u) << 8) |
           static_cast<uint32_t>(v);
}

namespace {
inline int Blend(int a, int oldValue, int newValue, int s) {
    return ((oldValue << s) * (255 - a) + newValue * a) / (255 << s);
}
}  // namespace

void BlendSubtitle(TYuvPicture& picture, const TSubtitleBitmap& rect) {
    const int W = picture.width, H = picture.height;
    if (W <= 0 || H <= 0 || !rect.indexes || !rect.palette) return;
    const int w = std::clamp(rect.width, 0, W);
    const int h = std::clamp(rect.height, 0, H);
    const int x = std::clamp(rect.x, 0, W - w);
    const int y = std::clamp(rect.y, 0, H - h);
    if (w == 0 || h == 0) return;
    auto entry = [&](int i, int j) { return rect.palette[rect.indexes[j * rect.linesize + i]]; };

    for (int j = 0; j < h; ++j) {
        uint8_t* row = picture.y.data() + static_cast<size_t>(y + j) * W + x;
        for (int i = 0; i < w; ++i) {
            const uint32_t e = entry(i, j);
            row[i] = static_cast<uint8_t>(Blend(static_cast<int>(e >> 24), row[i], (e >> 16) & 0xFF, 0));
        }
    }

    const int cw = picture.ChromaWidth();
    for (int cy = y / 2; cy <= (y + h - 1) / 2; ++cy) {
        for (int cx = x / 2; cx <= (x + w - 1) / 2; ++cx) {
            int n = 0, sumA = 0, sumU = 0, sumV = 0;
            for (int ly = 2 * cy; ly < 2 * cy + 2; ++ly) {
                if (ly < y || ly >= y + h) continue;
                for (int lx = 2 * cx; lx < 2 * cx + 2; ++lx) {
                    if (lx < x || lx >= x + w) continue;
                    const uint32_t e = entry(lx - x, ly - y);
                    ++n;
                    sumA += static_cast<int>(e >> 24);
                    sumU += static_cast<int>((e >> 8) & 0xFF);
                    sumV += static_cast<int>(e & 0xFF);
                }
            }
            if (n == 0) continue;
            const int s = n == 4 ? 2 : n == 2 ? 1 : 0;
            const size_t at = static_cast<size_t>(cy) * cw + cx;
            picture.u[at] = static_cast<uint8_t>(Blend(sumA >> 2, picture.u[at], sumU, s));
            picture.v[at] = static_cast<uint8_t>(Blend(sumA >> 2, picture.v[at], sumV, s));
        }
    }
}

void ConvertSubtitlePalettes(AVSubtitle& sub) {
    for (unsigned i = 0; i < sub.num_rects; ++i) {
        AVSubtitleRect* r = sub.rects[i];
        if (r->type != SUBTITLE_BITMAP || !r->data[1]) continue;
        auto* pal = reinterpret_cast<uint32_t*>(r->data[1]);
        for (int c = 0; c < r->nb_colors; ++c) pal[c] = PaletteEntryToYuva(pal[c]);
    }
}

void BlendSubtitle(TYuvPicture& picture, const AVSubtitle& sub) {
    for (unsigned i = 0; i < sub.num_rects; ++i) {
        const AVSubtitleRect* r = sub.rects[i];
        if (r->type != SUBTITLE_BITMAP || !r->data[0] || !r->data[1]) continue;
        TSubtitleBitmap b;
        b.x = r->x;
        b.y = r->y;
        b.width = r->w;
        b.height = r->h;
        b.indexes = r->data[0];
        b.linesize = r->linesize[0];
        b.palette = reinterpret_cast<const uint32_t*>(r->data[1]);
        BlendSubtitle(picture, b);
    }
}

TSubtitleQueue::~TSubtitleQueue() { Clear(); }

bool TSubtitleQueue::WaitForSpace() {
    std::unique_lock lock(mutex_);
    cond_.wait(lock, [&] { return size_ < kSize || abort_; });
    return !abort_;
}

void TSubtitleQueue::Push(double pts, AVSubtitle& sub) {
    std::lock_guard lock(mutex_);
    TEntry& e = entries_[windex_];
    avsubtitle_free(&e.sub);
    e.pts = pts;
    e.sub = sub;
    sub = AVSubtitle{};
    windex_ = (windex_ + 1) % kSize;
    ++size_;
}

void TSubtitleQueue::PopLocked() {
    if (size_ == 0) return;
    avsubtitle_free(&entries_[rindex_].sub);
    rindex_ = (rindex_ + 1) % kSize;
    --size_;
    cond_.notify_all();
}

void TSubtitleQueue::Clear() {
    std::lock_guard lock(mutex_);
    while (size_ > 0) PopLocked();
    for (TEntry& e : entries_) avsubtitle_free(&e.sub);
    rindex_ = windex_ = 0;
    cond_.notify_all();
}

void TSubtitleQueue::Abort() {
    std::lock_guard lock(mutex_);
    abort_ = true;
    cond_.notify_all();
}
