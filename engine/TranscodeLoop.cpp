// The run: packet loop, decoding and output, stream copy, join mode, progress report, end of run.
#include <chrono>
#include <cmath>
#include <thread>

#include "engine/CustomFFmpeg.h"
#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"
#include "engine/TranscodeState.h"

extern "C" {
#include <libavutil/intreadwrite.h>
#include <libavutil/time.h>
}

namespace {

// The quantiser histogram of the report line, shared by every task of the program.
std::array<std::atomic<int>, 52> gQpHistogram{};

int64_t ToMicroseconds(int64_t ts, AVRational tb) { return av_rescale_q(ts, tb, AV_TIME_BASE_Q); }

// Position of an output stream in seconds: what was handed to its encoder, or written for copies.
double OutputTime(const TStreamOut& out) {
    if (out.video) return static_cast<double>(out.video->syncPts) * av_q2d(out.def->codec->time_base);
    if (out.audio) return static_cast<double>(out.audio->FedEndUs()) / AV_TIME_BASE;
    return out.writtenEnd;
}

int MaxFramesOf(const TTaskSettings& s, AVMediaType type) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO: return s.maxFrames[mfVideo];
        case AVMEDIA_TYPE_AUDIO: return s.maxFrames[mfAudio];
        case AVMEDIA_TYPE_SUBTITLE: return s.maxFrames[mfSubtitle];
        default: return s.maxFrames[mfData];
    }
}

// Drops the first `samples` samples of a frame (a reference to the caller's frame data).
bool TrimFrameStart(AVFrame* frame, int samples) {
    if (samples <= 0) return true;
    if (samples >= frame->nb_samples) return false;
    const auto fmt = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const int planes = av_sample_fmt_is_planar(fmt) ? channels : 1;
    if (planes > AV_NUM_DATA_POINTERS || frame->extended_data != frame->data) return true;  // left whole
    const int step = av_get_bytes_per_sample(fmt) * (av_sample_fmt_is_planar(fmt) ? 1 : channels);
    for (int p = 0; p < planes; ++p) frame->data[p] += static_cast<ptrdiff_t>(samples) * step;
    frame->nb_samples -= samples;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Writing packets

void TTranscoder::WriteFrame(TCustomFFmpeg& task, TStreamOut& out, AVPacket* packet) {
    TTranscodeState& t = *task.transcode_;
    AVFormatContext* oc = t.outputFiles[out.outputFile].ctx.get();
    AVStream* st = out.def->stream;

    auto write = [&](AVPacket* p, AVRational tb) {
        av_packet_rescale_ts(p, tb, st->time_base);
        p->stream_index = st->index;
        const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        if (ts != AV_NOPTS_VALUE)
            out.writtenEnd = std::max(out.writtenEnd, static_cast<double>(ts + p->duration) * av_q2d(st->time_base));
        const int rc = av_interleaved_write_frame(oc, p);
        if (rc < 0) throw FFmpegException("av_interleaved_write_frame(): " + LibraryErrorMessage(rc));
    };

    if (out.bitstreamFilters.empty()) {
        write(packet, out.sourceTimeBase);
        return;
    }
    // Through the filters in list order; a filter that fails passes the packet on unchanged.
    std::vector<av::PacketPtr> pending;
    pending.push_back(av::MakePacket());
    if (packet) av_packet_ref(pending.back().get(), packet);
    else pending.back().reset();
    AVRational tb = out.sourceTimeBase;
    for (size_t f = 0; f < out.bitstreamFilters.size(); ++f) {
        AVBSFContext* bsf = out.bitstreamFilters[f].get();
        std::vector<av::PacketPtr> next;
        bool failed = false;
        int rc = 0;
        for (av::PacketPtr& p : pending) {
            rc = av_bsf_send_packet(bsf, p.get());
            if (rc < 0) {
                failed = true;
                break;
            }
            for (;;) {
                av::PacketPtr o = av::MakePacket();
                rc = av_bsf_receive_packet(bsf, o.get());
                if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
                    rc = 0;
                    break;
                }
                if (rc < 0) {
                    failed = true;
                    break;
                }
                next.push_back(std::move(o));
            }
            if (failed) break;
        }
        if (failed) {
            const std::string message =
                Format("%s failed for stream %d, codec %s: %s", bsf->filter->name, st->index,
                       out.def->copy ? "copy" : avcodec_get_name(out.def->codec->codec_id),
                       LibraryErrorText(WideFileName(oc->url), rc).c_str());
            if (task.settings_.exitOnError) throw FFmpegException(message);
            TFFLogger::Instance().Log(&task, llError, message);
            break;  // the packets go on as they are
        }
        pending = std::move(next);
        tb = bsf->time_base_out;
    }
    for (av::PacketPtr& p : pending)
        if (p) write(p.get(), tb);
}

