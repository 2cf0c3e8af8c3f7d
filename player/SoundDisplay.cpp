#include "player/SoundDisplay.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {
constexpr uint8_t kWhite = 235;
}

void TSampleRing::Append(const int16_t* samples, int count) {
    while (count > 0) {
        const int n = std::min(count, kSize - writeIndex_);
        std::memcpy(samples_.data() + writeIndex_, samples, static_cast<size_t>(n) * sizeof(int16_t));
        samples += n;
        count -= n;
        writeIndex_ = (writeIndex_ + n) % kSize;
    }
}

int WaveformStart(const TSampleRing& ring, int channels, int delaySamples) {
    const int x = TSampleRing::Wrap(ring.WriteIndex() - delaySamples * channels);
    int best = x;
    int bestScore = INT_MIN;
    for (int i = 0; i < 1000; i += channels) {
        const int k = TSampleRing::Wrap(x - i);
        const int a = ring.At(k), b = ring.At(k + 4 * channels), c = ring.At(k + 5 * channels),
                  d = ring.At(k + 9 * channels);
        const int score = a - d;
        if (score > bestScore && ((b < 0) != (c < 0))) {
            bestScore = score;
            best = k;
        }
    }
    return best;
}

void DrawWaveform(TYuvPicture& area, const TSampleRing& ring, int start, int channels) {
    area.FillBlack();
    if (channels <= 0 || area.Empty()) return;
    const int w = area.width;
    const int h = area.height / channels;
    const int scale = h * 9 / 20;
    auto set = [&](int x, int y) {
        if (x >= 0 && x < w && y >= 0 && y < area.height) area.y[static_cast<size_t>(y) * w + x] = kWhite;
    };
    for (int c = 0; c < channels; ++c) {
        const int y0 = c * h + h / 2;
        int i = start + c;
        for (int x = 0; x < w; ++x, i += channels) {
            const int v = (ring.At(i) * scale) >> 15;
            const int from = v >= 0 ? y0 : y0 + v;
            for (int y = from; y < from + (v >= 0 ? v : -v); ++y) set(x, y);
        }
    }
    for (int c = 1; c < channels; ++c)
        for (int x = 0; x < w; ++x) set(x, c * h);
}
