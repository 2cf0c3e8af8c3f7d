#include "engine/AudioPath.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

template <typename T>
void ScaleIntegers(T* p, size_t count, int vol, int64_t lo, int64_t hi) {
    for (size_t i = 0; i < count; ++i) {
        const int64_t v = (static_cast<int64_t>(p[i]) * vol + 128) >> 8;
        p[i] = static_cast<T>(std::clamp(v, lo, hi));
    }
}

template <typename T>
void ScaleFloats(T* p, size_t count, int vol) {
    const T factor = static_cast<T>(vol) / static_cast<T>(256);
    for (size_t i = 0; i < count; ++i) p[i] = std::clamp(p[i] * factor, static_cast<T>(-1), static_cast<T>(1));
}

// A layout the resampler accepts for a block: an unspecified order becomes the default one.
AVChannelLayout UsableLayout(const AVChannelLayout& layout) {
    AVChannelLayout out{};
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC || layout.nb_channels <= 0)
        av_channel_layout_default(&out, layout.nb_channels > 0 ? layout.nb_channels : 2);
    else
        av_channel_layout_copy(&out, &layout);
    return out;
}

// Data pointers of a sample buffer advanced by `samples`.
void OffsetPointers(uint8_t* const* data, AVSampleFormat fmt, int channels, int samples, uint8_t** out) {
    const int bps = av_get_bytes_per_sample(fmt);
    if (av_sample_fmt_is_planar(fmt)) {
        for (int c = 0; c < channels; ++c) out[c] = data[c] + static_cast<ptrdiff_t>(samples) * bps;
    } else {
        out[0] = data[0] + static_cast<ptrdiff_t>(samples) * bps * channels;
    }
}

}  // namespace

void ApplyVolume(AVFrame* frame, int vol) {
    if (vol == 256 || !frame) return;
    const auto fmt = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const bool planar = av_sample_fmt_is_planar(fmt);
    const int planes = planar ? channels : 1;
    const size_t count = static_cast<size_t>(frame->nb_samples) * (planar ? 1 : channels);
    for (int p = 0; p < planes; ++p) {
        uint8_t* d = frame->extended_data[p];
        switch (av_get_packed_sample_fmt(fmt)) {
            case AV_SAMPLE_FMT_U8:
                for (size_t i = 0; i < count; ++i) {
                    const int v = ((static_cast<int>(d[i]) - 128) * vol + 128) >> 8;
                    d[i] = static_cast<uint8_t>(std::clamp(v, -128, 127) + 128);
                }
                break;
            case AV_SAMPLE_FMT_S16:
                ScaleIntegers(reinterpret_cast<int16_t*>(d), count, vol, INT16_MIN, INT16_MAX);
                break;
            case AV_SAMPLE_FMT_S32:
                ScaleIntegers(reinterpret_cast<int32_t*>(d), count, vol, INT32_MIN, INT32_MAX);
                break;
            case AV_SAMPLE_FMT_FLT: ScaleFloats(reinterpret_cast<float*>(d), count, vol); break;
            case AV_SAMPLE_FMT_DBL: ScaleFloats(reinterpret_cast<double*>(d), count, vol); break;
            default: break;  // 64-bit integer samples: left alone, no decoder produces them
        }
    }
}

TAudioOut::TAudioOut(AVCodecContext* enc, bool alwaysResample)
    : enc_(enc), alwaysResample_(alwaysResample), converted_(av::MakeFrame()), encodeFrame_(av::MakeFrame()) {
    fifo_.reset(av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024));
    if (!fifo_ || !converted_ || !encodeFrame_) throw FFmpegException("av_fifo_alloc fail");
}

int64_t TAudioOut::FifoSamples() const { return av_audio_fifo_size(fifo_.get()); }

int64_t TAudioOut::FedEndUs() const {
    return av_rescale(syncPts_ + FifoSamples(), 1000000, enc_->sample_rate);
}

bool TAudioOut::FrameBased() const { return enc_->frame_size > 1; }

