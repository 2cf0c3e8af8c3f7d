// The video frame path in whole conversions: the custom hook (marker, update, stop, exceptions,
// odd sizes), previews, the "vf" chain, frame-hook plug-ins and deinterlacing.
#include <gtest/gtest.h>

#include "engine/plugins/test_vhook_state.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/CustomFFmpeg.h"
#include "engine/FrameHook.h"
#include "engine/Previewer.h"
#include "engine/transcode_support.h"

using namespace transcodetest;

namespace {

const std::string& Dir() {
    static const std::string dir = testmedia::TempDir();
    return dir;
}

// Lossless sources and outputs so that the decoded pictures can be compared exactly.
const std::string& Source() {  // 64x48 smooth pattern, 10 frames
    static const std::string path =
        MakeMedia(Dir(), "vp_src.mkv", "-f lavfi -i testsrc2=size=64x48:rate=25:duration=0.4 -c:v ffv1 -pix_fmt yuv420p");
    return path;
}
const std::string& OddSource() {  // 175x97
    static const std::string path =
        MakeMedia(Dir(), "vp_odd.mkv", "-f lavfi -i testsrc=size=175x97:rate=25:duration=0.4 -c:v ffv1 -pix_fmt yuv420p");
    return path;
}

// Every picture of the first video stream as raw bytes of `pixFmt`.
std::string Decode(const std::string& path, const std::string& pixFmt) {
    std::string out;
    testmedia::Run("ffmpeg -nostdin -v error -i " + testmedia::Quote(path) + " -map 0:v:0 -f rawvideo -pix_fmt " +
                       pixFmt + " -",
                   &out);
    return out;
}

std::string Out(const std::string& name) { return Dir() + "/" + name; }

struct THookCall {
    int frameNumber;
    int64_t pts;
    int width, height;
};

// Paints a white 4x4 block at (8, 8) of the bitmap.
void DrawMarker(const TBitmapView& b) {
    for (int y = 8; y < 12; ++y) std::memset(b.Row(y) + 8 * 3, 255, 4 * 3);
}

// Frame f's RGB pixel at (x, y) of a decoded rgb24 byte string.
const uint8_t* Pixel(const std::string& rgb, int w, int h, int f, int x, int y) {
    return reinterpret_cast<const uint8_t*>(rgb.data()) + (static_cast<size_t>(f) * w * h + y * w + x) * 3;
}
bool MarkerAt(const std::string& rgb, int w, int h, int f) {
    const uint8_t* p = Pixel(rgb, w, h, f, 9, 9);
    return p[0] > 230 && p[1] > 230 && p[2] > 230;
}

TEST(VideoPathHook, DrawsIntoTheOutputOnlyWithUpdateAndStopsWhenAsked) {
    ASSERT_FALSE(Source().empty());
    const std::string plain = Out("hook_plain.mkv");
    TRunResult ref = RunTask({"-y", "-i", Source(), "-vcodec", "ffv1", plain});
    ASSERT_TRUE(ref.finished) << ref.error;
    const std::string reference = Decode(plain, "rgb24");
    const int frames = static_cast<int>(reference.size() / (64 * 48 * 3));
    ASSERT_EQ(frames, 10);
    ASSERT_FALSE(MarkerAt(reference, 64, 48, 0));

    struct TCase {
        const char* name;
        bool update;
        int stopAt;     // the call that sets stop hook (0: never)
        int throwAt;    // the call that throws (0: never)
    };
    for (const TCase c : {TCase{"update", true, 0, 0}, TCase{"no update", false, 0, 0}, TCase{"stop", true, 3, 0},
                          TCase{"throws", true, 0, 2}}) {
        SCOPED_TRACE(c.name);
        std::vector<THookCall> calls;
        const std::string out = Out(std::string("hook_") + (c.update ? "u" : "n") + std::to_string(c.stopAt) +
                                    std::to_string(c.throwAt) + ".mkv");
        TRunResult r = RunTask({"-y", "-i", Source(), "-vcodec", "ffv1", out}, [&](TCustomFFmpeg& task) {
            task.VideoPreprocessor().SetCustomHook([&](TFFBaseComponent*, const TBitmapView& b, int n, int64_t pts,
                                                       bool& update, bool& stop) {
                calls.push_back({n, pts, b.width, b.height});
                EXPECT_TRUE(update);
                EXPECT_FALSE(stop);
                DrawMarker(b);
                update = c.update;
                if (static_cast<int>(calls.size()) == c.stopAt) stop = true;
                if (static_cast<int>(calls.size()) == c.throwAt) throw std::runtime_error("marker pen dried up");
            });
        });
        ASSERT_TRUE(r.finished) << r.error;
        ASSERT_EQ(calls.size(), static_cast<size_t>(c.stopAt ? c.stopAt : frames));
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].frameNumber, static_cast<int>(i) + 1);
            EXPECT_EQ(calls[i].width, 64);
            EXPECT_EQ(calls[i].height, 48);
            if (i) {
                EXPECT_EQ(calls[i].pts - calls[i - 1].pts, 40000);
            }
        }
        const std::string rgb = Decode(out, "rgb24");
        ASSERT_EQ(rgb.size(), reference.size());
        for (int f = 0; f < frames; ++f) {
            const bool hooked = f < static_cast<int>(calls.size());
            const bool expectMarker = c.update && hooked && f + 1 != c.throwAt;
            EXPECT_EQ(MarkerAt(rgb, 64, 48, f), expectMarker) << "frame " << f;
            if (!expectMarker) {  // left exactly as decoded
                EXPECT_EQ(0, std::memcmp(Pixel(rgb, 64, 48, f, 0, 0), Pixel(reference, 64, 48, f, 0, 0), 64 * 48 * 3))
                    << "frame " << f;
            }
        }
        EXPECT_EQ(r.Logged("Error occurs OnCustomHook: marker pen dried up"), c.throwAt != 0);
    }
}

