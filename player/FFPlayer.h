#pragma once
// The preview player component: plays one media file at a time into a video sink (the host's
// video panel) with its sound through SDL audio; open, pause, resume, seek, stop, the picture on
// screen as a bitmap, a per-picture hook, and file-open, position and state events.
//
// Threads: the host calls every operation from its main thread. OnFileOpen runs in the main
// thread; OnPosition and OnState run in the event thread, through the main-thread call when
// TriggerEventInMainThread is set; OnHook runs in the video thread. Waiting operations (Open,
// Stop with wait, Seek with wait, Pause) keep serving main-thread calls. Property setters may be
// called at any time from the main thread; the playback reads Mute, AudioVolume, AspectRatio
// and Hook continuously (atomics). handlerMutex_ guards the four handlers.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/Bitmap.h"
#include "engine/Types.h"
#include "player/EventRing.h"
#include "player/Playback.h"
#include "player/PlayerTypes.h"
#include "player/VideoSink.h"
#include "probe/AVProbe.h"

class TCustomPlayer : public TFFBaseComponent, private IPlaybackHost {
public:
    TCustomPlayer();
    ~TCustomPlayer() override;

    // Loads the player's set of libraries (linked in: succeeds at once); on failure
    // LastErrorMessage says why.
    bool LoadLibraries(const std::string& folder);
    bool LibrariesLoaded() const;

    // Stops what plays, opens the file (UTF-8 name) and starts playing into host (nullptr: no
    // display). With startPaused the first picture is shown and playback waits for Resume.
    bool Open(const std::string& fileName, IVideoSink* host, bool startPaused = false);
    void Pause();
    void Resume();
    // flags: 1 backward, 2 position in bytes, 4 any frame. position in µs from the media's start
    // (bytes with flag 2).
    void Seek(int flags, bool wait, int64_t position);
    void SeekRelative(int flags, bool wait, double seconds);
    // The picture on screen (video size, BGR) and its time in µs; 0 x 0 and -1 without one.
    TBitmap24 CurrentFrame(int64_t* ptsUs = nullptr);
    void Stop(bool wait);

    // The host's window changed size / needs a redraw.
    void Resize(int width, int height);
    void Expose();

    bool Playing() const;
    bool Paused() const;
    // Last computed position in µs (-1 before the first).
    int64_t Position() const;
    const std::string& FileName() const { return fileName_; }
    const std::string& LastErrorMessage() const { return lastError_; }
    // The player's probe, attached to the open input while a file is open.
    TAVProbe& Probe() { return probe_; }
    // The audio device as opened (0 without audio).
    int AudioDeviceChannels() const;
    int AudioDeviceRate() const;
    // How much sound the audio device has taken since Open, in µs (0 without audio): the pace
    // the positions follow, since the sound is the master clock.
    int64_t AudioDevicePlayedUs() const;
    // How often Stop re-posted its quit request, and whether it had to close the file itself,
    // during the last Stop with wait.
    int LastStopReposts() const { return lastStopReposts_; }
    bool LastStopForcedClose() const { return lastStopForced_; }

    // Properties.
    float AspectRatio() override { return aspectRatio_; }
    void SetAspectRatio(float value);
    TAudioDriver AudioDriver() const { return audioDriver_; }
    void SetAudioDriver(TAudioDriver value) { audioDriver_ = value; }
    TAudioVolume AudioVolume() const { return audioVolume_; }
    void SetAudioVolume(TAudioVolume value);
    bool DisableAudio() const { return disableAudio_; }
    void SetDisableAudio(bool value) { disableAudio_ = value; }
    bool DisableVideo() const { return disableVideo_; }
    void SetDisableVideo(bool value) { disableVideo_ = value; }
    bool DisableDisplay() const { return disableDisplay_; }
    void SetDisableDisplay(bool value) { disableDisplay_ = value; }
    bool Mute() override { return mute_; }
    void SetMute(bool value) { mute_ = value; }
    int FrameWidth() const { return frameWidth_; }
    void SetFrameWidth(int value) { frameWidth_ = value; }
    int FrameHeight() const { return frameHeight_; }
    void SetFrameHeight(int value) { frameHeight_ = value; }
    bool Hook() const { return hook_; }
    void SetHook(bool value) { hook_ = value; }
    int ScreenWidth() const { return screenWidth_; }
    void SetScreenWidth(int value) { screenWidth_ = value; }
    int ScreenHeight() const { return screenHeight_; }
    void SetScreenHeight(int value) { screenHeight_ = value; }
    bool TriggerEventInMainThread() const { return triggerInMainThread_; }
    void SetTriggerEventInMainThread(bool value) { triggerInMainThread_ = value; }
    TVideoDriver VideoDriver() const { return videoDriver_; }
    void SetVideoDriver(TVideoDriver value) { videoDriver_ = value; }
    std::string About;
    static const char* Version() { return "2.3"; }

    void SetOnFileOpen(TFileOpenEvent handler);
    void SetOnHook(THookEvent handler);
    void SetOnPosition(TPositionEvent handler);
    void SetOnState(TPlayStateEvent handler);

private:
    // IPlaybackHost.
    TFFBaseComponent* Sender() override { return this; }
    void PostState(TPlayState state) override;
    void PostPosition(int64_t positionUs) override;
    bool HookWanted() override;
    void RaiseHook(const TBitmapView& bitmap, int64_t ptsUs) override;
    int Volume() override { return audioVolume_; }

    void RecordError(const std::string& message, bool log);
    void EventThreadMain();
    void Deliver(const TPlayerEvent& event);
    void ShutDownSDL();

    // Main thread only.
    std::unique_ptr<TPlayback> playback_;
    std::thread playThread_, eventThread_;
    TManualEvent loopFinished_, eventThreadFinished_;
    std::mutex playerLock_;  // held by the event loop per event
    TEventRing ring_;
    TAVProbe probe_;
    TNullVideoSink nullSink_;
    IVideoSink* host_ = nullptr;
    std::string fileName_;
    std::string lastError_;
    bool sdlStarted_ = false;
    int lastStopReposts_ = 0;
    bool lastStopForced_ = false;

    std::atomic<float> aspectRatio_{0};
    TAudioDriver audioDriver_ = adDefault;
    std::atomic<int> audioVolume_{kMaxAudioVolume};
    bool disableAudio_ = false, disableVideo_ = false, disableDisplay_ = false;
    std::atomic<bool> mute_{false};
    int frameWidth_ = 0, frameHeight_ = 0;
    std::atomic<bool> hook_{false};
    int screenWidth_ = 0, screenHeight_ = 0;
    std::atomic<bool> triggerInMainThread_{true};
    TVideoDriver videoDriver_ = vdDefault;

    mutable std::mutex handlerMutex_;
    TFileOpenEvent onFileOpen_;
    THookEvent onHook_;
    TPositionEvent onPosition_;
    TPlayStateEvent onState_;
};

// The component the host creates.
class TFFPlayer : public TCustomPlayer {
public:
    using TCustomPlayer::TCustomPlayer;
};
