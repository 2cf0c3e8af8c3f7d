#include "app/PictureEffects.h"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

namespace {

bool Usable(const TBitmapView& frame) {
    return !frame.Empty() && std::abs(static_cast<int64_t>(frame.stride)) >= static_cast<int64_t>(frame.width) * 3;
}

bool Usable(const TConstBitmapView& image) {
    return image.width > 0 && image.height > 0 && image.bits != nullptr &&
           std::abs(static_cast<int64_t>(image.stride)) >= static_cast<int64_t>(image.width) * 3;
}

uint8_t ClampByte(int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); }

// Rows of a big frame are split into bands that run at once on this thread and a few helpers: the
// look-ups are memory bound and a 1080p frame takes milliseconds on one core. Below about a quarter
// of a megapixel a band would cost more in thread start-up than it saves.
constexpr int64_t kPixelsPerBand = 256 * 1024;
constexpr unsigned kMaxBands = 4;

// Cores this process may run on (its affinity, which containers and taskset narrow).
unsigned UsableCores() {
    static const unsigned cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
        return std::max(1u, std::thread::hardware_concurrency());
    }();
    return cores;
}

template <class Work>
void ForEachBand(const TBitmapView& frame, const Work& work) {
    const int64_t pixels = static_cast<int64_t>(frame.width) * frame.height;
    const unsigned cores = UsableCores();
    const int bands = static_cast<int>(
        std::clamp<int64_t>(pixels / kPixelsPerBand, 1, std::min(cores, kMaxBands)));
    const auto bandStart = [&](int b) { return static_cast<int>(static_cast<int64_t>(frame.height) * b / bands); };
    std::vector<std::jthread> helpers;
    for (int b = 1; b < bands; ++b) {
        try {
            helpers.emplace_back([&work, from = bandStart(b), to = bandStart(b + 1)] { work(from, to); });
        } catch (const std::system_error&) {
            work(bandStart(b), bandStart(b + 1));  // no thread to be had: this band runs here
        }
    }
    work(0, bandStart(1));
}  // the helpers join here

}  // namespace

TConstBitmapView ImageView(const QImage& image) {
    if (image.isNull() || image.format() != QImage::Format_BGR888) return {};
    return {image.width(), image.height(), static_cast<int>(image.bytesPerLine()), image.constBits()};
}

// ---- tables ----

std::array<uint8_t, 256> TPictureAdjust::ContrastTable(int32_t contrast) {
    // The curve divides by cos(c * pi / 200), which is zero at 100.
    const int32_t c = contrast == 100 ? 99 : contrast;
    const double f = c > 0 ? 1.0 / std::cos(c * 0.015707963267948966) : std::cos(c * 0.015708);
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        // The pivot stays put even when an out-of-range contrast makes f infinite.
        const double level = (i == 170 ? 0.0 : (i - 170) * f) + 170.0;
        // nearbyint rounds halves to even in the default rounding mode.
        table[i] = static_cast<uint8_t>(std::clamp(std::nearbyint(level), 0.0, 255.0));
    }
    return table;
}

std::array<uint8_t, 256> TPictureAdjust::LevelTable(int32_t brightness, int32_t contrast) {
    const std::array<uint8_t, 256> contrastTable = ContrastTable(contrast);
    std::array<uint8_t, 256> table{};
    const int64_t b = brightness;
    for (int j = 0; j < 256; ++j) {
        const int64_t k = (b * j + 256 - b) / 256;  // truncates toward zero
        table[j] = contrastTable[ClampByte(k)];
    }
    return table;
}

std::array<int64_t, 256> TPictureAdjust::SaturationTable(int32_t saturation) {
    std::array<int64_t, 256> table{};
    for (int m = 0; m < 256; ++m) table[m] = ((m + 1) * static_cast<int64_t>(saturation)) >> 8;
    return table;
}