// ---------------------------------------------------------------------------------------------
// Decoding and output

int TTranscoder::DecodeAndOutput(TCustomFFmpeg& task, int inputIndex, const AVPacket* packet) {
    TTranscodeState& t = *task.transcode_;
    const TTaskSettings& s = task.settings_;
    TInputStreamState& ist = t.inputStreams[inputIndex];
    TInputFile& input = t.inputs[ist.fileIndex];
    const AVMediaType type = ist.stream->codecpar->codec_type;
    const AVRational stb = ist.stream->time_base;

    if (ist.nextPts == kNoTimestamp) ist.nextPts = ist.pts;
    if (packet && packet->dts != AV_NOPTS_VALUE) ist.nextPts = ist.pts = ToMicroseconds(packet->dts, stb);

    // Where the output starts: a start position, or 0 for an input opened at one.
    const int64_t startUs = s.startTimeUs;
    const bool trimStart = s.startTimeUs != 0 || input.seeked;
    const int64_t endUs = s.recordingTimeUs == INT64_MAX ? INT64_MAX : s.recordingTimeUs + s.startTimeUs;

    TAudioSyncSettings audioSettings{s.audioSyncMethod, s.audioDriftThresholdSeconds, s.startTimeUs, s.verbose, &task};
    auto rateEmulation = [&]() {
        if (!s.rateEmulation) return;
        const int64_t ahead = ist.pts - (av_gettime() - ist.rateEmulationStartUs);
        if (ahead > 1000) std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
    };

    auto sinkFor = [&](TStreamOut& out) {
        return [&task, &t, &out](AVPacket* p) {
            if (out.def->type == AVMEDIA_TYPE_VIDEO) {
                t.videoBytes += p->size;
                size_t size = 0;
                if (const uint8_t* q = av_packet_get_side_data(p, AV_PKT_DATA_QUALITY_STATS, &size); q && size >= 4)
                    out.lastQuality = static_cast<double>(AV_RL32(q)) / FF_QP2LAMBDA;
            } else {
                t.audioBytes += p->size;
                ++out.frameNumber;
            }
            WriteFrame(task, out, p);
        };
    };

    if (ist.decodingNeeded && (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO)) {
        if (!ist.decoderOpen) return -1;
        if (!packet && ist.flushedDecoder) return 0;
        int rc = avcodec_send_packet(ist.decoder, packet);
        if (!packet) ist.flushedDecoder = true;
        if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) return -1;
        av::FramePtr frame = av::MakeFrame();
        for (;;) {
            rc = avcodec_receive_frame(ist.decoder, frame.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
            if (rc < 0) return -1;
            const int64_t ts = frame->best_effort_timestamp;
            if (type == AVMEDIA_TYPE_AUDIO) {
                ist.pts = ts != AV_NOPTS_VALUE ? ToMicroseconds(ts, stb) : ist.nextPts;
                const int rate = frame->sample_rate > 0 ? frame->sample_rate : 1;
                ist.nextPts = ist.pts + av_rescale(frame->nb_samples, AV_TIME_BASE, rate);
                if (trimStart && ist.pts < startUs) {
                    const int64_t cut = av_rescale(startUs - ist.pts, rate, AV_TIME_BASE);
                    if (cut >= frame->nb_samples || !TrimFrameStart(frame.get(), static_cast<int>(cut))) {
                        av_frame_unref(frame.get());
                        continue;
                    }
                    ist.pts = startUs;
                }
                if (endUs != INT64_MAX && ist.pts >= endUs) {
                    av_frame_unref(frame.get());
                    continue;
                }
                if (endUs != INT64_MAX && ist.nextPts > endUs)
                    frame->nb_samples = static_cast<int>(av_rescale(endUs - ist.pts, rate, AV_TIME_BASE));
                if (s.audioVolume != 256) {
                    if (av_frame_make_writable(frame.get()) < 0) return -1;
                    ApplyVolume(frame.get(), s.audioVolume);
                }
            } else {
                ist.pts = ts != AV_NOPTS_VALUE ? ToMicroseconds(ts, stb) : ist.nextPts;
                int64_t durationUs = frame->pkt_duration > 0 ? ToMicroseconds(frame->pkt_duration, stb) : 0;
                if (durationUs <= 0) {
                    AVRational rate = ist.stream->avg_frame_rate.num ? ist.stream->avg_frame_rate : ist.stream->r_frame_rate;
                    durationUs = rate.num && rate.den ? av_rescale(AV_TIME_BASE, rate.den, rate.num) : 40000;
                }
                ist.nextPts = ist.pts + durationUs;
                if (trimStart && ist.pts + durationUs / 2 < startUs) {
                    av_frame_unref(frame.get());
                    continue;
                }
                if (endUs != INT64_MAX && ist.pts >= endUs) {
                    av_frame_unref(frame.get());
                    continue;
                }
                // Deinterlacing, custom hook or frame-hook plug-ins; only pictures that go out.
                TVideoPreprocessor::TSettings pre;
                pre.deinterlace = s.deinterlace;
                pre.videoHooks = &task.VideoHooks();
                pre.usingVideoHooks = &task.settings_.usingVideoHooks;
                pre.sender = &task;
                task.videoPreprocessor_.Process(frame.get(), ist.pts, pre);
                t.frameCounter = task.videoPreprocessor_.FrameCounter();
                frame->pts = ist.pts;  // the filter chains' time base is microseconds
            }
            rateEmulation();
            for (TOutputStreamState& ost : t.outputStreams) {
                if (ost.sourceIndex != inputIndex || !ost.encodingNeeded) continue;
                TStreamOut& out = *ost.out;
                TInputStreamState& sync = t.inputStreams[ost.syncIndex];
                if (out.audio) {
                    out.audio->Process(frame.get(), sync.pts, sync.isStart, audioSettings, sinkFor(out));
                } else if (out.video) {
                    const AVCodecContext* venc = out.def->codec.get();
                    TVideoSyncSettings vs;
                    vs.videoSyncMethod = s.videoSyncMethod;
                    vs.variableRateFormat = t.outputFiles[out.outputFile].ctx->oformat->flags & AVFMT_VARIABLE_FPS;
                    vs.startTimeUs = s.startTimeUs;
                    vs.maxFrames = s.maxFrames[mfVideo];
                    vs.verbose = s.verbose;
                    vs.exitOnError = s.exitOnError;
                    vs.topFieldFirst = s.topFieldFirst;
                    vs.interlacedEncoding = venc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME);
                    vs.keepPictureType = s.meThreshold != 0;
                    vs.stopRequested = &task.stopRequested_;
                    vs.sender = &task;
                    vs.previews = &task.videoPreviews_;
                    vs.frameCounter = t.frameCounter;
                    if (!out.filters) {
                        out.video->Process(frame.get(), sync.pts, vs, t.videoCounters, sinkFor(out));
                        continue;
                    }
                    out.filters->Push(frame.get());
                    while (out.filters->Pull(out.filtered.get())) {
                        // A chain that retimes pictures moves the stream's clock with them.
                        const bool ownClock = ost.syncIndex == inputIndex && out.filtered->pts != AV_NOPTS_VALUE;
                        out.video->Process(out.filtered.get(), ownClock ? out.filtered->pts : sync.pts, vs,
                                           t.videoCounters, sinkFor(out));
                        av_frame_unref(out.filtered.get());
                    }
                } else {
                    throw FFmpegException("invalid codec_type");
                }
            }
            av_frame_unref(frame.get());
        }
        return 0;
    }

    if (ist.decodingNeeded && type == AVMEDIA_TYPE_SUBTITLE) {
        if (!packet || !ist.decoderOpen) return packet ? -1 : 0;
        AVSubtitle sub{};
        int got = 0;
        if (avcodec_decode_subtitle2(ist.decoder, &sub, &got, const_cast<AVPacket*>(packet)) < 0) return -1;
        if (!got) return 0;
        struct SubtitleFree {
            AVSubtitle* s;
            ~SubtitleFree() { avsubtitle_free(s); }
        } freeSub{&sub};
        const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (s.startTimeUs == 0 || ist.pts >= s.startTimeUs) {
            for (TOutputStreamState& ost : t.outputStreams) {
                if (ost.sourceIndex != inputIndex || !ost.encodingNeeded) continue;
                TStreamOut& out = *ost.out;
                SubtitleOut(out.def->codec.get(), sub, pts, stb, s.startTimeUs, s.exitOnError, &task,
                            [&](AVPacket* p) {
                                ++out.frameNumber;
                                WriteFrame(task, out, p);
                            });
            }
        }
        return 0;
    }
    if (ist.decodingNeeded) return -1;

    // Not decoded: the stream's clock advances by the packet.
    if (!packet) return 0;
    if (type == AVMEDIA_TYPE_AUDIO) {
        const AVCodecParameters* par = ist.stream->codecpar;
        if (par->sample_rate > 0 && par->frame_size > 0)
            ist.nextPts += av_rescale(par->frame_size, AV_TIME_BASE, par->sample_rate);
        else if (packet->duration > 0)
            ist.nextPts += ToMicroseconds(packet->duration, stb);
    } else if (type == AVMEDIA_TYPE_VIDEO) {
        if (packet->duration > 0) {
            ist.nextPts += ToMicroseconds(packet->duration, stb);
        } else {
            const AVRational rate = ist.stream->avg_frame_rate;
            if (rate.num && rate.den) ist.nextPts += av_rescale(AV_TIME_BASE, rate.den, rate.num);
        }
    }
    rateEmulation();

    if (s.startTimeUs != 0 && ist.pts < s.startTimeUs) return 0;
    const int64_t startOffset = av_rescale_q(s.startTimeUs, AV_TIME_BASE_Q, stb);
    for (TOutputStreamState& ost : t.outputStreams) {
        if (ost.sourceIndex != inputIndex || ost.encodingNeeded) continue;
        TStreamOut& out = *ost.out;
        // A copy starts at a key frame unless told to keep what comes before it.
        if (out.frameNumber == 0 && !(packet->flags & AV_PKT_FLAG_KEY) && !s.copyInitialNonKeyframes) continue;
        av::PacketPtr opkt = av::MakePacket();
        if (av_packet_ref(opkt.get(), packet) < 0) throw FFmpegException("av_mallocz fail");
        opkt->pts = packet->pts != AV_NOPTS_VALUE ? packet->pts - startOffset : AV_NOPTS_VALUE;
        opkt->dts = (packet->dts != AV_NOPTS_VALUE ? packet->dts : av_rescale_q(ist.pts, AV_TIME_BASE_Q, stb)) - startOffset;
        if (type == AVMEDIA_TYPE_VIDEO) {
            t.videoBytes += packet->size;
            ++out.copySyncPts;
        } else {
            t.audioBytes += packet->size;
        }
        WriteFrame(task, out, opkt.get());
        ++out.frameNumber;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Progress

void TTranscoder::ProgressReport(TCustomFFmpeg& task, bool isLast, int fileIndex) {
    TTranscodeState& t = *task.transcode_;
    const TTaskSettings& s = task.settings_;
    TFFLogger& log = TFFLogger::Instance();
    if (t.outputTable.empty()) return;
    AVFormatContext* oc = t.outputFiles[t.outputTable[0]].ctx.get();
    int64_t totalSize = 0;
    if (oc && oc->pb) {
        totalSize = avio_size(oc->pb);
        if (totalSize < 0) totalSize = avio_tell(oc->pb);
    }

    std::string line;
    bool videoDescribed = false;
    int frameNumber = -1, fps = -1;
    float quality = -1.0f;
    double currentTime = 1e10;
    for (const TOutputStreamState& ost : t.outputStreams) {
        const TStreamOut& out = *ost.out;
        const float q = out.def->copy ? -1.0f : static_cast<float>(out.lastQuality);
        if (out.def->type == AVMEDIA_TYPE_VIDEO) {
            if (videoDescribed) {
                line += Format("q=%2.1f ", q);
            } else if (ost.reporting) {
                frameNumber = out.FrameNumber();
                if (frameNumber < 1) return;
                const float elapsed = static_cast<float>(av_gettime() - t.timerStartUs) / 1000000.0f;
                fps = elapsed > 1 ? static_cast<int>(frameNumber / elapsed + 0.5f) : 0;
                quality = q;
                line += Format("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, q);
                if (isLast) line += "L";
                if (s.qpHistogram) {
                    const long qp = std::lround(q);
                    if (qp >= 0 && qp < 52) ++gQpHistogram[qp];
                    for (int j = 0; j < 32; ++j)
                        line += Format("%X", static_cast<int>(std::lround(std::log2(gQpHistogram[j].load() + 1))));
                }
                videoDescribed = true;
            }
        }
        const double time = OutputTime(out);
        if (time > 0 && time < currentTime) currentTime = time;
    }
    if (currentTime < 0.01) currentTime = 0.01;

    if (t.onProgress || s.verbose > 0 || isLast) {
        const double bitRate = static_cast<double>(totalSize) * 8 / currentTime / 1000.0;
        line += Format("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", totalSize / 1024.0, currentTime, bitRate);
        const TVideoCounters& c = t.videoCounters;
        if (c.duplicatedFrames || c.droppedFrames) {
            line += Format(" dup=%d drop=%d", c.duplicatedFrames, c.droppedFrames);
            if (t.videoCounters.dupDropChanged && s.verbose >= 0 && t.onProgress) {
                t.videoCounters.dupDropChanged = false;
                log.Log(&task, llVerbose, line);
            }
        }
        if (t.onProgress) {
            t.onProgress(&task, fileIndex, frameNumber, fps, quality, static_cast<float>(bitRate), totalSize,
                         static_cast<int64_t>(currentTime * 1000000), task.totalDurationUs_);
        } else if (s.verbose >= 0) {
            log.Log(&task, llVerbose, line);
        }
    }
    if (isLast && s.verbose >= 0) {
        const double raw = static_cast<double>(t.videoBytes + t.audioBytes + t.extraBytes);
        log.LogFmt(&task, llVerbose, "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%",
                   t.videoBytes / 1024.0, t.audioBytes / 1024.0, t.extraBytes / 1024.0,
                   raw > 0 ? (static_cast<double>(totalSize) - raw) * 100.0 / raw : 0.0);
    }
}

// ---------------------------------------------------------------------------------------------
// The loop

void TTranscoder::Transcode(TCustomFFmpeg& task) {
    task.finished_ = false;
    TTranscodeState& t = task.Tables();
    TTaskSettings& s = task.settings_;
    TFFLogger& log = TFFLogger::Instance();
    task.videoPreprocessor_.Restart();
    task.videoPreviews_.Restart();
    RunSetUp(task);

    t.timerStartUs = av_gettime();
    t.lastReportUs = t.timerStartUs;
    t.currentFile = 0;
    av::PacketPtr pkt = av::MakePacket();
    const bool joined = task.joined_;

    // End of input k in join mode: its decoders are drained, and the next input continues where
    // the outputs stand. The encoders keep running, so the joined output has no seam.
    auto joinSwitch = [&](int k) -> bool {
        for (size_t i = 0; i < t.inputStreams.size(); ++i) {
            TInputStreamState& ist = t.inputStreams[i];
            if (ist.fileIndex != k || !ist.decodingNeeded || ist.flushed) continue;
            DecodeAndOutput(task, static_cast<int>(i), nullptr);
            if (ist.decoderOpen) avcodec_flush_buffers(ist.decoder);
            ist.flushed = true;
        }
        double endTime = 0;
        for (TOutputStreamState& ost : t.outputStreams) {
            if (ost.fileIndex != k) continue;
            endTime = std::max(endTime, OutputTime(*ost.out));
            ost.reporting = false;
        }
        if (k + 1 >= static_cast<int>(t.inputs.size())) return false;
        t.inputs[k + 1].tsOffsetUs += std::llround(endTime * 1000000);
        t.currentFile = k + 1;
        return true;
    };

    while (!task.stopRequested_) {
        task.PausePoint();
        if (task.stopRequested_) break;
        // 1. Choose the input.
        int file = -1;
        if (!joined) {
            double minOut = 1e100, minIn = 1e100;
            for (const TOutputStreamState& ost : t.outputStreams) {
                const TInputStreamState& ist = t.inputStreams[ost.sourceIndex];
                if (ist.pastRecordingTime || t.inputNoPacket[ist.fileIndex]) continue;
                const double outTime = OutputTime(*ost.out);
                const double inTime = static_cast<double>(ist.pts);
                if (!t.inputEof[ist.fileIndex]) {
                    if (inTime < minIn) {
                        minIn = inTime;
                        if (s.inputSync) file = ist.fileIndex;
                    }
                    if (outTime < minOut) {
                        minOut = outTime;
                        if (!s.inputSync) file = ist.fileIndex;
                    }
                }
                if (ost.out->FrameNumber() >= MaxFramesOf(s, ost.out->def->type)) {
                    file = -1;
                    break;
                }
            }
        } else {
            file = t.currentFile;
            for (const TOutputStreamState& ost : t.outputStreams)
                if (ost.fileIndex == file && ost.out->FrameNumber() >= MaxFramesOf(s, ost.out->def->type)) file = -1;
        }
        // 2. Nothing to read.
        if (file < 0) {
            if (joined || t.noPacketCount == 0) break;
            std::fill(t.inputNoPacket.begin(), t.inputNoPacket.end(), false);
            t.noPacketCount = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        // 3. Size limit.
        if (s.limitFileSizeBytes) {
            AVFormatContext* oc0 = t.outputFiles[t.outputTable[0]].ctx.get();
            if (oc0->pb && avio_tell(oc0->pb) > s.limitFileSizeBytes) break;
        }
        // 4./5. Read.
        AVFormatContext* ic = t.inputs[file].ctx.get();
        const int rc = av_read_frame(ic, pkt.get());
        if (rc == AVERROR(EAGAIN)) {
            t.inputNoPacket[file] = true;
            ++t.noPacketCount;
            continue;
        }
        if (rc < 0) {
            t.inputEof[file] = true;
            if (s.shortest && !joined) break;
            if (joined && !joinSwitch(file)) break;
            continue;
        }
        // 6.
        std::fill(t.inputNoPacket.begin(), t.inputNoPacket.end(), false);
        t.noPacketCount = 0;
        if (s.dumpPackets) av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt.get(), s.dumpHex, ic->streams[pkt->stream_index]);
        // 7.
        if (pkt->stream_index < 0 || pkt->stream_index >= static_cast<int>(ic->nb_streams)) {
            av_packet_unref(pkt.get());
            continue;
        }
        const int inputIndex = t.firstInputStream[file] + pkt->stream_index;
        TInputStreamState& ist = t.inputStreams[inputIndex];
        if (ist.discard) {
            av_packet_unref(pkt.get());
            continue;
        }
        // 8. Timestamp correction.
        const AVRational stb = ist.stream->time_base;
        const TInputFile& input = t.inputs[file];
        const int64_t offset = av_rescale_q(input.tsOffsetUs, AV_TIME_BASE_Q, stb);
        const double scale = ist.streamIndex < MAX_STREAMS ? input.tsScale[ist.streamIndex] : 0.0;
        if (pkt->dts != AV_NOPTS_VALUE) {
            pkt->dts += offset;
            if (scale != 0) pkt->dts = std::llround(static_cast<double>(pkt->dts) * scale);
        }
        if (pkt->pts != AV_NOPTS_VALUE) {
            pkt->pts += offset;
            if (scale != 0) pkt->pts = std::llround(static_cast<double>(pkt->pts) * scale);
        }
        // 9. Discontinuity.
        if (pkt->dts != AV_NOPTS_VALUE && ist.nextPts != kNoTimestamp && (ic->iformat->flags & AVFMT_TS_DISCONT) &&
            !s.copyTimestamps) {
            const int64_t dtsUs = ToMicroseconds(pkt->dts, stb);
            const int64_t delta = dtsUs - ist.nextPts;
            if (std::llabs(delta) > static_cast<int64_t>(s.dtsDeltaThresholdSeconds * 1000000) || dtsUs + 1 < ist.pts) {
                t.inputs[file].tsOffsetUs -= delta;
                if (s.verbose > 2)
                    log.LogFmt(&task, llVerbose, "timestamp discontinuity %d, new offset= %d", static_cast<int>(delta),
                               static_cast<int>(t.inputs[file].tsOffsetUs));
                const int64_t shift = av_rescale_q(delta, AV_TIME_BASE_Q, stb);
                pkt->dts -= shift;
                if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= shift;
            }
        }
        // 10. Recording time.
        if (s.recordingTimeUs != INT64_MAX && pkt->dts != AV_NOPTS_VALUE &&
            av_compare_ts(pkt->dts, stb, s.recordingTimeUs + s.startTimeUs, AV_TIME_BASE_Q) >= 0) {
            ist.pastRecordingTime = true;
            av_packet_unref(pkt.get());
            continue;
        }
        // 11. Decode and output.
        if (DecodeAndOutput(task, inputIndex, pkt.get()) < 0) {
            const std::string message = Format("Error while decoding stream #%d.%d (%s)", file, ist.streamIndex,
                                               MediaTypeName(ist.stream->codecpar->codec_type));
            av_packet_unref(pkt.get());
            if (s.exitOnError) throw FFmpegException(message);
            if (s.verbose >= 0) log.Log(&task, llVerbose, message);
            continue;
        }
        // 12.
        av_packet_unref(pkt.get());
        const int64_t now = av_gettime();
        if (now - t.lastReportUs > t.progressIntervalUs) {
            t.lastReportUs = now;
            ProgressReport(task, false, t.currentFile);
        }
    }

    // End of run: drain the decoders, then the encoders, and finish the files.
    for (size_t i = 0; i < t.inputStreams.size(); ++i) {
        TInputStreamState& ist = t.inputStreams[i];
        if (ist.decodingNeeded && !ist.flushed) DecodeAndOutput(task, static_cast<int>(i), nullptr);
    }
    for (TOutputStreamState& ost : t.outputStreams) {
        if (!ost.encodingNeeded || (joined && ost.fileIndex > 0)) continue;
        TStreamOut& out = *ost.out;
        auto sink = [&](AVPacket* p) {
            if (out.def->type == AVMEDIA_TYPE_VIDEO) t.videoBytes += p->size;
            else t.audioBytes += p->size;
            WriteFrame(task, out, p);
        };
        if (out.video) out.video->Flush(sink);
        if (out.audio) out.audio->Flush(sink);
    }
    for (TOutputStreamState& ost : t.outputStreams)
        if (!ost.out->bitstreamFilters.empty() && !(joined && ost.fileIndex > 0)) WriteFrame(task, *ost.out, nullptr);
    for (TOutputFile& file : t.outputFiles) {
        if (!file.headerWritten) continue;
        const int rc = av_write_trailer(file.ctx.get());
        file.headerWritten = false;
        if (rc < 0) throw FFmpegException("av_write_trailer(): " + LibraryErrorMessage(rc));
    }
    ProgressReport(task, true, -1);
    task.CloseCodecs();
    task.finished_ = !task.stopRequested_;
}

void TCustomFFmpeg::Transcode() { TTranscoder::Transcode(*this); }

void TCustomFFmpeg::SetProgressInterval(int64_t us) { Tables().progressIntervalUs = us; }

void TCustomFFmpeg::SetOnProgress(TTranscodeProgress handler) { Tables().onProgress = std::move(handler); }
