#pragma once
// Types shared by the engine, the probe, the player and the application core.
#include <cstdint>
#include <stdexcept>
#include <string>

// Log levels, lowest (always shown) to highest (most detail). The libraries' number for a
// level is (ordinal - 1) * 8.
enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// The libraries' "no time stamp" value; time values everywhere are microseconds.
inline constexpr int64_t kNoTimestamp = INT64_MIN;

// The engine's exception: a message text only.
class FFmpegException : public std::runtime_error {
public:
    explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
};

// Common base of the engine, probe, player and logger components. Used as the Sender of events.
class TFFBaseComponent {
public:
    TFFBaseComponent() = default;
    TFFBaseComponent(const TFFBaseComponent&) = delete;
    TFFBaseComponent& operator=(const TFFBaseComponent&) = delete;
    virtual ~TFFBaseComponent() = default;
};
