// Picture effects and watermarks applied in real conversions: through quillmar-cli convert's job
// options, and through the batch control's hook with the engine's log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/BatchControl.h"
#include "app/GlobalUnit.h"
#include "app/IniStore.h"
#include "app/JobList.h"
#include "app/OutputNames.h"
#include "app/ParameterLists.h"
#include "engine/EngineComponent.h"
#include "engine/FFmpegLogger.h"
#include "engine/MainThread.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;
using testmedia::Quote;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

std::string ShippedSettings() {
    return (fs::path(__FILE__).parent_path().parent_path().parent_path() / "data" / "quillmar.ini").string();
}

// A flat mid-grey 320x240 source of one second with sound, kept losslessly so that only a
// watermark can make a difference.
std::string MakeGreySource(const std::string& dir) {
    const std::string path = dir + "/grey.mp4";
    const int status = testmedia::Run("ffmpeg -v error -y -f lavfi -i color=c=0x606060:size=320x240:rate=25:duration=1 "
                                      "-f lavfi -i sine=duration=1 -c:v libx264 -preset ultrafast -qp 0 "
                                      "-pix_fmt yuv420p -c:a aac " + Quote(path));
    EXPECT_EQ(status, 0) << "ffmpeg could not make " << path;
    return path;
}

// Converts `source` with the default format (MPEG-4 at the source's size) and the job options into a
// fresh folder; returns the one output file, or "" after a test failure.
std::string Convert(const std::string& source, const std::string& options, std::string* log = nullptr) {
    const std::string dir = testmedia::TempDir();
    std::string out;
    const int status = testmedia::Run(Quote(testmedia::CliPath()) + " convert --settings " + Quote(dir + "/s.ini") +
                                          " --output-dir " + Quote(dir + "/out") + " " + options + " " + Quote(source),
                                      &out, true);
    if (log) *log = out;
    EXPECT_EQ(status, 0) << options << "\n" << out;
    const auto files = testmedia::FolderEntries(dir + "/out");
    if (files.size() != 1) {
        ADD_FAILURE() << "expected one output for " << options << "\n" << out;
        return "";
    }
    return dir + "/out/" + files[0];
}

// Every decoded frame of a file as planar 4:2:0 bytes.
std::vector<std::string> DecodedFrames(const std::string& path) {
    std::string raw;
    EXPECT_EQ(testmedia::Run("ffmpeg -v error -i " + Quote(path) + " -f rawvideo -pix_fmt yuv420p -", &raw), 0);
    const size_t frameBytes = kWidth * kHeight * 3 / 2;
    EXPECT_EQ(raw.size() % frameBytes, 0u) << path << " is not " << kWidth << "x" << kHeight;
    std::vector<std::string> frames;
    for (size_t at = 0; at + frameBytes <= raw.size(); at += frameBytes) frames.push_back(raw.substr(at, frameBytes));
    EXPECT_GE(frames.size(), 20u) << path;
    return frames;
}

uint8_t Luma(const std::string& frame, int x, int y) { return static_cast<uint8_t>(frame[y * kWidth + x]); }

TEST(ConvertWithEffects, SaturationZeroGivesGreyFrames) {
    const std::string source = testmedia::Fixture("short.mp4");
    const auto colourful = DecodedFrames(Convert(source, ""));
    const auto grey = DecodedFrames(Convert(source, "--saturation 0"));
    ASSERT_FALSE(grey.empty());
    const size_t lumaBytes = kWidth * kHeight;
    int farthest = 0;
    for (const std::string& f : grey)
        for (size_t i = lumaBytes; i < f.size(); ++i)
            farthest = std::max(farthest, std::abs(static_cast<uint8_t>(f[i]) - 128));
    EXPECT_LE(farthest, 2);
    // The source really has colour, so the check above can fail.
    int colourSeen = 0;
    for (size_t i = lumaBytes; i < colourful[0].size(); ++i)
        colourSeen = std::max(colourSeen, std::abs(static_cast<uint8_t>(colourful[0][i]) - 128));
    EXPECT_GT(colourSeen, 40);
}

