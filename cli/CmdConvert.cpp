// quillmar-cli convert: converts files as the GUI's batch does, with the stored format and output
// folder unless options name others. One progress line per job on stderr (rewritten in place on
// a terminal), then a summary on stdout; Ctrl-C stops the running conversion cleanly. The exit
// status is non-zero when any job failed. --format and --output-dir apply to this run only: the
// run works on a private copy of the settings file.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QGuiApplication>

#include "app/BatchControl.h"
#include "app/FormatCatalogue.h"
#include "app/GlobalUnit.h"
#include "app/IniStore.h"
#include "app/JobList.h"
#include "app/OutputNames.h"
#include "app/ParameterLists.h"
#include "app/PictureOverlay.h"
#include "cli/CliCommand.h"
#include "cli/ConvertJobOptions.h"
#include "engine/EngineComponent.h"
#include "engine/MainThread.h"
#include "probe/AVProbe.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli convert [--format CODE] [--output-dir DIR] [--settings FILE] [--jobs N]\n"
    "         [--trim-start SEC] [--trim-length SEC] [--zoom full|lbox|pan|center] [--crop T,B,L,R]\n"
    "         [--brightness 0..512] [--contrast -100..100] [--saturation 0..512] [--exposure -255..512]\n"
    "         [--text TEXT] [--font FACE,SIZE,COLOR[,bold,italic,underline,strikeout]] [--text-pos X,Y]\n"
    "         [--image FILE] [--image-pos X,Y] [--alpha 0..255] [--blend 1|2] FILE...";

std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);
extern "C" void NoteInterrupt(int) { gInterrupted = true; }

class TConsolePrompt : public IUserPrompt {
public:
    void ShowMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void ShowMessageBox(const std::string& caption, const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
    // Nobody can answer: the question is shown and taken as No.
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        std::fprintf(stderr, "%s: %s (answered No)\n", caption.c_str(), text.c_str());
        return false;
    }
    void Beep() override {}
};

class TConsoleView : public IProgressView {
public:
    explicit TConsoleView(bool terminal) : terminal_(terminal) {}
    void ShowProgress(const TProgressTexts& t) override {
        if (!terminal_ && t.Percent == lastPercent_ && t.Task == lastTask_) return;
        lastPercent_ = t.Percent;
        lastTask_ = t.Task;
        std::fprintf(stderr, "%s%s %s %3d%% %s%s%s %s%s", terminal_ ? "\r" : "", t.Task.c_str(), t.File.c_str(),
                     t.Percent, t.Time.c_str(), t.Length.empty() ? "" : " / ", t.Length.c_str(), t.Size.c_str(),
                     terminal_ ? "\033[K" : "\n");
    }
    void SetBar(int) override {}
    bool OpenFolderAfterConversion() const override { return false; }
    bool ShutDownAfterConversion() const override { return false; }
    void Close() override {
        if (terminal_) std::fprintf(stderr, "\n");
    }

private:
    bool terminal_;
    int lastPercent_ = -1;
    std::string lastTask_;
};

bool ParseWhole(const std::string& text, int& value) {
    if (!IsIntegerText(text)) return false;
    value = IntegerOfText(text);
    return true;
}

struct TConvertArgs {
    int formatCode = -1;
    int jobs = 1;
    std::string outputDir;
    std::string settingsFile;
    TConvertJobOptions job;
    std::vector<std::string> files;
};

bool ParseArgs(const std::vector<std::string>& args, TConvertArgs& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (TConvertJobOptions::Takes(a)) {
            if (!hasValue) {
                error = a + " needs a value";
                return false;
            }
            if (!out.job.Parse(a, args[++i], error)) return false;
        } else if (a == "--format" || a == "--output-dir" || a == "--settings" || a == "--jobs") {
            if (!hasValue) {
                error = a + " needs a value";
                return false;
            }
            const std::string& v = args[++i];
            if (a == "--format") {
                if (!ParseWhole(v, out.formatCode) || !FindFormatByCode(out.formatCode).has_value()) {
                    error = "unknown format code " + v + " (see quillmar-cli formats)";
                    return false;
                }
            } else if (a == "--jobs") {
                if (!ParseWhole(v, out.jobs) || out.jobs < 1) {
                    error = "--jobs needs a whole number of 1 or more";
                    return false;
                }
            } else if (a == "--output-dir") {
                out.outputDir = v;
            } else {
                out.settingsFile = v;
            }
        } else if (a.size() > 2 && a.rfind("--", 0) == 0) {
            error = "unknown option " + a;
            return false;
        } else {
            out.files.push_back(a);
        }
    }
    if (out.files.empty()) {
        error = "no files to convert";
        return false;
    }
    return true;
}

