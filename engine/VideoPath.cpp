#include "engine/VideoPath.h"

#include <algorithm>
#include <cmath>

#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {

int RoundDownEven(int64_t v) { return static_cast<int>(v) & ~1; }

}  // namespace

TVideoOut::TVideoOut(AVCodecContext* enc, int inputFile, int inputStream, int inWidth, int inHeight,
                     AVPixelFormat inFormat, const TCropBands& crop, int swsFlags)
    : enc_(enc),
      inputFile_(inputFile),
      inputStream_(inputStream),
      resampleWidth_(inWidth - crop.left - crop.right),
      resampleHeight_(inHeight - crop.top - crop.bottom),
      resampleFormat_(inFormat),
      originalWidth_(inWidth),
      originalHeight_(inHeight),
      crop_(crop),
      originalCrop_(crop),
      swsFlags_(swsFlags),
      cropped_(av::MakeFrame()),
      work_(av::MakeFrame()) {
    if (!cropped_ || !work_) throw FFmpegException("av_mallocz fail");
    resample_ = resampleWidth_ != enc->width || resampleHeight_ != enc->height || resampleFormat_ != enc->pix_fmt;
    if (resample_) {
        scaled_ = av::MakeFrame();
        if (!scaled_) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
        scaled_->format = enc->pix_fmt;
        scaled_->width = enc->width;
        scaled_->height = enc->height;
        if (av_frame_get_buffer(scaled_.get(), 0) < 0)
            throw FFmpegException("Cannot allocate temp picture, check pix fmt");
        MakeScaler();
    }
}

// The scaler splits each picture into slices over every core: at 1080p a single-threaded scale
// costs more than the rest of a small-size conversion.
void TVideoOut::MakeScaler() {
    scaler_.reset(sws_alloc_context());
    SwsContext* ctx = scaler_.get();
    if (!ctx || av_opt_set_int(ctx, "srcw", resampleWidth_, 0) < 0 || av_opt_set_int(ctx, "srch", resampleHeight_, 0) < 0 ||
        av_opt_set_int(ctx, "src_format", resampleFormat_, 0) < 0 || av_opt_set_int(ctx, "dstw", enc_->width, 0) < 0 ||
        av_opt_set_int(ctx, "dsth", enc_->height, 0) < 0 || av_opt_set_int(ctx, "dst_format", enc_->pix_fmt, 0) < 0 ||
        av_opt_set_int(ctx, "sws_flags", swsFlags_, 0) < 0 || av_opt_set_int(ctx, "threads", 0, 0) < 0 ||
        sws_init_context(ctx, nullptr, nullptr) < 0) {
        scaler_.reset();
        throw FFmpegException("Cannot get resampling context");
    }
}

