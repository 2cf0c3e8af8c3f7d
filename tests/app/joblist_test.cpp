// The job list: Add's probing, skipping and record defaults, Remove's selection, Clear, checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/IniStore.h"
#include "app/JobList.h"
#include "engine/EngineComponent.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace {

class JobList : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testmedia::TempDir();
        // 2.9 seconds of sound: the list shows whole seconds, cut off.
        const std::string clip = dir_ + "/clip.wav";
        ASSERT_EQ(testmedia::Run("ffmpeg -v error -y -f lavfi -i anullsrc=r=8000:cl=mono -t 2.9 -c:a pcm_s16le " +
                                 testmedia::Quote(clip)),
                  0);
        for (const char* name : {"b.wav", "c.wav", "d.wav", "e.wav", "CLIP.wav"})
            fs::copy_file(clip, dir_ + "/" + name);
        std::ofstream(dir_ + "/notmedia.wav") << "this is no media file";
        fs::create_directory(dir_ + "/folder.wav");
        settings_.WriteString("settings", "FormatCode", "205");
        settings_.WriteString("formatInfo205", "parazoom", "pan");
        formats_.WriteString("formatInfo205", "FileExt", "avi");
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    TJobList MakeList() {
        return TJobList(engine_, settings_, formats_, [this](const std::string& source, const std::string& suffix) {
            return dir_ + "/out/" + fs::path(source).stem().string() + "_(new)" + suffix;
        });
    }

    std::string dir_;
    TIniStore settings_{testmedia::TempDir() + "/quillmar.ini"};
    TIniStore formats_{testmedia::TempDir() + "/quillmarformat.ini"};
    ZAReravIRE engine_;
};

TEST_F(JobList, AddProbesEachFileAndSkipsFoldersDuplicatesAndUnreadableFiles) {
    TJobList list = MakeList();
    const std::vector<std::string> chosen = {Path("clip.wav"), Path("folder.wav"), Path("clip.wav"),
                                             Path("notmedia.wav"), Path("b.wav"), Path("CLIP.wav")};
    EXPECT_EQ(list.Add(chosen, ""), 3);
    ASSERT_EQ(list.Count(), 3);
    struct Expected {
        std::string name;
        int addIndex;
    } expected[] = {{"clip", 0}, {"b", 4}, {"CLIP", 5}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].name);
        const TJobRow& row = list.Row(i);
        EXPECT_EQ(row.Caption, Path(expected[i].name + ".wav"));
        EXPECT_TRUE(row.Checked);
        EXPECT_EQ(row.Length, "2");
        EXPECT_EQ(row.TrimmedLength, "2");
        EXPECT_EQ(row.DestinationName, expected[i].name + "_(new)_ipod.avi");
        EXPECT_EQ(row.Progress, "");
        ASSERT_NE(row.Record, nullptr);
        const TlvFilesRecord& r = *row.Record;
        EXPECT_EQ(r.AddIndex, expected[i].addIndex);
        EXPECT_EQ(r.SourceFile, row.Caption);
        EXPECT_EQ(r.DestFile, dir_ + "/out/" + expected[i].name + "_(new)_ipod.avi");
        EXPECT_EQ(r.DurationSec, 2);
        EXPECT_EQ(r.Zoom, "pan");
        EXPECT_EQ(r.TrimStart, 0);
        EXPECT_EQ(r.TrimLength, 0);
        EXPECT_EQ(r.WaterFont.Name, "MS Sans Serif");
        EXPECT_EQ(r.WaterFont.Size, 8);
        EXPECT_EQ(r.ImageAlpha, 168);
        EXPECT_FALSE(r.Picture().NeedsDecoration());
    }
    EXPECT_EQ(list.Selected(), 0);
    EXPECT_EQ(engine_.TaskCount(), 0);  // the probing tasks are gone

    // A second Add of the same files adds nothing; a new one goes to the end.
    EXPECT_EQ(list.Add({Path("CLIP.wav"), Path("c.wav")}, ""), 1);
    EXPECT_EQ(list.Row(3).Caption, Path("c.wav"));
    EXPECT_EQ(list.Row(3).Record->AddIndex, 1);
}

TEST_F(JobList, AddWithoutTheFormatsSectionUsesMp4AndLetterbox) {
    settings_.WriteString("settings", "FormatCode", "2404");
    TJobList list = MakeList();
    ASSERT_EQ(list.Add({Path("clip.wav")}, ""), 1);
    EXPECT_EQ(list.Row(0).DestinationName, "clip_(new)_ipod.mp4");
    EXPECT_EQ(list.Row(0).Record->Zoom, "lbox");
}