// The engine logs an unreadable watermark picture once per frame; one line up front tells the user.
void WarnAboutWatermarkImage(const TConvertJobOptions& job) {
    if (!job.image || job.image->empty()) return;
    std::string error;
    if (!LoadOverlayImage(*job.image, &error))
        std::fprintf(stderr, "quillmar-cli convert: %s Until it can be read, frames are converted without effects or watermark.\n", error.c_str());
}

// Text watermarks draw with Qt's fonts, which need a GUI application object; offscreen needs no display.
std::unique_ptr<QGuiApplication> FontsFor(const TConvertJobOptions& job) {
    if (!job.NeedsFonts() || QCoreApplication::instance()) return nullptr;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "quillmar-cli";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QGuiApplication>(argc, argv);
}

// Removes the private settings copy when the run ends, however it ends.
struct TTempFile {
    std::string path;
    ~TTempFile() {
        std::error_code ec;
        if (!path.empty()) fs::remove(path, ec);
    }
};

int RunConvert(const std::vector<std::string>& args) {
    TConvertArgs opts;
    std::string error;
    if (!ParseArgs(args, opts, error)) {
        std::fprintf(stderr, "quillmar-cli convert: %s\n%s\n", error.c_str(), kUsage);
        return 2;
    }

    const std::string programFolder = ProgramFolder();
    std::string settingsPath = opts.settingsFile;
    TTempFile privateCopy;
    try {
        if (settingsPath.empty()) settingsPath = LocateSettingsFile(programFolder);
        // A new settings file starts as a copy of the shipped one; an existing one is left as it is.
        EnsureSettingsFile(settingsPath, ShippedSettingsFile(programFolder));
        if (opts.formatCode >= 0 || !opts.outputDir.empty() || opts.job.zoom) {
            char name[] = "/tmp/quillmar-convert-XXXXXX";
            const int fd = mkstemp(name);
            if (fd < 0) throw std::runtime_error("cannot create a temporary settings file");
            close(fd);
            privateCopy.path = name;
            std::error_code ec;
            if (fs::exists(settingsPath, ec))
                fs::copy_file(settingsPath, privateCopy.path, fs::copy_options::overwrite_existing);
            settingsPath = privateCopy.path;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmar-cli convert: %s\n", e.what());
        return 1;
    }

    const std::unique_ptr<QGuiApplication> fonts = FontsFor(opts.job);
    TAppSettings settings(settingsPath);
    const TIniStore formatFile(LocateFormatFile(programFolder));
    TConsolePrompt prompt;
    TConsoleView view(isatty(STDERR_FILENO) != 0);
    auto dispatcher = std::make_shared<TQueueDispatcher>();
    SetMainThreadDispatcher(dispatcher);

    int failed = 0;
    try {
        if (opts.formatCode >= 0) settings.SetFormatCode(opts.formatCode);
        if (!opts.outputDir.empty()) settings.SetOutPutDir(fs::absolute(opts.outputDir).string());
        if (opts.job.zoom) settings.Store().WriteString(FormatSection(settings.FormatCode()), "paraZoom", *opts.job.zoom);
        WarnAboutWatermarkImage(opts.job);

        ZAReravIRE engine;
        TJobList jobs(engine, settings.Store(), formatFile, [&](const std::string& source, const std::string& suffix) {
            return BuildOutputName(settings, prompt, source, suffix);
        });
        jobs.Add(opts.files, "");
        for (int r = 0; r < jobs.Count(); ++r) opts.job.ApplyTo(*jobs.Row(r).Record);
        // Files the list would not take (unreadable, folders, repeated) fail alone.
        for (size_t i = 0; i < opts.files.size(); ++i) {
            const std::string& f = opts.files[i];
            bool listed = false;
            for (int r = 0; r < jobs.Count(); ++r) listed = listed || jobs.Row(r).Caption == f;
            const bool repeated = std::find(opts.files.begin(), opts.files.begin() + static_cast<long>(i), f) !=
                                  opts.files.begin() + static_cast<long>(i);
            if (listed && !repeated) continue;
            std::string why = "named twice; converted once";
            if (!repeated) {
                why = "cannot be opened";
                std::error_code ec;
                if (fs::is_directory(f, ec)) {
                    why = "is a folder";
                } else {
                    try {
                        if (!engine.Probe().LoadFile(f)) why = engine.Probe().LastErrorMessage();
                        engine.Probe().Close();
                    } catch (const std::exception& e) {
                        why = e.what();
                    }
                }
            }
            if (repeated) {
                std::printf("skipped: %s: %s\n", f.c_str(), why.c_str());
            } else {
                std::printf("failed: %s: %s\n", f.c_str(), why.c_str());
                ++failed;
            }
        }
        if (jobs.Count() == 0) {
            SetMainThreadDispatcher(nullptr);
            if (!engine.LastErrorMessage().empty() && failed == 0)
                std::fprintf(stderr, "quillmar-cli convert: %s\n", engine.LastErrorMessage().c_str());
            return 1;
        }

        TBatchControl batch(engine, jobs, settings, formatFile, prompt, view);
        batch.ParallelTasks = opts.jobs;
        batch.OpenFolder = [](const std::string&) {};
        batch.ShutdownComputer = [] {};
        bool ended = false;
        std::vector<std::string> summary;
        batch.OnTaskEnded = [&](const TTerminateInfo& info, int row) {
            const std::string& dest = batch.Destinations().at(static_cast<size_t>(info.TaskIndex));
            if (info.Completed && !info.Failed) {
                summary.push_back("done: " + jobs.Row(row).Caption + " -> " + dest);
            } else {
                ++failed;
                const std::string why = !info.ErrorMessage.empty() ? info.ErrorMessage
                                        : info.Completed        ? "failed"
                                                                : "stopped before the end";
                summary.push_back("failed: " + jobs.Row(row).Caption + ": " + why);
            }
        };
        batch.OnBatchEnded = [&] { ended = true; };

        struct sigaction action {};
        struct sigaction previousInt {};
        struct sigaction previousTerm {};
        action.sa_handler = NoteInterrupt;
        sigemptyset(&action.sa_mask);
        gInterrupted = false;
        sigaction(SIGINT, &action, &previousInt);
        sigaction(SIGTERM, &action, &previousTerm);

        const bool started = batch.Start();
        for (const TRefusedSource& r : batch.Refused()) {
            std::printf("failed: %s: %s\n", jobs.Row(r.Row).Caption.c_str(), r.Message.c_str());
            ++failed;
        }
        bool stopping = false;
        while (started && !ended) {
            dispatcher->ServeUntil([&] { return ended || gInterrupted.load(); }, 100);
            if (gInterrupted && !stopping) {
                stopping = true;
                batch.Stop();
            }
        }
        sigaction(SIGINT, &previousInt, nullptr);
        sigaction(SIGTERM, &previousTerm, nullptr);
        for (const std::string& line : summary) std::printf("%s\n", line.c_str());
        if (!started && batch.Refused().empty()) ++failed;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmar-cli convert: %s\n", e.what());
        ++failed;
    }
    SetMainThreadDispatcher(nullptr);
    std::fflush(stdout);
    return failed > 0 ? 1 : 0;
}

CliRegistrar reg("convert",
                 "convert [--format CODE] [--output-dir DIR] [--settings FILE] [--jobs N] [job options] FILE...\n"
                 "                             convert files with the stored (or given) format; job options:\n"
                 "                             trim, zoom, crop, picture effects, text and image watermark\n"
                 "                             (quillmar-cli convert without files lists them)",
                 RunConvert);

}  // namespace
