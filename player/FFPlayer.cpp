#include "player/FFPlayer.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <cinttypes>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <thread>

#include "engine/FFUtils.h"
#include "engine/FFmpegLoader.h"
#include "engine/FFmpegLogger.h"
#include "engine/MainThread.h"

TCustomPlayer::TCustomPlayer() = default;

TCustomPlayer::~TCustomPlayer() {
    {
        std::lock_guard lock(handlerMutex_);
        onPosition_ = nullptr;
        onState_ = nullptr;
        onHook_ = nullptr;
    }
    Stop(true);
}

bool TCustomPlayer::LoadLibraries(const std::string& folder) {
    TFFmpegLoader& loader = TFFmpegLoader::Instance();
    loader.SetLibraryFolder(folder);
    if (loader.Load(PlayerLibraries())) return true;
    lastError_ = loader.LastError();
    return false;
}

bool TCustomPlayer::LibrariesLoaded() const { return TFFmpegLoader::Instance().Loaded(PlayerLibraries()); }

void TCustomPlayer::RecordError(const std::string& message, bool log) {
    lastError_ = message;
    if (log) TFFLogger::Instance().Log(this, llError, message);
}

void TCustomPlayer::SetOnFileOpen(TFileOpenEvent handler) {
    std::lock_guard lock(handlerMutex_);
    onFileOpen_ = std::move(handler);
}
void TCustomPlayer::SetOnHook(THookEvent handler) {
    std::lock_guard lock(handlerMutex_);
    onHook_ = std::move(handler);
}
void TCustomPlayer::SetOnPosition(TPositionEvent handler) {
    std::lock_guard lock(handlerMutex_);
    onPosition_ = std::move(handler);
}
void TCustomPlayer::SetOnState(TPlayStateEvent handler) {
    std::lock_guard lock(handlerMutex_);
    onState_ = std::move(handler);
}

void TCustomPlayer::SetAspectRatio(float value) {
    const float old = aspectRatio_.exchange(value);
    if (old != value && Playing()) playback_->PostAspectChanged();
}

void TCustomPlayer::SetAudioVolume(TAudioVolume value) { audioVolume_ = std::clamp(value, 0, kMaxAudioVolume); }

bool TCustomPlayer::Open(const std::string& fileName, IVideoSink* host, bool startPaused) {
    if (!LibrariesLoaded()) {
        RecordError("libav or libsdl not loaded.", true);
        return false;
    }
    Stop(true);
    lastError_.clear();

    if (const char* driver = AudioDriverName(audioDriver_)) SDL_SetHint(SDL_HINT_AUDIODRIVER, driver);
    if (SDL_InitSubSystem(SDL_INIT_AUDIO | SDL_INIT_TIMER) != 0) {
        RecordError(Format("Could not initialize SDL with ScreenHandle(%" PRIuPTR "): %s",
                           reinterpret_cast<uintptr_t>(host), SDL_GetError()),
                    true);
        return false;
    }
    sdlStarted_ = true;
    if (host) {
        const char* name = SDL_GetCurrentAudioDriver();
        TFFLogger::Instance().LogFmt(this, llDebug, "using audio driver: %s\n", name ? name : "none");
    }

    TPlaybackOptions options;
    options.fileName = fileName;
    options.disableAudio = disableAudio_;
    options.disableDisplay = disableDisplay_;
    options.disableVideo = disableVideo_ || disableDisplay_;
    options.frameWidth = frameWidth_;
    options.frameHeight = frameHeight_;
    options.startPaused = startPaused;
    options.sink = host ? host : &nullSink_;
    IPlaybackHost& self = *this;
    auto playback = std::make_unique<TPlayback>(self, options);
    std::string error;
    bool opened = false;
    try {
        opened = playback->Open(error);
    } catch (const std::system_error&) {
        error = "SDL_CreateThread() failed.";
        TFFLogger::Instance().Log(this, llError, error);
    }
    if (!opened) {
        RecordError(error, false);
        playback.reset();
        ShutDownSDL();
        return false;
    }
    playback_ = std::move(playback);
    fileName_ = fileName;
    host_ = host;
    probe_.AttachContext(playback_->Input());

    const AVFormatContext* ic = playback_->Input();
    int64_t duration = playback_->DurationUs();
    if (std::strcmp(ic->iformat->name, "image2") == 0) duration = 0;
    const int frameW = playback_->HasVideo() ? playback_->CodedWidth() : -1;
    const int frameH = playback_->HasVideo() ? playback_->CodedHeight() : -1;
    int sw = screenWidth_, sh = screenHeight_;
    TFileOpenEvent onFileOpen;
    {
        std::lock_guard lock(handlerMutex_);
        onFileOpen = onFileOpen_;
    }
    if (onFileOpen) {
        auto fire = [&] { onFileOpen(this, duration, frameW, frameH, sw, sh); };
        if (triggerInMainThread_)
            CallInMainThread(fire);
        else
            fire();
    }
    if ((sw == 0 || sh == 0) && host) host->ClientSize(sw, sh);
    screenWidth_ = sw;
    screenHeight_ = sh;

    ring_.Clear();
    loopFinished_.Reset();
    eventThreadFinished_.Reset();
    lastStopReposts_ = 0;
    lastStopForced_ = false;
    TPlayback* pb = playback_.get();
    const bool pauseNow = startPaused && !pb->HasVideo();
    eventThread_ = std::thread([this] { EventThreadMain(); });
    playThread_ = std::thread([this, pb, pauseNow] {
        PostState(psPlay);
        // Without video no picture will raise the start-paused pause: raise it here.
        if (pauseNow) PostState(psPause);
        try {
            pb->RunEventLoop(playerLock_);
        } catch (const std::exception& e) {
            TFFLogger::Instance().Log(this, llFatal, std::string("PlayThread Exception: ") + e.what());
            pb->Close();
        }
        PostState(psStop);
        loopFinished_.Set();
    });
    pb->StartDisplay(sw, sh);
    return true;
}

