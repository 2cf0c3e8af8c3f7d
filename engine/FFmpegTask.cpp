#include "engine/FFmpegTask.h"

#include "engine/FFmpegLogger.h"
#include "engine/TranscodeState.h"

TFFmpeg::TFFmpeg() = default;

TFFmpeg::~TFFmpeg() {
    // The threads use this object up to their last step: they end before anything is freed.
    if (worker_) worker_->Join();
    terminateThread_.JoinAll();
}

TFFmpeg::TStartResult TFFmpeg::Start(bool threaded, TThreadPriority priority) {
    std::string failure;
    {
        std::lock_guard lock(stateMutex_);
        if (terminated_) return {nullptr, true};
        if (running_ || terminating_) return {};
        if (OutputFileCount() == 0)
            failure = "At least one output file must be specified";
        else if (InputFileCount() == 0)
            failure = "At least one input file must be specified";
        if (!failure.empty()) {
            terminating_ = true;
            terminateFinished_.Reset();
        } else {
            running_ = true;
            stopRequested_ = false;
            finished_ = false;
            terminated_ = false;
            if (threaded) {
                runFinished_.Reset();  // before the thread exists, so that a Stop(true) right now waits
                worker_ = std::make_unique<TConvertThread>(priority, [this] {
                    Run();
                    runFinished_.Set();
                });
                hasWorker_ = true;
                return {worker_.get(), false};
            }
        }
    }
    if (!failure.empty()) {
        Guarded([this] { Cleanup(); });
        RecordError(failure);
        Guarded([this] { Terminate(); });
        terminateFinished_.Set();
        return {};
    }
    Run();
    return {};
}

void TFFmpeg::Run() {
    finished_ = false;
    Guarded([this] { Transcode(); });
    Guarded([this] {
        if (transcode_) transcode_->FreeRunTables();
        TTranscoder::CloseEncoders(*this);
    });
    Guarded([this] { TTranscoder::CloseDecoders(*this); });
    Guarded([this] { Cleanup(); });
    Guarded([this] { Terminate(); });
}

void TFFmpeg::Terminate() {
    {
        std::lock_guard lock(stateMutex_);
        running_ = false;
        terminated_ = true;
        terminating_ = false;
        hasWorker_ = false;  // the worker object stays until the task is freed: it may be this thread
    }
    if (terminateEntry_) terminateEntry_(*this);
}

void TFFmpeg::Stop(bool wait) {
    std::unique_lock lock(stateMutex_);
    if (running_) {
        stopRequested_ = true;
        lock.unlock();
        pauseGate_.Release();
        if (wait) WaitServingMainThread([this] { return runFinished_.IsSet(); });
        return;
    }
    if (terminated_) return;
    if (!terminating_) {
        terminating_ = true;
        terminateFinished_.Reset();
        terminateThread_.Start([this] {
            Guarded([this] { Terminate(); });
            terminateFinished_.Set();
        });
    }
    lock.unlock();
    if (wait) WaitServingMainThread([this] { return terminateFinished_.IsSet(); });
}

void TFFmpeg::Pause() {
    std::lock_guard lock(stateMutex_);
    if (hasWorker_) pauseGate_.Hold();
}

void TFFmpeg::Resume() { pauseGate_.Release(); }

bool TFFmpeg::Running() const {
    std::lock_guard lock(stateMutex_);
    return running_;
}

bool TFFmpeg::HasWorker() const {
    std::lock_guard lock(stateMutex_);
    return hasWorker_;
}

std::string TFFmpeg::ErrorText() const {
    std::lock_guard lock(stateMutex_);
    return errorText_;
}

void TFFmpeg::Guarded(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception& e) {
        RecordError(e.what());
    } catch (...) {
        RecordError("Unknown error");
    }
}

void TFFmpeg::RecordError(const std::string& message) {
    TFFLogger::Instance().Log(this, llQuiet, message);
    std::lock_guard lock(stateMutex_);
    errorOccurred_ = true;
    errorText_ = message;
}
