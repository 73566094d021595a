#pragma once

namespace platform::ml {

// Sizes the calling thread's OpenMP teams for the lifetime of the object (one
// prediction) within the thread's own budget (omp_set_num_threads, or the share a worker
// pool gave it), and restores the budget afterwards. Results never depend on the size:
// every kernel splits its work by the problem's shape alone.
class ThreadTeam {
public:
    ThreadTeam();
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
