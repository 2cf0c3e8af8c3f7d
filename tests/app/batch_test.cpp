// Destination naming of a batch.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/GlobalUnit.h"
#include "app/OutputNames.h"
#include "app/ParameterLists.h"
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

}  // namespace
