#include "engine/VideoFilters.h"

#include "engine/FFUtils.h"
#include "engine/Types.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
}

namespace {

[[noreturn]] void Fail(const std::string& reason) { throw FFmpegException("Error opening filters: " + reason); }

struct InOutDeleter {
    void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutDeleter>;

}  // namespace

TVideoFilterChain::TVideoFilterChain(const TInput& input, const TOutput& output, const TCropBands& crop,
                                     int swsFlags, const std::string& description)
    : graph_(avfilter_graph_alloc()) {
    if (!graph_) Fail("cannot allocate the filter graph");
    AVFilterGraph* g = graph_.get();
    const AVRational sar = input.sampleAspect.num ? input.sampleAspect : AVRational{1, 1};
    const std::string srcArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", input.width,
                                       input.height, static_cast<int>(input.format), AV_TIME_BASE, sar.num, sar.den);
    if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "src", srcArgs.c_str(), nullptr, g) < 0)
        Fail("cannot open the source filter");
    if (avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, g) < 0)
        Fail("cannot open the output filter");
    const AVPixelFormat formats[] = {output.format, AV_PIX_FMT_NONE};
    if (av_opt_set_int_list(sink_, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN) < 0)
        Fail("the output filter refuses the encoder's pixel format");

    AVFilterContext* last = source_;
    auto append = [&](const char* filterName, const char* instance, const std::string& args) {
        AVFilterContext* f = nullptr;
        if (avfilter_graph_create_filter(&f, avfilter_get_by_name(filterName), instance, args.c_str(), nullptr, g) < 0)
            Fail(Format("cannot open the %s filter with \"%s\"", filterName, args.c_str()));
        if (avfilter_link(last, 0, f, 0) < 0) Fail(Format("cannot link the %s filter", filterName));
        last = f;
    };
    const int croppedWidth = input.width - crop.left - crop.right;
    const int croppedHeight = input.height - crop.top - crop.bottom;
    if (crop.Any())
        append("crop", "cropping", Format("w=%d:h=%d:x=%d:y=%d", croppedWidth, croppedHeight, crop.left, crop.top));
    if (croppedWidth != output.width || croppedHeight != output.height)
        append("scale", "scaling", Format("w=%d:h=%d:flags=0x%X", output.width, output.height, swsFlags));
    av_opt_set(g, "scale_sws_opts", Format("flags=0x%X", swsFlags).c_str(), 0);

    // The user's description: its "in" follows the last step, its "out" feeds the sink.
    InOutPtr outputs(avfilter_inout_alloc());
    InOutPtr inputs(avfilter_inout_alloc());
    if (!outputs || !inputs) Fail("out of memory");
    outputs->name = av_strdup("in");
    outputs->filter_ctx = last;
    outputs->pad_idx = 0;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink_;
    inputs->pad_idx = 0;
    AVFilterInOut* in = inputs.release();
    AVFilterInOut* out = outputs.release();
    const int rc = avfilter_graph_parse_ptr(g, description.c_str(), &in, &out, nullptr);
    InOutPtr leftIn(in), leftOut(out);
    if (rc < 0) Fail(Format("cannot parse \"%s\": %s", description.c_str(), LibraryErrorMessage(rc).c_str()));
    if (leftIn || leftOut) Fail(Format("\"%s\" leaves a filter pad unconnected", description.c_str()));
    if (const int cfg = avfilter_graph_config(g, nullptr); cfg < 0)
        Fail(Format("cannot configure \"%s\": %s", description.c_str(), LibraryErrorMessage(cfg).c_str()));

    width_ = av_buffersink_get_w(sink_);
    height_ = av_buffersink_get_h(sink_);
    sampleAspect_ = av_buffersink_get_sample_aspect_ratio(sink_);
}

void TVideoFilterChain::Push(const AVFrame* picture) {
    const int rc = av_buffersrc_add_frame_flags(source_, const_cast<AVFrame*>(picture),
                                                AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
    if (rc < 0) throw FFmpegException("Error while filtering video: " + LibraryErrorMessage(rc));
}

bool TVideoFilterChain::Pull(AVFrame* out) {
    const int rc = av_buffersink_get_frame(sink_, out);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return false;
    if (rc < 0) throw FFmpegException("Error while filtering video: " + LibraryErrorMessage(rc));
    return true;
}
