// quillmar-cli engine ARGS...: drives one transcoding task with the engine's own option vocabulary,
// positionally, as a transcoder command line does.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cli/CliCommand.h"
#include "engine/CustomFFmpeg.h"
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

    // ---- the run: the transcoder's progress report, Transcode and the final statistics go here ----
    return 1;
}

CliRegistrar reg("engine",
                 "engine ARGS...               run one task with the engine's options: -NAME VALUE, -i FILE, -join, OUTPUT",
                 RunEngine);
}  // namespace
