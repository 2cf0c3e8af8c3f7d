#pragma once
// The threads of the engine component and what they wait on: worker threads (one per running
// task) with their priority, short-lived terminate threads, manual-reset signals and the pause gate
// that holds a worker between packets.
//
// Threads: every class here is safe to use from any thread; each guards its fields with its own
// mutex. Nothing here calls back into the engine while holding that mutex.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/EngineRecords.h"

// Applies the priority to the calling thread: idle -> SCHED_IDLE, lowest -> nice 19, lower -> nice 10;
// normal and above leave the thread as it is (raising needs privileges a desktop program lacks).
// Failures are ignored: the task runs at the priority it has.
void ApplyThreadPriority(TThreadPriority priority);
// The nice value and scheduling policy of the calling thread (for tests and diagnostics).
int CurrentThreadNice();
bool CurrentThreadIsIdleClass();

// Holds a worker at its pause point. Hold and Release come from any thread; the worker calls
// Wait between packets, holding no other lock.
class TPauseGate {
public:
    void Hold();
    void Release();
    bool Held() const;
    // Returns at once unless held; otherwise waits until released.
    void Wait();
    // The worker waits in Wait right now.
    bool Waiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;     // guarded by mutex_
    bool waiting_ = false;  // guarded by mutex_
};

// Waits until done() is true, in steps of 20 ms. On the main thread every step also serves the
// calls workers are waiting to make there, so a worker blocked in such a call can finish.
void WaitServingMainThread(const std::function<bool()>& done);

// A worker thread, created suspended: Resume starts it (once). Its owner joins it when freed; a
// thread freed from inside itself is detached instead.
class TConvertThread {
public:
    TConvertThread(TThreadPriority priority, std::function<void()> body);
    ~TConvertThread();
    TConvertThread(const TConvertThread&) = delete;
    TConvertThread& operator=(const TConvertThread&) = delete;

    void Resume();
    // Waits for the thread's end (nothing when it never started or is the calling thread).
    void Join();

private:
    TThreadPriority priority_;
    std::function<void()> body_;
    std::mutex mutex_;  // guards thread_
    std::thread thread_;
};

// Short-lived threads, each running one function once (terminate threads). The owner waits for all
// of them before it goes; Reap joins those that have ended.
class TDoTerminateThreads {
public:
    TDoTerminateThreads() = default;
    ~TDoTerminateThreads();
    TDoTerminateThreads(const TDoTerminateThreads&) = delete;
    TDoTerminateThreads& operator=(const TDoTerminateThreads&) = delete;

    // Starts fn on a new thread (created running). Ended threads are reaped first.
    void Start(std::function<void()> fn);
    // Waits until every thread has ended (serving main-thread calls when on the main thread) and
    // joins them. A thread calling this is not waited for: it is detached.
    void JoinAll();
    // Threads not yet joined.
    size_t Count() const;

private:
    struct TItem {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void Reap();
    mutable std::mutex mutex_;  // guards items_
    std::list<TItem> items_;
};
