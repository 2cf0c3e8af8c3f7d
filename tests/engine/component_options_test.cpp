// The engine component's option records: the extended options text, the defaults list, the output
// record's fields and their order, target presets, time stamps, metadata, new-stream lines, and
// the operations' results and refusals.
#include <gtest/gtest.h>

#include <ctime>
#include <stdexcept>

#include "engine/EngineComponent.h"
#include "engine/EngineOptions.h"
#include "engine/FFmpegLoader.h"
#include "engine/FFmpegTask.h"
#include "engine/OptionStore.h"
#include "engine/transcode_support.h"
#include "probe/AVProbe.h"

using namespace transcodetest;

namespace {

class ComponentOptions : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(LoadLibraries("", EngineLibraries(), error)) << error;
        source_ = testmedia::Fixture("av.mp4");
        ASSERT_FALSE(source_.empty());
    }
    // A task with the source opened, then the output record applied (nothing added yet).
    std::unique_ptr<TFFmpeg> Applied(const TOutputOptions& o, const std::string& input) {
        auto task = std::make_unique<TFFmpeg>();
        task->Reset();
        if (!input.empty()) {
            EXPECT_TRUE(task->OpenInput(input)) << task->LastError();
        }
        TOutputDefaults defaults(o);
        ApplyOutputOptions(*task, o, defaults);
        return task;
    }
    std::string source_;
};

struct TParseCase {
    const char* text;
    std::vector<TOptionLine> lines;
};

TEST(ExtOptionsText, SplitsTrimsAndLowerCasesNames) {
    const TParseCase cases[] = {
        {"ab=128000<CRLF>ar=44100", {{"ab", "128000"}, {"ar", "44100"}}},
        {"x=1=2", {{"x", "1=2"}}},
        {"VCodec=mpeg4", {{"vcodec", "mpeg4"}}},
        {"  \r\n a=1\r\nb=2\rc=3\nD=Value \t\n", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "Value"}}},
        {"newaudio<CRLF>acodec=ac3", {{"newaudio", ""}, {"acodec", "ac3"}}},
        {"a=1\n\n<CRLF>b=2<CRLF>", {{"a", "1"}, {"b", "2"}}},
        {"title=A<CRLF B", {{"title", "A<CRLF B"}}},
        {"", {}},
    };
    for (const TParseCase& c : cases) EXPECT_EQ(ParseExtOptions(c.text), c.lines) << c.text;
}

TEST(OutputDefaultsList, RecordFieldsWinThenFirstLine) {
    TOutputOptions o;
    o.AudioCodec = "mp2";
    o.FrameSize = "320x240";
    o.ExtOptions = "acodec=aac\nvcodec=mpeg4\nvcodec=h263\nvfilters=hflip\nacodec=\nab=1000";
    const TOutputDefaults d(o);
    EXPECT_EQ(d.Lines(), (std::vector<std::string>{"def_acodec=mp2", "def_s=320x240", "def_vcodec=mpeg4",
                                                   "def_vf=hflip", "acodec=aac", "vcodec=mpeg4", "vcodec=h263",
                                                   "vf=hflip"}));
}

