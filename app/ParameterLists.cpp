#include "app/ParameterLists.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <utility>

#include "app/FormatCatalogue.h"
#include "app/IniStore.h"

namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) { return a.size() == b.size() && Lower(a) == Lower(b); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading blanks and an optional sign; returns the position after them.
size_t SkipBlanksAndSign(std::string_view t, size_t i) {
    while (i < t.size() && t[i] == ' ') ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    return i;
}

// Parses a whole-number text (IsIntegerText rules); nothing when it is not one.
std::optional<int> ParseInteger(std::string_view t) {
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    if (i == t.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < t.size(); ++i) {
        if (!IsDigit(t[i])) return std::nullopt;
        value = value * 10 + (t[i] - '0');
        if (value > int64_t{INT_MAX} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

struct TMapRow {
    const char* item;
    const char* stored;
};

// Item texts as the format file offers them (compared in lower case) to engine names.
constexpr TMapRow kVideoEncoders[] = {
    {"mpeg-4", "mpeg4"},         {"3gp", "3gp"},           {"3g2", "3g2"},
    {"xvid", "libxvid"},         {"mov", "mov"},           {"wmv1", "wmv1"},
    {"wmv2", "wmv2"},            {"wmv3", "wmv3"},         {"flv", "flv"},
    {"swf", "swf"},              {"msmpeg4", "msmpeg4"},   {"msmpeg4v1", "msmpeg4v1"},
    {"msmpeg4v2", "msmpeg4v2"},  {"h264", "libx264"},      {"mpeg1video", "mpeg1video"},
    {"mpeg2video", "mpeg2video"}, {"h263", "h263"},        {"h263p", "h263p"},
    {"rawvideo", "rawvideo"},    {"rv10", "rv10"},         {"rv20", "rv20"},
    {"dvvideo", "dvvideo"},      {"huffyuv", "huffyuv"},   {"ljpeg", "ljpeg"},
    {"mjpeg", "mjpeg"},          {"svq1", "svq1"},         {"zlib", "zlib"},
};

constexpr TMapRow kAudioEncoders[] = {
    {"mp3", "libmp3lame"},
    {"ogg", "vorbis"},
    {"mp2", "mp2"},
    {"aac", "libfaac"},
    {"ac-3", "ac3"},
    {"flac", "libflac"},
    {"amr_nb", "libopencore_amrnb"},
    {"pcm_s16", "pcm_s16le"},
    {"pcm_u16", "pcm_u16le"},
    {"pcm_alaw", "pcm_alaw"},
    {"pcm_mulaw ", "pcm_mulaw"},
    // The same item as a settings reader that trims its values hands it over: without this row
    // the box would show mu-law while the conversion kept the previous encoder.
    {"pcm_mulaw", "pcm_mulaw"},
    {"adpcm_ms", "adpcm_ms"},
    {"adpcm_ima_wav", "adpcm_ima_wav"},
    {"wma1", "wmav1"},
    {"wma2", "wmav2"},
};

constexpr TMapRow kChannels[] = {
    {"as source", "as source"},
    {"mono 1 channel", "1"},
    {"stereo 2 channels", "2"},
};

struct TVolumeRow {
    int percent;
    const char* engineVolume;
};
constexpr TVolumeRow kVolumes[] = {
    {25, "64"},   {50, "128"},  {75, "192"},  {100, "256"}, {125, "320"}, {150, "384"},
    {175, "448"}, {200, "512"}, {250, "640"}, {300, "768"}, {350, "896"}, {400, "1024"},
};

template <size_t N>
std::optional<std::string> LookUp(const TMapRow (&table)[N], std::string_view key) {
    for (const TMapRow& row : table)
        if (key == row.item) return std::string(row.stored);
    return std::nullopt;
}

// The list keys in the order loading reads them. The last six treat an empty value as "null".
enum TListKey { lkVideoSize, lkVideoBitRate, lkFrameRate, lkVideoEncoder, lkAudioBitRate, lkSampleRate,
                lkAudioEncoder, lkChannel, lkVolume };
constexpr const char* kListKeys[] = {"VideoSize", "VideoBitRate", "FrameRate", "VideoEncoder", "AudioBitRate",
                                     "SampleRate", "AudioEncoder", "Channel", "Volume"};

TParameterBox& BoxOf(TParameterPanel& p, TListKey key) {
    switch (key) {
        case lkVideoSize: return p.cmbVideoSize;
        case lkVideoBitRate: return p.cmbVideoBitRate;
        case lkFrameRate: return p.cmbFrameRate;
        case lkVideoEncoder: return p.cmbVideoEncoder;
        case lkAudioBitRate: return p.cmbAudioBitRate;
        case lkSampleRate: return p.cmbSamplerate;
        case lkAudioEncoder: return p.cmbAudioEncoder;
        case lkChannel: return p.cmbChannel;
        case lkVolume: return p.cmbVolume;
    }
    return p.cmbVideoSize;
}

void LoadListKey(TParameterPanel& panel, const TIniStore& formatFile, int code, TListKey key) {
    LoadList(BoxOf(panel, key), formatFile, code, kListKeys[key], key >= lkVideoEncoder);
}

void SetGroupEnabled(std::initializer_list<TParameterBox*> boxes, bool enabled) {
    for (TParameterBox* b : boxes) {
        b->enabled = enabled;
        b->greyText = !enabled;
    }
}

// The "not a valid value" recovery: position 1 when there is a choice, and the focus back.
void RecoverInvalidBox(TParameterBox& box) {
    if (box.Count() > 1) box.Select(1);
    box.focusRequested = true;
}

}  // namespace

// ---- TParameterBox ---------------------------------------------------------------------------

void TParameterBox::SetItems(std::vector<std::string> newItems) {
    items = std::move(newItems);
    itemIndex = -1;
    text.clear();
}

void TParameterBox::Select(int position) {
    if (position >= 0 && position < Count()) {
        itemIndex = position;
        text = items[static_cast<size_t>(position)];
    } else {
        itemIndex = -1;
        text.clear();
    }
}

void TParameterBox::SetText(std::string newText) {
    text = std::move(newText);
    itemIndex = IndexOf(text);
}

int TParameterBox::IndexOf(std::string_view s) const {
    for (int i = 0; i < Count(); ++i)
        if (SameTextIgnoringCase(items[static_cast<size_t>(i)], s)) return i;
    return -1;
}

TParameterPanel::TParameterPanel() {
    cmbZoom.SetItems({"Full screen", "Letterbox", "Pan and Scan"});
    cmbZoom.dropDownCount = cmbZoom.Count();
}

// ---- Pure rules ------------------------------------------------------------------------------

std::vector<std::string> SplitList(std::string_view value) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) {
            items.emplace_back(value.substr(start));
            return items;
        }
        items.emplace_back(value.substr(start, comma - start));
        start = comma + 1;
    }
}

