#pragma once
// Runs a batch of the job list through the engine: Start queues one task per checked row and
// starts the engine with one task at a time; the handlers turn the engine's progress and
// termination events into the rows' "Progress" cells and the progress view; Stop, Pause and
// Resume pass on to the engine. What happens after the last task (opening the output folder,
// powering off) goes through injectable functions.
//
// Threads: every member runs on the GUI thread (quillmar-cli: its main thread), except
// CCAVCCustomHook, which the engine calls on its worker threads. The engine's terminate threads
// hand their events to the GUI thread through CallInMainThread, so the handlers run one at a time
// there. The hook reads only the per-task picture records, each behind its own mutex; the tables
// beside them (TaskRows) change only in Start, while no task runs.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/PictureEffects.h"
#include "engine/EngineRecords.h"

class TCustomEngineComponent;
class TJobList;
class TAppSettings;
class TIniStore;
class IUserPrompt;

inline constexpr const char* kMsgSelectFile = "Please select a file by clicking the check box!";

// What the progress window shows of the running task.
struct TProgressTexts {
    int Percent = 0;       // 0..100; 0 while the total time is unknown
    std::string Time;      // "12 Second"
    std::string Length;    // "60 Second", or "" when unknown
    std::string Size;      // "345 kb"
    std::string Task;      // "[1/3]"
    std::string File;      // the source, shortened to at most 50 characters
};

class IProgressView {
public:
    virtual ~IProgressView() = default;
    virtual void ShowProgress(const TProgressTexts& texts) = 0;
    virtual void SetBar(int percent) = 0;
    virtual bool OpenFolderAfterConversion() const = 0;
    virtual bool ShutDownAfterConversion() const = 0;
    virtual void Close() = 0;
};

// A source that the engine refused while queuing, with the engine's reason.
struct TRefusedSource {
    int Row = 0;
    std::string Message;
};

// The progress window's file label: the path itself up to 50 characters, else its first 44
// characters, ".." and its extension (with the point).
std::string ShortFileLabel(const std::string& path);
// Engine priority for a stored "priority" (0 idle, 1 normal, 2 lower, 3 lowest); false outside 0..3.
bool PriorityOfSetting(int value, TThreadPriority& priority);

class TBatchControl {
public:
    TBatchControl(TCustomEngineComponent& engine, TJobList& jobs, TAppSettings& settings, const TIniStore& formatFile,
                  IUserPrompt& prompt, IProgressView& view);
    ~TBatchControl();
    TBatchControl(const TBatchControl&) = delete;
    TBatchControl& operator=(const TBatchControl&) = delete;

    // Queues the checked rows and starts the engine. False (after the warning) when no row is
    // checked, or when no source could be queued. Throws what building the options throws,
    // before anything starts.
    bool Start();
    void Stop();
    void Pause();
    void Resume();

    // Row of the job list for each engine task index of the current batch.
    const std::vector<int>& TaskRows() const { return taskRows_; }
    // Destination of each engine task index of the current batch.
    const std::vector<std::string>& Destinations() const { return destinations_; }
    const std::vector<TRefusedSource>& Refused() const { return refused_; }
    bool Running() const { return running_; }

    // The handlers, on the GUI thread (the engine's events are routed here by the constructor).
    void HandleProgress(const TProgressInfo& info);
    void HandleTerminate(const TTerminateInfo& info);
    // The engine's OnCustomHook, on the task's worker thread: decorates the frame with the picture
    // settings of the task's job. A decoration that fails throws, so the engine logs it and keeps
    // the frame as decoded.
    void CCAVCCustomHook(TFFBaseComponent* Sender, PHookInfo AHookInfo);
    // After the GUI changed a row's picture settings during a batch: its task decorates with them
    // from the next frame on. (A job that needed no decoration at Start has no hook to change.)
    void PictureSettingsChanged(int row);

    // After the last task completed; defaults: open the folder with xdg-open, power off via systemctl.
    std::function<void(const std::string& folder)> OpenFolder;
    std::function<void()> ShutdownComputer;
    // Every task's end as it is handled (the command line reports from here).
    std::function<void(const TTerminateInfo& info, int row)> OnTaskEnded;
    // The batch has ended and the engine's tasks are cleared.
    std::function<void()> OnBatchEnded;
    // Tasks the engine runs at once; set before Start.
    int ParallelTasks = 1;

private:
    // What the hook of one task works with: the job's settings as of Start (or the last change)
    // and the decorator that keeps the tables and the watermark picture between frames.
    struct TTaskPicture {
        std::mutex mutex;
        PictureSettings settings;  // guarded by mutex
        TPictureDecorator decorator;  // guarded by mutex
    };

    void FinishBatch();

    TCustomEngineComponent& engine_;
    TJobList& jobs_;
    TAppSettings& settings_;
    const TIniStore& formatFile_;
    IUserPrompt& prompt_;
    IProgressView& view_;
    std::vector<int> taskRows_;
    std::vector<std::string> destinations_;
    std::vector<std::unique_ptr<TTaskPicture>> pictures_;  // by task index; null when the task has no hook
    std::vector<TRefusedSource> refused_;
    int tasksReported_ = 0;
    int highestSeen_ = -1;  // highest task index heard of: tasks up to it have started
    bool runEnded_ = false;
    bool stopRequested_ = false;
    bool running_ = false;
};
