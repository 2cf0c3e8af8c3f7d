#pragma once
// Turns one job into engine options: the format's static data (format file), the user's choices
// for that format (settings file), the job record and the facts of the source decide container,
// codecs, frame size, letterbox padding, crop, disc targets and the audio settings.
//
// Threads: the GUI thread (or the command line's main thread); the INI files are read on every
// call, nothing is kept between calls.
#include <string>

#include "app/JobRecord.h"
#include "engine/EngineRecords.h"

class TIniStore;
class IUserPrompt;
class TCustomAVProbe;

inline constexpr const char* kMsgVideoSizeQuestion = "Error output Video Size.Use the default size 320x240?";
inline constexpr const char* kCaptionWarning = "Warning";

// What the builder needs to know about the source.
struct TSourceFacts {
    bool HasVideo = false;
    int Width = -1;         // of the first video stream; -1 unknown
    int Height = -1;
    int VideoBitRate = -1;  // bit/s of the first video stream
};

// Reads the facts from an opened probe.
TSourceFacts SourceFactsOf(TCustomAVProbe& probe);

// Fills `output` (initialised to the engine defaults, FileName set) and `input` (initialised,
// FileName set) for the format `code`. May ask the frame-size question through `prompt`. Throws
// EConvertError when the stored volume is not a whole number, or when the job's crop margins
// leave no picture.
void BuildConversionOptions(const TlvFilesRecord& job, int code, TOutputOptions& output, const TSourceFacts& source,
                            TInputOptions& input, const TIniStore& formatFile, const TIniStore& settings,
                            IUserPrompt& prompt);
void BuildConversionOptions(const TlvFilesRecord& job, int code, TOutputOptions& output, TCustomAVProbe& probe,
                            TInputOptions& input, const TIniStore& formatFile, const TIniStore& settings,
                            IUserPrompt& prompt);

// ---- Pieces, exposed for tests ----
struct TPads {
    int Top = 0, Bottom = 0, Left = 0, Right = 0;
    bool operator==(const TPads&) const = default;
};
// Letterbox pads that fit a Sw x Sh picture into W x H keeping its proportions. All zero when a
// size is not positive.
TPads LetterboxPads(int Sw, int Sh, int W, int H);
