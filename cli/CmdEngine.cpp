// quillmar-cli engine ARGS...: drives one transcoding task with the engine's own option vocabulary,
// positionally, as a transcoder command line does.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cli/CliCommand.h"
#include "engine/CustomFFmpeg.h"
#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"

namespace {
// Options whose value the engine reads as a switch or ignores: they take no argument here.
const std::set<std::string>& SwitchOptions() {
    static const std::set<std::string> names = {
        "an",     "vn",       "sn",          "copyts",     "xerror",     "shortest", "re",        "y",
        "dump",   "hex",      "deinterlace", "intra",      "psnr",       "sameq",    "qphist",    "force_fps",
        "isync",  "loop_input", "vstats",    "newvideo",   "newaudio",   "newsubtitle", "benchmark", "h",
        "L",      "version",  "formats",     "codecs",     "bsfs",       "protocols", "filters"};
    return names;
}

// One step of the command line, in the order given.
struct TEngineStep {
    enum TKind { skOption, skInput, skOutput } kind;
    std::string name;   // option name (skOption)
    std::string value;  // option value, input or output file name
    bool join = false;  // skOutput: "-join" came before it
};

// Splits the arguments into steps; false with `error` set on a malformed line.
bool ParseEngineArgs(const std::vector<std::string>& args, std::vector<TEngineStep>* steps, std::string* error) {
    bool join = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || a[0] != '-') {
            steps->push_back({TEngineStep::skOutput, {}, a, join});
            join = false;
            continue;
        }
        const std::string name = a.substr(1);
        if (name == "join") {
            join = true;
            continue;
        }
        if (SwitchOptions().count(name)) {
            steps->push_back({TEngineStep::skOption, name, {}, false});
            continue;
        }
        if (i + 1 >= args.size()) {
            *error = "Missing argument for option \"" + name + "\"";
            return false;
        }
        const std::string& value = args[++i];
        steps->push_back({name == "i" ? TEngineStep::skInput : TEngineStep::skOption, name, value, false});
    }
    return true;
}

// The task Ctrl-C stops; a stop lets the run finish the output properly.
std::atomic<TCustomFFmpeg*> gRunningTask{nullptr};
static_assert(std::atomic<TCustomFFmpeg*>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

extern "C" void StopOnInterrupt(int) {
    if (TCustomFFmpeg* task = gRunningTask.load()) task->RequestStop();
}

// One progress line on stderr: the report of the run, the last one with the final statistics.
void PrintProgress(int fileIndex, int frameNumber, int fps, float quality, float bitRate, int64_t totalSize,
                   int64_t timeUs, int64_t totalDurationUs) {
    std::string line;
    if (frameNumber >= 0) line += Format("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
    line += Format("size=%8.0fkB time=%s bitrate=%6.1fkbits/s", totalSize / 1024.0, MediaTimeText(timeUs).c_str(),
                   bitRate);
    if (totalDurationUs > 0 && fileIndex >= 0)
        line += Format(" %3d%%", static_cast<int>(std::min<int64_t>(100, timeUs * 100 / totalDurationUs)));
    std::fprintf(stderr, "%s%s\n", fileIndex < 0 ? "done: " : "", line.c_str());
}

// Runs the configured task to its end; 0 only when it completed.
int RunTask(TCustomFFmpeg& task) {
    task.SetOnProgress([](TFFBaseComponent*, int fileIndex, int frameNumber, int fps, float quality, float bitRate,
                          int64_t totalSize, int64_t timeUs, int64_t totalDurationUs) {
        PrintProgress(fileIndex, frameNumber, fps, quality, bitRate, totalSize, timeUs, totalDurationUs);
    });
    gRunningTask = &task;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = StopOnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
    sigaction(SIGTERM, &action, nullptr);

    std::string failure;
    try {
        task.Transcode();
    } catch (const FFmpegException& e) {
        failure = e.what();
    }
    task.CloseCodecs();
    task.Cleanup();
    sigaction(SIGINT, &previous, nullptr);
    gRunningTask = nullptr;

    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        return 1;
    }
    if (!task.Finished()) {
        std::fprintf(stderr, "Stopped before the end: the output holds what was converted until then\n");
        return 1;
    }
    return 0;
}

int RunEngine(const std::vector<std::string>& args) {
    std::vector<TEngineStep> steps;
    std::string error;
    if (!ParseEngineArgs(args, &steps, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    TFFLogger& logger = TFFLogger::Instance();
    logger.SetTriggerEventInMainThread(false);
    logger.SetOnLog([](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& msg) {
        std::fprintf(stderr, "%s%s", msg.c_str(), !msg.empty() && msg.back() == '\n' ? "" : "\n");
    });
    logger.HookLibraryLog();

    TCustomFFmpeg task;
    task.Reset();
    int outputs = 0;
    for (const TEngineStep& step : steps) {
        try {
            switch (step.kind) {
                case TEngineStep::skOption:
                    task.SetOption(step.name, step.value);
                    break;
                case TEngineStep::skInput:
                    if (!task.OpenInput(step.value)) {
                        std::fprintf(stderr, "%s\n", task.LastError().c_str());
                        return 1;
                    }
                    break;
                case TEngineStep::skOutput:
                    if (task.AddOutput(step.value, step.join) < 0) {
                        std::fprintf(stderr, "%s\n", task.LastError().c_str());
                        return 1;
                    }
                    ++outputs;
                    break;
            }
        } catch (const FFmpegException& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
    }
    if (outputs == 0) {
        std::fprintf(stderr, "At least one output file must be specified\n");
        return 1;
    }

    return RunTask(task);
}

CliRegistrar reg("engine",
                 "engine ARGS...               run one task with the engine's options: -NAME VALUE, -i FILE, -join, OUTPUT",
                 RunEngine);
}  // namespace
