#include "player/Playback.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/FFmpegLogger.h"
#include "engine/MainThread.h"
#include "engine/UnicodeProtocol.h"

extern "C" {
#include <libavutil/time.h>
}

TPlayback::TPlayback(IPlaybackHost& host, TPlaybackOptions options) : host_(host), options_(std::move(options)) {
    audioBuffer_.resize(kAudioBufferBytes);
    audioFrame_ = av::MakeFrame();
    if (options_.startPaused) {
        paused_ = true;
        startPausedStep_ = 1;
    }
}

TPlayback::~TPlayback() {
    Close();
    CloseInputFile(&input_);
    av_channel_layout_uninit(&swrInLayout_);
}

double TPlayback::Now() { return static_cast<double>(av_gettime_relative()) / 1000000.0; }

void TPlayback::LogMsg(TLogLevel level, const std::string& msg) { TFFLogger::Instance().Log(host_.Sender(), level, msg); }

bool TPlayback::Open(std::string& error) {
    readThread_ = std::thread([this] { ReadThreadMain(); });
    const bool serve = MainThreadDispatcher().IsMainThread();
    for (;;) {
        if (serve) ProcessPendingMessages();
        std::unique_lock lock(openMutex_);
        if (openCond_.wait_for(lock, std::chrono::milliseconds(serve ? 5 : 100), [&] { return openStatus_ != 0; })) {
            if (openStatus_ > 0) return true;
            error = openError_;
            break;
        }
    }
    // The read thread has closed what it opened and ends by itself.
    readThread_.join();
    closed_ = true;
    return false;
}

void TPlayback::StartDisplay(int screenWidth, int screenHeight) {
    screenWidth_ = screenWidth;
    screenHeight_ = screenHeight;
    if (!HasVideo() && !options_.disableDisplay) soundDisplayMode_ = 1;
    refreshThread_ = std::thread([this] { RefreshThreadMain(); });
}

void TPlayback::Close() {
    std::lock_guard lock(closeMutex_);
    if (closed_) return;
    RequestAbort();
    if (readThread_.joinable()) readThread_.join();
    if (refreshThread_.joinable()) refreshThread_.join();
    {
        std::lock_guard pl(pictMutex_);
        for (TPictureSlot& s : slots_) s = TPictureSlot{};
    }
    {
        std::lock_guard el(eventMutex_);
        events_.clear();
    }
    closed_ = true;
}

void TPlayback::TogglePause() {
    seekDone_.Wait(250);  // a seek still pending after that counts as done
    if (paused_) {
        std::lock_guard pl(pictMutex_);
        std::lock_guard lock(timingMutex_);
        const double now = Now();
        // Everything still to be shown moves by the time spent paused.
        const double shift = now + currentPtsDrift_ - currentPts_;
        frameTimer_ += shift;
        for (int i = 0; i < pictSize_; ++i) slots_[(pictRead_ + i) % 2].target += shift;
        if (!pauseUnsupported_) currentPts_ = currentPtsDrift_ + now;
        currentPtsDrift_ = currentPts_ - now;
        paused_ = false;
    } else {
        if (HasVideo()) videoFrameReady_.Wait(250);
        paused_ = true;
    }
}

void TPlayback::RequestSeek(int64_t position, int64_t offset, int flags, bool wait) {
    {
        std::lock_guard lock(seekMutex_);
        if (seekRequest_) return;
        seeking_ = true;
        pausedWhenSeeking_ = paused_.load();
        seekTarget_ = position;
        seekOffset_ = offset;
        seekFlags_ = flags & 0xF;
        seekDone_.Reset();
        seekRequest_ = true;
    }
    if (!wait) return;
    while (!abort_ && !seekDone_.Wait(100)) {
    }
    if (HasVideo())
        while (!abort_ && !videoFrameReady_.Wait(100)) {
        }
}

double TPlayback::AudioClock() {
    std::lock_guard lock(audioMutex_);
    const int bytesPerSec = audioRate_ * 2 * audioChannels_;
    return bytesPerSec > 0 ? audioClock_ - static_cast<double>(audioBytesLeft_) / bytesPerSec : audioClock_;
}

double TPlayback::VideoClock() {
    std::lock_guard lock(timingMutex_);
    if (!pictureShown_) return startTimeUs_ != kNoTimestamp ? startTimeUs_ / 1000000.0 : 0.0;
    if (paused_) return currentPts_;
    return currentPtsDrift_ + Now();
}

