#pragma once
// TCustomFFmpeg: one conversion task (the transcoding core). It is configured through options
// (SetOption and the typed setters), then inputs and outputs are added and the task runs.
//
// Threads: Reset, the option calls, OpenInput and AddOutput run on the configuring thread before the
// task starts; none of them may be called while the task runs. The run (and its Cleanup) happens on
// the task's worker thread. The settings, the option store and LastError are therefore never used
// by two threads at once and need no lock; the run flags are atomics because a stop request comes
// from another thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/OptionStore.h"
#include "engine/PreprocessVideo.h"
#include "engine/Previewer.h"
#include "engine/TaskSettings.h"
#include "engine/Types.h"

struct AVFormatContext;
struct TTranscodeState;
class TAVProbe;
class TFrameHookList;

// Frees the transcoder's tables (defined with them, so this header needs only the name).
struct TTranscodeStateDeleter {
    void operator()(TTranscodeState* p) const;
};

// Progress of a run, on the worker thread: input file index (-1 at the end), frame number, frames
// per second and quality (-1 without a video stream), bit rate (kbit/s), output size (bytes),
// output time and total duration (microseconds).
using TTranscodeProgress = std::function<void(TFFBaseComponent* sender, int fileIndex, int frameNumber, int fps,
                                              float quality, float bitRate, int64_t totalSize, int64_t timeUs,
                                              int64_t totalDurationUs)>;

class TCustomFFmpeg : public TFFBaseComponent {
public:
    TCustomFFmpeg();
    ~TCustomFFmpeg() override;

    // ---- configuration (OptionHandlers.cpp, Presets.cpp, CustomFFmpeg.cpp) ----

    // Cleanup, then every default of the settings, cleared run flags, TotalDuration -1 and a new
    // option store.
    void Reset();

    // The option dispatcher: a name of the option table, else a library option of the option store
    // (whose failure is silent). Throws FFmpegException with the option's message on failure.
    void SetOption(const std::string& name, const std::string& value);

    // Typed setters: each does what the named option does, with the guard noted.
    void SetFormat(const std::string& value);            // f
    void SetStartTime(int64_t us);                       // ss; ignored for kNoTimestamp
    void SetRecordingTime(int64_t us);                   // t and TotalDuration; ignored for kNoTimestamp
    void SetProgramId(int value);                        // programid; ignored when negative
    void SetAudioVolume(int value);                      // vol; ignored when negative
    void SetAudioSync(int value);                        // async
    void SetVideoSync(int value);                        // vsync
    void SetMuxDelay(double seconds);                    // muxdelay; ignored unless > 0
    void SetMuxPreload(double seconds);                  // muxpreload; ignored unless > 0
    void SetAudioRate(int hz);                           // ar; ignored unless > 0
    void SetAudioChannels(int count);                    // ac; ignored unless > 0
    void SetVideoCodec(const std::string& name);         // vcodec
    void SetAudioCodec(const std::string& name);         // acodec
    void SetSubtitleCodec(const std::string& name);      // scodec
    void SetVideoTag(const std::string& tag);            // vtag
    void SetAudioTag(const std::string& tag);            // atag
    void SetFrameRate(const std::string& rate);          // r
    void SetFrameSize(const std::string& size);          // s
    void SetFrameAspect(const std::string& aspect);      // aspect
    void SetCropTop(int pixels);                         // croptop
    void SetCropBottom(int pixels);                      // cropbottom
    void SetCropLeft(int pixels);                        // cropleft
    void SetCropRight(int pixels);                       // cropright
    void SetVideoFilters(const std::string& graph);      // vf; ignored when empty
    void SetPreset(const std::string& kind, const std::string& name);  // apre/vpre/spre/fpre (first letter)
    void SetTarget(const std::string& kind, const std::string& norm, const std::string& defaultNorm);
    void SetIntOption(const std::string& name, int value);  // option store, value in decimal
    void AddMetadata(const std::string& key, const std::string& value);
    // Adds a frame-hook plug-in ("vhook"): module file name, then its arguments; 0 on success.
    int AddVideoHook(const std::vector<std::string>& args);
    // The task's frame hooks (never null).
    TFrameHookList& VideoHooks() const { return *videoHooks_; }
    // The custom hook and the frame counter of the task's pictures (threads: PreprocessVideo.h).
    TVideoPreprocessor& VideoPreprocessor() { return videoPreprocessor_; }
    // The task's preview switches and handlers (threads: Previewer.h).
    TVideoPreviews& VideoPreviews() { return videoPreviews_; }

