// The pixel routines of the picture effects: colour adjustment, exposure, image blend and the
// no-op guarantees of DecorateFrame. Text, picture files and the decoration order are in
// effects_overlay_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/PictureEffects.h"

namespace {

using Px = std::array<int, 3>;

Px PixelAt(const TBitmapView& f, int x, int y) {
    const uint8_t* p = f.Row(y) + x * 3;
    return {p[0], p[1], p[2]};
}

void SetPixel(const TBitmapView& f, int x, int y, Px v) {
    uint8_t* p = f.Row(y) + x * 3;
    for (int i = 0; i < 3; ++i) p[i] = static_cast<uint8_t>(v[i]);
}

// A frame of random bytes, padding included, so a stray write anywhere shows.
TBitmap24 RandomFrame(int w, int h, unsigned seed) {
    TBitmap24 f(w, h);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < f.Stride() * h; ++i) f.Bits()[i] = static_cast<uint8_t>(byte(gen));
    return f;
}

std::vector<uint8_t> Bytes(const TBitmap24& f) { return {f.Bits(), f.Bits() + f.Stride() * f.Height()}; }

// ---- the formulas written out directly, one pixel at a time, without tables ----

int64_t ClampRef(int64_t v) { return std::min<int64_t>(255, std::max<int64_t>(0, v)); }

Px RefColor(Px p, int b, int c, int s) {
    auto sat = [s](int64_t m) { return ((m + 1) * s) >> 8; };
    const int cc = c == 100 ? 99 : c;
    const double f = cc > 0 ? 1.0 / std::cos(cc * 0.015707963267948966) : std::cos(cc * 0.015708);
    auto contrast = [f](int64_t i) { return ClampRef(static_cast<int64_t>(std::nearbyint((i - 170) * f + 170))); };
    auto level = [&](int64_t j) { return contrast(ClampRef((int64_t{b} * j + 256 - b) / 256)); };
    const int avg = (p[0] + p[1] + p[2]) / 3;
    Px out{};
    for (int i = 0; i < 3; ++i) out[i] = static_cast<int>(level(ClampRef(avg - sat(avg) + sat(p[i]))));
    return out;
}

int RefExposure(int v, int e) {
    const long double k = std::nearbyint((1.0L - std::exp((v / -128.0L) * (e / 128.0L))) * 256.0L);
    const int64_t kk = static_cast<int64_t>(std::clamp(k, -1e12L, 1e12L));
    return static_cast<int>(ClampRef(e >= 0 ? v + ((kk * (255 - v)) >> 8) : v - (((-kk) * (255 - v)) >> 8)));
}

// Applies the routine to each case pixel in a small frame and returns the results.
template <class Fn>
std::vector<Px> ApplyToPixels(const std::vector<Px>& in, Fn&& routine) {
    TBitmap24 f(static_cast<int>(in.size()), 1);
    for (size_t i = 0; i < in.size(); ++i) SetPixel(f.View(), static_cast<int>(i), 0, in[i]);
    routine(f.View());
    std::vector<Px> out;
    for (size_t i = 0; i < in.size(); ++i) out.push_back(PixelAt(f.View(), static_cast<int>(i), 0));
    return out;
}

// ---- colour adjustment ----

