#include "app/ConversionOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <optional>
#include <string_view>

#include "app/FormatCatalogue.h"
#include "app/IniStore.h"
#include "app/ParameterLists.h"
#include "engine/Presets.h"
#include "probe/AVProbe.h"

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// A decimal or whole number in the C notation, independent of the process locale.
std::optional<double> NumberOf(std::string_view text) {
    if (!IsFloatText(text)) return std::nullopt;
    std::string_view t = TrimBlanks(text);
    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
    return value;
}

std::optional<int> WholeOf(std::string_view text) {
    if (!IsIntegerText(text)) return std::nullopt;
    return IntegerOfText(text);
}

// value * 1000 as an engine bit rate; nothing for 0 or less, the int range's top for more.
std::optional<int> KiloToBits(double kilo) {
    double bits = kilo * 1000.0;
    if (!(bits > 0)) return std::nullopt;
    if (bits >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(std::trunc(bits));
}

int Even(long long x) { return static_cast<int>((x / 2) * 2); }
int EvenTrunc(long double x) { return Even(static_cast<long long>(std::trunc(x))); }

std::string SizeText(int w, int h, char sep) { return std::to_string(w) + sep + std::to_string(h); }

bool IsAsSource(const std::string& s) { return s == kAsSource; }

bool IsKnownVideoCodec(const std::string& v) {
    static constexpr std::string_view kCodecs[] = {
        "mpeg4", "libxvid", "mpeg1video", "mpeg2video", "msmpeg4", "msmpeg4v1", "msmpeg4v2",
        "huffyuv", "dvvideo", "rawvideo", "h263p", "h263", "rv10", "rv20", "ljpeg", "mjpeg",
        "svq1", "zlib", "wmv1", "wmv2", "libx264"};
    return std::find(std::begin(kCodecs), std::end(kCodecs), v) != std::end(kCodecs);
}

bool IsNamedContainer(const std::string& lower) {
    static constexpr std::string_view kContainers[] = {"ipod", "3gp", "3g2", "avi", "psp",
                                                       "mov",  "vcd", "flv", "mpegts", "vob"};
    return std::find(std::begin(kContainers), std::end(kContainers), lower) != std::end(kContainers);
}

int VolumeOf(const std::string& text) {
    auto v = WholeOf(text);
    if (!v) throw EConvertError("'" + text + "' is not a valid integer value");
    return *v;
}

// Channels and sample rate: a whole number above 0, not "as source".
std::optional<int> PositiveWhole(const std::string& text) {
    if (IsAsSource(text)) return std::nullopt;
    auto v = WholeOf(text);
    if (!v || *v <= 0) return std::nullopt;
    return v;
}

std::optional<int> AudioBitRateOf(const std::string& text) {
    if (IsAsSource(text)) return std::nullopt;
    auto v = NumberOf(text);
    if (!v) return std::nullopt;
    return KiloToBits(*v);
}

void AppendLine(std::string& lines, const std::string& line) {
    if (!lines.empty()) lines += "\n";
    lines += line;
}

// AMR-NB codes 8 kHz mono speech only, and its encoder names no rates for the engine to choose
// from; the phone formats' rate and channel lists are there for their AAC choice.
void KeepAmrNarrowBand(TOutputOptions& out) {
    if (out.AudioCodec != "libopencore_amrnb") return;
    out.AudioSampleRate = 8000;
    out.AudioChannels = 1;
}

void BuildAudioOnly(TOutputOptions& out, TInputOptions& in, const TIniStore& settings, const std::string& section) {
    out.AudioCodec = settings.ReadString(section, "paraAudioEncoder", "libfaac");
    if (auto v = PositiveWhole(settings.ReadString(section, "paraChannel", "2"))) out.AudioChannels = *v;
    if (auto v = PositiveWhole(settings.ReadString(section, "paraSampleRate", "44100"))) out.AudioSampleRate = *v;
    if (auto v = AudioBitRateOf(settings.ReadString(section, "paraAudioBitRate", "128"))) out.AudioBitrate = *v;
    std::string volume = settings.ReadString(section, "paraVolume", "3");
    if (volume != "256") out.AudioVolume = VolumeOf(volume);
    KeepAmrNarrowBand(out);
    AppendLine(in.ExtOptions, "vn=1");
    out.DisableVideo = true;
    out.DisableSubtitle = true;
}

void BuildAudio(TOutputOptions& out, const TIniStore& settings, const std::string& section) {
    std::string encoder = settings.ReadString(section, "paraAudioEncoder", "");
    if (encoder == "libamr_nb") encoder = "libopencore_amrnb";
    if (TrimBlanks(encoder).empty()) {
        out.AudioCodec.clear();
        out.DisableAudio = true;
    } else {
        out.AudioCodec = encoder;
    }
    if (auto v = PositiveWhole(settings.ReadString(section, "paraChannel", "2"))) out.AudioChannels = *v;
    std::string volume = settings.ReadString(section, "paraVolume", "3");
    if (volume != "256") out.AudioVolume = VolumeOf(volume);
    if (auto v = PositiveWhole(settings.ReadString(section, "paraSampleRate", "44100"))) out.AudioSampleRate = *v;
    if (auto v = AudioBitRateOf(settings.ReadString(section, "paraAudioBitRate", "128"))) out.AudioBitrate = *v;
    KeepAmrNarrowBand(out);
}

void SetDiscTarget(TOutputOptions& out, const std::string& format, const TIniStore& settings,
                   const std::string& section) {
    auto wideWhen = [&](const char* size) {
        return settings.ReadString(section, "paraVideoSize", "null") == size ? "16:9" : "4:3";
    };
    if (format == "ntsc-dvd") {
        out.TargetType = 3, out.TargetNorm = 2, out.FrameAspectRatio = wideWhen("720x480");
    } else if (format == "pal-dvd") {
        out.TargetType = 3, out.TargetNorm = 1, out.FrameAspectRatio = wideWhen("720x576");
    } else if (format == "ntsc-vcd") {
        out.TargetType = 1, out.TargetNorm = 2, out.FrameAspectRatio = "4:3";
    } else if (format == "pal-vcd") {
        out.TargetType = 1, out.TargetNorm = 1, out.FrameAspectRatio = "4:3";
    } else if (format == "ntsc-svcd") {
        out.TargetType = 2, out.TargetNorm = 2, out.FrameAspectRatio = "4:3";
    } else if (format == "pal-svcd") {
        out.TargetType = 2, out.TargetNorm = 1, out.FrameAspectRatio = "4:3";
    }
}

// MPEG-2 brings the DVD target, whose rate ceiling is below the bit rates of HD formats; the
// encoder refuses to open when the bit rate is above the ceiling. A higher chosen rate lifts the
// ceiling and the buffer in the DVD's own proportions.
void LiftDvdRateCeiling(TOutputOptions& out) {
    if (out.VideoBitrate <= kDvdMaxRate || out.VideoMaxRate > 0) return;
    const long long maxRate = std::min<long long>(INT_MAX, out.VideoBitrate * 3LL / 2);
    out.VideoMaxRate = static_cast<int>(maxRate);
    out.VideoBufferSize = static_cast<int>(maxRate * kDvdBufferSize / kDvdMaxRate);
}

// Target size from the stored frame-size text; may ask whether to use 320x240 instead.
void TargetSize(const std::string& storedSize, const std::string& videoCodec, const TSourceFacts& src,
                IUserPrompt& prompt, int& W, int& H) {
    std::string S = storedSize;
    size_t x = S.find('x');
    if (!IsAsSource(S) && x != std::string::npos && x > 0 && x + 1 < S.size()) {
        // A number that cannot be a size is taken as missing: the source's value stands in.
        auto w = WholeOf(std::string_view(S).substr(0, x));
        auto h = WholeOf(std::string_view(S).substr(x + 1));
        W = (w && *w > 0) ? *w : src.Width;
        H = (h && *h > 0) ? *h : src.Height;
        if (Lower(videoCodec) == "h263" &&
            std::string_view("704x576,352x288,176x144,160x120,128x96").find(S) == std::string_view::npos) {
            if (W > 352) {
                W = 704, H = 576;
            } else if (W > 176) {
                W = 352, H = 288;
            }
        }
        return;
    }
    if (!IsAsSource(S)) {
        if (prompt.AskYesNo(kCaptionWarning, kMsgVideoSizeQuestion)) {
            W = 320, H = 240;
            return;
        }
    }
    W = src.Width;
    H = src.Height;
}

void CheckCropLeavesPicture(const TlvFilesRecord& job, const TSourceFacts& src) {
    if (src.Width - job.CropLeft - job.CropRight <= 0 || src.Height - job.CropTop - job.CropBottom <= 0)
        throw EConvertError("The crop margins of \"" + job.SourceFile +
                            "\" leave no picture. Set a smaller crop for this file.");
}

}  // namespace