TEST_F(ComponentOptions, RecordFieldsReachTheTask) {
    TOutputOptions o;
    o.FileFormat = "avi";
    o.AudioVolume = 0;
    o.AudioChannels = 1;
    o.AudioSampleRate = 22050;
    o.AudioBitrate = 64000;
    o.AudioLanguage = "eng";
    o.AudioSyncMethod = 1;
    o.FrameRate = "15";
    o.CropTop = 4;
    o.CropLeft = 0;  // not positive: not applied
    o.GroupOfPictures = 12;
    o.VideoBitrate = 300000;
    o.VideoMaxRate = 400000;
    o.VideoBufferSize = 200000;
    o.VideoSyncMethod = 2;
    o.SubtitleLanguage = "ger";
    o.InputSync = true;
    o.CopyTimestamps = true;
    o.StartTime = 500000;
    o.RecordingTime = 1500000;
    o.Metadata.Year = 2020;
    o.Metadata.Track = 3;
    o.Metadata.Title = "T";
    o.Metadata.Genre = "G";
    o.Metadata.Author = "A";
    auto task = Applied(o, source_);
    const TTaskSettings& s = task->Settings();
    EXPECT_EQ(s.formatName, "avi");
    EXPECT_EQ(s.audioVolume, 0);
    EXPECT_EQ(s.audioChannels, 1);
    EXPECT_EQ(s.audioSampleRate, 22050);
    EXPECT_EQ(task->OptionStore()->GetInt(AVMEDIA_TYPE_AUDIO, "b"), 64000);
    EXPECT_EQ(s.audioLanguage, "eng");
    EXPECT_EQ(s.audioSyncMethod, 1);
    EXPECT_EQ(s.frameRate, (AVRational{15, 1}));
    EXPECT_EQ(s.cropTop, 4);
    EXPECT_EQ(s.cropLeft, 0);
    EXPECT_EQ(task->OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
    EXPECT_EQ(task->OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "b"), 300000);
    EXPECT_EQ(task->OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "maxrate"), 400000);
    EXPECT_EQ(task->OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "bufsize"), 200000);
    EXPECT_EQ(s.videoSyncMethod, 2);
    EXPECT_EQ(s.subtitleLanguage, "ger");
    EXPECT_TRUE(s.inputSync);
    EXPECT_TRUE(s.copyTimestamps);
    EXPECT_EQ(s.startTimeUs, 500000);
    EXPECT_EQ(s.recordingTimeUs, 1500000);
    EXPECT_EQ(task->TotalDuration(), 1500000);
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(s.metadata, (std::vector<Pair>{{"year", "2020"}, {"track", "3"}, {"title", "T"}, {"author", "A"},
                                             {"genre", "G"}}));
}

TEST_F(ComponentOptions, UnsetFieldsKeepTheTaskDefaults) {
    const TTaskSettings defaults = [] {
        TFFmpeg t;
        t.Reset();
        return t.Settings();
    }();
    auto task = Applied(TOutputOptions{}, "");
    // Fields applied "always" pass their defaults, which equal the task's own.
    EXPECT_EQ(task->Settings(), defaults);
}

TEST_F(ComponentOptions, ExtendedTextComesBeforeRecordFields) {
    TOutputOptions withField;
    withField.ExtOptions = "ar=8000<CRLF>ac=1";
    withField.AudioSampleRate = 22050;
    auto a = Applied(withField, source_);
    EXPECT_EQ(a->Settings().audioSampleRate, 22050);
    EXPECT_EQ(a->Settings().audioChannels, 1);

    TOutputOptions textOnly;
    textOnly.ExtOptions = "AR=8000";
    EXPECT_EQ(Applied(textOnly, source_)->Settings().audioSampleRate, 8000);
}

TEST_F(ComponentOptions, TargetPresetThenOverrides) {
    // A 10 fps source leaves "auto" to the fall-back norm; the 25 fps one decides it.
    const std::string slow = MakeMedia(testmedia::TempDir(), "rate10.mkv",
                                       "-f lavfi -i testsrc=size=64x48:rate=10:duration=0.5 -c:v ffv1");
    ASSERT_FALSE(slow.empty());
    struct TCase {
        bool decidingInput;
        int defaultNorm, videoBitrate;
        const char* frameSize;
        int width, height;
        int64_t bitRate;
    };
    const TCase cases[] = {
        {true, 0, -1, "", 480, 576, 2040000},
        {false, 0, -1, "", 480, 480, 2040000},
        {false, 1, -1, "", 480, 576, 2040000},
        {false, 7, -1, "", 480, 480, 2040000},
        {true, 0, 1000000, "", 480, 576, 1000000},
        {true, 0, -1, "320x240", 320, 240, 2040000},
    };
    for (const TCase& c : cases) {
        TOutputOptions o;
        o.TargetType = 2;
        o.TargetNorm = 0;
        o.TargetDefaultNorm = c.defaultNorm;
        o.VideoBitrate = c.videoBitrate;
        o.FrameSize = c.frameSize;
        auto task = Applied(o, c.decidingInput ? source_ : slow);
        SCOPED_TRACE(testing::Message() << "25 fps " << c.decidingInput << " norm " << c.defaultNorm << " size "
                                        << c.frameSize);
        EXPECT_EQ(task->Settings().formatName, "svcd");
        EXPECT_EQ(task->Settings().frameWidth, c.width);
        EXPECT_EQ(task->Settings().frameHeight, c.height);
        EXPECT_EQ(task->OptionStore()->GetInt(AVMEDIA_TYPE_VIDEO, "b"), c.bitRate);
    }
}