// Applies the crop bands and, when the picture needs it, the scaler; returns what goes to the encoder.
const AVFrame* TVideoOut::Prepare(const AVFrame* picture, const TVideoSyncSettings& settings) {
    const auto format = static_cast<AVPixelFormat>(picture->format);
    const int width = picture->width - crop_.left - crop_.right;
    const int height = picture->height - crop_.top - crop_.bottom;
    if (width != resampleWidth_ || height != resampleHeight_ || format != resampleFormat_) {
        const char* name = av_get_pix_fmt_name(format);
        TFFLogger::Instance().LogFmt(settings.sender, llQuiet, "Input Stream #%d.%d frame size changed to %dx%d, %s",
                                     inputFile_, inputStream_, picture->width, picture->height, name ? name : "none");
        if (!resample_)
            throw FFmpegException("The input picture size changed during the conversion; "
                                  "give an output frame size (-s) so that pictures are scaled");
        // The bands keep their proportion of the new picture, rounded down to even.
        if (crop_.Any()) {
            crop_.top = RoundDownEven(static_cast<int64_t>(picture->height) * originalCrop_.top / originalHeight_);
            crop_.bottom = RoundDownEven(static_cast<int64_t>(picture->height) * originalCrop_.bottom / originalHeight_);
            crop_.left = RoundDownEven(static_cast<int64_t>(picture->width) * originalCrop_.left / originalWidth_);
            crop_.right = RoundDownEven(static_cast<int64_t>(picture->width) * originalCrop_.right / originalWidth_);
        }
        resampleWidth_ = picture->width - crop_.left - crop_.right;
        resampleHeight_ = picture->height - crop_.top - crop_.bottom;
        resampleFormat_ = format;
        if (resampleWidth_ <= 0 || resampleHeight_ <= 0) throw FFmpegException("Cannot get resampling context");
        MakeScaler();
    }

    const AVFrame* source = picture;
    if (crop_.Any()) {
        av_frame_unref(cropped_.get());
        if (av_frame_ref(cropped_.get(), picture) < 0) throw FFmpegException("av_mallocz fail");
        cropped_->crop_top = static_cast<size_t>(crop_.top);
        cropped_->crop_bottom = static_cast<size_t>(crop_.bottom);
        cropped_->crop_left = static_cast<size_t>(crop_.left);
        cropped_->crop_right = static_cast<size_t>(crop_.right);
        if (av_frame_apply_cropping(cropped_.get(), AV_FRAME_CROP_UNALIGNED) < 0) {
            if (settings.exitOnError) throw FFmpegException("error cropping picture");
            TFFLogger::Instance().Log(settings.sender, llError, "error cropping picture");
            return nullptr;
        }
        source = cropped_.get();
    }
    if (!resample_) return source;
    // The encoder may still hold the last picture: take a fresh buffer rather than copying it.
    if (!av_frame_is_writable(scaled_.get())) {
        av_frame_unref(scaled_.get());
        scaled_->format = enc_->pix_fmt;
        scaled_->width = enc_->width;
        scaled_->height = enc_->height;
        if (av_frame_get_buffer(scaled_.get(), 0) < 0) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
    }
    if (sws_scale_frame(scaler_.get(), scaled_.get(), source) < 0) throw FFmpegException("Cannot scale the picture");
    return scaled_.get();
}

int TVideoOut::Process(const AVFrame* picture, int64_t syncInputPtsUs, const TVideoSyncSettings& settings,
                       TVideoCounters& counters, const TPacketSink& sink) {
    if (!picture || flushed_) return 0;
    TFFLogger& log = TFFLogger::Instance();
    const double inputTime = static_cast<double>(syncInputPtsUs - settings.startTimeUs) / 1000000.0;
    const double syncPosition = inputTime / av_q2d(enc_->time_base);
    int64_t frames = 1;
    if (settings.videoSyncMethod != 0) {
        const double vdelta = syncPosition - static_cast<double>(syncPts);
        if (vdelta < -1.1) {
            frames = 0;
        } else if (settings.videoSyncMethod == 2 || (settings.videoSyncMethod < 0 && settings.variableRateFormat)) {
            if (vdelta <= -0.6)
                frames = 0;
            else if (vdelta > 0.6)
                syncPts = std::llround(syncPosition);
        } else if (vdelta > 1.1) {
            frames = std::llround(vdelta);
        }
        if (frames == 0) {
            ++counters.droppedFrames;
            counters.dupDropChanged = true;
            if (settings.verbose > 2) log.Log(settings.sender, llVerbose, "*** drop!");
        } else if (frames > 1) {
            counters.duplicatedFrames += static_cast<int>(frames - 1);
            counters.dupDropChanged = true;
            if (settings.verbose > 2) log.LogFmt(settings.sender, llVerbose, "*** %d dup!", static_cast<int>(frames - 1));
        }
    } else {
        // Pass-through keeps the input's timing, but a timestamp at or before the previous one
        // would be refused by the muxer, so it moves just behind it.
        syncPts = std::max<int64_t>(std::llround(syncPosition), syncPts);
    }
    frames = std::min<int64_t>(frames, static_cast<int64_t>(settings.maxFrames) - frameNumber);
    if (frames <= 0) return 0;

    const AVFrame* prepared = Prepare(picture, settings);
    if (!prepared) return 0;

    int lastSize = 0;
    for (int64_t i = 0; i < frames; ++i) {
        if (settings.stopRequested && settings.stopRequested->load()) break;
        av_frame_unref(work_.get());
        if (av_frame_ref(work_.get(), prepared) < 0) throw FFmpegException("Video encoding failed");
        work_->interlaced_frame = picture->interlaced_frame;
        if (settings.interlacedEncoding)
            work_->top_field_first = settings.topFieldFirst != -1 ? settings.topFieldFirst : picture->top_field_first;
        if (!settings.keepPictureType) work_->pict_type = AV_PICTURE_TYPE_NONE;
        work_->pts = syncPts;
        if (settings.previews)
            settings.previews->Offer(work_->data, work_->linesize, static_cast<AVPixelFormat>(work_->format),
                                     work_->width, work_->height, settings.frameCounter,
                                     av_rescale_q(syncPts, enc_->time_base, AV_TIME_BASE_Q), settings.sender);
        const int size = Encode(work_.get(), sink);
        if (size > 0) lastSize = size;
        ++syncPts;
        ++frameNumber;
    }
    return lastSize;
}

