#pragma once
// TFFmpeg: one task of the engine component. A transcoding core (TCustomFFmpeg, with one probe per
// opened input) plus its run control: the start checks, the worker thread, the five guarded steps
// of a run, stop, pause and the report of its end through the terminate entry.
//
// Threads: configuration (options, inputs, outputs, entries, TaskIndex) happens on the main thread
// while the task does not run. Start runs on the thread starting the task (the main thread, or a
// worker whose task just ended); Run on the task's worker (or inside Start when unthreaded); Stop,
// Pause and Resume on any thread. The run state (running_, terminating_, hasWorker_, errorText_)
// is guarded by stateMutex_; the flags inherited from TCustomFFmpeg are atomics.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/CustomFFmpeg.h"
#include "engine/EngineRecords.h"
#include "engine/ManualEvent.h"
#include "engine/TaskThreads.h"

class TFFmpeg : public TCustomFFmpeg {
public:
    // Called on the thread that ends the task (its worker, a terminate thread, or the starting
    // thread when unthreaded) once the task is terminated.
    using TTerminateEntry = std::function<void(TFFmpeg& task)>;

    TFFmpeg();
    // Waits for the worker and the terminate thread; never call it on a running task's own thread
    // unless the task has ended.
    ~TFFmpeg() override;

    // ---- configuration, main thread, task not running ----
    void SetTaskIndex(int index) { taskIndex_ = index; }
    int TaskIndex() const { return taskIndex_; }
    void SetTerminateEntry(TTerminateEntry entry) { terminateEntry_ = std::move(entry); }
    // Creation time of the next output, seconds since 1970 UTC (0 = none).
    void SetTimestampSeconds(int64_t seconds) { settings_.timestampSeconds = seconds; }
    // Copies of the records the task was configured with, in the order given.
    std::vector<TInputOptions> InputOptions;
    std::vector<TOutputOptions> OutputOptions;

    // ---- run control ----
    struct TStartResult {
        TConvertThread* worker = nullptr;  // threaded start: the suspended worker, owned by the task
        bool alreadyEnded = false;         // the task had ended before: it never runs again
    };
    // The start checks, then: unthreaded, runs the task to its end; threaded, hands back the
    // suspended worker for the caller to resume. No worker either when the task runs or is being
    // terminated already, or when a start check failed (the task is then terminated and reported).
    TStartResult Start(bool threaded, TThreadPriority priority);
    // Running: asks the loop to end (releasing a held worker) and, with wait, waits until the run
    // has finished. Never started: terminates the task on a terminate thread and, with wait, waits
    // for that. Already ended: nothing.
    void Stop(bool wait);
    // Hold / release the worker at its next pause point (only while the task has a worker).
    void Pause();
    void Resume();

    bool Running() const;
    bool Terminated() const { return terminated_; }
    bool HasWorker() const;
    bool Held() const { return pauseGate_.Held(); }
    // The worker waits at its pause point right now.
    bool WaitingAtPausePoint() const { return pauseGate_.Waiting(); }
    bool HasError() const { return errorOccurred_; }
    std::string ErrorText() const;

protected:
    void PausePoint() override { pauseGate_.Wait(); }

private:
    // The whole life of a running task: transcode, close encoders, close decoders, release what
    // was set up, terminate; each step guarded on its own.
    void Run();
    // Marks the task ended and calls the terminate entry.
    void Terminate();
    // Runs one step; an error is logged and recorded, and the caller goes on with the next step.
    void Guarded(const std::function<void()>& step);
    void RecordError(const std::string& message);

    std::atomic<int> taskIndex_{0};
    TTerminateEntry terminateEntry_;

    mutable std::mutex stateMutex_;
    bool running_ = false;       // guarded by stateMutex_
    bool terminating_ = false;   // guarded by stateMutex_: a terminate was decided without a run
    bool hasWorker_ = false;     // guarded by stateMutex_
    std::string errorText_;      // guarded by stateMutex_

    TManualEvent runFinished_{true};        // cleared while a worker runs the task
    TManualEvent terminateFinished_{true};  // cleared while a terminate thread runs
    TPauseGate pauseGate_;
    TDoTerminateThreads terminateThread_;         // at most one, for a task stopped before it ran
    std::unique_ptr<TConvertThread> worker_;      // kept after the run until the task is freed
};
