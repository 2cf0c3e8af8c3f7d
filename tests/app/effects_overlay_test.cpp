// Watermark text, watermark picture files, the picture cache and the decoration order.
#include <gtest/gtest.h>

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/PictureEffects.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace {

using Px = std::array<int, 3>;

Px PixelAt(const TBitmapView& f, int x, int y) {
    const uint8_t* p = f.Row(y) + x * 3;
    return {p[0], p[1], p[2]};
}

TBitmap24 Uniform(int w, int h, Px bgr) {
    TBitmap24 f(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) f.View().Row(y)[x * 3 + c] = static_cast<uint8_t>(bgr[c]);
    return f;
}

std::vector<uint8_t> Bytes(const TBitmap24& f) { return {f.Bits(), f.Bits() + f.Stride() * f.Height()}; }

// Saves a solid picture (colour given as red, green, blue) and returns its path.
std::string SavePicture(const std::string& dir, const std::string& name, int w, int h, QColor color,
                        const char* format = "BMP") {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(color);
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(img.save(QString::fromStdString(path), format)) << path;
    return path;
}

// Bounding box of the pixels that differ between two frames of one size; empty when none do.
struct Box {
    int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1;  // inclusive
    bool Empty() const { return right < 0; }
};
Px PixelOf(const TBitmap24& f, int x, int y) {
    const uint8_t* p = f.Bits() + y * f.Stride() + x * 3;
    return {p[0], p[1], p[2]};
}
Box ChangedBox(const TBitmap24& a, const TBitmap24& b) {
    Box box;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            if (PixelOf(a, x, y) != PixelOf(b, x, y)) {
                box.left = std::min(box.left, x);
                box.top = std::min(box.top, y);
                box.right = std::max(box.right, x);
                box.bottom = std::max(box.bottom, y);
            }
    return box;
}

QFont QtFontOf(const TWaterFont& f) {
    QFont q(QString::fromStdString(f.Name));
    q.setPixelSize(WaterFontPixelSize(f.Size));
    q.setBold(f.Bold);
    q.setItalic(f.Italic);
    return q;
}

// ---- text ----

TEST(OverlayText, PointSizesAtScreenResolution) {
    const std::vector<std::pair<int, int>> cases = {{8, 11}, {7, 9}, {12, 16}, {70, 93}, {0, 11}, {-4, 11}, {INT_MAX, 1333}};
    for (auto [points, pixels] : cases) EXPECT_EQ(WaterFontPixelSize(points), pixels) << points;
}

TEST(OverlayText, ChangesPixelsNearItsPositionOnly) {
    struct Case {
        const char* what;
        int x, y;
        bool drawsSomething;
    };
    const int w = 160, h = 90;
    const std::vector<Case> cases = {
        {"inside", 40, 30, true},
        {"cut at the right and bottom edges", w - 12, h - 6, true},
        {"above and left of the frame", -10, -6, true},
        {"right of the frame", w + 5, 10, false},
        {"below the frame", 10, h + 1, false},
        {"far away", INT_MAX - 10, INT_MIN + 10, false},
    };
    TWaterFont font;
    font.Name = "DejaVu Sans";
    font.Size = 14;
    font.Color = 0x000000FF;
    const std::string text = "Quillmar";
    const QFontMetrics fm(QtFontOf(font));
    const int64_t textW = fm.horizontalAdvance(QString::fromStdString(text)), textH = fm.height();
    const int margin = 3;
    const TBitmap24 base = Uniform(w, h, {255, 255, 255});
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        TBitmap24 f = base;
        std::string error;
        ASSERT_TRUE(DrawOverlayText(f.View(), text, font, k.x, k.y, &error)) << error;
        const Box box = ChangedBox(base, f);
        EXPECT_EQ(!box.Empty(), k.drawsSomething);
        if (box.Empty()) continue;
        EXPECT_GE(box.left, k.x - margin);
        EXPECT_GE(box.top, k.y - margin);
        EXPECT_LE(box.right, k.x + textW + margin);
        EXPECT_LE(box.bottom, k.y + textH + margin);
    }
    // The glyphs fill a good part of their cell, so the position is the cell's top-left corner.
    TBitmap24 f = base;
    ASSERT_TRUE(DrawOverlayText(f.View(), text, font, 40, 30));
    const Box box = ChangedBox(base, f);
    EXPECT_LE(box.left, 40 + 3);
    EXPECT_LE(box.top, 30 + fm.ascent() / 2);
    EXPECT_GE(box.right, 40 + textW * 3 / 4);
}

