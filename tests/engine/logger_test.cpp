#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"
#include "engine/MainThread.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

struct Delivered {
    TFFBaseComponent* sender;
    uint32_t threadId;
    TLogLevel level;
    std::string msg;
};

// Collects what OnLog receives; restores the logger afterwards.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        TFFLogger& logger = TFFLogger::Instance();
        savedLevel_ = logger.LogLevel();
        logger.HookLibraryLog();
        logger.SetTriggerEventInMainThread(false);
        logger.SetOnLog([this](TFFBaseComponent* s, uint32_t t, TLogLevel l, const std::string& m) {
            std::lock_guard lock(mutex_);
            got_.push_back({s, t, l, m});
        });
    }
    void TearDown() override {
        TFFLogger& logger = TFFLogger::Instance();
        logger.SetOnLog({});
        logger.SetTriggerEventInMainThread(true);
        logger.SetLogLevel(savedLevel_);
        SetMainThreadDispatcher(nullptr);
    }
    std::vector<Delivered> Got() {
        std::lock_guard lock(mutex_);
        return got_;
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const Delivered& d : Got()) out.push_back(d.msg);
        return out;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        got_.clear();
    }

    TFFBaseComponent sender_;

private:
    TLogLevel savedLevel_ = llInfo;
    std::mutex mutex_;
    std::vector<Delivered> got_;
};

// An object the libraries can log with: its first member is its class.
struct ClassedObject {
    const AVClass* cls;
};
const AVClass kTestClass = [] {
    AVClass c{};
    c.class_name = "TestClass";
    c.item_name = av_default_item_name;
    c.version = LIBAVUTIL_VERSION_INT;
    return c;
}();

}  // namespace

TEST_F(LoggerTest, LevelTestForEngineMessages) {
    struct Case {
        TLogLevel setting;
        TLogLevel message;
        bool delivered;
    };
    const Case cases[] = {
        {llError, llWarning, false}, {llError, llVerbose, true}, {llError, llQuiet, true},
        {llError, llError, true},    {llError, llDebug, false},  {llQuiet, llVerbose, false},
        {llQuiet, llQuiet, true},    {llInfo, llInfo, true},     {llDebug, llDebug, true},
    };
    TFFLogger& logger = TFFLogger::Instance();
    for (const Case& c : cases) {
        Clear();
        logger.SetLogLevel(c.setting);
        logger.Log(&sender_, c.message, "plain");
        logger.LogFmt(&sender_, c.message, "formatted %d", 7);
        EXPECT_EQ(Got().size(), c.delivered ? 2u : 0u) << c.setting << " " << c.message;
    }
    logger.SetOnLog({});
    EXPECT_FALSE(logger.Passes(llQuiet));  // nothing passes without a handler
}

TEST_F(LoggerTest, DeliversSenderThreadLevelAndFullText) {
    TFFLogger& logger = TFFLogger::Instance();
    logger.SetLogLevel(llInfo);
    const std::string longText(5000, 'x');
    logger.LogFmt(&sender_, llWarning, "%s|%s", "a", longText.c_str());
    const std::vector<Delivered> got = Got();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].sender, &sender_);
    EXPECT_EQ(got[0].threadId, CurrentThreadID());
    EXPECT_EQ(got[0].level, llWarning);
    EXPECT_EQ(got[0].msg, "a|" + longText);
    const TLogInfo last = logger.LastLogInfo();
    EXPECT_EQ(last.Sender, &sender_);
    EXPECT_EQ(last.LogLevel, llWarning);
    EXPECT_EQ(last.LogMsg, got[0].msg);
}

