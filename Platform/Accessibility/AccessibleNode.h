#pragma once

#include "Platform/Accessibility/AccessibleRole.h"

#include <QRectF>
#include <QString>

#include <sys/types.h>

#include <memory>
#include <optional>

namespace platform {

// The states of an accessible object that the application reads.
struct AccessibleStates {
    bool editable = false;
    bool focused = false;
    bool showing = false;
    bool active = false;
};

// One object of another application's accessibility tree.
//
// Every read is a call into that application and may fail or time out; a failure is
// "nothing found" (an empty optional, a null node, pid 0), never an exception. A node keeps
// its object referenced for as long as it lives.
class AccessibleNode {
public:
    virtual ~AccessibleNode() = default;

    // The role; empty when the object has none or the read failed.
    virtual std::optional<AccessibleRole> role() = 0;
    // The states; empty when the read failed or the object is gone.
    virtual std::optional<AccessibleStates> states() = 0;
    // Whether the object lets its text be edited through the accessibility layer.
    virtual bool hasEditableText() = 0;
    virtual std::optional<int> childCount() = 0;
    virtual std::shared_ptr<AccessibleNode> child(int index) = 0;
    virtual std::shared_ptr<AccessibleNode> parent() = 0;
    // The object's rectangle as the program reports it: device pixels of the X root window
    // (top left, y downward), which differ from Qt's logical pixels on a scaled screen.
    virtual std::optional<QRectF> extents() = 0;
    // The process that owns the object; 0 when unknown.
    virtual pid_t processId() = 0;
    // The text of the object's first selection; empty when nothing is selected, the object
    // has no text or the read failed.
    virtual std::optional<QString> selectedText() { return std::nullopt; }
};

}  // namespace platform
