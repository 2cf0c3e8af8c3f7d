// The engine component's frame events: the custom hook on the workers (per hooked task, one
// handler at a time, stop hook), preview bitmaps for the main thread, and preview windows.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "engine/EngineComponent.h"
#include "engine/MainThread.h"
#include "engine/transcode_support.h"

namespace {

constexpr int kNoLimitMs = 120000;  // guards against a hang only

class ComponentFrames : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher_ = std::make_shared<TQueueDispatcher>();
        SetMainThreadDispatcher(dispatcher_);
        engine_ = std::make_unique<ZAReravIRE>();
        ASSERT_TRUE(engine_->LoadLibraries(""));
        source_ = testmedia::Fixture("av.mp4");
        ASSERT_FALSE(source_.empty());
        dir_ = testmedia::TempDir();
        engine_->SetOnTerminate([this](TFFBaseComponent*, const TTerminateInfo& info) {
            std::lock_guard lock(mutex_);
            if (info.TaskIndex >= 0) completed_[info.TaskIndex] = info.Completed && !info.Failed;
            if (info.TaskIndex < 0) ended_ = true;
        });
    }
    void TearDown() override {
        engine_.reset();
        SetMainThreadDispatcher(nullptr);
    }
    void AddTask(bool hooked, bool slow, int64_t recordingUs) {
        TInputOptions in;
        if (slow) in.ExtOptions = "re";
        const int index = engine_->AddTask(source_, &in);
        ASSERT_GE(index, 0) << engine_->LastErrorMessage();
        TOutputOptions out;
        out.VideoCodec = "mpeg4";
        out.FrameSize = "160x120";
        out.DisableAudio = true;
        out.RecordingTime = recordingUs;
        out.CustomHook = hooked;
        ASSERT_TRUE(engine_->SetOutputFile(index, dir_ + "/frames" + std::to_string(index) + ".avi", &out));
    }
    void RunToEnd(int parallel) {
        engine_->StartTask(parallel);
        ASSERT_TRUE(dispatcher_->ServeUntil(
            [&] {
                std::lock_guard lock(mutex_);
                return ended_;
            },
            kNoLimitMs));
        std::lock_guard lock(mutex_);
        for (const auto& [task, ok] : completed_) EXPECT_TRUE(ok) << "task " << task;
    }

    std::shared_ptr<TQueueDispatcher> dispatcher_;
    std::unique_ptr<ZAReravIRE> engine_;
    std::string source_, dir_;
    std::mutex mutex_;
    std::map<int, bool> completed_;
    bool ended_ = false;
};

TEST_F(ComponentFrames, HookRunsOnWorkersForHookedTasksOneAtATime) {
    struct TCalls {
        std::vector<int> frames;
        std::vector<int64_t> pts;
    };
    std::map<int, TCalls> calls;  // guarded by the hook lock: handlers never overlap
    std::atomic<int> inside{0}, overlaps{0}, onMain{0}, wrongSize{0};
    engine_->SetOnCustomHook([&](TFFBaseComponent* sender, PHookInfo info) {
        if (inside.fetch_add(1) != 0) ++overlaps;
        if (sender != engine_.get() || dispatcher_->IsMainThread()) ++onMain;
        if (info->Bitmap.width != 320 || info->Bitmap.height != 240 || !info->UpdateFrame || info->StopHook)
            ++wrongSize;
        TCalls& c = calls[info->TaskIndex];
        c.frames.push_back(info->FrameNumber);
        c.pts.push_back(info->PTS);
        // Task 2 wants five frames only.
        if (info->TaskIndex == 2 && info->FrameNumber == 5) info->StopHook = true;
        std::this_thread::sleep_for(std::chrono::microseconds(300));  // widens any overlap
        --inside;
    });
    AddTask(true, false, 1000000);
    AddTask(false, false, 1000000);
    AddTask(true, false, 1000000);
    RunToEnd(3);

    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(onMain, 0);
    EXPECT_EQ(wrongSize, 0);
    EXPECT_EQ(calls.count(1), 0u) << "task 1 did not ask for the hook";
    ASSERT_EQ(calls[0].frames.size(), 25u);
    for (size_t i = 0; i < calls[0].frames.size(); ++i) {
        EXPECT_EQ(calls[0].frames[i], static_cast<int>(i) + 1);
        EXPECT_EQ(calls[0].pts[i], static_cast<int64_t>(i) * 40000);
    }
    EXPECT_EQ(calls[2].frames, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(ComponentFrames, PreviewBitmapsReachTheMainThreadWhileSwitchedOn) {
    std::map<int, int> pictures;  // main thread only
    std::atomic<int> offMain{0}, wrongSize{0};
    engine_->SetOnPreviewBitmap([&](TFFBaseComponent*, const TPreviewInfo& info) {
        if (!dispatcher_->IsMainThread()) ++offMain;
        if (info.Bitmap.width != 160 || info.Bitmap.height != 120) ++wrongSize;
        ++pictures[info.TaskIndex];
    });
    AddTask(false, false, 500000);
    engine_->SetPreviewBitmap(true);  // also switches the task queued before
    AddTask(false, false, 500000);
    RunToEnd(1);
    EXPECT_EQ(offMain, 0);
    EXPECT_EQ(wrongSize, 0);
    EXPECT_GE(pictures[0], 1);
    EXPECT_GE(pictures[1], 1);

    engine_->ClearTasks();
    {
        std::lock_guard lock(mutex_);
        ended_ = false;
    }
    pictures.clear();
    engine_->SetPreviewBitmap(false);
    AddTask(false, false, 500000);
    RunToEnd(1);
    EXPECT_TRUE(pictures.empty());
}

// A window that takes `accept` pictures and is closed afterwards.
class TFakePreviewer : public TPreviewer {
public:
    TFakePreviewer(std::atomic<int>& shown, std::atomic<int>& offered, int accept)
        : shown_(shown), offered_(offered), accept_(accept) {}
    bool ShowFrame(const TBitmapView& bitmap, int, int64_t) override {
        ++offered_;
        if (bitmap.Empty() || shown_ >= accept_) return false;
        ++shown_;
        return true;
    }

private:
    std::atomic<int>& shown_;
    std::atomic<int>& offered_;
    int accept_;
};

TEST_F(ComponentFrames, ClosedPreviewWindowGetsNoFurtherPictures) {
    std::atomic<int> shown{0}, offered{0}, windows{0};
    engine_->SetPreviewerFactory([&]() -> std::unique_ptr<TPreviewer> {
        ++windows;
        return std::make_unique<TFakePreviewer>(shown, offered, 2);
    });
    engine_->SetPreview(true);
    // Without an OnPreviewBitmap handler the bitmap switch leaves the pictures to the window.
    engine_->SetPreviewBitmap(true);
    AddTask(false, true, 1000000);  // at its own pace: about ten previews if nothing stops them
    RunToEnd(1);
    EXPECT_EQ(windows, 1);
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(offered, 3) << "the refusal switches the window off for the task";
}

}  // namespace
