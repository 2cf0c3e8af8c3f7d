// The video thread: decodes packets, passes pictures through the filter graph to 4:2:0, chooses
// their times, skips pictures when the display falls behind, and queues them for display.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/FFUtils.h"
#include "player/Playback.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
}

namespace {
void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

bool TPlayback::BuildVideoGraph(const AVFrame* frame) {
    graph_.reset(avfilter_graph_alloc());
    bufferSrc_ = bufferSink_ = nullptr;
    if (!graph_) return false;
    graph_->scale_sws_opts = av_strdup("flags=bicubic");
    const AVRational tb = videoSt_->time_base;
    const AVRational sar = frame->sample_aspect_ratio;
    const std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", frame->width,
                                    frame->height, frame->format, tb.num, tb.den, sar.num, sar.den > 0 ? sar.den : 1);
    if (avfilter_graph_create_filter(&bufferSrc_, avfilter_get_by_name("buffer"), "src", args.c_str(), nullptr,
                                     graph_.get()) < 0 ||
        avfilter_graph_create_filter(&bufferSink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                     graph_.get()) < 0)
        return false;
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};
    if (av_opt_set_int_list(bufferSink_, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN) < 0 ||
        avfilter_link(bufferSrc_, 0, bufferSink_, 0) < 0 || avfilter_graph_config(graph_.get(), nullptr) < 0)
        return false;
    graphWidth_ = frame->width;
    graphHeight_ = frame->height;
    graphFormat_ = frame->format;
    return true;
}

void TPlayback::VideoThreadMain() {
    av::FramePtr frame = av::MakeFrame();
    av::FramePtr filtered = av::MakeFrame();
    if (!frame || !filtered) return;
    for (;;) {
        while (paused_ && !abort_ && !pausedWhenSeeking_ && startPausedStep_ == 0) Sleep(10);
        bool got = false;
        if (GetVideoFrame(frame.get(), got) < 0) break;
        if (!got) continue;
        if (!graph_ || frame->width != graphWidth_ || frame->height != graphHeight_ || frame->format != graphFormat_) {
            if (!BuildVideoGraph(frame.get())) {
                LogMsg(llError, "Cannot build the video filter graph");
                break;
            }
        }
        if (av_buffersrc_add_frame(bufferSrc_, frame.get()) < 0) {
            av_frame_unref(frame.get());
            continue;
        }
        const AVRational tb = av_buffersink_get_time_base(bufferSink_);
        while (!abort_ && av_buffersink_get_frame(bufferSink_, filtered.get()) >= 0) {
            if (seekInProgress_ && firstPictureAfterFlush_) {
                seekInProgress_ = false;
                pausedWhenSeeking_ = false;
            }
            const double pts = filtered->pts == AV_NOPTS_VALUE ? 0.0 : filtered->pts * av_q2d(tb);
            OutputPicture(filtered.get(), pts, filtered->pkt_pos);
            av_frame_unref(filtered.get());
            videoFrameReady_.Set();
            endReported_ = false;
            endStateRaised_ = false;
            {
                std::lock_guard lock(seekMutex_);
                if (!seekRequest_) seeking_ = false;
            }
            if (startPausedStep_ > 0 && ++startPausedStep_ > 2) {
                startPausedStep_ = 0;
                host_.PostState(psPause);
            }
        }
        if (abort_) break;
    }
    graph_.reset();
}