// White text at (200, 150) on a flat grey picture: the pixels change where the text is and stay as
// they were away from it.
TEST(ConvertWithEffects, TextWatermarkChangesOnlyItsPlace) {
    const std::string dir = testmedia::TempDir();
    const std::string source = MakeGreySource(dir);
    const auto plain = DecodedFrames(Convert(source, ""));
    const auto marked = DecodedFrames(Convert(source, "--text QM --font 'DejaVu Sans,14,0xFFFFFF,bold' --text-pos 200,150"));
    ASSERT_EQ(plain.size(), marked.size());
    ASSERT_FALSE(plain.empty());
    // 14 pt at 96 dpi is about 19 pixels high; two bold capitals are well within 40 pixels wide.
    const int left = 200, top = 150, right = 240, bottom = 172, margin = 16;
    for (size_t n = 0; n < plain.size(); ++n) {
        int nearChange = 0, farChange = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const int d = std::abs(Luma(marked[n], x, y) - Luma(plain[n], x, y));
                const bool inBox = x >= left && x < right && y >= top && y < bottom;
                const bool far = x < left - margin || x >= right + margin || y < top - margin || y >= bottom + margin;
                if (inBox) nearChange = std::max(nearChange, d);
                if (far) farChange = std::max(farChange, d);
            }
        }
        EXPECT_GT(nearChange, 80) << "frame " << n;
        EXPECT_LE(farChange, 3) << "frame " << n;
    }
}

// A white image in style 2 multiplies by one: the frames equal those of a decoration that changes
// nothing (256/0/256 runs the colour routine as identity), whatever the alpha.
TEST(ConvertWithEffects, WhiteImageInStyleTwoLeavesTheFrames) {
    const std::string dir = testmedia::TempDir();
    const std::string source = testmedia::Fixture("short.mp4");
    const std::string white = dir + "/white.bmp";
    ASSERT_EQ(testmedia::Run("ffmpeg -v error -y -f lavfi -i color=c=white:size=64x48 -frames:v 1 -pix_fmt bgr24 " +
                             Quote(white)),
              0);
    const auto identity = DecodedFrames(Convert(source, "--brightness 256 --saturation 256"));
    const auto withImage =
        DecodedFrames(Convert(source, "--image " + Quote(white) + " --image-pos 100,60 --blend 2 --alpha 30"));
    ASSERT_EQ(identity.size(), withImage.size());
    for (size_t n = 0; n < identity.size(); ++n) EXPECT_TRUE(identity[n] == withImage[n]) << "frame " << n;
    // Style 1 with the same picture does show it, so the picture was applied above.
    const auto mixed = DecodedFrames(Convert(source, "--image " + Quote(white) + " --image-pos 100,60 --blend 1 --alpha 255"));
    ASSERT_FALSE(mixed.empty());
    EXPECT_GE(Luma(mixed[0], 120, 80), 230);
    EXPECT_LT(Luma(identity[0], 120, 80), 230);
}

// A watermark picture that cannot be read is named once up front and the file still converts.
TEST(ConvertWithEffects, UnreadableImageIsNamedAndTheFileConverts) {
    const std::string dir = testmedia::TempDir();
    std::string log;
    const std::string out = Convert(testmedia::Fixture("av.mp4"), "--saturation 0 --image " + Quote(dir + "/gone.bmp"), &log);
    EXPECT_FALSE(out.empty());
    EXPECT_NE(log.find("gone.bmp"), std::string::npos) << log;
    EXPECT_NE(log.find("frames are converted without effects or watermark"), std::string::npos) << log;
}

// The trim options reach the job: one second from 0.5 s of a two-second source.
TEST(ConvertWithEffects, TrimOptionsSetTheConvertedRange) {
    const std::string out = Convert(testmedia::Fixture("av.mp4"), "--trim-start 0.5 --trim-length 1");
    ASSERT_FALSE(out.empty());
    std::string duration;
    ASSERT_EQ(testmedia::Run("ffprobe -v error -show_entries format=duration -of csv=p=0 " + Quote(out), &duration), 0);
    EXPECT_NEAR(std::atof(duration.c_str()), 1.0, 0.1) << duration;
}

