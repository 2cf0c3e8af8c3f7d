#pragma once
// A manual-reset event shared by the engine's task threads and the player's threads.
#include <condition_variable>
#include <mutex>

// Stays set until Reset. Any thread may set, reset, test or wait.
class TManualEvent {
public:
    explicit TManualEvent(bool set = false) : set_(set) {}
    void Set();
    void Reset();
    bool IsSet() const;
    // Waits up to timeoutMs for the event; in the main thread it keeps serving main-thread calls
    // meanwhile, so a worker that waits for the main thread cannot deadlock it.
    bool Wait(int timeoutMs);

private:
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    bool set_;  // guarded by mutex_
};
