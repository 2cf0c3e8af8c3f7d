#include "engine/ManualEvent.h"

#include <algorithm>
#include <chrono>

#include "engine/MainThread.h"

void TManualEvent::Set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cond_.notify_all();
}

void TManualEvent::Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool TManualEvent::IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

bool TManualEvent::Wait(int timeoutMs) {
    const bool serve = MainThreadDispatcher().IsMainThread();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (serve) ProcessPendingMessages();
        std::unique_lock lock(mutex_);
        // Short slices in the main thread, so that calls from other threads are served.
        const auto slice = serve ? std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5))
                                 : deadline;
        if (cond_.wait_until(lock, slice, [&] { return set_; })) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}
