// quillmar-cli play: plays a file without a display and prints its states and positions.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cli/CliCommand.h"
#include "engine/FFUtils.h"
#include "engine/MainThread.h"
#include "player/FFPlayer.h"

namespace {

const char* const kUsage =
    "play FILE [--start-paused] [--seek SEC] [--for SEC] [--mute] [--volume N]\n"
    "                               play a file without a display, printing states and positions";

bool ParseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0';
}

int RunPlay(const std::vector<std::string>& args) {
    std::string file;
    bool startPaused = false, mute = false;
    double seekSeconds = -1, forSeconds = -1, volume = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](double& out) {
            if (i + 1 >= args.size() || !ParseNumber(args[i + 1], out)) {
                std::fprintf(stderr, "quillmar-cli play: %s needs a number\n", a.c_str());
                return false;
            }
            ++i;
            return true;
        };
        if (a == "--start-paused") {
            startPaused = true;
        } else if (a == "--mute") {
            mute = true;
        } else if (a == "--seek") {
            if (!value(seekSeconds)) return 2;
        } else if (a == "--for") {
            if (!value(forSeconds)) return 2;
        } else if (a == "--volume") {
            if (!value(volume)) return 2;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "quillmar-cli play: unknown option %s\n", a.c_str());
            return 2;
        } else if (file.empty()) {
            file = a;
        } else {
            std::fprintf(stderr, "quillmar-cli play: only one FILE\n");
            return 2;
        }
    }
    if (file.empty()) {
        std::fprintf(stderr, "usage: quillmar-cli %s\n", kUsage);
        return 2;
    }

    auto dispatcher = std::make_shared<TQueueDispatcher>();
    SetMainThreadDispatcher(dispatcher);
    std::atomic<bool> ended{false};
    {
        TFFPlayer player;
        player.SetMute(mute);
        if (volume >= 0) player.SetAudioVolume(static_cast<int>(volume));
        player.SetOnState([&](TFFBaseComponent*, TPlayState state) {
            std::printf("%s\n", PlayStateName(state));
            std::fflush(stdout);
            if (state == psEnd || state == psStop) ended = true;
        });
        player.SetOnPosition([](TFFBaseComponent*, int64_t us) {
            std::printf("%s\n", MediaTimeText(us).c_str());
            std::fflush(stdout);
        });
        if (!player.LoadLibraries("") || !player.Open(file, nullptr, startPaused)) {
            std::fprintf(stderr, "quillmar-cli play: %s\n", player.LastErrorMessage().c_str());
            SetMainThreadDispatcher(nullptr);
            return 1;
        }
        if (seekSeconds >= 0) player.Seek(seekSeconds == 0 ? 4 : 0, true, std::llround(seekSeconds * 1e6));
        if (forSeconds >= 0)
            dispatcher->ServeUntil([] { return false; }, static_cast<int>(forSeconds * 1000));
        else
            dispatcher->ServeUntil([&] { return ended.load(); });
        player.Stop(true);
    }
    SetMainThreadDispatcher(nullptr);
    return 0;
}

CliRegistrar reg("play", kUsage, RunPlay);

}  // namespace
