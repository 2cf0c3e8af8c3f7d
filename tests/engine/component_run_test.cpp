// Running the engine component's tasks with real small conversions: sequential, parallel and
// unthreaded runs, start checks, stop with and without a pause, pause and resume, progress
// throttling, worker priorities, destruction during a run, and storms of run-control calls.
// The test's main thread is a TQueueDispatcher, so main-thread events really cross threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <random>
#include <set>
#include <thread>

#include "engine/EngineComponent.h"
#include "engine/FFmpegTask.h"
#include "engine/MainThread.h"
#include "engine/TaskThreads.h"
#include "engine/transcode_support.h"

using namespace transcodetest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kNoLimitMs = 120000;  // guards against a hang only; no test expects to get near it

struct TEvent {
    bool terminate = false;
    int task = 0;
    int inputIndex = 0;  // progress
    TTerminateInfo info;  // terminate
    std::thread::id thread;
    Clock::time_point at;
    int64_t seq = 0;
    bool flag = false;  // the test's flag at the time of the event
};

// Events of one run, from every thread.
class TRecorder {
public:
    void Add(TEvent e) {
        std::lock_guard lock(mutex_);
        e.seq = static_cast<int64_t>(events_.size());
        e.at = Clock::now();
        e.thread = std::this_thread::get_id();
        events_.push_back(std::move(e));
        changed_.notify_all();
    }
    std::vector<TEvent> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Between runs, once every event of the last run came.
    void Clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }
    std::vector<TEvent> Progress(int task) const {
        std::vector<TEvent> out;
        for (const TEvent& e : Events())
            if (!e.terminate && e.task == task) out.push_back(e);
        return out;
    }
    std::vector<TEvent> Terminates() const {
        std::vector<TEvent> out;
        for (const TEvent& e : Events())
            if (e.terminate) out.push_back(e);
        return out;
    }
    const TEvent* TerminateOf(int task, std::vector<TEvent>& storage) const {
        storage = Terminates();
        const TEvent* found = nullptr;
        for (const TEvent& e : storage)
            if (e.task == task) {
                EXPECT_EQ(found, nullptr) << "task " << task << " reported twice";
                found = &e;
            }
        return found;
    }
    size_t Count() const {
        std::lock_guard lock(mutex_);
        return events_.size();
    }
    // Waits (from a worker) until pred holds on the events; false after the limit.
    bool WaitFor(const std::function<bool(const std::vector<TEvent>&)>& pred, int ms = kNoLimitMs) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(events_); });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TEvent> events_;
};

