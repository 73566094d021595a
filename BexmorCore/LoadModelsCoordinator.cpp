#include "BexmorCore/LoadModelsCoordinator.h"

#include <exception>
#include <utility>

namespace bexmor {

LoadModelsCoordinator::~LoadModelsCoordinator() {
    if (!worker_.joinable()) return;
    // The operation's thread may hold the last reference to our owner; then we are
    // destroyed on that very thread, after it has delivered its outcome, and it only has
    // to finish returning.
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void LoadModelsCoordinator::run(Operation operation) {
    std::shared_future<void> outcome;
    bool started = false;
    {
        std::unique_lock lock(mutex_);
        if (inflightLoad_) {
            outcome = *inflightLoad_;
        } else {
            // The previous operation has delivered its outcome; its thread is at most
            // finishing its return.
            if (worker_.joinable()) worker_.join();
            std::promise<void> promise;
            outcome = promise.get_future().share();
            worker_ = std::thread([operation = std::move(operation), promise = std::move(promise)]() mutable {
                try {
                    operation();
                    promise.set_value();
                } catch (...) {
                    promise.set_exception(std::current_exception());
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
