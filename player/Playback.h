#pragma once
// The playback of one open file: its threads, packet queues, picture and subtitle queues, audio
// output, clocks, seeking, pausing and closing. Created by the player's Open, destroyed after
// the file is closed. Times are seconds (double) unless a name says Us (microseconds).
//
// Threads and what they run:
//   main thread     Open, TogglePause, RequestSeek, MasterClock, CurrentFrame, Post*
//   read thread     ReadThreadMain: opens the input and streams, reads packets, seeks, pauses
//   video thread    VideoThreadMain: decodes into the picture queue
//   subtitle thread SubtitleThreadMain: decodes into the subtitle queue
//   refresh thread  RefreshThreadMain: posts refresh events
//   SDL audio       AudioCallback
//   event loop      RunEventLoop (the player's play thread): refresh, display, overlays, quit;
//                   then Close
// Locks (never held while waiting for another thread, except the condition waits named here):
//   pictMutex_   picture queue slots, pictSize_, pictRead_, pictWrite_ (pictCond_ waits)
//   timingMutex_ the video timing fields marked "timing"
//   audioMutex_  the audio fields marked "audio" and the sample ring
//   eventMutex_  the event-loop queue
//   seekMutex_   the seek request fields
//   positionMutex_ the position fields
//   closeMutex_  the close sequence
//   interruptMutex_ the read thread's handle while it runs
// Lock order: pictMutex_ -> timingMutex_ -> audioMutex_; positionMutex_ -> pictMutex_.
#include <SDL2/SDL_audio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/AVPtr.h"
#include "engine/FFUtils.h"
#include "engine/Bitmap.h"
#include "player/PacketQueue.h"
#include "engine/ManualEvent.h"
#include "player/PlayerTypes.h"
#include "player/SoundDisplay.h"
#include "player/Subtitles.h"
#include "player/VideoSink.h"

// What the playback needs from its player. Called from the playback's threads.
class IPlaybackHost {
public:
    virtual ~IPlaybackHost() = default;
    virtual TFFBaseComponent* Sender() = 0;
    virtual void PostState(TPlayState state) = 0;
    virtual void PostPosition(int64_t positionUs) = 0;
    // Video thread: true when OnHook is to be raised for every picture.
    virtual bool HookWanted() = 0;
    // Video thread: raises OnHook; exceptions pass through to the caller.
    virtual void RaiseHook(const TBitmapView& bitmap, int64_t ptsUs) = 0;
    virtual bool Mute() = 0;
    virtual int Volume() = 0;
    virtual float AspectRatio() = 0;
};

// Settings fixed at Open.
struct TPlaybackOptions {
    std::string fileName;  // as the application names it (UTF-8)
    bool disableAudio = false;
    bool disableVideo = false;
    bool disableDisplay = false;
    int frameWidth = 0, frameHeight = 0;
    bool startPaused = false;
    IVideoSink* sink = nullptr;  // never null; outlives the playback
};

class TPlayback {
public:
    // Limits of the read thread.
    static constexpr int64_t kMaxQueueBytes = 0xF00000;
    static constexpr int64_t kMinAudioQueueBytes = 0x50000;
    static constexpr int kMinFrames = 5;
    static constexpr int kAudioBufferBytes = 288000;

    TPlayback(IPlaybackHost& host, TPlaybackOptions options);
    TPlayback(const TPlayback&) = delete;
    TPlayback& operator=(const TPlayback&) = delete;
    ~TPlayback();

    // Main thread: starts the read thread and waits for it to open the file and its streams.
    // False: error holds the reason and everything is closed again.
    bool Open(std::string& error);
    // Main thread, after Open: sets the video area's size (0: decided by the picture) and starts
    // the display: the waveform when there is no video, and the refresh thread.
    void StartDisplay(int screenWidth, int screenHeight);

    // Facts of the open file (stable after Open).
    AVFormatContext* Input() const { return input_; }
    int64_t DurationUs() const { return durationUs_; }
    int64_t StartTimeUs() const { return startTimeUs_; }
    bool HasVideo() const { return videoStream_ >= 0; }
    bool HasAudio() const { return audioStream_ >= 0; }
    int CodedWidth() const { return codedWidth_; }
    int CodedHeight() const { return codedHeight_; }
    int AudioDeviceRate() const { return audioRate_; }
    int AudioDeviceChannels() const { return audioChannels_; }
    // How much sound the device has taken since Open, in µs.
    int64_t AudioDevicePlayedUs() const;

    // Player's play thread: handles events under playerLock until quit, then closes the file.
    void RunEventLoop(std::mutex& playerLock);
    void PostQuit();
    void PostAspectChanged();
    void PostResize(int width, int height);
    void PostExpose();

    // Main thread.
    bool Paused() const { return paused_; }
    void TogglePause();
    // Ignored while a seek is pending. position and offset in µs (bytes with flag 2).
    void RequestSeek(int64_t position, int64_t offset, int flags, bool wait);
    bool Seeking() const { return seeking_; }
    double MasterClock();
    int64_t BytePosition();
    int64_t CurrentPositionUs();
    // The picture on screen as a bitmap of the video's size; false without one.
    bool CurrentFrame(TBitmap24& bitmap, int64_t& ptsUs);