TEST_F(ComponentOptions, TimeStamps) {
    TOutputOptions o;
    o.Metadata.Timestamp = -1.0;
    EXPECT_EQ(Applied(o, "")->Settings().timestampSeconds, 0);

    o.Metadata.Timestamp = 0.0;
    const int64_t before = std::time(nullptr);
    const int64_t now = Applied(o, "")->Settings().timestampSeconds;
    EXPECT_GE(now, before);
    EXPECT_LE(now, static_cast<int64_t>(std::time(nullptr)));

    // 2020-07-01 12:30:00 local time (summer time where the zone has one).
    o.Metadata.Timestamp = 44013.0 + 12.5 / 24.0;
    std::tm local{};
    local.tm_year = 120;
    local.tm_mon = 6;
    local.tm_mday = 1;
    local.tm_hour = 12;
    local.tm_min = 30;
    local.tm_isdst = -1;
    EXPECT_EQ(Applied(o, "")->Settings().timestampSeconds, static_cast<int64_t>(std::mktime(&local)));
}

TEST(ComponentProperties, ProgressIntervalHasAFloorOf100) {
    ZAReravIRE engine;
    EXPECT_EQ(engine.ProgressInterval(), 500);
    const std::pair<int, int> cases[] = {{50, 100}, {100, 100}, {101, 101}, {-5, 100}, {1000, 1000}};
    for (const auto& [set, read] : cases) {
        engine.SetProgressInterval(set);
        EXPECT_EQ(engine.ProgressInterval(), read) << set;
    }
    EXPECT_STREQ(ZAReravIRE::Version(), "3.3");
}

// ---------------------------------------------------------------------------------------------
// Operations of the component

class ComponentOperations : public ComponentOptions {
protected:
    void SetUp() override {
        ComponentOptions::SetUp();
        ASSERT_TRUE(engine_.LoadLibraries(""));
        dir_ = testmedia::TempDir();
    }
    // A small quick output: 160x120 mpeg4 with the given audio settings, 0.4 s.
    TOutputOptions SmallOutput() {
        TOutputOptions o;
        o.VideoCodec = "mpeg4";
        o.FrameSize = "160x120";
        o.RecordingTime = 400000;
        return o;
    }
    ZAReravIRE engine_;
    std::string dir_;
};

TEST_F(ComponentOperations, AddTaskFillsTheRecordAndOpensTheFile) {
    EXPECT_EQ(engine_.AddTask(source_), 0);
    TInputOptions in;
    EXPECT_EQ(engine_.AddTask(source_, &in), 1);
    EXPECT_EQ(in.FileName, source_);
    EXPECT_EQ(engine_.TaskCount(), 2);
    TAVProbe* probe = engine_.InputProbe(1, 0);
    ASSERT_NE(probe, nullptr);
    EXPECT_NEAR(probe->FileStreamInfo().Duration, 2000000, 100000);
    EXPECT_EQ(engine_.InputProbe(1, 1), nullptr);
    EXPECT_THROW(engine_.InputProbe(2, 0), std::out_of_range);
    EXPECT_EQ(engine_.Task(1).Settings().verbose, 1);
}

TEST_F(ComponentOperations, FailedAddTaskLeavesNothing) {
    TInputOptions bad;
    bad.ExtOptions = "ss=never";
    const std::pair<std::string, TInputOptions*> cases[] = {{dir_ + "/missing.mp4", nullptr}, {source_, &bad}};
    for (const auto& [file, options] : cases) {
        EXPECT_EQ(engine_.AddTask(file, options), -1) << file;
        EXPECT_FALSE(engine_.LastErrorMessage().empty());
    }
    EXPECT_NE(engine_.LastErrorMessage().find("never"), std::string::npos) << engine_.LastErrorMessage();
    EXPECT_EQ(engine_.TaskCount(), 0);
}

TEST_F(ComponentOperations, InputTextSkipsOutputNames) {
    TInputOptions in;
    in.ExtOptions = "vf=hflip<CRLF>vpre=fast<CRLF>newaudio<CRLF>ss=0.5";
    ASSERT_EQ(engine_.AddTask(source_, &in), 0) << engine_.LastErrorMessage();
    EXPECT_TRUE(engine_.Task(0).Settings().videoFilters.empty());
    EXPECT_EQ(engine_.Task(0).InputOptions.size(), 1u);
}

