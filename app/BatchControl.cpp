#include "app/BatchControl.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "app/ConversionOptions.h"
#include "app/FormatCatalogue.h"
#include "app/GlobalUnit.h"
#include "app/JobList.h"
#include "app/OutputNames.h"
#include "app/ParameterLists.h"
#include "engine/EngineComponent.h"
#include "engine/MainThread.h"
#include "probe/AVProbe.h"

extern char** environ;

namespace {

// Runs a program with its arguments, no shell in between, and waits for it.
void RunProgram(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0) waitpid(pid, nullptr, 0);
}

std::string SecondsText(int64_t us) { return std::to_string(us / 1000000) + " Second"; }

}  // namespace

std::string ShortFileLabel(const std::string& path) {
    if (path.size() <= 50) return path;
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    const std::string ext = (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? path.substr(dot) : "";
    return path.substr(0, 44) + ".." + ext;
}

bool PriorityOfSetting(int value, TThreadPriority& priority) {
    static constexpr TThreadPriority kMap[] = {tpIdle, tpNormal, tpLower, tpLowest};
    if (value < 0 || value > 3) return false;
    priority = kMap[value];
    return true;
}

TBatchControl::TBatchControl(TCustomEngineComponent& engine, TJobList& jobs, TAppSettings& settings,
                             const TIniStore& formatFile, IUserPrompt& prompt, IProgressView& view)
    : engine_(engine), jobs_(jobs), settings_(settings), formatFile_(formatFile), prompt_(prompt), view_(view) {
    OpenFolder = [](const std::string& folder) { RunProgram({"xdg-open", folder}); };
    ShutdownComputer = [] { RunProgram({"systemctl", "poweroff"}); };
    engine_.SetTriggerEventInMainThread(true);
    engine_.SetOnProgress([this](TFFBaseComponent*, PProgressInfo info) {
        if (info) HandleProgress(*info);
    });
    // Terminate threads may overlap: each event is handled whole on the main thread, in turn.
    engine_.SetOnTerminate([this](TFFBaseComponent*, const TTerminateInfo& info) {
        CallInMainThread([this, info] { HandleTerminate(info); });
    });
    engine_.SetOnCustomHook([this](TFFBaseComponent* sender, PHookInfo info) { CCAVCCustomHook(sender, info); });
}

TBatchControl::~TBatchControl() {
    if (running_) engine_.Stop(true);
    engine_.SetOnProgress({});
    engine_.SetOnTerminate({});
    engine_.SetOnCustomHook({});
}

bool TBatchControl::Start() {
    if (running_) return false;
    TThreadPriority priority{};
    if (PriorityOfSetting(settings_.Priority(), priority)) engine_.SetThreadPriority(priority);

    std::vector<int> checked;
    for (int row = 0; row < jobs_.Count(); ++row)
        if (jobs_.Row(row).Checked) checked.push_back(row);
    if (checked.empty()) {
        prompt_.ShowMessageBox("Warning", kMsgSelectFile);
        return false;
    }

    taskRows_.clear();
    taskRows_.reserve(checked.size());
    destinations_.clear();
    pictures_.clear();
    refused_.clear();
    tasksReported_ = 0;
    highestSeen_ = -1;
    runEnded_ = stopRequested_ = false;
    engine_.ClearTasks();

    const int code = settings_.FormatCode();
    const std::string section = FormatSection(code);
    const std::string suffix = "." + formatFile_.ReadString(section, "FileExt", "mp4");
    const std::string zoom = settings_.Store().ReadString(section, "parazoom", "lbox");
    std::set<std::string> reserved;
    try {
        for (const int row : checked) {
            TJobRow& job = jobs_.Row(row);
            TInputOptions input;
            InitInputOptions(input);
            input.FileName = job.Caption;
            TOutputOptions output;
            InitOutputOptions(output);
            // Facts come from this source only: a probe that does not open leaves them unknown
            // instead of carrying over another file's.
            TCustomAVProbe& probe = engine_.Probe();
            const bool opened = probe.LoadFile(job.Caption);
            const TSourceFacts facts = opened ? SourceFactsOf(probe) : TSourceFacts{};
            if (opened) probe.Close();
            TlvFilesRecord& record = *job.Record;
            if (record.TrimStart >= 0) input.StartTime = record.TrimStart;
            if (record.TrimLength > 0) output.RecordingTime = record.TrimLength;
            const std::string destination = BuildOutputName(settings_, prompt_, job.Caption, suffix, reserved);
            record.Zoom = zoom;
            output.FileName = destination;
            BuildConversionOptions(record, code, output, facts, input, formatFile_, settings_.Store(), prompt_);

            const int task = engine_.AddTask(job.Caption, &input);
            // Only accepted tasks get a table entry, so the engine's indices keep naming their rows.
            if (task < 0 || task != static_cast<int>(taskRows_.size())) {
                if (task >= 0) engine_.RemoveTask(task);
                refused_.push_back({row, engine_.LastErrorMessage()});
                continue;
            }
            PictureSettings picture = record.Picture();
            output.CustomHook = picture.NeedsDecoration();
            if (!engine_.SetOutputFile(task, destination, &output)) {
                refused_.push_back({row, engine_.LastErrorMessage()});
                engine_.RemoveTask(task);
                continue;
            }
            taskRows_.push_back(row);
            destinations_.push_back(destination);
            pictures_.emplace_back();
            if (output.CustomHook) {
                pictures_.back() = std::make_unique<TTaskPicture>();
                pictures_.back()->settings = std::move(picture);
            }
            reserved.insert(destination);
        }
    } catch (...) {
        engine_.ClearTasks();
        taskRows_.clear();
        destinations_.clear();
        pictures_.clear();
        throw;
    }
    if (taskRows_.empty()) {
        engine_.ClearTasks();
        return false;
    }
    running_ = true;
    engine_.StartTask(std::max(1, ParallelTasks));
    return true;
}

void TBatchControl::Stop() {
    if (!running_) return;
    stopRequested_ = true;
    engine_.Stop(true);
}

void TBatchControl::Pause() {
    if (running_) engine_.Pause();
}

void TBatchControl::Resume() {
    if (running_) engine_.Resume();
}

void TBatchControl::HandleProgress(const TProgressInfo& info) {
    if (!running_ || info.TaskIndex < 0 || info.TaskIndex >= static_cast<int>(taskRows_.size())) return;
    highestSeen_ = std::max(highestSeen_, info.TaskIndex);
    TJobRow& row = jobs_.Row(taskRows_[static_cast<size_t>(info.TaskIndex)]);
    TProgressTexts texts;
    // An unknown total time (no duration) shows no percentage rather than dividing by zero.
    if (info.TotalTime > 0)
        texts.Percent = static_cast<int>(std::clamp<int64_t>(info.OutputTime * 100 / info.TotalTime, 0, 100));
    texts.Time = SecondsText(info.OutputTime);
    texts.Length = info.TotalTime > 0 ? SecondsText(info.TotalTime) : "";
    texts.Size = std::to_string(info.OutputSize / 1000) + " kb";
    texts.Task = "[" + std::to_string(info.TaskIndex + 1) + "/" + std::to_string(taskRows_.size()) + "]";
    texts.File = ShortFileLabel(row.Caption);
    row.Progress = std::to_string(texts.Percent) + "%";
    view_.SetBar(texts.Percent);
    view_.ShowProgress(texts);
}

void TBatchControl::HandleTerminate(const TTerminateInfo& info) {
    if (!running_) return;
    const int tasks = static_cast<int>(taskRows_.size());
    if (info.TaskIndex < 0) {
        runEnded_ = true;
    } else if (info.TaskIndex < tasks) {
        ++tasksReported_;
        highestSeen_ = std::max(highestSeen_, info.TaskIndex);
        const int row = taskRows_[static_cast<size_t>(info.TaskIndex)];
        // A task that completed its loop but failed while closing its file has not succeeded.
        if (info.Completed && !info.Failed) {
            jobs_.Row(row).Progress = "100%";
            view_.SetBar(100);
            if (info.TaskIndex + 1 == tasks) {
                if (view_.OpenFolderAfterConversion() && OpenFolder) OpenFolder(settings_.OutPutDir());
                if (view_.ShutDownAfterConversion() && ShutdownComputer) ShutdownComputer();
            }
        }
        if (OnTaskEnded) OnTaskEnded(info, row);
    }
    // The run's end may be handled before the last task's: the batch ends once every task that
    // will report has reported. After a stop, tasks that never started report nothing; tasks run
    // in order, so those are the ones after the highest index heard of.
    const int expected = stopRequested_ ? std::min(tasks, highestSeen_ + 1) : tasks;
    if (runEnded_ && tasksReported_ >= expected) FinishBatch();
}

void TBatchControl::CCAVCCustomHook(TFFBaseComponent*, PHookInfo AHookInfo) {
    if (!AHookInfo || AHookInfo->TaskIndex < 0) return;
    const auto task = static_cast<size_t>(AHookInfo->TaskIndex);
    if (task >= pictures_.size() || !pictures_[task]) return;
    TTaskPicture& picture = *pictures_[task];
    std::lock_guard lock(picture.mutex);
    const TDecorateResult result = picture.decorator.Decorate(AHookInfo->Bitmap, picture.settings);
    if (!result.Ok()) throw std::runtime_error(result.errorText);
}

void TBatchControl::PictureSettingsChanged(int row) {
    for (size_t task = 0; task < taskRows_.size() && task < pictures_.size(); ++task) {
        if (taskRows_[task] != row || !pictures_[task]) continue;
        PictureSettings settings = jobs_.Row(row).Record->Picture();
        std::lock_guard lock(pictures_[task]->mutex);
        pictures_[task]->settings = std::move(settings);
    }
}

void TBatchControl::FinishBatch() {
    running_ = false;
    view_.Close();
    engine_.ClearTasks();
    if (OnBatchEnded) OnBatchEnded();
}