    // Any thread: the read thread is inside a read of the input.
    bool Reading() const { return reading_; }
    // Sets abort and wakes every wait; then (once) waits for the threads and frees the file.
    void Close();
    // Stop's last resort: sets abort, wakes every wait and breaks a read that blocks in the
    // system (which Close alone waits for). Does not wait. Safe while another thread is inside Close.
    void ForceClose();
    bool Closed() const { return closed_; }

private:
    struct TPictureSlot {
        TYuvPicture picture;
        bool allocated = false;
        int sourceWidth = 0, sourceHeight = 0;  // filter output size the slot was made for
        double pts = 0;
        int64_t pos = -1;
        double target = 0;  // target display time; 0 = none
        AVRational sar{0, 1};
        int generation = 0;  // flushes the video thread had seen when it made the picture
    };
    struct TLoopEvent {
        enum TType { etQuit, etRefresh, etAllocate, etAspect, etResize, etExpose } type = etRefresh;
        int width = 0, height = 0, slot = 0;
    };

    // Read thread (ReadThread.cpp).
    void ReadThreadMain();
    int OpenInput();
    int OpenStream(int index);
    void CloseStream(int index);
    void ReadLoop();
    void PerformSeek();
    static int InterruptCallback(void* opaque);
    // Sets abort and wakes every wait of the playback's threads.
    void RequestAbort();

    // Video thread (VideoDecoder.cpp).
    void VideoThreadMain();
    bool BuildVideoGraph(const AVFrame* frame);
    int GetVideoFrame(AVFrame* frame, bool& gotPicture);
    void OutputPicture(AVFrame* frame, double pts, int64_t pos);
    bool QueuePicture(AVFrame* frame, double pts, int64_t pos);
    double TargetTime(double pts);
    void RunHook(TYuvPicture& picture, int64_t ptsUs);

    // Subtitle thread (SubtitleDecoder.cpp).
    void SubtitleThreadMain();

    // Audio (AudioOutput.cpp).
    static void SDLCALL AudioCallback(void* opaque, Uint8* stream, int len);
    void FillAudio(Uint8* stream, int len);
    // Bytes of converted audio in audioBuffer_, or -1 for none (never blocks).
    int DecodeAudio();
    bool ConfigureResampler(const AVFrame* frame);
    double AudioClock();

    // Event loop, refresh and display (Display.cpp).
    void Post(const TLoopEvent& e);
    void RefreshThreadMain();
    void Refresh();
    void Display(TPictureSlot* slot);
    void DisplaySound();
    bool EnsureArea(bool force);
    void AllocatePicture(int slot, int width, int height);
    TDisplayRect PictureRect(const TYuvPicture& picture, AVRational sar) const;

    // Clocks and position (Playback.cpp).
    double VideoClock();
    void UpdatePosition();
    static double Now();
    void LogMsg(TLogLevel level, const std::string& msg);

    IPlaybackHost& host_;
    const TPlaybackOptions options_;

    // Set by the read thread before Open returns; read-only afterwards until Close.
    AVFormatContext* input_ = nullptr;  // owned; closed with CloseInputFile
    std::atomic<int> audioStream_{-1}, videoStream_{-1}, subtitleStream_{-1};
    AVStream* audioSt_ = nullptr;
    AVStream* videoSt_ = nullptr;
    AVStream* subtitleSt_ = nullptr;
    av::CodecContextPtr audioDec_, videoDec_, subtitleDec_;
    int64_t startTimeUs_ = kNoTimestamp, durationUs_ = -1, audioDurationUs_ = -1;
    bool isImage2_ = false, isCapture_ = false, seekByBytes_ = false;
    int codedWidth_ = -1, codedHeight_ = -1;
    AVRational videoFrameRate_{0, 1};
    double frameDuration_ = 0.04;  // nominal, from the frame rate

    // Threads.
    std::thread readThread_, videoThread_, subtitleThread_, refreshThread_;
    std::mutex openMutex_;
    std::condition_variable openCond_;
    int openStatus_ = 0;  // guarded by openMutex_: 0 pending, 1 success, -1 failed
    std::string openError_;  // guarded by openMutex_

    TPacketQueue audioQueue_, videoQueue_, subtitleQueue_;

