#include "engine/MainThread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace {
std::shared_ptr<IMainThreadDispatcher>& InstalledDispatcher() {
    static std::shared_ptr<IMainThreadDispatcher> d = std::make_shared<TSynchronousDispatcher>();
    return d;
}
}  // namespace

IMainThreadDispatcher& MainThreadDispatcher() { return *InstalledDispatcher(); }

void SetMainThreadDispatcher(std::shared_ptr<IMainThreadDispatcher> dispatcher) {
    InstalledDispatcher() = dispatcher ? std::move(dispatcher) : std::make_shared<TSynchronousDispatcher>();
}

struct TQueueDispatcher::State {
    struct Call {
        std::function<void()> fn;
        bool done = false;
        std::exception_ptr error;  // what fn threw, rethrown in the caller
    };
    std::thread::id owner = std::this_thread::get_id();
    std::mutex mutex;
    std::condition_variable queued;  // a call was queued, or Wake
    std::condition_variable served;  // a call finished
    std::deque<Call*> calls;         // guarded by mutex; each Call lives on its caller's stack
    bool woken = false;              // guarded by mutex
};

TQueueDispatcher::TQueueDispatcher() : state_(std::make_unique<State>()) {}
TQueueDispatcher::~TQueueDispatcher() = default;

bool TQueueDispatcher::IsMainThread() const { return std::this_thread::get_id() == state_->owner; }

void TQueueDispatcher::CallInMainThread(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    State::Call call{fn, false, nullptr};
    std::unique_lock lock(state_->mutex);
    state_->calls.push_back(&call);
    state_->queued.notify_all();
    state_->served.wait(lock, [&] { return call.done; });
    if (call.error) std::rethrow_exception(call.error);
}

void TQueueDispatcher::ProcessPendingMessages() {
    std::unique_lock lock(state_->mutex);
    while (!state_->calls.empty()) {
        State::Call* call = state_->calls.front();
        state_->calls.pop_front();
        lock.unlock();
        try {
            call->fn();
        } catch (...) {
            // The caller waits for this call: it gets the exception, the main thread goes on.
            call->error = std::current_exception();
        }
        lock.lock();
        call->done = true;
        state_->served.notify_all();
    }
}

bool TQueueDispatcher::ServeUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ProcessPendingMessages();
        if (pred()) return true;
        std::unique_lock lock(state_->mutex);
        auto ready = [&] { return !state_->calls.empty() || state_->woken; };
        // Short waits: pred may change without a Wake (a worker that ends without a call).
        const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return pred();
        state_->queued.wait_until(lock, timeoutMs >= 0 ? std::min(slice, deadline) : slice, ready);
        state_->woken = false;
    }
}

void TQueueDispatcher::Wake() {
    std::lock_guard lock(state_->mutex);
    state_->woken = true;
    state_->queued.notify_all();
}
