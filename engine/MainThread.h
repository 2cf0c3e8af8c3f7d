#pragma once
// The main-thread call and the pending-message pump, behind an interface the GUI or a test
// installs. The engine, probe and player never see Qt; they reach the GUI thread only here.
#include <functional>
#include <memory>

class IMainThreadDispatcher {
public:
    virtual ~IMainThreadDispatcher() = default;
    virtual bool IsMainThread() const = 0;
    // Runs fn in the main thread and waits for it to finish. Called from the main thread, runs it at once.
    virtual void CallInMainThread(const std::function<void()>& fn) = 0;
    // Serves every call waiting for the main thread, then returns. Only the main thread calls this.
    virtual void ProcessPendingMessages() = 0;
};

// The dispatcher in force. Until one is installed, a synchronous dispatcher runs every call in
// the calling thread (so handlers must be thread-safe there).
IMainThreadDispatcher& MainThreadDispatcher();
// Installs a dispatcher (nullptr restores the synchronous one). Not thread-safe: call it at
// start-up or from the main thread while no worker runs.
void SetMainThreadDispatcher(std::shared_ptr<IMainThreadDispatcher> dispatcher);

// Shorthands.
inline void CallInMainThread(const std::function<void()>& fn) { MainThreadDispatcher().CallInMainThread(fn); }
inline void ProcessPendingMessages() { MainThreadDispatcher().ProcessPendingMessages(); }

// Runs every call in the calling thread; IsMainThread is always true.
class TSynchronousDispatcher : public IMainThreadDispatcher {
public:
    bool IsMainThread() const override { return true; }
    void CallInMainThread(const std::function<void()>& fn) override { fn(); }
    void ProcessPendingMessages() override {}
};

// A queue served by the thread that created it (the CLI's and the tests' main thread): calls from
// other threads wait until that thread runs ProcessPendingMessages or ServeUntil. An exception a
// queued call throws is rethrown in the thread that made the call.
class TQueueDispatcher : public IMainThreadDispatcher {
public:
    TQueueDispatcher();
    ~TQueueDispatcher() override;
    bool IsMainThread() const override;
    void CallInMainThread(const std::function<void()>& fn) override;
    void ProcessPendingMessages() override;
    // Serves calls until pred() is true, or until timeoutMs passes (-1: no limit). Returns pred().
    bool ServeUntil(const std::function<bool()>& pred, int timeoutMs = -1);
    // Wakes a ServeUntil so that it re-tests its predicate.
    void Wake();

private:
    struct State;
    std::unique_ptr<State> state_;
};
