#include "engine/PreprocessVideo.h"

#include <exception>
#include <string>

#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"
#include "engine/FrameHook.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
}

// A one-filter graph that deinterlaces each picture on its own. Deinterlacers that look at the
// next picture would hand back the previous picture for the current timestamp, so the filter is
// one that needs no neighbours. Remade when the picture's size or format changes.
struct TVideoPreprocessor::TDeinterlacer {
    static constexpr const char* kFilter = "kerndeint";

    av::FilterGraphPtr graph;
    AVFilterContext* source = nullptr;  // owned by graph
    AVFilterContext* sink = nullptr;    // owned by graph
    int width = 0, height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;

    bool Matches(const AVFrame* f) const {
        return graph && f->width == width && f->height == height && f->format == format;
    }

    bool Build(const AVFrame* f) {
        graph.reset(avfilter_graph_alloc());
        source = sink = nullptr;
        if (!graph) return false;
        width = f->width;
        height = f->height;
        format = static_cast<AVPixelFormat>(f->format);
        const AVRational sar = f->sample_aspect_ratio.num ? f->sample_aspect_ratio : AVRational{1, 1};
        const std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", width,
                                        height, static_cast<int>(format), AV_TIME_BASE, sar.num, sar.den);
        AVFilterContext* deint = nullptr;
        const AVFilter* filter = avfilter_get_by_name(kFilter);
        if (!filter ||
            avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), "src", args.c_str(), nullptr,
                                         graph.get()) < 0 ||
            avfilter_graph_create_filter(&deint, filter, "deinterlace", nullptr, nullptr, graph.get()) < 0 ||
            avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                         graph.get()) < 0) {
            graph.reset();
            return false;
        }
        const AVPixelFormat formats[] = {format, AV_PIX_FMT_NONE};
        if (av_opt_set_int_list(sink, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN) < 0 ||
            avfilter_link(source, 0, deint, 0) < 0 || avfilter_link(deint, 0, sink, 0) < 0 ||
            avfilter_graph_config(graph.get(), nullptr) < 0) {
            graph.reset();
            return false;
        }
        return true;
    }

    // Deinterlaces `in` into `out` (same size and format). False leaves `out` untouched.
    bool Run(const AVFrame* in, AVFrame* out) {
        if (!Matches(in) && !Build(in)) return false;
        av::FramePtr result = av::MakeFrame();
        if (!result) return false;
        if (av_buffersrc_add_frame_flags(source, const_cast<AVFrame*>(in), AV_BUFFERSRC_FLAG_KEEP_REF) < 0 ||
            av_buffersink_get_frame(sink, result.get()) < 0 || result->width != out->width ||
            result->height != out->height || result->format != out->format) {
            graph.reset();  // a fresh graph for the next picture
            return false;
        }
        return av_frame_copy(out, result.get()) >= 0;
    }
};

TVideoPreprocessor::TVideoPreprocessor() = default;
TVideoPreprocessor::~TVideoPreprocessor() = default;

// The work buffer: the picture's size and format, writable (an encoder may still hold the last one).
bool TVideoPreprocessor::PrepareWork(const AVFrame* picture) {
    if (work_ && work_->width == picture->width && work_->height == picture->height &&
        work_->format == picture->format && av_frame_is_writable(work_.get()))
        return true;
    work_ = av::MakeFrame();
    if (!work_) return false;
    work_->width = picture->width;
    work_->height = picture->height;
    work_->format = picture->format;
    if (av_frame_get_buffer(work_.get(), 0) < 0) {
        work_.reset();
        return false;
    }
    return true;
}

void TVideoPreprocessor::Process(AVFrame* picture, int64_t ptsUs, const TSettings& settings) {
    ++frameCounter_;
    const bool hooks = settings.videoHooks && !settings.videoHooks->Empty() &&
                       (!settings.usingVideoHooks || *settings.usingVideoHooks);
    if (!settings.deinterlace && !customHook_ && !hooks) return;
    TFFLogger& log = TFFLogger::Instance();

    if (!PrepareWork(picture)) {
        log.Log(settings.sender, llError, "hook buf malloc error.");
        return;
    }
    bool filled = false;
    if (settings.deinterlace) {
        if (!deinterlacer_) deinterlacer_ = std::make_unique<TDeinterlacer>();
        filled = deinterlacer_->Run(picture, work_.get());
        if (!filled) log.Log(settings.sender, llError, "Deinterlacing failed.");
    }
    if (customHook_) {
        // The hook's picture is converted straight from the decoded (or deinterlaced) one and back
        // into the work buffer, so the work buffer needs no copy of it first.
        const bool wroteBack = RunCustomHook(filled ? work_.get() : picture, work_.get(), ptsUs, settings);
        if (!wroteBack && !filled) return;  // the picture stays as decoded
    } else {
        if (!filled && av_frame_copy(work_.get(), picture) < 0) {
            log.Log(settings.sender, llError, "hook buf malloc error.");
            return;
        }
        if (hooks)
            settings.videoHooks->Process(work_->data, work_->linesize, work_->format, work_->width, work_->height,
                                         ptsUs);
    }
    av_frame_copy_props(work_.get(), picture);

    // Later steps see the processed picture.
    av_frame_unref(picture);
    if (av_frame_ref(picture, work_.get()) < 0) log.Log(settings.sender, llError, "hook buf malloc error.");
}

bool TVideoPreprocessor::RunCustomHook(const AVFrame* source, AVFrame* work, int64_t ptsUs, const TSettings& settings) {
    TFFLogger& log = TFFLogger::Instance();
    const auto format = static_cast<AVPixelFormat>(work->format);
    bool stopHook = false;
    bool failed = false;
    bool wroteBack = false;
    if (!converter_.ToBitmap(source->data, source->linesize, format, work->width, work->height)) {
        log.Log(settings.sender, llError, "Cannot initialize the toRGB conversion context");
        failed = true;
    } else {
        bool update = true;
        try {
            customHook_(settings.sender, converter_.View(), frameCounter_, ptsUs, update, stopHook);
        } catch (const std::exception& e) {
            log.Log(settings.sender, llError, std::string("Error occurs OnCustomHook: ") + e.what());
            update = false;
        } catch (...) {
            log.Log(settings.sender, llError, "Error occurs OnCustomHook: unknown exception");
            update = false;
        }
        if (update) {
            wroteBack = converter_.FromBitmap(work->data, work->linesize, format, work->width, work->height);
            if (!wroteBack) {
                log.Log(settings.sender, llError, "Cannot initialize the fromRGB conversion context");
                failed = true;
            }
        }
    }
    if (stopHook || failed) {
        customHook_ = nullptr;
        if (settings.usingVideoHooks) *settings.usingVideoHooks = false;
    }
    return wroteBack;
}