TEST_F(ComponentOperations, OutputLimitAndFailures) {
    ASSERT_EQ(engine_.AddTask(source_), 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(engine_.SetOutputFile(0, dir_ + "/limit" + std::to_string(i) + ".nut")) << engine_.LastErrorMessage();
    EXPECT_FALSE(engine_.SetOutputFile(0, dir_ + "/limit20.nut"));
    EXPECT_EQ(engine_.LastErrorMessage(), "max output files 20 reached");

    ASSERT_EQ(engine_.AddTask(source_), 1);
    TOutputOptions bad;
    bad.FileFormat = "no-such-format";
    EXPECT_FALSE(engine_.SetOutputFile(1, dir_ + "/bad.out", &bad));
    EXPECT_FALSE(engine_.LastErrorMessage().empty());
    EXPECT_EQ(bad.FileName, dir_ + "/bad.out");
    EXPECT_TRUE(engine_.Task(1).OutputOptions.empty());
    EXPECT_EQ(engine_.TaskCount(), 2);
    EXPECT_THROW(engine_.SetOutputFile(2, dir_ + "/x.avi"), std::out_of_range);
}

TEST_F(ComponentOperations, AudioCodecDefaultsAndNewStreams) {
    struct TCase {
        const char* audioCodec;
        const char* ext;
        std::vector<std::string> audioCodecs;  // of the output, in stream order
    };
    const TCase cases[] = {
        {"mp2", "acodec=aac", {"mp2"}},
        {"", "acodec=aac", {"aac"}},
        {"", "newaudio=<CRLF>acodec=ac3", {"ac3", "ac3"}},
        {"mp2", "newaudio=<CRLF>acodec=ac3<CRLF>newaudio", {"mp2", "ac3", "mp2"}},
    };
    int n = 0;
    for (const TCase& c : cases) {
        engine_.ClearTasks();
        const std::string out = dir_ + "/codecs" + std::to_string(n++) + ".mkv";
        ASSERT_EQ(engine_.AddTask(source_), 0);
        TOutputOptions o = SmallOutput();
        o.AudioCodec = c.audioCodec;
        o.ExtOptions = c.ext;
        ASSERT_TRUE(engine_.SetOutputFile(0, out, &o)) << engine_.LastErrorMessage();
        bool completed = false;
        engine_.SetOnTerminate([&](TFFBaseComponent*, const TTerminateInfo& info) {
            if (info.TaskIndex == 0) completed = info.Completed;
        });
        engine_.StartTask(0);
        EXPECT_TRUE(completed) << c.ext;
        std::vector<std::string> codecs;
        for (const TStreamFacts& s : Probe(out).streams)
            if (s.type == "audio") codecs.push_back(s.codec);
        EXPECT_EQ(codecs, c.audioCodecs) << c.audioCodec << " / " << c.ext;
    }
}

TEST_F(ComponentOperations, RefusalsAfterARunUntilClearTasks) {
    ASSERT_EQ(engine_.AddTask(source_), 0);
    TOutputOptions o = SmallOutput();
    ASSERT_TRUE(engine_.SetOutputFile(0, dir_ + "/refuse.avi", &o));
    engine_.StartTask(0);
    EXPECT_TRUE(engine_.AllDone());
    auto expectRefused = [](const std::function<void()>& op, const std::string& message) {
        try {
            op();
            ADD_FAILURE() << "not refused: " << message;
        } catch (const FFmpegException&) {
            ADD_FAILURE() << "the engine's own error class: " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), message);
        }
    };
    expectRefused([&] { engine_.AddTask(source_); }, "Cannot AddTask while working.");
    expectRefused([&] { engine_.SetOutputFile(0, dir_ + "/x.avi"); }, "Cannot SetOutputFile while working.");
    expectRefused([&] { engine_.RemoveTask(0); }, "Cannot RemoveTask while working.");
    expectRefused([&] { engine_.StartTask(1); }, "Cannot StartTask while working.");
    EXPECT_EQ(engine_.TaskCount(), 1);
    engine_.ClearTasks();
    EXPECT_EQ(engine_.TaskCount(), 0);
    EXPECT_FALSE(engine_.Working());
    EXPECT_EQ(engine_.AddTask(source_), 0);
}

TEST_F(ComponentOperations, RemoveTaskShiftsLaterTasks) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(engine_.AddTask(source_), i);
    TOutputOptions o = SmallOutput();
    ASSERT_TRUE(engine_.SetOutputFile(2, dir_ + "/shift.avi", &o));
    engine_.RemoveTask(0);
    EXPECT_EQ(engine_.TaskCount(), 2);
    EXPECT_EQ(engine_.Task(1).OutputOptions.size(), 1u);
    EXPECT_THROW(engine_.RemoveTask(2), std::out_of_range);
}

}  // namespace
