// The run's set-up: tables, stream mapping, copy and encoding set-up, codec opening, metadata,
// chapters, headers and the mapping report.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "engine/CustomFFmpeg.h"
#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"
#include "engine/TranscodeState.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

namespace {

// How much a stream offers, to choose between streams of one type: the larger picture, the more
// channels; the earlier stream on equal terms.
int64_t StreamWeight(const AVStream* st) {
    const AVCodecParameters* p = st->codecpar;
    if (p->codec_type == AVMEDIA_TYPE_VIDEO) return static_cast<int64_t>(p->width) * p->height;
    if (p->codec_type == AVMEDIA_TYPE_AUDIO) return p->ch_layout.nb_channels;
    return 0;
}

bool InProgram(const AVFormatContext* ic, int streamIndex, int programId) {
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
        const AVProgram* program = ic->programs[p];
        if (program->id != programId) continue;
        for (unsigned k = 0; k < program->nb_stream_indexes; ++k)
            if (static_cast<int>(program->stream_index[k]) == streamIndex) return true;
    }
    return false;
}

std::string TwoPassLogName(const TTaskSettings& s, int index) {
    std::string name = (s.passLogFile.empty() ? std::string("ffmpeg2pass") : s.passLogFile) + "-" +
                       std::to_string(index) + ".log";
    if (name.size() > 1023) name.resize(1023);
    return name;
}

}  // namespace

void TTranscoder::ReportMapping(TCustomFFmpeg& task) {
    TTranscodeState& t = *task.transcode_;
    const TTaskSettings& s = task.settings_;
    const size_t files = task.joined_ ? std::min<size_t>(1, t.outputTable.size()) : t.outputTable.size();
    for (size_t j = 0; j < files; ++j) {
        AVFormatContext* oc = t.outputFiles[t.outputTable[j]].ctx.get();
        if (oc) av_dump_format(oc, static_cast<int>(j), oc->url, 1);
    }
    if (s.verbose < 0) return;
    TFFLogger& log = TFFLogger::Instance();
    log.Log(&task, llVerbose, "Stream mapping:");
    for (const TOutputStreamState& ost : t.outputStreams) {
        if (ost.sourceIndex < 0) continue;
        const TInputStreamState& ist = t.inputStreams[ost.sourceIndex];
        log.LogFmt(&task, llVerbose, "  Stream #%d.%d -> #%d.%d (%s)", ist.fileIndex, ist.streamIndex,
                   task.joined_ ? 0 : ost.fileIndex, ost.streamIndex, MediaTypeName(ost.out->def->type));
        if (ost.syncIndex != ost.sourceIndex && ost.syncIndex >= 0) {
            const TInputStreamState& sync = t.inputStreams[ost.syncIndex];
            log.LogFmt(&task, llVerbose, " [sync #%d.%d (%s)]", sync.fileIndex, sync.streamIndex,
                       MediaTypeName(sync.stream->codecpar->codec_type));
        }
    }
}

void TTranscoder::OpenEncoder(TCustomFFmpeg& task, TOutputStreamState& ost) {
    TStreamOut& out = *ost.out;
    AVCodecContext* enc = out.def->codec.get();
    const char* typeName = MediaTypeName(out.def->type);
    const AVCodec* codec = out.def->encoderByName ? out.def->encoderByName : avcodec_find_encoder(enc->codec_id);
    if (!codec) {
        ReportMapping(task);
        const std::string message = Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                                           static_cast<int>(enc->codec_id), ost.fileIndex, ost.streamIndex, typeName);
        TFFLogger::Instance().Log(&task, llError, message);
        throw FFmpegException(message);
    }
    int rc;
    // The encoder's own reason reaches the task's error text, which callers without a log show.
    TLibraryErrorCapture reason;
    {
        std::lock_guard lock(CodecLock());
        rc = avcodec_open2(enc, codec, nullptr);
    }
    if (rc < 0) {
        ReportMapping(task);
        std::string message =
            Format("Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters such as "
                   "bit_rate, rate, width or height. Please check error log message to find out more detail "
                   "information.",
                   ost.fileIndex, ost.streamIndex, typeName);
        if (const std::string why = reason.Text(); !why.empty())
            message += " Encoder " + std::string(codec->name) + ": " + why;
        TFFLogger::Instance().Log(&task, llError, message);
        throw FFmpegException(message);
    }
    out.encoderOpen = true;
}

