#pragma once
// Every setting of one conversion task, with its default. The option handlers write these; opening
// an input and adding an output read them and reset the ones they consume.
//
// Threads: a task's settings are written on the configuring thread before the task runs and read by
// the task's worker thread during the run; never both at once, so no lock guards them.
#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/bsf.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

// Exact (not reduced) equality of two rationals: 30000/1001 and 60000/2002 differ.
inline bool operator==(AVRational a, AVRational b) { return a.num == b.num && a.den == b.den; }

// Table limits of a task.
inline constexpr int MAX_STREAMS = 20;       // streams per file, also the size of the streamid map
inline constexpr int MAX_FILES = 20;         // input files and output files
inline constexpr int kMaxStreamMaps = MAX_FILES * MAX_STREAMS;
inline constexpr int kMaxMetaDataMaps = 20;

// Index of the per-media-type frame limits in TTaskSettings::maxFrames.
enum TMaxFramesIndex { mfVideo = 0, mfAudio = 1, mfData = 2, mfSubtitle = 3 };

// One "map" record: input file/stream and the file/stream it syncs to.
struct TStreamMap {
    int fileIndex = 0;
    int streamIndex = 0;
    int syncFileIndex = 0;
    int syncStreamIndex = 0;
    bool operator==(const TStreamMap&) const = default;
};

// One "map_meta_data" record: output file outFileIndex takes its metadata from input inFileIndex.
struct TMetaDataMap {
    int outFileIndex = 0;
    int inFileIndex = 0;
    bool operator==(const TMetaDataMap&) const = default;
};

// One bitstream filter for the next output stream of a type ("vbsf"/"absf"/"sbsf"). The transcoder
// creates the AVBSFContext per stream (today's filters need the stream's parameters); `args` is the
// text after "=" of "name=args", kept for filters that take options.
struct TBitstreamFilterSpec {
    std::string name;
    std::string args;
    const AVBitStreamFilter* filter = nullptr;  // static library table entry, not owned
    bool operator==(const TBitstreamFilterSpec&) const = default;
};

using TQuantMatrix = std::array<uint16_t, 64>;

struct TTaskSettings {
    // ---- files ----
    std::string formatName;                  // f: forced container of the next input/output
    bool pgmyuvInput = false;                // set by f "pgmyuv"

    // ---- picture ----
    int frameWidth = 0, frameHeight = 0;     // s (an opened input replaces it with its size)
    double frameAspectRatio = 0.0;           // aspect (display aspect ratio; 0 = none)
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;    // pix_fmt
    int cropTop = 0, cropBottom = 0, cropLeft = 0, cropRight = 0;  // croptop ... cropright
    AVRational frameRate = {0, 0};           // r (0/0: 25/1 when a video stream is created)
    double qscale = 0.0;                     // qscale (0 = bit-rate control)
    std::optional<TQuantMatrix> intraMatrix; // intra_matrix
    std::optional<TQuantMatrix> interMatrix; // inter_matrix
    std::optional<std::string> rcOverride;   // rc_override (parsed when the video stream is created)
    bool sameq = false;                      // sameq
    bool deinterlace = false;                // deinterlace
    int topFieldFirst = -1;                  // top (-1 = auto)
    int meThreshold = 0;                     // me_threshold
    int intraDcPrecision = 8;                // dc (the encoder receives value - 8)
    bool intraOnly = false;                  // intra (gop size 0)
    std::string videoFilters;                // vf / vfilters
    int videoGlobalHeader = 0;               // vglobal
    bool forceFps = false;                   // force_fps
    int videoDiscard = 0;                    // vdt (AVDiscard applied to input video when non-zero)

    // ---- sound ----
    AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;  // sample_fmt
    int audioSampleRate = 44100;             // ar
    int audioChannels = 2;                   // ac
    int64_t inputChannelLayout = 0;          // channel mask of the last opened input's audio stream
    double audioQuality = -99999.0;          // aq (-99999 = none)
    int audioVolume = 256;                   // vol (256 = unchanged)

