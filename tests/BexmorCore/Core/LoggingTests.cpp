#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BexmorCore/Logging.h"

using bexmor::Logging;
using LogLevel = Logging::LogLevel;
using LogType = Logging::LogType;

namespace {

// Each test starts from the shared logger's initial state and leaves it there.
class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        Logging::updateLogLevel(LogLevel::none);
        Logging::updateCallback(nullptr);
        Logging::shared().setSystemLogSink([this](const Logging::SystemLogLine& line) { systemLines.push_back(line); });
    }
    void TearDown() override {
        Logging::updateLogLevel(LogLevel::none);
        Logging::updateCallback(nullptr);
        Logging::shared().setSystemLogSink(nullptr);
    }

    void captureLines() {
        Logging::updateCallback([this](const std::string& line) { callbackLines.push_back(line); });
    }

    std::vector<std::string> callbackLines;
    std::vector<Logging::SystemLogLine> systemLines;
};

}  // namespace

TEST_F(LoggingTest, LevelAgainstTypeMatrix) {
    captureLines();
    const std::vector<LogType> types = {LogType::debug, LogType::info, LogType::defaultType, LogType::error,
                                        LogType::fault};
    // Which of the five types pass at each configured level.
    const std::vector<std::pair<LogLevel, std::vector<bool>>> expected = {
        {LogLevel::debug, {true, true, true, true, true}},
        {LogLevel::info, {false, true, true, true, true}},
        {LogLevel::error, {false, false, false, true, true}},
        {LogLevel::none, {false, false, false, false, false}},
    };
    for (const auto& [level, passes] : expected) {
        Logging::updateLogLevel(level);
        for (std::size_t i = 0; i < types.size(); ++i) {
            callbackLines.clear();
            Logging::shared().log(types[i], "x");
            EXPECT_EQ(callbackLines.size(), passes[i] ? 1u : 0u)
                << "level " << static_cast<int>(level) << " type " << i;
        }
    }
}

TEST_F(LoggingTest, JoinsItemsAndAppendsTerminatorOnly) {
    captureLines();
    Logging::updateLogLevel(LogLevel::debug);
    const char* missing = nullptr;
    Logging::info("a", 1, true, 0.5, 2.0f, std::string("z"), missing);
    Logging::info();
    Logging::shared().log(Logging::Format{", ", "!\n"}, LogType::info, "x", "y");
    ASSERT_EQ(callbackLines.size(), 3u);
    EXPECT_EQ(callbackLines[0], "a 1 true 0.5 2.0 z nil");
    EXPECT_EQ(callbackLines[1], "");
    EXPECT_EQ(callbackLines[2], "x, y!\n");
}

TEST_F(LoggingTest, ItemsAreNotRenderedBelowTheLevel) {
    struct Counting {
        std::atomic<int>* renders;
        std::string description() const {
            ++*renders;
            return "counted";
        }
    };
    std::atomic<int> renders = 0;
    captureLines();
    Logging::updateLogLevel(LogLevel::error);
    Logging::info(Counting{&renders});
    EXPECT_EQ(renders, 0);
    Logging::error(Counting{&renders});
    EXPECT_EQ(renders, 1);
    ASSERT_EQ(callbackLines.size(), 1u);
    EXPECT_EQ(callbackLines[0], "counted");
}

TEST_F(LoggingTest, CallbackReplacesSystemLogUntilCleared) {
    Logging::updateLogLevel(LogLevel::info);
    captureLines();
    Logging::error("to callback");
    EXPECT_EQ(callbackLines.size(), 1u);
    EXPECT_TRUE(systemLines.empty());

    Logging::updateCallback(nullptr);
    Logging::shared().log(LogType::fault, "to system log");
    ASSERT_EQ(systemLines.size(), 1u);
    EXPECT_EQ(systemLines[0].text, "to system log");
    EXPECT_EQ(systemLines[0].type, LogType::fault);  // the line's own type, not its level
    EXPECT_EQ(systemLines[0].subsystem, "com.bexmor.bexmorcore");
    EXPECT_EQ(systemLines[0].category, "Bexmor");
    EXPECT_EQ(callbackLines.size(), 1u);
}

TEST_F(LoggingTest, ThrowingCallbackDoesNotEscape) {
    Logging::updateLogLevel(LogLevel::debug);
    Logging::updateCallback([](const std::string&) { throw std::runtime_error("broken host"); });
    EXPECT_NO_THROW(Logging::error("still fine"));
    Logging::shared().setSystemLogSink([](const Logging::SystemLogLine&) { throw std::runtime_error("broken sink"); });
    Logging::updateCallback(nullptr);
    EXPECT_NO_THROW(Logging::error("still fine"));
}

TEST_F(LoggingTest, TextWithPercentSignsReachesTheDefaultSyslogUnharmed) {
    // The default sink must pass the text as an argument: a format string of "%s%n"
    // would crash or corrupt memory.
    Logging::shared().setSystemLogSink(nullptr);
    Logging::updateLogLevel(LogLevel::debug);
    EXPECT_NO_THROW(Logging::error("%s%s%n%x"));
}

TEST_F(LoggingTest, TimingText) {
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.25, 4, 500), "  250.00 ms /      4 runs (   62.50 ms/run) 50.00%");
    // A pipeline duration of zero would divide to "nan" or "inf".
    EXPECT_EQ(Logging::formatTimeWithPercentage(0, 0, 0), "    0.00 ms /      0 runs (    0.00 ms/run)  0.00%");
    EXPECT_EQ(Logging::formatTimeWithPercentage(1, 1, 0), " 1000.00 ms /      1 runs ( 1000.00 ms/run)  0.00%");
}

TEST_F(LoggingTest, EveryLineReachesExactlyOneCallbackWhileTheyChange) {
    Logging::updateLogLevel(LogLevel::debug);
    std::atomic<int> first = 0;
    std::atomic<int> second = 0;
    Logging::updateCallback([&](const std::string&) { ++first; });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([] {
            for (int i = 0; i < 2000; ++i) Logging::debug("line", i);
        });
    }
    for (int swap = 0; swap < 200; ++swap) {
        if (swap % 2 == 0) {
            Logging::updateCallback([&](const std::string&) { ++second; });
        } else {
            Logging::updateCallback([&](const std::string&) { ++first; });
        }
    }
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(first + second, 8000);
    EXPECT_TRUE(systemLines.empty());
}
