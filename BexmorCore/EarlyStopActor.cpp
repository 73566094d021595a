#include "BexmorCore/EarlyStopActor.h"

namespace bexmor {

EarlyStopActor::ScopedRun::ScopedRun(EarlyStopActor& actor, const Uuid& id) : actor_(actor), id_(id) {
    actor_.set(false, id_);
}

EarlyStopActor::ScopedRun::~ScopedRun() {
    actor_.remove(id_);
}

void EarlyStopActor::set(bool flag, const Uuid& id) {
    std::scoped_lock guard(mutex_);
    shouldStop_.insert_or_assign(id, flag);
}

bool EarlyStopActor::get(const Uuid& id) const {
    std::scoped_lock guard(mutex_);
    const auto found = shouldStop_.find(id);
    return found != shouldStop_.end() && found->second;
}

std::optional<bool> EarlyStopActor::remove(const Uuid& id) {
    std::scoped_lock guard(mutex_);
    const auto found = shouldStop_.find(id);
    if (found == shouldStop_.end()) return std::nullopt;
    const bool flag = found->second;
    shouldStop_.erase(found);
    return flag;
}

std::size_t EarlyStopActor::activeRunCount() const {
    std::scoped_lock guard(mutex_);
    return shouldStop_.size();
}

}  // namespace bexmor
