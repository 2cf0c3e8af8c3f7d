#include "engine/TaskThreads.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "engine/MainThread.h"

void ApplyThreadPriority(TThreadPriority priority) {
    switch (priority) {
        case tpIdle: {
            sched_param param{};
            param.sched_priority = 0;
            pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
            break;
        }
        case tpLowest: setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19); break;
        case tpLower: setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10); break;
        default: break;
    }
}

int CurrentThreadNice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

bool CurrentThreadIsIdleClass() {
    int policy = 0;
    sched_param param{};
    return pthread_getschedparam(pthread_self(), &policy, &param) == 0 && policy == SCHED_IDLE;
}

// ---------------------------------------------------------------------------------------------

void TPauseGate::Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
}

void TPauseGate::Release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    released_.notify_all();
}

bool TPauseGate::Held() const {
    std::lock_guard lock(mutex_);
    return held_;
}

void TPauseGate::Wait() {
    std::unique_lock lock(mutex_);
    if (!held_) return;
    waiting_ = true;
    released_.wait(lock, [this] { return !held_; });
    waiting_ = false;
}

bool TPauseGate::Waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

// ---------------------------------------------------------------------------------------------

void WaitServingMainThread(const std::function<bool()>& done) {
    IMainThreadDispatcher& dispatcher = MainThreadDispatcher();
    const bool serve = dispatcher.IsMainThread();
    for (;;) {
        if (serve) dispatcher.ProcessPendingMessages();
        if (done()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---------------------------------------------------------------------------------------------

TConvertThread::TConvertThread(TThreadPriority priority, std::function<void()> body)
    : priority_(priority), body_(std::move(body)) {}

TConvertThread::~TConvertThread() { Join(); }

void TConvertThread::Resume() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    thread_ = std::thread([priority = priority_, body = body_] {
        ApplyThreadPriority(priority);
        body();
    });
}

void TConvertThread::Join() {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

// ---------------------------------------------------------------------------------------------

TDoTerminateThreads::~TDoTerminateThreads() { JoinAll(); }

void TDoTerminateThreads::Start(std::function<void()> fn) {
    Reap();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    items_.push_back(TItem{std::thread([fn = std::move(fn), done] {
                               fn();
                               done->store(true);
                           }),
                           done});
}

void TDoTerminateThreads::Reap() {
    std::list<TItem> ended;
    {
        std::lock_guard lock(mutex_);
        for (auto it = items_.begin(); it != items_.end();) {
            if (it->done->load())
                ended.splice(ended.end(), items_, it++);
            else
                ++it;
        }
    }
    // A thread whose flag is set has only its return left: the join is short.
    for (TItem& item : ended) item.thread.join();
}

void TDoTerminateThreads::JoinAll() {
    std::list<TItem> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(items_);
    }
    const std::thread::id self = std::this_thread::get_id();
    for (auto it = all.begin(); it != all.end();) {
        if (it->thread.get_id() == self) {
            it->thread.detach();
            it = all.erase(it);
        } else {
            ++it;
        }
    }
    WaitServingMainThread([&] {
        for (const TItem& item : all)
            if (!item.done->load()) return false;
        return true;
    });
    for (TItem& item : all) item.thread.join();
}

size_t TDoTerminateThreads::Count() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}
