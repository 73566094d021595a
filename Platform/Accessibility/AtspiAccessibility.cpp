// libatspi comes before Qt: Qt's keyword macros must not reach the GLib headers.
#include <atspi/atspi.h>

#include "Platform/Accessibility/AtspiAccessibility.h"

#include "Platform/Input/ActiveWindow.h"
#include "Platform/Permissions/AccessibilityTrust.h"


#include <algorithm>
#include <deque>
#include <limits>
#include <utility>

namespace platform {

namespace {

// A counted reference to a GObject (accessible, component, state set), released on scope
// exit. Adopting takes over a reference the caller owns.
template <typename T>
class GRef {
public:
    GRef() = default;
    static GRef adopt(T* object) { return GRef(object); }
    static GRef retain(T* object) { return GRef(object != nullptr ? static_cast<T*>(g_object_ref(object)) : nullptr); }
    GRef(const GRef& other) : object_(other.object_ != nullptr ? static_cast<T*>(g_object_ref(other.object_)) : nullptr) {}
    GRef(GRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GRef& operator=(GRef other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }
    ~GRef()
    {
        if (object_ != nullptr) {
            g_object_unref(object_);
        }
    }
    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit GRef(T* object) : object_(object) {}
    T* object_ = nullptr;
};

// A GError out-parameter that frees what it receives.
class Error {
public:
    Error() = default;
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    ~Error() { g_clear_error(&error_); }
    GError** out()
    {
        g_clear_error(&error_);
        return &error_;
    }
    bool failed() const { return error_ != nullptr; }

private:
    GError* error_ = nullptr;
};

using Accessible = GRef<AtspiAccessible>;

std::optional<AccessibleRole> roleFrom(AtspiRole role)
{
    switch (role) {
    case ATSPI_ROLE_INVALID:
    case ATSPI_ROLE_UNKNOWN:
        return std::nullopt;
    case ATSPI_ROLE_TEXT: return AccessibleRole::text;
    case ATSPI_ROLE_ENTRY: return AccessibleRole::entry;
    case ATSPI_ROLE_COMBO_BOX: return AccessibleRole::comboBox;
    case ATSPI_ROLE_PASSWORD_TEXT: return AccessibleRole::passwordText;
    case ATSPI_ROLE_SPIN_BUTTON: return AccessibleRole::spinButton;
    case ATSPI_ROLE_SLIDER: return AccessibleRole::slider;
    case ATSPI_ROLE_SCROLL_BAR: return AccessibleRole::scrollBar;
    case ATSPI_ROLE_DATE_EDITOR: return AccessibleRole::dateEditor;
    case ATSPI_ROLE_DOCUMENT_WEB: return AccessibleRole::documentWeb;
    case ATSPI_ROLE_FRAME: return AccessibleRole::frame;
    case ATSPI_ROLE_WINDOW: return AccessibleRole::window;
    case ATSPI_ROLE_DIALOG: return AccessibleRole::dialog;
    case ATSPI_ROLE_SCROLL_PANE: return AccessibleRole::scrollPane;
    default:
        return AccessibleRole::other;
    }
}

// A state set, or nothing when the object is gone (libatspi answers a failed read with a
// set that holds DEFUNCT).
GRef<AtspiStateSet> stateSet(AtspiAccessible* object)
{
    auto set = GRef<AtspiStateSet>::adopt(atspi_accessible_get_state_set(object));
    if (!set || atspi_state_set_contains(set.get(), ATSPI_STATE_DEFUNCT)) {
        return {};
    }
    return set;
}

pid_t processOf(AtspiAccessible* object)
{
    Error error;
    const guint pid = atspi_accessible_get_process_id(object, error.out());
    if (error.failed() || pid == 0 || pid > 0x7fffffffU) {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

int childCountOf(AtspiAccessible* object)
{
    Error error;
    const gint count = atspi_accessible_get_child_count(object, error.out());
    return error.failed() ? 0 : std::max(count, 0);
}

Accessible childOf(AtspiAccessible* object, int index)
{
    Error error;
    auto child = Accessible::adopt(atspi_accessible_get_child_at_index(object, index, error.out()));
    return error.failed() ? Accessible() : child;
}

class AtspiNode final : public AccessibleNode {
public:
    explicit AtspiNode(Accessible object) : object_(std::move(object)) {}

    std::optional<AccessibleRole> role() override
    {
        Error error;
        const AtspiRole role = atspi_accessible_get_role(object_.get(), error.out());
        if (error.failed()) {
            return std::nullopt;
        }
        return roleFrom(role);
    }

    std::optional<AccessibleStates> states() override
    {
        const auto set = stateSet(object_.get());
        if (!set) {
            return std::nullopt;
        }
        AccessibleStates states;
        states.editable = atspi_state_set_contains(set.get(), ATSPI_STATE_EDITABLE);
        states.focused = atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSED);
        states.showing = atspi_state_set_contains(set.get(), ATSPI_STATE_SHOWING);
        states.active = atspi_state_set_contains(set.get(), ATSPI_STATE_ACTIVE);
        return states;
    }

    bool hasEditableText() override
    {
        return static_cast<bool>(GRef<AtspiEditableText>::adopt(atspi_accessible_get_editable_text_iface(object_.get())));
    }

    std::optional<int> childCount() override
    {
        Error error;
        const gint count = atspi_accessible_get_child_count(object_.get(), error.out());
        if (error.failed() || count < 0) {
            return std::nullopt;
        }
        return count;
    }

    std::shared_ptr<AccessibleNode> child(int index) override
    {
        auto child = childOf(object_.get(), index);
        return child ? std::make_shared<AtspiNode>(std::move(child)) : nullptr;
    }

    std::shared_ptr<AccessibleNode> parent() override
    {
        Error error;
        auto parent = Accessible::adopt(atspi_accessible_get_parent(object_.get(), error.out()));
        if (error.failed() || !parent) {
            return nullptr;
        }
        return std::make_shared<AtspiNode>(std::move(parent));
    }

    std::optional<QRectF> extents() override
    {
        const auto component = GRef<AtspiComponent>::adopt(atspi_accessible_get_component_iface(object_.get()));
        if (!component) {
            return std::nullopt;
        }
        Error error;
        AtspiRect* rect = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, error.out());
        if (rect == nullptr) {
            return std::nullopt;
        }
        const QRectF result(rect->x, rect->y, rect->width, rect->height);
        g_free(rect);
        if (error.failed()) {
            return std::nullopt;
        }
        return result;
    }

    pid_t processId() override { return processOf(object_.get()); }

    std::optional<QString> selectedText() override
    {
        const auto text = GRef<AtspiText>::adopt(atspi_accessible_get_text_iface(object_.get()));
        if (!text) {
            return std::nullopt;
        }
        Error error;
        const gint count = atspi_text_get_n_selections(text.get(), error.out());
        if (error.failed() || count <= 0) {
            return std::nullopt;
        }
        AtspiRange* range = atspi_text_get_selection(text.get(), 0, error.out());
        if (range == nullptr) {
            return std::nullopt;
        }
        const gint start = range->start_offset;
        const gint end = range->end_offset;
        g_free(range);
        if (error.failed() || end <= start) {
            return std::nullopt;
        }
        gchar* selected = atspi_text_get_text(text.get(), start, end, error.out());
        if (selected == nullptr) {
            return std::nullopt;
        }
        const QString result = QString::fromUtf8(selected);
        g_free(selected);
        if (error.failed()) {
            return std::nullopt;
        }
        return result;
    }

private:
    Accessible object_;
};

// The process-wide libatspi connection: made once, kept for the life of the process (the
// library offers no safe way to make it twice).
struct Connection {
    bool reached = false;
    DBusConnection* bus = nullptr;

