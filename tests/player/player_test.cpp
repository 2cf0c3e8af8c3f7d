// The player end to end with SDL's dummy audio driver and a recording video sink: playing to
// the end, positions against elapsed time, start paused, pause and resume, seeking, audio-only
// and undecodable-video files, the picture on screen, the hook, the aspect rules, and Stop while
// the read thread is blocked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "engine/FFmpegLogger.h"
#include "engine/MainThread.h"
#include "player/FFPlayer.h"
#include "support/TestMedia.h"
#include "tests/player/TsanSuppressions.h"

extern "C" const char* __tsan_default_suppressions() { return kLibraryRaceSuppressions; }

namespace {

using Clock = std::chrono::steady_clock;

// A ThreadSanitizer build decodes several times slower: pictures come too late to be shown,
// so the checks of pace and picture counts only hold in a normal build.
#ifdef __SANITIZE_THREAD__
constexpr bool kPaceChecks = false;
#else
constexpr bool kPaceChecks = true;
#endif

// Installs a queue dispatcher served by the test's thread, so events arrive as in the GUI.
class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "dummy", 0);  // no sound card needed unless a driver is named
        dispatcher_ = std::make_shared<TQueueDispatcher>();
        SetMainThreadDispatcher(dispatcher_);
        ASSERT_TRUE(player_.LoadLibraries("")) << player_.LastErrorMessage();
        player_.SetOnState([this](TFFBaseComponent*, TPlayState s) {
            std::lock_guard lock(mutex_);
            states_.push_back(s);
        });
        player_.SetOnPosition([this](TFFBaseComponent*, int64_t us) {
            std::lock_guard lock(mutex_);
            positions_.push_back({Clock::now(), us, player_.AudioDevicePlayedUs()});
        });
    }
    void TearDown() override {
        player_.Stop(true);
        SetMainThreadDispatcher(nullptr);
    }

    bool Serve(const std::function<bool()>& pred, int timeoutMs = 15000) { return dispatcher_->ServeUntil(pred, timeoutMs); }
    void ServeFor(int ms) { dispatcher_->ServeUntil([] { return false; }, ms); }
    bool HasState(TPlayState s) {
        std::lock_guard lock(mutex_);
        return std::find(states_.begin(), states_.end(), s) != states_.end();
    }
    std::vector<TPlayState> States() {
        std::lock_guard lock(mutex_);
        return states_;
    }
public:
    struct Pos {
        Clock::time_point when;
        int64_t us;
        int64_t deviceUs;  // sound taken by the audio device by then
    };

protected:
    std::vector<Pos> Positions() {
        std::lock_guard lock(mutex_);
        return positions_;
    }
    void ClearPositions() {
        std::lock_guard lock(mutex_);
        positions_.clear();
    }
    int64_t LastPosition() {
        std::lock_guard lock(mutex_);
        return positions_.empty() ? -1 : positions_.back().us;
    }

    std::shared_ptr<TQueueDispatcher> dispatcher_;
    TFFPlayer player_;
    std::mutex mutex_;
    std::vector<TPlayState> states_;
    std::vector<Pos> positions_;
};

// Least-squares slope of reported media time against wall time (or the audio device's time),
// over positions in [fromUs, toUs].
double PositionSlope(const std::vector<PlayerTest::Pos>& ps, int64_t fromUs, int64_t toUs, bool deviceTime, int& used) {
    std::vector<std::pair<double, double>> pts;
    for (const auto& p : ps)
        if (p.us >= fromUs && p.us <= toUs) {
            const double x = deviceTime ? p.deviceUs / 1e6 : std::chrono::duration<double>(p.when - ps.front().when).count();
            pts.push_back({x, p.us / 1e6});
        }
    used = static_cast<int>(pts.size());
    if (pts.size() < 2) return 0;
    double mx = 0, my = 0;
    for (auto [x, y] : pts) mx += x, my += y;
    mx /= pts.size();
    my /= pts.size();
    double sxy = 0, sxx = 0;
    for (auto [x, y] : pts) sxy += (x - mx) * (y - my), sxx += (x - mx) * (x - mx);
    return sxx > 0 ? sxy / sxx : 0;
}