void TTranscoder::RunSetUp(TCustomFFmpeg& task) {
    TTranscodeState& t = task.Tables();
    TTaskSettings& s = task.settings_;
    TFFLogger& log = TFFLogger::Instance();
    t.FreeRunTables();

    // 1. Input tables.
    for (size_t f = 0; f < t.inputs.size(); ++f) {
        AVFormatContext* ic = t.inputs[f].ctx.get();
        t.firstInputStream.push_back(static_cast<int>(t.inputStreams.size()));
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            TInputStreamState ist;
            ist.fileIndex = static_cast<int>(f);
            ist.streamIndex = static_cast<int>(i);
            ist.stream = ic->streams[i];
            ist.decoder = t.inputs[f].decoders[i].get();
            if (s.rateEmulation) ist.rateEmulationStartUs = av_gettime();
            t.inputStreams.push_back(ist);
        }
    }
    t.inputEof.assign(t.inputs.size(), false);
    t.inputNoPacket.assign(t.inputs.size(), false);

    // 2. Output table.
    size_t streamCount = 0;
    for (size_t j = 0; j < t.outputTable.size(); ++j) {
        AVFormatContext* oc = t.outputFiles[t.outputTable[j]].ctx.get();
        if (oc->nb_streams == 0) {
            av_dump_format(oc, static_cast<int>(j), oc->url, 1);
            throw FFmpegException(Format("Output file #%d does not contain any stream", static_cast<int>(j)));
        }
        streamCount += oc->nb_streams;
    }
    const bool maps = !s.streamMaps.empty();
    if (maps) {
        if (s.streamMaps.size() != streamCount)
            throw FFmpegException("Number of stream maps must match number of output streams");
        for (const TStreamMap& m : s.streamMaps) {
            auto valid = [&](int file, int stream) {
                return file >= 0 && file < static_cast<int>(t.inputs.size()) && stream >= 0 &&
                       stream < static_cast<int>(t.inputs[file].ctx->nb_streams);
            };
            if (!valid(m.fileIndex, m.streamIndex))
                throw FFmpegException(Format("Could not find input stream #%d.%d", m.fileIndex, m.streamIndex));
            if (!valid(m.syncFileIndex, m.syncStreamIndex))
                throw FFmpegException(Format("Could not find sync stream #%d.%d", m.syncFileIndex, m.syncStreamIndex));
        }
    }

    // 3. Mapping.
    size_t mapIndex = 0;
    for (size_t j = 0; j < t.outputTable.size(); ++j) {
        TOutputFile& file = t.outputFiles[t.outputTable[j]];
        AVFormatContext* oc = file.ctx.get();
        for (size_t k = 0; k < file.streams.size(); ++k) {
            TOutputStreamDef& def = file.streams[k];
            TOutputStreamState ost;
            ost.fileIndex = static_cast<int>(j);
            ost.streamIndex = static_cast<int>(k);
            if (task.joined_ && j > 0) {
                ost.out = t.outputStreams[k].out;  // every group shares the first group's streams
            } else {
                ost.out = std::make_shared<TStreamOut>();
                ost.out->def = &def;
                ost.out->outputFile = t.outputTable[j];
            }
            const AVMediaType type = def.type;
            if (maps) {
                const TStreamMap& m = s.streamMaps[mapIndex++];
                ost.sourceIndex = t.firstInputStream[m.fileIndex] + m.streamIndex;
                ost.syncIndex = t.firstInputStream[m.syncFileIndex] + m.syncStreamIndex;
                const AVMediaType inType = t.inputStreams[ost.sourceIndex].stream->codecpar->codec_type;
                if (inType != type) {
                    av_dump_format(oc, static_cast<int>(j), oc->url, 1);
                    throw FFmpegException(Format("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)",
                                                 m.fileIndex, m.streamIndex, MediaTypeName(inType),
                                                 static_cast<int>(j), static_cast<int>(k), MediaTypeName(type)));
                }
            } else {
                int best = -1;
                int64_t bestWeight = -1;
                for (size_t i = 0; i < t.inputStreams.size(); ++i) {
                    const TInputStreamState& ist = t.inputStreams[i];
                    if (!ist.discard || ist.stream->discard == AVDISCARD_ALL) continue;
                    if (ist.stream->codecpar->codec_type != type) continue;
                    if (s.programId && !InProgram(t.inputs[ist.fileIndex].ctx.get(), ist.streamIndex, s.programId))
                        continue;
                    if (task.joined_ && ist.fileIndex != static_cast<int>(j)) continue;
                    const int64_t weight = StreamWeight(ist.stream);
                    if (weight > bestWeight) {
                        best = static_cast<int>(i);
                        bestWeight = weight;
                    }
                }
                if (best < 0 && !s.programId && !task.joined_) {
                    for (size_t i = 0; i < t.inputStreams.size(); ++i) {
                        const TInputStreamState& ist = t.inputStreams[i];
                        if (ist.stream->codecpar->codec_type == type && ist.stream->discard != AVDISCARD_ALL)
                            best = static_cast<int>(i);
                    }
                }
                if (best < 0) {
                    av_dump_format(oc, static_cast<int>(j), oc->url, 1);
                    throw FFmpegException(Format("Could not find input stream matching output stream #%d.%d (%s)",
                                                 static_cast<int>(j), static_cast<int>(k), MediaTypeName(type)));
                }
                ost.sourceIndex = ost.syncIndex = best;
            }
            t.inputStreams[ost.sourceIndex].discard = false;
            ost.reporting = true;
            t.outputStreams.push_back(std::move(ost));
        }
    }

    // 4. Copy or encoding set-up (once per shared stream).
    for (size_t n = 0; n < t.outputStreams.size(); ++n) {
        TOutputStreamState& ost = t.outputStreams[n];
        TInputStreamState& ist = t.inputStreams[ost.sourceIndex];
        TStreamOut& out = *ost.out;
        ost.encodingNeeded = !out.def->copy;
        if (ost.encodingNeeded) ist.decodingNeeded = true;
        if (task.joined_ && ost.fileIndex > 0) continue;
        TOutputStreamDef& def = *out.def;
        AVStream* st = def.stream;
        const AVCodecParameters* in = ist.stream->codecpar;
        AVCodecContext* enc = def.codec.get();
        av_dict_copy(&st->metadata, ist.stream->metadata, AV_DICT_DONT_OVERWRITE);
        // The source's encoder name would describe a stream this one no longer is.
        if (!def.copy) av_dict_set(&st->metadata, "encoder", nullptr, 0);
        st->disposition = ist.stream->disposition;
        enc->bits_per_raw_sample = in->bits_per_raw_sample;
        enc->chroma_sample_location = in->chroma_location;

        if (def.copy) {
            if (in->extradata_size > INT32_MAX - 8) throw FFmpegException("icodec.extradata_size is invalid (too large)");
            const uint32_t outTag = st->codecpar->codec_tag;
            const AVRational outSar = st->sample_aspect_ratio;
            if (avcodec_parameters_copy(st->codecpar, in) < 0) throw FFmpegException("av_mallocz fail");
            const AVOutputFormat* of = t.outputFiles[out.outputFile].ctx->oformat;
            uint32_t tag = outTag;
            if (!tag) {
                tag = in->codec_tag;
                unsigned int mapped = 0;
                if (of->codec_tag && !(av_codec_get_id(of->codec_tag, tag) == in->codec_id ||
                                       !av_codec_get_tag2(of->codec_tag, in->codec_id, &mapped)))
                    tag = 0;
            }
            st->codecpar->codec_tag = tag;
            st->time_base = ist.stream->time_base;
            out.sourceTimeBase = ist.stream->time_base;
            switch (in->codec_type) {
                case AVMEDIA_TYPE_VIDEO:
                    // Hooks and previews need decoded pictures; a copied stream has none. (Checked here
                    // once the frame hooks exist.)
                    if (outSar.num) st->sample_aspect_ratio = outSar;
                    else st->sample_aspect_ratio = ist.stream->sample_aspect_ratio;
                    break;
                case AVMEDIA_TYPE_AUDIO:
                    if (s.audioVolume != 256)
                        throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
                    if ((in->codec_id == AV_CODEC_ID_MP3 && in->block_align == 1) || in->codec_id == AV_CODEC_ID_AC3)
                        st->codecpar->block_align = 0;
                    break;
                case AVMEDIA_TYPE_SUBTITLE: break;
                default: throw FFmpegException("invalid codec_type of output stream");
            }
        } else if (def.type == AVMEDIA_TYPE_VIDEO) {
            if (ist.decoder->pix_fmt == AV_PIX_FMT_NONE)
                throw FFmpegException("Video pixel format is unknown, stream cannot be encoded");
            if (!s.videoFilters.empty()) {
                // The chain replaces the crop bands and the scaler; its output sets the encoder's size.
                TVideoFilterChain::TInput fin;
                fin.width = ist.decoder->width >> ist.decoder->lowres;
                fin.height = ist.decoder->height >> ist.decoder->lowres;
                fin.format = ist.decoder->pix_fmt;
                fin.sampleAspect = ist.stream->sample_aspect_ratio.num ? ist.stream->sample_aspect_ratio
                                                                       : in->sample_aspect_ratio;
                const TVideoFilterChain::TOutput fout{enc->width, enc->height, enc->pix_fmt};
                const int swsFlags = task.store_ ? task.store_->ScalerFlags() : s.swsFlags;
                out.filters = std::make_unique<TVideoFilterChain>(fin, fout,
                                                                  TCropBands{s.cropTop, s.cropBottom, s.cropLeft, s.cropRight},
                                                                  swsFlags, s.videoFilters);
                out.filtered = av::MakeFrame();
                if (!out.filtered) throw FFmpegException("Error opening filters!");
                enc->width = out.filters->Width();
                enc->height = out.filters->Height();
                // A pixel aspect ratio the chain made (or the only one known) goes to the encoder.
                const AVRational sar = out.filters->SampleAspect();
                if (sar.num && (av_cmp_q(sar, fin.sampleAspect) != 0 || !enc->sample_aspect_ratio.num)) {
                    enc->sample_aspect_ratio = sar;
                    st->sample_aspect_ratio = sar;
                }
            }
        } else if (def.type == AVMEDIA_TYPE_AUDIO || def.type == AVMEDIA_TYPE_SUBTITLE) {
            // Set up once the encoder is open (the frame size is known then).
        } else {
            throw FFmpegException("invalid codec_type of output stream");
        }

        if (!def.copy && (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) {
            const std::string name = TwoPassLogName(s, static_cast<int>(n));
            // Encoders with their own statistics file are told its name; the others use stats_out/in.
            const bool ownFile = enc->priv_data && av_opt_find(enc->priv_data, "stats", nullptr, 0, 0);
            if (ownFile) {
                av_opt_set(enc->priv_data, "stats", name.c_str(), 0);
            } else if (enc->flags & AV_CODEC_FLAG_PASS1) {
                FilePtr f(std::fopen(name.c_str(), "wb"));
                if (!f) throw FFmpegException(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
                out.passLog = std::move(f);
            } else {
                std::ifstream in(name, std::ios::binary);
                std::stringstream text;
                if (!in || !(text << in.rdbuf()))
                    throw FFmpegException(
                        Format("Cannot read file: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
                const std::string stats = text.str();
                char* copy = static_cast<char*>(av_malloc(stats.size() + 1));
                if (!copy)
                    throw FFmpegException(Format(
                        "Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
                std::copy(stats.begin(), stats.end(), copy);
                copy[stats.size()] = '\0';
                out.statsIn.reset(copy);
                enc->stats_in = copy;
            }
        }
    }

    // 5. Encoders (the first group's only in join mode).
    for (TOutputStreamState& ost : t.outputStreams) {
        if (!ost.encodingNeeded || (task.joined_ && ost.fileIndex > 0)) continue;
        OpenEncoder(task, ost);
        TStreamOut& out = *ost.out;
        AVCodecContext* enc = out.def->codec.get();
        AVStream* st = out.def->stream;
        if (avcodec_parameters_from_context(st->codecpar, enc) < 0) throw FFmpegException("av_mallocz fail");
        st->time_base = enc->time_base;
        out.sourceTimeBase = enc->time_base;
        t.extraBytes += enc->extradata_size;
        TInputStreamState& ist = t.inputStreams[ost.sourceIndex];
        if (out.def->type == AVMEDIA_TYPE_VIDEO) {
            st->avg_frame_rate = enc->framerate;
            const int swsFlags = task.store_ ? task.store_->ScalerFlags() : s.swsFlags;
            s.swsFlags = swsFlags;
            TCropBands crop{s.cropTop, s.cropBottom, s.cropLeft, s.cropRight};
            int inWidth = ist.decoder->width >> ist.decoder->lowres;
            int inHeight = ist.decoder->height >> ist.decoder->lowres;
            AVPixelFormat inFormat = ist.decoder->pix_fmt;
            if (out.filters) {  // the chain hands over encoder-ready pictures
                crop = TCropBands{};
                inWidth = enc->width;
                inHeight = enc->height;
                inFormat = enc->pix_fmt;
            }
            out.video = std::make_unique<TVideoOut>(enc, ist.fileIndex, ist.streamIndex, inWidth, inHeight,
                                                    inFormat, crop, swsFlags);
            if (out.video->NeedsScaler()) enc->bits_per_raw_sample = 0;
            if (out.passLog) out.video->SetPassLog(std::move(out.passLog));
        } else if (out.def->type == AVMEDIA_TYPE_AUDIO) {
            out.audio = std::make_unique<TAudioOut>(enc, s.audioSyncMethod > 1);
        } else if (out.def->type == AVMEDIA_TYPE_SUBTITLE) {
            out.sourceTimeBase = AV_TIME_BASE_Q;
        }
        if (out.statsIn) {
            out.def->codec->stats_in = nullptr;  // read when the encoder opened
            out.statsIn.reset();
        }
    }

    // 6. Decoders.
    for (TInputStreamState& ist : t.inputStreams) {
        if (!ist.decodingNeeded) continue;
        const char* typeName = MediaTypeName(ist.stream->codecpar->codec_type);
        const AVCodec* byName = t.inputs[ist.fileIndex].decoderByName[ist.streamIndex];
        const AVCodec* codec = byName ? byName : avcodec_find_decoder(ist.stream->codecpar->codec_id);
        if (!codec || !ist.decoder) {
            ReportMapping(task);
            throw FFmpegException(Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                                         static_cast<int>(ist.stream->codecpar->codec_id), ist.fileIndex,
                                         ist.streamIndex, typeName));
        }
        int rc;
        {
            std::lock_guard lock(CodecLock());
            rc = avcodec_open2(ist.decoder, codec, nullptr);
        }
        if (rc < 0) {
            ReportMapping(task);
            throw FFmpegException(Format("Error while opening decoder for input stream #%d.%d (%s)", ist.fileIndex,
                                         ist.streamIndex, typeName));
        }
        ist.decoderOpen = true;
    }

    // 7. Initial timestamps.
    for (TInputStreamState& ist : t.inputStreams) {
        const AVRational rate = ist.stream->avg_frame_rate;
        const int delay = ist.stream->codecpar->video_delay;
        ist.pts = rate.num && rate.den ? -std::llround(delay * 1000000.0 / av_q2d(rate)) : 0;
        ist.nextPts = kNoTimestamp;
        ist.isStart = true;
    }

    // 8. Metadata maps.
    for (const TMetaDataMap& m : s.metaDataMaps) {
        if (m.outFileIndex < 0 || m.outFileIndex >= static_cast<int>(t.outputTable.size())) {
            ReportMapping(task);
            throw FFmpegException(Format("Invalid output file index %d map_meta_data(%d,%d)", m.outFileIndex,
                                         m.outFileIndex, m.inFileIndex));
        }
        if (m.inFileIndex < 0 || m.inFileIndex >= static_cast<int>(t.inputs.size())) {
            ReportMapping(task);
            throw FFmpegException(Format("Invalid input file index %d map_meta_data(%d,%d)", m.inFileIndex,
                                         m.outFileIndex, m.inFileIndex));
        }
        AVFormatContext* oc = t.outputFiles[t.outputTable[m.outFileIndex]].ctx.get();
        av_dict_copy(&oc->metadata, t.inputs[m.inFileIndex].ctx->metadata, AV_DICT_DONT_OVERWRITE);
    }

    // 9. Chapters.
    for (TInputFile& input : t.inputs) {
        AVFormatContext* ic = input.ctx.get();
        if (!ic->nb_chapters) continue;
        for (TOutputFile& file : t.outputFiles) {
            AVFormatContext* oc = file.ctx.get();
            for (unsigned c = 0; c < ic->nb_chapters; ++c) {
                const AVChapter* in = ic->chapters[c];
                const int64_t offset = av_rescale_q(s.startTimeUs - input.tsOffsetUs, AV_TIME_BASE_Q, in->time_base);
                const int64_t limit = s.recordingTimeUs == INT64_MAX
                                          ? INT64_MAX
                                          : av_rescale_q(s.recordingTimeUs, AV_TIME_BASE_Q, in->time_base);
                if (in->end < offset) continue;
                if (limit != INT64_MAX && offset + limit < in->start) break;
                AVChapter** grown = static_cast<AVChapter**>(
                    av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
                if (!grown) throw FFmpegException("av_realloc fail");
                oc->chapters = grown;
                auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
                if (!out) throw FFmpegException("av_mallocz fail");
                out->id = in->id;
                out->time_base = in->time_base;
                out->start = std::max<int64_t>(0, in->start - offset);
                out->end = std::min<int64_t>(limit, in->end - offset);
                av_dict_copy(&out->metadata, in->metadata, 0);
                oc->chapters[oc->nb_chapters++] = out;
            }
        }
    }

    // Bitstream filters: made for the streams' final parameters, before the headers.
    for (TOutputStreamState& ost : t.outputStreams) {
        if (task.joined_ && ost.fileIndex > 0) continue;
        TStreamOut& out = *ost.out;
        for (const TBitstreamFilterSpec& entry : out.def->bitstreamFilters) {
            const AVBitStreamFilter* filter = entry.filter ? entry.filter : av_bsf_get_by_name(entry.name.c_str());
            AVBSFContext* raw = nullptr;
            if (!filter || av_bsf_alloc(filter, &raw) < 0)
                throw FFmpegException(Format("Unknown bitstream filter %s", entry.name.c_str()));
            BsfPtr bsf(raw);
            const AVCodecParameters* par =
                out.bitstreamFilters.empty() ? out.def->stream->codecpar : out.bitstreamFilters.back()->par_out;
            avcodec_parameters_copy(bsf->par_in, par);
            bsf->time_base_in = out.bitstreamFilters.empty() ? out.sourceTimeBase : out.bitstreamFilters.back()->time_base_out;
            if (!entry.args.empty() && bsf->priv_data) av_set_options_string(bsf->priv_data, entry.args.c_str(), "=", ":");
            const int rc = av_bsf_init(bsf.get());
            if (rc < 0)
                throw FFmpegException(Format("%s failed for stream %d, codec %s: %s", entry.name.c_str(), ost.streamIndex,
                                             out.def->copy ? "copy" : avcodec_get_name(out.def->codec->codec_id),
                                             LibraryErrorMessage(rc).c_str()));
            out.bitstreamFilters.push_back(std::move(bsf));
        }
        if (!out.bitstreamFilters.empty())
            avcodec_parameters_copy(out.def->stream->codecpar, out.bitstreamFilters.back()->par_out);
    }

    // 10. Headers.
    for (size_t j = 0; j < t.outputTable.size(); ++j) {
        TOutputFile& file = t.outputFiles[t.outputTable[j]];
        if (file.headerWritten) continue;
        if (avformat_write_header(file.ctx.get(), nullptr) < 0) {
            ReportMapping(task);
            const std::string message =
                Format("Could not write header for output file #%d (incorrect codec parameters ?)", static_cast<int>(j));
            log.Log(&task, llError, message);
            throw FFmpegException(message);
        }
        file.headerWritten = true;
    }

    // 11. Mapping report.
    ReportMapping(task);
}

void TTranscoder::CloseEncoders(TCustomFFmpeg& task) {
    if (!task.transcode_) return;
    std::lock_guard lock(CodecLock());
    for (TOutputFile& file : task.transcode_->outputFiles)
        for (TOutputStreamDef& def : file.streams)
            if (def.codec && avcodec_is_open(def.codec.get())) def.codec.reset();
}

void TTranscoder::CloseDecoders(TCustomFFmpeg& task) {
    if (!task.transcode_) return;
    std::lock_guard lock(CodecLock());
    for (TInputFile& input : task.transcode_->inputs)
        for (av::CodecContextPtr& dec : input.decoders)
            if (dec && avcodec_is_open(dec.get())) dec.reset();
}

void TCustomFFmpeg::CloseCodecs() {
    if (transcode_) transcode_->FreeRunTables();
    TTranscoder::CloseEncoders(*this);
    TTranscoder::CloseDecoders(*this);
}
