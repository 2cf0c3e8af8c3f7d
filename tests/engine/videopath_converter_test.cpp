// The RGB frame converter on its own: when it converts, that a picture survives the round trip
// into the bitmap and back without shifting, and that its work buffer only grows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/AVPtr.h"
#include "engine/RgbFrameConverter.h"

extern "C" {
#include <libavutil/common.h>
#include <libavutil/pixdesc.h>
}

namespace {

// A smooth picture (ramps, no sharp edges) so that a bicubic round trip stays close.
av::FramePtr MakePicture(AVPixelFormat format, int width, int height) {
    av::FramePtr f = av::MakeFrame();
    f->format = format;
    f->width = width;
    f->height = height;
    EXPECT_GE(av_frame_get_buffer(f.get(), 0), 0);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    if (format == AV_PIX_FMT_BGR24) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                uint8_t* p = f->data[0] + y * f->linesize[0] + x * 3;
                p[0] = static_cast<uint8_t>(40 + x * 150 / width);
                p[1] = static_cast<uint8_t>(40 + y * 150 / height);
                p[2] = static_cast<uint8_t>(100 + (x + y) * 50 / (width + height));
            }
        return f;
    }
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? AV_CEIL_RSHIFT(width, d->log2_chroma_w) : width;
        const int h = plane ? AV_CEIL_RSHIFT(height, d->log2_chroma_h) : height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                f->data[plane][y * f->linesize[plane] + x] =
                    static_cast<uint8_t>(plane ? 110 + (plane == 1 ? x * 40 / w : y * 40 / h) : 30 + (x * 120 / w) + (y * 60 / h));
    }
    return f;
}

int MaxPlaneDifference(const AVFrame* a, const AVFrame* b) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(a->format));
    int worst = 0;
    const int planes = a->format == AV_PIX_FMT_BGR24 ? 1 : 3;
    for (int plane = 0; plane < planes; ++plane) {
        const int w = a->format == AV_PIX_FMT_BGR24 ? a->width * 3
                      : plane ? AV_CEIL_RSHIFT(a->width, d->log2_chroma_w) : a->width;
        const int h = plane ? AV_CEIL_RSHIFT(a->height, d->log2_chroma_h) : a->height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                worst = std::max(worst, std::abs(a->data[plane][y * a->linesize[plane] + x] -
                                                 b->data[plane][y * b->linesize[plane] + x]));
    }
    return worst;
}

struct TCase {
    AVPixelFormat format;
    int width, height;
    int linesizeAlign;  // 0: the library's
    bool converted;
};
// Names the case in test listings (instead of a byte dump).
void PrintTo(const TCase& c, std::ostream* os) {
    *os << av_get_pix_fmt_name(c.format) << " " << c.width << "x" << c.height << " align " << c.linesizeAlign;
}

class ConverterRoundTrip : public ::testing::TestWithParam<TCase> {};

