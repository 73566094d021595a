#include "Platform/ML/ThreadTeam.h"

#include <omp.h>
#include <sched.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

#include "Platform/ML/SmallFile.h"

namespace platform::ml {

namespace {

thread_local int pinnedSize = 0;

std::optional<long long> parseNumber(std::string_view text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Splits off the next field separated by blanks.
std::string_view nextField(std::string_view& text) {
    const size_t start = text.find_first_not_of(" \t\n");
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(start);
    const size_t end = std::min(text.find_first_of(" \t\n"), text.size());
    const std::string_view field = text.substr(0, end);
    text.remove_prefix(end);
    return field;
}

int allowedProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return std::max(1, omp_get_num_procs());
    return std::max(1, CPU_COUNT(&set));
}

// The smallest processor quota of this process's cgroup and the cgroups above it: the
// unified hierarchy's "cpu.max", or the older hierarchy's cpu controller.
std::optional<int> cgroupQuota() {
    const std::string membership = "\n" + readSmallFile("/proc/self/cgroup");
    std::optional<int> smallest;
    auto walk = [&](const std::string& controller, const std::filesystem::path& root, auto quotaAt) {
        const size_t line = membership.find(controller);
        if (line == std::string::npos) return;
        const size_t start = line + controller.size();
        std::filesystem::path group = membership.substr(start, membership.find('\n', start) - start);
        for (std::filesystem::path at = group;; at = at.parent_path()) {
            if (const auto quota = cpuQuotaProcessors(quotaAt(root / at.relative_path())))
                smallest = std::min(quota.value(), smallest.value_or(quota.value()));
            if (at == at.parent_path() || at.empty()) break;
        }
    };
    walk("\n0::", "/sys/fs/cgroup", [](const std::filesystem::path& dir) { return readSmallFile(dir / "cpu.max"); });
    for (const char* line : {":cpu,cpuacct:", ":cpuacct,cpu:", ":cpu:"}) {
        const std::filesystem::path root =
            std::string(line) == ":cpu:" ? "/sys/fs/cgroup/cpu" : "/sys/fs/cgroup/cpu,cpuacct";
        walk(line, root, [](const std::filesystem::path& dir) {
            return readSmallFile(dir / "cpu.cfs_quota_us") + " " + readSmallFile(dir / "cpu.cfs_period_us");
        });
    }
    return smallest;
}

}  // namespace

std::optional<int> cpuQuotaProcessors(std::string_view cpuMax) {
    const std::string_view quota = nextField(cpuMax), period = nextField(cpuMax);
    if (quota.empty() || !nextField(cpuMax).empty()) return std::nullopt;
    const auto periodValue = period.empty() ? std::optional<long long>(100000) : parseNumber(period);
    if (!periodValue || *periodValue <= 0) return std::nullopt;
    const auto quotaValue = parseNumber(quota);  // "max" (or -1 in the older hierarchy): no limit
    if (!quotaValue || *quotaValue <= 0) return std::nullopt;
    return static_cast<int>(std::max<long long>(1, *quotaValue / *periodValue));
}

std::optional<int> runnableTasks(std::string_view loadavg) {
    for (int i = 0; i < 3; ++i) nextField(loadavg);
    const std::string_view tasks = nextField(loadavg);
    const size_t slash = tasks.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto running = parseNumber(tasks.substr(0, slash));
    if (!running || *running < 0 || !parseNumber(tasks.substr(slash + 1))) return std::nullopt;
    return static_cast<int>(*running);
}

bool taskRunnable(std::string_view stat) {
    // The command name in parentheses may itself hold blanks and parentheses: the state
    // follows the last closing one.
    const size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return false;
    stat.remove_prefix(close + 1);
    return nextField(stat) == "R";
}

int ownRunnableThreads() {
    int running = 0;
    std::error_code ec;
    // increment(ec), not ++, which throws: a listing that fails halfway counts what it read.
    for (std::filesystem::directory_iterator task("/proc/self/task", ec), end; !ec && task != end; task.increment(ec))
        if (taskRunnable(readSmallFile(task->path() / "stat"))) ++running;
    return std::max(running, 1);  // the reading thread runs
}

int freeProcessors(int allowed, std::optional<int> quota, int runnable, int ownRunnable) {
    const int limit = std::min(allowed, quota.value_or(allowed));
    const int others = std::max(0, runnable - ownRunnable);
    return std::clamp(limit - others, 1, std::max(1, limit));
}

int freeProcessorsNow() {
    using Clock = std::chrono::steady_clock;
    static std::mutex mutex;
    static Clock::time_point readAt;
    static int free = 0;
    static const std::optional<int> quota = cgroupQuota();  // read once: it rarely changes
    std::lock_guard lock(mutex);
    const auto now = Clock::now();
    if (free == 0 || now - readAt >= std::chrono::milliseconds(100)) {
        const auto runnable = runnableTasks(readSmallFile("/proc/loadavg"));
        free = freeProcessors(allowedProcessors(), quota, runnable.value_or(0), runnable ? ownRunnableThreads() : 0);
        readAt = now;
    }
    return free;
}

int teamSize(TeamSharing sharing, int budget, int free) {
    budget = std::max(1, budget);
    // A decoder step alone on a processor that a busy program shares gets about half of
    // it; two members got more of the machine than they lost at the barriers (beside 8
    // busy processes on 8 processors, five alternating runs each, a width-1280 step took
    // 27-64 ms, median 46, on one thread and 20-54 ms, median 32, on two; four took 63).
    const int floor = sharing == TeamSharing::fairShare ? (budget + 1) / 2 : budget >= 4 ? 2 : 1;
    return std::min(budget, std::max(free, floor));
}

ThreadTeam::ThreadTeam(TeamSharing sharing) : budget_(omp_get_max_threads()), size_(pinnedSize) {
    if (size_ <= 0) size_ = teamSize(sharing, budget_, freeProcessorsNow());
    omp_set_num_threads(size_);
}

ThreadTeam::~ThreadTeam() { omp_set_num_threads(budget_); }

PinnedTeamSize::PinnedTeamSize(int size) : previous_(pinnedSize) { pinnedSize = std::max(1, size); }

PinnedTeamSize::~PinnedTeamSize() { pinnedSize = previous_; }

SingleThreadedLibraries::SingleThreadedLibraries() : previous_(omp_get_max_threads()) { omp_set_num_threads(1); }

SingleThreadedLibraries::~SingleThreadedLibraries() { omp_set_num_threads(previous_); }

}  // namespace platform::ml
