#include "engine/EngineComponent.h"

#include <exception>
#include <stdexcept>

#include "engine/EngineOptions.h"
#include "engine/FFUtils.h"
#include "engine/FFmpegLoader.h"
#include "engine/FFmpegLogger.h"
#include "engine/FFmpegTask.h"
#include "engine/MainThread.h"
#include "engine/TaskSettings.h"
#include "probe/AVProbe.h"

void InitInputOptions(TInputOptions& options) { options = TInputOptions{}; }
void InitOutputOptions(TOutputOptions& options) { options = TOutputOptions{}; }

TCustomEngineComponent::TCustomEngineComponent() : probe_(std::make_unique<TAVProbe>()) {}

TCustomEngineComponent::~TCustomEngineComponent() { ShutDown(); }

void TCustomEngineComponent::ShutDown() {
    Stop(true);
    // The stopped tasks have reported; their terminate threads may still be delivering.
    terminateThreads_.JoinAll();
    std::vector<std::shared_ptr<TFFmpeg>> tasks;
    {
        std::lock_guard lock(runMutex_);
        tasks.swap(tasks_);
    }
    tasks.clear();  // each task waits for its threads
    terminateThreads_.JoinAll();
}

// ---------------------------------------------------------------------------------------------
// Operations

bool TCustomEngineComponent::LoadLibraries(const std::string& folder) {
    std::string error;
    if (::LoadLibraries(folder, EngineLibraries(), error)) return true;
    std::lock_guard lock(runMutex_);
    lastError_ = error;
    return false;
}

void TCustomEngineComponent::CheckNotWorking(const char* operation) const {
    std::lock_guard lock(runMutex_);
    if (working_) throw std::runtime_error(Format("Cannot %s while working.", operation));
}

std::shared_ptr<TFFmpeg> TCustomEngineComponent::TaskAt(int taskIndex) const {
    std::lock_guard lock(runMutex_);
    if (taskIndex < 0 || taskIndex >= static_cast<int>(tasks_.size()))
        throw std::out_of_range(Format("List index out of bounds (%d)", taskIndex));
    return tasks_[taskIndex];
}

int TCustomEngineComponent::AddTask(const std::string& fileName, TInputOptions* options) {
    CheckNotWorking("AddTask");
    std::string error;
    try {
        auto task = std::make_shared<TFFmpeg>();
        if (TFFmpegLoader::Instance().Loaded(EngineLibraries())) task->Reset();
        task->SetOption("v", "1");
        task->VideoPreviews().SetFlags(previewSwitches_);
        InstallPreviews(*task);
        if (options) {
            if (options->FileName.empty()) options->FileName = fileName;
            task->InputOptions.push_back(*options);
            ApplyInputOptions(*task, *options);
        }
        if (task->OpenInput(fileName)) {
            InstallEntries(*task);
            std::lock_guard lock(runMutex_);
            task->SetTaskIndex(static_cast<int>(tasks_.size()));
            tasks_.push_back(std::move(task));
            return static_cast<int>(tasks_.size()) - 1;
        }
        error = task->LastError();
    } catch (const std::exception& e) {
        error = e.what();
    }
    std::lock_guard lock(runMutex_);
    lastError_ = error;
    return -1;
}

bool TCustomEngineComponent::SetOutputFile(int taskIndex, const std::string& fileName, TOutputOptions* options) {
    CheckNotWorking("SetOutputFile");
    std::shared_ptr<TFFmpeg> task = TaskAt(taskIndex);
    std::string error;
    if (task->OutputFileCount() >= MAX_FILES) {
        error = Format("max output files %d reached", MAX_FILES);
    } else {
        bool kept = false, added = false;
        try {
            if (!options) {
                if (task->AddOutput(fileName, false) >= 0) return true;
                error = task->LastError();
            } else {
                if (options->FileName.empty()) options->FileName = fileName;
                task->OutputOptions.push_back(*options);
                kept = true;
                TOutputDefaults defaults(*options);
                ApplyOutputOptions(*task, *options, defaults);
                if (options->CustomHook) {
                    // One hook per task, whichever output asked for it.
                    TFFmpeg* t = task.get();
                    task->VideoPreprocessor().SetCustomHook([this, t](TFFBaseComponent*, const TBitmapView& bitmap,
                                                                      int frameNumber, int64_t pts, bool& update,
                                                                      bool& stopHook) {
                        CustomHookEntry(*t, bitmap, frameNumber, pts, update, stopHook);
                    });
                }
                if (task->AddOutput(fileName, options->Join) >= 0) {
                    added = true;
                    ApplyNewStreamLines(*task, *options, defaults);
                    return true;
                }
                error = task->LastError();
            }
        } catch (const std::exception& e) {
            error = e.what();
        }
        // The record stays with the task only when its output exists.
        if (kept && !added) task->OutputOptions.pop_back();
    }
    std::lock_guard lock(runMutex_);
    lastError_ = error;
    return false;
}