TEST(VideoPathHook, OddSizedPicturesRoundTripWithoutShifting) {
    ASSERT_FALSE(OddSource().empty());
    const std::string plain = Out("odd_plain.mkv"), hooked = Out("odd_hooked.mkv");
    ASSERT_TRUE(RunTask({"-y", "-i", OddSource(), "-vcodec", "ffv1", plain}).finished);
    int calls = 0;
    TRunResult r = RunTask({"-y", "-i", OddSource(), "-vcodec", "ffv1", hooked}, [&](TCustomFFmpeg& task) {
        task.VideoPreprocessor().SetCustomHook([&](TFFBaseComponent*, const TBitmapView& b, int, int64_t, bool&, bool&) {
            EXPECT_EQ(b.width, 175);
            EXPECT_EQ(b.height, 97);
            ++calls;
        });
    });
    ASSERT_TRUE(r.finished) << r.error;
    EXPECT_EQ(calls, 10);
    // Planes compared one by one: a shift or torn rows would show as large differences.
    const std::string a = Decode(plain, "yuv444p"), b = Decode(hooked, "yuv444p");
    ASSERT_EQ(a.size(), b.size());
    ASSERT_EQ(a.size(), 175u * 97u * 3u * 10u);
    double sum = 0;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int d = std::abs(static_cast<int>(static_cast<uint8_t>(a[i])) - static_cast<uint8_t>(b[i]));
        sum += d;
        worst = std::max(worst, d);
    }
    EXPECT_LT(sum / static_cast<double>(a.size()), 4.0);  // rounding only; shifted planes differ far more
    // The last column and row are there too (not black or smeared): compare the corner pixel.
    for (int f = 0; f < 10; ++f)
        for (int plane = 0; plane < 3; ++plane) {
            const size_t at = (static_cast<size_t>(f) * 3 + plane) * 175 * 97 + 96 * 175 + 174;
            EXPECT_LE(std::abs(static_cast<uint8_t>(a[at]) - static_cast<uint8_t>(b[at])), 24) << f << "/" << plane;
        }
}

struct TFilterCase {
    std::vector<std::string> options;
    int width, height;
};

TEST(VideoPathFilters, ChainsGiveTheExpectedSize) {
    ASSERT_FALSE(Source().empty());
    const std::vector<TFilterCase> cases = {
        {{"-vf", "crop=32:24:8:8"}, 32, 24},
        {{"-vf", "scale=320:180,pad=320:240:0:30"}, 320, 240},
        {{"-s", "32x24", "-vf", "pad=48:40:8:8"}, 48, 40},      // encoder size first, then the chain
        {{"-cropleft", "16", "-vf", "null"}, 48, 48},             // crop bands before the chain
        {{"-vf", "transpose=1"}, 48, 64},
    };
    int n = 0;
    for (const TFilterCase& c : cases) {
        std::vector<std::string> args = {"-y", "-i", Source()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const std::string out = Out("vf" + std::to_string(n++) + ".mkv");
        args.insert(args.end(), {"-vcodec", "ffv1", out});
        TRunResult r = RunTask(args);
        ASSERT_TRUE(r.finished) << c.options.back() << ": " << r.error;
        const TFileFacts facts = Probe(out);
        const TStreamFacts* v = facts.Stream("video");
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->width, c.width) << c.options.back();
        EXPECT_EQ(v->height, c.height) << c.options.back();
        EXPECT_EQ(v->packets, 10) << c.options.back();
    }
}