void TAudioOut::EnsureConverter(const AVFrame* block) {
    AVChannelLayout inLayout = UsableLayout(block->ch_layout);
    const auto inFormat = static_cast<AVSampleFormat>(block->format);
    const bool needed = alwaysResample_ || swr_ || inFormat != enc_->sample_fmt ||
                        block->sample_rate != enc_->sample_rate ||
                        av_channel_layout_compare(&inLayout, &enc_->ch_layout) != 0;
    const bool sameInput = swr_ && swrInFormat_ == inFormat && swrInRate_ == block->sample_rate &&
                           av_channel_layout_compare(&swrInLayout_, &inLayout) == 0;
    if (!needed || sameInput) {
        av_channel_layout_uninit(&inLayout);
        return;
    }
    SwrContext* raw = nullptr;
    int rc = swr_alloc_set_opts2(&raw, &enc_->ch_layout, enc_->sample_fmt, enc_->sample_rate, &inLayout, inFormat,
                                 block->sample_rate, 0, nullptr);
    av::SwrPtr swr(raw);
    if (rc >= 0) {
        // Filter length 16, 2^10 phases, cut-off 0.8: the resampler's classic quality set.
        av_opt_set_int(swr.get(), "filter_size", 16, 0);
        av_opt_set_int(swr.get(), "phase_shift", 10, 0);
        av_opt_set_double(swr.get(), "cutoff", 0.8, 0);
        rc = swr_init(swr.get());
    }
    if (rc < 0) {
        av_channel_layout_uninit(&inLayout);
        throw FFmpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                     block->ch_layout.nb_channels, block->sample_rate,
                                     enc_->ch_layout.nb_channels, enc_->sample_rate));
    }
    swr_ = std::move(swr);
    swrInFormat_ = inFormat;
    swrInRate_ = block->sample_rate;
    av_channel_layout_uninit(&swrInLayout_);
    swrInLayout_ = inLayout;
}

int TAudioOut::Convert(const AVFrame* block) {
    const int capacity = swr_get_out_samples(swr_.get(), block->nb_samples);
    if (capacity < 0) throw FFmpegException("Out of memory in do_audio_out");
    if (converted_->nb_samples < capacity || converted_->format != enc_->sample_fmt) {
        av_frame_unref(converted_.get());
        converted_->format = enc_->sample_fmt;
        converted_->nb_samples = std::max(capacity, 1024);
        av_channel_layout_copy(&converted_->ch_layout, &enc_->ch_layout);
        converted_->sample_rate = enc_->sample_rate;
        if (av_frame_get_buffer(converted_.get(), 0) < 0) throw FFmpegException("Out of memory in do_audio_out");
    }
    const int n = swr_convert(swr_.get(), converted_->extended_data, converted_->nb_samples,
                              const_cast<const uint8_t**>(block->extended_data), block->nb_samples);
    if (n < 0) throw FFmpegException("Audio encoding failed");
    return n;
}

void TAudioOut::WriteSilence(int samples) {
    av::FramePtr silence = av::MakeFrame();
    silence->format = enc_->sample_fmt;
    silence->nb_samples = samples;
    av_channel_layout_copy(&silence->ch_layout, &enc_->ch_layout);
    if (av_frame_get_buffer(silence.get(), 0) < 0) throw FFmpegException("Out of memory in do_audio_out");
    av_samples_set_silence(silence->extended_data, 0, samples, enc_->ch_layout.nb_channels, enc_->sample_fmt);
    if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(silence->extended_data), samples) < samples)
        throw FFmpegException("av_fifo_realloc2() failed");
}

void TAudioOut::Process(const AVFrame* block, int64_t syncInputPtsUs, bool& inputAtStart,
                        const TAudioSyncSettings& settings, const TPacketSink& sink) {
    if (!block || block->nb_samples <= 0 || flushed_) return;
    TFFLogger& log = TFFLogger::Instance();
    const int rate = enc_->sample_rate;
    const double inputTime = static_cast<double>(syncInputPtsUs - settings.startTimeUs) / 1000000.0;

    // Synchronisation first: a drift compensation applies to this block's conversion.
    int dropSamples = 0;
    int padSamples = 0;
    if (settings.audioSyncMethod != 0) {
        const double delta = inputTime * rate - static_cast<double>(syncPts_) - static_cast<double>(FifoSamples());
        if (std::fabs(delta) > 50) {
            if (inputAtStart || std::fabs(delta) > settings.audioDriftThresholdSeconds * rate) {
                if (delta < 0)
                    dropSamples = static_cast<int>(std::min(-delta, 1e9));
                else
                    padSamples = static_cast<int>(std::min(delta, static_cast<double>(rate) * 3600));
            } else if (settings.audioSyncMethod > 1) {
                const int compensation = static_cast<int>(std::clamp(std::trunc(delta),
                                                                     -static_cast<double>(settings.audioSyncMethod),
                                                                     static_cast<double>(settings.audioSyncMethod)));
                if (settings.verbose > 2)
                    log.LogFmt(settings.sender, llVerbose, "compensating audio timestamp drift:%f compensation:%d in:%d",
                               delta, compensation, rate);
                EnsureConverter(block);
                if (swr_ && swr_set_compensation(swr_.get(), compensation, rate) >= 0) lastCompensation_ = compensation;
            }
        }
    }

    EnsureConverter(block);
    const uint8_t* const* data = block->extended_data;
    int samples = block->nb_samples;
    if (swr_) {
        samples = Convert(block);
        data = converted_->extended_data;
    }
    const int channels = enc_->ch_layout.nb_channels;
    uint8_t* planes[AV_NUM_DATA_POINTERS * 8] = {};
    uint8_t** writeFrom = const_cast<uint8_t**>(data);

    if (dropSamples > 0) {
        const int drop = std::min(dropSamples, samples);
        if (settings.verbose > 2) log.LogFmt(settings.sender, llVerbose, "discarding %d audio samples", dropSamples);
        samples -= drop;
        if (samples <= 0) return;
        inputAtStart = false;
        if (channels > static_cast<int>(sizeof planes / sizeof planes[0]))
            throw FFmpegException("Buffer sizes too large in do_audio_out");
        OffsetPointers(writeFrom, enc_->sample_fmt, channels, drop, planes);
        writeFrom = planes;
    } else if (padSamples > 0) {
        inputAtStart = false;
        WriteSilence(padSamples);
        if (settings.verbose > 2) log.LogFmt(settings.sender, llVerbose, "adding %d audio samples of silence", padSamples);
    }
    if (settings.audioSyncMethod == 0) {
        const int64_t wanted = std::llround(inputTime * rate) - FifoSamples();
        // Never behind what the encoder already has: overlapping timestamps break every muxer.
        syncPts_ = std::max(wanted, sentEnd_);
    }
    if (samples <= 0) return;

    if (FrameBased()) {
        if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(writeFrom), samples) < samples)
            throw FFmpegException("av_fifo_realloc2() failed");
        while (av_audio_fifo_size(fifo_.get()) >= enc_->frame_size) EncodeFromFifo(enc_->frame_size, sink);
    } else {
        // Encoders without a frame size take each block whole; earlier padding goes first.
        if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(writeFrom), samples) < samples)
            throw FFmpegException("av_fifo_realloc2() failed");
        EncodeFromFifo(av_audio_fifo_size(fifo_.get()), sink);
    }
}

