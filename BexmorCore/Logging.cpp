#include "BexmorCore/Logging.h"

#include <syslog.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace bexmor {

namespace {

// Each line's level number: debug 1, info 2, error 3; the plain type counts as info and
// a fault as an error.
int levelNumber(Logging::LogType type) {
    switch (type) {
        case Logging::LogType::debug: return 1;
        case Logging::LogType::info: return 2;
        case Logging::LogType::error:
        case Logging::LogType::fault: return 3;
        case Logging::LogType::defaultType: return 2;
    }
    return 2;
}

bool debugLinesEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("BEXMOR_LOG_DEBUG");
        return value != nullptr && *value != '\0' && std::string_view(value) != "0";
    }();
    return enabled;
}

int syslogPriority(Logging::LogType type) {
    switch (type) {
        case Logging::LogType::debug: return LOG_DEBUG;
        case Logging::LogType::info: return LOG_INFO;
        case Logging::LogType::defaultType: return LOG_NOTICE;
        case Logging::LogType::error: return LOG_ERR;
        case Logging::LogType::fault: return LOG_CRIT;
    }
    return LOG_NOTICE;
}

// The default system log. The subsystem and category lead the message rather than
// becoming the ident through openlog(), because openlog() would rename every syslog line
// of the whole process. The text is always an argument, never the format.
void writeToSyslog(const Logging::SystemLogLine& line) {
    if (line.type == Logging::LogType::debug && !debugLinesEnabled()) return;
    ::syslog(LOG_USER | syslogPriority(line.type), "%s[%s]: %s", line.subsystem.c_str(),
             line.category.c_str(), line.text.c_str());
}

}  // namespace

Logging::Logging()
    : sink_(std::make_shared<const SystemLogSink>(writeToSyslog)),
      subsystem_(fallbackSubsystem) {}

Logging& Logging::shared() {
    // Never destroyed, so lines logged from other objects' destructors at exit are safe.
    static Logging* const instance = new Logging();
    return *instance;
}

std::optional<Logging::LogLevel> Logging::logLevelFromRaw(int raw) {
    if (raw < 1 || raw > 4) return std::nullopt;
    return static_cast<LogLevel>(raw);
}

bool Logging::isLoggingEnabled() {
    return shared().logLevel() != LogLevel::none;
}

bool Logging::isLoggingEnabled(LogLevel level) {
    const LogLevel configured = shared().logLevel();
    return configured != LogLevel::none && static_cast<int>(configured) <= static_cast<int>(level);
}

Logging::LogLevel Logging::logLevel() const {
    std::scoped_lock lock(mutex_);
    return logLevel_;
}

void Logging::setLogLevel(LogLevel level) {
    std::scoped_lock lock(mutex_);
    logLevel_ = level;
}

Logging::Callback Logging::loggingCallback() const {
    std::scoped_lock lock(mutex_);
    return callback_ ? *callback_ : Callback{};
}

void Logging::setLoggingCallback(Callback callback) {
    auto stored = callback ? std::make_shared<const Callback>(std::move(callback)) : nullptr;
    std::scoped_lock lock(mutex_);
    callback_.swap(stored);
    // The previous callback (now in `stored`) is released outside the lock.
}

void Logging::setSystemLogSink(SystemLogSink sink) {
    auto stored = std::make_shared<const SystemLogSink>(sink ? std::move(sink) : SystemLogSink(writeToSyslog));
    std::scoped_lock lock(mutex_);
    sink_.swap(stored);
}

void Logging::setSubsystem(std::string subsystem) {
    std::scoped_lock lock(mutex_);
    subsystem_ = subsystem.empty() ? std::string(fallbackSubsystem) : std::move(subsystem);
}

std::string Logging::subsystem() const {
    std::scoped_lock lock(mutex_);
    return subsystem_;
}

Logging::Snapshot Logging::take(LogType type) const {
    Snapshot snapshot;
    std::scoped_lock lock(mutex_);
    if (logLevel_ == LogLevel::none) return snapshot;
    if (levelNumber(type) < static_cast<int>(logLevel_)) return snapshot;
    snapshot.shouldEmit = true;
    snapshot.callback = callback_;
    if (!callback_) {
        snapshot.sink = sink_;
        snapshot.subsystem = subsystem_;
    }
    return snapshot;
}

void Logging::deliver(const Snapshot& snapshot, LogType type, const std::string& text) const {
    // Logging must never unwind into the engine: a failing callback or sink sends the line
    // to standard error instead, and the caller's work goes on.
    try {
        if (snapshot.callback) {
            (*snapshot.callback)(text);
            return;
        }
        if (snapshot.sink && *snapshot.sink) {
            (*snapshot.sink)(SystemLogLine{snapshot.subsystem, std::string(category), type, text});
        }
    } catch (...) {
        std::fprintf(stderr, "[Logging] the log's receiver failed; the line was: %s\n", text.c_str());
    }
}

std::string Logging::describeFloating(double value, bool single) {
    char buffer[64];
    const auto result = single ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value))
                               : std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::uint64_t Logging::getMemoryUsage() {
    // The second field of statm is the resident set in pages.
    std::ifstream statm("/proc/self/statm");
    std::uint64_t sizePages = 0;
    std::uint64_t residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) return 0;
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return 0;
    return (residentPages * static_cast<std::uint64_t>(pageSize)) >> 20;
}

void Logging::logCurrentMemoryUsage(const std::string& message) {
    Logging& logging = shared();
    if (!isLoggingEnabled(LogLevel::debug)) return;
    logging.log(LogType::debug, message + " - Memory usage: " + std::to_string(getMemoryUsage()) + " MB");
}

std::string Logging::formatTimeWithPercentage(double timeSeconds, double runCount, double fullPipelineDurationMs) {
    const double timeMs = timeSeconds * 1000.0;
    const double perRun = runCount > 0 ? timeMs / runCount : 0.0;
    double share = timeMs / fullPipelineDurationMs * 100.0;
    if (!std::isfinite(share)) share = 0.0;
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", timeMs, runCount, perRun,
                  share);
    return buffer;
}

}  // namespace bexmor
