#pragma once
// The waveform shown for files without video: the audio callback copies every decoded buffer
// into a ring of samples, and each refresh draws the newest ones as white bars on black.
#include <array>
#include <cstdint>

#include "player/VideoSink.h"

// 16-bit samples interleaved by channel. Not thread-safe; the playback guards it with its audio lock.
class TSampleRing {
public:
    static constexpr int kSize = 0x20000;

    void Append(const int16_t* samples, int count);
    int WriteIndex() const { return writeIndex_; }
    int16_t At(int index) const { return samples_[static_cast<size_t>(Wrap(index))]; }
    static int Wrap(int index) { return ((index % kSize) + kSize) % kSize; }

private:
    std::array<int16_t, kSize> samples_{};
    int writeIndex_ = 0;
};

// The first sample to draw: delaySamples frames back from the write position, then the most
// stable trigger point among up to 1000 entries before it.
int WaveformStart(const TSampleRing& ring, int channels, int delaySamples);

// Draws channels bands of area.width columns from start into area (black, white bars and
// separator lines).
void DrawWaveform(TYuvPicture& area, const TSampleRing& ring, int start, int channels);
