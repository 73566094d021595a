// The shared load runs on a thread the coordinator owns and joins. Whatever the operation
// holds must therefore be gone before its callers hear the outcome: were the thread to drop
// the last reference to the coordinator's owner, the owner would end on the very thread its
// destructor has to join.
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "BexmorCore/LoadModelsCoordinator.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;

struct Owner {
    bexmor::LoadModelsCoordinator coordinator;
    std::atomic<std::thread::id>* endedOn = nullptr;
    ~Owner() { endedOn->store(std::this_thread::get_id()); }
};

// What an operation holds: a reference to the owner, released only after the caller has
// had a moment to return and drop its own. A coordinator that lets go of the operation
// before the outcome waits here in vain (the caller cannot return yet), which the bound
// keeps short; one that lets go afterwards leaves its thread with the last reference.
struct Hold {
    Hold(std::shared_ptr<Owner> held, const std::atomic<bool>* returned) : owner(std::move(held)), callerReturned(returned) {}
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    std::shared_ptr<Owner> owner;
    const std::atomic<bool>* callerReturned;
    ~Hold() { testsupport::waitUntil([this] { return callerReturned->load(); }, 300ms); }
};

TEST(LoadModelsCoordinator, TheOwnerEndsOnItsCallersThreadAfterASharedLoadThatSucceedsOrFails) {
    for (const bool failing : {false, true}) {
        std::atomic<std::thread::id> endedOn;
        std::atomic<bool> callerReturned{false};
        std::thread::id callerThread;
        std::string failure;
        std::thread caller([&] {
            callerThread = std::this_thread::get_id();
            auto owner = std::make_shared<Owner>();
            owner->endedOn = &endedOn;
            auto hold = std::make_shared<Hold>(owner, &callerReturned);
            bexmor::LoadModelsCoordinator& coordinator = owner->coordinator;
            try {
                coordinator.run([hold = std::move(hold), failing] {
                    if (failing) throw std::runtime_error("load failed");
                });
            } catch (const std::runtime_error& error) {
                failure = error.what();
            }
            callerReturned = true;
            owner.reset();
        });
        caller.join();
        EXPECT_EQ(endedOn.load(), callerThread) << (failing ? "failing load" : "successful load");
        EXPECT_EQ(failure, failing ? "load failed" : "");
    }
}

}  // namespace
