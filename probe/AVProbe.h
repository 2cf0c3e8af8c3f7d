#pragma once
// The media probe: opens a media file (or takes an input someone else opened), reads its stream
// information and answers questions about the file and its streams. It never decodes.
//
// Threads: a probe has no lock of its own; it belongs to one thread at a time, its owner (the
// application's main thread for the engine's probes, the player's open path for the player's).
// Opening holds the process-wide CodecLock() around the stream-information scan only.
//
// Errors: set-up operations return false and leave the reason in LastErrorMessage(); queries on
// a closed probe or with a bad stream index record the reason there too and return the empty
// state (-1 numbers, empty strings, false). Every recorded error is also logged through
// TFFLogger with the probe as sender.
#include <cstdint>
#include <string>

#include "engine/AVPtr.h"
#include "engine/Types.h"

// File-level facts. Times in microseconds.
struct TFileStreamInfo {
    int64_t StartTime = -1;  // -1 when missing
    int64_t Duration = -1;   // -1 when missing
    int BitRate = -1;        // bit/s, 0 when unknown
    int64_t Timestamp = -1;  // creation time, seconds since 1970 UTC; 0 = none
    int Year = -1;           // 0 = none
    int Track = -1;          // 0 = none
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

// Per-stream facts. *PTS fields are in the stream's own time base, copied as they are (the
// missing value kNoTimestamp included); the µs fields are -1 when missing.
struct TAudioStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartPTS = -1;
    int64_t StartTime = -1;
    int64_t DurationPTS = -1;
    int64_t Duration = -1;
    int BitRate = -1;
    int Channels = -1;
    int SampleRate = -1;
    int SampleFormat = -1;  // AVSampleFormat
};

struct TVideoStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartPTS = -1;
    int64_t StartTime = -1;
    int64_t DurationPTS = -1;
    int64_t Duration = -1;
    int BitRate = -1;
    int Height = -1;
    int Width = -1;
    float DisplayAspectRatio = -1.0f;  // -1 when the sample aspect ratio is unknown
    int PixelFormat = -1;              // AVPixelFormat
    int FrameRateNum = -1;             // the stream's real base frame rate
    int FrameRateDen = -1;
};

class TCustomAVProbe : public TFFBaseComponent {
public:
    TCustomAVProbe();
    ~TCustomAVProbe() override;

    // Opens a file (UTF-8 name) with the named container format, or detects it when formatName
    // is empty. On failure the probe is closed and LastErrorMessage() says why. Throws
    // FFmpegException ("LibAVCodec not loaded." ...) when the engine's libraries have not been
    // loaded (LoadLibraries, engine/FFmpegLoader.h).
    bool LoadFile(const std::string& fileName, const std::string& formatName = "");

    // Recomputes the derived facts from the open input.
    virtual void Refresh();
    // Closes what is open, then describes ctx without owning it. The caller keeps ctx open until
    // this probe is closed, attached to another input or destroyed; Close never frees it.
    // nullptr is the same as Close; attaching the input the probe already owns keeps it owned.
    virtual void AttachContext(AVFormatContext* ctx);
    // Forgets the input; frees it only when the probe opened it.
    virtual void Close();

    bool IsOpen() const { return ctx_ != nullptr; }
    // The open input (owned by the probe or by whoever attached it); nullptr when closed.
    AVFormatContext* Context() const { return ctx_; }
    bool OwnsContext() const { return owned_ != nullptr; }

    TFileStreamInfo FileStreamInfo();
    // streamIndex -1 means the first stream of that kind.
    TAudioStreamInfo AudioStreamInfo(int streamIndex = -1);
    TVideoStreamInfo VideoStreamInfo(int streamIndex = -1);
    // False, with an error recorded, for an index outside the streams.
    bool IsAudioStream(int streamIndex);
    bool IsVideoStream(int streamIndex);

    // The input's file name as the application knows it (UTF-8).
    std::string FileName();
    // Short name of the detected or forced container format.
    std::string FormatName();
    // The multi-line description of the whole file (lines joined with "\n", no final one).
    std::string InfoText();

    const std::string& LastErrorMessage() const { return lastError_; }
    // The format name the file was opened with (empty when detected or attached).
    const std::string& ForcedFormat() const { return forcedFormat_; }

    // Derived facts, all -1 while no input is open; First*Stream is -1 when there is none.
    int64_t FileSize() const { return fileSize_; }
    int StreamCount() const { return streamCount_; }
    int ProgramCount() const { return programCount_; }
    int AudioStreamCount() const { return audioStreamCount_; }
    int VideoStreamCount() const { return videoStreamCount_; }
    int SubtitleStreamCount() const { return subtitleStreamCount_; }
    int FirstAudioStream() const { return firstAudioStream_; }
    int FirstVideoStream() const { return firstVideoStream_; }
    int FirstSubtitleStream() const { return firstSubtitleStream_; }

    // "name(long name)" of the stream's decoder, or what else identifies its codec.
    static std::string CodecDescription(const AVCodecParameters* par);

protected:
    // Records an error: LastErrorMessage and a log line at the given level.
    void RecordError(TLogLevel level, const std::string& message);

private:
    // True with an open input; otherwise records "file not loaded.".
    bool CheckLoaded();
    // The stream of an index, after the checks common to the audio and video queries; nullptr
    // (error recorded) when there is none of the wanted kind.
    AVStream* StreamOfKind(int streamIndex, AVMediaType kind);
    std::string StreamLine(AVStream* st);

    av::InputContextPtr owned_;       // the input the probe opened
    AVFormatContext* ctx_ = nullptr;  // the open input: owned_.get() or an attached one
    std::string lastError_;
    std::string forcedFormat_;
    int64_t fileSize_ = -1;
    int streamCount_ = -1;
    int programCount_ = -1;
    int audioStreamCount_ = -1;
    int videoStreamCount_ = -1;
    int subtitleStreamCount_ = -1;
    int firstAudioStream_ = -1;
    int firstVideoStream_ = -1;
    int firstSubtitleStream_ = -1;
};

// The probe the system creates.
class TAVProbe final : public TCustomAVProbe {};
