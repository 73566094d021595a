#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace bexmor {

// Progress of a piece of work in unit counts, with children that each stand for a number
// of the parent's units ("pending units"). A child's fraction flows into its parent's
// fraction; once the child is complete its pending units count as completed units of the
// parent. The transfer speed last reported is kept as `throughput` (bytes per second).
// Safe to read from any thread while the worker updates it.
class Progress {
public:
    explicit Progress(int64_t totalUnitCount = 0);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    int64_t totalUnitCount() const;
    void setTotalUnitCount(int64_t units);
    // Own completed units plus the pending units of finished children.
    int64_t completedUnitCount() const;
    void setCompletedUnitCount(int64_t units);
    // 0 to 1; 0 when the total is 0 or less.
    double fractionCompleted() const;
    bool isFinished() const;

    std::optional<double> throughput() const;
    void setThroughput(double bytesPerSecond);

    // Completed units for a reported fraction of `totalUnits`: truncated toward zero and
    // kept within 0...totalUnits; nothing for a fraction that is not a finite number.
    static std::optional<int64_t> completedUnits(double fraction, int64_t totalUnits);

    // A new child standing for `pendingUnitCount` of this progress's units.
    std::shared_ptr<Progress> addChild(int64_t childTotalUnitCount, int64_t pendingUnitCount);

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        int64_t pendingUnitCount;
    };
    struct Counts {
        int64_t total;
        int64_t completed;
        std::vector<Child> children;
    };
    // The own counts and the children, taken together under the lock.
    Counts counts() const;

    mutable std::mutex mutex_;
    int64_t total_ = 0;
    int64_t completed_ = 0;
    std::optional<double> throughput_;
    std::vector<Child> children_;
};

}  // namespace bexmor