TAVProbe* TCustomEngineComponent::InputProbe(int taskIndex, int inputIndex) {
    return TaskAt(taskIndex)->InputProbe(inputIndex);
}

int TCustomEngineComponent::TaskCount() const {
    std::lock_guard lock(runMutex_);
    return static_cast<int>(tasks_.size());
}

void TCustomEngineComponent::StartTask(int parallelCount) {
    bool empty = false;
    {
        std::lock_guard lock(runMutex_);
        if (working_) throw std::runtime_error(Format("Cannot %s while working.", "StartTask"));
        finishedCount_ = 0;
        nextTask_ = 0;
        leftToStart_ = static_cast<int>(tasks_.size());
        allDone_ = false;
        threaded_ = parallelCount > 0;
        working_ = true;
        Renumber();
        // A run without tasks has nothing that would end it: it ends now.
        if (tasks_.empty()) allDone_ = empty = true;
    }
    if (empty) {
        EndRun();
        return;
    }
    for (int slots = parallelCount;;) {
        {
            std::lock_guard lock(runMutex_);
            if (leftToStart_ <= 0) break;
        }
        StartNextTask();
        if (parallelCount > 0 && --slots <= 0) break;
    }
}

void TCustomEngineComponent::StartNextTask() {
    std::shared_ptr<TFFmpeg> task;
    bool threaded = false;
    {
        std::lock_guard lock(runMutex_);
        if (leftToStart_ <= 0) return;
        --leftToStart_;
        task = tasks_[nextTask_++];
        threaded = threaded_;
    }
    task->SetProgressInterval(static_cast<int64_t>(progressIntervalMs_) * 1000);
    InstallPreviews(*task);
    const TFFmpeg::TStartResult started = task->Start(threaded, threadPriority_);
    if (started.worker) {
        {
            // Under the run lock, so that a Pause either sees this worker or is seen here.
            std::lock_guard lock(runMutex_);
            if (paused_) task->Pause();
        }
        started.worker->Resume();
    } else if (started.alreadyEnded) {
        // A task that ended in an earlier run or stop never runs again; it still counts and reports.
        TerminateEntry(task.get());
    }
}

void TCustomEngineComponent::Pause() {
    std::lock_guard lock(runMutex_);
    paused_ = true;
    for (const auto& task : tasks_) task->Pause();
}

void TCustomEngineComponent::Resume() {
    std::lock_guard lock(runMutex_);
    paused_ = false;
    for (const auto& task : tasks_) task->Resume();
}

void TCustomEngineComponent::Stop(bool wait) {
    std::vector<std::shared_ptr<TFFmpeg>> tasks;
    {
        std::lock_guard lock(runMutex_);
        leftToStart_ = 0;
        paused_ = false;
        tasks = tasks_;
    }
    for (const auto& task : tasks) task->Stop(wait);
}

void TCustomEngineComponent::RemoveTask(int taskIndex) {
    CheckNotWorking("RemoveTask");
    std::shared_ptr<TFFmpeg> removed;
    {
        std::lock_guard lock(runMutex_);
        if (taskIndex < 0 || taskIndex >= static_cast<int>(tasks_.size()))
            throw std::out_of_range(Format("List index out of bounds (%d)", taskIndex));
        removed = std::move(tasks_[taskIndex]);
        tasks_.erase(tasks_.begin() + taskIndex);
        Renumber();
    }
    // Freed here, outside the lock: a task waits for its threads.
}

