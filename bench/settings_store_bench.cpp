// Cost of the uncached INI store on a file the size of the shipped settings: one section per
// format (115) with a dozen keys each, plus the "settings" section.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/IniStore.h"

namespace {

std::string MakeSettingsFile() {
    static const std::string path = [] {
        const std::string p =
            (std::filesystem::temp_directory_path() / ("quillmar-bench-" + std::to_string(::getpid()) + ".ini")).string();
        std::ofstream out(p, std::ios::binary);
        out << "[settings]\nOutPutDir=/home/user/quillmar\nvolume=64\nmute=0\nFormatCode=403\n";
        for (int category = 0; category < 25; ++category)
            for (int pos = 0; pos < 5; ++pos) {
                out << "\n[formatInfo" << category * 100 + pos << "]\n";
                const char* keys[] = {"vcodec", "acodec", "paraVideoSize", "paraFrameRate", "paraVideoBitrate",
                                      "paraAudioBitrate", "paraSampleRate", "paraChannels", "paraZoom",
                                      "paraAspect", "paraPass", "paraQuality"};
                for (const char* k : keys) out << k << "=" << (category + pos) % 7 << "\n";
            }
        return p;
    }();
    return path;
}

void BM_ReadLastSection(benchmark::State& state) {
    TIniStore ini(MakeSettingsFile());
    for (auto _ : state) benchmark::DoNotOptimize(ini.ReadInteger("FORMATINFO2404", "paraquality", -1));
}
BENCHMARK(BM_ReadLastSection)->Unit(benchmark::kMicrosecond);

void BM_ReadMissingKey(benchmark::State& state) {
    TIniStore ini(MakeSettingsFile());
    for (auto _ : state) benchmark::DoNotOptimize(ini.ReadString("settings", "nothere", ""));
}
BENCHMARK(BM_ReadMissingKey)->Unit(benchmark::kMicrosecond);

// A write reads, rewrites, flushes to disk and renames: the flush dominates.
void BM_WriteKey(benchmark::State& state) {
    const std::string path = MakeSettingsFile();
    TIniStore ini(path);
    int v = 0;
    for (auto _ : state) ini.WriteInteger("settings", "volume", ++v % 129);
}
BENCHMARK(BM_WriteKey)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