TEST(ColorAdjust, EdgeValues) {
    struct Case {
        const char* what;
        int b, c, s;
        std::vector<Px> in, want;
    };
    const std::vector<Case> cases = {
        {"256/0/256 is identity", 256, 0, 256, {{0, 0, 0}, {200, 100, 50}, {1, 254, 128}, {255, 255, 255}},
         {{0, 0, 0}, {200, 100, 50}, {1, 254, 128}, {255, 255, 255}}},
        {"255/0/255 is not identity when run", 255, 0, 255, {{64, 64, 64}}, {{63, 63, 63}}},
        {"saturation 512", 256, 0, 512, {{200, 100, 50}}, {{255, 84, 0}}},
        {"saturation 0 gives the floored average", 256, 0, 0, {{200, 100, 50}, {1, 1, 0}}, {{116, 116, 116}, {0, 0, 0}}},
        {"saturation 0 through brightness 255", 255, 0, 0, {{200, 100, 50}}, {{115, 115, 115}}},
        {"contrast -100 flattens to 170", 256, -100, 256, {{0, 64, 255}, {170, 169, 171}}, {{170, 170, 170}, {170, 170, 170}}},
        {"contrast 100 acts as 99", 256, 100, 256, {{167, 168, 169}, {170, 171, 172}, {0, 100, 255}},
         {{0, 43, 106}, {170, 234, 255}, {0, 0, 255}}},
        {"brightness 0 maps to 1", 0, 0, 256, {{0, 128, 255}}, {{1, 1, 1}}},
        {"brightness 512", 512, 0, 256, {{64, 128, 255}, {0, 1, 127}}, {{127, 255, 255}, {0, 1, 253}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(ApplyToPixels(k.in, [&](const TBitmapView& f) { ApplyColorAdjust(f, k.b, k.c, k.s); }), k.want);
    }
}

TEST(ColorAdjust, TablesMatchTheFormulas) {
    // In-range and far out-of-range values, with and without the exposure that follows.
    struct Case {
        int b, c, s, e;
    };
    const std::vector<Case> cases = {
        {300, 20, 300, 100}, {200, -40, 100, 0}, {256, 99, 512, -100}, {0, -100, 0, 512},
        {512, 100, 512, -255}, {255, 0, 255, 37}, {1000, 150, -300, 0}, {-50, -250, 100000, 0},
        {256, 0, INT_MAX, 0}, {INT_MIN, INT_MAX, INT_MIN, -1},
    };
    TBitmap24 base = RandomFrame(256, 6, 7);
    for (int v = 0; v < 256; ++v) {
        SetPixel(base.View(), v, 0, {v, v, v});
        SetPixel(base.View(), v, 1, {v, 255 - v, v / 2});
    }
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.b << "/" << k.c << "/" << k.s << " e=" << k.e);
        TBitmap24 f = base;
        TPictureAdjust(true, k.b, k.c, k.s, static_cast<float>(k.e)).Apply(f.View());
        int bad = 0;
        for (int y = 0; y < f.Height(); ++y)
            for (int x = 0; x < f.Width() && bad < 3; ++x) {
                Px want = RefColor(PixelAt(base.View(), x, y), k.b, k.c, k.s);
                if (k.e != 0)
                    for (int& ch : want) ch = RefExposure(ch, k.e);
                const Px got = PixelAt(f.View(), x, y);
                if (got != want) {
                    ++bad;
                    ADD_FAILURE() << "pixel " << x << "," << y;
                }
            }
    }
}

