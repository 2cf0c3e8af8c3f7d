// quillmar-cli info, end to end: what it reports agrees with the ffprobe tool, and files that
// cannot be opened fail cleanly.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

#include "support/TestMedia.h"

namespace {

struct Result {
    int status;
    std::string out, err;
};

Result RunInfo(const std::vector<std::string>& files) {
    std::string cmd = testmedia::Quote(testmedia::CliPath()) + " info";
    for (const std::string& f : files) cmd += " " + testmedia::Quote(f);
    const std::string errFile = testmedia::TempDir() + "/stderr.txt";
    Result r;
    r.status = testmedia::Run(cmd + " 2>" + testmedia::Quote(errFile), &r.out);
    std::ifstream in(errFile);
    r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
}

// What both tools say about one file: the duration in whole milliseconds (-1 when not shown)
// and the codec of each stream in index order.
struct Facts {
    long long durationMs = -1;
    std::vector<std::string> codecs;
};

Facts FromInfoText(const std::string& text) {
    Facts f;
    std::istringstream in(text);
    std::string line;
    const std::regex duration(R"(^Duration: (\d+):(\d\d):(\d\d)\.(\d\d\d)$)");
    const std::regex stream(R"(^Stream #(\d+)[^:]*: \w+: ([^ ,]+))");
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, duration))
            f.durationMs = ((std::stoll(m[1]) * 60 + std::stoll(m[2])) * 60 + std::stoll(m[3])) * 1000 + std::stoll(m[4]);
        else if (std::regex_search(line, m, stream)) {
            EXPECT_EQ(std::stoul(m[1]), f.codecs.size()) << line;
            f.codecs.push_back(m[2]);
        }
    }
    return f;
}

Facts FromFfprobe(const std::string& file) {
    std::string out;
    // Streams of a program are listed twice (in the program and on their own): key them by index.
    const int rc = testmedia::Run("ffprobe -v error -show_entries stream=index,codec_name:format=duration -of default=nw=1 " +
                                      testmedia::Quote(file),
                                  &out);
    EXPECT_EQ(rc, 0) << file;
    Facts f;
    std::istringstream in(out);
    std::string line;
    std::smatch m;
    const std::regex duration(R"(^duration=(\d+)\.(\d{6})$)");
    std::map<int, std::string> codecs;
    int index = -1;
    while (std::getline(in, line)) {
        if (line.rfind("index=", 0) == 0)
            index = std::stoi(line.substr(6));
        else if (line.rfind("codec_name=", 0) == 0)
            codecs[index] = line.substr(11);
        else if (std::regex_match(line, m, duration))
            f.durationMs = std::stoll(m[1]) * 1000 + std::stoll(m[2]) / 1000;
    }
    for (const auto& [i, codec] : codecs) {
        EXPECT_EQ(static_cast<size_t>(i), f.codecs.size()) << file;
        f.codecs.push_back(codec);
    }
    return f;
}

}  // namespace

TEST(InfoCli, AgreesWithFfprobe) {
    const char* const fixtures[] = {"av.mp4", "av.mkv",    "av.avi",    "av.mov",   "av.ts",   "av.flv",
                                    "av.ogg", "av.webm",   "audio.wav", "audio.mp3", "meta.mkv", "odd.mkv"};
    for (const char* name : fixtures) {
        const std::string file = testmedia::Fixture(name);
        const Result r = RunInfo({file});
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        const Facts ours = FromInfoText(r.out);
        const Facts theirs = FromFfprobe(file);
        EXPECT_GT(theirs.durationMs, 0) << name;
        EXPECT_EQ(ours.durationMs, theirs.durationMs) << name;
        EXPECT_FALSE(theirs.codecs.empty()) << name;
        EXPECT_EQ(ours.codecs, theirs.codecs) << name << "\n" << r.out;
    }
}

TEST(InfoCli, UnreadableFilesFailWithTheReasonOnStderr) {
    const std::string missing = testmedia::TempDir() + "/missing.mkv";
    struct Case {
        std::string file, firstLine;
    };
    const Case cases[] = {
        {testmedia::Fixture("truncated.mp4"), testmedia::Fixture("truncated.mp4") + ": Invalid data found when processing input"},
        {testmedia::Fixture("random.bin"), testmedia::Fixture("random.bin") + ": Invalid data found when processing input"},
        {missing, missing + ": No such file or directory"},
    };
    for (const Case& c : cases) {
        const Result r = RunInfo({c.file});
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.out, "") << c.file;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.firstLine);
        // Anything after the reason is the libraries' explanation, indented under it.
        std::istringstream rest(r.err.substr(r.err.find('\n') + 1));
        for (std::string line; std::getline(rest, line);) EXPECT_EQ(line.rfind("  ", 0), 0u) << line;
    }
    // The container library says why the truncated file is unreadable.
    EXPECT_NE(RunInfo({testmedia::Fixture("truncated.mp4")}).err.find("\n  moov atom not found"), std::string::npos);
}

TEST(InfoCli, GoesOnAfterAFailedFile) {
    const std::string good1 = testmedia::Fixture("audio.wav"), bad = testmedia::Fixture("random.bin"),
                      good2 = testmedia::Fixture("odd.mkv");
    const Result r = RunInfo({good1, bad, good2});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("File Name: " + good1 + "\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n\nFile Name: " + good2 + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(bad), std::string::npos);
    EXPECT_EQ(r.err.rfind(bad + ": Invalid data found when processing input\n", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find(good1), std::string::npos) << r.err;

    const Result ok = RunInfo({good1, good2});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.err, "");

    EXPECT_EQ(RunInfo({}).status, 2);
}
