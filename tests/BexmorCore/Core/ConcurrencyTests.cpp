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

TEST(UnfairLockTest, ReturnsResultAndReleasesAfterThrow) {
    UnfairLock lock;
    EXPECT_EQ(lock.withLock([] { return 42; }), 42);
    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("body failed"); }), std::runtime_error);
    // The lock is free again: this would deadlock otherwise.
    EXPECT_EQ(lock.withLock([] { return 7; }), 7);
}

TEST(PropertyLockTest, ModifyNeverLosesAChange) {
    PropertyLock<long> total(0);
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) total.modify([](long& value) { ++value; });
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(total.get(), 20000);
}

TEST(PropertyLockTest, ThrowingChangeLeavesLockFree) {
    PropertyLock<std::string> text("a");
    EXPECT_THROW(text.modify([](std::string&) -> void { throw std::runtime_error("x"); }), std::runtime_error);
    text = "b";
    EXPECT_EQ(text.get(), "b");
}

namespace {

struct Wrapped {
    PropertyLock<std::string> text{"hi"};
    PropertyLock<std::vector<int>> tokens{std::vector<int>{1, 2}};
    PropertyLock<double> seconds{1.5};
};

void to_json(nlohmann::json& json, const Wrapped& value) {
    json = {{"text", value.text}, {"tokens", value.tokens}, {"seconds", value.seconds}};
}

void from_json(const nlohmann::json& json, Wrapped& value) {
    json.at("text").get_to(value.text);
    json.at("tokens").get_to(value.tokens);
    json.at("seconds").get_to(value.seconds);
}

}  // namespace

TEST(PropertyLockTest, EncodesExactlyAsThePlainValues) {
    const Wrapped wrapped;
    const nlohmann::json plain = {{"text", "hi"}, {"tokens", {1, 2}}, {"seconds", 1.5}};
    EXPECT_EQ(nlohmann::json(wrapped).dump(), plain.dump());

    Wrapped decoded;
    nlohmann::json::parse(R"({"text":"yo","tokens":[3],"seconds":2.0})").get_to(decoded);
    EXPECT_EQ(decoded.text.get(), "yo");
    EXPECT_EQ(decoded.tokens.get(), std::vector<int>{3});

    // A decoding failure leaves the field as it was.
    EXPECT_THROW(nlohmann::json::parse(R"({"text":5,"tokens":[3],"seconds":2.0})").get_to(decoded),
                 nlohmann::json::exception);
    EXPECT_EQ(decoded.text.get(), "yo");
}

TEST(ProtectedTest, CopiesShareTheCellAndOptionalStartsAbsent) {
    Protected<std::optional<int>> handle;
    EXPECT_FALSE(handle.get().has_value());
    Protected<std::optional<int>> copy = handle;
    copy = 5;
    EXPECT_EQ(handle.get(), 5);

    Protected<int> counter(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) counter.modify([](int& value) { value += 2; });
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter.get(), 40000);
}

TEST(WeakSendableWrapperTest, ReadsEmptyOnceTheObjectIsGone) {
    auto owner = std::make_shared<std::string>("engine");
    WeakSendableWrapper<std::string> weak(owner);
    EXPECT_EQ(*weak.value(), "engine");
    owner.reset();
    EXPECT_EQ(weak.value(), nullptr);
    auto other = std::make_shared<std::string>("other");
    weak.setValue(other);
    EXPECT_EQ(weak.value(), other);
}

TEST(EarlyStopActorTest, FlagsPerRun) {
    EarlyStopActor actor;
    const Uuid run;
    const Uuid other;
    EXPECT_FALSE(actor.get(run));
    EXPECT_EQ(actor.remove(run), std::nullopt);
    EXPECT_EQ(actor.activeRunCount(), 0u);

    actor.set(false, run);
    actor.set(true, other);
    EXPECT_FALSE(actor.get(run));
    actor.set(true, run);
    EXPECT_EQ(actor.remove(run), true);
    EXPECT_FALSE(actor.get(run));
    EXPECT_TRUE(actor.get(other));
    EXPECT_EQ(actor.activeRunCount(), 1u);
}

TEST(EarlyStopActorTest, ScopedRunRemovesItsEntryWhenTheRunThrows) {
    EarlyStopActor actor;
    Uuid id;
    try {
        EarlyStopActor::ScopedRun run(actor, id);
        EXPECT_FALSE(run.shouldStop());
        run.stop();
        EXPECT_TRUE(actor.get(id));
        throw std::runtime_error("decoding failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(actor.activeRunCount(), 0u);
    EXPECT_EQ(actor.remove(id), std::nullopt);
}

TEST(UuidTest, RandomVersionFourRoundTrips) {
    const Uuid a;
    const Uuid b;
    EXPECT_NE(a, b);
    const std::string text = a.string();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
    EXPECT_EQ(Uuid::fromString(text), a);
    EXPECT_EQ(Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->string(),
              "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(Uuid::fromString("{e621e1f8-c36c-495a-93fc-0c247a3e6e5f}"));
    EXPECT_FALSE(Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5g"));
}