int TPlayback::GetVideoFrame(AVFrame* frame, bool& gotPicture) {
    gotPicture = false;
    AVCodecContext* dec = videoDec_.get();
    if (videoDecoderHasOutput_) {
        const int r = avcodec_receive_frame(dec, frame);
        if (r >= 0) {
            // Faulty time stamps (not increasing) are counted per source; the decoder's reordered
            // ones are used unless they are wrong more often than the packets' ones.
            const int64_t reordered = frame->pts, packet = frame->pkt_dts;
            if (reordered != AV_NOPTS_VALUE) {
                faultyPts_ += reordered <= lastPtsForFault_ ? 1 : 0;
                lastPtsForFault_ = reordered;
            }
            if (packet != AV_NOPTS_VALUE) {
                faultyDts_ += packet <= lastDtsForFault_ ? 1 : 0;
                lastDtsForFault_ = packet;
            }
            int64_t chosen;
            if (reordered != AV_NOPTS_VALUE && (faultyPts_ <= faultyDts_ || packet == AV_NOPTS_VALUE))
                chosen = reordered;
            else if (packet != AV_NOPTS_VALUE)
                chosen = packet;
            else
                chosen = 0;
            frame->pts = chosen;
            bool deliver;
            {
                std::lock_guard lock(timingMutex_);
                skipCounter_ += 1;
                deliver = skipCounter_ >= skipFactor_;
                if (deliver) skipCounter_ -= std::max(1.0, skipFactor_);
            }
            if (deliver)
                gotPicture = true;
            else
                av_frame_unref(frame);
            return 0;
        }
        videoDecoderHasOutput_ = false;
        if (r == AVERROR_EOF) {
            videoEnded_ = true;
            if (!endReported_) UpdatePosition();  // the end: no more pictures
        }
        return 0;
    }

    TQueuedPacket q;
    if (videoQueue_.Get(q, true) < 0) return -1;
    if (q.flush) {
        avcodec_flush_buffers(dec);
        {
            std::unique_lock lock(pictMutex_);
            for (TPictureSlot& s : slots_) s.target = 0;
            pictCond_.wait(lock, [&] { return pictSize_ == 0 || abort_; });
        }
        {
            std::lock_guard lock(timingMutex_);
            currentPos_ = -1;
            frameLastPtsValid_ = false;
            frameLastDelay_ = 0;
            frameTimer_ = Now();
            skipFactor_ = 1;
            skipCounter_ = 0;
        }
        lastPtsForFault_ = lastDtsForFault_ = AV_NOPTS_VALUE;
        videoEnded_ = false;
        showWhilePaused_ = true;
        ++flushGeneration_;
        firstPictureAfterFlush_ = true;
        return 0;
    }
    const int s = avcodec_send_packet(dec, q.packet->data ? q.packet.get() : nullptr);
    // A decoder already drained answers end of file to a further empty packet; that still
    // counts as "no picture" below.
    if (s < 0 && s != AVERROR_EOF && s != AVERROR(EAGAIN)) return 0;  // a broken packet is skipped
    videoDecoderHasOutput_ = true;
    return 0;
}

void TPlayback::OutputPicture(AVFrame* frame, double pts, int64_t pos) {
    {
        std::lock_guard lock(timingMutex_);
        if (pts != 0)
            videoClock_ = pts;
        else
            pts = videoClock_;
        const double frameDelay = frameDuration_ + frame->repeat_pict * (frameDuration_ * 0.5);
        videoClock_ += frameDelay;
    }
    QueuePicture(frame, pts, pos);
}

double TPlayback::TargetTime(double pts) {
    std::lock_guard lock(timingMutex_);
    double delay = pts - frameLastPts_;
    if (!frameLastPtsValid_ || delay <= 0 || delay >= 10.0)
        delay = frameLastDelay_;
    else
        frameLastDelay_ = delay;
    frameLastPts_ = pts;
    frameLastPtsValid_ = true;
    if (audioStream_ >= 0) {
        const double videoClock = !pictureShown_ ? (startTimeUs_ != kNoTimestamp ? startTimeUs_ / 1e6 : 0.0)
                                  : paused_      ? currentPts_
                                                 : currentPtsDrift_ + Now();
        const double diff = videoClock - AudioClock();
        const double threshold = std::max(delay, 0.01);
        if (std::abs(diff) < 10.0) {
            if (diff <= -threshold)
                delay = 0;
            else if (diff >= threshold)
                delay = 2 * delay;
        }
    }
    frameTimer_ += delay;
    return frameTimer_;
}

