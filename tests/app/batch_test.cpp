// Destination naming and running a batch of the job list through the engine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/BatchControl.h"
#include "app/GlobalUnit.h"
#include "app/IniStore.h"
#include "app/JobList.h"
#include "app/OutputNames.h"
#include "app/ParameterLists.h"
#include "engine/EngineComponent.h"
#include "engine/MainThread.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace {

class TRecordingPrompt : public IUserPrompt {
public:
    void ShowMessage(const std::string& text) override { boxes.push_back("|" + text); }
    void ShowMessageBox(const std::string& caption, const std::string& text) override {
        boxes.push_back(caption + "|" + text);
    }
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    void Beep() override {}
    std::vector<std::string> boxes;
};

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

TEST(BuildOutputName, SkipsEveryTakenNameInTurn) {
    const std::string dir = testmedia::TempDir() + "/names_out";
    TAppSettings settings(testmedia::TempDir() + "/names.ini");
    settings.SetOutPutDir(dir);  // no trailing '/', not there yet: created on demand
    TRecordingPrompt prompt;

    const std::string first = BuildOutputName(settings, prompt, "/media/a/clip.avi", ".mp4");
    EXPECT_EQ(first, dir + "/clip_(new).mp4");
    EXPECT_TRUE(fs::is_directory(dir));
    // Same base name from another folder: same destination while nothing exists.
    EXPECT_EQ(BuildOutputName(settings, prompt, "/media/b/clip.mkv", ".mp4"), first);

    Touch(first);
    EXPECT_EQ(BuildOutputName(settings, prompt, "clip.avi", ".mp4"), dir + "/clip_(new_1).mp4");
    Touch(dir + "/clip_(new_1).mp4");
    EXPECT_EQ(BuildOutputName(settings, prompt, "clip.avi", ".mp4"), dir + "/clip_(new_2).mp4");
    // A dangling link is taken too: writing through it would create a file elsewhere.
    fs::create_symlink(dir + "/nowhere", dir + "/clip_(new_2).mp4");
    EXPECT_EQ(BuildOutputName(settings, prompt, "clip.avi", ".mp4"), dir + "/clip_(new_3).mp4");
    EXPECT_EQ(BuildOutputName(settings, prompt, "clip.avi", ".mp3"), dir + "/clip_(new).mp3");
    EXPECT_TRUE(prompt.boxes.empty());
}

TEST(BuildOutputName, UncreatableFolderFallsBackToTheDefaultAndStoresIt) {
    const std::string home = testmedia::TempDir() + "/names_home";
    fs::create_directories(home);
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", home.c_str(), 1);

    const std::string blocker = testmedia::TempDir() + "/names_blocker";
    Touch(blocker);  // a file where a parent folder should be
    const std::string bad = blocker + "/out";
    TAppSettings settings(testmedia::TempDir() + "/names_bad.ini");
    settings.SetOutPutDir(bad);
    TRecordingPrompt prompt;

    const std::string name = BuildOutputName(settings, prompt, "/x/clip.avi", ".mp4");
    const std::string fallback = DefaultOutputDir();
    if (oldHome) setenv("HOME", savedHome.c_str(), 1); else unsetenv("HOME");

    ASSERT_EQ(fallback, home + "/quillmar");
    EXPECT_EQ(name, fallback + "/clip_(new).mp4");
    EXPECT_TRUE(fs::is_directory(fallback));
    EXPECT_EQ(settings.OutPutDir(), fallback);
    ASSERT_EQ(prompt.boxes.size(), 1u);
    EXPECT_EQ(prompt.boxes[0], "Warning|Cannot create output directory:" + bad +
                                   ".It will create default directory " + fallback + "!");
}

std::string DataFile(const char* name) {
    const fs::path source = fs::path(__FILE__).parent_path().parent_path().parent_path() / "data" / name;
    if (fs::exists(source)) return source.string();
    return (fs::path(testmedia::CliPath()).parent_path() / name).string();
}

