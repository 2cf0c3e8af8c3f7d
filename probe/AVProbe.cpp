#include "probe/AVProbe.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <vector>

#include "engine/FFUtils.h"
#include "engine/FFmpegLoader.h"
#include "engine/FFmpegLogger.h"
#include "engine/UnicodeProtocol.h"
#include "probe/ProbeText.h"

extern "C" {
#include <libavutil/parseutils.h>
}

namespace {

int ClampToInt(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX)); }

std::string Trimmed(const char* s) {
    if (!s) return {};
    std::string t = s;
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    t.erase(t.begin(), std::find_if(t.begin(), t.end(), notSpace));
    t.erase(std::find_if(t.rbegin(), t.rend(), notSpace).base(), t.end());
    return t;
}

std::string MetaValue(const AVDictionary* dict, const char* key) {
    const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
    return e ? e->value : "";
}

// The leading number of a metadata value: "2009-05-01" -> 2009, "3/12" -> 3; 0 when none.
int LeadingNumber(const std::string& s) {
    const char* p = s.c_str();
    while (*p == ' ') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
    return ClampToInt(std::strtoll(p, nullptr, 10));
}

// A time base usable for conversions: a zero denominator becomes the numerator, or 1. The
// stream's own time base is repaired in place so that every later reader agrees.
AVRational UsableTimeBase(AVStream* st) {
    if (st->time_base.den == 0) st->time_base.den = st->time_base.num != 0 ? st->time_base.num : 1;
    return st->time_base;
}

int64_t StreamUnitsToMicroseconds(int64_t v, AVRational tb) {
    if (v == kNoTimestamp) return -1;
    return av_rescale_q(v, tb, AV_TIME_BASE_Q);
}

// Fills the fields the audio and video records share.
template <typename Info>
void FillCommon(Info& info, AVStream* st) {
    const AVRational tb = UsableTimeBase(st);
    info.Language = MetaValue(st->metadata, "language");
    info.CodecName = TCustomAVProbe::CodecDescription(st->codecpar);
    info.StartPTS = st->start_time;
    info.StartTime = StreamUnitsToMicroseconds(st->start_time, tb);
    info.DurationPTS = st->duration;
    info.Duration = StreamUnitsToMicroseconds(st->duration, tb);
    info.BitRate = ClampToInt(st->codecpar->bit_rate);
}

// The libraries' own one-line codec summary ("Video: h264 (High), yuv420p, 320x240 ...").
std::string CodecSummary(const AVStream* st) {
    av::CodecContextPtr cc(avcodec_alloc_context3(nullptr));
    if (!cc || avcodec_parameters_to_context(cc.get(), st->codecpar) < 0) return {};
    char buf[256] = {};
    avcodec_string(buf, sizeof buf, cc.get(), 0);
    return buf;
}

}  // namespace

TCustomAVProbe::TCustomAVProbe() = default;
TCustomAVProbe::~TCustomAVProbe() = default;

void TCustomAVProbe::RecordError(TLogLevel level, const std::string& message) {
    lastError_ = message;
    TFFLogger::Instance().Log(this, level, message);
}

bool TCustomAVProbe::LoadFile(const std::string& fileName, const std::string& formatName) {
    struct Required {
        TLibraryIndex index;
        const char* message;
    };
    static constexpr Required kRequired[] = {
        {liAVCodec, "LibAVCodec not loaded."},
        {liAVFormat, "LibAVFormat not loaded."},
        {liAVUtil, "LibAVUtil not loaded."},
        {liSWScale, "LibSwScale not loaded."},
    };
    for (const Required& r : kRequired)
        if (!TFFmpegLoader::Instance().Loaded(LibrarySet({r.index}))) throw FFmpegException(r.message);
    Close();

    const AVInputFormat* format = nullptr;
    if (!formatName.empty()) {
        format = av_find_input_format(formatName.c_str());
        if (!format) {
            lastError_ = Format("Unknown input format: %s", formatName.c_str());
            return false;
        }
    }

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        RecordError(llError, LibraryErrorText(fileName, AVERROR(ENOMEM)));
        return false;
    }
    raw->flags |= AVFMT_FLAG_NONBLOCK;
    // On failure the libraries free the context they were given.
    const int ret = OpenInputFile(&raw, LibraryFileName(fileName), format, nullptr);
    if (ret < 0) {
        RecordError(llError, LibraryErrorText(fileName, ret));
        Close();
        return false;
    }
    owned_.reset(raw);
    ctx_ = raw;

    int found;
    {
        std::lock_guard lock(CodecLock());
        found = avformat_find_stream_info(ctx_, nullptr);
    }
    if (found < 0) {
        lastError_ = Format("%s: could not find codec parameters", fileName.c_str());
        Close();
        return false;
    }
    Refresh();
    forcedFormat_ = formatName;
    return true;
}

