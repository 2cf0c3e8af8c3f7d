// quillmar-cli engine running whole tasks: exit status, progress on stderr, Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "engine/transcode_support.h"

extern char** environ;

using namespace transcodetest;

namespace {

std::string Cli() { return testmedia::Quote(testmedia::CliPath()) + " engine "; }

TEST(TranscodeCli, CompletedTaskExitsZeroAndReportsProgress) {
    const std::string output = testmedia::TempDir() + "/out.avi";
    std::string err;
    const int rc = testmedia::Run(Cli() + "-i " + testmedia::Quote(testmedia::Fixture("av.mp4")) +
                                      " -s 160x120 -vcodec mpeg4 -acodec libmp3lame " + testmedia::Quote(output) +
                                      " 2>&1 >/dev/null",
                                  &err);
    EXPECT_EQ(rc, 0) << err;
    EXPECT_NE(err.find("done: frame=   50 "), std::string::npos) << err;
    EXPECT_NE(err.find("time=00:00:02.000"), std::string::npos) << err;
    const TFileFacts out = Probe(output);
    ASSERT_TRUE(out.readable);
    EXPECT_EQ(out.Stream("video")->width, 160);
}

TEST(TranscodeCli, FailuresExitNonZeroWithTheMessage) {
    struct Case {
        std::string args;
        std::string message;
    };
    const std::string dir = testmedia::TempDir();
    const std::string input = testmedia::Quote(testmedia::Fixture("av.mp4"));
    const Case cases[] = {
        {"-i " + input + " -map 0.3 -map 0.1 " + dir + "/a.mkv", "Could not find input stream #0.3"},
        {"-i " + dir + "/missing.mp4 " + dir + "/b.mkv", "missing.mp4: "},
        {"-i " + input + " -vcodec nosuch " + dir + "/c.mkv", "new_video_stream fail: Unknown encoder 'nosuch'"},
        {"-i " + input, "At least one output file must be specified"},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_EQ(testmedia::Run(Cli() + c.args + " 2>&1 >/dev/null", &err), 1) << c.args;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir));  // no empty outputs left behind
}

// Ctrl-C while the task runs (read at the input's own rate): the output is finished properly.
TEST(TranscodeCli, InterruptStopsWithAPlayableFile) {
    const std::string dir = testmedia::TempDir();
    const std::string source = MakeMedia(
        dir, "long.mkv",
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=20 -f lavfi -i sine=duration=20 -c:v mpeg4 -c:a libvorbis");
    const std::string output = dir + "/stopped.mkv";
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const std::string cli = testmedia::CliPath();
    std::vector<std::string> args = {cli, "engine", "-re", "-i", source, "-vcodec", "mpeg4", "-acodec", "libvorbis", output};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);

    // Wait for a progress line past one second of output, then interrupt.
    std::string err;
    bool interrupted = false;
    char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) {
        err.append(buf, static_cast<size_t>(n));
        if (!interrupted && err.find("time=00:00:01.") != std::string::npos) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(interrupted) << err;
    ASSERT_TRUE(WIFEXITED(status)) << "the interrupt killed the program instead of stopping the task";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(err.find("Stopped before the end"), std::string::npos) << err;
    const TFileFacts out = Probe(output);
    ASSERT_TRUE(out.readable);
    EXPECT_GE(out.duration, 1.0);
    EXPECT_LT(out.duration, 19.0);
    EXPECT_TRUE(DecodesCleanly(output));
}

}  // namespace
