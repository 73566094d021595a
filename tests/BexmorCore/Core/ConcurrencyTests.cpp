#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "BexmorCore/EarlyStopActor.h"
#include "BexmorCore/PropertyLock.h"
#include "BexmorCore/Protected.h"
#include "BexmorCore/UnfairLock.h"
#include "BexmorCore/Uuid.h"
#include "BexmorCore/WeakSendableWrapper.h"

using namespace bexmor;

namespace {

void onThreads(int count, const std::function<void()>& work) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) threads.emplace_back(work);
    for (auto& thread : threads) thread.join();
}

}  // namespace

TEST(LocksTest, NoChangeIsLostAndAThrowingBodyReleasesTheLock) {
    PropertyLock<long> total(0);
    Protected<int> counter(0);
    Protected<int> shared = counter;  // copies share the cell
    onThreads(4, [&] {
        for (int i = 0; i < 5000; ++i) {
            total.modify([](long& value) { ++value; });
            shared.modify([](int& value) { value += 2; });
        }
    });
    EXPECT_EQ(total.get(), 20000);
    EXPECT_EQ(counter.get(), 40000);

    // Each second call would deadlock if the throw had left the lock held.
    UnfairLock lock;
    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("body failed"); }), std::runtime_error);
    EXPECT_EQ(lock.withLock([] { return 7; }), 7);
    EXPECT_THROW(total.modify([](long&) { throw std::runtime_error("x"); }), std::runtime_error);
    total = 3;
    EXPECT_EQ(total.get(), 3);
}

namespace {

struct Wrapped {
    PropertyLock<std::string> text{"hi"};
    PropertyLock<std::vector<int>> tokens{std::vector<int>{1, 2}};
};

void to_json(nlohmann::json& json, const Wrapped& value) { json = {{"text", value.text}, {"tokens", value.tokens}}; }

void from_json(const nlohmann::json& json, Wrapped& value) {
    json.at("text").get_to(value.text);
    json.at("tokens").get_to(value.tokens);
}

}  // namespace

// Stored results must read back whether or not the writer wrapped its fields in locks.
TEST(LocksTest, LockedFieldsEncodeAsThePlainValues) {
    EXPECT_EQ(nlohmann::json(Wrapped{}).dump(), R"({"text":"hi","tokens":[1,2]})");
    Wrapped decoded;
    nlohmann::json::parse(R"({"text":"yo","tokens":[3]})").get_to(decoded);
    EXPECT_EQ(decoded.tokens.get(), std::vector<int>{3});
    // A decoding failure leaves the field as it was.
    EXPECT_THROW(nlohmann::json::parse(R"({"text":5,"tokens":[3]})").get_to(decoded), nlohmann::json::exception);
    EXPECT_EQ(decoded.text.get(), "yo");
}

TEST(WeakSendableWrapperTest, ReadsEmptyOnceTheObjectIsGone) {
    auto owner = std::make_shared<std::string>("engine");
    WeakSendableWrapper<std::string> weak(owner);
    EXPECT_EQ(*weak.value(), "engine");
    owner.reset();
    EXPECT_EQ(weak.value(), nullptr);
}

TEST(EarlyStopActorTest, FlagsArePerRunAndARunThatThrowsLeavesNoEntry) {
    EarlyStopActor actor;
    const Uuid run, other;
    EXPECT_FALSE(actor.get(run));
    EXPECT_EQ(actor.remove(run), std::nullopt);
    actor.set(true, other);
    EXPECT_FALSE(actor.get(run));
    actor.set(true, run);
    EXPECT_EQ(actor.remove(run), true);
    EXPECT_TRUE(actor.get(other));
    EXPECT_EQ(actor.activeRunCount(), 1u);

    const Uuid failing;
    try {
        EarlyStopActor::ScopedRun scoped(actor, failing);
        scoped.stop();
        EXPECT_TRUE(scoped.shouldStop());
        throw std::runtime_error("decoding failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(actor.activeRunCount(), 1u);
    EXPECT_EQ(actor.remove(failing), std::nullopt);
}

TEST(UuidTest, RandomVersionFourRoundTrips) {
    const Uuid a, b;
    EXPECT_NE(a, b);
    const std::string text = a.string();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_EQ(Uuid::fromString(text), a);
    EXPECT_EQ(Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(Uuid::fromString("{e621e1f8-c36c-495a-93fc-0c247a3e6e5f}"));
    EXPECT_FALSE(Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5g"));
}
