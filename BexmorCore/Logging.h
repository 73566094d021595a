#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace bexmor {

// The one logger of the speech engine and its core module.
//
// It holds a process-wide level (initially `none`, so nothing is emitted) and an optional
// callback. A line is emitted when its level is at or above the configured level; it then
// goes to the callback when one is installed, otherwise to the system log sink (syslog by
// default). Items are rendered only after the level test, so a dropped line costs one
// lock round-trip and no string work.
//
//     bexmor::Logging::updateLogLevel(bexmor::Logging::LogLevel::info);
//     bexmor::Logging::info("Loaded", modelName, "in", seconds, "s");   // "Loaded tiny in 0.5 s"
//
// Every member may be used from any thread. The callback may be entered concurrently.
class Logging {
public:
    enum class LogLevel : int { debug = 1, info = 2, error = 3, none = 4 };

    // Exactly 1, 2, 3 and 4 name a level; any other number names none.
    static std::optional<LogLevel> logLevelFromRaw(int raw);

    // The system log's line types. `defaultType` is the log's plain type; it counts as
    // info. `fault` counts as error.
    enum class LogType { debug, info, defaultType, error, fault };

    using Callback = std::function<void(const std::string&)>;

    // One line as the system log receives it. The type is the line's own type, not the
    // level it was mapped to.
    struct SystemLogLine {
        std::string subsystem;
        std::string category;
        LogType type;
        std::string text;
    };
    using SystemLogSink = std::function<void(const SystemLogLine&)>;

    // How items are joined: every caller in the system uses the defaults.
    struct Format {
        std::string_view separator = " ";
        std::optional<std::string_view> terminator;
    };

    static constexpr std::string_view fallbackSubsystem = "com.bexmor.bexmorcore";
    static constexpr std::string_view category = "Bexmor";

    // The one instance, created on first use and never destroyed.
    static Logging& shared();

    template <class... Items>
    static void debug(const Items&... items) { shared().log(LogType::debug, items...); }
    template <class... Items>
    static void info(const Items&... items) { shared().log(LogType::info, items...); }
    template <class... Items>
    static void error(const Items&... items) { shared().log(LogType::error, items...); }

    static void updateLogLevel(LogLevel level) { shared().setLogLevel(level); }
    // An empty function removes the callback; lines then go to the system log again.
    static void updateCallback(Callback callback) { shared().setLoggingCallback(std::move(callback)); }

    // True when the configured level is not `none`.
    static bool isLoggingEnabled();
    // True when the configured level is not `none` and is at or below `level`
    // (so at level debug, `isLoggingEnabled(LogLevel::none)` is true).
    static bool isLoggingEnabled(LogLevel level);

    LogLevel logLevel() const;
    void setLogLevel(LogLevel level);
    Callback loggingCallback() const;
    void setLoggingCallback(Callback callback);

    // Where lines go when no callback is installed. An empty sink restores the default,
    // which writes to syslog(3) and leaves debug lines out unless the environment
    // variable BEXMOR_LOG_DEBUG is set to a non-empty value other than "0".
    void setSystemLogSink(SystemLogSink sink);
    // The subsystem the system log is told about: the host's identifier when it set one
    // (before logging starts), else "com.bexmor.bexmorcore".
    void setSubsystem(std::string subsystem);
    std::string subsystem() const;

    // Emits the items, rendered and joined with a blank, when `type` passes the level.
    template <class... Items>
    void log(LogType type, const Items&... items) {
        log(Format{}, type, items...);
    }

    template <class... Items>
    void log(const Format& format, LogType type, const Items&... items) {
        auto snapshot = take(type);
        if (!snapshot.shouldEmit) return;
        std::string text;
        [[maybe_unused]] bool first = true;
        ((appendItem(text, first, format.separator, items)), ...);
        if (format.terminator) text += *format.terminator;
        deliver(snapshot, type, text);
    }

    // Resident memory of the process in whole mebibytes; 0 when it cannot be read.
    static std::uint64_t getMemoryUsage();
    // Emits "<message> - Memory usage: <n> MB" as one debug line.
    static void logCurrentMemoryUsage(const std::string& message);
    // "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%" of the time in milliseconds, the run
    // count, the time per run and the share of the full pipeline duration. A duration of
    // zero (or any share that is not a number) shows a share of 0.00 instead of "nan".
    static std::string formatTimeWithPercentage(double timeSeconds, double runCount,
                                                double fullPipelineDurationMs);

    // The text an item renders as: its `description()` when it has one, text as itself,
    // booleans as true/false, numbers in their shortest exact form ("0.5", "1.0").
    template <class T>
    static std::string describe(const T& item);

    Logging(const Logging&) = delete;
    Logging& operator=(const Logging&) = delete;

private:
    Logging();

    struct Snapshot {
        bool shouldEmit = false;
        std::shared_ptr<const Callback> callback;
        std::shared_ptr<const SystemLogSink> sink;
        std::string subsystem;
    };

    Snapshot take(LogType type) const;
    void deliver(const Snapshot& snapshot, LogType type, const std::string& text) const;
    static std::string describeFloating(double value, bool single);

    template <class T>
    static void appendItem(std::string& text, bool& first, std::string_view separator, const T& item) {
        if (!first) text += separator;
        first = false;
        text += describe(item);
    }

    mutable std::mutex mutex_;
    LogLevel logLevel_ = LogLevel::none;
    std::shared_ptr<const Callback> callback_;
    std::shared_ptr<const SystemLogSink> sink_;
    std::string subsystem_;
};

template <class T>
std::string Logging::describe(const T& item) {
    using U = std::remove_cvref_t<T>;
    if constexpr (requires { { item.description() } -> std::convertible_to<std::string>; }) {
        return item.description();
    } else if constexpr (std::is_same_v<U, bool>) {
        return item ? "true" : "false";
    } else if constexpr (std::is_same_v<U, char>) {
        return std::string(1, item);
    } else if constexpr (std::is_pointer_v<U> && std::is_same_v<std::remove_cv_t<std::remove_pointer_t<U>>, char>) {
        return item != nullptr ? std::string(item) : std::string("nil");
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(item));
    } else if constexpr (std::is_same_v<U, std::filesystem::path>) {
        return item.string();
    } else if constexpr (std::is_integral_v<U>) {
        return std::to_string(item);
    } else if constexpr (std::is_floating_point_v<U>) {
        return describeFloating(static_cast<double>(item), std::is_same_v<U, float>);
    } else if constexpr (std::is_base_of_v<std::exception, U>) {
        return item.what();
    } else if constexpr (std::is_enum_v<U>) {
        return std::to_string(static_cast<std::underlying_type_t<U>>(item));
    } else {
        std::ostringstream stream;
        stream << item;
        return stream.str();
    }
}

}  // namespace bexmor