void TCustomAVProbe::AttachContext(AVFormatContext* ctx) {
    if (ctx && ctx == owned_.get()) {
        Refresh();  // our own input: closing it first would free what we are asked to describe
        return;
    }
    Close();
    ctx_ = ctx;
    Refresh();
}

void TCustomAVProbe::Close() {
    forcedFormat_.clear();
    ctx_ = nullptr;
    owned_.reset();
    Refresh();
}

void TCustomAVProbe::Refresh() {
    fileSize_ = -1;
    streamCount_ = programCount_ = -1;
    audioStreamCount_ = videoStreamCount_ = subtitleStreamCount_ = -1;
    firstAudioStream_ = firstVideoStream_ = firstSubtitleStream_ = -1;
    if (!ctx_) return;

    const int64_t containerSize = ctx_->pb ? avio_size(ctx_->pb) : -1;
    struct stat st {};
    if (containerSize > 0)
        fileSize_ = containerSize;
    else if (ctx_->url && ::stat(WideFileName(ctx_->url).c_str(), &st) == 0 && S_ISREG(st.st_mode))
        fileSize_ = st.st_size;
    else
        fileSize_ = containerSize < 0 ? -1 : containerSize;  // an error code is no size

    streamCount_ = static_cast<int>(ctx_->nb_streams);
    programCount_ = static_cast<int>(ctx_->nb_programs);
    audioStreamCount_ = videoStreamCount_ = subtitleStreamCount_ = 0;
    for (int i = 0; i < streamCount_; ++i) {
        switch (ctx_->streams[i]->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                if (videoStreamCount_++ == 0) firstVideoStream_ = i;
                break;
            case AVMEDIA_TYPE_AUDIO:
                if (audioStreamCount_++ == 0) firstAudioStream_ = i;
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                if (subtitleStreamCount_++ == 0) firstSubtitleStream_ = i;
                break;
            default: break;
        }
    }
}

bool TCustomAVProbe::CheckLoaded() {
    if (ctx_) return true;
    RecordError(llWarning, "file not loaded.");
    return false;
}

