#pragma once
// RAII owners for FFmpeg objects. Every library handle the code keeps lives in one of these.
#include <memory>

#include "engine/UnicodeProtocol.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace av {

// Also frees the I/O context OpenInputFile made for a "unicode:" name.
struct InputContextDeleter {
    void operator()(AVFormatContext* p) const { CloseInputFile(&p); }
};
// An output context closes its file (when it opened one, through OpenOutputFile or avio_open2)
// and frees itself.
struct OutputContextDeleter {
    void operator()(AVFormatContext* p) const {
        if (p->oformat && !(p->oformat->flags & AVFMT_NOFILE) && p->pb) CloseOutputFile(&p->pb);
        avformat_free_context(p);
    }
};
// A context that was never opened (option holder): only freed.
struct FormatContextDeleter {
    void operator()(AVFormatContext* p) const { avformat_free_context(p); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct SwrDeleter {
    void operator()(SwrContext* p) const { swr_free(&p); }
};
struct FilterGraphDeleter {
    void operator()(AVFilterGraph* p) const { avfilter_graph_free(&p); }
};
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};
struct DictionaryDeleter {
    void operator()(AVDictionary* p) const { av_dict_free(&p); }
};
struct FreeDeleter {
    void operator()(void* p) const { av_free(p); }
};

using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;
template <typename T>
using BufferPtr = std::unique_ptr<T, FreeDeleter>;

inline FramePtr MakeFrame() { return FramePtr(av_frame_alloc()); }
inline PacketPtr MakePacket() { return PacketPtr(av_packet_alloc()); }

}  // namespace av
