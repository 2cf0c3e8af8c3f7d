#pragma once
// The engine component: the application queues conversion tasks (AddTask, SetOutputFile), starts
// them (StartTask), pauses, resumes or stops them, and hears about progress, frames, preview
// pictures and the end of every task and of the run through its events.
//
// Threads:
// - Every operation is meant for the application's main thread. ClearTasks may also come from an
//   OnTerminate handler once the run is all done.
// - OnCustomHook runs on the task's worker thread, under the hook lock (workers take turns).
// - OnProgress and OnPreviewBitmap run on the main thread through CallInMainThread (the worker
//   waits) when TriggerEventInMainThread is true, else on the worker; each under its event lock.
// - OnTerminate runs on a short-lived terminate thread in threaded runs (handlers may overlap and
//   end in any order), in the thread that runs the tasks otherwise.
// - Locks: the four event locks are taken by workers only, never by the main thread. runMutex_
//   guards the task list, the run counters and flags, and is never held while waiting for a
//   worker or calling a handler. handlersMutex_ guards the handlers (copied out before a call).
//   Each task's preview-switch lock (engine/Previewer.h) guards its preview switches.
// - Waits of the main thread for workers (Stop with wait, the destructor) serve main-thread calls.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/EngineRecords.h"
#include "engine/Previewer.h"
#include "engine/TaskThreads.h"
#include "engine/Types.h"

class TAVProbe;
class TFFmpeg;

class TCustomEngineComponent : public TFFBaseComponent {
public:
    TCustomEngineComponent();
    // ShutDown, then frees the probe.
    ~TCustomEngineComponent() override;

    // ---- operations ----
    // Loads the media libraries; false with LastErrorMessage set on failure.
    bool LoadLibraries(const std::string& folder);
    // A new task with fileName as its first input; its index, or -1 with LastErrorMessage set.
    // An empty FileName in the record is filled with fileName.
    int AddTask(const std::string& fileName, TInputOptions* options = nullptr);
    // Adds an output file to the task; false with LastErrorMessage set. An empty FileName in the
    // record is filled with fileName.
    bool SetOutputFile(int taskIndex, const std::string& fileName, TOutputOptions* options = nullptr);
    // The probe of one input of a task (owned by the task); null for an input index out of range.
    TAVProbe* InputProbe(int taskIndex, int inputIndex);
    int TaskCount() const;
    // parallelCount > 0: worker threads, at most that many tasks at once; <= 0: every task in
    // this thread, one after the other, before returning.
    void StartTask(int parallelCount);
    void Pause();
    void Resume();
    // Starts no further task and stops every task; with wait, returns when each has ended.
    void Stop(bool wait);
    void RemoveTask(int taskIndex);
    void ClearTasks();

    // A queued task, for inspection on the main thread while it does not run (its settings and
    // option store as configured). Throws the list's index error.
    const TFFmpeg& Task(int taskIndex) const { return *TaskAt(taskIndex); }

    std::string LastErrorMessage() const;
    // A probe for the application's own use.
    TAVProbe& Probe() { return *probe_; }

    // ---- properties ----
    bool Preview() const { return previewSwitches_ & 1; }
    void SetPreview(bool value);
    bool PreviewBitmap() const { return previewSwitches_ & 2; }
    void SetPreviewBitmap(bool value);
    int ProgressInterval() const { return progressIntervalMs_; }
    // Milliseconds; values <= 100 are stored as 100.
    void SetProgressInterval(int ms);
    TThreadPriority ThreadPriority() const { return threadPriority_; }
    void SetThreadPriority(TThreadPriority value) { threadPriority_ = value; }
    bool TriggerEventInMainThread() const { return triggerInMainThread_; }
    void SetTriggerEventInMainThread(bool value) { triggerInMainThread_ = value; }
    std::string About;
    static constexpr const char* Version() { return "3.3"; }
    // Makes the preview window of a task that shows its frames while Preview is on (the
    // application's; none: no window). Called on the task's worker at its first preview picture;
    // the previewer is freed on the worker or on the thread that switches Preview off, so a
    // window implementation reaches its window through the main-thread call. Set while idle.
    void SetPreviewerFactory(TPreviewerFactory factory);

