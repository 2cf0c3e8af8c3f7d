#pragma once
// Bitmap subtitles: palette conversion to YUVA, blending into a 4:2:0 picture, and the queue of
// decoded subtitles between the subtitle thread and the event loop.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "player/VideoSink.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

// One palette entry, alpha in bits 24-31 and red, green, blue below it, turned into alpha, Y, U,
// V in the same bit positions (studio-range BT.601, 10-bit fixed point).
uint32_t PaletteEntryToYuva(uint32_t argb);

// A bitmap rectangle: one palette index per pixel, palette entries already YUVA.
struct TSubtitleBitmap {
    int x = 0, y = 0, width = 0, height = 0;
    const uint8_t* indexes = nullptr;
    int linesize = 0;
    const uint32_t* palette = nullptr;
};

// Blends the rectangle into the picture, clipped to it and moved inside it. A chroma sample takes
// the summed u, v and a quarter of the summed alpha of the covered pixels of its 2 x 2 block.
void BlendSubtitle(TYuvPicture& picture, const TSubtitleBitmap& rect);

// Converts every palette of a decoded bitmap subtitle to YUVA in place.
void ConvertSubtitlePalettes(AVSubtitle& sub);
// Blends every bitmap rectangle of a converted subtitle.
void BlendSubtitle(TYuvPicture& picture, const AVSubtitle& sub);

// Four decoded subtitles. The subtitle thread fills slots at the write index; the event loop
// reads and drops at the read index. Every member takes the queue's mutex, except that the
// subtitle at the read index may be read under Lock().
class TSubtitleQueue {
public:
    static constexpr int kSize = 4;
    struct TEntry {
        double pts = 0;  // seconds
        AVSubtitle sub{};
    };

    TSubtitleQueue() = default;
    TSubtitleQueue(const TSubtitleQueue&) = delete;
    TSubtitleQueue& operator=(const TSubtitleQueue&) = delete;
    ~TSubtitleQueue();

    // Subtitle thread: waits while full; false once aborted.
    bool WaitForSpace();
    // Subtitle thread: takes ownership of sub (its rectangles) as the newest entry.
    void Push(double pts, AVSubtitle& sub);
    // Event loop: how many are queued, and the n-th (0 = oldest) under the lock.
    std::unique_lock<std::mutex> Lock() { return std::unique_lock(mutex_); }
    int SizeLocked() const { return size_; }
    TEntry& AtLocked(int n) { return entries_[(rindex_ + n) % kSize]; }
    // Event loop, under Lock(): frees the oldest and wakes the subtitle thread.
    void PopLocked();
    // Drops all (the subtitle stream changed).
    void Clear();
    void Abort();

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::array<TEntry, kSize> entries_;  // guarded by mutex_
    int size_ = 0, rindex_ = 0, windex_ = 0;
    bool abort_ = false;
};