    static Connection& shared()
    {
        static Connection connection = [] {
            Connection made;
            const int status = atspi_init();
            if (status == 0 || status == 1) {
                made.bus = atspi_get_a11y_bus();
                made.reached = made.bus != nullptr && dbus_connection_get_is_connected(made.bus);
                if (made.bus != nullptr) {
                    dbus_connection_ref(made.bus);
                }
            }
            return made;
        }();
        return connection;
    }
};

// How many objects one search may visit, and how often a search that found nothing is
// repeated for the same process. The bound keeps a huge tree (a browser) from costing more
// than a share of one poll; the repeat finds the focus of a program whose tree appeared
// after it was first asked, or that sends no focus events.
constexpr int kMaxSearchNodes = 400;
constexpr auto kSearchRepeat = std::chrono::seconds(1);

}  // namespace

struct AtspiAccessibility::State {
    // Made once the desktop first counts as trusted: libatspi looks for the accessibility
    // bus only once, so it must not look before the bus is there.
    Connection* connection = nullptr;
    std::function<bool()> trusted;
    GRef<AtspiEventListener> listener;
    Accessible focused;  // the source of the last focus event, or the last search's result
    pid_t lastSearchProcess = 0;
    std::chrono::steady_clock::time_point lastSearch;

    static void onFocusEvent(AtspiEvent* event, void* data)
    {
        auto* state = static_cast<State*>(data);
        if (event->source != nullptr) {
            if (event->detail1 != 0) {
                state->focused = Accessible::retain(event->source);
            } else if (event->source == state->focused.get()) {
                state->focused = {};
            }
        }
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    // The kept object, when it is still focused, alive and owned by `process`.
    Accessible keptFocus(pid_t process) const
    {
        if (!focused) {
            return {};
        }
        Accessible kept = focused;  // a focus event during the calls below may replace it
        const auto set = stateSet(kept.get());
        if (!set || !atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSED)) {
            return {};
        }
        return processOf(kept.get()) == process ? kept : Accessible();
    }