TEST(OverlayText, ColourIsBgrAndStylesShow) {
    struct Case {
        uint32_t color;  // 0x00BBGGRR
        int strongByte;  // the frame byte (blue, green, red) that stays high in the ink
    };
    const std::vector<Case> colours = {{0x000000FF, 2}, {0x0000FF00, 1}, {0x00FF0000, 0}};
    const TBitmap24 black = Uniform(120, 40, {0, 0, 0});
    for (const Case& k : colours) {
        TBitmap24 f = black;
        TWaterFont font;
        font.Size = 20;
        font.Bold = true;
        font.Color = k.color;
        ASSERT_TRUE(DrawOverlayText(f.View(), "HH", font, 4, 4));
        // The brightest ink pixel is the pure colour.
        Px best{};
        for (int y = 0; y < f.Height(); ++y)
            for (int x = 0; x < f.Width(); ++x) {
                const Px p = PixelAt(f.View(), x, y);
                if (p[k.strongByte] > best[k.strongByte]) best = p;
            }
        SCOPED_TRACE(k.color);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(best[c], c == k.strongByte ? 255 : 0);
    }

    // Every style draws something other than the plain text, and a larger size a taller text.
    auto draw = [&](TWaterFont font) {
        TBitmap24 f = Uniform(200, 60, {255, 255, 255});
        EXPECT_TRUE(DrawOverlayText(f.View(), "Style", font, 5, 5));
        return f;
    };
    const TBitmap24 plain = draw(TWaterFont{"DejaVu Sans", 12});
    const std::vector<TWaterFont> styled = {
        {"DejaVu Sans", 12, 0, true}, {"DejaVu Sans", 12, 0, false, true},
        {"DejaVu Sans", 12, 0, false, false, true}, {"DejaVu Sans", 12, 0, false, false, false, true}};
    for (size_t i = 0; i < styled.size(); ++i) EXPECT_NE(Bytes(draw(styled[i])), Bytes(plain)) << "style " << i;
    TBitmap24 big = draw(TWaterFont{"DejaVu Sans", 24});
    TBitmap24 blank = Uniform(200, 60, {255, 255, 255});
    TBitmap24 small = draw(TWaterFont{"DejaVu Sans", 12});
    const Box bigBox = ChangedBox(blank, big), smallBox = ChangedBox(blank, small);
    EXPECT_GT(bigBox.bottom - bigBox.top, (smallBox.bottom - smallBox.top) * 3 / 2);
}

TEST(OverlayText, BottomUpFrameGetsUprightText) {
    TBitmap24 topDown = Uniform(90, 30, {200, 180, 160});
    TBitmap24 storage = topDown;
    TBitmapView bottomUp{storage.Width(), storage.Height(), -storage.Stride(), storage.View().Row(storage.Height() - 1)};
    TWaterFont font;
    font.Size = 12;
    ASSERT_TRUE(DrawOverlayText(topDown.View(), "Up", font, 10, 6));
    ASSERT_TRUE(DrawOverlayText(bottomUp, "Up", font, 10, 6));
    ASSERT_NE(Bytes(topDown), Bytes(Uniform(90, 30, {200, 180, 160})));
    for (int y = 0; y < topDown.Height(); ++y)
        for (int x = 0; x < topDown.Width(); ++x)
            ASSERT_EQ(PixelAt(bottomUp, x, y), PixelAt(topDown.View(), x, y)) << x << "," << y;
}