class TRecordingView : public IProgressView {
public:
    void ShowProgress(const TProgressTexts& texts) override { last = texts; ++shown; }
    void SetBar(int percent) override { bar = percent; }
    bool OpenFolderAfterConversion() const override { return openFolder; }
    bool ShutDownAfterConversion() const override { return shutDown; }
    void Close() override { ++closed; }
    TProgressTexts last;
    int shown = 0, bar = -1, closed = 0;
    bool openFolder = true, shutDown = false;
};

TEST(BatchLabels, FileLabelAndPriority) {
    const std::string path50 = "/" + std::string(45, 'a') + ".mp4";
    EXPECT_EQ(ShortFileLabel(path50), path50);
    const std::string path60 = "/" + std::string(55, 'b') + ".mp4";
    EXPECT_EQ(ShortFileLabel(path60), path60.substr(0, 44) + "...mp4");
    EXPECT_EQ(ShortFileLabel("/" + std::string(60, 'c')), "/" + std::string(43, 'c') + "..");

    const struct {
        int setting;
        bool valid;
        TThreadPriority priority;
    } cases[] = {{0, true, tpIdle}, {1, true, tpNormal}, {2, true, tpLower}, {3, true, tpLowest}, {4, false, tpHigher},
                 {-1, false, tpHigher}};
    for (const auto& c : cases) {
        TThreadPriority p = tpHigher;
        EXPECT_EQ(PriorityOfSetting(c.setting, p), c.valid) << c.setting;
        EXPECT_EQ(p, c.priority) << c.setting;
    }
}

// Two good sources around one the engine refuses: the good ones convert with the default
// format, the refused one fails alone and the engine's task numbers keep naming the right rows.
TEST(BatchControl, ConvertsGoodSourcesAndKeepsTaskRowsAligned) {
    auto dispatcher = std::make_shared<TQueueDispatcher>();
    SetMainThreadDispatcher(dispatcher);
    const std::string dir = testmedia::TempDir();
    const std::string out = dir + "/out";
    const std::string bad = dir + "/bad.mp4";
    fs::copy_file(testmedia::Fixture("av.mp4"), bad);
    // The shipped settings hold the default format's parameter choices.
    fs::copy_file(DataFile("quillmar.ini"), dir + "/quillmar.ini");

    TAppSettings settings(dir + "/quillmar.ini");
    settings.SetOutPutDir(out);
    const TIniStore formats(DataFile("quillmarformat.ini"));
    TRecordingPrompt prompt;
    TRecordingView view;
    {
        ZAReravIRE engine;
        TJobList jobs(engine, settings.Store(), formats, [&](const std::string& source, const std::string& suffix) {
            return BuildOutputName(settings, prompt, source, suffix);
        });
        ASSERT_EQ(jobs.Add({testmedia::Fixture("av.avi"), bad, testmedia::Fixture("av.mkv")}, ""), 3);
        std::ofstream(bad, std::ios::trunc) << "no longer a media file";

        TBatchControl batch(engine, jobs, settings, formats, prompt, view);
        std::vector<std::string> opened;
        batch.OpenFolder = [&](const std::string& folder) { opened.push_back(folder); };
        batch.ShutdownComputer = [] { ADD_FAILURE() << "not asked for"; };
        std::vector<std::pair<int, bool>> ended;
        batch.OnTaskEnded = [&](const TTerminateInfo& info, int row) {
            ended.emplace_back(row, info.Completed && !info.Failed);
        };
        bool batchEnded = false;
        batch.OnBatchEnded = [&] { batchEnded = true; };

        ASSERT_TRUE(batch.Start());
        EXPECT_EQ(batch.TaskRows(), (std::vector<int>{0, 2}));
        ASSERT_EQ(batch.Refused().size(), 1u);
        EXPECT_EQ(batch.Refused()[0].Row, 1);
        EXPECT_FALSE(batch.Refused()[0].Message.empty());
        ASSERT_TRUE(dispatcher->ServeUntil([&] { return batchEnded; }, 120000));

        EXPECT_EQ(ended, (std::vector<std::pair<int, bool>>{{0, true}, {2, true}}));
        EXPECT_EQ(jobs.Row(0).Progress, "100%");
        EXPECT_EQ(jobs.Row(1).Progress, "");
        EXPECT_EQ(jobs.Row(2).Progress, "100%");
        EXPECT_GT(view.shown, 0);
        EXPECT_EQ(view.bar, 100);
        EXPECT_EQ(view.closed, 1);
        EXPECT_EQ(opened, (std::vector<std::string>{out}));
        EXPECT_EQ(engine.TaskCount(), 0);
        EXPECT_FALSE(batch.Running());
    }
    SetMainThreadDispatcher(nullptr);

    // The two sources share a base name: the second got its own destination in the same batch.
    for (const char* name : {"av_(new).mp4", "av_(new_1).mp4"}) {
        std::string probe;
        ASSERT_EQ(testmedia::Run("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " +
                                     testmedia::Quote(out + "/" + name),
                                 &probe),
                  0)
            << name;
        EXPECT_NE(probe.find("video"), std::string::npos) << name << ": " << probe;
        EXPECT_NE(probe.find("audio"), std::string::npos) << name;
    }
    EXPECT_FALSE(fs::exists(out + "/bad_(new).mp4"));
}

