// The read thread: opens the input and its streams, feeds the packet queues, seeks, pauses the
// input and reports the end of the file; then closes the streams.
#include <pthread.h>
#include <signal.h>

#include <SDL2/SDL.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "engine/FFUtils.h"
#include "engine/UnicodeProtocol.h"
#include "player/Playback.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A read that blocks in the system (a pipe nobody writes) is broken by a signal without
// SA_RESTART: the read returns EINTR, and the libraries then ask the interrupt callback, which
// says abort. The handler does nothing; it is installed only where no one else handles the signal.
constexpr int kInterruptSignal = SIGURG;
void InterruptHandler(int) {}

bool InterruptSignalInstalled() {
    static const bool installed = [] {
        struct sigaction old {};
        if (sigaction(kInterruptSignal, nullptr, &old) != 0) return false;
        if ((old.sa_flags & SA_SIGINFO) || (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN)) return false;
        struct sigaction sa {};
        sa.sa_handler = InterruptHandler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        return sigaction(kInterruptSignal, &sa, nullptr) == 0;
    }();
    return installed;
}

}  // namespace

int TPlayback::InterruptCallback(void* opaque) { return static_cast<TPlayback*>(opaque)->abort_ ? 1 : 0; }

void TPlayback::RequestAbort() {
    abort_ = true;
    audioQueue_.Abort();
    videoQueue_.Abort();
    subtitleQueue_.Abort();
    subpictures_.Abort();
    {
        std::lock_guard lock(pictMutex_);
        pictCond_.notify_all();
    }
    {
        std::lock_guard lock(eventMutex_);
        eventCond_.notify_all();
    }
    seekDone_.Set();
    videoFrameReady_.Set();
}

void TPlayback::ForceClose() {
    RequestAbort();
    std::lock_guard lock(interruptMutex_);
    if (readThreadAlive_ && reading_ && InterruptSignalInstalled()) pthread_kill(readThreadHandle_, kInterruptSignal);
}

void TPlayback::ReadThreadMain() {
    {
        std::lock_guard lock(interruptMutex_);
        readThreadHandle_ = pthread_self();
        readThreadAlive_ = true;
    }
    const int rc = OpenInput();
    {
        std::lock_guard lock(openMutex_);
        openStatus_ = rc == 0 ? 1 : -1;
        openCond_.notify_all();
    }
    if (rc == 0) {
        ReadLoop();
        while (!abort_) Sleep(10);
    }
    if (audioStream_ >= 0) CloseStream(audioStream_);
    if (videoStream_ >= 0) CloseStream(videoStream_);
    if (subtitleStream_ >= 0) CloseStream(subtitleStream_);
    // The input itself is closed by the destructor, in the thread that owns the player's probe.
    std::lock_guard lock(interruptMutex_);
    readThreadAlive_ = false;
}

int TPlayback::OpenInput() {
    auto fail = [&](const std::string& message) {
        std::lock_guard lock(openMutex_);
        openError_ = message;
        return -1;
    };
    AVFormatContext* ic = avformat_alloc_context();
    if (!ic) return fail("av_mallocz() failed.");
    ic->interrupt_callback.callback = &TPlayback::InterruptCallback;
    ic->interrupt_callback.opaque = this;
    AVDictionary* raw = nullptr;
    if (options_.frameWidth > 0 && options_.frameHeight > 0) {
        av_dict_set(&raw, "video_size", Format("%dx%d", options_.frameWidth, options_.frameHeight).c_str(), 0);
        av_dict_set(&raw, "framerate", "25", 0);
    }
    int err = OpenInputFile(&ic, LibraryFileName(options_.fileName), nullptr, &raw);
    av_dict_free(&raw);
    if (err < 0) return fail(LibraryErrorText(options_.fileName, err));
    input_ = ic;

    if (avformat_find_stream_info(ic, nullptr) < 0)
        return fail(Format("%s: could not find codec parameters", options_.fileName.c_str()));
    if (ic->pb) ic->pb->eof_reached = 0;
    seekByBytes_ = (ic->iformat->flags & AVFMT_TS_DISCONT) != 0;
    isImage2_ = std::strcmp(ic->iformat->name, "image2") == 0;
    isCapture_ = std::strcmp(ic->iformat->name, "video4linux2,v4l2") == 0 || std::strcmp(ic->iformat->name, "vfwcap") == 0;
    startTimeUs_ = ic->start_time;
    durationUs_ = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;

    for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
    int audio = -1, video = -1, subtitle = -1;
    if (!options_.disableAudio) audio = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (!options_.disableVideo) {
        video = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        subtitle = av_find_best_stream(ic, AVMEDIA_TYPE_SUBTITLE, -1, -1, nullptr, 0);
    }
    if (audio >= 0) OpenStream(audio);
    if (video >= 0) OpenStream(video);
    if (subtitle >= 0) OpenStream(subtitle);
    if (audioStream_ < 0 && videoStream_ < 0)
        return fail(Format("%s: could not open codecs, no stream to play.", options_.fileName.c_str()));
    return 0;
}