// Bad option values are refused before anything is converted, each with its own message.
TEST(ConvertWithEffects, BadJobOptionsAreRefusedWithAMessage) {
    struct Case {
        const char* options;
        const char* message;
    };
    const Case cases[] = {
        {"--brightness 513", "--brightness needs a whole number from 0 to 512"},
        {"--contrast -101", "--contrast needs a whole number from -100 to 100"},
        {"--exposure x", "--exposure needs a whole number from -255 to 512"},
        {"--alpha 256", "--alpha needs a whole number from 0 to 255"},
        {"--blend 3", "--blend needs a whole number from 1 to 2"},
        {"--crop 1,2,3", "--crop needs T,B,L,R"},
        {"--text-pos -1,5", "--text-pos needs X,Y"},
        {"--font Sans,0,0", "--font needs FACE,SIZE,COLOR"},
        {"--font Sans,10,0,wavy", "--font: unknown style \"wavy\""},
        {"--trim-length 0", "--trim-length needs seconds"},
        {"--zoom wide", "--zoom needs full, lbox, pan or center"},
        {"--image-pos 5", "--image-pos needs X,Y"},
    };
    const std::string dir = testmedia::TempDir();
    for (const Case& c : cases) {
        std::string out;
        const int status = testmedia::Run(Quote(testmedia::CliPath()) + " convert --settings " + Quote(dir + "/s.ini") +
                                              " --output-dir " + Quote(dir + "/out") + " " + c.options + " " +
                                              Quote(testmedia::Fixture("av.mp4")),
                                          &out, true);
        EXPECT_EQ(status, 2) << c.options;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.options << "\n" << out;
    }
    EXPECT_FALSE(fs::exists(dir + "/out"));
}

class TSilentPrompt : public IUserPrompt {
public:
    void ShowMessage(const std::string&) override {}
    void ShowMessageBox(const std::string&, const std::string&) override {}
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    void Beep() override {}
};

class TSilentView : public IProgressView {
public:
    void ShowProgress(const TProgressTexts&) override {}
    void SetBar(int) override {}
    bool OpenFolderAfterConversion() const override { return false; }
    bool ShutDownAfterConversion() const override { return false; }
    void Close() override {}
};

// The batch control's surroundings: a copy of the shipped settings writing into dir/out, the
// format file, an engine and its job list, with the main-thread calls served by `dispatcher`.
struct TMainThreadScope {
    explicit TMainThreadScope(std::shared_ptr<TQueueDispatcher> d) { SetMainThreadDispatcher(std::move(d)); }
    ~TMainThreadScope() { SetMainThreadDispatcher(nullptr); }
};

std::string CopyOfShippedSettings(const std::string& dir) {
    fs::copy_file(ShippedSettings(), dir + "/quillmar.ini");
    return dir + "/quillmar.ini";
}

struct TBatchRig {
    std::shared_ptr<TQueueDispatcher> dispatcher = std::make_shared<TQueueDispatcher>();
    TMainThreadScope mainThread{dispatcher};
    std::string dir = testmedia::TempDir();
    TAppSettings settings{CopyOfShippedSettings(dir)};
    TIniStore formats{(fs::path(ShippedSettings()).parent_path() / "quillmarformat.ini").string()};
    TSilentPrompt prompt;
    TSilentView view;
    ZAReravIRE engine;
    TJobList jobs{engine, settings.Store(), formats, [this](const std::string& s, const std::string& suffix) {
                      return BuildOutputName(settings, prompt, s, suffix);
                  }};

    TBatchRig() { settings.SetOutPutDir(dir + "/out"); }
};