TEST(OverlayText, WorkerThreadsDrawWhatTheMainThreadDraws) {
    // The conversion decorates on its worker thread and the player on its video thread.
    PictureSettings s;
    s.WaterText = "Threads 123";
    s.WaterFont.Size = 15;
    s.WaterFont.Italic = true;
    s.WaterFont.Color = 0x00336699;
    s.TextX = 7;
    s.TextY = 5;
    const TBitmap24 base = Uniform(140, 36, {30, 60, 90});
    TBitmap24 mainResult = base;
    ASSERT_TRUE(DecorateFrame(mainResult.View(), s).Ok());
    ASSERT_NE(Bytes(mainResult), Bytes(base));
    std::vector<TBitmap24> results(3, base);
    std::vector<std::thread> workers;
    for (TBitmap24& r : results)
        workers.emplace_back([&s, &r] {
            TPictureDecorator decorator;
            for (int frame = 0; frame < 20; ++frame) {
                TBitmap24 f = Uniform(140, 36, {30, 60, 90});
                decorator.Decorate(f.View(), s);
                if (frame == 19) r = f;
            }
        });
    for (std::thread& t : workers) t.join();
    for (const TBitmap24& r : results) EXPECT_EQ(Bytes(r), Bytes(mainResult));
}

// ---- picture files ----

TEST(OverlayImage, LoadsBmpPngJpegAs24BitBgr) {
    const std::string dir = testmedia::TempDir();
    struct Case {
        const char* format;
        int tolerance;
    };
    for (const Case& k : {Case{"BMP", 0}, Case{"PNG", 0}, Case{"JPG", 12}}) {
        SCOPED_TRACE(k.format);
        // Saved under a misleading name: the content decides.
        const std::string path = SavePicture(dir, std::string("pic_") + k.format + ".dat", 16, 8, QColor(250, 20, 5), k.format);
        std::string error;
        const std::shared_ptr<const QImage> img = LoadOverlayImage(path, &error);
        ASSERT_TRUE(img) << error;
        EXPECT_EQ(img->format(), QImage::Format_BGR888);
        EXPECT_EQ(img->size(), QSize(16, 8));
        const TConstBitmapView v = ImageView(*img);
        const Px want = {5, 20, 250};
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(v.Row(4)[9 * 3 + c], want[c], k.tolerance);
    }
    // A picture with an alpha channel keeps its colours.
    QImage argb(4, 4, QImage::Format_ARGB32);
    argb.fill(QColor(0, 0, 255, 40));
    ASSERT_TRUE(argb.save(QString::fromStdString(dir + "/alpha.png")));
    const std::shared_ptr<const QImage> img = LoadOverlayImage(dir + "/alpha.png", nullptr);
    ASSERT_TRUE(img);
    EXPECT_EQ(ImageView(*img).Row(0)[0], 255);
}

TEST(OverlayImage, WhiteImageInStyle2LeavesTheFrame) {
    const std::string path = SavePicture(testmedia::TempDir(), "white.bmp", 50, 40, Qt::white);
    for (int alpha : {0, 168, 255}) {
        TBitmap24 f = Uniform(64, 48, {13, 130, 250});
        for (int i = 0; i < f.Stride() * f.Height(); ++i) f.Bits()[i] = static_cast<uint8_t>(i * 7);
        const std::vector<uint8_t> before = Bytes(f);
        PictureSettings s;
        s.ImageFile = path;
        s.ImageX = 30;
        s.ImageY = 11;
        s.ImageBlendStyle = 2;
        s.ImageAlpha = alpha;
        EXPECT_TRUE(DecorateFrame(f.View(), s).Ok());
        EXPECT_EQ(Bytes(f), before) << alpha;
    }
}