TEST_P(ConverterRoundTrip, ConvertsOnlyWhenNeededAndKeepsThePicture) {
    const TCase c = GetParam();
    av::FramePtr picture = MakePicture(c.format, c.width, c.height);
    if (c.linesizeAlign) {
        // A BGR24 picture with rows of exactly the bitmap's length.
        av::FramePtr tight = av::MakeFrame();
        tight->format = c.format;
        tight->width = c.width;
        tight->height = c.height;
        ASSERT_GE(av_frame_get_buffer(tight.get(), c.linesizeAlign), 0);
        ASSERT_GE(av_frame_copy(tight.get(), picture.get()), 0);
        picture = std::move(tight);
    }
    av::FramePtr original = av::MakeFrame();
    ASSERT_GE(av_frame_ref(original.get(), picture.get()), 0);
    ASSERT_GE(av_frame_make_writable(picture.get()), 0);  // a copy that the round trip writes

    TRgbFrameConverter conv;
    ASSERT_TRUE(conv.ToBitmap(picture->data, picture->linesize, c.format, c.width, c.height));
    EXPECT_EQ(conv.Converted(), c.converted);
    const TBitmapView bmp = conv.View();
    ASSERT_EQ(bmp.width, c.width);
    ASSERT_EQ(bmp.height, c.height);
    EXPECT_EQ(bmp.stride % 4, 0);
    if (c.format == AV_PIX_FMT_BGR24 && !c.converted) {
        // Handed over as it is: the bitmap holds the picture's bytes.
        for (int y : {0, c.height - 1})
            EXPECT_EQ(0, std::memcmp(bmp.Row(y), picture->data[0] + y * picture->linesize[0], c.width * 3));
    }
    // The last column and row exist in the bitmap (odd sizes are not cut down to even).
    const uint8_t* corner = bmp.Row(c.height - 1) + (c.width - 1) * 3;
    EXPECT_GT(corner[0] + corner[1] + corner[2], 0);

    // Back untouched: the planes stay where they were (within the scaler's rounding at chroma edges).
    ASSERT_TRUE(conv.FromBitmap(picture->data, picture->linesize, c.format, c.width, c.height));
    EXPECT_LE(MaxPlaneDifference(picture.get(), original.get()), c.converted ? 24 : 0);

    // A marker drawn at one place comes back at that place, in the first and the last column.
    for (int y = 0; y < c.height; ++y)
        for (int x : {0, c.width - 1}) std::memset(bmp.Row(y) + x * 3, 255, 3);
    ASSERT_TRUE(conv.FromBitmap(picture->data, picture->linesize, c.format, c.width, c.height));
    TRgbFrameConverter check;
    ASSERT_TRUE(check.ToBitmap(picture->data, picture->linesize, c.format, c.width, c.height));
    const TBitmapView again = check.View();
    for (int y : {0, c.height / 2, c.height - 1}) {
        for (int x : {0, c.width - 1}) EXPECT_GT(again.Row(y)[x * 3 + 1], 220) << "marker at " << x << "," << y;
        EXPECT_LT(again.Row(y)[(c.width / 2) * 3 + 1], 220) << "middle of row " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ConverterRoundTrip,
    ::testing::Values(TCase{AV_PIX_FMT_BGR24, 64, 48, 4, false},   // bitmap rows already: no conversion
                      TCase{AV_PIX_FMT_BGR24, 66, 48, 32, true},   // rows padded beyond the bitmap's
                      TCase{AV_PIX_FMT_BGR24, 65, 47, 4, true},    // odd sizes always convert
                      TCase{AV_PIX_FMT_YUV420P, 64, 48, 0, true},
                      TCase{AV_PIX_FMT_YUV420P, 175, 97, 0, true},
                      TCase{AV_PIX_FMT_YUV444P, 175, 97, 0, true}));

TEST(Converter, WorkBufferGrowsOnlyWhenNeeded) {
    TRgbFrameConverter conv;
    av::FramePtr big = MakePicture(AV_PIX_FMT_YUV420P, 320, 240);
    av::FramePtr small = MakePicture(AV_PIX_FMT_YUV420P, 160, 120);
    ASSERT_TRUE(conv.ToBitmap(big->data, big->linesize, AV_PIX_FMT_YUV420P, 320, 240));
    const size_t size = conv.WorkBufferSize();
    EXPECT_GE(size, 320u * 240u * 3u);
    ASSERT_TRUE(conv.ToBitmap(small->data, small->linesize, AV_PIX_FMT_YUV420P, 160, 120));
    EXPECT_EQ(conv.WorkBufferSize(), size);
    EXPECT_EQ(conv.View().width, 160);
    av::FramePtr bigger = MakePicture(AV_PIX_FMT_YUV420P, 640, 480);
    ASSERT_TRUE(conv.ToBitmap(bigger->data, bigger->linesize, AV_PIX_FMT_YUV420P, 640, 480));
    EXPECT_GE(conv.WorkBufferSize(), 640u * 480u * 3u);
}

TEST(Converter, RefusesWhatItCannotConvert) {
    TRgbFrameConverter conv;
    av::FramePtr p = MakePicture(AV_PIX_FMT_YUV420P, 32, 32);
    EXPECT_FALSE(conv.ToBitmap(p->data, p->linesize, AV_PIX_FMT_NONE, 32, 32));
    EXPECT_FALSE(conv.ToBitmap(p->data, p->linesize, AV_PIX_FMT_YUV420P, 0, 32));
    // Back into a picture of another size than the bitmap's: refused, nothing written.
    ASSERT_TRUE(conv.ToBitmap(p->data, p->linesize, AV_PIX_FMT_YUV420P, 32, 32));
    EXPECT_FALSE(conv.FromBitmap(p->data, p->linesize, AV_PIX_FMT_YUV420P, 16, 16));
}

}  // namespace