    const TTaskSettings& Settings() const { return settings_; }
    // The option store; null only before the first Reset and after Cleanup.
    TOptionStore* OptionStore() const { return store_.get(); }

    // -1 = unknown.
    int64_t TotalDuration() const { return totalDurationUs_; }
    // Message of the last failed OpenInput/AddOutput/set-up step.
    const std::string& LastError() const { return lastError_; }
    bool Joined() const { return joined_; }

    // ---- transcoder side: inputs, outputs, run (TranscodeSetup.cpp and the run's files) ----

    // End of every run and part of Reset: frees the option store and every library object of the
    // run. The transcoder's own version must call FreeOptionStore().
    void Cleanup();
    // Number of output files added so far (join mode counts the joined context once per input).
    int OutputFileCount() const;
    // Adds one stream of `type` (video, audio, subtitle) to the most recently added output file;
    // the caller has checked that one exists. Throws FFmpegException.
    void NewStreamInLastOutput(AVMediaType type);
    // Opened input files, in the order opened.
    int InputFileCount() const;
    const AVFormatContext* InputFile(int index) const;

    // Opens the next input; false with LastError set on failure (nothing of it is kept).
    bool OpenInput(const std::string& fileName);
    // Adds the next output with its streams; the new number of outputs, or -1 with LastError set.
    // join: the output takes every input in turn (needs more than one input open).
    int AddOutput(const std::string& fileName, bool join);
    struct TInputKinds {
        bool video = false, audio = false, subtitle = false;
    };
    // Media types in the first input, or in all of them. Throws FFmpegException.
    TInputKinds CheckInputs(bool firstOnly) const;
    // The probe describing an opened input (owned by the task); nullptr for a bad index.
    TAVProbe* InputProbe(int index) const;

    // The run (worker thread): set-up, loop, trailer. Throws FFmpegException on failure; the caller
    // then closes the codecs (CloseCodecs) and calls Cleanup.
    void Transcode();
    // Closes every encoder and decoder the run opened (under the codec lock). Idempotent.
    void CloseCodecs();
    // From any thread: the loop ends at its next pass and the output is finished properly.
    void RequestStop() { stopRequested_ = true; }
    bool StopRequested() const { return stopRequested_; }
    // The last run's loop reached its end without a stop request.
    bool Finished() const { return finished_; }
    // Configuring thread, before the run.
    void SetProgressInterval(int64_t us);
    void SetOnProgress(TTranscodeProgress handler);

protected:
    // Worker thread, between two packets of the main loop, holding no lock: a task that can be
    // paused waits here while it is held. Nothing by default.
    virtual void PausePoint() {}

    friend class TTranscoder;  // the transcoder's set-up and run (TranscodeState.h)
    TTranscodeState& Tables();
    std::unique_ptr<TTranscodeState, TTranscodeStateDeleter> transcode_;
    friend struct TOptionHandlers;  // the option table's handlers write the settings directly

    void FreeOptionStore() { store_.reset(); }

    TTaskSettings settings_;
    std::unique_ptr<TOptionStore> store_;
    std::unique_ptr<TFrameHookList> videoHooks_;
    TVideoPreprocessor videoPreprocessor_;
    TVideoPreviews videoPreviews_;
    int64_t totalDurationUs_ = -1;
    std::string lastError_;
    bool joined_ = false;

    // Run flags, cleared by Reset.
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> errorOccurred_{false};
};