// av.avi with its video's four-character code replaced by one no decoder knows.
std::string UndecodableVideoFile() {
    const std::string out = testmedia::FixtureDir() + "/undecodable-video.avi";
    if (std::filesystem::exists(out)) return out;
    std::ifstream in(testmedia::Fixture("av.avi"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t at = bytes.find("FMP4"); at != std::string::npos; at = bytes.find("FMP4", at)) bytes.replace(at, 4, "QZQZ");
    const std::string tmp = out + ".tmp" + std::to_string(getpid());
    std::ofstream(tmp, std::ios::binary) << bytes;
    std::filesystem::rename(tmp, out);
    return out;
}

struct PlayCase {
    const char* name;
    std::function<std::string()> file;
    int frameWidth, frameHeight;  // as OnFileOpen reports them
    bool waveform;                // the sink shows the sound's waveform
    int deviceChannels;           // 0: no audio
    bool disableAudio = false;
};

TEST_F(PlayerTest, PlaysToEndWithPositionFollowingElapsedTime) {
    const PlayCase cases[] = {
        {"video and audio", [] { return testmedia::Fixture("av.mp4"); }, 320, 240, false, 2},
        {"audio only", [] { return testmedia::Fixture("audio.wav"); }, -1, -1, true, 2},
        {"six channels open stereo", [] { return testmedia::Fixture("6ch.mkv"); }, 320, 240, false, 2},
        {"undecodable video plays its sound", UndecodableVideoFile, -1, -1, true, 2},
        {"audio disabled", [] { return testmedia::Fixture("av.mp4"); }, 320, 240, false, 0, true},
    };
    for (const PlayCase& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(mutex_);
            states_.clear();
            positions_.clear();
        }
        int reportedW = 0, reportedH = 0;
        int64_t reportedDuration = 0;
        player_.SetOnFileOpen([&](TFFBaseComponent*, int64_t d, int w, int h, int&, int&) {
            reportedDuration = d;
            reportedW = w;
            reportedH = h;
        });
        TRecordingVideoSink sink;
        player_.SetDisableAudio(c.disableAudio);
        const std::string file = c.file();
        ASSERT_TRUE(player_.Open(file, &sink)) << player_.LastErrorMessage();
        EXPECT_EQ(reportedW, c.frameWidth);
        EXPECT_EQ(reportedH, c.frameHeight);
        EXPECT_GT(reportedDuration, 900000);
        EXPECT_EQ(player_.AudioDeviceChannels(), c.deviceChannels);
        EXPECT_TRUE(player_.Probe().IsOpen());
        ASSERT_TRUE(Serve([&] { return HasState(psEnd); })) << "no psEnd";
        player_.Stop(true);
        EXPECT_FALSE(player_.Probe().IsOpen());
        const std::vector<TPlayState> states = States();
        ASSERT_GE(states.size(), 3u);
        EXPECT_EQ(states.front(), psPlay);
        EXPECT_EQ(states.back(), psStop);

        const auto ps = Positions();
        ASSERT_FALSE(ps.empty());
        EXPECT_NEAR(static_cast<double>(ps.back().us), static_cast<double>(reportedDuration), 60000);
        const int64_t end = 1800000;
        int used = 0;
        if (!kPaceChecks) {
        } else if (c.deviceChannels > 0) {
            // The sound is the master clock: positions follow what the device has played. The
            // dummy device itself runs behind the wall clock on a loaded machine (SDL sleeps a
            // whole buffer's time after each callback), hence the looser bound there.
            EXPECT_NEAR(PositionSlope(ps, 150000, end, true, used), 1.0, 0.05) << "media time per device time";
            EXPECT_GE(used, 10);
            const double wall = PositionSlope(ps, 150000, end, false, used);
            EXPECT_GT(wall, 0.7) << "media time per wall time";
            EXPECT_LT(wall, 1.05) << "media time per wall time";
        } else {
            EXPECT_NEAR(PositionSlope(ps, 150000, end, false, used), 1.0, 0.05) << "media time per wall time";
            EXPECT_GE(used, 10);
        }
        for (size_t i = 1; i < ps.size(); ++i) EXPECT_GE(ps[i].us, ps[i - 1].us) << "position went back at " << i;

        const auto shown = sink.Shown();
        ASSERT_FALSE(shown.empty());
        if (c.waveform) {
            // 640 x 480 area, white bars on black.
            EXPECT_EQ(shown.back().width, 640);
            EXPECT_EQ(shown.back().height, 480);
            EXPECT_EQ(shown.back().ptsUs, -1);
            EXPECT_EQ(shown[shown.size() / 2].maxLuma, 235);
            const TYuvPicture last = sink.LastPicture();
            EXPECT_EQ(last.y[0], 16);
        } else {
            EXPECT_EQ(shown.back().width, c.frameWidth & ~1);
            EXPECT_EQ(shown.back().height, c.frameHeight & ~1);
            if (kPaceChecks) {
                EXPECT_GE(shown.size(), 15u);
            }
        }
    }
    player_.SetDisableAudio(false);
}