// A latch a worker waits on while the main thread does something.
class TLatch {
public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool Wait(int ms = kNoLimitMs) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return open_; });
    }
    bool IsOpen() {
        std::lock_guard lock(mutex_);
        return open_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

class ComponentRun : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher_ = std::make_shared<TQueueDispatcher>();
        SetMainThreadDispatcher(dispatcher_);
        mainThread_ = std::this_thread::get_id();
        engine_ = std::make_unique<ZAReravIRE>();
        ZAReravIRE* const engine = engine_.get();  // engine_ is null while the component is destroyed
        ASSERT_TRUE(engine_->LoadLibraries("")) << engine_->LastErrorMessage();
        source_ = testmedia::Fixture("av.mp4");
        ASSERT_FALSE(source_.empty());
        dir_ = testmedia::TempDir();
        engine_->SetProgressInterval(100);
        engine_->SetOnTerminate([this, engine](TFFBaseComponent* sender, const TTerminateInfo& info) {
            EXPECT_EQ(sender, engine);
            TEvent e;
            e.terminate = true;
            e.task = info.TaskIndex;
            e.info = info;
            e.flag = info.TaskIndex < 0 && engine->AllDone();
            recorder_.Add(e);
        });
    }
    void TearDown() override {
        engine_.reset();
        SetMainThreadDispatcher(nullptr);
    }

    // Progress events go to the recorder, then to `onEvent` (on the event's thread).
    void RecordProgress(bool inMainThread, std::function<void(const TProgressInfo&)> onEvent = {}) {
        engine_->SetTriggerEventInMainThread(inMainThread);
        engine_->SetOnProgress([this, onEvent](TFFBaseComponent*, PProgressInfo p) {
            TEvent e;
            e.task = p->TaskIndex;
            e.inputIndex = p->InputIndex;
            e.flag = flag_;
            recorder_.Add(e);
            if (onEvent) onEvent(*p);
        });
    }

    // Queues `count` tasks: the source at its own pace ("re") when slow, to a small mpeg4 file.
    void AddTasks(int count, bool slow, int64_t recordingUs = kNoTimestamp, const std::string& source = "") {
        for (int i = 0; i < count; ++i) {
            TInputOptions in;
            if (slow) in.ExtOptions = "re";
            const int index = engine_->AddTask(source.empty() ? source_ : source, &in);
            ASSERT_GE(index, 0) << engine_->LastErrorMessage();
            TOutputOptions out;
            out.VideoCodec = "mpeg4";
            out.FrameSize = "160x120";
            out.AudioCodec = "mp2";
            out.RecordingTime = recordingUs;
            ASSERT_TRUE(engine_->SetOutputFile(index, Output(index), &out)) << engine_->LastErrorMessage();
        }
    }
    std::string Output(int index) const { return dir_ + "/task" + std::to_string(index) + ".avi"; }

    // Serves main-thread calls until `count` terminate events (tasks and the end of the run) came.
    void WaitForTerminates(size_t count) {
        ASSERT_TRUE(dispatcher_->ServeUntil([&] { return recorder_.Terminates().size() >= count; }, kNoLimitMs))
            << "terminate events: " << recorder_.Terminates().size();
    }

    // The end of the run was reported once, with the component all done.
    void ExpectOneEndOfRun() {
        int ends = 0;
        for (const TEvent& e : recorder_.Terminates()) {
            if (e.task != -1) continue;
            ++ends;
            EXPECT_TRUE(e.flag) << "all done before the application hears of it";
            EXPECT_TRUE(e.info.Completed);
            EXPECT_FALSE(e.info.Failed);
            EXPECT_TRUE(e.info.ErrorMessage.empty());
        }
        EXPECT_EQ(ends, 1);
    }

    void ExpectTerminated(int task, bool completed, bool failed, const std::string& error = "") {
        std::vector<TEvent> storage;
        const TEvent* e = recorder_.TerminateOf(task, storage);
        ASSERT_NE(e, nullptr) << "no terminate event for task " << task;
        EXPECT_EQ(e->info.Completed, completed) << "task " << task;
        EXPECT_EQ(e->info.Failed, failed) << "task " << task << ": " << e->info.ErrorMessage;
        EXPECT_EQ(e->info.ErrorMessage, error) << "task " << task;
    }

    // The sequence number of a task's final progress report.
    int64_t FinalReport(int task) {
        int64_t seq = -1;
        for (const TEvent& e : recorder_.Progress(task))
            if (e.inputIndex == -1) {
                EXPECT_EQ(seq, -1) << "two final reports of task " << task;
                seq = e.seq;
            }
        EXPECT_GE(seq, 0) << "no final report of task " << task;
        return seq;
    }
    int64_t FirstReport(int task) {
        const std::vector<TEvent> p = recorder_.Progress(task);
        return p.empty() ? -1 : p.front().seq;
    }

    std::shared_ptr<TQueueDispatcher> dispatcher_;
    std::thread::id mainThread_;
    TRecorder recorder_;
    std::atomic<bool> flag_{false};
    std::string source_, dir_;
    std::unique_ptr<ZAReravIRE> engine_;
};

TEST_F(ComponentRun, OneAtATimeRunsTasksInTurnAndEndsTheRun) {
    RecordProgress(false);
    AddTasks(3, false, 500000);
    engine_->StartTask(1);
    EXPECT_TRUE(engine_->Working());
    WaitForTerminates(4);

    for (int k = 0; k < 3; ++k) ExpectTerminated(k, true, false);
    ExpectOneEndOfRun();
    // Task k + 1 reports nothing before task k's last report: never two at once.
    for (int k = 0; k + 1 < 3; ++k) EXPECT_GT(FirstReport(k + 1), FinalReport(k)) << "task " << k + 1;
    // OnTerminate runs on threads of its own: neither the main thread nor a worker.
    std::set<std::thread::id> workers;
    for (const TEvent& e : recorder_.Events())
        if (!e.terminate) workers.insert(e.thread);
    for (const TEvent& e : recorder_.Terminates()) {
        EXPECT_NE(e.thread, mainThread_);
        EXPECT_EQ(workers.count(e.thread), 0u);
    }
    EXPECT_EQ(workers.count(mainThread_), 0u);
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(Probe(Output(k)).readable) << k;
}

