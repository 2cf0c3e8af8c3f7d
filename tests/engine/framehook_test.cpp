#include <dlfcn.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/AVPtr.h"
#include "engine/FFmpegLogger.h"
#include "engine/FrameHook.h"
#include "engine/plugins/test_vhook_state.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {


std::string Plugin(const std::string& name) { return std::string(QUILLMAR_TEST_PLUGIN_DIR) + "/lib" + name + ".so"; }

// The plug-in's own record: the same module the hook list loads by that path.
TestHookState& State() {
    static void* handle = dlopen(Plugin("test_vhook").c_str(), RTLD_NOW | RTLD_LOCAL);
    void* sym = handle ? dlsym(handle, "TestHookState") : nullptr;
    if (!sym) throw std::runtime_error("test_vhook has no TestHookState");
    return *static_cast<TestHookState*>(sym);
}

struct LibraryLines {
    std::vector<std::pair<TLogLevel, std::string>> lines;
    LibraryLines() {
        TFFLogger& logger = TFFLogger::Instance();
        logger.HookLibraryLog();
        logger.SetTriggerEventInMainThread(false);
        logger.SetOnLog([this](TFFBaseComponent*, uint32_t, TLogLevel level, const std::string& msg) {
            lines.emplace_back(level, msg);
        });
    }
    ~LibraryLines() { TFFLogger::Instance().SetOnLog({}); }
};

av::FramePtr GrayFrame(int width, int height) {
    av::FramePtr f = av::MakeFrame();
    f->format = AV_PIX_FMT_GRAY8;
    f->width = width;
    f->height = height;
    EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < f->linesize[0]; ++x) f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(x + 3 * y);
    return f;
}

}  // namespace

TEST(FrameHook, AddReturnCodesAndLogLines) {
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string line;  // "" = nothing logged
    };
    const std::string missing = std::string(QUILLMAR_TEST_PLUGIN_DIR) + "/libno_such_hook.so";
    const Case cases[] = {
        {{}, -2, ""},
        {{missing}, -1, missing + ": cannot open shared object file: No such file or directory"},
        {{Plugin("test_vhook_noprocess")}, -2, "Failed to find Process entrypoint in " + Plugin("test_vhook_noprocess")},
        {{Plugin("test_vhook_noconfigure"), "x"}, -2,
         "Failed to find Configure entrypoint in " + Plugin("test_vhook_noconfigure")},
        {{Plugin("test_vhook"), "fail"}, -22, "Failed to Configure " + Plugin("test_vhook")},
        {{Plugin("test_vhook_noconfigure")}, 0, ""},
        {{Plugin("test_vhook"), "mark", "5"}, 0, ""},
    };
    for (const Case& c : cases) {
        const std::string what = c.args.empty() ? "(none)" : c.args.back();
        LibraryLines log;
        TFrameHookList hooks;
        EXPECT_EQ(hooks.Add(c.args), c.code) << what;
        EXPECT_EQ(hooks.Count(), c.code == 0 ? 1u : 0u) << what;
        if (c.line.empty()) {
            EXPECT_TRUE(log.lines.empty()) << what << ": " << log.lines.front().second;
        } else {
            ASSERT_EQ(log.lines.size(), 1u) << what;
            EXPECT_EQ(log.lines[0].first, llError);
            EXPECT_EQ(log.lines[0].second, c.line);
        }
    }
}

TEST(FrameHook, ConfigureGetsEveryArgumentAndReleaseRunsOnce) {
    TestHookState& s = State();
    const int configures = s.configures, releases = s.releases;
    {
        TFrameHookList hooks;
        ASSERT_EQ(hooks.Add({Plugin("test_vhook"), "mark", "200"}), 0);
        EXPECT_EQ(s.configures, configures + 1);
        EXPECT_EQ(s.last_argc, 3);
        EXPECT_STREQ(s.last_arg, "200");
        ASSERT_EQ(hooks.Add({Plugin("test_vhook")}), 0);
        hooks.ReleaseAll();
        EXPECT_EQ(s.releases, releases + 2);
        EXPECT_TRUE(hooks.Empty());
        ASSERT_EQ(hooks.Add({Plugin("test_vhook")}), 0);
    }  // the list's end releases what is left
    EXPECT_EQ(s.releases, releases + 3);
    // A refused hook is never released (Configure did not make a context).
    TFrameHookList refused;
    EXPECT_EQ(refused.Add({Plugin("test_vhook"), "fail"}), -22);
    refused.ReleaseAll();
    EXPECT_EQ(s.releases, releases + 3);
}

TEST(FrameHook, ProcessChangesThePictureInOrder) {
    TFrameHookList hooks;
    // Invert, then mark the first byte: the other order would leave 255 - 9 there.
    ASSERT_EQ(hooks.Add({Plugin("test_vhook")}), 0);
    ASSERT_EQ(hooks.Add({Plugin("test_vhook"), "mark", "9"}), 0);
    av::FramePtr frame = GrayFrame(37, 5);
    av::FramePtr before = GrayFrame(37, 5);
    const int processes = State().processes;

    hooks.Process(frame->data, frame->linesize, frame->format, frame->width, frame->height, 1'234'567);

    EXPECT_EQ(State().processes, processes + 2);
    EXPECT_EQ(State().last_pix_fmt, AV_PIX_FMT_GRAY8);
    EXPECT_EQ(State().last_width, 37);
    EXPECT_EQ(State().last_height, 5);
    EXPECT_EQ(State().last_pts, 1'234'567);
    EXPECT_EQ(frame->data[0][0], 9);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < frame->linesize[0]; ++x) {
            if (x == 0 && y == 0) continue;
            const int i = y * frame->linesize[0] + x;
            // Inside the picture inverted; the row padding is the plug-in's to leave alone.
            EXPECT_EQ(frame->data[0][i], x < 37 ? 255 - before->data[0][i] : before->data[0][i]) << x << "," << y;
        }
    }
}

TEST(FrameHook, HookWithoutConfigureGetsNoContext) {
    TFrameHookList hooks;
    ASSERT_EQ(hooks.Add({Plugin("test_vhook_noconfigure")}), 0);
    av::FramePtr frame = GrayFrame(4, 4);
    hooks.Process(frame->data, frame->linesize, frame->format, 4, 4, 0);
    EXPECT_EQ(frame->data[0][0], 7);
    hooks.ReleaseAll();  // no Release entry point: nothing to call
    EXPECT_TRUE(hooks.Empty());
}