void TAudioOut::EncodeFromFifo(int samples, const TPacketSink& sink) {
    AVFrame* f = encodeFrame_.get();
    av_frame_unref(f);
    f->format = enc_->sample_fmt;
    f->sample_rate = enc_->sample_rate;
    av_channel_layout_copy(&f->ch_layout, &enc_->ch_layout);
    f->nb_samples = std::max(samples, FrameBased() ? enc_->frame_size : samples);
    if (av_frame_get_buffer(f, 0) < 0) throw FFmpegException("Out of memory in do_audio_out");
    const int got = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(f->extended_data), samples);
    if (got < 0) throw FFmpegException("Audio encoding failed");
    if (got < f->nb_samples) {
        if (FrameBased() && (enc_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME))
            f->nb_samples = got;
        else
            av_samples_set_silence(f->extended_data, got, f->nb_samples - got, enc_->ch_layout.nb_channels,
                                   enc_->sample_fmt);
    }
    f->pts = syncPts_;
    syncPts_ += f->nb_samples;
    sentEnd_ = syncPts_;
    SendFrame(f, sink);
}

void TAudioOut::SendFrame(AVFrame* frame, const TPacketSink& sink) {
    if (avcodec_send_frame(enc_, frame) < 0) throw FFmpegException("Audio encoding failed");
    av::PacketPtr pkt = av::MakePacket();
    for (;;) {
        const int rc = avcodec_receive_packet(enc_, pkt.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) throw FFmpegException("Audio encoding failed");
        pkt->flags |= AV_PKT_FLAG_KEY;
        sink(pkt.get());
        av_packet_unref(pkt.get());
    }
}

void TAudioOut::Flush(const TPacketSink& sink) {
    if (flushed_) return;
    flushed_ = true;
    // What the resampler still holds belongs to the end of the sound.
    if (swr_) {
        av::FramePtr rest = av::MakeFrame();
        rest->format = enc_->sample_fmt;
        rest->nb_samples = std::max(swr_get_out_samples(swr_.get(), 0), 1);
        av_channel_layout_copy(&rest->ch_layout, &enc_->ch_layout);
        if (av_frame_get_buffer(rest.get(), 0) < 0) throw FFmpegException("Out of memory in do_audio_out");
        const int n = swr_convert(swr_.get(), rest->extended_data, rest->nb_samples, nullptr, 0);
        if (n > 0 && av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(rest->extended_data), n) < n)
            throw FFmpegException("av_fifo_realloc2() failed");
    }
    while (FrameBased() && av_audio_fifo_size(fifo_.get()) >= enc_->frame_size) EncodeFromFifo(enc_->frame_size, sink);
    if (av_audio_fifo_size(fifo_.get()) > 0) EncodeFromFifo(av_audio_fifo_size(fifo_.get()), sink);
    SendFrame(nullptr, sink);
}
