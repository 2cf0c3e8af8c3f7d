// Picture effects on a 1920x1080 frame: each routine alone and the whole decoration as a conversion
// runs it. Times are wall times: big frames are adjusted in bands on the usable cores; run pinned to
// one core (taskset -c 0) for the single-thread figure.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

#include "app/PictureEffects.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

TBitmap24 Frame() {
    TBitmap24 f(kWidth, kHeight);
    std::mt19937 gen(1);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth * 3; ++x)
            f.View().Row(y)[x] = static_cast<uint8_t>((x / 3 + y) / 12 + (gen() & 31));
    return f;
}

// A 256x128 colour watermark picture in a temporary BMP file, removed at exit.
const std::string& WatermarkFile() {
    static const std::string path = [] {
        const std::string p = (std::filesystem::temp_directory_path() /
                               ("quillmar-bench-mark-" + std::to_string(getpid()) + ".bmp")).string();
        QImage img(256, 128, QImage::Format_RGB32);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) img.setPixel(x, y, qRgb(x, y * 2, 255 - x));
        img.save(QString::fromStdString(p), "BMP");
        std::atexit([] { std::remove(WatermarkFile().c_str()); });
        return p;
    }();
    return path;
}

PictureSettings AllSettings() {
    PictureSettings s;
    s.Brightness = 300;
    s.Contrast = 25;
    s.Saturation = 320;
    s.Exposure = 90;
    s.WaterText = "Quillmar watermark 2024";
    s.WaterFont.Size = 24;
    s.WaterFont.Bold = true;
    s.WaterFont.Color = 0x0000FFFF;
    s.TextX = 80;
    s.TextY = 60;
    s.ImageFile = WatermarkFile();
    s.ImageX = 1600;
    s.ImageY = 900;
    s.ImageAlpha = 168;
    return s;
}

// The routines work in place; each iteration starts from the same picture so that repeated
// adjustment does not drift the frame toward flat levels that are cheaper to process.
class TFrameBench {
public:
    explicit TFrameBench(benchmark::State& state) : state_(state), pristine_(Frame()), frame_(pristine_) {}
    ~TFrameBench() { state_.SetItemsProcessed(state_.iterations()); }
    TBitmapView Fresh() {
        state_.PauseTiming();
        std::memcpy(frame_.Bits(), pristine_.Bits(), static_cast<size_t>(frame_.Stride()) * frame_.Height());
        state_.ResumeTiming();
        return frame_.View();
    }

private:
    benchmark::State& state_;
    TBitmap24 pristine_;
    TBitmap24 frame_;
};

void BM_ColorAdjust(benchmark::State& state) {
    TFrameBench bench(state);
    for (auto _ : state) ApplyColorAdjust(bench.Fresh(), 300, 25, 320);
}
BENCHMARK(BM_ColorAdjust)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Exposure(benchmark::State& state) {
    TFrameBench bench(state);
    for (auto _ : state) ApplyExposure(bench.Fresh(), 90.0f);
}
BENCHMARK(BM_Exposure)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ColorAndExposureFused(benchmark::State& state) {
    TFrameBench bench(state);
    const TPictureAdjust adjust(AllSettings());
    for (auto _ : state) adjust.Apply(bench.Fresh());
}
BENCHMARK(BM_ColorAndExposureFused)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BuildTables(benchmark::State& state) {
    const PictureSettings s = AllSettings();
    for (auto _ : state) benchmark::DoNotOptimize(TPictureAdjust(s));
}
BENCHMARK(BM_BuildTables)->Unit(benchmark::kMicrosecond);

void BM_BlendOverlayImage(benchmark::State& state) {
    TFrameBench bench(state);
    const std::shared_ptr<const QImage> img = LoadOverlayImage(WatermarkFile(), nullptr);
    if (!img) {
        state.SkipWithError("cannot load the watermark picture");
        return;
    }
    const int style = static_cast<int>(state.range(0));
    for (auto _ : state) BlendOverlayImage(bench.Fresh(), ImageView(*img), 1600, 900, 168, style);
}
BENCHMARK(BM_BlendOverlayImage)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_DrawOverlayText(benchmark::State& state) {
    TFrameBench bench(state);
    const PictureSettings s = AllSettings();
    for (auto _ : state) DrawOverlayText(bench.Fresh(), s.WaterText, s.WaterFont, s.TextX, s.TextY);
}
BENCHMARK(BM_DrawOverlayText)->Unit(benchmark::kMicrosecond);

// What a conversion pays per frame: tables and picture kept between frames.
void BM_DecorateFrame_Decorator(benchmark::State& state) {
    TFrameBench bench(state);
    const PictureSettings s = AllSettings();
    TPictureDecorator decorator;
    for (auto _ : state)
        if (!decorator.Decorate(bench.Fresh(), s).Ok()) state.SkipWithError("decoration failed");
}
BENCHMARK(BM_DecorateFrame_Decorator)->Unit(benchmark::kMillisecond)->UseRealTime();

// The stateless form: tables built and the picture file decoded on every frame.
void BM_DecorateFrame_OneShot(benchmark::State& state) {
    TFrameBench bench(state);
    const PictureSettings s = AllSettings();
    for (auto _ : state)
        if (!DecorateFrame(bench.Fresh(), s).Ok()) state.SkipWithError("decoration failed");
}
BENCHMARK(BM_DecorateFrame_OneShot)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // fonts need it
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