    // ---- per-type stream settings for the next input (decoders) or output stream (encoders) ----
    std::string videoCodecName, audioCodecName, subtitleCodecName;  // vcodec/acodec/scodec (empty = none)
    bool videoStreamCopy = false, audioStreamCopy = false, subtitleStreamCopy = false;  // codec "copy"
    bool videoDisable = false, audioDisable = false, subtitleDisable = false;            // vn/an/sn
    uint32_t videoTag = 0, audioTag = 0, subtitleTag = 0;      // vtag/atag/stag (fourcc, little-endian)
    std::string videoLanguage, audioLanguage, subtitleLanguage;  // vlang/alang/slang
    std::vector<TBitstreamFilterSpec> videoBitstreamFilters;     // vbsf
    std::vector<TBitstreamFilterSpec> audioBitstreamFilters;     // absf
    std::vector<TBitstreamFilterSpec> subtitleBitstreamFilters;  // sbsf

    // ---- limits and timing ----
    std::array<int, 4> maxFrames = {INT_MAX, INT_MAX, INT_MAX, INT_MAX};  // vframes/aframes/dframes/(subtitle), TMaxFramesIndex
    int64_t recordingTimeUs = INT64_MAX;     // t (INT64_MAX = none)
    int64_t startTimeUs = 0;                 // ss (next input)
    int64_t timestampSeconds = 0;            // timestamp (creation time of the next output)
    int64_t inputTsOffsetUs = 0;             // itsoffset (next input)
    std::array<double, MAX_STREAMS> inputTsScale{};  // itsscale per stream of the next input (0 = none)
    int64_t limitFileSizeBytes = 0;          // fs (0 = no limit)
    double muxPreloadSeconds = 0.5;          // muxpreload
    double muxMaxDelaySeconds = 0.7;         // muxdelay
    int videoSyncMethod = -1;                // vsync
    int audioSyncMethod = 0;                 // async
    double audioDriftThresholdSeconds = 0.1; // adrift_threshold
    double dtsDeltaThresholdSeconds = 10.0;  // dts_delta_threshold
    bool copyTimestamps = false;             // copyts
    bool shortest = false;                   // shortest
    bool rateEmulation = false;              // re
    bool inputSync = false;                  // isync
    int copyInitialNonKeyframes = 0;         // copyinkf

    // ---- containers ----
    bool loopInput = false;                  // loop_input
    int loopOutput = -1;                     // loop_output (-1 = none)
    int programId = 0;                       // programid (0 = all)
    int videoChannel = 0;                    // vc
    std::optional<std::string> tvStandard;   // tvstd
    std::vector<std::pair<std::string, std::string>> metadata;  // metadata of the next output, in order given
    std::array<int, MAX_STREAMS> streamIds{};  // streamid map of the next output
    std::vector<TStreamMap> streamMaps;        // map
    std::vector<TMetaDataMap> metaDataMaps;    // map_meta_data

    // ---- encoding passes and statistics ----
    int pass = 0;                            // pass (0 = single pass, 1 or 2)
    std::string passLogFile;                 // passlogfile (prefix)
    bool psnr = false;                       // psnr
    std::optional<std::string> vstatsFile;   // vstats / vstats_file
    bool qpHistogram = false;                // qphist

    // ---- diagnostics ----
    bool dumpPackets = false;                // dump
    bool dumpHex = false;                    // hex
    bool exitOnError = false;                // xerror
    int verbose = 1;                         // v

    // ---- not set by options ----
    // Threads of every codec context: 0 lets the library use one per core.
    int threadCount = 0;
    // Initial flags of the option store's scaler context (SWS_BICUBIC).
    int swsFlags = 4;
    // Set once a "vhook" module was added; the modules themselves live in the task's hook list.
    bool usingVideoHooks = false;

    bool operator==(const TTaskSettings&) const = default;
};