TEST_F(ComponentRun, TwoAtATimeRunTogetherAndTheThirdFollows) {
    RecordProgress(false);
    AddTasks(3, true, 1000000);  // at their own pace: none can end before StartTask returns
    engine_->StartTask(2);
    EXPECT_TRUE(engine_->Task(0).Running());
    EXPECT_TRUE(engine_->Task(1).Running());
    EXPECT_FALSE(engine_->Task(2).Running());
    EXPECT_FALSE(engine_->Task(2).Terminated());
    WaitForTerminates(4);

    for (int k = 0; k < 3; ++k) ExpectTerminated(k, true, false);
    ExpectOneEndOfRun();
    EXPECT_GT(FirstReport(2), std::min(FinalReport(0), FinalReport(1)));
}

TEST_F(ComponentRun, UnthreadedRunDeliversEverythingInTheCallerBeforeReturning) {
    for (const bool inMainThread : {true, false}) {
        SCOPED_TRACE(inMainThread ? "events for the main thread" : "events in place");
        engine_->ClearTasks();
        recorder_.Clear();
        RecordProgress(inMainThread);
        AddTasks(2, false, 300000);
        engine_->StartTask(0);
        // Nothing left to serve: every event already came, in this thread, the end of the run last.
        const std::vector<TEvent> events = recorder_.Events();
        ASSERT_FALSE(events.empty());
        for (const TEvent& e : events) EXPECT_EQ(e.thread, mainThread_);
        ExpectTerminated(0, true, false);
        ExpectTerminated(1, true, false);
        ExpectOneEndOfRun();
        EXPECT_EQ(events.back().task, -1);
        EXPECT_TRUE(events.back().terminate);
        EXPECT_GT(FirstReport(1), FinalReport(0));
    }
}

TEST_F(ComponentRun, TaskWithoutOutputFailsItsStartAndTheRunGoesOn) {
    RecordProgress(false);
    AddTasks(1, false, 300000);
    TInputOptions in;
    ASSERT_EQ(engine_->AddTask(source_, &in), 1);
    AddTasks(1, false, 300000);  // task 2
    engine_->StartTask(1);
    WaitForTerminates(4);
    ExpectTerminated(0, true, false);
    ExpectTerminated(1, false, true, "At least one output file must be specified");
    ExpectTerminated(2, true, false);
    ExpectOneEndOfRun();
    EXPECT_TRUE(recorder_.Progress(1).empty());
}

TEST_F(ComponentRun, StopWithWaitServesTheWorkersAndReportsEveryTask) {
    RecordProgress(true);  // the worker needs the main thread for every report
    AddTasks(3, true);
    engine_->StartTask(1);
    ASSERT_TRUE(dispatcher_->ServeUntil([&] { return !recorder_.Progress(0).empty(); }, kNoLimitMs));

    flag_ = true;
    engine_->Stop(true);
    flag_ = false;

    // Task 0 ended inside Stop: its last report was served while Stop waited.
    const std::vector<TEvent> reports = recorder_.Progress(0);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().inputIndex, -1);
    EXPECT_TRUE(reports.back().flag);
    WaitForTerminates(4);
    for (int k = 0; k < 3; ++k) ExpectTerminated(k, false, false);
    ExpectOneEndOfRun();
    EXPECT_TRUE(recorder_.Progress(1).empty());
    EXPECT_TRUE(recorder_.Progress(2).empty());
    // The stopped output is finished, only shorter.
    const TFileFacts out = Probe(Output(0));
    ASSERT_TRUE(out.readable);
    EXPECT_LT(out.duration, 1.9);
}

TEST_F(ComponentRun, PausedWorkerIsHeldUntilResumedOrStopped) {
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stop" : "resume");
        engine_->ClearTasks();
        recorder_.Clear();
        // Task 0 pauses itself: its first report waits until the main thread has called Pause.
        TLatch reached, paused;
        RecordProgress(false, [&](const TProgressInfo& p) {
            if (p.TaskIndex != 0 || reached.IsOpen()) return;
            reached.Open();
            paused.Wait();
        });
        AddTasks(2, true, 1000000);
        engine_->StartTask(1);
        ASSERT_TRUE(reached.Wait());
        engine_->Pause();
        paused.Open();

        // A held task raises nothing (each report would follow the pause point).
        const size_t events = recorder_.Count();
        dispatcher_->ServeUntil([] { return false; }, 400);
        EXPECT_EQ(recorder_.Count(), events);
        EXPECT_THROW(engine_->ClearTasks(), std::runtime_error);

        if (stop) {
            engine_->Stop(true);
        } else {
            engine_->Resume();
        }
        WaitForTerminates(3);
        ExpectTerminated(0, !stop, false);
        ExpectTerminated(1, !stop, false);
        ExpectOneEndOfRun();
        EXPECT_EQ(recorder_.Progress(1).empty(), stop);
    }
}