void TCustomPlayer::ShutDownSDL() {
    if (!sdlStarted_) return;
    SDL_QuitSubSystem(SDL_INIT_AUDIO | SDL_INIT_TIMER);
    sdlStarted_ = false;
}

bool TCustomPlayer::Playing() const { return playback_ && !loopFinished_.IsSet(); }
bool TCustomPlayer::Paused() const { return Playing() && playback_->Paused(); }
int64_t TCustomPlayer::Position() const { return playback_ ? playback_->CurrentPositionUs() : -1; }
int TCustomPlayer::AudioDeviceChannels() const {
    return playback_ && playback_->HasAudio() ? playback_->AudioDeviceChannels() : 0;
}
int TCustomPlayer::AudioDeviceRate() const {
    return playback_ && playback_->HasAudio() ? playback_->AudioDeviceRate() : 0;
}

int64_t TCustomPlayer::AudioDevicePlayedUs() const {
    return playback_ && playback_->HasAudio() ? playback_->AudioDevicePlayedUs() : 0;
}

void TCustomPlayer::Pause() {
    if (!Playing() || playback_->Paused()) return;
    playback_->TogglePause();
    PostState(psPause);
}

void TCustomPlayer::Resume() {
    if (!Playing() || !playback_->Paused()) return;
    playback_->TogglePause();
    PostState(psResume);
}

void TCustomPlayer::Seek(int flags, bool wait, int64_t position) {
    if (!Playing()) return;
    if (!(flags & AVSEEK_FLAG_BYTE)) {
        const int64_t duration = playback_->DurationUs();
        position = std::max<int64_t>(0, duration > 0 ? std::min(position, duration) : position);
        if (playback_->StartTimeUs() != kNoTimestamp) position += playback_->StartTimeUs();
    }
    playback_->RequestSeek(position, 0, flags, wait);
}

void TCustomPlayer::SeekRelative(int flags, bool wait, double seconds) {
    if (!Playing()) return;
    if (flags & AVSEEK_FLAG_BYTE) {
        const int64_t bitRate = playback_->Input()->bit_rate;
        const double bytesPerSecond = bitRate > 0 ? static_cast<double>(bitRate) / 8.0 : 180000.0;
        const int64_t offset = std::llround(seconds * bytesPerSecond);
        playback_->RequestSeek(playback_->BytePosition() + offset, offset, flags, wait);
    } else {
        const double target = playback_->MasterClock() + seconds;
        playback_->RequestSeek(std::llround(target * 1e6), std::llround(seconds * 1e6), flags, wait);
    }
}