    // ---- events (set or clear with an empty function) ----
    void SetOnCustomHook(TCustomHookEvent handler);
    void SetOnPreviewBitmap(TPreviewBitmapEvent handler);
    void SetOnProgress(TProgressEvent handler);
    void SetOnTerminate(TTerminateEvent handler);

    // ---- run state, for the application and tests ----
    bool Working() const;
    bool AllDone() const;

protected:
    // Stops every task and waits for it, waits for the terminate threads, then frees the tasks.
    // Workers call the virtual entries until this returns, so the most derived class calls it
    // first thing in its destructor (before its part of the object goes). Idempotent.
    void ShutDown();

    // The entries the tasks call (on their worker, or in the thread running them when unthreaded).
    virtual void CustomHookEntry(TFFmpeg& task, const TBitmapView& bitmap, int frameNumber, int64_t pts,
                                 bool& updateFrame, bool& stopHook);
    virtual void PreviewBitmapEntry(TFFmpeg& task, const TBitmapView& bitmap, int frameNumber, int64_t pts);
    virtual void ProgressEntry(TFFmpeg& task, int inputIndex, int frameNumber, int framesPerSecond, float quality,
                               float bitRateKbps, int64_t outputSize, int64_t outputTime, int64_t totalTime);
    // task: the task that ended; null: the end of the run.
    virtual void TerminateEntry(TFFmpeg* task);

private:
    std::shared_ptr<TFFmpeg> TaskAt(int taskIndex) const;  // throws the list's index error
    void CheckNotWorking(const char* operation) const;     // throws "Cannot %s while working."
    void InstallEntries(TFFmpeg& task);
    // The preview entry and window factory as they stand, into a task about to run.
    void InstallPreviews(TFFmpeg& task);
    void StartNextTask();
    void EndRun();
    // Raises OnTerminate with a copy of the record: on a terminate thread when threaded, else here.
    void DeliverTerminate(const TTerminateInfo& info);
    void ApplyPreviewSwitches();
    void Renumber();  // runMutex_ held

    // Guarded by runMutex_.
    mutable std::mutex runMutex_;
    std::vector<std::shared_ptr<TFFmpeg>> tasks_;
    std::string lastError_;
    int finishedCount_ = 0;
    int nextTask_ = -1;
    int leftToStart_ = 0;
    bool threaded_ = false;
    bool allDone_ = false;
    bool working_ = false;
    bool paused_ = false;

    std::unique_ptr<TAVProbe> probe_;

    std::atomic<int> previewSwitches_{0};  // bit 0 Preview, bit 1 PreviewBitmap
    std::atomic<int> progressIntervalMs_{500};
    std::atomic<TThreadPriority> threadPriority_{tpNormal};
    std::atomic<bool> triggerInMainThread_{true};

    mutable std::mutex handlersMutex_;  // guards the four handlers and the previewer factory
    TPreviewerFactory previewerFactory_;
    TCustomHookEvent onCustomHook_;
    TPreviewBitmapEvent onPreviewBitmap_;
    TProgressEvent onProgress_;
    TTerminateEvent onTerminate_;

    // The event locks and their records (each record is filled under its lock only).
    std::mutex hookLock_, previewLock_, progressLock_, terminateLock_;
    THookInfo hookInfo_;
    TPreviewInfo previewInfo_;
    TProgressInfo progressInfo_;
    TTerminateInfo terminateInfo_;

    // Declared last: joined first when the component goes.
    TDoTerminateThreads terminateThreads_;
};

// The published component.
class ZAReravIRE : public TCustomEngineComponent {
public:
    ZAReravIRE() = default;
    ~ZAReravIRE() override { ShutDown(); }
};