int TPlayback::OpenStream(int index) {
    AVStream* st = input_->streams[index];
    const AVMediaType type = st->codecpar->codec_type;
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    av::CodecContextPtr dec(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!dec || avcodec_parameters_to_context(dec.get(), st->codecpar) < 0) {
        LogMsg(llError, "avcodec_open() failed.");
        return -1;
    }
    dec->pkt_timebase = st->time_base;
    dec->workaround_bugs = 1;
    dec->error_concealment = 3;
    dec->thread_count = 0;
    if (type == AVMEDIA_TYPE_AUDIO && dec->ch_layout.nb_channels > 2) {
        // Ask the decoder for a stereo downmix; whatever it gives is mixed to the device's layout.
        av_opt_set_int(dec.get(), "request_channel_layout", AV_CH_LAYOUT_STEREO, 0);
        av_opt_set(dec.get(), "downmix", "stereo", AV_OPT_SEARCH_CHILDREN);
    }
    {
        std::lock_guard lock(CodecLock());
        if (avcodec_open2(dec.get(), codec, nullptr) < 0) {
            LogMsg(llError, "avcodec_open() failed.");
            return -1;
        }
    }
    st->discard = AVDISCARD_DEFAULT;

    switch (type) {
        case AVMEDIA_TYPE_AUDIO: {
            const int channels = dec->ch_layout.nb_channels;
            SDL_AudioSpec want{}, have{};
            want.freq = dec->sample_rate;
            want.format = AUDIO_S16SYS;
            want.channels = static_cast<Uint8>(channels >= 1 && channels <= 2 ? channels : 2);
            want.silence = 0;
            want.samples = 1024;
            want.callback = &TPlayback::AudioCallback;
            want.userdata = this;
            audioDec_ = std::move(dec);
            audioSt_ = st;
            audioRate_ = want.freq;
            audioChannels_ = want.channels;
            audioDurationUs_ =
                st->duration != AV_NOPTS_VALUE ? av_rescale_q(st->duration, st->time_base, AV_TIME_BASE_Q) : -1;
            audioBufSize_ = audioBufIndex_ = 0;
            audioQueue_.Start();
            audioQueue_.PutFlush();
            audioStream_ = index;
            // No changes allowed: SDL converts to the device itself, so the callback's rate and
            // layout are exactly these.
            audioDevice_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
            if (audioDevice_ == 0) {
                LogMsg(llError, std::string("SDL_OpenAudio() failed: ") + SDL_GetError());
                audioStream_ = -1;
                audioQueue_.Abort();
                audioQueue_.Clear();
                st->discard = AVDISCARD_ALL;
                std::lock_guard lock(CodecLock());
                audioDec_.reset();
                return -1;
            }
            SDL_PauseAudioDevice(audioDevice_, 0);
            break;
        }
        case AVMEDIA_TYPE_VIDEO:
            videoDec_ = std::move(dec);
            videoSt_ = st;
            codedWidth_ = videoDec_->width;
            codedHeight_ = videoDec_->height;
            videoFrameRate_ = av_guess_frame_rate(input_, st, nullptr);
            if (videoFrameRate_.num > 0 && videoFrameRate_.den > 0) frameDuration_ = av_q2d(av_inv_q(videoFrameRate_));
            videoQueue_.Start();
            videoQueue_.PutFlush();
            videoStream_ = index;
            videoThread_ = std::thread([this] { VideoThreadMain(); });
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            subtitleDec_ = std::move(dec);
            subtitleSt_ = st;
            subtitleQueue_.Start();
            subtitleQueue_.PutFlush();
            subtitleStream_ = index;
            subtitleThread_ = std::thread([this] { SubtitleThreadMain(); });
            break;
        default: {
            st->discard = AVDISCARD_ALL;
            std::lock_guard lock(CodecLock());
            dec.reset();
            return -1;
        }
    }
    return 0;
}

void TPlayback::CloseStream(int index) {
    AVStream* st = input_->streams[index];
    switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            audioQueue_.Abort();
            if (audioDevice_) SDL_CloseAudioDevice(audioDevice_);  // waits for a running callback
            audioDevice_ = 0;
            audioQueue_.Clear();
            swr_.reset();
            audioStream_ = -1;
            break;
        case AVMEDIA_TYPE_VIDEO:
            videoQueue_.Abort();
            {
                std::lock_guard lock(pictMutex_);
                pictCond_.notify_all();
            }
            if (videoThread_.joinable()) videoThread_.join();
            videoQueue_.Clear();
            videoStream_ = -1;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            subtitleQueue_.Abort();
            subpictures_.Abort();
            if (subtitleThread_.joinable()) subtitleThread_.join();
            subtitleQueue_.Clear();
            subtitleStreamChanged_ = true;
            subtitleStream_ = -1;
            break;
        default: break;
    }
    st->discard = AVDISCARD_ALL;
    std::lock_guard lock(CodecLock());
    if (st == audioSt_) audioDec_.reset();
    if (st == videoSt_) videoDec_.reset();
    if (st == subtitleSt_) subtitleDec_.reset();
}