TEST_F(LoggerTest, LevelNumbersAndNames) {
    struct Case {
        const char* text;
        TLogLevel level;
    };
    const Case cases[] = {
        {"Warning", llWarning}, {"QUIET", llQuiet}, {"debug", llDebug}, {"info", llInfo},
        {"20", llError},        {"-8", llQuiet},    {"48", llDebug},    {"100", llDebug},
        {"-100", llQuiet},      {"7", llPanic},     {"8", llFatal},
    };
    TFFLogger& logger = TFFLogger::Instance();
    for (const Case& c : cases) {
        logger.SetLogLevel(c.level == llInfo ? llDebug : llInfo);
        logger.SetLogLevelByName(c.text);
        EXPECT_EQ(logger.LogLevel(), c.level) << c.text;
        EXPECT_EQ(av_log_get_level(), LogLevelToLibrary(c.level)) << c.text;
    }
    for (int l = llQuiet; l <= llDebug; ++l) {
        EXPECT_EQ(LogLevelToLibrary(TLogLevel(l)), (l - 1) * 8);
        EXPECT_EQ(LibraryToLogLevel((l - 1) * 8), TLogLevel(l));
    }
}

TEST_F(LoggerTest, LibraryLinesCarryPrefixLevelAndStayPendingWithoutLineFeed) {
    TFFLogger& logger = TFFLogger::Instance();
    logger.SetLogLevel(llInfo);
    ClassedObject obj{&kTestClass};
    const std::string prefix = Format("[TestClass @ %p]", static_cast<void*>(&obj));

    av_log(&obj, AV_LOG_WARNING, "part %d, ", 1);
    EXPECT_TRUE(Got().empty());
    EXPECT_EQ(TFFLogger::PendingLibraryThreads(), 1u);
    av_log(&obj, AV_LOG_WARNING, "part 2\nsecond line\nthird ");
    av_log(nullptr, AV_LOG_ERROR, "end\n");
    av_log(&obj, AV_LOG_DEBUG, "above the libraries' level\n");
    av_log(nullptr, AV_LOG_INFO, "plain\n");

    const std::vector<Delivered> got = Got();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].msg, prefix + "part 1, part 2");
    EXPECT_EQ(got[1].msg, "second line");
    EXPECT_EQ(got[2].msg, "third end");
    EXPECT_EQ(got[3].msg, "plain");
    EXPECT_EQ(got[0].level, llWarning);
    EXPECT_EQ(got[2].level, llError);
    EXPECT_EQ(got[3].level, llInfo);
    EXPECT_EQ(got[0].sender, &logger);
    EXPECT_EQ(got[0].threadId, CurrentThreadID());
    EXPECT_EQ(TFFLogger::PendingLibraryThreads(), 0u);

    // A cut message keeps its line end, so the next message starts a line of its own.
    Clear();
    av_log(nullptr, AV_LOG_ERROR, "%s\n", std::string(3000, 'y').c_str());
    av_log(nullptr, AV_LOG_ERROR, "next\n");
    EXPECT_EQ(Messages(), (std::vector<std::string>{std::string(2046, 'y'), "next"}));
}

TEST_F(LoggerTest, ThreadsKeepTheirOwnLineBuffers) {
    TFFLogger::Instance().SetLogLevel(llInfo);
    // Two threads interleave halves of their lines in a fixed order.
    std::mutex m;
    std::condition_variable cv;
    int step = 0;
    auto waitFor = [&](int s) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return step == s; });
    };
    auto advance = [&] {
        std::lock_guard lock(m);
        ++step;
        cv.notify_all();
    };
    uint32_t tidA = 0, tidB = 0;
    std::thread a([&] {
        tidA = CurrentThreadID();
        waitFor(0);
        av_log(nullptr, AV_LOG_INFO, "A first half, ");
        advance();
        waitFor(2);
        av_log(nullptr, AV_LOG_INFO, "A second half\n");
        advance();
    });
    std::thread b([&] {
        tidB = CurrentThreadID();
        waitFor(1);
        av_log(nullptr, AV_LOG_INFO, "B first half, ");
        advance();
        waitFor(3);
        av_log(nullptr, AV_LOG_INFO, "B second half\n");
        advance();
    });
    a.join();
    b.join();
    const std::vector<Delivered> got = Got();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].msg, "A first half, A second half");
    EXPECT_EQ(got[0].threadId, tidA);
    EXPECT_EQ(got[1].msg, "B first half, B second half");
    EXPECT_EQ(got[1].threadId, tidB);

    // Free-running: every line arrives whole and from the thread that wrote it.
    Clear();
    constexpr int kLines = 500;
    std::vector<std::thread> writers;
    std::vector<uint32_t> tids(4);
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t, &tids] {
            tids[static_cast<size_t>(t)] = CurrentThreadID();
            for (int i = 0; i < kLines; ++i) {
                av_log(nullptr, AV_LOG_INFO, "t%d ", t);
                av_log(nullptr, AV_LOG_INFO, "line %d", i);
                av_log(nullptr, AV_LOG_INFO, " end\n");
            }
        });
    }
    for (std::thread& w : writers) w.join();
    const std::vector<Delivered> all = Got();
    ASSERT_EQ(all.size(), 4u * kLines);
    std::vector<int> next(4, 0);
    for (const Delivered& d : all) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(d.msg.c_str(), "t%d line %d end", &t, &i), 2) << d.msg;
        ASSERT_TRUE(t >= 0 && t < 4) << d.msg;
        EXPECT_EQ(d.msg, Format("t%d line %d end", t, i));
        EXPECT_EQ(d.threadId, tids[static_cast<size_t>(t)]);
        EXPECT_EQ(i, next[static_cast<size_t>(t)]++);  // each thread's lines in its own order
    }
    EXPECT_EQ(TFFLogger::PendingLibraryThreads(), 0u);
}