bool IsIntegerText(std::string_view text) { return ParseInteger(text).has_value(); }

int IntegerOfText(std::string_view text) { return ParseInteger(text).value_or(0); }

bool IsFloatText(std::string_view t) {
    size_t i = SkipBlanksAndSign(t, 0);
    size_t digits = 0;
    while (i < t.size() && IsDigit(t[i])) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && IsDigit(t[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < t.size() && IsDigit(t[i])) ++i, ++expDigits;
        if (expDigits == 0) return false;
    }
    return i == t.size();
}

std::optional<std::string> VideoEncoderValue(std::string_view itemText) { return LookUp(kVideoEncoders, Lower(itemText)); }

std::optional<std::string> AudioEncoderValue(std::string_view itemText) { return LookUp(kAudioEncoders, Lower(itemText)); }

std::optional<std::string> ChannelValue(std::string_view itemText) { return LookUp(kChannels, itemText); }

std::optional<std::string> VolumeValue(std::string_view itemText) {
    const std::string_view number = itemText.substr(0, itemText.empty() ? 0 : itemText.size() - 1);
    const std::optional<int> percent = ParseInteger(number);
    if (!percent) throw EConvertError("'" + std::string(number) + "' is not a valid integer value");
    if (*percent <= 0) return std::nullopt;
    for (const TVolumeRow& row : kVolumes)
        if (row.percent == *percent) return std::string(row.engineVolume);
    return std::nullopt;
}

std::optional<std::string> ZoomValue(int position) {
    if (position < 0 || position > 2) return std::nullopt;
    return std::string(kZoomValues[position]);
}