    Accessible search(pid_t process, Deadline deadline) const
    {
        const auto desktop = Accessible::adopt(atspi_get_desktop(0));
        if (!desktop) {
            return {};
        }
        // Breadth first through the process's windows, active windows first; only showing
        // objects are opened, since a hidden one holds no focus.
        std::deque<Accessible> queue;
        const int applications = childCountOf(desktop.get());
        for (int i = 0; i < applications && std::chrono::steady_clock::now() < deadline; ++i) {
            auto application = childOf(desktop.get(), i);
            if (!application || processOf(application.get()) != process) {
                continue;
            }
            const int windows = childCountOf(application.get());
            for (int w = 0; w < windows; ++w) {
                auto window = childOf(application.get(), w);
                if (!window) {
                    continue;
                }
                const auto set = stateSet(window.get());
                if (set && atspi_state_set_contains(set.get(), ATSPI_STATE_ACTIVE)) {
                    queue.push_front(std::move(window));
                } else {
                    queue.push_back(std::move(window));
                }
            }
        }
        int visited = 0;
        while (!queue.empty() && visited < kMaxSearchNodes && std::chrono::steady_clock::now() < deadline) {
            Accessible node = std::move(queue.front());
            queue.pop_front();
            ++visited;
            const auto set = stateSet(node.get());
            if (!set) {
                continue;
            }
            if (atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSED)) {
                return node;
            }
            if (!atspi_state_set_contains(set.get(), ATSPI_STATE_SHOWING)) {
                continue;
            }
            const int children = childCountOf(node.get());
            for (int i = 0; i < children && static_cast<int>(queue.size()) < kMaxSearchNodes; ++i) {
                if (auto child = childOf(node.get(), i)) {
                    queue.push_back(std::move(child));
                }
            }
        }
        return {};
    }
};

AtspiAccessibility::AtspiAccessibility(std::function<bool()> trusted) : state_(std::make_unique<State>())
{
    state_->trusted = trusted ? std::move(trusted) : [] { return AccessibilityTrust::shared().isTrusted(); };
}

bool AtspiAccessibility::connect()
{
    if (state_->connection != nullptr) {
        return state_->connection->reached;
    }
    state_->connection = &Connection::shared();
    if (!state_->connection->reached) {
        return false;
    }
    state_->listener = GRef<AtspiEventListener>::adopt(atspi_event_listener_new(&State::onFocusEvent, state_.get(), nullptr));
    Error error;
    if (!state_->listener
        || !atspi_event_listener_register(state_->listener.get(), "object:state-changed:focused", error.out())) {
        // Without events the search still finds the focus, only later.
        state_->listener = {};
    }
    return true;
}

AtspiAccessibility::~AtspiAccessibility()
{
    if (state_->listener) {
        Error error;
        atspi_event_listener_deregister(state_->listener.get(), "object:state-changed:focused", error.out());
    }
}

bool AtspiAccessibility::isTrusted()
{
    // The application's one meaning of trusted first; libatspi's own connection is made
    // when that first holds. A libatspi bus that dropped is not reconnected: libatspi would
    // block on finding it again.
    if (!state_->trusted() || !connect()) {
        return false;
    }
    return dbus_connection_get_is_connected(state_->connection->bus);
}

void AtspiAccessibility::setMessagingTimeout(std::chrono::milliseconds timeout)
{
    const auto ms = static_cast<gint>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 1));
    // The second value is the grace libatspi gives a program that registered just now;
    // it gets no more than any other, so that a program hanging at start blocks no longer.
    atspi_set_timeout(ms, ms);
}

std::optional<pid_t> AtspiAccessibility::frontmostProcess()
{
    const auto pid = ActiveWindow::frontmostPid();
    if (!pid || *pid <= 0 || *pid > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return static_cast<pid_t>(*pid);
}

std::shared_ptr<AccessibleNode> AtspiAccessibility::focusedNode(pid_t process, Deadline deadline)
{
    if (!isTrusted() || process <= 0) {
        return nullptr;
    }
    if (auto kept = state_->keptFocus(process)) {
        return std::make_shared<AtspiNode>(std::move(kept));
    }
    const auto now = std::chrono::steady_clock::now();
    if (process == state_->lastSearchProcess && now - state_->lastSearch < kSearchRepeat) {
        return nullptr;
    }
    state_->lastSearchProcess = process;
    state_->lastSearch = now;
    auto found = state_->search(process, deadline);
    if (!found) {
        return nullptr;
    }
    state_->focused = found;
    return std::make_shared<AtspiNode>(std::move(found));
}

}  // namespace platform