double TPlayback::MasterClock() { return HasAudio() ? AudioClock() : VideoClock(); }

int64_t TPlayback::BytePosition() {
    if (HasVideo()) {
        std::lock_guard lock(timingMutex_);
        if (currentPos_ >= 0) return currentPos_;
    }
    return lastPacketPos_;
}

int64_t TPlayback::CurrentPositionUs() {
    std::lock_guard lock(positionMutex_);
    return currentPositionUs_;
}

int64_t TPlayback::AudioDevicePlayedUs() const {
    const int64_t bytesPerSecond = static_cast<int64_t>(audioRate_) * 2 * audioChannels_;
    return bytesPerSecond > 0 ? audioPlayedBytes_ * 1000000 / bytesPerSecond : 0;
}

void TPlayback::UpdatePosition() {
    std::lock_guard lock(positionMutex_);
    double clock = HasVideo() ? VideoClock() : AudioClock();
    if (HasVideo() && !videoEnded_ && videoQueue_.Count() > 0) {
        // More pictures are coming but none is ready: hold one frame after the picture on
        // screen instead of running ahead and jumping back when the late one is shown.
        std::lock_guard pl(pictMutex_);
        std::lock_guard tl(timingMutex_);
        if (pictSize_ == 0 && pictureShown_) clock = std::min(clock, currentPts_ + frameDuration_);
    }
    int64_t pos = static_cast<int64_t>(clock * 1000000.0) - (startTimeUs_ != kNoTimestamp ? startTimeUs_ : 0);
    if (!HasVideo() && audioDurationUs_ > 0 && pos >= audioDurationUs_ && pos < durationUs_) pos = durationUs_;
    if (durationUs_ > 0 && pos > durationUs_) pos = durationUs_;
    if (pos < 0) pos = 0;
    // Between pictures the video clock is an estimate; the picture that comes may be a little
    // older than it. The position never steps back within one stretch of play (a seek starts
    // a new one).
    if (HasVideo()) {
        if (positionFloorReset_.exchange(false)) positionFloorUs_ = -1;
        pos = std::max(pos, positionFloorUs_);
        positionFloorUs_ = pos;
    }
    currentPositionUs_ = pos;

    bool atEnd = drained_;
    if (atEnd && HasVideo()) {
        std::lock_guard pl(pictMutex_);
        atEnd = pictSize_ == 0;
    }
    const bool firstEnd = atEnd && !endStateRaised_;
    if (!reportedAny_ || std::llabs(pos - lastReportedUs_) > 10000 || firstEnd) {
        reportedAny_ = true;
        lastReportedUs_ = pos;
        host_.PostPosition(pos);
    }
    // With video the end is raised once until the next picture; without, on every update there.
    if (atEnd && (!HasVideo() || firstEnd)) {
        endStateRaised_ = true;
        host_.PostState(psEnd);
    }
}

bool TPlayback::CurrentFrame(TBitmap24& bitmap, int64_t& ptsUs) {
    ptsUs = -1;
    if (!HasVideo() || codedWidth_ <= 0 || codedHeight_ <= 0) return false;
    std::lock_guard lock(shownMutex_);
    if (!hasShown_ || shown_.Empty()) return false;
    bitmap.Resize(codedWidth_, codedHeight_);
    std::memset(bitmap.Bits(), 0, static_cast<size_t>(bitmap.Stride()) * bitmap.Height());
    const int w = std::min(shown_.width, codedWidth_), h = std::min(shown_.height, codedHeight_) & ~1;
    av::SwsPtr sws(sws_getContext(shown_.width, shown_.height, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGR24,
                                  SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!sws) return false;
    const uint8_t* src[3] = {shown_.y.data(), shown_.u.data(), shown_.v.data()};
    const int srcStride[3] = {shown_.width, shown_.ChromaWidth(), shown_.ChromaWidth()};
    uint8_t* dst[1] = {bitmap.Bits()};
    const int dstStride[1] = {bitmap.Stride()};
    if (sws_scale(sws.get(), src, srcStride, 0, shown_.height, dst, dstStride) <= 0) return false;
    ptsUs = shown_.ptsUs;
    return true;
}
