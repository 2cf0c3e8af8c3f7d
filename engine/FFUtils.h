#pragma once
// Small facilities shared by the engine, the probe and the player.
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

// The process-wide codec lock: held around opening and closing codecs and around reading an
// input's stream information.
std::mutex& CodecLock();

// "name: text" for a library error code (AVERROR), with the texts users know for the common codes.
std::string LibraryErrorText(const std::string& name, int code);
// The text alone, without the name.
std::string LibraryErrorMessage(int code);

// "HH:MM:SS.mmm" for a time in microseconds; "N/A" for kNoTimestamp. Hours are not wrapped.
std::string MediaTimeText(int64_t microseconds);

// printf into a std::string, of any length.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
