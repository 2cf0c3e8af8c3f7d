#pragma once
// The option vocabulary of the transcoding core as a table: each row names an option, how its value
// is read and what it writes. TCustomFFmpeg::SetOption walks the rows in order; the first row with
// the exact (case-sensitive) name handles the option; a name that no row has goes to the option store.
//
// Threads: the table is constant; handlers run on the thread configuring a task (see CustomFFmpeg.h).
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "engine/TaskSettings.h"

class TCustomFFmpeg;

// How a row reads its value before writing a settings field.
enum class TValueKind {
    vkAny,       // the value is not looked at (a bool field becomes true)
    vkBool,      // "0" is false, anything else (also empty) is true
    vkInt,       // decimal integer, else "'%s' is not a valid integer value"
    vkInt64,     // the same, 64 bits
    vkFloat,     // decimal number, else "'%s' is not a valid floating point value"
    vkDuration,  // [-]HH:MM:SS[.fraction] or seconds, in microseconds
    vkText,      // taken as given
    vkCustom,    // the row's handler reads it
};

// A handler of its own: throws FFmpegException with the option's failure message.
using TOptionFn = void (*)(TCustomFFmpeg& task, const std::string& name, const std::string& value);

using TOptionTarget = std::variant<TOptionFn, bool TTaskSettings::*, int TTaskSettings::*, int64_t TTaskSettings::*,
                                   double TTaskSettings::*, std::string TTaskSettings::*>;

struct TOptionDef {
    const char* name;
    TValueKind kind;
    TOptionTarget target;
};

// The rows in dispatch order.
const std::vector<TOptionDef>& OptionTable();

// Handles `name` through its row; false (nothing done) when no row has the name.
bool DispatchOption(TCustomFFmpeg& task, const std::string& name, const std::string& value);

// Value conventions shared with the presets and the typed setters. Each throws FFmpegException with
// the convention's message.
int ParseIntValue(const std::string& value);
int64_t ParseInt64Value(const std::string& value);
double ParseFloatValue(const std::string& value);
// Microseconds; `name` is the option named in the message.
int64_t ParseDurationValue(const std::string& name, const std::string& value);
int64_t ParseDateValue(const std::string& name, const std::string& value);