std::array<uint8_t, 256> TPictureAdjust::ExposureTable(float exposure) {
    std::array<uint8_t, 256> table{};
    const bool off = exposure == 0.0f || !std::isfinite(exposure);
    const long double e = exposure;
    // Beyond this the result is 0 or 255 anyway; the bound keeps the integer conversion defined.
    constexpr long double kBound = 1099511627776.0L;  // 2^40
    for (int i = 0; i < 256; ++i) {
        if (off) {
            table[i] = static_cast<uint8_t>(i);
            continue;
        }
        const long double curve = (1.0L - std::exp((static_cast<long double>(i) / -128.0L) * (e / 128.0L))) * 256.0L;
        const int64_t k = static_cast<int64_t>(std::clamp(std::nearbyint(curve), -kBound, kBound));
        const int64_t level = e >= 0 ? i + ((k * (255 - i)) >> 8) : i - (((-k) * (255 - i)) >> 8);
        table[i] = ClampByte(level);
    }
    return table;
}

// ---- the fused adjustment ----

TPictureAdjust::TPictureAdjust(const PictureSettings& s)
    : TPictureAdjust(s.HasColorAdjust(), s.Brightness, s.Contrast, s.Saturation, static_cast<float>(s.Exposure)) {}

TPictureAdjust::TPictureAdjust(bool color, int32_t brightness, int32_t contrast, int32_t saturation,
                               float exposure)
    : color_(color), exposure_(exposure != 0.0f && std::isfinite(exposure)) {
    std::array<uint8_t, 256> level{};
    for (int i = 0; i < 256; ++i) level[i] = static_cast<uint8_t>(i);
    if (color_) level = LevelTable(brightness, contrast);
    if (exposure_) {
        const std::array<uint8_t, 256> curve = ExposureTable(exposure);
        for (int i = 0; i < 256; ++i) level[i] = curve[level[i]];
    }
    levels_ = level;
    if (!color_) return;

    // A channel depends only on itself and on its pixel's floored average, so one table per average
    // holds the whole colour step: avg - S[avg] + S[v], clamped, through the levels.
    const std::array<int64_t, 256> sat = SaturationTable(saturation);
    byAverage_.resize(256 * 256);
    for (int a = 0; a < 256; ++a) {
        const int64_t grey = a - sat[a];
        uint8_t* row = byAverage_.data() + a * 256;
        for (int v = 0; v < 256; ++v) row[v] = levels_[ClampByte(grey + sat[v])];
    }
}

void TPictureAdjust::Apply(const TBitmapView& frame) const {
    if (!Active() || !Usable(frame)) return;
    ForEachBand(frame, [this, &frame](int from, int to) { ApplyRows(frame, from, to); });
}

void TPictureAdjust::ApplyRows(const TBitmapView& frame, int from, int to) const {
    const int width = frame.width;
    if (!color_) {
        const uint8_t* level = levels_.data();
        const int bytes = width * 3;
        for (int y = from; y < to; ++y) {
            uint8_t* p = frame.Row(y);
            for (int i = 0; i < bytes; ++i) p[i] = level[p[i]];
        }
        return;
    }
    const uint8_t* table = byAverage_.data();
    for (int y = from; y < to; ++y) {
        uint8_t* p = frame.Row(y);
        for (int x = 0; x < width; ++x, p += 3) {
            const unsigned average = (unsigned{p[0]} + p[1] + p[2]) / 3;
            const uint8_t* row = table + average * 256;
            const uint8_t b0 = row[p[0]];
            const uint8_t b1 = row[p[1]];
            const uint8_t b2 = row[p[2]];
            p[0] = b0;
            p[1] = b1;
            p[2] = b2;
        }
    }
}

void ApplyColorAdjust(const TBitmapView& frame, int32_t brightness, int32_t contrast, int32_t saturation) {
    TPictureAdjust(true, brightness, contrast, saturation, 0.0f).Apply(frame);
}

void ApplyExposure(const TBitmapView& frame, float exposure) {
    TPictureAdjust(false, 256, 0, 256, exposure).Apply(frame);
}

// ---- image blend ----