int TVideoOut::Encode(AVFrame* frame, const TPacketSink& sink) {
    if (avcodec_send_frame(enc_, frame) < 0) throw FFmpegException("Video encoding failed");
    av::PacketPtr pkt = av::MakePacket();
    int lastSize = 0;
    for (;;) {
        const int rc = avcodec_receive_packet(enc_, pkt.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) throw FFmpegException("Video encoding failed");
        lastSize = pkt->size;
        // One frame of the encoder's time base unless the encoder said otherwise: the muxer needs
        // it for the last frame's time.
        if (pkt->duration <= 0) pkt->duration = 1;
        sink(pkt.get());
        av_packet_unref(pkt.get());
        if (passLog_ && enc_->stats_out) std::fputs(enc_->stats_out, passLog_.get());
    }
    return lastSize;
}

void TVideoOut::Flush(const TPacketSink& sink) {
    if (flushed_) return;
    flushed_ = true;
    Encode(nullptr, sink);
    if (passLog_ && enc_->stats_out) std::fputs(enc_->stats_out, passLog_.get());
    passLog_.reset();
}

void SubtitleOut(AVCodecContext* enc, const AVSubtitle& subtitle, int64_t ptsInStream, AVRational inTimeBase,
                 int64_t startTimeUs, bool exitOnError, TFFBaseComponent* sender, const TPacketSink& sink) {
    if (ptsInStream == AV_NOPTS_VALUE) {
        if (exitOnError) throw FFmpegException("Subtitle packets must have a pts");
        TFFLogger::Instance().Log(sender, llError, "Subtitle packets must have a pts");
        return;
    }
    constexpr int kBufferSize = 1024 * 1024;
    static thread_local av::BufferPtr<uint8_t> buffer(static_cast<uint8_t*>(av_malloc(kBufferSize)));
    if (!buffer) throw FFmpegException("Subtitle encoding failed");

    // DVB subtitles are sent twice: the second packet clears the display.
    const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
    const int passes = dvb ? 2 : 1;
    AVSubtitle sub = subtitle;
    const int64_t basePts = av_rescale_q(ptsInStream, inTimeBase, AV_TIME_BASE_Q) - startTimeUs;
    for (int pass = 0; pass < passes; ++pass) {
        sub.pts = basePts + static_cast<int64_t>(subtitle.start_display_time) * 1000;
        sub.end_display_time = subtitle.end_display_time - subtitle.start_display_time;
        sub.start_display_time = 0;
        if (pass == 1) sub.num_rects = 0;
        const int size = avcodec_encode_subtitle(enc, buffer.get(), kBufferSize, &sub);
        if (size < 0) throw FFmpegException("Subtitle encoding failed");
        av::PacketPtr pkt = av::MakePacket();
        if (av_new_packet(pkt.get(), size) < 0) throw FFmpegException("Subtitle encoding failed");
        std::copy(buffer.get(), buffer.get() + size, pkt->data);
        pkt->pts = sub.pts;
        if (dvb) pkt->pts += 1000 * static_cast<int64_t>(pass == 0 ? sub.start_display_time : sub.end_display_time);
        pkt->dts = pkt->pts;
        pkt->duration = static_cast<int64_t>(sub.end_display_time) * 1000;
        sink(pkt.get());
    }
}
