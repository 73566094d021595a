#include "KorvuDarivir/Dictation/FocusTracker.h"

#include "Platform/Accessibility/AtspiAccessibility.h"
#include <QTimer>

#include <unistd.h>

namespace korvu {

using platform::AccessibleNode;
using platform::AccessibleRole;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);
// Editing areas nest a few levels deep (a web editor's paragraphs in its editable root);
// the bound only guards against a cycle in a broken tree.
constexpr int kMaxEditableAncestors = 16;
constexpr int kMaxEditableClimbs = 8;
constexpr int kMaxSmallClimbs = 6;
// An anchor smaller than this is an inner part of a field, not the field.
constexpr double kMinAnchorWidth = 30;
constexpr double kMinAnchorHeight = 12;
// A number field is a field with a stepper among its few children.
constexpr int kMaxNumberFieldChildren = 4;

bool isNonTextRole(AccessibleRole role)
{
    switch (role) {
    case AccessibleRole::spinButton:
    case AccessibleRole::slider:
    case AccessibleRole::scrollBar:
    case AccessibleRole::dateEditor:
        return true;
    default:
        return false;
    }
}

// Containers that end the editing area: above them lies a page, a window or a scroller.
bool isStopRole(AccessibleRole role)
{
    switch (role) {
    case AccessibleRole::documentWeb:
    case AccessibleRole::frame:
    case AccessibleRole::window:
    case AccessibleRole::dialog:
    case AccessibleRole::scrollPane:
        return true;
    default:
        return false;
    }
}

}  // namespace

FocusTracker::FocusTracker()
    : FocusTracker(Environment{
        .accessibility = std::make_shared<platform::AtspiAccessibility>(),
        .screens = std::make_shared<platform::QtScreenProvider>(),
        .clock = [] { return std::chrono::steady_clock::now(); },
        .ownPID = ::getpid(),
    })
{
}

FocusTracker::FocusTracker(Environment environment) : environment_(std::move(environment))
{
    if (!environment_.screens) {
        environment_.screens = std::make_shared<platform::QtScreenProvider>();
    }
    if (!environment_.clock) {
        environment_.clock = [] { return std::chrono::steady_clock::now(); };
    }
}

FocusTracker::~FocusTracker() = default;

void FocusTracker::start()
{
    if (timer_) {
        return;
    }
    environment_.accessibility->setMessagingTimeout(environment_.messagingTimeout);
    // The timer belongs to the tracker, so no poll runs after the tracker is gone.
    timer_ = std::make_unique<QTimer>();
    timer_->setInterval(kPollInterval);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { tick(); });
    timer_->start();
}

void FocusTracker::tick()
{
    // A callback that runs a nested event loop must not start a poll inside this one.
    if (ticking_) {
        return;
    }
    ticking_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{ticking_};

    deadline_ = environment_.clock() + environment_.tickBudget;
    outOfTime_ = false;
    std::optional<FocusedField> field = currentField();
    if (outOfTime_ || environment_.clock() >= deadline_) {
        // An application that answers too slowly tells us nothing; what was reported last
        // stays until a poll completes in time.
        return;
    }
    if (field == lastField_) {
        return;
    }
    lastField_ = field;
    if (onChange) {
        onChange(field);
    }
}

std::optional<FocusedField> FocusTracker::currentField()
{
    auto& accessibility = *environment_.accessibility;
    if (!accessibility.isTrusted()) {
        return std::nullopt;
    }
    const auto frontmost = accessibility.frontmostProcess();
    if (!frontmost || *frontmost == environment_.ownPID) {
        return std::nullopt;
    }
    if (spent()) {
        return std::nullopt;
    }
    const auto focused = accessibility.focusedNode(*frontmost, deadline_);
    if (spent() || !focused || !isEditableText(*focused)) {
        return std::nullopt;
    }
    const auto anchorNode = anchor(focused);
    const auto frame = screenFrame(*anchorNode);
    if (!frame || spent()) {
        return std::nullopt;
    }
    const pid_t owner = focused->processId();
    // An owner that cannot be told is no target: a dictation would go nowhere.
    if (owner <= 0 || owner == environment_.ownPID) {
        return std::nullopt;
    }
    return FocusedField{owner, *frame};
}