void BlendOverlayImage(const TBitmapView& frame, const TConstBitmapView& image, int32_t x, int32_t y,
                       int32_t alpha, int32_t style) {
    if (!Usable(frame) || !Usable(image)) return;
    // The picture's rectangle cut by the frame's; 64-bit so far-off positions cannot overflow.
    const int64_t x0 = std::max<int64_t>(x, 0);
    const int64_t y0 = std::max<int64_t>(y, 0);
    const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + image.width, frame.width);
    const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(y) + image.height, frame.height);
    if (x1 <= x0 || y1 <= y0) return;
    const int skipX = static_cast<int>(x0 - x);
    const int skipY = static_cast<int>(y0 - y);
    const int bytes = static_cast<int>(x1 - x0) * 3;
    const int rows = static_cast<int>(y1 - y0);

    if (style == 1) {
        const unsigned a = static_cast<unsigned>(std::clamp<int32_t>(alpha, 0, 255));
        const unsigned keep = 256 - a;
        for (int r = 0; r < rows; ++r) {
            uint8_t* f = frame.Row(static_cast<int>(y0) + r) + x0 * 3;
            const uint8_t* in = image.Row(skipY + r) + skipX * 3;
            for (int i = 0; i < bytes; ++i) f[i] = static_cast<uint8_t>((keep * f[i] + a * in[i]) >> 8);
        }
        return;
    }
    for (int r = 0; r < rows; ++r) {
        uint8_t* f = frame.Row(static_cast<int>(y0) + r) + x0 * 3;
        const uint8_t* in = image.Row(skipY + r) + skipX * 3;
        for (int i = 0; i < bytes; ++i) f[i] = static_cast<uint8_t>((unsigned{f[i]} * in[i]) / 255u);
    }
}

// ---- decoration ----

namespace {

enum class TStep { Adjust, Text, Image };

// Indexed by ProcessText + 2 * ProcessImage.
constexpr TStep kOrders[4][3] = {
    {TStep::Adjust, TStep::Text, TStep::Image},
    {TStep::Text, TStep::Adjust, TStep::Image},
    {TStep::Image, TStep::Adjust, TStep::Text},
    {TStep::Text, TStep::Image, TStep::Adjust},
};

template <class GetImage>
TDecorateResult Decorate(const TBitmapView& frame, const PictureSettings& s, const TPictureAdjust& adjust,
                         GetImage&& getImage) {
    TDecorateResult result;
    auto fail = [&result](const std::string& text) {
        if (!result.errorText.empty()) result.errorText += ' ';
        result.errorText += text;
    };
    for (const TStep step : kOrders[(s.ProcessText ? 1 : 0) + (s.ProcessImage ? 2 : 0)]) {
        switch (step) {
        case TStep::Adjust:
            adjust.Apply(frame);
            break;
        case TStep::Text:
            if (!s.WaterText.empty()) {
                std::string error;
                if (!DrawOverlayText(frame, s.WaterText, s.WaterFont, s.TextX, s.TextY, &error)) fail(error);
            }
            break;
        case TStep::Image:
            if (!s.ImageFile.empty()) {
                std::string error;
                const std::shared_ptr<const QImage> image = getImage(s.ImageFile, &error);
                if (image)
                    BlendOverlayImage(frame, ImageView(*image), s.ImageX, s.ImageY, s.ImageAlpha, s.ImageBlendStyle);
                else
                    fail(error);
            }
            break;
        }
    }
    return result;
}

}  // namespace

TDecorateResult DecorateFrame(const TBitmapView& frame, const PictureSettings& settings) {
    if (!settings.NeedsDecoration()) return {};
    return Decorate(frame, settings, TPictureAdjust(settings),
                    [](const std::string& path, std::string* error) { return LoadOverlayImage(path, error); });
}

TDecorateResult TPictureDecorator::Decorate(const TBitmapView& frame, const PictureSettings& settings) {
    if (!settings.NeedsDecoration()) return {};
    const TAdjustKey key{settings.HasColorAdjust(), settings.Brightness, settings.Contrast, settings.Saturation,
                         settings.Exposure};
    if (!haveAdjust_ || !(key == adjustKey_)) {
        adjust_ = TPictureAdjust(settings);
        adjustKey_ = key;
        haveAdjust_ = true;
    }
    return ::Decorate(frame, settings, adjust_,
                      [this](const std::string& path, std::string* error) { return images_.Get(path, error); });
}
