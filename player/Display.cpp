// The event loop: refresh (picture timing, dropping, subtitles), display into the video sink,
// picture slots, the waveform, and the quit request.
#include <chrono>
#include <cmath>
#include <thread>

#include "player/Playback.h"

extern "C" {
#include <libavutil/time.h>
}

void TPlayback::Post(const TLoopEvent& e) {
    std::lock_guard lock(eventMutex_);
    events_.push_back(e);
    eventCond_.notify_one();
}

void TPlayback::PostQuit() { Post(TLoopEvent{TLoopEvent::etQuit}); }
void TPlayback::PostAspectChanged() { Post(TLoopEvent{TLoopEvent::etAspect}); }
void TPlayback::PostExpose() { Post(TLoopEvent{TLoopEvent::etExpose}); }
void TPlayback::PostResize(int width, int height) {
    TLoopEvent e{TLoopEvent::etResize};
    e.width = width;
    e.height = height;
    Post(e);
}

void TPlayback::RunEventLoop(std::mutex& playerLock) {
    for (;;) {
        TLoopEvent e;
        {
            std::unique_lock lock(eventMutex_);
            eventCond_.wait(lock, [&] { return !events_.empty(); });
            e = events_.front();
            events_.pop_front();
        }
        if (e.type == TLoopEvent::etQuit) break;
        std::lock_guard lock(playerLock);
        switch (e.type) {
            case TLoopEvent::etRefresh:
                Refresh();
                refreshPending_ = false;
                break;
            case TLoopEvent::etAllocate: AllocatePicture(e.slot, e.width, e.height); break;
            case TLoopEvent::etAspect:
                EnsureArea(true);
                Display(nullptr);
                break;
            case TLoopEvent::etResize:
                screenWidth_ = e.width;
                screenHeight_ = e.height;
                EnsureArea(false);
                if (paused_) Display(nullptr);
                break;
            case TLoopEvent::etExpose: Display(nullptr); break;
            case TLoopEvent::etQuit: break;
        }
    }
    Close();
}

void TPlayback::RefreshThreadMain() {
    while (!abort_) {
        if (!refreshPending_.exchange(true)) Post(TLoopEvent{TLoopEvent::etRefresh});
        const bool sound = soundDisplayMode_ != 0 && videoStream_ < 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(sound ? 20 : 5));
    }
}

void TPlayback::Refresh() {
    bool dropped = false;
    if (videoStream_ >= 0) {
        std::unique_lock lock(pictMutex_);
        while (pictSize_ > 0) {
            TPictureSlot& vp = slots_[pictRead_];
            const double now = Now();
            if (now < vp.target) return;  // not yet: try again at the next refresh
            if (paused_ && !showWhilePaused_) {
                // Paused: the picture on screen stays. Pictures from before a seek still go.
                if (!seekInProgress_) return;
                pictRead_ = (pictRead_ + 1) % 2;
                --pictSize_;
                pictCond_.notify_all();
                dropped = true;
                continue;
            }
            bool drop = false;
            {
                std::lock_guard tl(timingMutex_);
                currentPts_ = vp.pts;
                currentPtsDrift_ = vp.pts - now;
                currentPos_ = vp.pos;
                pictureShown_ = true;
                const double nextTarget =
                    pictSize_ > 1 ? slots_[(pictRead_ + 1) % 2].target : vp.target + videoClock_ - vp.pts;
                const bool late = !isCapture_ && now > nextTarget;
                if (late || seekInProgress_) {
                    skipFactor_ *= 1.05;
                    drop = pictSize_ > 1 || now > nextTarget + 0.5 || seekInProgress_;
                }
            }
            if (drop) {
                pictRead_ = (pictRead_ + 1) % 2;
                --pictSize_;
                pictCond_.notify_all();
                dropped = true;
                continue;
            }
            lock.unlock();

            if (subtitleStreamChanged_) {
                subpictures_.Clear();
                subtitleStreamChanged_ = false;
            } else if (subtitleStream_ >= 0) {
                auto sl = subpictures_.Lock();
                if (subpictures_.SizeLocked() > 0) {
                    const TSubtitleQueue::TEntry& sp = subpictures_.AtLocked(0);
                    const bool ended = vp.pts > sp.pts + sp.sub.end_display_time / 1000.0;
                    bool next = false;
                    if (subpictures_.SizeLocked() > 1) {
                        const TSubtitleQueue::TEntry& sp2 = subpictures_.AtLocked(1);
                        next = vp.pts > sp2.pts + sp2.sub.start_display_time / 1000.0;
                    }
                    if (ended || next) subpictures_.PopLocked();
                }
            }

            // The first picture after a seek starts a new stretch of positions.
            if (vp.generation != shownGeneration_) positionFloorReset_ = true;
            shownGeneration_ = vp.generation;
            Display(&vp);
            if (paused_) showWhilePaused_ = false;  // the one picture a paused player shows after a flush
            lock.lock();
            pictRead_ = (pictRead_ + 1) % 2;
            --pictSize_;
            pictCond_.notify_all();
            break;
        }
    } else if (audioStream_ >= 0) {
        Display(nullptr);
    }
    if (!dropped) UpdatePosition();
}