void TCustomEngineComponent::ClearTasks() {
    std::vector<std::shared_ptr<TFFmpeg>> tasks;
    {
        std::lock_guard lock(runMutex_);
        if (working_ && !allDone_) throw std::runtime_error(Format("Cannot %s while working.", "ClearTasks"));
        tasks.swap(tasks_);
        lastError_.clear();
        finishedCount_ = 0;
        nextTask_ = -1;
        leftToStart_ = 0;
        threaded_ = false;
        allDone_ = false;
        working_ = false;
        paused_ = false;
    }
    tasks.clear();
}

std::string TCustomEngineComponent::LastErrorMessage() const {
    std::lock_guard lock(runMutex_);
    return lastError_;
}

bool TCustomEngineComponent::Working() const {
    std::lock_guard lock(runMutex_);
    return working_;
}

bool TCustomEngineComponent::AllDone() const {
    std::lock_guard lock(runMutex_);
    return allDone_;
}

void TCustomEngineComponent::Renumber() {
    for (size_t i = 0; i < tasks_.size(); ++i) tasks_[i]->SetTaskIndex(static_cast<int>(i));
}

// ---------------------------------------------------------------------------------------------
// Properties

void TCustomEngineComponent::SetPreview(bool value) {
    if (value)
        previewSwitches_ |= 1;
    else
        previewSwitches_ &= ~1;
    ApplyPreviewSwitches();
}

void TCustomEngineComponent::SetPreviewBitmap(bool value) {
    if (value)
        previewSwitches_ |= 2;
    else
        previewSwitches_ &= ~2;
    ApplyPreviewSwitches();
}

void TCustomEngineComponent::ApplyPreviewSwitches() {
    std::vector<std::shared_ptr<TFFmpeg>> tasks;
    {
        std::lock_guard lock(runMutex_);
        tasks = tasks_;
    }
    for (const auto& task : tasks) task->VideoPreviews().SetFlags(previewSwitches_);
}

void TCustomEngineComponent::SetPreviewerFactory(TPreviewerFactory factory) {
    std::lock_guard lock(handlersMutex_);
    previewerFactory_ = std::move(factory);
}

void TCustomEngineComponent::InstallPreviews(TFFmpeg& task) {
    bool bitmapHandler = false;
    TPreviewerFactory factory;
    {
        std::lock_guard lock(handlersMutex_);
        bitmapHandler = static_cast<bool>(onPreviewBitmap_);
        factory = previewerFactory_;
    }
    // Without an OnPreviewBitmap handler the pictures go to the preview window instead.
    TFFmpeg* t = &task;
    if (bitmapHandler)
        task.VideoPreviews().SetBitmapHandler(
            [this, t](TFFBaseComponent*, const TBitmapView& bitmap, int frameNumber, int64_t pts) {
                PreviewBitmapEntry(*t, bitmap, frameNumber, pts);
            });
    else
        task.VideoPreviews().SetBitmapHandler({});
    task.VideoPreviews().SetPreviewerFactory(std::move(factory));
}

void TCustomEngineComponent::SetProgressInterval(int ms) { progressIntervalMs_ = ms <= 100 ? 100 : ms; }

void TCustomEngineComponent::SetOnCustomHook(TCustomHookEvent handler) {
    std::lock_guard lock(handlersMutex_);
    onCustomHook_ = std::move(handler);
}

void TCustomEngineComponent::SetOnPreviewBitmap(TPreviewBitmapEvent handler) {
    std::lock_guard lock(handlersMutex_);
    onPreviewBitmap_ = std::move(handler);
}

void TCustomEngineComponent::SetOnProgress(TProgressEvent handler) {
    std::lock_guard lock(handlersMutex_);
    onProgress_ = std::move(handler);
}

void TCustomEngineComponent::SetOnTerminate(TTerminateEvent handler) {
    std::lock_guard lock(handlersMutex_);
    onTerminate_ = std::move(handler);
}

// ---------------------------------------------------------------------------------------------
// Entries

void TCustomEngineComponent::InstallEntries(TFFmpeg& task) {
    TFFmpeg* t = &task;  // the task owns these functions: they never outlive it
    task.SetOnProgress([this, t](TFFBaseComponent*, int inputIndex, int frameNumber, int fps, float quality,
                                 float bitRate, int64_t size, int64_t timeUs, int64_t totalUs) {
        ProgressEntry(*t, inputIndex, frameNumber, fps, quality, bitRate, size, timeUs, totalUs);
    });
    task.SetTerminateEntry([this](TFFmpeg& ended) { TerminateEntry(&ended); });
}

