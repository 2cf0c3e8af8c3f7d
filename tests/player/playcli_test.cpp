// quillmar-cli play: its lines and exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "support/TestMedia.h"
#include "tests/player/TsanSuppressions.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// For a ThreadSanitizer build of the program (other builds ignore it).
std::string SuppressionsFile() {
    static const std::string path = [] {
        const std::string p = testmedia::TempDir() + "/tsan.supp";
        std::ofstream(p) << kLibraryRaceSuppressions;
        return p;
    }();
    return path;
}

int Play(const std::string& args, std::vector<std::string>& lines, std::string* err = nullptr) {
    std::string out;
    const int rc = testmedia::Run("SDL_AUDIODRIVER=dummy TSAN_OPTIONS=suppressions=" + SuppressionsFile() + " " + testmedia::Quote(testmedia::CliPath()) + " play " + args +
                                      (err ? " 2>&1" : " 2>/dev/null"),
                                  &out);
    if (err) *err = out;
    lines = Lines(out);
    return rc;
}

TEST(PlayCommand, PrintsStatesAndPositionsUntilTheEnd) {
    std::vector<std::string> lines;
    ASSERT_EQ(Play(testmedia::Quote(testmedia::Fixture("audio.wav")) + " --volume 64", lines), 0);
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines.front(), "psPlay");
    EXPECT_EQ(lines[lines.size() - 2], "psEnd");
    EXPECT_EQ(lines.back(), "psStop");
    const std::regex time(R"(\d\d:\d\d:\d\d\.\d\d\d)");
    int positions = 0;
    for (size_t i = 1; i + 2 < lines.size(); ++i) {
        if (lines[i] == "psEnd") continue;  // repeated while a file without video stays at its end
        EXPECT_TRUE(std::regex_match(lines[i], time)) << lines[i];
        ++positions;
    }
    EXPECT_GE(positions, 20);
    EXPECT_EQ(lines[lines.size() - 3], "00:00:02.000");
}

TEST(PlayCommand, StartPausedSeekAndWallTimeLimit) {
    std::vector<std::string> lines;
    ASSERT_EQ(Play(testmedia::Quote(testmedia::Fixture("av.mp4")) + " --start-paused --seek 1 --for 0.5 --mute", lines), 0);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "psPlay");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "psPause"), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "psEnd"), lines.end());
    EXPECT_EQ(lines.back(), "psStop");
}

TEST(PlayCommand, FailsOnlyWhenTheFileCannotBeOpened) {
    std::vector<std::string> lines;
    std::string err;
    const std::string missing = testmedia::TempDir() + "/none.wav";
    EXPECT_EQ(Play(testmedia::Quote(missing), lines, &err), 1);
    EXPECT_NE(err.find(missing + ": No such file or directory"), std::string::npos) << err;
    EXPECT_EQ(Play("--volume", lines), 2);
}

}  // namespace
