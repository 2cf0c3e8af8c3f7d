#pragma once
// The records the application exchanges with the engine component: the option records that
// describe a task's inputs and outputs, and the event records the component fills for its events.
//
// Threads: the option records are plain values, filled and read on the application's main thread.
// The event records are filled by the component under the lock of their event kind and are valid
// only during the event (handlers copy what they keep).
#include <cstdint>
#include <functional>
#include <string>

#include "engine/Bitmap.h"
#include "engine/Types.h"

// One input of a task. Times in microseconds; kNoTimestamp = not set.
struct TInputOptions {
    std::string FileName;    // informational; AddTask fills it when empty
    std::string FileFormat;  // forced container ("f"); empty = detect
    int64_t StartTime = kNoTimestamp;  // "ss"
    int ProgramID = -1;      // "programid", applied when >= 0
    std::string ExtOptions;  // "name=value" lines (line breaks or "<CRLF>")
    int Reserved1 = 0;
    int Reserved2 = 0;
};

// Metadata written into an output.
struct TStreamInfo {
    // Days since 1899-12-30, local time: 0 = now, > 0 = this time, < 0 = no time stamp.
    double Timestamp = -1.0;
    int Year = -1;   // written when > 0
    int Track = -1;  // written when > 0
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

// One output of a task. Integers of -1 and empty texts mean "not set" unless noted.
struct TOutputOptions {
    std::string FileName;  // informational; SetOutputFile fills it when empty
    std::string Reserved;
    std::string FileFormat;          // "f"
    int PacketSize = -1;             // "packetsize"
    int MuxRate = -1;                // "muxrate"
    float MuxDelay = -1.0f;          // "muxdelay", seconds
    float MuxPreload = -1.0f;        // "muxpreload", seconds
    std::string AudioCodec;          // "acodec" (through the defaults list)
    std::string AudioPreset;         // "apre" (through the defaults list)
    bool DisableAudio = false;       // "an"
    int AudioVolume = -1;            // "vol" when >= 0 (256 = unchanged)
    int AudioChannels = -1;          // "ac"
    int AudioSampleRate = -1;        // "ar", Hz
    int AudioBitrate = -1;           // "ab", bit/s
    int AudioBitrateTolerance = -1;  // "abt"
    std::string AudioLanguage;       // "alang", always applied
    int AudioSyncMethod = 0;         // "async", always applied
    std::string AudioTag;            // "atag", four characters
    std::string VideoCodec;          // "vcodec" (through the defaults list)
    std::string VideoPreset;         // "vpre" (through the defaults list)
    bool DisableVideo = false;       // "vn"
    std::string FrameRate;           // "r"
    std::string FrameSize;           // "s" (through the defaults list)
    std::string FrameAspectRatio;    // "aspect"
    int CropTop = -1;                // "croptop", pixels
    int CropBottom = -1;             // "cropbottom"
    int CropLeft = -1;               // "cropleft"
    int CropRight = -1;              // "cropright"
    int GroupOfPictures = -1;        // "g"
    int VideoBitrate = -1;           // "vb", bit/s
    int VideoMaxRate = -1;           // "maxrate"
    int VideoMinRate = -1;           // "minrate"
    int VideoBitrateTolerance = -1;  // "bt"
    int VideoBufferSize = -1;        // "bufsize"
    int VideoSyncMethod = -1;        // "vsync", always applied
    std::string VideoTag;            // "vtag", four characters
    std::string VideoFilters;        // "vf" (through the defaults list)
    std::string VideoLanguage;       // "vlang", always applied
    std::string SubtitleCodec;       // "scodec" (through the defaults list)
    std::string SubtitlePreset;      // "spre" (through the defaults list)
    bool DisableSubtitle = false;    // "sn"
    std::string SubtitleLanguage;    // "slang", always applied
    bool InputSync = false;          // "isync", always applied
    bool CopyTimestamps = false;     // "copyts"
    int64_t StartTime = kNoTimestamp;      // "ss"
    int64_t RecordingTime = kNoTimestamp;  // "t"; also the task's expected duration
    TStreamInfo Metadata;
    int TargetType = 0;         // 1 "vcd", 2 "svcd", 3 "dvd", other: none
    int TargetNorm = 0;         // 0 "auto", 1 "pal", 2 "ntsc", other: "auto"
    int TargetDefaultNorm = 1;  // 1 "pal", other: "ntsc" (the norm "auto" falls back to)
    bool CustomHook = false;    // the task raises OnCustomHook for its video frames
    bool Join = false;          // the output concatenates all the task's inputs
    std::string ExtOptions;     // "name=value" lines (line breaks or "<CRLF>")
    int Reserved1 = 0;
    int Reserved2 = 0;
};

// The initialisers: every field back to its default.
void InitInputOptions(TInputOptions& options);
void InitOutputOptions(TOutputOptions& options);

// ---- event records ----

struct TProgressInfo {
    int TaskIndex = 0;
    int InputIndex = 0;        // input read last; -1 in the task's final report
    int FrameNumber = -1;      // frames encoded on the first video output stream; -1 without video
    int FramesPerSecond = -1;  // 0 during the first second; -1 without video
    float Quality = -1.0f;     // encoder quantiser; -1 without video
    float BitRateKbps = 0.0f;  // average output bit rate so far
    int64_t OutputSize = 0;    // bytes written to the first output file
    int64_t OutputTime = 0;    // microseconds of media produced
    int64_t TotalTime = -1;    // expected output duration in microseconds; -1 unknown
};
using PProgressInfo = TProgressInfo*;

struct THookInfo {
    int TaskIndex = 0;
    TBitmapView Bitmap;        // the frame at its decoded size; the handler may draw on it
    int FrameNumber = 0;       // 1 for the task's first frame
    int64_t PTS = 0;           // microseconds
    bool UpdateFrame = true;   // out: copy the bitmap back into the frame
    bool StopHook = false;     // out: never call the hook again for this task
};
using PHookInfo = THookInfo*;

struct TPreviewInfo {
    int TaskIndex = 0;
    TBitmapView Bitmap;
    int FrameNumber = 0;
    int64_t PTS = 0;
};

struct TTerminateInfo {
    int TaskIndex = 0;       // -1: the run has ended
    bool Completed = false;  // the main loop ran to its end without a stop request
    bool Failed = false;     // an error was caught while the task started, ran or closed
    std::string ErrorMessage;
};

// Priorities of the worker threads.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Event handlers; Sender is the component.
using TCustomHookEvent = std::function<void(TFFBaseComponent* Sender, PHookInfo AHookInfo)>;
using TPreviewBitmapEvent = std::function<void(TFFBaseComponent* Sender, const TPreviewInfo& APreviewInfo)>;
using TProgressEvent = std::function<void(TFFBaseComponent* Sender, PProgressInfo AProgressInfo)>;
using TTerminateEvent = std::function<void(TFFBaseComponent* Sender, const TTerminateInfo& ATerminateInfo)>;
