#pragma once

// Accessibility trees made by hand, with a clock that each call advances, for the tracker's
// decision rules.

#include "Platform/Accessibility/Accessibility.h"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace fakes {

using Clock = std::chrono::steady_clock;

// Time that passes only when an accessibility call is made.
struct FakeClock {
    Clock::time_point now{};
    std::chrono::milliseconds perCall{0};
    int calls = 0;

    // Counts a call, lets its time pass and hands back what the call answers.
    template <class T>
    T call(T answer)
    {
        ++calls;
        now += perCall;
        return answer;
    }
};

class FakeNode : public platform::AccessibleNode, public std::enable_shared_from_this<FakeNode> {
public:
    explicit FakeNode(std::shared_ptr<FakeClock> clock) : clock_(std::move(clock)) {}

    std::optional<platform::AccessibleRole> nodeRole;
    std::optional<platform::AccessibleStates> nodeStates = platform::AccessibleStates{};
    bool editableText = false;
    std::optional<QRectF> nodeExtents;
    pid_t pid = 0;
    std::vector<std::shared_ptr<FakeNode>> children;
    std::weak_ptr<FakeNode> up;

    // Adds a child (its process is this node's) and returns it.
    std::shared_ptr<FakeNode> add(std::optional<platform::AccessibleRole> role, std::optional<QRectF> extents = {})
    {
        auto node = std::make_shared<FakeNode>(clock_);
        node->nodeRole = role;
        node->nodeExtents = extents;
        node->pid = pid;
        node->up = weak_from_this();
        children.push_back(node);
        return node;
    }

    // Makes the node editable the way a settable text is: the state and the interface.
    void makeSettable()
    {
        nodeStates->editable = true;
        editableText = true;
    }

    std::optional<platform::AccessibleRole> role() override { return clock_->call(nodeRole); }
    std::optional<platform::AccessibleStates> states() override { return clock_->call(nodeStates); }
    bool hasEditableText() override { return clock_->call(editableText); }
    std::optional<int> childCount() override { return clock_->call(std::optional<int>(int(children.size()))); }
    std::shared_ptr<platform::AccessibleNode> child(int index) override
    {
        const bool inRange = index >= 0 && index < int(children.size());
        return clock_->call<std::shared_ptr<platform::AccessibleNode>>(inRange ? children[index] : nullptr);
    }
    std::shared_ptr<platform::AccessibleNode> parent() override { return clock_->call(up.lock()); }
    std::optional<QRectF> extents() override { return clock_->call(nodeExtents); }
    pid_t processId() override { return clock_->call(pid); }

private:
    std::shared_ptr<FakeClock> clock_;
};

class FakeAccessibility : public platform::Accessibility {
public:
    explicit FakeAccessibility(std::shared_ptr<FakeClock> clock) : clock_(std::move(clock)) {}

    bool trusted = true;
    std::optional<pid_t> frontmost = 4242;
    std::shared_ptr<FakeNode> focused;
    std::optional<std::chrono::milliseconds> timeout;
    int focusedNodeCalls = 0;

    bool isTrusted() override { return trusted; }
    void setMessagingTimeout(std::chrono::milliseconds value) override { timeout = value; }
    std::optional<pid_t> frontmostProcess() override { return frontmost; }
    std::shared_ptr<platform::AccessibleNode> focusedNode(pid_t, Deadline) override
    {
        ++focusedNodeCalls;
        return clock_->call(focused);
    }

private:
    std::shared_ptr<FakeClock> clock_;
};

}  // namespace fakes