// A trim start of 10 s and a trim length of 5 s convert five seconds from second 10.
TEST(BatchControl, TrimmedJobConvertsItsRange) {
    auto dispatcher = std::make_shared<TQueueDispatcher>();
    SetMainThreadDispatcher(dispatcher);
    const std::string dir = testmedia::TempDir();
    const std::string source = dir + "/twenty.mkv";
    ASSERT_EQ(testmedia::Run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=20 -f lavfi -i "
                             "sine=duration=20 -c:v mpeg4 -c:a pcm_s16le " +
                             testmedia::Quote(source)),
              0);
    fs::copy_file(DataFile("quillmar.ini"), dir + "/quillmar.ini");
    TAppSettings settings(dir + "/quillmar.ini");
    settings.SetOutPutDir(dir + "/out");
    const TIniStore formats(DataFile("quillmarformat.ini"));
    TRecordingPrompt prompt;
    TRecordingView view;
    std::string destination;
    {
        ZAReravIRE engine;
        TJobList jobs(engine, settings.Store(), formats, [](const std::string& s, const std::string&) { return s; });
        ASSERT_EQ(jobs.Add({source}, ""), 1);
        jobs.Row(0).Record->TrimStart = 10'000'000;
        jobs.Row(0).Record->TrimLength = 5'000'000;
        TBatchControl batch(engine, jobs, settings, formats, prompt, view);
        bool ended = false;
        batch.OnBatchEnded = [&] { ended = true; };
        ASSERT_TRUE(batch.Start());
        destination = batch.Destinations().at(0);
        ASSERT_TRUE(dispatcher->ServeUntil([&] { return ended; }, 120000));
        EXPECT_EQ(jobs.Row(0).Progress, "100%");
    }
    SetMainThreadDispatcher(nullptr);
    std::string duration;
    ASSERT_EQ(testmedia::Run("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                 testmedia::Quote(destination), &duration),
              0);
    EXPECT_NEAR(std::stod(duration), 5.0, 0.3);
}