bool TPlayback::QueuePicture(AVFrame* frame, double pts, int64_t pos) {
    const int w = frame->width & ~1, h = frame->height & ~1;
    if (w <= 0 || h <= 0) return false;
    std::unique_lock lock(pictMutex_);
    if (pictSize_ >= 2 && !refreshPending_) {
        std::lock_guard tl(timingMutex_);
        skipFactor_ = std::max(0.95 * skipFactor_, 0.95);
    }
    pictCond_.wait(lock, [&] { return pictSize_ < 2 || abort_; });
    if (abort_) return false;
    const int index = pictWrite_;
    TPictureSlot* vp = &slots_[index];
    if (!vp->allocated || vp->sourceWidth != w || vp->sourceHeight != h) {
        vp->allocated = false;
        videoOutWidth_ = w;
        videoOutHeight_ = h;
        TLoopEvent e;
        e.type = TLoopEvent::etAllocate;
        e.slot = index;
        e.width = w;
        e.height = h;
        Post(e);
        pictCond_.wait(lock, [&] { return vp->allocated || abort_.load(); });
        if (abort_) return false;
    }
    lock.unlock();

    // The slot at the write index is not read by the event loop until it is counted below.
    TYuvPicture& pic = vp->picture;
    for (int y = 0; y < h; ++y)
        std::memcpy(pic.y.data() + static_cast<size_t>(y) * w, frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                    static_cast<size_t>(w));
    for (int y = 0; y < h / 2; ++y) {
        std::memcpy(pic.u.data() + static_cast<size_t>(y) * (w / 2),
                    frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1], static_cast<size_t>(w / 2));
        std::memcpy(pic.v.data() + static_cast<size_t>(y) * (w / 2),
                    frame->data[2] + static_cast<ptrdiff_t>(y) * frame->linesize[2], static_cast<size_t>(w / 2));
    }
    pic.ptsUs = static_cast<int64_t>(pts * 1e6) - (startTimeUs_ != kNoTimestamp ? startTimeUs_ : 0);
    if (host_.HookWanted()) RunHook(pic, pic.ptsUs);
    vp->pts = pts;
    vp->pos = pos;
    vp->sar = frame->sample_aspect_ratio;
    vp->generation = flushGeneration_;

    lock.lock();
    vp->target = TargetTime(pts);
    pictWrite_ = (pictWrite_ + 1) % 2;
    ++pictSize_;
    return true;
}

void TPlayback::RunHook(TYuvPicture& picture, int64_t ptsUs) {
    const int w = picture.width, h = picture.height;
    hookToRgb_.reset(sws_getCachedContext(hookToRgb_.release(), w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGR24,
                                          SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!hookToRgb_) {
        LogMsg(llError, "Cannot initialize the toRGB conversion context");
        return;
    }
    hookBitmap_.Resize(w, h);
    const uint8_t* src[3] = {picture.y.data(), picture.u.data(), picture.v.data()};
    const int srcStride[3] = {w, w / 2, w / 2};
    uint8_t* rgb[1] = {hookBitmap_.Bits()};
    const int rgbStride[1] = {hookBitmap_.Stride()};
    sws_scale(hookToRgb_.get(), src, srcStride, 0, h, rgb, rgbStride);
    try {
        host_.RaiseHook(hookBitmap_.View(), ptsUs);
    } catch (const std::exception& e) {
        LogMsg(llError, std::string("Error occurs OnHook: ") + e.what());
        return;  // shown without the drawing
    }
    hookFromRgb_.reset(sws_getCachedContext(hookFromRgb_.release(), w, h, AV_PIX_FMT_BGR24, w, h,
                                            AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!hookFromRgb_) {
        LogMsg(llError, "Cannot initialize the fromRGB conversion context");
        return;
    }
    const uint8_t* back[1] = {hookBitmap_.Bits()};
    uint8_t* dst[3] = {picture.y.data(), picture.u.data(), picture.v.data()};
    const int dstStride[3] = {w, w / 2, w / 2};
    sws_scale(hookFromRgb_.get(), back, rgbStride, 0, h, dst, dstStride);
}