TPads LetterboxPads(int Sw, int Sh, int W, int H) {
    TPads p;
    if (Sw <= 0 || Sh <= 0 || W <= 0 || H <= 0) return p;
    const long double sw = Sw, sh = Sh, w = W, h = H;
    auto vertical = [&](long double scale) {  // bars above and below
        int inner = EvenTrunc(sh / scale);
        p.Top = p.Bottom = ((H - inner) / 4) * 2;
    };
    auto horizontal = [&](long double scale) {  // bars left and right
        int inner = EvenTrunc(sw / scale);
        p.Left = p.Right = ((W - inner) / 4) * 2;
    };
    // The four cases in order; a later match overwrites an earlier one.
    if (Sw >= W && H >= Sh) {
        p = {};
        vertical(sw / w);
    }
    if (W >= Sw && Sh >= H) {
        p = {};
        horizontal(sh / h);
    }
    const long double a = sw / w, b = sh / h;
    if (W >= Sw && H >= Sh) {
        p = {};
        if (a > b) {
            vertical(a);
        } else if (a < b) {
            horizontal(b);
        } else {
            vertical(a);
            horizontal(b);
        }
    }
    if (Sw >= W && Sh >= H) {
        p = {};
        if (a > b) {
            vertical(a);
        } else {
            horizontal(b);
        }
    }
    return p;
}

