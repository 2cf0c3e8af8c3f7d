#pragma once
// The transcoder's tables: the files and streams a task was configured with (kept from OpenInput /
// AddOutput until Cleanup) and the working tables of one run (built by the run set-up, freed at the
// end of the run).
//
// Threads: the file tables are filled on the configuring thread before the run and used by the
// worker during it; the run tables exist only on the worker. Never two threads at once: no lock.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/AVPtr.h"
#include "engine/AudioPath.h"
#include "engine/CustomFFmpeg.h"
#include "engine/TaskSettings.h"
#include "engine/Types.h"
#include "engine/VideoFilters.h"
#include "engine/VideoPath.h"

extern "C" {
#include <libavcodec/bsf.h>
}

class TAVProbe;
class TCustomFFmpeg;

struct BsfDeleter {
    void operator()(AVBSFContext* p) const { av_bsf_free(&p); }
};
using BsfPtr = std::unique_ptr<AVBSFContext, BsfDeleter>;

// One opened input file.
struct TInputFile {
    av::InputContextPtr ctx;
    std::string fileName;                          // as the caller gave it
    int64_t tsOffsetUs = 0;                        // added to every timestamp of the file
    std::array<double, MAX_STREAMS> tsScale{};     // per stream, 0 = none
    bool seeked = false;                           // opened at a start position
    std::vector<av::CodecContextPtr> decoders;     // per stream; null for data streams
    std::vector<const AVCodec*> decoderByName;     // per stream: found from the codec name, or null
    std::unique_ptr<TAVProbe> probe;               // describes ctx (attached, not owning)

    TInputFile();
    ~TInputFile();
    TInputFile(TInputFile&&) noexcept;
    TInputFile& operator=(TInputFile&&) noexcept;
};

// One stream created in an output file.
struct TOutputStreamDef {
    AVStream* stream = nullptr;                    // owned by the output context
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    av::CodecContextPtr codec;                     // the encoder's settings (also kept for copies)
    const AVCodec* encoderByName = nullptr;        // from the codec name, or null
    bool copy = false;
    std::vector<TBitstreamFilterSpec> bitstreamFilters;
};

// One output file.
struct TOutputFile {
    av::OutputContextPtr ctx;
    std::string fileName;                          // as the caller gave it
    std::vector<TOutputStreamDef> streams;
    bool headerWritten = false;
};

// Per input stream of a run.
struct TInputStreamState {
    int fileIndex = 0;
    int streamIndex = 0;
    AVStream* stream = nullptr;
    AVCodecContext* decoder = nullptr;             // owned by the input file
    bool discard = true;                           // until chosen as a source
    bool decodingNeeded = false;
    bool decoderOpen = false;
    int64_t rateEmulationStartUs = 0;
    int64_t nextPts = kNoTimestamp;                // microseconds
    int64_t pts = 0;                               // microseconds
    bool isStart = true;
    bool pastRecordingTime = false;
    bool flushed = false;
    bool flushedDecoder = false;
};

// The encoding or copying side of an output stream; in join mode all groups share one.
struct TStreamOut {
    TOutputStreamDef* def = nullptr;
    int outputFile = 0;                            // index into the task's distinct output files
    int frameNumber = 0;                           // frames (packets) written for copies and audio
    int64_t copySyncPts = 0;                       // copies: packets written
    bool encoderOpen = false;
    AVRational sourceTimeBase{1, AV_TIME_BASE};   // time base of the packets handed to WriteFrame
    std::unique_ptr<TVideoOut> video;
    std::unique_ptr<TVideoFilterChain> filters;    // "vf": between the decoder and the video path
    av::FramePtr filtered;                         // the chain's current picture
    std::unique_ptr<TAudioOut> audio;
    std::vector<BsfPtr> bitstreamFilters;
    FilePtr passLog;                               // pass-1 statistics until the video path takes it
    av::BufferPtr<char> statsIn;                   // pass-2 statistics until the encoder opened
    double writtenEnd = 0;                         // seconds: end of the last packet written
    double lastQuality = -1;                       // quality of the last encoded picture (lambda units / 118)
    int FrameNumber() const { return video ? video->frameNumber : frameNumber; }
};