TBitmap24 TCustomPlayer::CurrentFrame(int64_t* ptsUs) {
    TBitmap24 bitmap;
    int64_t pts = -1;
    if (!playback_ || !playback_->CurrentFrame(bitmap, pts)) {
        bitmap.Resize(0, 0);
        pts = -1;
    }
    if (ptsUs) *ptsUs = pts;
    return bitmap;
}

void TCustomPlayer::Resize(int width, int height) {
    if (Playing()) playback_->PostResize(width, height);
}

void TCustomPlayer::Expose() {
    if (Playing()) playback_->PostExpose();
}

void TCustomPlayer::Stop(bool wait) {
    if (Playing()) {
        if (playback_->Paused()) playback_->TogglePause();
        playback_->PostQuit();
    }
    if (!wait) return;
    if (playback_) {
        int counter = 1;
        int reposts = 0;
        bool forced = false;
        while (!loopFinished_.Wait(100) && !playback_->Closed()) {
            // Try the player lock for up to 100 ms (polled: the event loop holds it only briefly).
            std::unique_lock lock(playerLock_, std::defer_lock);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            while (!lock.try_lock() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (!lock.owns_lock()) continue;
            ++counter;
            if (counter <= 10 || (counter <= 20 && !playback_->Reading())) {
                playback_->PostQuit();
                ++reposts;
                continue;
            }
            // The event loop does not end (its close waits for a read that blocks): close here.
            TFFLogger::Instance().Log(this, llDebug, "closing the stream directly");
            playback_->ForceClose();
            forced = true;
            break;
        }
        // The threads end now; a read that slipped past the first interruption is broken again.
        while (!loopFinished_.Wait(100))
            if (forced) playback_->ForceClose();
        while (!eventThreadFinished_.Wait(100)) {
        }
        if (playThread_.joinable()) playThread_.join();
        if (eventThread_.joinable()) eventThread_.join();
        probe_.Close();
        playback_.reset();
        lastStopReposts_ = reposts;
        lastStopForced_ = forced;
    }
    ShutDownSDL();
}

void TCustomPlayer::PostState(TPlayState state) {
    if (state != psStop) {
        std::lock_guard lock(handlerMutex_);
        if (!onState_) return;
    }
    TPlayerEvent e;
    e.kind = TPlayerEvent::ekState;
    e.state = state;
    ring_.Push(e);
}

void TCustomPlayer::PostPosition(int64_t positionUs) {
    TPlayerEvent e;
    e.kind = TPlayerEvent::ekPosition;
    e.positionUs = positionUs;
    ring_.Push(e);
}

bool TCustomPlayer::HookWanted() {
    if (!hook_) return false;
    std::lock_guard lock(handlerMutex_);
    return static_cast<bool>(onHook_);
}

void TCustomPlayer::RaiseHook(const TBitmapView& bitmap, int64_t ptsUs) {
    THookEvent handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = onHook_;
    }
    if (handler) handler(this, bitmap, ptsUs);
}

void TCustomPlayer::Deliver(const TPlayerEvent& event) {
    try {
        if (event.kind == TPlayerEvent::ekPosition) {
            TPositionEvent handler;
            {
                std::lock_guard lock(handlerMutex_);
                handler = onPosition_;
            }
            if (handler) handler(this, event.positionUs);
        } else {
            TPlayStateEvent handler;
            {
                std::lock_guard lock(handlerMutex_);
                handler = onState_;
            }
            if (handler) handler(this, event.state);
        }
    } catch (const std::exception& e) {
        TFFLogger::Instance().Log(this, llError, std::string("Error in a player event handler: ") + e.what());
    }
}

void TCustomPlayer::EventThreadMain() {
    for (;;) {
        const std::optional<TPlayerEvent> e = ring_.Pop(100);
        if (!e) continue;
        if (triggerInMainThread_)
            CallInMainThread([&] { Deliver(*e); });
        else
            Deliver(*e);
        if (e->kind == TPlayerEvent::ekState && e->state == psStop) break;
    }
    eventThreadFinished_.Set();
}
