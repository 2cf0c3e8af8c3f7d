// quillmar-cli info FILE...: the probe's description of each file on stdout. A file that cannot
// be opened gives one line on stderr with the reason, followed by the libraries' own explanation
// (indented); the command goes on with the next file and exits 1 when any file failed.
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cli/CliCommand.h"
#include "engine/FFmpegLoader.h"
#include "engine/FFmpegLogger.h"
#include "probe/AVProbe.h"

namespace {

// Collects the libraries' warnings and errors while one file is probed. The libraries may log
// from their own threads, so the list has a lock.
class LibraryLineCollector {
public:
    LibraryLineCollector() {
        TFFLogger& logger = TFFLogger::Instance();
        logger.SetTriggerEventInMainThread(false);
        logger.SetLogLevel(llWarning);
        logger.SetOnLog([this, &logger](TFFBaseComponent* sender, uint32_t, TLogLevel level, const std::string& msg) {
            // The probe's own messages are reported as its LastErrorMessage; keep library lines only.
            if (sender != &logger || level > llWarning) return;
            Add(msg);
        });
        logger.HookLibraryLog();
    }
    ~LibraryLineCollector() { TFFLogger::Instance().SetOnLog({}); }
    LibraryLineCollector(const LibraryLineCollector&) = delete;
    LibraryLineCollector& operator=(const LibraryLineCollector&) = delete;

    std::vector<std::string> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    void Add(std::string msg) {
        // "[mov,mp4 @ 0x5581...]text": the address means nothing to a user.
        if (!msg.empty() && msg[0] == '[') {
            const size_t close = msg.find(']');
            if (close != std::string::npos) msg.erase(0, close + 1);
        }
        const size_t start = msg.find_first_not_of(' ');
        if (start == std::string::npos) return;
        msg.erase(0, start);
        std::lock_guard lock(mutex_);
        if (lines_.empty() || lines_.back() != msg) lines_.push_back(std::move(msg));
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;  // guarded by mutex_
};

int RunInfo(const std::vector<std::string>& files) {
    if (files.empty()) {
        std::fprintf(stderr, "usage: quillmar-cli info FILE...\n");
        return 2;
    }
    std::string error;
    if (!LoadLibraries("", EngineLibraries(), error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    LibraryLineCollector collector;
    int failed = 0;
    bool first = true;
    for (const std::string& file : files) {
        TAVProbe probe;
        collector.Take();
        if (!probe.LoadFile(file)) {
            ++failed;
            std::fprintf(stderr, "%s\n", probe.LastErrorMessage().c_str());
            for (const std::string& line : collector.Take()) std::fprintf(stderr, "  %s\n", line.c_str());
            continue;
        }
        const std::string text = probe.InfoText();
        collector.Take();
        std::printf("%s%s\n", first ? "" : "\n", text.c_str());
        first = false;
    }
    std::fflush(stdout);
    return failed ? 1 : 0;
}

CliRegistrar reg("info", "info FILE...                 probe each file and print its description", RunInfo);

}  // namespace
