#pragma once
// Presets (named lists of key=value options, built in or read from a file) and target presets
// (everything needed for VCD, SVCD, DVD and DV output for a television norm).
//
// Threads: the built-in table is made on first use (thread-safe static) and then only read; the
// apply functions run on the thread configuring a task.
#include <string>
#include <vector>

class TCustomFFmpeg;

struct TOptionsPreset {
    std::string name;
    std::string content;  // lines "key=value" separated by LF
};

// The 40 built-in presets, in table order.
const std::vector<TOptionsPreset>& BuiltinPresets();
// Case-insensitive look-up by name; null when absent.
const TOptionsPreset* FindBuiltinPreset(const std::string& name);

// "apre", "vpre", "spre" (built-in name, then "<codec>-<name>", then a file) and "fpre" (a file);
// only the first letter of `option` is looked at. Throws FFmpegException.
void ApplyPresetOption(TCustomFFmpeg& task, const std::string& option, const std::string& value);
// Applies preset text under `presetName` (named in the messages). Throws FFmpegException; lines
// before the failing one stay applied.
void ApplyPresetText(TCustomFFmpeg& task, const std::string& presetName, const std::string& text);

// The DVD target's video rate ceiling and rate-control buffer, in bits per second and bits.
inline constexpr int kDvdMaxRate = 9000000;
inline constexpr int kDvdBufferSize = 1835008;

// The "target" option: "[pal-|ntsc-|film-]kind", default norm "ntsc".
void ApplyTargetOption(TCustomFFmpeg& task, const std::string& value);
// kind "vcd", "svcd", "dvd", "dv", "dv50"; norm "pal", "ntsc", "film" or anything else to detect it
// from the frame rate or the opened inputs, `defaultNorm` deciding when nothing does.
void ApplyTarget(TCustomFFmpeg& task, const std::string& kind, const std::string& norm, const std::string& defaultNorm);
