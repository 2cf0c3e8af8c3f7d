#pragma once
// Turning the engine component's option records into options of a task: the extended options
// text, the input record, the output record with its defaults list, and the new-stream lines.
//
// Threads: the main thread, while the task does not run. Every function throws what the task's
// option dispatcher throws (FFmpegException with the option's message).
#include <cstdint>
#include <string>
#include <vector>

#include "engine/EngineRecords.h"

class TFFmpeg;

// One "name=value" line of an extended options text; the name is lower case.
struct TOptionLine {
    std::string name;
    std::string value;
    bool operator==(const TOptionLine&) const = default;
};

// The lines of an extended options text: trimmed at both ends, split at CR, LF, CR LF and
// "<CRLF>"; each line's name is the text before its first "=" (lower-cased), its value the rest.
// Empty lines carry nothing and are left out.
std::vector<TOptionLine> ParseExtOptions(const std::string& text);

// Everything an input record sets before its file is opened: the extended options (all but the
// names reserved for outputs), "f", "ss" and "programid".
void ApplyInputOptions(TFFmpeg& task, const TInputOptions& options);

// The defaults list of one output: "def_<name>" entries seeded from the record's codec, preset,
// frame-size and filter fields, then from the first non-empty lines of the extended text; and the
// pending lines of those names, in text order, for the new streams.
class TOutputDefaults {
public:
    explicit TOutputDefaults(const TOutputOptions& options);
    // The "def_" value of a name ("acodec", "vpre", "s", "vf" ...); empty when there is none.
    std::string Default(const std::string& name) const;
    // Applies `name` when its default is not empty.
    void ApplyDefault(TFFmpeg& task, const std::string& name) const;
    // Applies the first pending line of `name` (and drops it), or else the default.
    void Take(TFFmpeg& task, const std::string& name);
    // The list as lines "name=value": the defaults first, then the pending lines.
    std::vector<std::string> Lines() const;

private:
    std::vector<TOptionLine> defaults_;  // names without the "def_" prefix
    std::vector<TOptionLine> pending_;
};

// Steps of an output record before its file is added: target, codecs, presets, the extended
// text, the record's fields in table order with time stamp and metadata, then "s" and "vf".
void ApplyOutputOptions(TFFmpeg& task, const TOutputOptions& options, const TOutputDefaults& defaults);

// After the output was added: each "newaudio", "newvideo", "newsubtitle" line takes its codec,
// preset (and for video frame size and filters) and adds its stream.
void ApplyNewStreamLines(TFFmpeg& task, const TOutputOptions& options, TOutputDefaults& defaults);

// Seconds since 1970-01-01 UTC of a local date-time in days since 1899-12-30 (0 = now).
int64_t TimestampToUnixSeconds(double localDateTime);
