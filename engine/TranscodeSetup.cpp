// Opening inputs, adding outputs with their streams, codec look-up and the task's cleanup.
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "engine/CustomFFmpeg.h"
#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"
#include "engine/LegacyNames.h"
#include "engine/TranscodeState.h"
#include "engine/UnicodeProtocol.h"
#include "probe/AVProbe.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

TInputFile::TInputFile() = default;
TInputFile::~TInputFile() {
    // The probe only describes the context: detach it before the context closes.
    if (probe) probe->AttachContext(nullptr);
    probe.reset();
    {
        std::lock_guard lock(CodecLock());
        decoders.clear();
    }
}
TInputFile::TInputFile(TInputFile&&) noexcept = default;
TInputFile& TInputFile::operator=(TInputFile&&) noexcept = default;

const char* MediaTypeName(AVMediaType type) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO: return "Video";
        case AVMEDIA_TYPE_AUDIO: return "Audio";
        case AVMEDIA_TYPE_DATA: return "Data";
        case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
        case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
        default: return "Unknown";
    }
}

// A task destroyed without its cleanup still closes its files (and drops empty ones) first.
void TTranscodeStateDeleter::operator()(TTranscodeState* p) const {
    if (!p) return;
    TTranscoder::FreeFiles(*p);
    delete p;
}

TTranscodeState& TCustomFFmpeg::Tables() {
    if (!transcode_) transcode_.reset(new TTranscodeState());
    return *transcode_;
}

