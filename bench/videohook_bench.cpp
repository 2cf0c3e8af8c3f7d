// The cost of the custom hook: a 1080p conversion with a hook that changes nothing (the picture
// goes to the bitmap and back) against the same conversion without a hook. Goal: at most 1.25.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "engine/CustomFFmpeg.h"
#include "engine/FFmpegLogger.h"

namespace {

const std::string& Source() {
    static const std::string path = [] {
        const std::string p = "/tmp/quillmar_videohook_bench_1080p.mp4";
        const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=3 "
                                "-c:v libx264 -preset veryfast -pix_fmt yuv420p " + p;
        if (std::system(cmd.c_str()) != 0) return std::string();
        return p;
    }();
    return path;
}

void Convert(benchmark::State& state, bool hook) {
    TFFLogger::Instance().SetLogLevel(llQuiet);
    if (Source().empty()) {
        state.SkipWithError("the ffmpeg tool could not make the source");
        return;
    }
    int calls = 0;
    for (auto _ : state) {
        TCustomFFmpeg task;
        task.Reset();
        if (!task.OpenInput(Source())) {
            state.SkipWithError(task.LastError().c_str());
            return;
        }
        task.SetOption("s", "320x240");
        task.SetOption("vcodec", "mpeg4");
        task.SetOption("b", "600k");
        task.SetOption("y", "");
        if (task.AddOutput("/tmp/quillmar_videohook_bench_out.mp4", false) < 0) {
            state.SkipWithError(task.LastError().c_str());
            return;
        }
        if (hook)
            task.VideoPreprocessor().SetCustomHook(
                [&](TFFBaseComponent*, const TBitmapView&, int, int64_t, bool&, bool&) { ++calls; });
        task.Transcode();
        task.CloseCodecs();
        task.Cleanup();
    }
    state.counters["hook_calls_per_run"] = hook ? static_cast<double>(calls) / static_cast<double>(state.iterations()) : 0;
}

void BM_Convert1080pNoHook(benchmark::State& state) { Convert(state, false); }
void BM_Convert1080pNoOpHook(benchmark::State& state) { Convert(state, true); }

}  // namespace

BENCHMARK(BM_Convert1080pNoHook)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Convert1080pNoOpHook)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_MAIN();