std::string TCustomAVProbe::CodecDescription(const AVCodecParameters* par) {
    if (const AVCodec* dec = avcodec_find_decoder(par->codec_id)) {
        const std::string longName = Trimmed(dec->long_name);
        return longName.empty() ? std::string(dec->name) : Format("%s(%s)", dec->name, longName.c_str());
    }
    if (par->codec_id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
    // The codec's registered name stands for the name the old codec context carried.
    if (par->codec_id != AV_CODEC_ID_NONE)
        if (const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id)) {
            const std::string name = Trimmed(d->name);
            if (!name.empty()) return name;
        }
    const uint32_t tag = par->codec_tag;
    char c[4];
    bool printable = true;
    for (int i = 0; i < 4; ++i) {
        c[i] = static_cast<char>((tag >> (8 * i)) & 0xFF);
        printable = printable && c[i] >= 32 && c[i] <= 126;
    }
    if (printable) return Format("%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], tag);
    return Format("0x%04x", tag);
}

TFileStreamInfo TCustomAVProbe::FileStreamInfo() {
    TFileStreamInfo info;
    if (!CheckLoaded()) return info;
    info.StartTime = ctx_->start_time == kNoTimestamp ? -1 : ctx_->start_time;
    info.Duration = ctx_->duration == kNoTimestamp ? -1 : ctx_->duration;
    info.BitRate = ClampToInt(std::max<int64_t>(ctx_->bit_rate, 0));
    const AVDictionary* m = ctx_->metadata;
    // Today's containers keep these facts as metadata: the creation time as ISO 8601 text, the
    // year inside "date" where no "year" is given, the track as "n" or "n/total".
    int64_t created = 0;
    const std::string creation = MetaValue(m, "creation_time");
    info.Timestamp = !creation.empty() && av_parse_time(&created, creation.c_str(), 0) == 0 ? created / 1000000 : 0;
    const std::string year = MetaValue(m, "year");
    info.Year = LeadingNumber(year.empty() ? MetaValue(m, "date") : year);
    info.Track = LeadingNumber(MetaValue(m, "track"));
    info.Title = MetaValue(m, "title");
    info.Author = MetaValue(m, "author");
    if (info.Author.empty()) info.Author = MetaValue(m, "artist");
    info.Copyright = MetaValue(m, "copyright");
    info.Comment = MetaValue(m, "comment");
    info.Album = MetaValue(m, "album");
    info.Genre = MetaValue(m, "genre");
    return info;
}

AVStream* TCustomAVProbe::StreamOfKind(int streamIndex, AVMediaType kind) {
    if (!CheckLoaded()) return nullptr;
    const bool audio = kind == AVMEDIA_TYPE_AUDIO;
    if (streamIndex == -1) {
        streamIndex = audio ? firstAudioStream_ : firstVideoStream_;
        if (streamIndex < 0) {
            RecordError(llError, audio ? "no audio stream." : "no video stream.");
            return nullptr;
        }
    }
    if (streamIndex < 0 || streamIndex >= streamCount_) {
        RecordError(llError, Format("stream index #%d is invalid.", streamIndex));
        return nullptr;
    }
    AVStream* st = ctx_->streams[streamIndex];
    if (st->codecpar->codec_type != kind) {
        RecordError(llError, Format(audio ? "stream #%d is not audio stream." : "stream #%d is not video stream.",
                                    streamIndex));
        return nullptr;
    }
    return st;
}

TAudioStreamInfo TCustomAVProbe::AudioStreamInfo(int streamIndex) {
    TAudioStreamInfo info;
    AVStream* st = StreamOfKind(streamIndex, AVMEDIA_TYPE_AUDIO);
    if (!st) return info;
    FillCommon(info, st);
    const AVCodecParameters* par = st->codecpar;
    info.Channels = par->ch_layout.nb_channels;
    info.SampleRate = par->sample_rate;
    info.SampleFormat = par->format;
    return info;
}

TVideoStreamInfo TCustomAVProbe::VideoStreamInfo(int streamIndex) {
    TVideoStreamInfo info;
    AVStream* st = StreamOfKind(streamIndex, AVMEDIA_TYPE_VIDEO);
    if (!st) return info;
    FillCommon(info, st);
    const AVCodecParameters* par = st->codecpar;
    info.Height = par->height;
    info.Width = par->width;
    // The container's ratio wins over the bit stream's, as the libraries' own guess does.
    const AVRational sar = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio : par->sample_aspect_ratio;
    if (sar.num > 0 && sar.den > 0 && par->height > 0)
        info.DisplayAspectRatio = static_cast<float>(av_q2d(sar) * par->width / par->height);
    info.PixelFormat = par->format;
    info.FrameRateNum = st->r_frame_rate.num;
    info.FrameRateDen = st->r_frame_rate.den;
    return info;
}

bool TCustomAVProbe::IsAudioStream(int streamIndex) {
    if (!CheckLoaded()) return false;
    if (streamIndex < 0 || streamIndex >= streamCount_) {
        RecordError(llError, Format("stream index #%d is invalid.", streamIndex));
        return false;
    }
    return ctx_->streams[streamIndex]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
}

bool TCustomAVProbe::IsVideoStream(int streamIndex) {
    if (!CheckLoaded()) return false;
    if (streamIndex < 0 || streamIndex >= streamCount_) {
        RecordError(llError, Format("stream index #%d is invalid.", streamIndex));
        return false;
    }
    return ctx_->streams[streamIndex]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

std::string TCustomAVProbe::FileName() {
    if (!CheckLoaded()) return {};
    return ctx_->url ? WideFileName(ctx_->url) : std::string();
}

std::string TCustomAVProbe::FormatName() {
    if (!CheckLoaded()) return {};
    return ctx_->iformat ? ctx_->iformat->name : "";
}

std::string TCustomAVProbe::StreamLine(AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    std::string line = Format("Stream #%d", st->index);
    if (ctx_->iformat && (ctx_->iformat->flags & AVFMT_SHOW_IDS)) line += Format("[0x%x]", st->id);
    const std::string language = MetaValue(st->metadata, "language");
    if (!language.empty()) line += Format("(%s)", language.c_str());
    const AVRational tb = UsableTimeBase(st);
    int64_t g = av_gcd(tb.num, tb.den);
    if (g == 0) g = 1;
    line += Format(", %lld/%lld", static_cast<long long>(tb.num / g), static_cast<long long>(tb.den / g));
    line += ": " + CodecSummary(st);

    const AVRational sar = st->sample_aspect_ratio;
    if (sar.num != 0 && av_cmp_q(sar, par->sample_aspect_ratio) != 0) {
        int darNum = 0, darDen = 0;
        av_reduce(&darNum, &darDen, static_cast<int64_t>(par->width) * sar.num,
                  static_cast<int64_t>(par->height) * sar.den, 1024 * 1024);
        line += Format(", PAR %d:%d DAR %d:%d", sar.num, sar.den, darNum, darDen);
    }
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        const auto rate = [&](AVRational r, const char* unit) {
            if (r.num != 0 && r.den != 0) line += ProbeRateItem(av_q2d(r), unit);
        };
        rate(st->avg_frame_rate, "fps");
        rate(st->r_frame_rate, "tbr");
        rate(AVRational{tb.den, tb.num}, "tbn");
        // The codec time base ("tbc") lives only inside an opened decoder today; not shown.
    }
    if (st->start_time != kNoTimestamp)
        line += ", StartTime: " + ProbeSecondsText(StreamUnitsToMicroseconds(st->start_time, tb));
    const int64_t duration = StreamUnitsToMicroseconds(st->duration, tb);
    line += ", Duration: " + (st->duration == kNoTimestamp ? std::string("N/A") : MediaTimeText(duration));
    return line;
}

std::string TCustomAVProbe::InfoText() {
    if (!CheckLoaded()) return {};
    std::vector<std::string> lines;
    const auto append = [&](const std::vector<std::string>& more) { lines.insert(lines.end(), more.begin(), more.end()); };

    lines.push_back("File Name: " + FileName());
    lines.push_back("Format Name: " + FormatName());
    lines.push_back(std::string("Format Long Name: ") + (ctx_->iformat && ctx_->iformat->long_name ? ctx_->iformat->long_name : ""));
    lines.push_back("File Size: " + ProbeSizeText(fileSize_));
    const int64_t duration = ctx_->duration;
    lines.push_back("Duration: " + (duration == kNoTimestamp || duration < 0 ? std::string("N/A") : MediaTimeText(duration)));
    if (ctx_->start_time != kNoTimestamp && ctx_->start_time >= 0)
        lines.push_back("StartTime: " + ProbeSecondsText(ctx_->start_time));
    lines.push_back(ctx_->bit_rate < 1 ? std::string("Bit Rate: N/A")
                                       : Format("Bit Rate: %lld kb/s", static_cast<long long>(ctx_->bit_rate / 1000)));
    const TFileStreamInfo file = FileStreamInfo();
    if (file.Timestamp > 0) lines.push_back("Time Stamp: " + ProbeLocalTimeText(file.Timestamp));
    append(ProbeMetadataBlock(ctx_->metadata, ""));

    std::vector<bool> shown(ctx_->nb_streams, false);
    for (unsigned p = 0; p < ctx_->nb_programs; ++p) {
        const AVProgram* program = ctx_->programs[p];
        // Today's demuxers name these "service_provider" and "service_name".
        const auto either = [&](const char* key, const char* other) {
            std::string v = MetaValue(program->metadata, key);
            if (v.empty()) v = MetaValue(program->metadata, other);
            return v.empty() ? std::string("N/A") : v;
        };
        lines.push_back(Format("Program %d %s@%s", program->id, either("provider_name", "service_provider").c_str(),
                               either("name", "service_name").c_str()));
        append(ProbeMetadataBlock(program->metadata, "  "));
        for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
            const unsigned index = program->stream_index[k];
            if (index >= ctx_->nb_streams) continue;
            AVStream* st = ctx_->streams[index];
            lines.push_back(StreamLine(st));
            append(ProbeMetadataBlock(st->metadata, "  "));
            shown[index] = true;
        }
    }
    for (unsigned i = 0; i < ctx_->nb_streams; ++i) {
        if (shown[i]) continue;
        AVStream* st = ctx_->streams[i];
        lines.push_back(StreamLine(st));
        append(ProbeMetadataBlock(st->metadata, "  "));
    }

    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) text += '\n';
        text += lines[i];
    }
    return text;
}