bool FocusTracker::isEditableText(AccessibleNode& node)
{
    const auto nodeRole = role(node);
    if (nodeRole == AccessibleRole::passwordText) {
        return false;
    }
    if (nodeRole) {
        if (isNonTextRole(*nodeRole)) {
            return false;
        }
        if (isNumberField(node)) {
            return false;
        }
        if (isTextRole(*nodeRole, node)) {
            return true;
        }
    } else if (isNumberField(node)) {
        return false;
    }
    return isSettableText(node);
}

bool FocusTracker::isTextRole(AccessibleRole role, AccessibleNode& node)
{
    if (role == AccessibleRole::text || role == AccessibleRole::entry) {
        return true;
    }
    // A combo box counts only when its text can be typed.
    if (role == AccessibleRole::comboBox) {
        const auto nodeStates = states(node);
        return nodeStates && nodeStates->editable;
    }
    return false;
}

bool FocusTracker::isSettableText(AccessibleNode& node)
{
    const auto nodeStates = states(node);
    return nodeStates && nodeStates->editable && hasEditableText(node);
}

bool FocusTracker::isNumberField(AccessibleNode& node)
{
    const auto count = childCount(node);
    if (!count || *count <= 0 || *count > kMaxNumberFieldChildren) {
        return false;
    }
    for (int i = 0; i < *count; ++i) {
        const auto item = child(node, i);
        if (item && role(*item) == AccessibleRole::spinButton) {
            return true;
        }
    }
    return false;
}

std::shared_ptr<AccessibleNode> FocusTracker::anchor(const std::shared_ptr<AccessibleNode>& node)
{
    // The highest editable ancestor: inside a web editor the focus sits in a paragraph,
    // and the editor is the area the user sees.
    std::shared_ptr<AccessibleNode> current = node;
    for (int i = 0; i < kMaxEditableAncestors; ++i) {
        const auto up = parent(*current);
        if (!up) {
            break;
        }
        const auto upStates = states(*up);
        if (!upStates || !upStates->editable) {
            break;
        }
        current = up;
    }

    for (int i = 0; i < kMaxEditableClimbs; ++i) {
        const auto up = parent(*current);
        if (!up) {
            break;
        }
        const auto upRole = role(*up);
        if (upRole && isStopRole(*upRole)) {
            break;
        }
        if ((upRole && isTextRole(*upRole, *up)) || isSettableText(*up)) {
            current = up;
            continue;
        }
        break;
    }

    for (int i = 0; i < kMaxSmallClimbs; ++i) {
        const auto size = extents(*current);
        if (!size || (size->width() >= kMinAnchorWidth && size->height() >= kMinAnchorHeight)) {
            break;
        }
        const auto up = parent(*current);
        if (!up) {
            break;
        }
        current = up;
    }
    return current;
}

std::optional<QRectF> FocusTracker::screenFrame(AccessibleNode& node)
{
    // Extents come in device pixels; on a scaled screen they are converted here, where
    // they enter the application.
    const auto deviceRect = extents(node);
    if (!deviceRect || deviceRect->width() <= 0 || deviceRect->height() <= 0) {
        return std::nullopt;
    }
    const auto placed = environment_.screens->fromDevicePixels(*deviceRect);
    if (!placed) {
        return std::nullopt;
    }
    const QRectF clipped = placed->rect.intersected(placed->screen.availableArea);
    if (clipped.isEmpty()) {
        return std::nullopt;
    }
    return clipped;
}

bool FocusTracker::spent()
{
    if (!outOfTime_ && environment_.clock() >= deadline_) {
        outOfTime_ = true;
    }
    return outOfTime_;
}

std::optional<AccessibleRole> FocusTracker::role(AccessibleNode& node)
{
    return spent() ? std::nullopt : node.role();
}

std::optional<platform::AccessibleStates> FocusTracker::states(AccessibleNode& node)
{
    return spent() ? std::nullopt : node.states();
}

bool FocusTracker::hasEditableText(AccessibleNode& node)
{
    return !spent() && node.hasEditableText();
}

std::optional<int> FocusTracker::childCount(AccessibleNode& node)
{
    return spent() ? std::nullopt : node.childCount();
}

std::shared_ptr<AccessibleNode> FocusTracker::child(AccessibleNode& node, int index)
{
    return spent() ? nullptr : node.child(index);
}

std::shared_ptr<AccessibleNode> FocusTracker::parent(AccessibleNode& node)
{
    return spent() ? nullptr : node.parent();
}

std::optional<QRectF> FocusTracker::extents(AccessibleNode& node)
{
    return spent() ? std::nullopt : node.extents();
}

}  // namespace korvu