void TPlayback::ReadLoop() {
    AVFormatContext* ic = input_;
    av::PacketPtr pkt = av::MakePacket();
    while (!abort_) {
        const bool paused = paused_;
        if (paused != lastPaused_) {
            lastPaused_ = paused;
            if (paused)
                pauseUnsupported_ = av_read_pause(ic) == AVERROR(ENOSYS);
            else
                av_read_play(ic);
        }
        bool seek;
        {
            std::lock_guard lock(seekMutex_);
            seek = seekRequest_;
        }
        if (seek) PerformSeek();

        const int64_t bytes = audioQueue_.Bytes() + videoQueue_.Bytes() + subtitleQueue_.Bytes();
        const bool wanting = (audioStream_ >= 0 && audioQueue_.Bytes() <= kMinAudioQueueBytes) ||
                             (videoStream_ >= 0 && videoQueue_.Count() <= kMinFrames) ||
                             (subtitleStream_ >= 0 && subtitleQueue_.Count() <= kMinFrames);
        if (bytes > kMaxQueueBytes || !wanting) {
            Sleep(10);
            continue;
        }
        // Only the read result says end of file: the input's own mark can be set while the
        // demuxer still holds packets it has not given out.
        if (eof_) {
            if (videoStream_ >= 0) {
                videoQueue_.PutEmpty(videoStream_);
                videoFrameReady_.Set();
            }
            Sleep(10);
            if (audioQueue_.Count() == 0 && videoQueue_.Count() == 0 && subtitleQueue_.Count() == 0) drained_ = true;
            continue;
        }
        reading_ = true;
        const int ret = av_read_frame(ic, pkt.get());
        reading_ = false;
        if (ret < 0) {
            if (abort_) break;
            if (ret == AVERROR(EAGAIN)) {
                Sleep(10);
                continue;
            }
            if (videoStream_ >= 0) videoFrameReady_.Set();
            if (!isImage2_ && !endReported_) {
                endReported_ = true;
                if (ret == AVERROR_EOF)
                    LogMsg(llInfo, Format("reach end of file: %s", options_.fileName.c_str()));
                else
                    LogMsg(llError, Format("error #%d while reading file: %s", ret, options_.fileName.c_str()));
            }
            if (ret == AVERROR_EOF) eof_ = true;
            if (ret != AVERROR_EOF && ic->pb && ic->pb->error) {
                // Nothing more can be read: end the playback, so the host hears psStop.
                PostQuit();
                break;
            }
            if (!eof_) Sleep(100);
            continue;
        }
        lastPacketPos_ = pkt->pos;
        if (pkt->stream_index == audioStream_)
            audioQueue_.Put(*pkt);
        else if (pkt->stream_index == videoStream_)
            videoQueue_.Put(*pkt);
        else if (pkt->stream_index == subtitleStream_)
            subtitleQueue_.Put(*pkt);
        av_packet_unref(pkt.get());
    }
}

void TPlayback::PerformSeek() {
    int64_t target, offset;
    int flags;
    {
        std::lock_guard lock(seekMutex_);
        target = seekTarget_;
        offset = seekOffset_;
        flags = seekFlags_;
    }
    const int64_t minT = offset > 0 ? target - offset + 2 : INT64_MIN;
    const int64_t maxT = offset < 0 ? target - offset - 2 : INT64_MAX;
    int ret = avformat_seek_file(input_, -1, minT, target, maxT, flags);
    if (ret < 0) {
        LogMsg(llError, Format("%s: could not seek to position %0.3f", options_.fileName.c_str(),
                               static_cast<double>(target) / AV_TIME_BASE));
        ret = av_seek_frame(input_, -1, target, flags);
        if (ret < 0) ret = av_seek_frame(input_, -1, target, flags ^ AVSEEK_FLAG_BACKWARD);
    }
    // Marked before the flush markers go out, so that no picture decoded before the seek can
    // slip onto the screen between the two.
    seekInProgress_ = true;
    if (ret < 0) {
        LogMsg(llError, Format("%s: error while seeking", options_.fileName.c_str()));
        if (videoStream_ >= 0) videoFrameReady_.Set();
    } else {
        if (audioStream_ >= 0) {
            audioQueue_.Clear();
            audioQueue_.PutFlush();
        }
        if (subtitleStream_ >= 0) {
            subtitleQueue_.Clear();
            subtitleQueue_.PutFlush();
        }
        if (videoStream_ >= 0) {
            videoFrameReady_.Reset();
            firstPictureAfterFlush_ = false;
            videoQueue_.Clear();
            videoQueue_.PutFlush();
        }
    }
    endReported_ = false;
    drained_ = false;
    endStateRaised_ = false;
    {
        std::lock_guard lock(seekMutex_);
        seekRequest_ = false;
    }
    seekDone_.Set();
    if (videoStream_ < 0) seeking_ = false;
    eof_ = false;
}
