#include "Platform/ML/ThreadTeam.h"

#include <omp.h>

#include <algorithm>

namespace platform::ml {

namespace {

thread_local int pinnedSize = 0;

}  // namespace

ThreadTeam::ThreadTeam() : budget_(omp_get_max_threads()), size_(pinnedSize > 0 ? pinnedSize : budget_) {
    omp_set_num_threads(size_);
}

ThreadTeam::~ThreadTeam() { omp_set_num_threads(budget_); }

PinnedTeamSize::PinnedTeamSize(int size) : previous_(pinnedSize) { pinnedSize = std::max(1, size); }

PinnedTeamSize::~PinnedTeamSize() { pinnedSize = previous_; }

SingleThreadedLibraries::SingleThreadedLibraries() : previous_(omp_get_max_threads()) { omp_set_num_threads(1); }

SingleThreadedLibraries::~SingleThreadedLibraries() { omp_set_num_threads(previous_); }

}  // namespace platform::ml