TEST(OverlayImage, FailureNamesTheFileAndTheRestIsStillApplied) {
    const std::string dir = testmedia::TempDir();
    {
        std::ofstream(dir + "/noise.bmp", std::ios::binary) << std::string("BM\x10\x00garbage that is no picture", 30);
        std::ofstream(dir + "/empty.png");
        fs::create_directory(dir + "/folder.bmp");
    }
    for (const std::string& path : {dir + "/missing.bmp", dir + "/noise.bmp", dir + "/empty.png", dir + "/folder.bmp",
                                   dir + "/no/such/dir/x.bmp"}) {
        SCOPED_TRACE(path);
        PictureSettings s;
        s.Saturation = 0;
        s.ImageFile = path;
        TBitmap24 expected = Uniform(20, 10, {10, 100, 200});
        ApplyColorAdjust(expected.View(), 255, 0, 0);

        TBitmap24 f = Uniform(20, 10, {10, 100, 200});
        const TDecorateResult r = DecorateFrame(f.View(), s);
        EXPECT_FALSE(r.Ok());
        EXPECT_NE(r.errorText.find("\"" + path + "\""), std::string::npos) << r.errorText;
        EXPECT_EQ(Bytes(f), Bytes(expected));

        // A decorator reports it on every frame, not only the first.
        TPictureDecorator decorator;
        for (int frame = 0; frame < 2; ++frame) {
            TBitmap24 g = Uniform(20, 10, {10, 100, 200});
            EXPECT_EQ(decorator.Decorate(g.View(), s).errorText, r.errorText);
            EXPECT_EQ(Bytes(g), Bytes(expected));
        }
    }
}

TEST(OverlayImage, CacheRereadsOnlyAChangedFile) {
    const std::string dir = testmedia::TempDir();
    const std::string path = SavePicture(dir, "mark.bmp", 10, 10, Qt::red);
    const fs::file_time_type stamp = fs::last_write_time(path);
    TOverlayImageCache cache;
    auto firstByte = [&](int* width = nullptr) {
        std::string error;
        const std::shared_ptr<const QImage> img = cache.Get(path, &error);
        if (!img) return -1;
        if (width) *width = img->width();
        return static_cast<int>(ImageView(*img).Row(0)[0]);  // blue byte
    };
    EXPECT_EQ(firstByte(), 0);

    // Same size, same time: the kept picture is used, the file is not decoded again.
    SavePicture(dir, "mark.bmp", 10, 10, Qt::blue);
    fs::last_write_time(path, stamp);
    EXPECT_EQ(firstByte(), 0);
    // A newer time shows the new content.
    fs::last_write_time(path, stamp + std::chrono::seconds(5));
    EXPECT_EQ(firstByte(), 255);
    // A new size shows it too, even with the time put back.
    SavePicture(dir, "mark.bmp", 12, 10, Qt::red);
    fs::last_write_time(path, stamp + std::chrono::seconds(5));
    int width = 0;
    EXPECT_EQ(firstByte(&width), 0);
    EXPECT_EQ(width, 12);
    // A removed file is an error; once back, it loads again.
    fs::remove(path);
    std::string error;
    EXPECT_FALSE(cache.Get(path, &error));
    EXPECT_NE(error.find(path), std::string::npos);
    SavePicture(dir, "mark.bmp", 10, 10, Qt::blue);
    EXPECT_EQ(firstByte(), 255);
    // Another path is another picture.
    const std::string other = SavePicture(dir, "other.bmp", 3, 3, Qt::black);
    const std::shared_ptr<const QImage> img = cache.Get(other, nullptr);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->size(), QSize(3, 3));
}

// ---- decoration order ----

