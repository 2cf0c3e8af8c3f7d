#include "engine/FFmpegLogger.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <map>
#include <vector>

#include "engine/FFUtils.h"
#include "engine/MainThread.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {
// The libraries' text of one call is cut to this many characters (line end kept).
constexpr size_t kLibraryMessageLimit = 2047;

const char* const kLevelNames[] = {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"};

// Pending text of each thread that logged through the libraries.
struct LineBuffers {
    std::mutex mutex;
    std::map<uint32_t, std::string> pending;
};
LineBuffers& Buffers() {
    static LineBuffers b;
    return b;
}

// The innermost live capture of this thread.
thread_local TLibraryErrorCapture* tCapture = nullptr;
}  // namespace

int LogLevelToLibrary(TLogLevel level) { return (static_cast<int>(level) - 1) * 8; }

TLogLevel LibraryToLogLevel(int number) {
    const int v = number / 8 + 1;
    return static_cast<TLogLevel>(std::clamp(v, static_cast<int>(llQuiet), static_cast<int>(llDebug)));
}

uint32_t CurrentThreadID() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

TFFLogger& TFFLogger::Instance() {
    static TFFLogger logger;
    return logger;
}

TFFLogger::TFFLogger() : level_(LibraryToLogLevel(av_log_get_level())) {}

TLogLevel TFFLogger::LogLevel() const {
    std::lock_guard lock(mutex_);
    return level_;
}

void TFFLogger::SetLogLevel(TLogLevel level) {
    {
        std::lock_guard lock(mutex_);
        level_ = level;
    }
    av_log_set_level(LogLevelToLibrary(level));
}

void TFFLogger::SetLogLevelByName(const std::string& text) {
    for (int i = 0; i <= llDebug; ++i) {
        if (strcasecmp(text.c_str(), kLevelNames[i]) == 0) {
            SetLogLevel(static_cast<TLogLevel>(i));
            return;
        }
    }
    SetLogLevel(LibraryToLogLevel(static_cast<int>(std::strtol(text.c_str(), nullptr, 10))));
}

bool TFFLogger::TriggerEventInMainThread() const {
    std::lock_guard lock(mutex_);
    return triggerInMainThread_;
}

void TFFLogger::SetTriggerEventInMainThread(bool value) {
    std::lock_guard lock(mutex_);
    triggerInMainThread_ = value;
}

void TFFLogger::SetOnLog(TLogEvent handler) {
    std::lock_guard lock(mutex_);
    onLog_ = std::move(handler);
}

bool TFFLogger::HasOnLog() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(onLog_);
}

bool TFFLogger::Passes(TLogLevel level) const {
    std::lock_guard lock(mutex_);
    if (!onLog_) return false;
    return level <= level_ || (level == llVerbose && level_ != llQuiet);
}

void TFFLogger::Log(TFFBaseComponent* sender, TLogLevel level, const std::string& msg) {
    if (Passes(level)) Deliver(sender, CurrentThreadID(), level, msg);
}

void TFFLogger::LogFmt(TFFBaseComponent* sender, TLogLevel level, const char* fmt, ...) {
    if (!Passes(level)) return;
    va_list args;
    va_start(args, fmt);
    std::string msg = VFormat(fmt, args);
    va_end(args);
    Deliver(sender, CurrentThreadID(), level, msg);
}

void TFFLogger::Deliver(TFFBaseComponent* sender, uint32_t threadId, TLogLevel level, const std::string& msg) {
    TLogEvent handler;
    bool inMain;
    {
        std::lock_guard lock(mutex_);
        handler = onLog_;
        inMain = triggerInMainThread_;
        lastInfo_ = TLogInfo{sender, threadId, level, msg};
    }
    if (!handler) return;
    if (inMain)
        CallInMainThread([&] { handler(sender, threadId, level, msg); });
    else
        handler(sender, threadId, level, msg);
}

TLogInfo TFFLogger::LastLogInfo() const {
    std::lock_guard lock(mutex_);
    return lastInfo_;
}

void TFFLogger::HookLibraryLog() {
    av_log_set_callback(&TFFLogger::LibraryLogCallback);
    av_log_set_level(LogLevelToLibrary(LogLevel()));
}

void TFFLogger::LibraryLogCallback(void* avcl, int level, const char* fmt, va_list vl) {
    if (tCapture && level <= AV_LOG_ERROR && tCapture->raw_.size() < kLibraryMessageLimit) {
        va_list copy;
        va_copy(copy, vl);
        tCapture->raw_ += VFormat(fmt, copy);
        va_end(copy);
    }
    if (level > av_log_get_level()) return;
    TFFLogger& logger = Instance();
    if (!logger.HasOnLog()) return;
    std::string text = VFormat(fmt, vl);
    if (text.size() > kLibraryMessageLimit) {
        // Cut, but keep the line end: without it this message and the next would become one line.
        const bool lineEnd = text.back() == '\n';
        text.resize(kLibraryMessageLimit);
        if (lineEnd) text.back() = '\n';
    }
    const uint32_t tid = CurrentThreadID();
    std::vector<std::string> lines;
    {
        LineBuffers& b = Buffers();
        std::lock_guard lock(b.mutex);
        std::string& pending = b.pending[tid];
        if (pending.empty() && avcl) {
            const AVClass* cls = *static_cast<AVClass**>(avcl);
            if (cls) {
                const char* name = cls->item_name ? cls->item_name(avcl) : cls->class_name;
                pending += Format("[%s @ %p]", name ? name : "", avcl);
            }
        }
        pending += text;
        size_t lf;
        while ((lf = pending.find('\n')) != std::string::npos) {
            lines.push_back(pending.substr(0, lf));
            pending.erase(0, lf + 1);
        }
        // A thread that has nothing pending gives its entry up, so ended threads leave nothing behind.
        if (pending.empty()) b.pending.erase(tid);
    }
    for (const std::string& line : lines) logger.Deliver(&logger, tid, LibraryToLogLevel(level), line);
}

size_t TFFLogger::PendingLibraryThreads() {
    LineBuffers& b = Buffers();
    std::lock_guard lock(b.mutex);
    return b.pending.size();
}

TLibraryErrorCapture::TLibraryErrorCapture() : outer_(tCapture) { tCapture = this; }

TLibraryErrorCapture::~TLibraryErrorCapture() { tCapture = outer_; }

std::string TLibraryErrorCapture::Text() const {
    std::string text;
    size_t begin = 0;
    while (begin < raw_.size()) {
        size_t end = raw_.find('\n', begin);
        if (end == std::string::npos) end = raw_.size();
        size_t b = begin, e = end;
        while (b < e && std::isspace(static_cast<unsigned char>(raw_[b]))) ++b;
        while (e > b && std::isspace(static_cast<unsigned char>(raw_[e - 1]))) --e;
        if (e > b) {
            if (!text.empty()) text += ' ';
            text.append(raw_, b, e - b);
        }
        begin = end + 1;
    }
    return text;
}