    // Flags.
    std::atomic<bool> abort_{false};
    std::atomic<bool> paused_{false};
    bool lastPaused_ = false;      // read thread only
    std::atomic<bool> pauseUnsupported_{false};  // the input cannot pause (files)
    std::atomic<int64_t> lastPacketPos_{-1};
    std::atomic<bool> reading_{false};
    std::atomic<bool> endReported_{false};  // "reach end of file" logged
    std::atomic<bool> eof_{false};
    std::atomic<bool> drained_{false};
    std::atomic<bool> seekInProgress_{false};
    std::atomic<bool> firstPictureAfterFlush_{false};
    std::atomic<bool> refreshPending_{false};
    std::atomic<int> startPausedStep_{0};
    std::atomic<bool> pausedWhenSeeking_{false};
    std::atomic<bool> seeking_{false};
    std::atomic<bool> endStateRaised_{false};  // psEnd raised since the last picture or seek
    std::atomic<bool> videoEnded_{false};      // the video decoder gave out its last picture
    std::atomic<bool> showWhilePaused_{false};  // a paused player may still show the first picture after a flush
    std::atomic<bool> closed_{false};
    std::mutex interruptMutex_;     // guards the two below: the read thread is never signalled after it ended
    pthread_t readThreadHandle_{};
    bool readThreadAlive_ = false;

    // Seek request (seekMutex_).
    std::mutex seekMutex_;
    bool seekRequest_ = false;
    int64_t seekTarget_ = 0, seekOffset_ = 0;
    int seekFlags_ = 0;
    TManualEvent seekDone_, videoFrameReady_;

    // Picture queue (pictMutex_).
    std::mutex pictMutex_;
    std::condition_variable pictCond_;
    TPictureSlot slots_[2];
    int pictSize_ = 0, pictRead_ = 0, pictWrite_ = 0;
    AVRational pictureSar_{0, 1};  // of the newest picture; guarded by pictMutex_

    // Video timing (timingMutex_).
    std::mutex timingMutex_;
    double frameTimer_ = 0, frameLastPts_ = 0, frameLastDelay_ = 0;
    bool frameLastPtsValid_ = false;
    double videoClock_ = 0;
    double currentPts_ = 0, currentPtsDrift_ = 0;
    bool pictureShown_ = false;
    int64_t currentPos_ = -1;
    double skipFactor_ = 1, skipCounter_ = 0;
    // Video thread only.
    av::FilterGraphPtr graph_;
    AVFilterContext* bufferSrc_ = nullptr;   // owned by graph_
    AVFilterContext* bufferSink_ = nullptr;  // owned by graph_
    int graphWidth_ = -1, graphHeight_ = -1, graphFormat_ = -2;
    bool videoDecoderHasOutput_ = false;
    av::SwsPtr hookToRgb_, hookFromRgb_;
    TBitmap24 hookBitmap_;
    int faultyDts_ = 0, faultyPts_ = 0;
    int64_t lastDtsForFault_ = AV_NOPTS_VALUE, lastPtsForFault_ = AV_NOPTS_VALUE;

    // Subtitles.
    TSubtitleQueue subpictures_;
    std::atomic<bool> subtitleStreamChanged_{false};

    // Audio. The callback alone touches the decoder, packet and buffers; audioMutex_ guards the
    // fields the other threads read.
    SDL_AudioDeviceID audioDevice_ = 0;
    int audioRate_ = 0, audioChannels_ = 0;
    av::SwrPtr swr_;
    AVChannelLayout swrInLayout_{};
    int swrInRate_ = 0, swrInFormat_ = -1;
    std::vector<uint8_t> audioBuffer_;
    int audioBufSize_ = 0, audioBufIndex_ = 0;
    bool audioSilence_ = false;
    std::atomic<int64_t> audioPlayedBytes_{0};
    av::FramePtr audioFrame_;
    std::mutex audioMutex_;
    double audioClock_ = 0;        // audio: end of the decoded data
    int audioBytesLeft_ = 0;       // audio: decoded, not yet handed to SDL
    int64_t lastCallbackUs_ = 0;   // audio
    TSampleRing sampleRing_;       // audio
    std::atomic<int> soundDisplayMode_{0};
    int waveformStart_ = 0;        // event loop only

    // Event loop queue (eventMutex_).
    std::mutex eventMutex_;
    std::condition_variable eventCond_;
    std::deque<TLoopEvent> events_;

    // Video area: event loop only.
    int areaWidth_ = 0, areaHeight_ = 0;
    std::atomic<int> videoOutWidth_{0}, videoOutHeight_{0};  // filter output size, set by the video thread
    bool areaMade_ = false;
    std::atomic<int> screenWidth_{0}, screenHeight_{0};
    TYuvPicture soundPicture_;

    // The picture on screen, for CurrentFrame (shownMutex_).
    std::mutex shownMutex_;
    TYuvPicture shown_;
    AVRational shownSar_{0, 1};
    bool hasShown_ = false;

    // Position (positionMutex_).
    std::mutex positionMutex_;
    int64_t currentPositionUs_ = -1;
    int64_t positionFloorUs_ = -1;
    std::atomic<bool> positionFloorReset_{false};  // set when the first picture after a flush is shown
    int flushGeneration_ = 0;  // video thread only
    int shownGeneration_ = 0;  // event loop only
    int64_t lastReportedUs_ = 0;
    bool reportedAny_ = false;

    std::mutex closeMutex_;  // the close sequence runs once
};
