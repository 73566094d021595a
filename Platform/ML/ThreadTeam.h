#pragma once

#include <optional>
#include <string_view>

namespace platform::ml {

// How many threads the runtime's parallel work may use now: the processors this process
// may run on, capped by its cgroup's processor quota, less the processors that other
// runnable tasks of the machine occupy. OpenMP sizes its teams by the processors alone;
// a team larger than the free processors has members pre-empted by other programs, and
// every barrier then waits for them (a decoder step went from about 1 ms to 234 ms on a
// busy machine).

// The whole processors a cgroup "cpu.max" line grants ("max 100000": no limit;
// "250000 100000": 2 whole processors, at least 1; the older hierarchy's quota and period
// read the same, -1 meaning no limit); nothing when the line is malformed.
std::optional<int> cpuQuotaProcessors(std::string_view cpuMax);

// The runnable tasks of the machine in a /proc/loadavg line ("0.5 0.4 0.3 5/300 42": 5),
// the reading task included; nothing when the line is malformed.
std::optional<int> runnableTasks(std::string_view loadavg);

// Whether a /proc/<pid>/task/<tid>/stat line describes a running or runnable task.
bool taskRunnable(std::string_view stat);

// Our own threads that run or wait for a processor now, from /proc/self/task; at least 1
// (the caller). A thread that ends while it is being read counts as gone.
int ownRunnableThreads();

// Threads to use: at most `allowed` (affinity) and `quota`, less the runnable tasks that
// are not ours; at least 1.
int freeProcessors(int allowed, std::optional<int> quota, int runnable, int ownRunnable);

// freeProcessors() of this machine now. The files are read at most every 100 ms; in
// between the last reading is returned, so a decoder step pays no file reads.
int freeProcessorsNow();

// How a prediction's team meets a busy machine.
enum class TeamSharing {
    // Many short parallel regions (a decoder step): a member pre-empted by another program
    // stalls every barrier, so the team takes only the processors nobody else wants.
    freeProcessors,
    // Few long regions of independent tiles handed out one at a time (the encoder, the mel
    // features): a pre-empted member delays only its own tile, and where busy programs take
    // every processor the scheduler still gives a team of half the processors about a third
    // of the machine, where a single thread gets one processor.
    fairShare,
};

// The team a prediction takes from a `budget` of threads when `free` processors are free:
// the free ones, with `fairShare` at least half the budget, with `freeProcessors` at least
// 2 of a budget of 4 or more (one thread beside a busy program gets half a processor);
// never more than the budget, never less than 1.
int teamSize(TeamSharing sharing, int budget, int free);

// Sizes the calling thread's OpenMP teams for the lifetime of the object (one prediction):
// to the free processors, or with `fairShare` to at least half the budget, always within
// the thread's own budget (omp_set_num_threads, or the share a worker pool gave it); the
// budget comes back afterwards. Results never depend on the size: every kernel splits its
// work by the problem's shape alone.
class ThreadTeam {
public:
    explicit ThreadTeam(TeamSharing sharing);
    ~ThreadTeam();
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;

    int size() const { return size_; }

private:
    int budget_;
    int size_;
};

// Pins the size of the calling thread's teams while it lives, whatever the budget and the
// machine's load (tests compare results across sizes).
class PinnedTeamSize {
public:
    explicit PinnedTeamSize(int size);
    ~PinnedTeamSize();
    PinnedTeamSize(const PinnedTeamSize&) = delete;
    PinnedTeamSize& operator=(const PinnedTeamSize&) = delete;

private:
    int previous_;
};

// Makes the matrix libraries run single-threaded on the calling thread while it lives:
// they decide their own blocking (and so the order of their sums) by the thread count,
// so the runtime calls them only on tiles of its own, whose size depends on the shape.
class SingleThreadedLibraries {
public:
    SingleThreadedLibraries();
    ~SingleThreadedLibraries();
    SingleThreadedLibraries(const SingleThreadedLibraries&) = delete;
    SingleThreadedLibraries& operator=(const SingleThreadedLibraries&) = delete;

private:
    int previous_;
};

}  // namespace platform::ml