int ZoomPosition(std::string_view value) {
    if (value == "full") return 0;
    if (value == "lbox") return 1;
    if (value == "pan") return 2;
    if (value == "center") return 3;
    return -1;
}

TFrameSizeCheck CheckFrameSizeText(std::string_view text) {
    TFrameSizeCheck result;
    const std::string lower = Lower(text);
    if (lower.find(kAsSource) != std::string::npos) {
        result.kind = TFrameSizeCheck::fkAsSource;
        return result;
    }
    // Only a lower-case "x" separates; "640X480" is no size.
    const size_t x = text.rfind('x');
    if (x == std::string_view::npos) return result;
    const std::optional<int> w = ParseInteger(text.substr(0, x));
    const std::optional<int> h = ParseInteger(text.substr(x + 1));
    if (!w || !h) return result;
    result.width = *w;
    result.height = *h;
    if (*w % 2 == 0 && *h % 2 == 0 && *w != 0 && *h != 0) {
        result.kind = TFrameSizeCheck::fkValid;
        return result;
    }
    // Down to even, towards zero; a zero becomes 2.
    auto even = [](int v) {
        const int e = (v / 2) * 2;
        return e == 0 ? 2 : e;
    };
    result.kind = TFrameSizeCheck::fkCorrected;
    result.width = even(*w);
    result.height = even(*h);
    return result;
}

TKeyVerdict NumericKeyVerdict(char32_t key) {
    if (key == U'\b' || (key >= U'0' && key <= U'9')) return kvAccept;
    return kvDiscardWithMessage;
}

TKeyVerdict FrameSizeKeyVerdict(std::string_view currentText, char32_t key) {
    if (currentText.empty()) return kvAccept;
    if (key == U'\b' || (key >= U'0' && key <= U'9')) return kvAccept;
    if (key == U'x' && currentText.find('x') == std::string_view::npos) return kvAccept;
    return kvDiscard;
}

bool ApplyKeyVerdict(TKeyVerdict verdict, IUserPrompt& prompt) {
    switch (verdict) {
        case kvAccept: return true;
        case kvDiscardWithMessage: prompt.ShowMessage(kMsgEnterNumerical); [[fallthrough]];
        case kvDiscard: prompt.Beep(); return false;
    }
    return false;
}

// ---- Box validation --------------------------------------------------------------------------

bool ValidateFrameSizeBox(TParameterBox& box, IUserPrompt& prompt) {
    const TFrameSizeCheck check = CheckFrameSizeText(box.text);
    switch (check.kind) {
        case TFrameSizeCheck::fkAsSource: return false;
        case TFrameSizeCheck::fkInvalid:
            prompt.ShowMessage(kMsgFrameSizeInvalid);
            RecoverInvalidBox(box);
            return false;
        case TFrameSizeCheck::fkCorrected: {
            const std::string size = std::to_string(check.width) + "x" + std::to_string(check.height);
            prompt.ShowMessageBox(kCaptionInputError, std::string(kMsgFrameSizeEven) + size);
            box.SetText(size);
            box.focusRequested = true;
            return true;
        }
        case TFrameSizeCheck::fkValid: return true;
    }
    return false;
}

bool ValidateNumberBox(TParameterBox& box, TNumberRule rule, const char* message, IUserPrompt& prompt) {
    const bool number = rule == nrInteger ? IsIntegerText(box.text) : IsFloatText(box.text);
    if (number || box.text == kAsSource) return true;
    prompt.ShowMessage(message);
    RecoverInvalidBox(box);
    return false;
}

// ---- Loading ---------------------------------------------------------------------------------

void LoadList(TParameterBox& box, const TIniStore& formatFile, int code, const char* key, bool emptyIsNull) {
    const std::string value = formatFile.ReadString(FormatSection(code), key, "null");
    box.SetItems({});
    const bool absent = value == "null" || (emptyIsNull && value.empty());
    if (!absent) box.SetItems(SplitList(value));
    box.enabled = !absent;
}