namespace {

bool KnownMediaType(AVMediaType t) {
    return t == AVMEDIA_TYPE_VIDEO || t == AVMEDIA_TYPE_AUDIO || t == AVMEDIA_TYPE_DATA ||
           t == AVMEDIA_TYPE_SUBTITLE || t == AVMEDIA_TYPE_ATTACHMENT;
}

void ClearNames(TTaskSettings& s) {
    s.videoCodecName.clear();
    s.audioCodecName.clear();
    s.subtitleCodecName.clear();
}

// av_d2q of the sample aspect ratio that gives the display aspect at this size.
AVRational SampleAspect(double aspect, int width, int height) {
    const double sar = width * height == 0 ? aspect * 3 / 4 : aspect * height / width;
    return av_d2q(sar, 255);
}

// The file system path of a name as the caller gave it.
std::string LocalPath(const std::string& name) {
    std::string path = WideFileName(LibraryFileName(name));
    if (path.rfind("file:", 0) == 0) path.erase(0, 5);
    return path;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Codec look-up

bool TTranscoder::FindCodec(TCustomFFmpeg& task, const std::string& name, AVMediaType type, bool encoder,
                            int strictness, const AVCodec** codec) {
    *codec = nullptr;
    if (name.empty()) return true;
    const char* word = encoder ? "encoder" : "decoder";
    const std::string lookup = encoder ? TodayEncoderName(name) : name;
    const AVCodec* c = encoder ? avcodec_find_encoder_by_name(lookup.c_str()) : avcodec_find_decoder_by_name(lookup.c_str());
    if (!c) {
        task.lastError_ = Format("Unknown %s '%s'", word, name.c_str());
        return false;
    }
    if (c->type != type) {
        task.lastError_ = Format("Invalid %s type '%s'", word, name.c_str());
        return false;
    }
    if ((c->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strictness > FF_COMPLIANCE_EXPERIMENTAL) {
        task.lastError_ = Format(
            "%s '%s' is experimental and might produce bad results.\r\nAdd '-strict experimental' if you want to use it.",
            word, c->name);
        const AVCodec* fallback = encoder ? avcodec_find_encoder(c->id) : avcodec_find_decoder(c->id);
        if (fallback && !(fallback->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
            task.lastError_ += Format("\r\nOr use the non experimental %s '%s'.", word, fallback->name);
        return false;
    }
    *codec = c;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Inputs

void TTranscoder::OpenInputFile(TCustomFFmpeg& task, const std::string& fileName) {
    TTaskSettings& s = task.settings_;
    TTranscodeState& tables = task.Tables();
    TFFLogger& log = TFFLogger::Instance();
    if (static_cast<int>(tables.inputs.size()) >= MAX_FILES) throw FFmpegException("Too many input files");

    // Whatever happens, the names and the channel given for this input are used up.
    struct Consume {
        TTaskSettings& s;
        ~Consume() {
            ClearNames(s);
            s.videoChannel = 0;
        }
    } consume{s};

    const AVInputFormat* format = nullptr;
    if (!s.formatName.empty()) {
        format = av_find_input_format(s.formatName.c_str());
        const std::string name = s.formatName;
        s.formatName.clear();
        if (!format) throw FFmpegException(Format("Unknown input format: \"%s\"", name.c_str()));
    }

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) throw FFmpegException("avformat_alloc_context failed");
    av::FormatContextPtr pending(raw);

    // Parameters for raw and device inputs, which cannot tell them from the data.
    av::DictionaryPtr params;
    if (format) {
        AVDictionary* d = nullptr;
        av_dict_set_int(&d, "sample_rate", s.audioSampleRate, 0);
        av_dict_set_int(&d, "channels", s.audioChannels, 0);
        if (s.frameRate.num > 0 && s.frameRate.den > 0)
            av_dict_set(&d, "framerate", Format("%d/%d", s.frameRate.num, s.frameRate.den).c_str(), 0);
        if (s.frameWidth > 0 && s.frameHeight > 0)
            av_dict_set(&d, "video_size", Format("%dx%d", s.frameWidth, s.frameHeight).c_str(), 0);
        if (s.pixelFormat != AV_PIX_FMT_NONE) av_dict_set(&d, "pixel_format", av_get_pix_fmt_name(s.pixelFormat), 0);
        if (s.videoChannel) av_dict_set_int(&d, "channel", s.videoChannel, 0);
        if (s.tvStandard) av_dict_set(&d, "standard", s.tvStandard->c_str(), 0);
        params.reset(d);
    }

    if (task.store_) task.store_->Apply(raw, AV_OPT_FLAG_DECODING_PARAM);

    const AVCodec* videoDecoder = nullptr;
    const AVCodec* audioDecoder = nullptr;
    const AVCodec* subtitleDecoder = nullptr;
    auto strictOf = [&](AVMediaType t) {
        AVCodecContext* c = task.store_ ? task.store_->CodecContext(t) : nullptr;
        return c ? c->strict_std_compliance : 0;
    };
    if (!FindCodec(task, s.videoCodecName, AVMEDIA_TYPE_VIDEO, false, strictOf(AVMEDIA_TYPE_VIDEO), &videoDecoder) ||
        !FindCodec(task, s.audioCodecName, AVMEDIA_TYPE_AUDIO, false, strictOf(AVMEDIA_TYPE_AUDIO), &audioDecoder) ||
        !FindCodec(task, s.subtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, strictOf(AVMEDIA_TYPE_SUBTITLE),
                   &subtitleDecoder))
        throw FFmpegException(task.lastError_);
    if (videoDecoder) raw->video_codec_id = videoDecoder->id;
    if (audioDecoder) raw->audio_codec_id = audioDecoder->id;
    if (subtitleDecoder) raw->subtitle_codec_id = subtitleDecoder->id;
    raw->flags |= AVFMT_FLAG_NONBLOCK;
    if (s.pgmyuvInput) raw->video_codec_id = AV_CODEC_ID_PGMYUV;

    AVDictionary* opts = params.release();
    AVFormatContext* opened = pending.release();
    const int rc = ::OpenInputFile(&opened, LibraryFileName(fileName), format, &opts);
    av_dict_free(&opts);
    if (rc < 0) throw FFmpegException(LibraryErrorText(fileName, rc));  // the library freed the context
    TInputFile input;
    input.ctx.reset(opened);
    input.fileName = fileName;
    AVFormatContext* ic = opened;

    if (s.programId != 0) {
        for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
        bool found = false;
        for (unsigned p = 0; p < ic->nb_programs; ++p) {
            AVProgram* program = ic->programs[p];
            if (program->id == s.programId) {
                found = true;
                program->discard = AVDISCARD_NONE;
                for (unsigned k = 0; k < program->nb_stream_indexes; ++k)
                    ic->streams[program->stream_index[k]]->discard = AVDISCARD_NONE;
            } else {
                program->discard = AVDISCARD_ALL;
            }
        }
        s.programId = 0;
        if (!found) throw FFmpegException("Specified program id not found");
    }

    int found;
    {
        std::lock_guard lock(CodecLock());
        found = avformat_find_stream_info(ic, nullptr);
    }
    if (found < 0 && s.verbose >= 0) {
        const std::string message = Format("%s: could not find codec parameters", fileName.c_str());
        log.Log(&task, llVerbose, message);
        throw FFmpegException(message);
    }
    if (ic->nb_streams > static_cast<unsigned>(MAX_STREAMS))
        throw FFmpegException(Format("%s: more than %d streams", fileName.c_str(), MAX_STREAMS));

    int64_t startTimestamp = s.startTimeUs;
    if (ic->start_time != AV_NOPTS_VALUE) startTimestamp += ic->start_time;
    if (s.startTimeUs != 0) {
        if (av_seek_frame(ic, -1, startTimestamp, AVSEEK_FLAG_BACKWARD) < 0 && s.verbose > 0)
            log.LogFmt(&task, llVerbose, "%s: could not seek to position %0.3f", fileName.c_str(),
                       static_cast<double>(startTimestamp) / AV_TIME_BASE);
        input.seeked = true;
        s.startTimeUs = 0;
    }

    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (!KnownMediaType(par->codec_type)) throw FFmpegException("invalid codec_type");
        const AVCodec* byName = par->codec_type == AVMEDIA_TYPE_VIDEO      ? videoDecoder
                                : par->codec_type == AVMEDIA_TYPE_AUDIO    ? audioDecoder
                                : par->codec_type == AVMEDIA_TYPE_SUBTITLE ? subtitleDecoder
                                                                           : nullptr;
        input.decoderByName.push_back(byName);
        av::CodecContextPtr dec;
        if (par->codec_type != AVMEDIA_TYPE_DATA) {
            const AVCodec* codec = byName ? byName : avcodec_find_decoder(par->codec_id);
            dec.reset(avcodec_alloc_context3(codec));
            if (!dec || avcodec_parameters_to_context(dec.get(), par) < 0) throw FFmpegException("av_mallocz fail");
            dec->thread_count = s.threadCount;
            dec->pkt_timebase = st->time_base;
        }
        switch (par->codec_type) {
            case AVMEDIA_TYPE_VIDEO: {
                if (task.store_)
                    task.store_->Apply(dec.get(), AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_DECODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
                s.frameWidth = dec->width;
                s.frameHeight = dec->height;
                if (dec->width && dec->height) {
                    AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : dec->sample_aspect_ratio;
                    s.frameAspectRatio = sar.num ? av_q2d(sar) * dec->width / dec->height
                                                 : static_cast<double>(dec->width) / dec->height;
                } else if (s.frameAspectRatio == 0) {
                    s.frameAspectRatio = 4.0 / 3.0;
                }
                if (dec->pix_fmt == AV_PIX_FMT_NONE) dec->pix_fmt = AV_PIX_FMT_YUV420P;
                s.pixelFormat = dec->pix_fmt;
                if (dec->lowres) {
                    s.frameWidth = dec->width >> dec->lowres;
                    s.frameHeight = dec->height >> dec->lowres;
                }
                if (st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0) {
                    if (st->avg_frame_rate.num && av_cmp_q(st->avg_frame_rate, st->r_frame_rate) != 0 && s.verbose >= 0)
                        log.LogFmt(&task, llInfo,
                                   "Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) -> "
                                   "%2.2f (%d/%d)",
                                   i, av_q2d(st->avg_frame_rate), st->avg_frame_rate.num, st->avg_frame_rate.den,
                                   av_q2d(st->r_frame_rate), st->r_frame_rate.num, st->r_frame_rate.den);
                    s.frameRate = st->r_frame_rate;
                }
                if (s.videoDisable)
                    st->discard = AVDISCARD_ALL;
                else if (s.videoDiscard)
                    st->discard = static_cast<AVDiscard>(s.videoDiscard);
                break;
            }
            case AVMEDIA_TYPE_AUDIO:
                if (task.store_)
                    task.store_->Apply(dec.get(), AVMEDIA_TYPE_AUDIO, AV_OPT_FLAG_DECODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
                s.inputChannelLayout =
                    dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? static_cast<int64_t>(dec->ch_layout.u.mask) : 0;
                if (dec->ch_layout.nb_channels > 0) s.audioChannels = dec->ch_layout.nb_channels;
                if (dec->sample_rate > 0) s.audioSampleRate = dec->sample_rate;
                s.sampleFormat = dec->sample_fmt;
                if (s.audioDisable) st->discard = AVDISCARD_ALL;
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                if (s.subtitleDisable) st->discard = AVDISCARD_ALL;
                break;
            default: break;
        }
        input.decoders.push_back(std::move(dec));
    }

    if (ic->duration != AV_NOPTS_VALUE && ic->duration > task.totalDurationUs_) task.totalDurationUs_ = ic->duration;
    input.tsOffsetUs = s.copyTimestamps ? s.inputTsOffsetUs : s.inputTsOffsetUs - startTimestamp;
    input.tsScale = s.inputTsScale;
    if (s.verbose >= 0) av_dump_format(ic, static_cast<int>(tables.inputs.size()), LibraryFileName(fileName).c_str(), 0);

    input.probe = std::make_unique<TAVProbe>();
    input.probe->AttachContext(ic);
    tables.inputs.push_back(std::move(input));
}

bool TCustomFFmpeg::OpenInput(const std::string& fileName) {
    try {
        TTranscoder::OpenInputFile(*this, fileName);
        return true;
    } catch (const FFmpegException& e) {
        lastError_ = e.what();
        return false;
    }
}

TCustomFFmpeg::TInputKinds TCustomFFmpeg::CheckInputs(bool firstOnly) const {
    TInputKinds kinds;
    if (!transcode_) return kinds;
    for (const TInputFile& input : transcode_->inputs) {
        for (unsigned i = 0; i < input.ctx->nb_streams; ++i) {
            switch (input.ctx->streams[i]->codecpar->codec_type) {
                case AVMEDIA_TYPE_VIDEO: kinds.video = true; break;
                case AVMEDIA_TYPE_AUDIO: kinds.audio = true; break;
                case AVMEDIA_TYPE_SUBTITLE: kinds.subtitle = true; break;
                case AVMEDIA_TYPE_DATA:
                case AVMEDIA_TYPE_ATTACHMENT: break;
                default: throw FFmpegException("invalid codec_type of input file");
            }
        }
        if (firstOnly) break;
    }
    return kinds;
}

int TCustomFFmpeg::InputFileCount() const { return transcode_ ? static_cast<int>(transcode_->inputs.size()) : 0; }

const AVFormatContext* TCustomFFmpeg::InputFile(int index) const {
    if (!transcode_ || index < 0 || index >= static_cast<int>(transcode_->inputs.size())) return nullptr;
    return transcode_->inputs[index].ctx.get();
}

TAVProbe* TCustomFFmpeg::InputProbe(int index) const {
    if (!transcode_ || index < 0 || index >= static_cast<int>(transcode_->inputs.size())) return nullptr;
    return transcode_->inputs[index].probe.get();
}

// ---------------------------------------------------------------------------------------------
// Outputs

namespace {

// A new stream with a codec context of its own; `codec` may be null.
TOutputStreamDef& AddStream(TCustomFFmpeg& task, const TTaskSettings& s, TOutputFile& file, AVMediaType type,
                            const AVCodec* codec, std::vector<TBitstreamFilterSpec>& filters, uint32_t tag) {
    AVFormatContext* oc = file.ctx.get();
    if (static_cast<int>(oc->nb_streams) >= MAX_STREAMS) throw FFmpegException("Could not alloc stream");
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st) throw FFmpegException("Could not alloc stream");
    const int index = st->index;
    if (s.streamIds[index]) st->id = s.streamIds[index];
    TOutputStreamDef def;
    def.stream = st;
    def.type = type;
    def.codec.reset(avcodec_alloc_context3(codec));
    if (!def.codec) throw FFmpegException("Could not alloc stream");
    def.codec->codec_type = type;
    def.codec->thread_count = s.threadCount;
    if (tag) def.codec->codec_tag = tag;
    def.bitstreamFilters = std::move(filters);
    filters.clear();
    (void)task;
    file.streams.push_back(std::move(def));
    return file.streams.back();
}

// Parses "start,end,q/start,end,q/...".
void ParseRcOverride(AVCodecContext* c, const std::string& text) {
    std::vector<RcOverride> groups;
    const char* p = text.c_str();
    while (p && *p) {
        int start = 0, end = 0, q = 0;
        if (std::sscanf(p, "%d,%d,%d", &start, &end, &q) != 3) throw FFmpegException("error parsing rc_override");
        RcOverride o{};
        o.start_frame = start;
        o.end_frame = end;
        if (q > 0) {
            o.qscale = q;
            o.quality_factor = 1.0f;
        } else {
            o.qscale = 0;
            o.quality_factor = -q / 100.0f;
        }
        groups.push_back(o);
        p = std::strchr(p, '/');
        if (p) ++p;
    }
    av_freep(&c->rc_override);
    c->rc_override = static_cast<RcOverride*>(av_malloc_array(groups.size() ? groups.size() : 1, sizeof(RcOverride)));
    if (!c->rc_override) throw FFmpegException("av_mallocz fail");
    std::copy(groups.begin(), groups.end(), c->rc_override);
    c->rc_override_count = static_cast<int>(groups.size());
}

uint16_t* CopyMatrix(const TQuantMatrix& m) {
    auto* out = static_cast<uint16_t*>(av_malloc(sizeof(uint16_t) * 64));
    if (!out) throw FFmpegException("av_mallocz fail");
    std::copy(m.begin(), m.end(), out);
    return out;
}

}  // namespace

void TTranscoder::NewVideoStream(TCustomFFmpeg& task, TOutputFile& file) {
    TTaskSettings& s = task.settings_;
    struct Consume {
        TTaskSettings& s;
        ~Consume() {
            s.videoDisable = false;
            s.videoCodecName.clear();
            s.videoStreamCopy = false;
            s.pixelFormat = AV_PIX_FMT_NONE;
        }
    } consume{s};
    const AVOutputFormat* of = file.ctx->oformat;

    const AVCodec* encoder = nullptr;
    if (!s.videoStreamCopy) {
        if (!s.videoCodecName.empty()) {
            if (!FindCodec(task, s.videoCodecName, AVMEDIA_TYPE_VIDEO, true, FF_COMPLIANCE_NORMAL, &encoder))
                throw FFmpegException(task.lastError_);
        } else {
            const AVCodecID id = av_guess_codec(of, nullptr, file.ctx->url, nullptr, AVMEDIA_TYPE_VIDEO);
            encoder = avcodec_find_encoder(id);
        }
    }
    TOutputStreamDef& def = AddStream(task, s, file, AVMEDIA_TYPE_VIDEO, encoder, s.videoBitstreamFilters, s.videoTag);
    AVCodecContext* c = def.codec.get();
    AVCodecContext* storeVideo = task.store_ ? task.store_->CodecContext(AVMEDIA_TYPE_VIDEO) : nullptr;
    if ((s.videoGlobalHeader & 1) || (s.videoGlobalHeader == 0 && (of->flags & AVFMT_GLOBALHEADER))) {
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (storeVideo) storeVideo->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (s.videoGlobalHeader & 2) {
        c->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
        if (storeVideo) storeVideo->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    }

    if (s.videoStreamCopy) {
        def.copy = true;
        def.stream->sample_aspect_ratio = c->sample_aspect_ratio =
            SampleAspect(s.frameAspectRatio, s.frameWidth, s.frameHeight);
    } else {
        AVRational rate = s.frameRate.num > 0 && s.frameRate.den > 0 ? s.frameRate : AVRational{25, 1};
        def.encoderByName = s.videoCodecName.empty() ? nullptr : encoder;
        c->codec_id = encoder ? encoder->id : AV_CODEC_ID_NONE;
        if (task.store_)
            task.store_->Apply(c, AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
        if (encoder && encoder->supported_framerates && !s.forceFps)
            rate = encoder->supported_framerates[av_find_nearest_q_idx(rate, encoder->supported_framerates)];
        c->time_base = av_inv_q(rate);
        c->framerate = rate;
        def.stream->avg_frame_rate = rate;
        c->width = s.frameWidth;
        c->height = s.frameHeight;
        def.stream->sample_aspect_ratio = c->sample_aspect_ratio =
            SampleAspect(s.frameAspectRatio, s.frameWidth, s.frameHeight);
        c->pix_fmt = s.pixelFormat;
        if (encoder && encoder->pix_fmts) {
            bool listed = false;
            for (const AVPixelFormat* p = encoder->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) listed |= *p == c->pix_fmt;
            const bool mjpegKeeps = c->codec_id == AV_CODEC_ID_MJPEG && c->strict_std_compliance < 0 &&
                                    (c->pix_fmt == AV_PIX_FMT_YUV420P || c->pix_fmt == AV_PIX_FMT_YUV422P);
            if (!listed && !mjpegKeeps) c->pix_fmt = encoder->pix_fmts[0];
            // Standard JPEG pictures are full range: map limited-range planar formats to theirs.
            if (c->codec_id == AV_CODEC_ID_MJPEG && c->strict_std_compliance >= 0) {
                if (c->pix_fmt == AV_PIX_FMT_YUV420P) c->pix_fmt = AV_PIX_FMT_YUVJ420P;
                if (c->pix_fmt == AV_PIX_FMT_YUV422P) c->pix_fmt = AV_PIX_FMT_YUVJ422P;
                if (c->pix_fmt == AV_PIX_FMT_YUV444P) c->pix_fmt = AV_PIX_FMT_YUVJ444P;
            }
            // 525-line DV carries 4:1:1 only; 4:2:0 is the 625-line layout.
            if (c->codec_id == AV_CODEC_ID_DVVIDEO && c->height == 480 && c->pix_fmt == AV_PIX_FMT_YUV420P)
                c->pix_fmt = AV_PIX_FMT_YUV411P;
        }
        if (c->pix_fmt == AV_PIX_FMT_NONE) c->pix_fmt = AV_PIX_FMT_YUV420P;
        if (s.intraOnly) c->gop_size = 0;
        if (s.qscale != 0 || s.sameq) {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = static_cast<int>(FF_QP2LAMBDA * s.qscale);
        }
        if (s.intraMatrix) c->intra_matrix = CopyMatrix(*s.intraMatrix);
        if (s.interMatrix) c->inter_matrix = CopyMatrix(*s.interMatrix);
        if (s.rcOverride) ParseRcOverride(c, *s.rcOverride);
        if (!c->rc_initial_buffer_occupancy) c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
        c->intra_dc_precision = s.intraDcPrecision - 8;
        if (s.psnr) c->flags |= AV_CODEC_FLAG_PSNR;
        if (s.pass == 1) c->flags |= AV_CODEC_FLAG_PASS1;
        if (s.pass == 2) c->flags |= AV_CODEC_FLAG_PASS2;
    }
    if (!s.videoLanguage.empty()) {
        av_dict_set(&def.stream->metadata, "language", s.videoLanguage.c_str(), 0);
        s.videoLanguage.clear();
    }
}

void TTranscoder::NewAudioStream(TCustomFFmpeg& task, TOutputFile& file) {
    TTaskSettings& s = task.settings_;
    struct Consume {
        TTaskSettings& s;
        ~Consume() {
            s.audioDisable = false;
            s.audioCodecName.clear();
            s.audioStreamCopy = false;
        }
    } consume{s};
    const AVOutputFormat* of = file.ctx->oformat;
    AVCodecContext* storeAudio = task.store_ ? task.store_->CodecContext(AVMEDIA_TYPE_AUDIO) : nullptr;

    const AVCodec* encoder = nullptr;
    if (!s.audioStreamCopy) {
        if (!s.audioCodecName.empty()) {
            const int strict = storeAudio ? storeAudio->strict_std_compliance : FF_COMPLIANCE_NORMAL;
            if (!FindCodec(task, s.audioCodecName, AVMEDIA_TYPE_AUDIO, true, strict, &encoder))
                throw FFmpegException(task.lastError_);
        } else {
            encoder = avcodec_find_encoder(av_guess_codec(of, nullptr, file.ctx->url, nullptr, AVMEDIA_TYPE_AUDIO));
        }
    }
    TOutputStreamDef& def = AddStream(task, s, file, AVMEDIA_TYPE_AUDIO, encoder, s.audioBitstreamFilters, s.audioTag);
    AVCodecContext* c = def.codec.get();
    if (of->flags & AVFMT_GLOBALHEADER) {
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (storeAudio) storeAudio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    av_channel_layout_uninit(&c->ch_layout);
    if (s.audioStreamCopy) {
        def.copy = true;
        av_channel_layout_default(&c->ch_layout, s.audioChannels);
        c->sample_rate = s.audioSampleRate;
    } else {
        if (task.store_)
            task.store_->Apply(c, AVMEDIA_TYPE_AUDIO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
        def.encoderByName = s.audioCodecName.empty() ? nullptr : encoder;
        c->codec_id = encoder ? encoder->id : AV_CODEC_ID_NONE;
        if (s.audioQuality > -99999) {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = static_cast<int>(FF_QP2LAMBDA * s.audioQuality);
        }
        const uint64_t mask = static_cast<uint64_t>(s.inputChannelLayout);
        if (mask && av_popcount64(mask) == s.audioChannels)
            av_channel_layout_from_mask(&c->ch_layout, mask);
        else
            av_channel_layout_default(&c->ch_layout, s.audioChannels);
        c->sample_fmt = s.sampleFormat;
        c->sample_rate = s.audioSampleRate;
        if (encoder && encoder->sample_fmts) {
            bool listed = false;
            for (const AVSampleFormat* p = encoder->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p) listed |= *p == c->sample_fmt;
            if (!listed) c->sample_fmt = encoder->sample_fmts[0];
        }
        if (encoder && encoder->supported_samplerates) {
            int best = encoder->supported_samplerates[0];
            for (const int* r = encoder->supported_samplerates; *r; ++r)
                if (std::abs(*r - c->sample_rate) < std::abs(best - c->sample_rate)) best = *r;
            if (best != c->sample_rate) {
                TFFLogger::Instance().LogFmt(&task, llWarning, "Requested sampling rate unsupported using closest supported (%d)",
                                             best);
                c->sample_rate = best;
            }
        }
        c->time_base = AVRational{1, c->sample_rate > 0 ? c->sample_rate : 1};
    }
    if (!s.audioLanguage.empty()) {
        av_dict_set(&def.stream->metadata, "language", s.audioLanguage.c_str(), 0);
        s.audioLanguage.clear();
    }
}

void TTranscoder::NewSubtitleStream(TCustomFFmpeg& task, TOutputFile& file) {
    TTaskSettings& s = task.settings_;
    struct Consume {
        TTaskSettings& s;
        ~Consume() {
            s.subtitleDisable = false;
            s.subtitleCodecName.clear();
            s.subtitleStreamCopy = false;
        }
    } consume{s};
    const AVCodec* encoder = nullptr;
    if (!s.subtitleStreamCopy) {
        if (!s.subtitleCodecName.empty()) {
            if (!FindCodec(task, s.subtitleCodecName, AVMEDIA_TYPE_SUBTITLE, true, FF_COMPLIANCE_NORMAL, &encoder))
                throw FFmpegException(task.lastError_);
        } else {
            // The format's own subtitle codec, so that text subtitles convert without naming one.
            encoder = avcodec_find_encoder(
                av_guess_codec(file.ctx->oformat, nullptr, file.ctx->url, nullptr, AVMEDIA_TYPE_SUBTITLE));
        }
    }
    TOutputStreamDef& def =
        AddStream(task, s, file, AVMEDIA_TYPE_SUBTITLE, encoder, s.subtitleBitstreamFilters, s.subtitleTag);
    if (s.subtitleStreamCopy) {
        def.copy = true;
    } else {
        def.encoderByName = s.subtitleCodecName.empty() ? nullptr : encoder;
        def.codec->codec_id = encoder ? encoder->id : AV_CODEC_ID_NONE;
        if (task.store_)
            task.store_->Apply(def.codec.get(), AVMEDIA_TYPE_SUBTITLE,
                               AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM);
    }
    if (!s.subtitleLanguage.empty()) {
        av_dict_set(&def.stream->metadata, "language", s.subtitleLanguage.c_str(), 0);
        s.subtitleLanguage.clear();
    }
}

int TTranscoder::AddOutputFile(TCustomFFmpeg& task, const std::string& fileName, bool join) {
    TTaskSettings& s = task.settings_;
    TTranscodeState& tables = task.Tables();
    if (task.joined_) {
        task.lastError_ = "Cannot join more than one output file.";
        return -1;
    }
    if (static_cast<int>(tables.outputTable.size()) >= MAX_FILES) {
        task.lastError_ = "Too many output files";
        return -1;
    }
    const std::string libraryName = LibraryFileName(fileName);
    const AVOutputFormat* of = nullptr;
    if (!s.formatName.empty()) {
        of = av_guess_format(s.formatName.c_str(), nullptr, nullptr);
        const std::string name = s.formatName;
        s.formatName.clear();
        if (!of) {
            task.lastError_ = Format("Requested output format '%s' is not a suitable output format", name.c_str());
            return -1;
        }
    } else {
        of = av_guess_format(nullptr, libraryName.c_str(), nullptr);
        if (!of) {
            task.lastError_ = Format("Unable to find a suitable output format for '%s'", fileName.c_str());
            return -1;
        }
    }
    AVFormatContext* oc = avformat_alloc_context();
    if (!oc) throw FFmpegException("avformat_alloc_context failed");
    TOutputFile file;
    file.ctx.reset(oc);
    file.fileName = fileName;
    oc->oformat = of;
    oc->url = av_strdup(libraryName.c_str());
    if (!oc->url) throw FFmpegException("avformat_alloc_context failed");

    bool useVideo = s.videoStreamCopy || of->video_codec != AV_CODEC_ID_NONE || !s.videoCodecName.empty();
    bool useAudio = s.audioStreamCopy || of->audio_codec != AV_CODEC_ID_NONE || !s.audioCodecName.empty();
    bool useSubtitle = s.subtitleStreamCopy || of->subtitle_codec != AV_CODEC_ID_NONE || !s.subtitleCodecName.empty();
    if (!tables.inputs.empty()) {
        try {
            const TCustomFFmpeg::TInputKinds kinds = task.CheckInputs(join);
            useVideo &= kinds.video;
            useAudio &= kinds.audio;
            useSubtitle &= kinds.subtitle;
        } catch (const FFmpegException& e) {
            task.lastError_ = Format("check_audio_video_sub_inputs fail: %s", e.what());
            return -1;
        }
    }
    if (s.audioDisable) useAudio = false;
    if (s.videoDisable) useVideo = false;
    auto create = [&](bool use, const char* what, void (*make)(TCustomFFmpeg&, TOutputFile&)) {
        if (!use) return true;
        try {
            make(task, file);
            return true;
        } catch (const FFmpegException& e) {
            task.lastError_ = Format("%s fail: %s", what, e.what());
            return false;
        }
    };
    if (!create(useVideo, "new_video_stream", &NewVideoStream) || !create(useAudio, "new_audio_stream", &NewAudioStream) ||
        !create(useSubtitle && !s.subtitleDisable, "new_subtitle_stream", &NewSubtitleStream))
        return -1;
    // What the output did not take is used up all the same.
    s.videoDisable = s.audioDisable = s.subtitleDisable = false;

    if (s.timestampSeconds) {
        char text[64];
        const time_t t = static_cast<time_t>(s.timestampSeconds);
        std::tm tm{};
        gmtime_r(&t, &tm);
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &tm);
        av_dict_set(&oc->metadata, "creation_time", text, 0);
    }
    for (auto it = s.metadata.rbegin(); it != s.metadata.rend(); ++it)
        av_dict_set(&oc->metadata, it->first.c_str(), it->second.c_str(), 0);
    s.metadata.clear();

    if ((of->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(libraryName.c_str())) {
        task.lastError_ = fileName + ": Number syntax expected in filename";
        return -1;
    }
    if (!(of->flags & AVFMT_NOFILE)) {
        const int rc = OpenOutputFile(&oc->pb, libraryName, nullptr);
        if (rc < 0) {
            task.lastError_ = LibraryErrorText(fileName, rc);
            return -1;
        }
    }
    oc->max_delay = static_cast<int>(s.muxMaxDelaySeconds * 1000000);
    if (s.loopOutput >= 0 && oc->priv_data && av_opt_find(oc->priv_data, "loop", nullptr, 0, 0))
        av_opt_set_int(oc->priv_data, "loop", s.loopOutput, 0);
    if (task.store_) task.store_->Apply(oc, AV_OPT_FLAG_ENCODING_PARAM);
    s.streamIds.fill(0);

    tables.outputFiles.push_back(std::move(file));
    tables.outputTable.push_back(static_cast<int>(tables.outputFiles.size()) - 1);
    if (join && tables.inputs.size() > 1) {
        task.joined_ = true;
        int64_t sum = 0;
        for (const TInputFile& in : tables.inputs)
            if (in.ctx->duration != AV_NOPTS_VALUE && in.ctx->duration > 0) sum += in.ctx->duration;
        task.totalDurationUs_ = sum ? sum : -1;
        for (size_t k = 1; k < tables.inputs.size(); ++k) tables.outputTable.push_back(tables.outputTable.back());
    }
    return static_cast<int>(tables.outputTable.size());
}

int TCustomFFmpeg::AddOutput(const std::string& fileName, bool join) {
    try {
        return TTranscoder::AddOutputFile(*this, fileName, join);
    } catch (const FFmpegException& e) {
        lastError_ = e.what();
        return -1;
    }
}

int TCustomFFmpeg::OutputFileCount() const { return transcode_ ? static_cast<int>(transcode_->outputTable.size()) : 0; }

void TCustomFFmpeg::NewStreamInLastOutput(AVMediaType type) {
    TTranscodeState& tables = Tables();
    if (tables.outputFiles.empty()) throw FFmpegException("At least one output file must be specified");
    TOutputFile& file = tables.outputFiles.back();
    if (file.headerWritten) throw FFmpegException("Cannot add a stream to an output that is being written");
    switch (type) {
        case AVMEDIA_TYPE_VIDEO: TTranscoder::NewVideoStream(*this, file); break;
        case AVMEDIA_TYPE_AUDIO: TTranscoder::NewAudioStream(*this, file); break;
        case AVMEDIA_TYPE_SUBTITLE: TTranscoder::NewSubtitleStream(*this, file); break;
        default: throw FFmpegException("invalid codec_type");
    }
}

// ---------------------------------------------------------------------------------------------
// Cleanup

void TTranscoder::FreeFiles(TTranscodeState& tables) {
    tables.FreeRunTables();
    for (TOutputFile& file : tables.outputFiles) {
        AVFormatContext* oc = file.ctx.get();
        const bool hasFile = oc && oc->oformat && !(oc->oformat->flags & AVFMT_NOFILE);
        if (hasFile && oc->pb) CloseOutputFile(&oc->pb);
        {
            std::lock_guard lock(CodecLock());
            for (TOutputStreamDef& def : file.streams) def.codec.reset();
        }
        file.streams.clear();
        file.ctx.reset();
        // A failed run can leave an empty file behind: it holds nothing worth keeping.
        if (hasFile) {
            std::error_code ec;
            const std::filesystem::path path(LocalPath(file.fileName));
            if (std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) == 0 && !ec)
                std::filesystem::remove(path, ec);
        }
    }
    tables.outputFiles.clear();
    tables.outputTable.clear();
    tables.inputs.clear();
}

void TCustomFFmpeg::Cleanup() {
    FreeOptionStore();
    if (transcode_) TTranscoder::FreeFiles(*transcode_);
    settings_.vstatsFile.reset();
    settings_.videoCodecName.clear();
    settings_.audioCodecName.clear();
    settings_.subtitleCodecName.clear();
    settings_.tvStandard.reset();
    settings_.videoLanguage.clear();
    settings_.audioLanguage.clear();
    settings_.subtitleLanguage.clear();
}