TEST(VideoPathFilters, UnparsableChainsFailTheSetUp) {
    ASSERT_FALSE(Source().empty());
    for (const char* chain : {"scale=", "nosuchfilter", "split=2", "scale=32:24 pad"}) {
        TRunResult r = RunTask({"-y", "-i", Source(), "-vf", chain, "-vcodec", "ffv1", Out("vfbad.mkv")});
        EXPECT_FALSE(r.finished) << chain;
        EXPECT_EQ(r.error.rfind("Error opening filters: ", 0), 0u) << chain << ": " << r.error;
    }
}

TEST(VideoPathFilters, LetterboxBarsAreBlack) {
    const std::string white = MakeMedia(Dir(), "vp_white.mkv", "-f lavfi -i color=white:size=640x360:rate=25:duration=0.2 -c:v ffv1");
    ASSERT_FALSE(white.empty());
    const std::string out = Out("letterbox.mkv");
    TRunResult r = RunTask({"-y", "-i", white, "-vf", "scale=320:180,pad=320:240:0:30", "-vcodec", "ffv1", out});
    ASSERT_TRUE(r.finished) << r.error;
    const std::string gray = Decode(out, "gray");
    ASSERT_GE(gray.size(), 320u * 240u);
    auto rowMean = [&](int y) {
        double s = 0;
        for (int x = 0; x < 320; ++x) s += static_cast<uint8_t>(gray[y * 320 + x]);
        return s / 320;
    };
    for (int y : {0, 15, 29, 210, 225, 239}) EXPECT_LT(rowMean(y), 20) << "row " << y;
    for (int y : {31, 120, 208}) EXPECT_GT(rowMean(y), 230) << "row " << y;
}

TEST(VideoPathPreviews, BitmapsComeAtMostEvery100msWithTheEncoderPicture) {
    const std::string src = MakeMedia(Dir(), "vp_long.mkv", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1.2 -c:v ffv1");
    ASSERT_FALSE(src.empty());
    std::vector<std::chrono::steady_clock::time_point> times;
    std::vector<int> numbers;
    TRunResult r = RunTask({"-y", "-re", "-i", src, "-s", "96x64", "-vcodec", "ffv1", Out("preview.mkv")},
                           [&](TCustomFFmpeg& task) {
                               task.VideoPreviews().SetBitmapHandler(
                                   [&](TFFBaseComponent*, const TBitmapView& b, int frameNumber, int64_t) {
                                       times.push_back(std::chrono::steady_clock::now());
                                       numbers.push_back(frameNumber);
                                       EXPECT_EQ(b.width, 96);
                                       EXPECT_EQ(b.height, 64);
                                   });
                               task.VideoPreviews().SetFlags(pfPreviewBitmap);
                           });
    ASSERT_TRUE(r.finished) << r.error;
    // 30 pictures over about 1.2 s of real time: several previews, never two within 100 ms.
    ASSERT_GE(times.size(), 3u);
    EXPECT_LT(times.size(), 30u);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(95)) << i;
        EXPECT_GT(numbers[i], numbers[i - 1]);
    }
}

// A preview window that takes `accept` frames and then refuses (its window was closed).
class TClosingPreviewer : public TPreviewer {
public:
    TClosingPreviewer(int accept, int& shown, int& made) : accept_(accept), shown_(shown) { ++made; }
    bool ShowFrame(const TBitmapView& b, int, int64_t) override {
        EXPECT_EQ(b.width, 64);
        return ++shown_ <= accept_;
    }

private:
    int accept_;
    int& shown_;
};