TEST_F(LoggerTest, DeliveryInTheMainThreadWhenAsked) {
    auto dispatcher = std::make_shared<TQueueDispatcher>();
    SetMainThreadDispatcher(dispatcher);
    TFFLogger& logger = TFFLogger::Instance();
    logger.SetLogLevel(llInfo);
    const auto mainId = std::this_thread::get_id();
    std::atomic<bool> ranInMain{false}, handled{false}, handledBeforeReturn{false}, done{false};
    logger.SetOnLog([&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string&) {
        ranInMain = std::this_thread::get_id() == mainId;
        handled = true;
    });

    for (bool inMain : {true, false}) {
        logger.SetTriggerEventInMainThread(inMain);
        handled = false;
        done = false;
        std::thread worker([&] {
            logger.Log(&sender_, llInfo, "from a worker");
            handledBeforeReturn = handled.load();  // the worker waits for the handler
            done = true;
        });
        EXPECT_TRUE(dispatcher->ServeUntil([&] { return done.load(); }, 30000));
        worker.join();
        EXPECT_TRUE(handledBeforeReturn) << inMain;
        EXPECT_EQ(ranInMain.load(), inMain);
    }
}

// A capture keeps its own thread's error lines even with the libraries quiet and no handler set;
// an inner capture takes the lines while it lives.
TEST(LibraryErrorCapture, KeepsTheErrorLinesOfItsThreadOnly) {
    TFFLogger& logger = TFFLogger::Instance();
    const TLogLevel saved = logger.LogLevel();
    logger.HookLibraryLog();
    logger.SetLogLevel(llQuiet);
    {
        TLibraryErrorCapture outer;
        av_log(nullptr, AV_LOG_ERROR, "first %s\n  second line  \n", "line");
        av_log(nullptr, AV_LOG_WARNING, "a warning is no reason\n");
        std::thread other([] { av_log(nullptr, AV_LOG_ERROR, "from another thread\n"); });
        other.join();
        {
            TLibraryErrorCapture inner;
            av_log(nullptr, AV_LOG_FATAL, "inner %d", 1);
            EXPECT_EQ(inner.Text(), "inner 1");
        }
        av_log(nullptr, AV_LOG_ERROR, "last\n");
        EXPECT_EQ(outer.Text(), "first line second line last");
    }
    TLibraryErrorCapture later;
    EXPECT_EQ(later.Text(), "");
    logger.SetLogLevel(saved);
}

TEST(MainThread, ExceptionOfAQueuedCallReachesTheCaller) {
    TQueueDispatcher d;
    std::atomic<bool> done{false};
    std::string caught;
    std::thread worker([&] {
        try {
            d.CallInMainThread([] { throw FFmpegException("handler failed"); });
        } catch (const FFmpegException& e) {
            caught = e.what();
        }
        done = true;
    });
    EXPECT_TRUE(d.ServeUntil([&] { return done.load(); }, 30000));
    worker.join();
    EXPECT_EQ(caught, "handler failed");
}