// A watermark picture that is missing: every frame logs the hook's error, the frames stay as decoded
// and the conversion completes. A job with neutral settings gets no hook at all.
TEST(BatchEffects, MissingImageLogsEachFrameAndTheConversionCompletes) {
    std::mutex linesMutex;
    int hookErrors = 0;
    TFFLogger::Instance().SetOnLog([&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& msg) {
        std::lock_guard lock(linesMutex);
        if (msg.rfind("Error occurs OnCustomHook: ", 0) == 0 && msg.find("missing.bmp") != std::string::npos)
            ++hookErrors;
    });
    std::vector<bool> completed;
    std::string out;
    {
        TBatchRig rig;
        out = rig.dir + "/out/short_(new).mp4";
        ASSERT_EQ(rig.jobs.Add({testmedia::Fixture("short.mp4"), testmedia::Fixture("av.mkv")}, ""), 2);
        rig.jobs.Row(0).Record->ImageFile = rig.dir + "/missing.bmp";
        rig.jobs.Row(0).Record->Saturation = 0;

        TBatchControl batch(rig.engine, rig.jobs, rig.settings, rig.formats, rig.prompt, rig.view);
        bool ended = false;
        batch.OnTaskEnded = [&](const TTerminateInfo& info, int) { completed.push_back(info.Completed && !info.Failed); };
        batch.OnBatchEnded = [&] { ended = true; };
        ASSERT_TRUE(batch.Start());
        ASSERT_TRUE(rig.dispatcher->ServeUntil([&] { return ended; }, 120000));
    }
    TFFLogger::Instance().SetOnLog({});

    EXPECT_EQ(completed, (std::vector<bool>{true, true}));
    EXPECT_EQ(hookErrors, 25);  // one second at 25 frames a second, one line each
    // The failed decoration kept the frames in colour: saturation 0 was not applied either.
    const auto frames = DecodedFrames(out);
    ASSERT_FALSE(frames.empty());
    int colour = 0;
    for (size_t i = kWidth * kHeight; i < frames[0].size(); ++i)
        colour = std::max(colour, std::abs(static_cast<uint8_t>(frames[0][i]) - 128));
    EXPECT_GT(colour, 40);
}

// The hook finds each task's job through the task table: the decorated job's settings apply, a
// changed setting shows from the next frame on, and a neutral job or an unknown task is left alone.
TEST(BatchEffects, HookDecoratesWithTheTaskJobsCurrentSettings) {
    TBatchRig rig;
    TJobList& jobs = rig.jobs;
    ASSERT_EQ(jobs.Add({testmedia::Fixture("av.mkv"), testmedia::Fixture("av.avi"), testmedia::Fixture("av.mp4")}, ""),
              3);
    jobs.Row(0).Checked = false;  // not converted: task 0 is row 1
    jobs.Row(1).Record->Saturation = 0;
    TBatchControl batch(rig.engine, jobs, rig.settings, rig.formats, rig.prompt, rig.view);
    bool ended = false;
    batch.OnBatchEnded = [&] { ended = true; };
    ASSERT_TRUE(batch.Start());
    ASSERT_EQ(batch.TaskRows(), (std::vector<int>{1, 2}));

    const auto hookOn = [&](int task) {
        TBitmap24 frame(4, 2);
        for (int i = 0; i < frame.Stride() * frame.Height(); ++i) frame.Bits()[i] = static_cast<uint8_t>(40 * i);
        const TBitmap24 before = frame;
        THookInfo info;
        info.TaskIndex = task;
        info.Bitmap = frame.View();
        batch.CCAVCCustomHook(&rig.engine, &info);
        EXPECT_TRUE(info.UpdateFrame);
        EXPECT_FALSE(info.StopHook);
        return std::make_pair(before, frame);
    };
    {
        auto [before, after] = hookOn(0);
        TBitmap24 want = before;
        ApplyColorAdjust(want.View(), 255, 0, 0);
        EXPECT_TRUE(std::equal(after.Bits(), after.Bits() + after.Stride() * 2, want.Bits()));
    }
    jobs.Row(1).Record->Saturation = 512;
    jobs.Row(1).Record->Exposure = 100;
    batch.PictureSettingsChanged(1);
    {
        auto [before, after] = hookOn(0);
        TBitmap24 want = before;
        ApplyColorAdjust(want.View(), 255, 0, 512);
        ApplyExposure(want.View(), 100.0f);
        EXPECT_TRUE(std::equal(after.Bits(), after.Bits() + after.Stride() * 2, want.Bits()));
    }
    for (int task : {1, 2, -1}) {
        auto [before, after] = hookOn(task);
        EXPECT_TRUE(std::equal(after.Bits(), after.Bits() + after.Stride() * 2, before.Bits())) << task;
    }
    ASSERT_TRUE(rig.dispatcher->ServeUntil([&] { return ended; }, 120000));
}

}  // namespace