TEST(VideoPathPreviews, ARefusingWindowSwitchesThePreviewOff) {
    ASSERT_FALSE(Source().empty());
    int shown = 0, made = 0;
    TCustomFFmpeg* seen = nullptr;
    TRunResult r = RunTask({"-y", "-i", Source(), "-vcodec", "ffv1", Out("preview_win.mkv")}, [&](TCustomFFmpeg& task) {
        seen = &task;
        task.VideoPreviews().SetInterval(0);  // every picture
        task.VideoPreviews().SetPreviewerFactory([&] { return std::make_unique<TClosingPreviewer>(3, shown, made); });
        task.VideoPreviews().SetFlags(pfPreview);
        task.SetOnProgress([&](TFFBaseComponent*, int, int, int, float, float, int64_t, int64_t, int64_t) {
            if (seen) {
                EXPECT_EQ(seen->VideoPreviews().Flags() & pfPreview, shown > 3 ? 0 : pfPreview);
            }
        });
    });
    ASSERT_TRUE(r.finished) << r.error;
    EXPECT_EQ(made, 1);
    EXPECT_EQ(shown, 4);  // three taken, the fourth refused, none after
}

std::string Plugin(const std::string& name) { return std::string(QUILLMAR_TEST_PLUGIN_DIR) + "/lib" + name + ".so"; }

TEST(VideoPathPlugins, EveryPictureGoesThroughTheLoadedHook) {
    ASSERT_FALSE(Source().empty());
    const std::string plain = Out("vhook_plain.mkv"), hooked = Out("vhook_inverted.mkv");
    ASSERT_TRUE(RunTask({"-y", "-i", Source(), "-vcodec", "ffv1", plain}).finished);
    TRunResult r = RunTask({"-y", "-i", Source(), "-vhook", Plugin("test_vhook"), "-vcodec", "ffv1", hooked});
    ASSERT_TRUE(r.finished) << r.error;
    void* h = dlopen(Plugin("test_vhook").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    const auto* state = static_cast<const TestHookState*>(dlsym(h, "TestHookState"));
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->processes, 10);
    EXPECT_EQ(state->last_width, 64);
    EXPECT_EQ(state->last_pts, 9 * 40000);
    dlclose(h);
    // The plug-in inverts the luma plane of every picture; the chroma planes stay.
    const std::string a = Decode(plain, "yuv420p"), b = Decode(hooked, "yuv420p");
    constexpr size_t kLuma = 64 * 48, kFrame = kLuma * 3 / 2;
    ASSERT_EQ(a.size(), kFrame * 10);
    ASSERT_EQ(a.size(), b.size());
    for (size_t f = 0; f < 10; ++f) {
        for (size_t i = 0; i < kLuma; i += 7)
            ASSERT_EQ(static_cast<uint8_t>(b[f * kFrame + i]), 255 - static_cast<uint8_t>(a[f * kFrame + i]))
                << "frame " << f << " byte " << i;
        EXPECT_EQ(0, a.compare(f * kFrame + kLuma, kFrame - kLuma, b, f * kFrame + kLuma, kFrame - kLuma)) << f;
    }
}

TEST(VideoPathDeinterlace, CombedPicturesAreSmoothedInPlace) {
    // Alternate lines that swap from picture to picture: an interlaced source in motion.
    const std::string combed = MakeMedia(
        Dir(), "vp_combed.mkv",
        "-f lavfi -i nullsrc=size=64x48:rate=25:duration=0.4,format=gray,geq=lum='if(mod(Y+N\\,2)\\,220\\,30)' "
        "-c:v ffv1 -pix_fmt yuv420p");
    ASSERT_FALSE(combed.empty());
    const std::string out = Out("deinterlaced.mkv");
    int calls = 0;
    TRunResult r = RunTask({"-y", "-i", combed, "-deinterlace", "", "-vcodec", "ffv1", out}, [&](TCustomFFmpeg& task) {
        // The hook sees the deinterlaced picture.
        task.VideoPreprocessor().SetCustomHook([&](TFFBaseComponent*, const TBitmapView& b, int n, int64_t, bool&, bool&) {
            ++calls;
            if (n > 1) {
                EXPECT_LT(std::abs(b.Row(20)[30] - b.Row(21)[30]), 100) << "picture " << n;
            }
        });
    });
    ASSERT_TRUE(r.finished) << r.error;
    EXPECT_FALSE(r.Logged("Deinterlacing failed."));
    EXPECT_EQ(calls, 10);
    const std::string gray = Decode(out, "gray");
    ASSERT_EQ(gray.size(), 64u * 48u * 10u);
    for (int f : {1, 9}) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(gray.data()) + f * 64 * 48;
        EXPECT_LT(std::abs(p[20 * 64 + 30] - p[21 * 64 + 30]), 100) << "frame " << f;
    }
}

}  // namespace