// Per output stream of a run (join mode: one per group and stream).
struct TOutputStreamState {
    int fileIndex = 0;                             // index in the output table (join: the repetition)
    int streamIndex = 0;
    int sourceIndex = -1;                          // into the input stream table
    int syncIndex = -1;
    bool encodingNeeded = false;
    bool reporting = true;
    std::shared_ptr<TStreamOut> out;
};

// Everything the transcoder keeps for one task.
struct TTranscodeState {
    std::vector<TInputFile> inputs;
    std::vector<TOutputFile> outputFiles;          // distinct files
    std::vector<int> outputTable;                  // output table -> distinct file (join repeats file 0)

    // Run tables.
    std::vector<TInputStreamState> inputStreams;
    std::vector<int> firstInputStream;             // per input file
    std::vector<TOutputStreamState> outputStreams;
    std::vector<bool> inputEof;
    std::vector<bool> inputNoPacket;
    int noPacketCount = 0;
    int currentFile = 0;

    // Counters of the run.
    int64_t videoBytes = 0;
    int64_t audioBytes = 0;
    int64_t extraBytes = 0;
    TVideoCounters videoCounters;
    int frameCounter = 0;                          // decoded pictures (the hook's frame number)
    int64_t timerStartUs = 0;
    int64_t lastReportUs = 0;
    int64_t lastLoggedSize = -1;

    // Set by the caller before the run.
    int64_t progressIntervalUs = 500000;
    TTranscodeProgress onProgress;

    void FreeRunTables() {
        outputStreams.clear();
        inputStreams.clear();
        firstInputStream.clear();
        inputEof.clear();
        inputNoPacket.clear();
    }
};

// "Video", "Audio", "Data", "Subtitle", "Attachment" or "Unknown".
const char* MediaTypeName(AVMediaType type);

class TCustomFFmpeg;

// The transcoder's functions. A friend of TCustomFFmpeg, so that the set-up and the run reach the
// task's settings, option store and flags; implemented in TranscodeSetup.cpp (files and streams),
// RunSetup.cpp (the run's tables, mapping, codecs, headers) and TranscodeLoop.cpp (the loop).
class TTranscoder {
public:
    // ---- TranscodeSetup.cpp (configuring thread) ----
    // FindCodec: empty name gives true and *codec null. On failure the task's LastError says why.
    static bool FindCodec(TCustomFFmpeg& task, const std::string& name, AVMediaType type, bool encoder, int strictness,
                          const AVCodec** codec);
    static void OpenInputFile(TCustomFFmpeg& task, const std::string& fileName);  // throws FFmpegException
    static int AddOutputFile(TCustomFFmpeg& task, const std::string& fileName, bool join);
    static void NewVideoStream(TCustomFFmpeg& task, TOutputFile& file);
    static void NewAudioStream(TCustomFFmpeg& task, TOutputFile& file);
    static void NewSubtitleStream(TCustomFFmpeg& task, TOutputFile& file);
    // Closes every file (deleting outputs left empty) and frees the tables' library objects.
    static void FreeFiles(TTranscodeState& tables);

    // ---- RunSetup.cpp (worker thread) ----
    static void RunSetUp(TCustomFFmpeg& task);
    static void ReportMapping(TCustomFFmpeg& task);
    static void OpenEncoder(TCustomFFmpeg& task, TOutputStreamState& ost);
    static void CloseEncoders(TCustomFFmpeg& task);
    static void CloseDecoders(TCustomFFmpeg& task);

    // ---- TranscodeLoop.cpp (worker thread) ----
    static void Transcode(TCustomFFmpeg& task);
    static int DecodeAndOutput(TCustomFFmpeg& task, int inputStream, const AVPacket* packet);
    static void WriteFrame(TCustomFFmpeg& task, TStreamOut& out, AVPacket* packet);
    static void ProgressReport(TCustomFFmpeg& task, bool isLast, int fileIndex);
};