// The command line: a bad source in the middle fails alone, the others convert, the exit status
// says a job failed, and the output folder given applies to this run only.
TEST(ConvertCommand, BadSourceFailsAloneAndTheStoredSettingsStay) {
    const std::string dir = testmedia::TempDir();
    const std::string settingsFile = dir + "/quillmar.ini";
    fs::copy_file(DataFile("quillmar.ini"), settingsFile);
    const std::string before = TIniStore(settingsFile).ReadString("settings", "OutPutDir", "<none>");
    const std::string bad = dir + "/bad.mp4";
    std::ofstream(bad) << "no media here";
    const std::string out = dir + "/out";

    const struct {
        std::vector<std::string> args;
        int status;
    } usage[] = {{{"--jobs", "0", "x.mp4"}, 2}, {{"--format", "99999", "x.mp4"}, 2}, {{"--bogus", "x.mp4"}, 2}, {{}, 2}};
    for (const auto& u : usage) {
        std::string cmd = testmedia::Quote(testmedia::CliPath()) + " convert";
        for (const auto& a : u.args) cmd += " " + testmedia::Quote(a);
        EXPECT_EQ(testmedia::Run(cmd + " 2>/dev/null"), u.status) << cmd;
    }

    std::string text;
    const int status = testmedia::Run(testmedia::Quote(testmedia::CliPath()) + " convert --settings " +
                                          testmedia::Quote(settingsFile) + " --output-dir " + testmedia::Quote(out) +
                                          " " + testmedia::Quote(testmedia::Fixture("av.avi")) + " " +
                                          testmedia::Quote(bad) + " " + testmedia::Quote(testmedia::Fixture("av.mkv")) +
                                          " 2>/dev/null",
                                      &text);
    EXPECT_NE(status, 0);
    EXPECT_NE(text.find("failed: " + bad + ": "), std::string::npos) << text;
    EXPECT_NE(text.find("done: " + testmedia::Fixture("av.avi") + " -> " + out + "/av_(new).mp4"), std::string::npos)
        << text;
    EXPECT_NE(text.find("done: " + testmedia::Fixture("av.mkv") + " -> " + out + "/av_(new_1).mp4"), std::string::npos)
        << text;
    for (const char* name : {"av_(new).mp4", "av_(new_1).mp4"}) {
        std::string probe;
        EXPECT_EQ(testmedia::Run("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " +
                                 testmedia::Quote(out + "/" + name), &probe),
                  0)
            << name;
        EXPECT_NE(probe.find("video"), std::string::npos) << name << ": " << probe;
    }
    EXPECT_EQ(TIniStore(settingsFile).ReadString("settings", "OutPutDir", "<none>"), before);
}

// Ctrl-C during a conversion stops it through the engine: the output is a playable, shorter file
// and the job counts as failed.
TEST(ConvertCommand, InterruptStopsCleanly) {
    const std::string dir = testmedia::TempDir();
    const std::string source = dir + "/long.mkv";
    ASSERT_EQ(testmedia::Run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=60 -f lavfi -i "
                             "sine=duration=60 -c:v mpeg4 -c:a pcm_s16le " +
                             testmedia::Quote(source)),
              0);
    fs::copy_file(DataFile("quillmar.ini"), dir + "/quillmar.ini");
    const std::string out = dir + "/out";
    const std::string script =
        testmedia::Quote(testmedia::CliPath()) + " convert --settings " + testmedia::Quote(dir + "/quillmar.ini") +
        " --output-dir " + testmedia::Quote(out) + " " + testmedia::Quote(source) + " 2>" + testmedia::Quote(dir + "/err") +
        " & pid=$!; for i in $(seq 1 600); do grep -q '%' " + testmedia::Quote(dir + "/err") +
        " && break; sleep 0.05; done; kill -INT $pid; wait $pid; echo status=$?";
    std::string text;
    testmedia::Run("bash -c " + testmedia::Quote(script), &text);
    EXPECT_NE(text.find("failed: " + source + ": stopped before the end"), std::string::npos) << text;
    EXPECT_NE(text.find("status=1"), std::string::npos) << text;

    std::string duration;
    ASSERT_EQ(testmedia::Run("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                 testmedia::Quote(out + "/long_(new).mp4"),
                             &duration),
              0);
    const double seconds = std::stod(duration);
    EXPECT_GT(seconds, 0.0);
    EXPECT_LT(seconds, 59.0);
}

TEST(BatchControl, StartWithoutCheckedRowsWarnsAndQueuesNothing) {
    const std::string dir = testmedia::TempDir();
    TAppSettings settings(dir + "/quillmar.ini");
    const TIniStore formats(DataFile("quillmarformat.ini"));
    TRecordingPrompt prompt;
    TRecordingView view;
    ZAReravIRE engine;
    TJobList jobs(engine, settings.Store(), formats, [](const std::string& s, const std::string&) { return s; });
    ASSERT_EQ(jobs.Add({testmedia::Fixture("av.mp4")}, ""), 1);
    jobs.UncheckAll();
    TBatchControl batch(engine, jobs, settings, formats, prompt, view);
    EXPECT_FALSE(batch.Start());
    EXPECT_EQ(prompt.boxes, (std::vector<std::string>{"Warning|Please select a file by clicking the check box!"}));
    EXPECT_TRUE(batch.TaskRows().empty());
    EXPECT_EQ(engine.TaskCount(), 0);
}

}  // namespace
