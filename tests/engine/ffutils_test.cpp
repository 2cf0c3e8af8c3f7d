#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"
#include "engine/MainThread.h"
#include "engine/Types.h"

extern "C" {
#include <libavutil/error.h>
}

TEST(FFUtils, MediaTimeText) {
    struct Case { int64_t us; const char* text; };
    const Case cases[] = {
        {kNoTimestamp, "N/A"},
        {0, "00:00:00.000"},
        {1999, "00:00:00.001"},
        {61'234'000, "00:01:01.234"},
        {25LL * 3600 * 1000000 + 5'000'000, "25:00:05.000"},  // hours are not wrapped
    };
    for (const Case& c : cases) EXPECT_EQ(MediaTimeText(c.us), c.text) << c.us;
}

TEST(FFUtils, LibraryErrorTextByMeaning) {
    struct Case { int code; const char* text; };
    const Case cases[] = {
        {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
        {AVERROR(EPROTONOSUPPORT), "Unsupported network protocol"},
        {AVERROR(EILSEQ), "Unknown format"},
        {AVERROR(EDOM), "Number syntax expected in filename"},
        {AVERROR(EPIPE), "End of file"},
        {AVERROR_EOF, "End of file"},
        {AVERROR(EINVAL), "Invalid data found when processing input"},
        {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
        {AVERROR(ENOMEM), "Not enough memory"},
        {AVERROR(EIO), "I/O error"},
        {AVERROR(ENOENT), "No such file or directory"},
        {-123456, "Error number -123456 occurred"},
    };
    for (const Case& c : cases) EXPECT_EQ(LibraryErrorText("a.mp4", c.code), std::string("a.mp4: ") + c.text);
}

TEST(MainThread, QueueDispatcherRunsWorkerCallsOnOwner) {
    TQueueDispatcher d;
    const auto owner = std::this_thread::get_id();
    std::atomic<bool> ranOnOwner{false}, done{false};
    std::thread worker([&] {
        d.CallInMainThread([&] { ranOnOwner = std::this_thread::get_id() == owner; });
        done = true;
    });
    EXPECT_TRUE(d.ServeUntil([&] { return done.load(); }, 10000));
    worker.join();
    EXPECT_TRUE(ranOnOwner);
}