TEST_F(JobList, AddStartsARequestedPreviewOnce) {
    TJobList list = MakeList();
    int started = 0;
    list.OnStartPreview = [&] { ++started; };
    list.PreviewRequested = true;
    list.Add({Path("clip.wav")}, "");
    list.Add({Path("b.wav")}, "");
    EXPECT_EQ(started, 1);
    EXPECT_FALSE(list.PreviewRequested);
}

TEST_F(JobList, RemoveSelectsTheRowNowInPlace) {
    TJobList list = MakeList();
    int stops = 0;
    list.OnStopPreview = [&] { ++stops; };
    ASSERT_EQ(list.Add({Path("clip.wav"), Path("b.wav"), Path("c.wav"), Path("d.wav"), Path("e.wav")}, ""), 5);

    list.Select(4);  // the last row: the new last row is selected
    list.Remove();
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Selected(), 3);
    EXPECT_EQ(list.Row(3).Caption, Path("d.wav"));

    list.Select(1);  // a middle row: its follower moves up and is selected
    list.Remove();
    EXPECT_EQ(list.Selected(), 1);
    EXPECT_EQ(list.Row(1).Caption, Path("c.wav"));

    list.Select(-1);  // nothing selected: nothing happens
    list.Remove();
    EXPECT_EQ(list.Count(), 3);

    list.Select(0);
    list.Remove();
    list.Remove();
    EXPECT_EQ(stops, 0);
    list.Remove();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Selected(), -1);
    EXPECT_EQ(list.SelectedRecord(), nullptr);
    EXPECT_EQ(stops, 1);
}

TEST_F(JobList, ClearTouchesTheEngineOnlyWithRows) {
    TJobList list = MakeList();
    int stops = 0;
    list.OnStopPreview = [&] { ++stops; };
    ASSERT_TRUE(engine_.LoadLibraries(""));
    ASSERT_GE(engine_.AddTask(Path("clip.wav")), 0);
    list.Clear();  // empty list: the engine's task stays
    EXPECT_EQ(engine_.TaskCount(), 1);
    EXPECT_EQ(stops, 0);

    ASSERT_EQ(list.Add({Path("clip.wav"), Path("b.wav")}, ""), 2);
    ASSERT_GE(engine_.AddTask(Path("clip.wav")), 0);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Selected(), -1);
    EXPECT_EQ(engine_.TaskCount(), 0);
    EXPECT_EQ(stops, 1);
}

TEST_F(JobList, CheckCommands) {
    TJobList list = MakeList();
    ASSERT_EQ(list.Add({Path("clip.wav"), Path("b.wav"), Path("c.wav")}, ""), 3);
    auto checks = [&] {
        std::string s;
        for (int i = 0; i < list.Count(); ++i) s += list.Row(i).Checked ? '1' : '0';
        return s;
    };
    EXPECT_EQ(checks(), "111");
    list.Select(1);
    list.UncheckSelected();
    EXPECT_EQ(checks(), "101");
    list.ReverseCheck();
    EXPECT_EQ(checks(), "010");
    list.Select(2);
    list.CheckSelected();
    EXPECT_EQ(checks(), "011");
    list.UncheckAll();
    EXPECT_EQ(checks(), "000");
    list.CheckAll();
    EXPECT_EQ(checks(), "111");
    list.Select(-1);
    list.UncheckSelected();
    EXPECT_EQ(checks(), "111");
}

TEST(JobRowColours, ThemeTintsAndSelection) {
    struct Case {
        int row, theme;
        bool selected, focused;
        uint32_t colour;  // 0x00BBGGRR
    } cases[] = {
        {0, 0, false, false, 0xFFFFFF},  {1, 0, false, false, 0xF6E6E2}, {3, 1, false, false, 0xECECEC},
        {1, 2, false, true, 0xE0F2F8},   {1, 6, false, false, 0xF7F0E1}, {1, 7, false, false, 0xEBEBEB},
        {1, -1, false, false, 0xEBEBEB}, {2, 0, true, true, 0xECCCB9},   {1, 0, true, false, 0xF8ECE5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.row) + "/" + std::to_string(c.theme));
        EXPECT_EQ(JobRowBackground(c.row, c.theme, c.selected, c.focused), c.colour);
    }
    EXPECT_EQ(JobRowSelectionFrame(true), 0xDAA07Au);
    EXPECT_EQ(JobRowSelectionFrame(false), 0xE2B598u);
}

}  // namespace