bool TPlayback::EnsureArea(bool force) {
    int w = screenWidth_, h = screenHeight_;
    if (w <= 0 || h <= 0) {
        if (videoOutWidth_ > 0 && videoOutHeight_ > 0) {
            w = videoOutWidth_ & ~1;
            h = videoOutHeight_ & ~1;
        } else {
            w = 640;
            h = 480;
        }
    }
    if (!force && areaMade_ && w == areaWidth_ && h == areaHeight_) return true;
    if (!options_.sink->SetVideoSize(w, h)) {
        LogMsg(llError, "SDL: could not set video mode.");
        return false;
    }
    areaWidth_ = w;
    areaHeight_ = h;
    areaMade_ = true;
    return true;
}

void TPlayback::AllocatePicture(int slot, int width, int height) {
    EnsureArea(false);
    std::lock_guard lock(pictMutex_);
    TPictureSlot& vp = slots_[slot];
    vp.picture.Resize(width, height);
    vp.picture.FillBlack();
    vp.sourceWidth = width;
    vp.sourceHeight = height;
    vp.allocated = true;
    pictCond_.notify_all();
}

TDisplayRect TPlayback::PictureRect(const TYuvPicture& picture, AVRational sar) const {
    const float ratio = host_.AspectRatio();
    double a;
    if (ratio < 0 && areaWidth_ > 0 && areaHeight_ > 0) {
        a = static_cast<double>(areaWidth_) / areaHeight_;
    } else if (ratio > 0) {
        a = ratio;
    } else {
        double s = sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0;
        if (s <= 0) s = 1.0;
        a = s * picture.width / picture.height;
    }
    TDisplayRect r;
    r.height = areaHeight_;
    r.width = static_cast<int>(std::lrint(r.height * a)) & ~1;
    if (r.width > areaWidth_) {
        r.width = areaWidth_;
        r.height = static_cast<int>(std::lrint(r.width / a)) & ~1;
    }
    r.x = (areaWidth_ - r.width) / 2;
    r.y = (areaHeight_ - r.height) / 2;
    return r;
}

void TPlayback::Display(TPictureSlot* slot) {
    if (!areaMade_ && !EnsureArea(false)) return;
    if (videoStream_ < 0) {
        if (audioStream_ >= 0 && soundDisplayMode_ != 0) DisplaySound();
        return;
    }
    if (!slot) {
        // Redraw what is on screen.
        std::lock_guard lock(shownMutex_);
        if (hasShown_) options_.sink->ShowPicture(shown_, PictureRect(shown_, shownSar_));
        return;
    }
    if (subtitleStream_ >= 0) {
        auto sl = subpictures_.Lock();
        if (subpictures_.SizeLocked() > 0) {
            const TSubtitleQueue::TEntry& sp = subpictures_.AtLocked(0);
            if (slot->pts >= sp.pts + sp.sub.start_display_time / 1000.0) BlendSubtitle(slot->picture, sp.sub);
        }
    }
    options_.sink->ShowPicture(slot->picture, PictureRect(slot->picture, slot->sar));
    std::lock_guard lock(shownMutex_);
    shown_ = slot->picture;
    shownSar_ = slot->sar;
    hasShown_ = true;
}

void TPlayback::DisplaySound() {
    const int channels = audioChannels_;
    if (channels <= 0) return;
    if (soundPicture_.width != areaWidth_ || soundPicture_.height != areaHeight_)
        soundPicture_.Resize(areaWidth_, areaHeight_);
    {
        std::lock_guard lock(audioMutex_);
        if (!paused_) {
            const int64_t sinceCallbackUs = av_gettime_relative() - lastCallbackUs_;
            int delay = audioBytesLeft_ / (2 * channels) -
                        static_cast<int>(static_cast<int64_t>(audioRate_) * sinceCallbackUs / 1000000) + 2 * areaWidth_;
            if (delay < areaWidth_) delay = areaWidth_;
            waveformStart_ = WaveformStart(sampleRing_, channels, delay);
        }
        DrawWaveform(soundPicture_, sampleRing_, waveformStart_, channels);
    }
    soundPicture_.ptsUs = -1;
    TDisplayRect r;
    r.width = soundPicture_.width;
    r.height = soundPicture_.height;
    options_.sink->ShowPicture(soundPicture_, r);
}