void LoadFormat(TParameterPanel& panel, const TIniStore& formatFile, const TIniStore& settings, int code) {
    const std::string section = FormatSection(code);
    for (int k = lkVideoSize; k <= lkVolume; ++k) LoadListKey(panel, formatFile, code, static_cast<TListKey>(k));

    const std::string zoom = settings.ReadString(section, "paraZoom", "full");
    if (zoom != "null" && !zoom.empty()) {
        panel.cmbZoom.SetItems({kZoomItems[0], kZoomItems[1], kZoomItems[2]});
        panel.cmbZoom.Select(ZoomPosition(zoom));
    } else {
        panel.cmbZoom.enabled = false;
    }

    // A value equal to an item (ignoring case) selects it; anything else is shown as typed.
    auto restoreText = [&](TParameterBox& box, const char* key, const char* def) {
        const std::string value = settings.ReadString(section, key, def);
        const int position = box.IndexOf(value);
        if (position >= 0) box.Select(position);
        else box.SetText(value);
        box.dropDownCount = box.Count();
    };
    auto restorePosition = [&](TParameterBox& box, const char* key) {
        box.Select(settings.ReadInteger(section, key, 0));
        box.dropDownCount = box.Count();
    };
    restoreText(panel.cmbVideoSize, "paraVideoSize", "320x240");
    restoreText(panel.cmbVideoBitRate, "paraVideoBitRate", "768");
    restorePosition(panel.cmbFrameRate, "iFrameRate");
    restorePosition(panel.cmbVideoEncoder, "iVideoEncoder");
    restoreText(panel.cmbSamplerate, "paraSampleRate", "44100");
    restoreText(panel.cmbAudioBitRate, "paraAudioBitRate", "96");
    restorePosition(panel.cmbChannel, "iChannel");
    restorePosition(panel.cmbVolume, "iVolume");
    restorePosition(panel.cmbAudioEncoder, "iAudioEncoder");

    SetGroupEnabled({&panel.cmbVideoSize, &panel.cmbVideoBitRate, &panel.cmbFrameRate, &panel.cmbVideoEncoder,
                     &panel.cmbZoom},
                    panel.cmbVideoEncoder.Count() > 0);
    SetGroupEnabled({&panel.cmbSamplerate, &panel.cmbAudioBitRate, &panel.cmbAudioEncoder, &panel.cmbChannel,
                     &panel.cmbVolume},
                    panel.cmbAudioEncoder.Count() > 0);
}

// ---- Storing rules ---------------------------------------------------------------------------

TParameterRules::TParameterRules(const TIniStore& formatFile, TIniStore& settings, IUserPrompt& prompt, int code)
    : formatFile_(formatFile), settings_(settings), prompt_(prompt), code_(code), section_(FormatSection(code)) {}

void TParameterRules::VideoEncoderChange(const TParameterBox& box) {
    settings_.WriteInteger(section_, "iVideoEncoder", box.itemIndex);
    const std::optional<std::string> value = VideoEncoderValue(box.text);
    if (!value) return;
    settings_.WriteString(section_, "paraVideoEncoder", *value);
    if (*value == "libx264") CopyH264Extras();
}

void TParameterRules::CopyH264Extras() {
    auto copyIf = [&](const char* key, auto wanted) {
        const std::string value = formatFile_.ReadString(section_, key, "");
        if (!value.empty() && wanted(value)) settings_.WriteString(section_, key, value);
    };
    const auto positive = [&](const char* key) {
        copyIf(key, [&](const std::string&) { return formatFile_.ReadInteger(section_, key, 0) > 0; });
    };
    copyIf("paraBitExact", [](const std::string& v) { return Lower(v) == "true"; });
    positive("paraMaxBitrate");
    positive("paraBufferSize");
    positive("paraLevel");
    positive("paraQscale");
    positive("paraGop");
    copyIf("paraCoder", [&](const std::string&) { return formatFile_.ReadInteger(section_, "paraCoder", -1) >= 0; });
}

void TParameterRules::FrameRateChange(const TParameterBox& box) {
    settings_.WriteInteger(section_, "iFrameRate", box.itemIndex);
    settings_.WriteString(section_, "paraFrameRate", box.text);
}

void TParameterRules::VideoBitRateChange(TParameterBox& box) {
    if (!ValidateNumberBox(box, nrInteger, kMsgVideoBitRateInvalid, prompt_)) return;
    settings_.WriteInteger(section_, "iVideoBitRate", box.itemIndex);
    settings_.WriteString(section_, "paraVideoBitRate", box.text);
}