TEST(Exposure, EdgeValues) {
    struct Case {
        int e;
        std::vector<std::pair<int, int>> levels;  // in -> out
    };
    const std::vector<Case> cases = {
        {512, {{0, 0}, {1, 8}, {64, 228}, {128, 252}, {255, 255}}},
        {-255, {{0, 0}, {1, 0}, {100, 0}, {200, 0}, {250, 11}, {254, 203}, {255, 255}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.e);
        std::vector<Px> in, want;
        for (auto [from, to] : k.levels) {
            in.push_back({from, from, from});
            want.push_back({to, to, to});
        }
        EXPECT_EQ(ApplyToPixels(in, [&](const TBitmapView& f) { ApplyExposure(f, static_cast<float>(k.e)); }), want);
    }
    // Every level of a spread of strengths, against the curve computed directly.
    for (int e : {-255, -128, -1, 1, 64, 200, 512, 100000}) {
        const std::array<uint8_t, 256> t = TPictureAdjust::ExposureTable(static_cast<float>(e));
        for (int v = 0; v < 256; ++v) ASSERT_EQ(t[v], RefExposure(v, e)) << "e=" << e << " level " << v;
    }
}

TEST(Exposure, ZeroAndNonFiniteLeaveTheFrame) {
    for (float e : {0.0f, NAN, INFINITY, -INFINITY}) {
        TBitmap24 f = RandomFrame(17, 5, 3);
        const std::vector<uint8_t> before = Bytes(f);
        ApplyExposure(f.View(), e);
        EXPECT_EQ(Bytes(f), before) << e;
    }
}

TEST(ColorAdjust, BottomUpRowsAndUnusableFrames) {
    // A view whose rows run bottom up gets the same per-pixel result as the top-down one.
    TBitmap24 f = RandomFrame(9, 4, 11);
    TBitmap24 expected = f;
    ApplyColorAdjust(expected.View(), 300, 30, 400);
    TBitmapView up = f.View();
    up.bits = f.View().Row(f.Height() - 1);
    up.stride = -f.Stride();
    ApplyColorAdjust(up, 300, 30, 400);
    EXPECT_EQ(Bytes(f), Bytes(expected));

    // Rows shorter than the width, a null buffer and a zero size are left alone.
    TBitmap24 g = RandomFrame(9, 4, 12);
    const std::vector<uint8_t> before = Bytes(g);
    for (TBitmapView v : {TBitmapView{9, 4, 20, g.Bits()}, TBitmapView{9, 4, g.Stride(), nullptr},
                          TBitmapView{0, 4, g.Stride(), g.Bits()}}) {
        ApplyColorAdjust(v, 0, 0, 0);
        ApplyExposure(v, 512);
    }
    EXPECT_EQ(Bytes(g), before);
}

// Frames big enough to be adjusted in bands on several threads: every row, the band edges among
// them, gets what the formulas give, padding bytes stay, and bottom-up rows come out the same.
TEST(ColorAdjust, BigFramesInBandsMatchTheFormulas) {
    const int w = 1279, h = 723;  // odd sizes, so the bands split unevenly and rows carry padding
    TBitmap24 base = RandomFrame(w, h, 21);
    TBitmap24 down = base;
    TBitmap24 up = base;
    const TPictureAdjust adjust(true, 300, 25, 150, 60.0f);
    adjust.Apply(down.View());
    TBitmapView upView = up.View();
    upView.bits = up.View().Row(h - 1);
    upView.stride = -up.Stride();
    adjust.Apply(upView);
    EXPECT_EQ(Bytes(up), Bytes(down));
    int bad = 0;
    for (int y = 0; y < h && bad < 3; ++y) {
        for (int x = 0; x < w && bad < 3; ++x) {
            Px want = RefColor(PixelAt(base.View(), x, y), 300, 25, 150);
            for (int& ch : want) ch = RefExposure(ch, 60);
            if (PixelAt(down.View(), x, y) != want) {
                ++bad;
                ADD_FAILURE() << "pixel " << x << "," << y;
            }
        }
        for (int i = w * 3; i < down.Stride(); ++i) {
            if (down.View().Row(y)[i] != base.View().Row(y)[i]) {
                ++bad;
                ADD_FAILURE() << "padding of row " << y;
            }
        }
    }
    // Exposure alone takes the other path through the bands.
    TBitmap24 exposed = base;
    ApplyExposure(exposed.View(), -120.0f);
    for (int y = 0; y < h; y += h / 7)
        for (int x = 0; x < w; x += 97)
            for (int ch = 0; ch < 3; ++ch)
                ASSERT_EQ(PixelAt(exposed.View(), x, y)[ch], RefExposure(PixelAt(base.View(), x, y)[ch], -120))
                    << x << "," << y;
    ASSERT_EQ(PixelAt(exposed.View(), w - 1, h - 1)[2], RefExposure(PixelAt(base.View(), w - 1, h - 1)[2], -120));
}

// ---- image blend ----

TEST(BlendOverlayImage, ClipsAndMixesLikeTheFormula) {
    struct Case {
        const char* what;
        int imageW, imageH, x, y, alpha, style;
    };
    const std::vector<Case> cases = {
        {"inside", 5, 4, 3, 2, 168, 1},
        {"past the right edge", 8, 3, 17, 1, 100, 1},
        {"past the bottom edge", 3, 8, 2, 10, 100, 2},
        {"larger than the frame", 40, 30, 0, 0, 255, 1},
        {"larger and offset", 40, 30, 6, 5, 77, 2},
        {"left of and above the frame", 6, 6, -3, -4, 200, 1},
        {"far to the left", 6, 6, INT_MIN, 0, 200, 1},
        {"at the frame width", 4, 4, 21, 0, 128, 1},
        {"at the frame height", 4, 4, 0, 13, 128, 2},
        {"far to the right", 4, 4, INT_MAX, INT_MAX, 128, 1},
        {"alpha 0", 5, 5, 1, 1, 0, 1},
        {"alpha above the range acts as 255", 5, 5, 1, 1, 300, 1},
        {"alpha below the range acts as 0", 5, 5, 1, 1, -5, 1},
        {"any style but 1 multiplies", 5, 5, 1, 1, 0, 7},
    };
    TBitmap24 base = RandomFrame(21, 13, 21);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        TBitmap24 frame = base;
        TBitmap24 image = RandomFrame(k.imageW, k.imageH, 99);
        BlendOverlayImage(frame.View(), TConstBitmapView{image.Width(), image.Height(), image.Stride(), image.Bits()},
                          k.x, k.y, k.alpha, k.style);
        const int a = std::clamp(k.alpha, 0, 255);
        int changedOutside = 0, wrong = 0;
        for (int fy = 0; fy < base.Height(); ++fy)
            for (int fx = 0; fx < base.Width(); ++fx) {
                const Px was = PixelAt(base.View(), fx, fy);
                const Px got = PixelAt(frame.View(), fx, fy);
                const int64_t qx = int64_t{fx} - k.x, qy = int64_t{fy} - k.y;
                if (qx < 0 || qy < 0 || qx >= k.imageW || qy >= k.imageH) {
                    changedOutside += got != was;
                    continue;
                }
                const Px in = PixelAt(image.View(), static_cast<int>(qx), static_cast<int>(qy));
                Px want{};
                for (int c = 0; c < 3; ++c)
                    want[c] = k.style == 1 ? ((256 - a) * was[c] + a * in[c]) >> 8 : was[c] * in[c] / 255;
                wrong += got != want;
            }
        EXPECT_EQ(changedOutside, 0);
        EXPECT_EQ(wrong, 0);
        // The padding byte after each row stays as it was.
        const int used = base.Width() * 3;
        ASSERT_GT(base.Stride(), used);
        for (int fy = 0; fy < base.Height(); ++fy)
            EXPECT_EQ(0, std::memcmp(frame.Bits() + fy * frame.Stride() + used, base.Bits() + fy * base.Stride() + used,
                                     base.Stride() - used));
    }
}

