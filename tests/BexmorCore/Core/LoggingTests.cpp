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

// Each test captures the shared logger's lines and leaves it silent, as it starts.
class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        Logging::updateLogLevel(LogLevel::debug);
        Logging::updateCallback([this](const std::string& line) { lines.push_back(line); });
        Logging::shared().setSystemLogSink([this](const Logging::SystemLogLine& line) { systemLines.push_back(line); });
    }
    void TearDown() override {
        Logging::updateLogLevel(LogLevel::none);
        Logging::updateCallback(nullptr);
        Logging::shared().setSystemLogSink(nullptr);
    }

    std::vector<std::string> lines;
    std::vector<Logging::SystemLogLine> systemLines;
};

}  // namespace

TEST_F(LoggingTest, PassesTheTypesAtOrAboveTheLevelWithoutRenderingTheOthers) {
    const LogType types[] = {LogType::debug, LogType::info, LogType::defaultType, LogType::error, LogType::fault};
    const std::pair<LogLevel, std::size_t> firstPassing[] = {
        {LogLevel::debug, 0}, {LogLevel::info, 1}, {LogLevel::error, 3}, {LogLevel::none, 5}};
    for (const auto& [level, first] : firstPassing) {
        Logging::updateLogLevel(level);
        for (std::size_t i = 0; i < std::size(types); ++i) {
            lines.clear();
            Logging::shared().log(types[i], "x");
            EXPECT_EQ(lines.size(), i >= first ? 1u : 0u) << "level " << int(level) << " type " << i;
        }
    }
    struct Counting {
        std::atomic<int>* renders;
        std::string description() const { return std::to_string(++*renders); }
    };
    std::atomic<int> renders = 0;
    Logging::updateLogLevel(LogLevel::error);
    Logging::info(Counting{&renders});
    Logging::error(Counting{&renders});
    EXPECT_EQ(renders, 1);
}

TEST_F(LoggingTest, JoinsItemsAndNamesANullText) {
    const char* missing = nullptr;
    Logging::info("a", 1, true, 0.5, 2.0f, std::string("z"), missing);
    Logging::shared().log(Logging::Format{", ", "!\n"}, LogType::info, "x", "y");
    EXPECT_EQ(lines, (std::vector<std::string>{"a 1 true 0.5 2.0 z nil", "x, y!\n"}));
    // A pipeline duration of zero must not divide to "nan" or "inf".
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.25, 4, 500), "  250.00 ms /      4 runs (   62.50 ms/run) 50.00%");
    EXPECT_EQ(Logging::formatTimeWithPercentage(0, 0, 0), "    0.00 ms /      0 runs (    0.00 ms/run)  0.00%");
}

TEST_F(LoggingTest, SystemLogTakesOverWithoutACallbackAndNoSinkFailureEscapes) {
    Logging::updateCallback(nullptr);
    Logging::shared().log(LogType::fault, "to system log");
    ASSERT_EQ(systemLines.size(), 1u);
    EXPECT_EQ(systemLines[0].text, "to system log");
    EXPECT_EQ(systemLines[0].type, LogType::fault);
    EXPECT_TRUE(lines.empty());

    // A receiver that fails costs neither the caller's work nor the line: it goes to
    // standard error.
    Logging::updateCallback([](const std::string&) { throw std::runtime_error("broken host"); });
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(Logging::error("still fine"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("still fine"), std::string::npos);
    Logging::updateCallback(nullptr);
    Logging::shared().setSystemLogSink([](const Logging::SystemLogLine&) { throw std::runtime_error("broken sink"); });
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(Logging::error("also fine"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("also fine"), std::string::npos);
    // The default sink must pass the text as an argument: as a format, "%n" would write to memory.
    Logging::shared().setSystemLogSink(nullptr);
    EXPECT_NO_THROW(Logging::error("%s%s%n%x"));
}

TEST_F(LoggingTest, EveryLineReachesExactlyOneCallbackWhileTheyChange) {
    std::atomic<int> first = 0, second = 0;
    Logging::updateCallback([&](const std::string&) { ++first; });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([] {
            for (int i = 0; i < 2000; ++i) Logging::debug("line", i);
        });
    }
    for (int swap = 0; swap < 200; ++swap) {
        Logging::updateCallback([&counter = swap % 2 ? first : second](const std::string&) { ++counter; });
    }
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(first + second, 8000);
    EXPECT_TRUE(systemLines.empty());
}
