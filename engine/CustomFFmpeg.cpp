#include "engine/CustomFFmpeg.h"

#include "engine/FrameHook.h"
#include "engine/OptionHandlers.h"
#include "engine/Presets.h"

TCustomFFmpeg::TCustomFFmpeg() : videoHooks_(std::make_unique<TFrameHookList>()) {
    store_ = std::make_unique<TOptionStore>(settings_.swsFlags);
}

TCustomFFmpeg::~TCustomFFmpeg() = default;

void TCustomFFmpeg::Reset() {
    Cleanup();
    videoHooks_->ReleaseAll();
    settings_ = TTaskSettings{};
    joined_ = false;
    stopRequested_ = false;
    finished_ = false;
    terminated_ = false;
    errorOccurred_ = false;
    totalDurationUs_ = -1;
    store_ = std::make_unique<TOptionStore>(settings_.swsFlags);
}

void TCustomFFmpeg::SetOption(const std::string& name, const std::string& value) {
    if (DispatchOption(*this, name, value)) return;
    // Not an option of the table: a library option, whose refusal is only logged.
    if (store_) store_->Set(name, value);
}

void TCustomFFmpeg::SetFormat(const std::string& value) { SetOption("f", value); }

void TCustomFFmpeg::SetStartTime(int64_t us) {
    if (us != kNoTimestamp) settings_.startTimeUs = us;
}

void TCustomFFmpeg::SetRecordingTime(int64_t us) {
    if (us == kNoTimestamp) return;
    settings_.recordingTimeUs = us;
    totalDurationUs_ = us;
}

void TCustomFFmpeg::SetProgramId(int value) {
    if (value >= 0) settings_.programId = value;
}

void TCustomFFmpeg::SetAudioVolume(int value) {
    if (value >= 0) settings_.audioVolume = value;
}

void TCustomFFmpeg::SetAudioSync(int value) { settings_.audioSyncMethod = value; }
void TCustomFFmpeg::SetVideoSync(int value) { settings_.videoSyncMethod = value; }

void TCustomFFmpeg::SetMuxDelay(double seconds) {
    if (seconds > 0) settings_.muxMaxDelaySeconds = seconds;
}

void TCustomFFmpeg::SetMuxPreload(double seconds) {
    if (seconds > 0) settings_.muxPreloadSeconds = seconds;
}

void TCustomFFmpeg::SetAudioRate(int hz) {
    if (hz > 0) settings_.audioSampleRate = hz;
}

void TCustomFFmpeg::SetAudioChannels(int count) {
    if (count > 0) settings_.audioChannels = count;
}

void TCustomFFmpeg::SetVideoCodec(const std::string& name) { SetOption("vcodec", name); }
void TCustomFFmpeg::SetAudioCodec(const std::string& name) { SetOption("acodec", name); }
void TCustomFFmpeg::SetSubtitleCodec(const std::string& name) { SetOption("scodec", name); }
void TCustomFFmpeg::SetVideoTag(const std::string& tag) { SetOption("vtag", tag); }
void TCustomFFmpeg::SetAudioTag(const std::string& tag) { SetOption("atag", tag); }
void TCustomFFmpeg::SetFrameRate(const std::string& rate) { SetOption("r", rate); }
void TCustomFFmpeg::SetFrameSize(const std::string& size) { SetOption("s", size); }
void TCustomFFmpeg::SetFrameAspect(const std::string& aspect) { SetOption("aspect", aspect); }
void TCustomFFmpeg::SetCropTop(int pixels) { SetOption("croptop", std::to_string(pixels)); }
void TCustomFFmpeg::SetCropBottom(int pixels) { SetOption("cropbottom", std::to_string(pixels)); }
void TCustomFFmpeg::SetCropLeft(int pixels) { SetOption("cropleft", std::to_string(pixels)); }
void TCustomFFmpeg::SetCropRight(int pixels) { SetOption("cropright", std::to_string(pixels)); }

void TCustomFFmpeg::SetVideoFilters(const std::string& graph) {
    if (!graph.empty()) SetOption("vf", graph);
}

void TCustomFFmpeg::SetPreset(const std::string& kind, const std::string& name) { ApplyPresetOption(*this, kind, name); }

void TCustomFFmpeg::SetTarget(const std::string& kind, const std::string& norm, const std::string& defaultNorm) {
    ApplyTarget(*this, kind, norm, defaultNorm);
}

void TCustomFFmpeg::SetIntOption(const std::string& name, int value) {
    if (store_) store_->Set(name, std::to_string(value));
}

void TCustomFFmpeg::AddMetadata(const std::string& key, const std::string& value) {
    settings_.metadata.emplace_back(key, value);
}

int TCustomFFmpeg::AddVideoHook(const std::vector<std::string>& args) { return videoHooks_->Add(args); }