TEST(BlendOverlayImage, KnownValues) {
    struct Case {
        int frame, image, alpha, style, want;
    };
    const std::vector<Case> cases = {
        {100, 200, 168, 1, 165}, {100, 200, 0, 1, 100},  {100, 200, 255, 1, 199},
        {100, 128, 168, 2, 50},  {100, 255, 0, 2, 100},  {77, 0, 255, 2, 0},
    };
    for (const Case& k : cases) {
        TBitmap24 f(1, 1), img(1, 1);
        SetPixel(f.View(), 0, 0, {k.frame, k.frame, k.frame});
        SetPixel(img.View(), 0, 0, {k.image, k.image, k.image});
        BlendOverlayImage(f.View(), {1, 1, img.Stride(), img.Bits()}, 0, 0, k.alpha, k.style);
        EXPECT_EQ(PixelAt(f.View(), 0, 0)[0], k.want) << k.frame << " " << k.image << " " << k.alpha << " " << k.style;
    }
}

// ---- DecorateFrame's no-op guarantees ----

TEST(DecorateFrame, NeutralSettingsLeaveTheFrameByteForByte) {
    PictureSettings unity;
    unity.Brightness = 256;
    unity.Saturation = 256;
    PictureSettings emptyWatermarks;
    emptyWatermarks.ImageAlpha = 0;
    emptyWatermarks.ImageBlendStyle = 2;
    emptyWatermarks.TextX = 5;
    for (const PictureSettings& s : {PictureSettings{}, unity, emptyWatermarks}) {
        TBitmap24 f = RandomFrame(31, 7, 5);
        const std::vector<uint8_t> before = Bytes(f);
        EXPECT_TRUE(DecorateFrame(f.View(), s).Ok());
        TPictureDecorator decorator;
        EXPECT_TRUE(decorator.Decorate(f.View(), s).Ok());
        EXPECT_EQ(Bytes(f), before);
    }
    EXPECT_FALSE(PictureSettings{}.NeedsDecoration());
    EXPECT_TRUE(unity.NeedsDecoration());
}

TEST(DecorateFrame, NeedsDecorationForEachNonNeutralField) {
    const std::vector<void (*)(PictureSettings&)> changes = {
        [](PictureSettings& s) { s.Brightness = 256; }, [](PictureSettings& s) { s.Contrast = -1; },
        [](PictureSettings& s) { s.Saturation = 0; },   [](PictureSettings& s) { s.Exposure = 1; },
        [](PictureSettings& s) { s.WaterText = "x"; },  [](PictureSettings& s) { s.ImageFile = "a.bmp"; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        PictureSettings s;
        changes[i](s);
        EXPECT_TRUE(s.NeedsDecoration()) << i;
    }
}

}  // namespace

namespace {

// This program creates no QGuiApplication: text cannot be drawn, and says so instead of crashing.
TEST(DecorateFrame, TextWithoutFontsIsReportedAndTheRestApplied) {
    TBitmap24 f = RandomFrame(40, 20, 8);
    TBitmap24 expected = f;
    ApplyExposure(expected.View(), 100.0f);
    PictureSettings s;
    s.Exposure = 100;
    s.WaterText = "text";
    const TDecorateResult r = DecorateFrame(f.View(), s);
    EXPECT_NE(r.errorText.find("watermark text"), std::string::npos) << r.errorText;
    EXPECT_EQ(Bytes(f), Bytes(expected));
}

}  // namespace