TEST_F(ComponentRun, TaskStartedWhilePausedStartsHeld) {
    RecordProgress(false);
    AddTasks(1, false, 300000);
    engine_->Pause();
    engine_->StartTask(1);
    dispatcher_->ServeUntil([] { return false; }, 400);
    EXPECT_EQ(recorder_.Count(), 0u);
    engine_->Resume();
    WaitForTerminates(2);
    ExpectTerminated(0, true, false);
}

TEST_F(ComponentRun, ProgressIntervalSpacesReportsOfATask) {
    const std::string longer = MakeMedia(dir_, "long.avi",
                                         "-f lavfi -i testsrc=size=96x64:rate=25:duration=3.6 -c:v mpeg4");
    ASSERT_FALSE(longer.empty());
    engine_->SetProgressInterval(1000);
    RecordProgress(false);
    AddTasks(1, true, kNoTimestamp, longer);
    engine_->StartTask(1);
    WaitForTerminates(2);
    ExpectTerminated(0, true, false);

    const std::vector<TEvent> reports = recorder_.Progress(0);
    ASSERT_GE(reports.size(), 3u) << "a 3.6 s task at its own pace reports about every second";
    EXPECT_EQ(reports.back().inputIndex, -1);
    for (size_t i = 1; i + 1 < reports.size(); ++i) {
        // Measured on the worker when each report is decided; 50 ms allow for a late handler.
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(reports[i].at - reports[i - 1].at);
        EXPECT_GE(gap.count(), 950) << "reports " << i - 1 << " and " << i;
    }
}

TEST_F(ComponentRun, WorkersRunAtTheChosenPriority) {
    const int mainNice = CurrentThreadNice();
    struct TCase {
        TThreadPriority priority;
        int nice;
        bool idleClass;
    };
    const TCase cases[] = {
        {tpIdle, mainNice, true},
        {tpLowest, 19, false},
        {tpLower, std::max(10, mainNice), false},
        {tpNormal, mainNice, false},
        {tpHighest, mainNice, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "priority " << c.priority);
        engine_->ClearTasks();
        recorder_.Clear();
        std::atomic<int> nice{-100};
        std::atomic<bool> idle{false};
        RecordProgress(false, [&](const TProgressInfo&) {
            nice = CurrentThreadNice();
            idle = CurrentThreadIsIdleClass();
        });
        engine_->SetThreadPriority(c.priority);
        AddTasks(1, false, 200000);
        engine_->StartTask(1);
        WaitForTerminates(2);
        EXPECT_EQ(nice, c.nice);
        EXPECT_EQ(idle, c.idleClass);
    }
    EXPECT_EQ(CurrentThreadNice(), mainNice);
}

TEST_F(ComponentRun, DestroyingTheComponentStopsAndWaitsForItsTasks) {
    RecordProgress(true);
    AddTasks(2, true);
    engine_->StartTask(2);
    ASSERT_TRUE(dispatcher_->ServeUntil([&] { return recorder_.Count() > 0; }, kNoLimitMs));
    engine_.reset();
    // Every report came before the component was gone, and both outputs are finished files.
    EXPECT_EQ(recorder_.Terminates().size(), 3u);
    for (int k = 0; k < 2; ++k) {
        ExpectTerminated(k, false, false);
        EXPECT_TRUE(Probe(Output(k)).readable) << k;
    }
}

TEST_F(ComponentRun, RunWithoutTasksEndsAtOnce) {
    engine_->StartTask(1);
    WaitForTerminates(1);
    ExpectOneEndOfRun();
    engine_->ClearTasks();
    EXPECT_FALSE(engine_->Working());
}

TEST_F(ComponentRun, StormsOfPauseResumeAndStopOnParallelTasks) {
    std::mt19937 random(7);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        engine_->ClearTasks();
        recorder_.Clear();
        RecordProgress(round % 2 == 0);
        AddTasks(3, true, 1500000);
        engine_->StartTask(2);
        for (int i = 0; i < 40; ++i) {
            switch (random() % 4) {
                case 0: engine_->Pause(); break;
                case 1: engine_->Resume(); break;
                case 2: engine_->SetPreviewBitmap(i % 2); break;
                default: dispatcher_->ServeUntil([] { return false; }, static_cast<int>(random() % 15)); break;
            }
        }
        if (round == 2) engine_->Stop(false);
        engine_->Stop(true);
        WaitForTerminates(4);
        for (int k = 0; k < 3; ++k) {
            std::vector<TEvent> storage;
            EXPECT_NE(recorder_.TerminateOf(k, storage), nullptr) << "task " << k;
        }
        ExpectOneEndOfRun();
    }
}

}  // namespace