TEST_F(PlayerTest, StartPausedShowsFirstPictureThenResumes) {
    TRecordingVideoSink sink;
    ASSERT_TRUE(player_.Open(testmedia::Fixture("av.mp4"), &sink, true));
    ASSERT_TRUE(Serve([&] { return HasState(psPause); }));
    EXPECT_EQ(States(), (std::vector<TPlayState>{psPlay, psPause}));
    ServeFor(500);
    EXPECT_LE(LastPosition(), 80000) << "played while paused";
    const auto shown = sink.Shown();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front().ptsUs, 0);
    EXPECT_LE(shown.size(), 2u);

    int64_t pts = -2;
    TBitmap24 frame = player_.CurrentFrame(&pts);
    EXPECT_EQ(frame.Width(), 320);
    EXPECT_EQ(frame.Height(), 240);
    EXPECT_EQ(pts, shown.back().ptsUs);

    player_.Resume();
    ASSERT_TRUE(Serve([&] { return HasState(psEnd); }));
    const auto states = States();
    EXPECT_EQ(states[2], psResume);
    player_.Stop(true);  // before the sink goes
}

TEST_F(PlayerTest, PauseAndResumeContinueWithoutJump) {
    for (const char* name : {"av.mp4", "audio.wav"}) {
        SCOPED_TRACE(name);
        TRecordingVideoSink sink;
        ASSERT_TRUE(player_.Open(testmedia::Fixture(name), &sink));
        ASSERT_TRUE(Serve([&] { return LastPosition() >= 500000; }));
        player_.Pause();
        ServeFor(100);
        const int64_t atPause = player_.Position();
        ServeFor(600);
        EXPECT_LE(std::llabs(player_.Position() - atPause), 30000) << "moved while paused";
        ClearPositions();
        const auto resumed = Clock::now();
        player_.Resume();
        ServeFor(300);
        const auto ps = Positions();
        ASSERT_FALSE(ps.empty());
        for (const auto& p : ps) {
            const double since = std::chrono::duration<double>(p.when - resumed).count();
            EXPECT_GE(p.us, atPause - 30000);
            EXPECT_LE(p.us, atPause + static_cast<int64_t>(since * 1e6) + 100000) << "jumped after resume";
        }
        EXPECT_GE(ps.back().us, atPause + 100000) << "did not continue";
        const auto states = States();
        EXPECT_NE(std::find(states.begin(), states.end(), psPause), states.end());
        EXPECT_NE(std::find(states.begin(), states.end(), psResume), states.end());
        player_.Stop(true);
    }
}

TEST_F(PlayerTest, SeekToStartRestartsAndNeverShowsOldPictures) {
    for (bool wait : {false, true}) {
        SCOPED_TRACE(wait ? "wait" : "no wait");
        TRecordingVideoSink sink;
        ASSERT_TRUE(player_.Open(testmedia::Fixture("av.mp4"), &sink));
        ASSERT_TRUE(Serve([&] { return LastPosition() >= 1200000; }));
        ClearPositions();
        player_.Seek(4, wait, 0);
        const size_t shownAtSeek = sink.ShownCount();
        const int64_t restarted = kPaceChecks ? 300000 : 1000000;
        ASSERT_TRUE(Serve([&] { return LastPosition() >= 0 && LastPosition() < restarted; })) << "did not restart";
        ASSERT_TRUE(Serve([&] { return LastPosition() >= 700000; }));
        const auto shown = sink.Shown();
        // With wait the seek is done when Seek returns: nothing shown later may be older than it.
        // Without wait, pictures shown before the read thread performed it are allowed, but
        // once the new start is on screen no older picture follows.
        size_t first = shownAtSeek;
        if (!wait) {
            while (first < shown.size() && shown[first].ptsUs > restarted) ++first;
        }
        ASSERT_LT(first, shown.size());
        EXPECT_LT(shown[first].ptsUs, restarted);
        for (size_t i = first + 1; i < shown.size(); ++i)
            EXPECT_GE(shown[i].ptsUs, shown[i - 1].ptsUs) << "picture " << i << " is from before the seek";
        player_.Stop(true);
    }
}

