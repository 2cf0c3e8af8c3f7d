#include "engine/EngineOptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <set>

#include "engine/FFmpegTask.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Names an input text skips: they only mean something for an output.
const std::set<std::string>& OutputOnlyNames() {
    static const std::set<std::string> names = {"newvideo", "newaudio", "newsubtitle", "apre",
                                                "vpre",     "spre",     "vfilters",    "vf"};
    return names;
}

// Names an output text leaves to the defaults list and the new-stream lines.
const std::set<std::string>& DeferredOutputNames() {
    static const std::set<std::string> names = {"newvideo", "newaudio", "newsubtitle", "apre", "vpre",   "spre",
                                                "vfilters", "vf",       "acodec",      "vcodec", "scodec", "s"};
    return names;
}

// Names the defaults list collects from an output text.
bool IsDefaultsName(const std::string& name) {
    static const std::set<std::string> names = {"acodec", "vcodec", "scodec", "apre", "vpre",
                                                "spre",   "s",      "vfilters", "vf"};
    return names.count(name) != 0;
}

}  // namespace

std::vector<TOptionLine> ParseExtOptions(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;

    std::vector<TOptionLine> lines;
    auto addLine = [&](size_t from, size_t to) {
        if (from == to) return;
        const std::string line = text.substr(from, to - from);
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            lines.push_back({Lower(line), ""});
        else
            lines.push_back({Lower(line.substr(0, eq)), line.substr(eq + 1)});
    };
    static const std::string kSeparator = "<CRLF>";
    size_t lineStart = begin;
    for (size_t i = begin; i < end;) {
        if (text[i] == '\r' || text[i] == '\n') {
            addLine(lineStart, i);
            i += (text[i] == '\r' && i + 1 < end && text[i + 1] == '\n') ? 2 : 1;
            lineStart = i;
        } else if (text.compare(i, kSeparator.size(), kSeparator) == 0 && i + kSeparator.size() <= end) {
            addLine(lineStart, i);
            i += kSeparator.size();
            lineStart = i;
        } else {
            ++i;
        }
    }
    addLine(lineStart, end);
    return lines;
}

void ApplyInputOptions(TFFmpeg& task, const TInputOptions& options) {
    for (const TOptionLine& line : ParseExtOptions(options.ExtOptions))
        if (!OutputOnlyNames().count(line.name)) task.SetOption(line.name, line.value);
    if (!options.FileFormat.empty()) task.SetFormat(options.FileFormat);
    if (options.StartTime != kNoTimestamp) task.SetStartTime(options.StartTime);
    if (options.ProgramID >= 0) task.SetProgramId(options.ProgramID);
}

// ---------------------------------------------------------------------------------------------
// Defaults list

TOutputDefaults::TOutputDefaults(const TOutputOptions& o) {
    const std::pair<const char*, const std::string*> seeds[] = {
        {"acodec", &o.AudioCodec}, {"vcodec", &o.VideoCodec}, {"scodec", &o.SubtitleCodec},
        {"apre", &o.AudioPreset},  {"vpre", &o.VideoPreset},  {"spre", &o.SubtitlePreset},
        {"s", &o.FrameSize},       {"vf", &o.VideoFilters},
    };
    for (const auto& [name, value] : seeds)
        if (!value->empty()) defaults_.push_back({name, *value});
    for (TOptionLine line : ParseExtOptions(o.ExtOptions)) {
        if (!IsDefaultsName(line.name) || line.value.empty()) continue;
        if (line.name == "vfilters") line.name = "vf";
        if (Default(line.name).empty()) defaults_.push_back(line);
        pending_.push_back(std::move(line));
    }
}

std::string TOutputDefaults::Default(const std::string& name) const {
    for (const TOptionLine& d : defaults_)
        if (d.name == name) return d.value;
    return {};
}

void TOutputDefaults::ApplyDefault(TFFmpeg& task, const std::string& name) const {
    const std::string value = Default(name);
    if (!value.empty()) task.SetOption(name, value);
}

void TOutputDefaults::Take(TFFmpeg& task, const std::string& name) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->name != name) continue;
        const TOptionLine line = *it;
        pending_.erase(it);
        task.SetOption(line.name, line.value);
        return;
    }
    ApplyDefault(task, name);
}

std::vector<std::string> TOutputDefaults::Lines() const {
    std::vector<std::string> lines;
    for (const TOptionLine& d : defaults_) lines.push_back("def_" + d.name + "=" + d.value);
    for (const TOptionLine& p : pending_) lines.push_back(p.name + "=" + p.value);
    return lines;
}

// ---------------------------------------------------------------------------------------------
// Output record

namespace {

const char* TargetKind(int type) {
    switch (type) {
        case 1: return "vcd";
        case 2: return "svcd";
        case 3: return "dvd";
        default: return nullptr;
    }
}

const char* TargetNormName(int norm) {
    switch (norm) {
        case 1: return "pal";
        case 2: return "ntsc";
        default: return "auto";
    }
}

void SetIfPositive(TFFmpeg& task, const char* name, int value) {
    if (value > 0) task.SetOption(name, std::to_string(value));
}

void SetIfNotEmpty(TFFmpeg& task, const char* name, const std::string& value) {
    if (!value.empty()) task.SetOption(name, value);
}

}  // namespace