void TCustomEngineComponent::CustomHookEntry(TFFmpeg& task, const TBitmapView& bitmap, int frameNumber, int64_t pts,
                                             bool& updateFrame, bool& stopHook) {
    TCustomHookEvent handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = onCustomHook_;
    }
    if (!handler) return;
    std::lock_guard lock(hookLock_);
    hookInfo_ = THookInfo{task.TaskIndex(), bitmap, frameNumber, pts, updateFrame, stopHook};
    handler(this, &hookInfo_);
    updateFrame = hookInfo_.UpdateFrame;
    stopHook = hookInfo_.StopHook;
}

void TCustomEngineComponent::PreviewBitmapEntry(TFFmpeg& task, const TBitmapView& bitmap, int frameNumber,
                                                int64_t pts) {
    TPreviewBitmapEvent handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = onPreviewBitmap_;
    }
    if (!handler) return;
    std::lock_guard lock(previewLock_);
    previewInfo_ = TPreviewInfo{task.TaskIndex(), bitmap, frameNumber, pts};
    if (triggerInMainThread_)
        CallInMainThread([&] { handler(this, previewInfo_); });
    else
        handler(this, previewInfo_);
}

void TCustomEngineComponent::ProgressEntry(TFFmpeg& task, int inputIndex, int frameNumber, int framesPerSecond,
                                           float quality, float bitRateKbps, int64_t outputSize, int64_t outputTime,
                                           int64_t totalTime) {
    TProgressEvent handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = onProgress_;
    }
    if (!handler) return;
    std::lock_guard lock(progressLock_);
    progressInfo_ = TProgressInfo{task.TaskIndex(), inputIndex,  frameNumber, framesPerSecond, quality,
                                  bitRateKbps,      outputSize, outputTime,  totalTime};
    if (triggerInMainThread_)
        CallInMainThread([&] { handler(this, &progressInfo_); });
    else
        handler(this, &progressInfo_);
}

void TCustomEngineComponent::TerminateEntry(TFFmpeg* task) {
    if (!task) {
        EndRun();
        return;
    }
    TTerminateInfo info;
    {
        std::lock_guard lock(terminateLock_);
        terminateInfo_ = TTerminateInfo{task->TaskIndex(), task->Finished(), task->HasError(), task->ErrorText()};
        info = terminateInfo_;
    }
    // Counting goes on whatever the handler does, or the run would never end.
    std::exception_ptr handlerError;
    try {
        DeliverTerminate(info);
    } catch (...) {
        handlerError = std::current_exception();
    }
    bool startNext = false, endRun = false;
    {
        std::lock_guard lock(runMutex_);
        ++finishedCount_;
        if (leftToStart_ < 1) {
            if (finishedCount_ >= static_cast<int>(tasks_.size()) && !allDone_) allDone_ = endRun = true;
        } else if (threaded_) {
            startNext = true;
        }
    }
    if (startNext) StartNextTask();
    if (endRun) EndRun();
    if (handlerError) std::rethrow_exception(handlerError);
}

void TCustomEngineComponent::EndRun() {
    {
        std::lock_guard lock(runMutex_);
        allDone_ = true;
    }
    TTerminateInfo info;
    {
        std::lock_guard lock(terminateLock_);
        terminateInfo_ = TTerminateInfo{-1, true, false, ""};
        info = terminateInfo_;
    }
    DeliverTerminate(info);
}

void TCustomEngineComponent::DeliverTerminate(const TTerminateInfo& info) {
    TTerminateEvent handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = onTerminate_;
    }
    if (!handler) return;
    bool threaded = false;
    {
        std::lock_guard lock(runMutex_);
        threaded = threaded_;
    }
    if (!threaded) {
        handler(this, info);
        return;
    }
    terminateThreads_.Start([this, handler = std::move(handler), info] {
        try {
            handler(this, info);
        } catch (const std::exception& e) {
            TFFLogger::Instance().Log(this, llError, std::string("Error occurs OnTerminate: ") + e.what());
        } catch (...) {
            TFFLogger::Instance().Log(this, llError, "Error occurs OnTerminate");
        }
    });
}
