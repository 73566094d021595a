#pragma once

// Searches an application's tree on the accessibility bus, as a screen reader does.
// Include it before Qt: Qt's keyword macros must not reach the GLib headers.
#include <atspi/atspi.h>

#include <functional>
#include <memory>

namespace x11test {

struct GUnref {
    void operator()(void* object) const { g_object_unref(object); }
};
using Accessible = std::unique_ptr<AtspiAccessible, GUnref>;

// The first object at or below `node` (depth first) that `wanted` accepts.
inline Accessible findBelow(AtspiAccessible* node, const std::function<bool(AtspiAccessible*)>& wanted, int depth = 0)
{
    if (wanted(node)) return Accessible(static_cast<AtspiAccessible*>(g_object_ref(node)));
    const int count = depth < 8 ? atspi_accessible_get_child_count(node, nullptr) : 0;
    for (int i = 0; i < count; ++i) {
        Accessible child(atspi_accessible_get_child_at_index(node, i, nullptr));
        if (Accessible found = child ? findBelow(child.get(), wanted, depth + 1) : nullptr) return found;
    }
    return nullptr;
}

// The first object that `wanted` accepts in the application of process `pid`.
inline Accessible findInApplication(long long pid, const std::function<bool(AtspiAccessible*)>& wanted)
{
    Accessible desktop(atspi_get_desktop(0));
    const int count = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (int i = 0; i < count; ++i) {
        Accessible app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (app && atspi_accessible_get_process_id(app.get(), nullptr) == static_cast<guint>(pid)) {
            return findBelow(app.get(), wanted);
        }
    }
    return nullptr;
}

}  // namespace x11test
