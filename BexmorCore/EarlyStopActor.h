#pragma once

#include <mutex>
#include <optional>
#include <unordered_map>

#include "BexmorCore/Uuid.h"

namespace bexmor {

// The text decoder's per-run early-stop flags, keyed by each decoding run's id, so runs
// that share one decoder never see each other's flags. Its operations run one at a time.
class EarlyStopActor {
public:
    // Keeps one run's entry for exactly the lifetime of the object: it sets the run's
    // flag to false on construction and removes the entry on destruction, also when the
    // run ends with an exception (otherwise the entry would stay behind for good).
    class ScopedRun {
    public:
        ScopedRun(EarlyStopActor& actor, const Uuid& id);
        ~ScopedRun();
        ScopedRun(const ScopedRun&) = delete;
        ScopedRun& operator=(const ScopedRun&) = delete;

        const Uuid& id() const { return id_; }
        bool shouldStop() const { return actor_.get(id_); }
        void stop() { actor_.set(true, id_); }

    private:
        EarlyStopActor& actor_;
        Uuid id_;
    };

    // Stores the flag for the id, replacing any earlier flag.
    void set(bool flag, const Uuid& id);
    // The stored flag; false when the id has no entry.
    bool get(const Uuid& id) const;
    // Removes the id's entry and returns its flag; empty when there was none.
    std::optional<bool> remove(const Uuid& id);
    // How many runs have an entry (zero when no run is active).
    std::size_t activeRunCount() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<Uuid, bool> shouldStop_;
};

}  // namespace bexmor