TEST_F(PlayerTest, CurrentFrameHasVideoSizeAndNothingWithoutVideo) {
    struct Case {
        const char* file;
        int width, height;
    } cases[] = {{"oddsize.mkv", 175, 97}, {"av.mp4", 320, 240}, {"audio.wav", 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        TRecordingVideoSink sink;
        ASSERT_TRUE(player_.Open(testmedia::Fixture(c.file), &sink, true));
        ASSERT_TRUE(Serve([&] { return HasState(psPause); }));
        ServeFor(200);
        int64_t pts = -2;
        const TBitmap24 bmp = player_.CurrentFrame(&pts);
        EXPECT_EQ(bmp.Width(), c.width);
        EXPECT_EQ(bmp.Height(), c.height);
        if (c.width == 0) {
            EXPECT_EQ(pts, -1);
        } else {
            EXPECT_GE(pts, 0);
            // The test pattern is colourful: the middle row is not black.
            int sum = 0;
            for (int x = 0; x < bmp.Width() * 3; ++x) sum += bmp.Bits()[(bmp.Height() / 2) * bmp.Stride() + x];
            EXPECT_GT(sum, bmp.Width() * 3 * 20);
            // An odd width leaves its last column black (the picture on screen is even-sized).
            if (c.width % 2) {
                EXPECT_EQ(bmp.Bits()[(bmp.Height() / 2) * bmp.Stride() + (c.width - 1) * 3], 0);
            }
        }
        player_.Stop(true);
        {
            std::lock_guard lock(mutex_);
            states_.clear();
        }
    }
    EXPECT_EQ(player_.CurrentFrame().Width(), 0);
}

TEST_F(PlayerTest, AspectRulesPlaceThePictureInTheArea) {
    struct Case {
        float ratio;
        TDisplayRect rect;
    } cases[] = {{0, {160, 0, 320, 240}}, {-1, {0, 0, 640, 240}}, {2, {80, 0, 480, 240}}, {1, {200, 0, 240, 240}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ratio);
        TRecordingVideoSink sink(640, 240);  // the host window's client size
        player_.SetAspectRatio(c.ratio);
        ASSERT_TRUE(player_.Open(testmedia::Fixture("av.mp4"), &sink, true));
        ASSERT_TRUE(Serve([&] { return sink.ShownCount() > 0; }));
        EXPECT_EQ(sink.AreaSizes().front(), std::make_pair(640, 240));
        EXPECT_EQ(sink.Shown().front().rect, c.rect);
        player_.Stop(true);
    }
    player_.SetAspectRatio(0);
}

TEST_F(PlayerTest, FileOpenHandlerSetsTheAreaSize) {
    player_.SetOnFileOpen([](TFFBaseComponent*, int64_t, int, int, int& w, int& h) {
        w = 320;
        h = 240;
    });
    TRecordingVideoSink sink(800, 600);
    ASSERT_TRUE(player_.Open(testmedia::Fixture("audio.wav"), &sink));
    ASSERT_TRUE(Serve([&] { return sink.ShownCount() > 2; }));
    EXPECT_EQ(sink.AreaSizes().front(), std::make_pair(320, 240));
    EXPECT_EQ(sink.Shown().back().width, 320);
    EXPECT_EQ(player_.ScreenWidth(), 320);
    player_.Stop(true);  // before the sink goes
}

TEST_F(PlayerTest, HookDrawsOnEveryPictureAndItsErrorsAreLogged) {
    std::mutex logMutex;
    std::vector<std::string> logged;
    TFFLogger::Instance().SetTriggerEventInMainThread(false);
    TFFLogger::Instance().SetOnLog([&](TFFBaseComponent*, uint32_t, TLogLevel level, const std::string& msg) {
        std::lock_guard lock(logMutex);
        if (level == llError) logged.push_back(msg);
    });
    std::atomic<int> calls{0};
    std::atomic<bool> wrongThread{false};
    const auto mainThread = std::this_thread::get_id();
    player_.SetHook(true);
    player_.SetOnHook([&](TFFBaseComponent*, const TBitmapView& bmp, int64_t) {
        if (std::this_thread::get_id() == mainThread) wrongThread = true;
        if (++calls == 3) throw FFmpegException("drawing failed");
        // A white top-left block.
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32 * 3; ++x) bmp.Row(y)[x] = 255;
    });
    TRecordingVideoSink sink;
    ASSERT_TRUE(player_.Open(testmedia::Fixture("av.mp4"), &sink));
    ASSERT_TRUE(Serve([&] { return sink.ShownCount() >= 5; }));
    player_.Stop(true);
    TFFLogger::Instance().SetOnLog(nullptr);
    TFFLogger::Instance().SetTriggerEventInMainThread(true);
    EXPECT_GE(calls.load(), 5);
    EXPECT_FALSE(wrongThread.load());
    const TYuvPicture last = sink.LastPicture();
    EXPECT_GE(last.y[5 * last.width + 5], 230);  // drawn white shows (studio white 235)
    std::lock_guard lock(logMutex);
    EXPECT_NE(std::find(logged.begin(), logged.end(), "Error occurs OnHook: drawing failed"), logged.end());
}

