#include "BexmorCore/External/Hub/Progress.h"

#include <algorithm>
#include <cmath>

namespace bexmor {

Progress::Progress(int64_t totalUnitCount) : total_(totalUnitCount) {}

int64_t Progress::totalUnitCount() const {
    std::scoped_lock lock(mutex_);
    return total_;
}

void Progress::setTotalUnitCount(int64_t units) {
    std::scoped_lock lock(mutex_);
    total_ = units;
}

Progress::Counts Progress::counts() const {
    std::scoped_lock lock(mutex_);
    return {total_, completed_, children_};
}

int64_t Progress::completedUnitCount() const {
    // The children are asked outside this progress's lock: each has its own.
    const Counts own = counts();
    int64_t completed = own.completed;
    for (const auto& child : own.children) {
        if (child.progress->isFinished()) completed += child.pendingUnitCount;
    }
    return completed;
}

void Progress::setCompletedUnitCount(int64_t units) {
    std::scoped_lock lock(mutex_);
    completed_ = units;
}

double Progress::fractionCompleted() const {
    const Counts own = counts();
    if (own.total <= 0) return 0.0;
    double completed = static_cast<double>(own.completed);
    for (const auto& child : own.children) {
        completed += std::clamp(child.progress->fractionCompleted(), 0.0, 1.0) * static_cast<double>(child.pendingUnitCount);
    }
    return std::clamp(completed / static_cast<double>(own.total), 0.0, 1.0);
}

bool Progress::isFinished() const {
    std::scoped_lock lock(mutex_);
    return total_ > 0 && completed_ >= total_;
}

std::optional<double> Progress::throughput() const {
    std::scoped_lock lock(mutex_);
    return throughput_;
}

void Progress::setThroughput(double bytesPerSecond) {
    std::scoped_lock lock(mutex_);
    throughput_ = bytesPerSecond;
}

std::optional<int64_t> Progress::completedUnits(double fraction, int64_t totalUnits) {
    if (!std::isfinite(fraction)) return std::nullopt;
    // Clamped as a double first: converting an out-of-range double to an integer is undefined.
    const double units = std::trunc(fraction * static_cast<double>(totalUnits));
    return static_cast<int64_t>(std::clamp(units, 0.0, static_cast<double>(std::max<int64_t>(totalUnits, 0))));
}

std::shared_ptr<Progress> Progress::addChild(int64_t childTotalUnitCount, int64_t pendingUnitCount) {
    auto child = std::make_shared<Progress>(childTotalUnitCount);
    std::scoped_lock lock(mutex_);
    children_.push_back({child, pendingUnitCount});
    return child;
}

}  // namespace bexmor
