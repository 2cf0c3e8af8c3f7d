#pragma once
// The process-wide log: engine, probe and player messages and the libraries' own lines.
//
// Threads: every member may be called from any thread. OnLog runs in the main thread (through
// MainThread.h's call, the logging thread waiting) when TriggerEventInMainThread is true, else in
// the logging thread. The logger's own fields are guarded by mutex_; the libraries' per-thread
// line buffers by their own lock (never held while OnLog runs).
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "engine/Types.h"

// Sender, thread id, level, message.
using TLogEvent = std::function<void(TFFBaseComponent* sender, uint32_t threadId, TLogLevel level, const std::string& msg)>;

struct TLogInfo {
    TFFBaseComponent* Sender = nullptr;
    uint32_t ThreadID = 0;
    TLogLevel LogLevel = llInfo;
    std::string LogMsg;
};

// Library number of a level, and the level of a library number.
int LogLevelToLibrary(TLogLevel level);
TLogLevel LibraryToLogLevel(int number);

// Thread id as the log reports it.
uint32_t CurrentThreadID();

class TFFLogger : public TFFBaseComponent {
public:
    // The one logger, created on first use; the constructor is private, so no second one exists.
    static TFFLogger& Instance();

    TLogLevel LogLevel() const;
    // Also pushes the level into the libraries.
    void SetLogLevel(TLogLevel level);
    // A name of the level table (any letter case), or else a library number (text that is not a
    // number reads as 0; the "loglevel" option refuses such text before it gets here).
    void SetLogLevelByName(const std::string& text);

    bool TriggerEventInMainThread() const;
    void SetTriggerEventInMainThread(bool value);

    // Set or clear (empty function) the handler.
    void SetOnLog(TLogEvent handler);
    bool HasOnLog() const;

    // The level test for engine messages.
    bool Passes(TLogLevel level) const;
    void Log(TFFBaseComponent* sender, TLogLevel level, const std::string& msg);
    void LogFmt(TFFBaseComponent* sender, TLogLevel level, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

    // Installs the libraries' log callback and pushes the current level into them. Idempotent.
    void HookLibraryLog();

    // Data of the last delivered event.
    TLogInfo LastLogInfo() const;

    // The libraries' callback (public for tests): buffers per thread, delivers whole lines.
    static void LibraryLogCallback(void* avcl, int level, const char* fmt, va_list vl);
    // Threads with an unfinished library line.
    static size_t PendingLibraryThreads();

private:
    TFFLogger();
    void Deliver(TFFBaseComponent* sender, uint32_t threadId, TLogLevel level, const std::string& msg);

    mutable std::mutex mutex_;  // guards every field below
    TLogLevel level_ = llInfo;
    bool triggerInMainThread_ = true;
    TLogEvent onLog_;
    TLogInfo lastInfo_;
};

// While it lives, keeps the libraries' error lines of the thread that made it, whatever the log
// level and whether or not a handler is set, so that a failed library call can tell why.
// Captures nest: the innermost one of a thread gets the lines.
class TLibraryErrorCapture {
public:
    TLibraryErrorCapture();
    ~TLibraryErrorCapture();
    TLibraryErrorCapture(const TLibraryErrorCapture&) = delete;
    TLibraryErrorCapture& operator=(const TLibraryErrorCapture&) = delete;

    // The non-empty lines so far, trimmed and joined by " ".
    std::string Text() const;

private:
    friend class TFFLogger;
    TLibraryErrorCapture* outer_;
    std::string raw_;
};