TEST(DecorateFrame, OrderFollowsTheProcessFlags) {
    const std::string dir = testmedia::TempDir();
    const std::string imagePath = SavePicture(dir, "orange.bmp", 40, 24, QColor(255, 160, 0));
    const TBitmap24 base = Uniform(96, 48, {200, 140, 90});
    PictureSettings s;
    s.Brightness = 280;
    s.Saturation = 0;
    s.Exposure = 40;
    s.WaterText = "WWW";
    s.WaterFont.Name = "DejaVu Sans";
    s.WaterFont.Size = 16;
    s.WaterFont.Bold = true;
    s.WaterFont.Color = 0x000000FF;
    s.TextX = 10;
    s.TextY = 8;
    s.ImageFile = imagePath;
    s.ImageX = 24;
    s.ImageY = 12;
    s.ImageAlpha = 200;

    std::string error;
    const std::shared_ptr<const QImage> image = LoadOverlayImage(imagePath, &error);
    ASSERT_TRUE(image) << error;
    enum Step { A, T, I };
    auto compose = [&](std::array<Step, 3> order) {
        TBitmap24 f = base;
        for (Step step : order) {
            if (step == A) {
                ApplyColorAdjust(f.View(), s.Brightness, s.Contrast, s.Saturation);
                ApplyExposure(f.View(), static_cast<float>(s.Exposure));
            } else if (step == T) {
                EXPECT_TRUE(DrawOverlayText(f.View(), s.WaterText, s.WaterFont, s.TextX, s.TextY));
            } else {
                BlendOverlayImage(f.View(), ImageView(*image), s.ImageX, s.ImageY, s.ImageAlpha, s.ImageBlendStyle);
            }
        }
        return Bytes(f);
    };
    struct Case {
        bool processText, processImage;
        std::array<Step, 3> order;
    };
    const std::vector<Case> cases = {
        {false, false, {A, T, I}}, {true, false, {T, A, I}}, {false, true, {I, A, T}}, {true, true, {T, I, A}}};
    std::vector<std::vector<uint8_t>> results;
    TPictureDecorator decorator;  // one decorator for the whole sequence, as a conversion keeps it
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.processText << k.processImage);
        PictureSettings ks = s;
        ks.ProcessText = k.processText;
        ks.ProcessImage = k.processImage;
        const std::vector<uint8_t> want = compose(k.order);
        TBitmap24 f = base;
        EXPECT_TRUE(DecorateFrame(f.View(), ks).Ok());
        EXPECT_EQ(Bytes(f), want);
        TBitmap24 g = base;
        EXPECT_TRUE(decorator.Decorate(g.View(), ks).Ok());
        EXPECT_EQ(Bytes(g), want);
        results.push_back(want);
    }
    // The fixture tells the four orders apart.
    for (size_t i = 0; i < results.size(); ++i)
        for (size_t j = i + 1; j < results.size(); ++j) EXPECT_NE(results[i], results[j]) << i << " " << j;

    // A changed setting shows on the decorator's next frame.
    PictureSettings brighter = s;
    brighter.Brightness = 400;
    TBitmap24 want = base, got = base;
    DecorateFrame(want.View(), brighter);
    decorator.Decorate(got.View(), brighter);
    EXPECT_EQ(Bytes(got), Bytes(want));
}

TEST(DecorateFrame, ProcessedRedTextTurnsGreyWhileTheImageKeepsItsColour) {
    const std::string imagePath = SavePicture(testmedia::TempDir(), "green.bmp", 20, 20, QColor(0, 200, 40));
    PictureSettings s;
    s.Saturation = 0;
    s.ProcessText = true;
    s.WaterText = "MM";
    s.WaterFont.Size = 18;
    s.WaterFont.Color = 0x000000FF;
    s.TextX = 2;
    s.TextY = 2;
    s.ImageFile = imagePath;
    s.ImageX = 60;
    s.ImageY = 4;
    s.ImageAlpha = 255;
    const TBitmap24 base = Uniform(100, 40, {240, 240, 240});
    TBitmap24 f = base;
    ASSERT_TRUE(DecorateFrame(f.View(), s).Ok());
    int ink = 0, coloured = 0;
    for (int y = 0; y < f.Height(); ++y)
        for (int x = 0; x < f.Width(); ++x) {
            const Px p = PixelAt(f.View(), x, y);
            const bool inImage = x >= 60 && x < 80 && y >= 4 && y < 24;
            if (inImage) {
                coloured += p[1] > p[0] + 100 && p[1] > p[2] + 100;
            } else {
                ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
                ink += p[0] < 200;
            }
        }
    EXPECT_GT(ink, 20);
    EXPECT_EQ(coloured, 400);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // fonts need it
    return RUN_ALL_TESTS();
}