void ApplyOutputOptions(TFFmpeg& task, const TOutputOptions& o, const TOutputDefaults& defaults) {
    if (const char* kind = TargetKind(o.TargetType))
        task.SetTarget(kind, TargetNormName(o.TargetNorm), o.TargetDefaultNorm == 1 ? "pal" : "ntsc");

    for (const char* name : {"acodec", "vcodec", "scodec"}) defaults.ApplyDefault(task, name);
    for (const char* name : {"apre", "vpre", "spre"}) defaults.ApplyDefault(task, name);

    for (const TOptionLine& line : ParseExtOptions(o.ExtOptions))
        if (!DeferredOutputNames().count(line.name)) task.SetOption(line.name, line.value);

    // The record's fields, in the order of the record.
    SetIfNotEmpty(task, "f", o.FileFormat);
    SetIfPositive(task, "packetsize", o.PacketSize);
    SetIfPositive(task, "muxrate", o.MuxRate);
    task.SetMuxDelay(o.MuxDelay);      // each only when > 0
    task.SetMuxPreload(o.MuxPreload);
    if (o.DisableAudio) task.SetOption("an", "");
    if (o.AudioVolume >= 0) task.SetOption("vol", std::to_string(o.AudioVolume));
    SetIfPositive(task, "ac", o.AudioChannels);
    SetIfPositive(task, "ar", o.AudioSampleRate);
    SetIfPositive(task, "ab", o.AudioBitrate);
    SetIfPositive(task, "abt", o.AudioBitrateTolerance);
    task.SetOption("alang", o.AudioLanguage);
    task.SetOption("async", std::to_string(o.AudioSyncMethod));
    SetIfNotEmpty(task, "atag", o.AudioTag);
    if (o.DisableVideo) task.SetOption("vn", "");
    SetIfNotEmpty(task, "r", o.FrameRate);
    SetIfNotEmpty(task, "aspect", o.FrameAspectRatio);
    SetIfPositive(task, "croptop", o.CropTop);
    SetIfPositive(task, "cropbottom", o.CropBottom);
    SetIfPositive(task, "cropleft", o.CropLeft);
    SetIfPositive(task, "cropright", o.CropRight);
    SetIfPositive(task, "g", o.GroupOfPictures);
    SetIfPositive(task, "vb", o.VideoBitrate);
    SetIfPositive(task, "maxrate", o.VideoMaxRate);
    SetIfPositive(task, "minrate", o.VideoMinRate);
    SetIfPositive(task, "bt", o.VideoBitrateTolerance);
    SetIfPositive(task, "bufsize", o.VideoBufferSize);
    task.SetOption("vsync", std::to_string(o.VideoSyncMethod));
    SetIfNotEmpty(task, "vtag", o.VideoTag);
    task.SetOption("vlang", o.VideoLanguage);
    if (o.DisableSubtitle) task.SetOption("sn", "");
    task.SetOption("slang", o.SubtitleLanguage);
    task.SetOption("isync", o.InputSync ? "1" : "0");
    if (o.CopyTimestamps) task.SetOption("copyts", "");
    task.SetStartTime(o.StartTime);          // each only when set
    task.SetRecordingTime(o.RecordingTime);  // also the expected duration of the task

    const TStreamInfo& m = o.Metadata;
    if (m.Timestamp >= 0) task.SetTimestampSeconds(TimestampToUnixSeconds(m.Timestamp));
    if (m.Year > 0) task.AddMetadata("year", std::to_string(m.Year));
    if (m.Track > 0) task.AddMetadata("track", std::to_string(m.Track));
    const std::pair<const char*, const std::string*> texts[] = {
        {"title", &m.Title},     {"author", &m.Author}, {"copyright", &m.Copyright},
        {"comment", &m.Comment}, {"album", &m.Album},   {"genre", &m.Genre},
    };
    for (const auto& [key, value] : texts)
        if (!value->empty()) task.AddMetadata(key, *value);

    defaults.ApplyDefault(task, "s");
    defaults.ApplyDefault(task, "vf");
}

void ApplyNewStreamLines(TFFmpeg& task, const TOutputOptions& options, TOutputDefaults& defaults) {
    for (const TOptionLine& line : ParseExtOptions(options.ExtOptions)) {
        if (line.name == "newaudio") {
            defaults.Take(task, "acodec");
            defaults.Take(task, "apre");
        } else if (line.name == "newvideo") {
            defaults.Take(task, "vcodec");
            defaults.Take(task, "vpre");
            defaults.Take(task, "s");
            defaults.Take(task, "vf");
        } else if (line.name == "newsubtitle") {
            defaults.Take(task, "scodec");
            defaults.Take(task, "spre");
        } else {
            continue;
        }
        task.SetOption(line.name, line.value);
    }
}

int64_t TimestampToUnixSeconds(double localDateTime) {
    if (localDateTime == 0) return static_cast<int64_t>(std::time(nullptr));
    // The date-time counts local wall-clock days; mktime finds the UTC instant, summer time included.
    constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 in days since 1899-12-30
    const int64_t wallSeconds = std::llround((localDateTime - kUnixEpochDays) * 86400.0);
    const std::time_t wall = static_cast<std::time_t>(wallSeconds);
    std::tm fields{};
    gmtime_r(&wall, &fields);  // the wall-clock fields, read as they are
    fields.tm_isdst = -1;
    const std::time_t utc = std::mktime(&fields);
    return utc == static_cast<std::time_t>(-1) ? wallSeconds : static_cast<int64_t>(utc);
}