TSourceFacts SourceFactsOf(TCustomAVProbe& probe) {
    TSourceFacts f;
    f.HasVideo = probe.VideoStreamCount() > 0;
    if (f.HasVideo) {
        TVideoStreamInfo v = probe.VideoStreamInfo(-1);
        f.Width = v.Width;
        f.Height = v.Height;
        f.VideoBitRate = v.BitRate;
    }
    return f;
}

void BuildConversionOptions(const TlvFilesRecord& job, int code, TOutputOptions& out, TCustomAVProbe& probe,
                            TInputOptions& in, const TIniStore& formatFile, const TIniStore& settings,
                            IUserPrompt& prompt) {
    BuildConversionOptions(job, code, out, SourceFactsOf(probe), in, formatFile, settings, prompt);
}

void BuildConversionOptions(const TlvFilesRecord& job, int code, TOutputOptions& out, const TSourceFacts& src,
                            TInputOptions& in, const TIniStore& formatFile, const TIniStore& settings,
                            IUserPrompt& prompt) {
    const std::string section = FormatSection(code);
    const std::string format = formatFile.ReadString(section, "Format", "null");
    const std::string formatLower = Lower(format);

    SetDiscTarget(out, formatLower, settings, section);

    const std::string videoEncoder = settings.ReadString(section, "paraVideoEncoder", "");
    if (TrimBlanks(videoEncoder).empty()) {
        BuildAudioOnly(out, in, settings, section);
        return;
    }
    if (IsKnownVideoCodec(videoEncoder)) {
        out.VideoCodec = videoEncoder;
        if (videoEncoder == "mpeg2video") out.TargetType = 3;
    }
    if (videoEncoder == "libx264") {
        if (formatLower == "psp") {
            out.VideoPreset = "libx264-psp";
        } else if (formatLower == "ipod") {
            out.VideoPreset = "libx264-ipod";
        } else if (formatLower == "ps3") {
            out.VideoPreset = "libx264-ps3";
        } else {
            out.VideoPreset = "libx264-mp4";
        }
    }

    std::string chain;
    if (!src.HasVideo) {
        out.DisableVideo = true;
    } else {
        const std::string bitRate = settings.ReadString(section, "paraVideoBitRate", "512");
        auto whole = IsAsSource(bitRate) ? std::nullopt : WholeOf(bitRate);
        if (whole) {
            if (auto bits = KiloToBits(*whole)) out.VideoBitrate = *bits;
        } else if (src.VideoBitRate > 0) {
            out.VideoBitrate = src.VideoBitRate;
        }
        if (out.TargetType == 3) LiftDvdRateCeiling(out);

        const std::string frameRate = settings.ReadString(section, "paraFrameRate", "29.97");
        if (!IsAsSource(frameRate)) {
            auto rate = NumberOf(frameRate);
            if (rate && *rate > 0) out.FrameRate = frameRate;
        }

        if (IsNamedContainer(formatLower)) out.FileFormat = format;

        int W = -1, H = -1;
        TargetSize(settings.ReadString(section, "paraVideoSize", "null"), out.VideoCodec, src, prompt, W, H);
        // Without a usable size (source size unknown) the engine keeps the source's.
        const bool sizeKnown = W > 0 && H > 0;

        for (int* crop : {&out.CropTop, &out.CropBottom, &out.CropLeft, &out.CropRight})
            if (*crop == -1) *crop = 0;

        if (job.Zoom == "full") {
            if (job.AnyCrop()) {
                out.CropTop = job.CropTop;
                out.CropBottom = job.CropBottom;
                out.CropLeft = job.CropLeft;
                out.CropRight = job.CropRight;
            }
            if (sizeKnown) {
                out.FrameSize = SizeText(W, H, 'x');
                out.FrameAspectRatio = SizeText(W, H, ':');
            }
        } else if (job.Zoom == "lbox" && sizeKnown) {
            const TPads p = LetterboxPads(src.Width, src.Height, W, H);
            const int Wi = W - p.Left - p.Right, Hi = H - p.Top - p.Bottom;
            const std::string pad = "pad=" + std::to_string(W) + ":" + std::to_string(H) + ":" +
                                    std::to_string(p.Left) + ":" + std::to_string(p.Top);
            out.FrameAspectRatio = SizeText(Wi, Hi, ':');
            if (job.AnyCrop()) {
                CheckCropLeavesPicture(job, src);
                // Named crop options: the filter's positional order is width first, not x first.
                chain = "crop=w=" + std::to_string(src.Width - job.CropLeft - job.CropRight) +
                        ":h=" + std::to_string(src.Height - job.CropTop - job.CropBottom) +
                        ":x=" + std::to_string(job.CropLeft) + ":y=" + std::to_string(job.CropTop) + ",scale=" +
                        std::to_string(Wi) + ":" + std::to_string(Hi) + "," + pad;
            } else {
                out.FrameSize = SizeText(Wi, Hi, 'x');
                chain = pad;
            }
        } else if (job.Zoom == "pan" && sizeKnown) {
            out.FrameSize = SizeText(W, H, 'x');
            out.FrameAspectRatio = SizeText(W, H, ':');
            // Cut the sides (or top and bottom) so the visible picture becomes 4:3.
            const long double visW = src.Width - job.CropLeft - job.CropRight;
            const long double visH = src.Height - job.CropTop - job.CropBottom;
            if (visW > 0 && visH > 0) {
                constexpr long double kFourThirds = 4.0L / 3.0L;
                const long double proportion = visW / visH;
                if (proportion > kFourThirds) {
                    const int amount = EvenTrunc((visW - visH * kFourThirds) / 2 + job.CropLeft);
                    out.CropLeft = out.CropRight = amount;
                } else if (proportion < kFourThirds) {
                    const int amount = EvenTrunc((visH - visW / kFourThirds) / 2 + job.CropTop);
                    out.CropTop = out.CropBottom = amount;
                }
            }
        } else if (job.Zoom == "center" && sizeKnown) {
            // The picture at the target size, centred on a canvas rounded up to whole 16-pixel
            // blocks, so block-based encoders get aligned sizes and nothing is cut off.
            out.FrameSize = SizeText(W, H, 'x');
            out.FrameAspectRatio = SizeText(W, H, ':');
            const int PW = (W + 15) / 16 * 16, PH = (H + 15) / 16 * 16;
            chain = "pad=" + std::to_string(PW) + ":" + std::to_string(PH) + ":" + std::to_string(Even((PW - W) / 2)) +
                    ":" + std::to_string(Even((PH - H) / 2)) + ":black";
        }
    }

    if (!chain.empty()) {
        if (!out.VideoFilters.empty()) out.VideoFilters += ",";
        out.VideoFilters += chain;
    }

    BuildAudio(out, settings, section);
}