void TParameterRules::SampleRateChange(TParameterBox& box) {
    if (!ValidateNumberBox(box, nrInteger, kMsgSampleRateInvalid, prompt_)) return;
    settings_.WriteInteger(section_, "iSampleRate", box.itemIndex);
    settings_.WriteString(section_, "paraSampleRate", box.text);
}

void TParameterRules::AudioBitRateChange(TParameterBox& box) {
    if (!ValidateNumberBox(box, nrDecimal, kMsgAudioBitRateInvalid, prompt_)) return;
    settings_.WriteInteger(section_, "iAudioBitRate", box.itemIndex);
    settings_.WriteString(section_, "paraAudioBitRate", box.text);
}

void TParameterRules::AudioEncoderChange(const TParameterBox& box) {
    settings_.WriteInteger(section_, "iAudioEncoder", box.itemIndex);
    if (const std::optional<std::string> value = AudioEncoderValue(box.text))
        settings_.WriteString(section_, "paraAudioEncoder", *value);
}

void TParameterRules::ChannelChange(const TParameterBox& box) {
    settings_.WriteInteger(section_, "iChannel", box.itemIndex);
    if (const std::optional<std::string> value = ChannelValue(box.text))
        settings_.WriteString(section_, "paraChannel", *value);
}

void TParameterRules::VolumeChange(const TParameterBox& box) {
    settings_.WriteInteger(section_, "iVolume", box.itemIndex);
    if (const std::optional<std::string> value = VolumeValue(box.text))
        settings_.WriteString(section_, "paraVolume", *value);
}

void TParameterRules::ZoomChange(const TParameterBox& box) {
    if (const std::optional<std::string> value = ZoomValue(box.itemIndex))
        settings_.WriteString(section_, "paraZoom", *value);
}

void TParameterRules::VideoSizeSelect(const TParameterBox& box) {
    settings_.WriteInteger(section_, "iVideoSize", box.itemIndex);
    settings_.WriteString(section_, "paraVideoSize", box.text);
}

void TParameterRules::CheckVideoSize(TParameterBox& box) {
    if (!ValidateFrameSizeBox(box, prompt_)) return;
    settings_.WriteInteger(section_, "iVideoSize", std::max(box.IndexOf(box.text), 0));
    settings_.WriteString(section_, "paraVideoSize", box.text);
}

void TParameterRules::Default(TParameterPanel& panel) {
    for (TListKey key : {lkVideoSize, lkVideoBitRate, lkAudioBitRate, lkSampleRate})
        LoadListKey(panel, formatFile_, code_, key);
    auto selectDefault = [&](TParameterBox& box, const char* key) {
        box.Select(formatFile_.ReadInteger(section_, key, 0));
    };
    selectDefault(panel.cmbVideoSize, "iVideoSize");
    selectDefault(panel.cmbVideoBitRate, "iVideoBitRate");
    selectDefault(panel.cmbFrameRate, "iFrameRate");
    selectDefault(panel.cmbVideoEncoder, "iVideoEncoder");
    panel.cmbZoom.Select(0);
    selectDefault(panel.cmbAudioBitRate, "iAudioBitRate");
    selectDefault(panel.cmbSamplerate, "iSampleRate");
    selectDefault(panel.cmbChannel, "iChannel");
    selectDefault(panel.cmbVolume, "iVolume");
    selectDefault(panel.cmbAudioEncoder, "iAudioEncoder");

    VideoEncoderChange(panel.cmbVideoEncoder);
    CheckVideoSize(panel.cmbVideoSize);
    FrameRateChange(panel.cmbFrameRate);
    VideoBitRateChange(panel.cmbVideoBitRate);
    ZoomChange(panel.cmbZoom);
    AudioEncoderChange(panel.cmbAudioEncoder);
    AudioBitRateChange(panel.cmbAudioBitRate);
    SampleRateChange(panel.cmbSamplerate);
    ChannelChange(panel.cmbChannel);
    VolumeChange(panel.cmbVolume);
}

void StoreFormatDefaults(const TIniStore& formatFile, TIniStore& settings, IUserPrompt& prompt, int code) {
    TParameterPanel panel;
    LoadFormat(panel, formatFile, settings, code);
    TParameterRules(formatFile, settings, prompt, code).Default(panel);
}
