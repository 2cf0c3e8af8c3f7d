#pragma once
// The pieces of the probe's description text that do not need an open input. Pure functions,
// callable from any thread.
#include <cstdint>
#include <string>
#include <vector>

struct AVDictionary;

// "1024 Byte", "1.00 KB", "1024.00 MB", "1.50 GB"; "N/A" for a negative (unknown) size.
std::string ProbeSizeText(int64_t bytes);

// ", 25 fps", ", 29.97 fps", ", 90k tbn": the value rounded to hundredths; whole thousands in k.
std::string ProbeRateItem(double value, const char* unit);

// Seconds and microseconds, "12.345678"; "-0.500000" for a negative time.
std::string ProbeSecondsText(int64_t microseconds);

// Local date and time of seconds since 1970 UTC, "yyyy-mm-dd hh:nn:ss".
std::string ProbeLocalTimeText(int64_t secondsSince1970);

// The name a metadata key is shown under: ID3v2 frame ids ("TIT2", "TT2" ...) by meaning, any
// other key as it is.
std::string ProbeMetadataKeyName(const std::string& key);

// The metadata lines of a dictionary, each beginning with prefix: "Metadata:" and one
// "  key             : value" line per entry except "language". Nothing for a missing or empty
// dictionary, or one whose only entry is the language. Lines of a multi-line value after the
// first are indented under the value.
std::vector<std::string> ProbeMetadataBlock(const AVDictionary* dict, const std::string& prefix);
