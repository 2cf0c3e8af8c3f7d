#pragma once
// Names of an older generation of the media libraries that stored settings and the built-in presets
// still use, translated to today's names. The one place where such translations live.
//
// Threads: pure functions over constant tables; callable from any thread.
#include <string>
#include <utility>
#include <vector>

// One encoder name that today's libraries call differently.
struct TLegacyEncoderRow {
    const char* legacyName;
    const char* todayName;
};
// One option name (or one part of a "flags2" value) that became an option of its own.
struct TLegacyOptionRow {
    const char* legacyName;  // option name, or "flags:"/"flags2:" + flag name
    const char* todayName;
    const char* onValue;     // value for a plain/"+" use of a flag part (null: the value as given)
    const char* offValue;    // value for a "-" use of a flag part
};

const std::vector<TLegacyEncoderRow>& LegacyEncoderTable();
const std::vector<TLegacyOptionRow>& LegacyOptionTable();

// Today's name of an encoder (unchanged when it is not a legacy name). Decoders keep their names.
std::string TodayEncoderName(const std::string& name);

// The option settings that stand for `name` = `value` today, in order. Names and values that need no
// translation come back as one unchanged pair. A "flags" or "flags2" value is split into its legacy
// parts (each becoming its own option) and a rest that keeps the name when it is not empty; a libx264
// "partitions" value in the old flag syntax becomes today's comma list.
std::vector<std::pair<std::string, std::string>> TodayOptions(const std::string& name, const std::string& value);