TEST_F(PlayerTest, OpenFailuresSayWhy) {
    const std::string missing = testmedia::TempDir() + "/missing.mp4";
    struct Case {
        std::string file;
        std::string error;
    } cases[] = {
        {missing, missing + ": No such file or directory"},
        {testmedia::Fixture("random.bin"), testmedia::Fixture("random.bin") + ": Invalid data found when processing input"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(player_.Open(c.file, nullptr));
        EXPECT_EQ(player_.LastErrorMessage(), c.error);
        EXPECT_FALSE(player_.Playing());
    }
    EXPECT_FALSE(HasState(psPlay));
}

// A pipe that gets part of a transport stream and then nothing: the read thread blocks in the
// system. Stop with wait re-posts its quit request, then closes the stream itself and returns.
TEST_F(PlayerTest, StopReturnsWhileTheReadThreadIsBlocked) {
    const std::string fifo = testmedia::TempDir() + "/slow.ts";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ifstream in(testmedia::Fixture("av.ts"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0) return;
        size_t n = bytes.size() * 6 / 10 / 188 * 188;
        const char* p = bytes.data();
        while (n > 0) {
            const ssize_t w = write(fd, p, n);
            if (w <= 0) break;
            p += w;
            n -= static_cast<size_t>(w);
        }
        released.wait();  // hold the pipe open with nothing more in it
        close(fd);
    });
    TRecordingVideoSink sink;
    const bool opened = player_.Open(fifo, &sink);
    if (!opened) release.set_value();
    ASSERT_TRUE(opened) << player_.LastErrorMessage();
    // Play what arrived, until the read thread waits for more.
    ASSERT_TRUE(Serve([&] { return LastPosition() >= 300000; }));
    ServeFor(1500);
    player_.Stop(true);
    EXPECT_FALSE(player_.Playing());
    EXPECT_TRUE(player_.LastStopForcedClose());
    EXPECT_EQ(player_.LastStopReposts(), 9);
    ASSERT_TRUE(Serve([&] { return HasState(psStop); }, 1000));
    release.set_value();
    writer.join();
}

TEST_F(PlayerTest, OpensAndStopsRepeatedly) {
    for (int i = 0; i < 50; ++i) {
        TRecordingVideoSink sink;
        ASSERT_TRUE(player_.Open(testmedia::Fixture(i % 2 ? "audio.wav" : "av.mp4"), &sink)) << i;
        if (i % 5 == 0) ServeFor(50);
        player_.Stop(true);
        ASSERT_FALSE(player_.Playing());
    }
    const auto states = States();
    EXPECT_EQ(std::count(states.begin(), states.end(), psStop), 50);
    EXPECT_EQ(std::count(states.begin(), states.end(), psPlay), 50);
}

}  // namespace
