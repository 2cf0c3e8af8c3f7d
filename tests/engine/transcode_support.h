#pragma once
// Helpers of the transcoder tests: run a task from a command line, read what ffprobe sees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/CustomFFmpeg.h"
#include "engine/FFmpegLogger.h"
#include "support/TestMedia.h"

namespace transcodetest {

struct TRunResult {
    bool configured = false;  // every option, input and output was accepted
    bool finished = false;
    std::string error;        // the failing step's message
    std::vector<std::string> log;
    bool Logged(const std::string& text) const {
        for (const std::string& line : log)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

// Collects the logger's lines while alive.
class TLogCapture {
public:
    TLogCapture() {
        TFFLogger::Instance().SetTriggerEventInMainThread(false);
        TFFLogger::Instance().SetLogLevel(llVerbose);
        TFFLogger::Instance().HookLibraryLog();
        TFFLogger::Instance().SetOnLog([this](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& msg) {
            std::lock_guard lock(mutex_);
            lines_.push_back(msg);
        });
    }
    ~TLogCapture() { TFFLogger::Instance().SetOnLog({}); }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Runs one task from a transcoder command line: "-NAME VALUE" options, "-i FILE", "-join", bare
// output names. `beforeRun` may install callbacks.
inline TRunResult RunTask(const std::vector<std::string>& args,
                          const std::function<void(TCustomFFmpeg&)>& beforeRun = {}) {
    static const std::set<std::string> switches = {"an", "vn", "sn", "copyts", "xerror", "shortest", "re",
                                                   "y",  "dump", "hex", "intra", "psnr", "sameq", "qphist",
                                                   "force_fps", "isync", "newvideo", "newaudio", "newsubtitle"};
    TRunResult result;
    TLogCapture capture;
    TCustomFFmpeg task;
    task.Reset();
    bool join = false;
    try {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a.size() < 2 || a[0] != '-') {
                if (task.AddOutput(a, join) < 0) throw FFmpegException(task.LastError());
                join = false;
                continue;
            }
            const std::string name = a.substr(1);
            if (name == "join") {
                join = true;
            } else if (switches.count(name)) {
                task.SetOption(name, "");
            } else if (name == "i") {
                if (!task.OpenInput(args.at(++i))) throw FFmpegException(task.LastError());
            } else {
                task.SetOption(name, args.at(++i));
            }
        }
        result.configured = true;
        if (beforeRun) beforeRun(task);
        task.Transcode();
    } catch (const FFmpegException& e) {
        result.error = e.what();
    }
    task.CloseCodecs();
    task.Cleanup();
    result.finished = task.Finished();
    result.log = capture.Lines();
    return result;
}

struct TStreamFacts {
    std::string type, codec;
    int width = 0, height = 0, sampleRate = 0, channels = 0;
    double duration = -1, startTime = 0;
    long packets = 0;
};

struct TFileFacts {
    bool readable = false;
    double duration = -1;
    std::vector<TStreamFacts> streams;
    const TStreamFacts* Stream(const std::string& type) const {
        for (const TStreamFacts& s : streams)
            if (s.type == type) return &s;
        return nullptr;
    }
};

inline double ToDouble(const std::string& v) { return v.empty() || v == "N/A" ? -1 : std::atof(v.c_str()); }

// What ffprobe reads from a file (stream durations from the packets when the container has none).
inline TFileFacts Probe(const std::string& path) {
    std::string out;
    const int rc = testmedia::Run("ffprobe -v error -count_packets -show_entries "
                                  "format=duration:stream=codec_type,codec_name,width,height,sample_rate,channels,"
                                  "duration,start_time,nb_read_packets -of default " +
                                      testmedia::Quote(path),
                                  &out);
    TFileFacts facts;
    facts.readable = rc == 0;
    std::istringstream in(out);
    std::string line;
    TStreamFacts* current = nullptr;
    while (std::getline(in, line)) {
        if (line == "[STREAM]") {
            facts.streams.emplace_back();
            current = &facts.streams.back();
            continue;
        }
        if (line == "[/STREAM]") {
            current = nullptr;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (!current) {
            if (key == "duration") facts.duration = ToDouble(value);
            continue;
        }
        if (key == "codec_type") current->type = value;
        else if (key == "codec_name") current->codec = value;
        else if (key == "width") current->width = std::atoi(value.c_str());
        else if (key == "height") current->height = std::atoi(value.c_str());
        else if (key == "sample_rate") current->sampleRate = std::atoi(value.c_str());
        else if (key == "channels") current->channels = std::atoi(value.c_str());
        else if (key == "duration") current->duration = ToDouble(value);
        else if (key == "start_time") current->startTime = ToDouble(value);
        else if (key == "nb_read_packets") current->packets = std::atol(value.c_str());
    }
    return facts;
}

// The first audio stream decoded to mono 16-bit samples at its own rate.
inline std::vector<int16_t> DecodeAudio(const std::string& path, int channels = 1) {
    std::string out;
    testmedia::Run("ffmpeg -nostdin -v error -i " + testmedia::Quote(path) + " -map 0:a:0 -ac " +
                       std::to_string(channels) + " -f s16le -",
                   &out);
    std::vector<int16_t> samples(out.size() / 2);
    std::memcpy(samples.data(), out.data(), samples.size() * 2);
    return samples;
}

// True when the ffmpeg tool decodes the whole file without an error line.
inline bool DecodesCleanly(const std::string& path) {
    std::string out;
    const int rc = testmedia::Run("ffmpeg -nostdin -v error -i " + testmedia::Quote(path) + " -f null -", &out, true);
    return rc == 0 && out.empty();
}

// Makes a file with the ffmpeg tool into dir; returns its path ("" and a test failure otherwise).
inline std::string MakeMedia(const std::string& dir, const std::string& name, const std::string& ffmpegArgs) {
    const std::string path = dir + "/" + name;
    std::string log;
    if (testmedia::Run("ffmpeg -nostdin -v error -y " + ffmpegArgs + " " + testmedia::Quote(path), &log, true) != 0) {
        ADD_FAILURE() << "ffmpeg could not make " << name << ": " << log;
        return "";
    }
    return path;
}

}  // namespace transcodetest
