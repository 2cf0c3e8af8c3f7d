// The SDL audio callback: decodes audio packets without ever blocking, converts them to signed
// 16-bit at the device's rate and layout, and mixes them out at the player's volume.
#include <SDL2/SDL.h>

#include <algorithm>
#include <cstring>

#include "player/Playback.h"

extern "C" {
#include <libavutil/time.h>
}

void SDLCALL TPlayback::AudioCallback(void* opaque, Uint8* stream, int len) {
    static_cast<TPlayback*>(opaque)->FillAudio(stream, len);
}

void TPlayback::FillAudio(Uint8* stream, int len) {
    audioPlayedBytes_ += len;
    {
        std::lock_guard lock(audioMutex_);
        lastCallbackUs_ = av_gettime_relative();
    }
    while (len > 0) {
        if (audioBufIndex_ >= audioBufSize_) {
            const int size = DecodeAudio();
            if (size < 0) {
                // Nothing to play (paused, or no data yet): silence, which does not move the clock.
                audioSilence_ = true;
                audioBufSize_ = std::min(1024, static_cast<int>(audioBuffer_.size()));
                std::memset(audioBuffer_.data(), 0, static_cast<size_t>(audioBufSize_));
            } else {
                audioSilence_ = false;
                audioBufSize_ = size;
                if (soundDisplayMode_ != 0) {
                    std::lock_guard lock(audioMutex_);
                    sampleRing_.Append(reinterpret_cast<const int16_t*>(audioBuffer_.data()), size / 2);
                }
            }
            audioBufIndex_ = 0;
        }
        const int n = std::min(len, audioBufSize_ - audioBufIndex_);
        std::memset(stream, 0, static_cast<size_t>(n));
        if (!host_.Mute())
            SDL_MixAudioFormat(stream, audioBuffer_.data() + audioBufIndex_, AUDIO_S16SYS, static_cast<Uint32>(n),
                               std::clamp(host_.Volume(), 0, SDL_MIX_MAXVOLUME));
        len -= n;
        stream += n;
        audioBufIndex_ += n;
        std::lock_guard lock(audioMutex_);
        audioBytesLeft_ = audioSilence_ ? 0 : audioBufSize_ - audioBufIndex_;
    }
}

bool TPlayback::ConfigureResampler(const AVFrame* frame) {
    if (swr_ && swrInFormat_ == frame->format && swrInRate_ == frame->sample_rate &&
        av_channel_layout_compare(&swrInLayout_, &frame->ch_layout) == 0)
        return true;
    swr_.reset();
    AVChannelLayout out{};
    av_channel_layout_default(&out, audioChannels_);
    SwrContext* raw = nullptr;
    const int r = swr_alloc_set_opts2(&raw, &out, AV_SAMPLE_FMT_S16, audioRate_, const_cast<AVChannelLayout*>(&frame->ch_layout),
                                      static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&out);
    av::SwrPtr swr(raw);
    if (r < 0 || swr_init(swr.get()) < 0) {
        const char* from = av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
        LogMsg(llError, Format("Cannot convert %s sample format to %s sample format", from ? from : "?", "s16"));
        return false;
    }
    swr_ = std::move(swr);
    swrInFormat_ = frame->format;
    swrInRate_ = frame->sample_rate;
    av_channel_layout_uninit(&swrInLayout_);
    av_channel_layout_copy(&swrInLayout_, &frame->ch_layout);
    return true;
}

int TPlayback::DecodeAudio() {
    AVCodecContext* dec = audioDec_.get();
    const int bytesPerSample = 2 * audioChannels_;
    for (;;) {
        const int r = avcodec_receive_frame(dec, audioFrame_.get());
        if (r >= 0) {
            int size = -1;
            if (ConfigureResampler(audioFrame_.get())) {
                uint8_t* out[1] = {audioBuffer_.data()};
                const int maxSamples = static_cast<int>(audioBuffer_.size()) / bytesPerSample;
                const int n = swr_convert(swr_.get(), out, maxSamples,
                                          const_cast<const uint8_t**>(audioFrame_->extended_data),
                                          audioFrame_->nb_samples);
                if (n < 0)
                    LogMsg(llError, "av_audio_convert() failed");
                else
                    size = n * bytesPerSample;
            }
            const int64_t pts = audioFrame_->best_effort_timestamp;
            av_frame_unref(audioFrame_.get());
            if (size <= 0) continue;
            std::lock_guard lock(audioMutex_);
            if (pts != AV_NOPTS_VALUE) audioClock_ = pts * av_q2d(audioSt_->time_base);
            audioClock_ += static_cast<double>(size) / (bytesPerSample * audioRate_);
            return size;
        }
        if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) LogMsg(llInfo, "avcodec_decode_audio2() failed");
        if (paused_ || audioQueue_.Aborted()) return -1;
        TQueuedPacket q;
        if (audioQueue_.Get(q, false) <= 0) return -1;
        if (q.flush) {
            avcodec_flush_buffers(dec);
            continue;
        }
        if (avcodec_send_packet(dec, q.packet.get()) < 0) LogMsg(llInfo, "avcodec_decode_audio2() failed");
    }
}
