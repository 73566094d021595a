#include "BexmorCore/LoadModelsCoordinator.h"

#include <exception>
#include <utility>

namespace bexmor {

void LoadModelsCoordinator::run(Operation operation) {
    std::shared_future<void> outcome;
    bool started = false;
    {
        std::unique_lock lock(mutex_);
        if (inflightLoad_) {
            outcome = *inflightLoad_;
        } else {
            std::promise<void> promise;
            outcome = promise.get_future().share();
            // Assigning joins the previous operation's thread, which has delivered its
            // outcome and at most is finishing its return.
            worker_ = std::jthread([operation = std::move(operation), promise = std::move(promise)]() mutable {
                std::exception_ptr failure;
                try {
                    operation();
                } catch (...) {
                    // Not swallowed: every caller of run() gets it rethrown.
                    failure = std::current_exception();
                }
                // What the operation holds goes before the callers learn the outcome: a
                // caller may drop the coordinator's owner the moment it returns, and the
                // owner must not end on this thread, which its destructor joins.
                operation = nullptr;
                if (failure) {
                    promise.set_exception(failure);
                } else {
                    promise.set_value();
                }
            });
            inflightLoad_ = outcome;
            started = true;
        }
        ++waiting_;
    }
    outcome.wait();
    {
        std::scoped_lock lock(mutex_);
        --waiting_;
        if (started) inflightLoad_.reset();
    }
    outcome.get();
}

std::size_t LoadModelsCoordinator::waitingCount() const {
    std::scoped_lock lock(mutex_);
    return waiting_;
}

}  // namespace bexmor
