#include "Platform/Clipboard/SelectionReader.h"

#include "Platform/Input/XcbReply.h"

#include <QString>
#include <QtDebug>

#include <poll.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

using xcbutil::wrap;

// One X connection with a hidden window that receives the converted selections.
class Connection {
public:
    Connection()
    {
        connection_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(connection_) != 0) return;
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        if (screen == nullptr) return;
        window_ = xcb_generate_id(connection_);
        const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
        clipboard_ = atom("CLIPBOARD");
        targets_ = atom("TARGETS");
        incr_ = atom("INCR");
        utf8_ = atom("UTF8_STRING");
        text_ = atom("TEXT");
        property_ = atom("KORVU_DARIVIR_SELECTION");
        ok_ = clipboard_ != XCB_NONE && property_ != XCB_NONE;
    }
    ~Connection()
    {
        if (connection_ != nullptr) xcb_disconnect(connection_);
    }

    bool ok() const { return ok_ && xcb_connection_has_error(connection_) == 0; }

    ClipboardSnapshot read(Clock::time_point deadline)
    {
        ClipboardSnapshot snapshot;
        // Late answers to an earlier read that gave up must not pass for this one's.
        while (xcb_generic_event_t* stale = xcb_poll_for_event(connection_)) std::free(stale);
        auto owner = wrap(xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, clipboard_), nullptr));
        if (!owner || owner->owner == XCB_NONE) return snapshot;

        const std::optional<std::string> offered = convert(targets_, deadline);
        if (!offered) {
            qWarning("The clipboard's owner did not say what it holds in time; its contents are not kept");
            return snapshot;
        }
        std::vector<xcb_atom_t> targets(offered->size() / sizeof(xcb_atom_t));
        std::memcpy(targets.data(), offered->data(), targets.size() * sizeof(xcb_atom_t));

        // The text types all become "text/plain"; the best one offered is read.
        xcb_atom_t textTarget = XCB_NONE;
        for (const xcb_atom_t candidate : {utf8_, static_cast<xcb_atom_t>(XCB_ATOM_STRING), text_}) {
            for (const xcb_atom_t target : targets) {
                if (target == candidate && textTarget == XCB_NONE) textTarget = candidate;
            }
        }
        std::set<QString> named;
        int skipped = 0;
        for (const xcb_atom_t target : targets) {
            if (target == XCB_NONE) continue;
            const bool isText = target == utf8_ || target == XCB_ATOM_STRING || target == text_;
            if (isText && target != textTarget) continue;
            const QString format = isText ? QStringLiteral("text/plain") : name(target);
            if (format.isEmpty() || isBookkeeping(format) || !named.insert(format).second) continue;
            if (Clock::now() >= deadline) {
                ++skipped;
                continue;
            }
            std::optional<std::string> bytes = convert(target, deadline);
            if (!bytes) {
                ++skipped;
                continue;
            }
            QByteArray data(bytes->data(), static_cast<qsizetype>(bytes->size()));
            if (target == XCB_ATOM_STRING) data = QString::fromLatin1(data).toUtf8();
            snapshot.formats.emplace_back(format, std::move(data));
        }
        if (skipped > 0) {
            qWarning("The clipboard's owner did not hand over %d of its formats in time; they are not kept", skipped);
        }
        return snapshot;
    }

private:
    static bool isBookkeeping(const QString& format)
    {
        static const std::set<QString> names{"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE",
                                             "INCR", "application/x-qt-image", "PIXMAP", "BITMAP", "DRAWABLE",
                                             "COLORMAP", "WINDOW", "ATOM"};
        return names.count(format) != 0;
    }

    xcb_atom_t atom(const char* name) { return xcbutil::atom(connection_, name, /*create=*/true); }

    QString name(xcb_atom_t atom)
    {
        auto reply = wrap(xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, atom), nullptr));
        if (!reply) return {};
        return QString::fromLatin1(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
    }

    // Asks the owner for one target and collects its answer; none when the owner refused
    // or did not finish before the deadline.
    std::optional<std::string> convert(xcb_atom_t target, Clock::time_point deadline)
    {
        xcb_delete_property(connection_, window_, property_);
        xcb_convert_selection(connection_, window_, clipboard_, target, property_, XCB_CURRENT_TIME);
        xcb_flush(connection_);
        auto notify = waitFor(deadline, [&](const xcb_generic_event_t* event) {
            if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
            const auto* selection = reinterpret_cast<const xcb_selection_notify_event_t*>(event);
            return selection->requestor == window_ && selection->selection == clipboard_ && selection->target == target;
        });
        if (!notify) return std::nullopt;
        if (reinterpret_cast<const xcb_selection_notify_event_t*>(notify.get())->property == XCB_NONE) {
            return std::nullopt;
        }
        xcb_atom_t type = XCB_NONE;
        std::optional<std::string> bytes = takeProperty(&type);
        if (!bytes || type != incr_) return bytes;

        // The incremental transfer: deleting the property asks for the next chunk; an empty
        // chunk ends it.
        std::string whole;
        for (;;) {
            auto changed = waitFor(deadline, [&](const xcb_generic_event_t* event) {
                if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
                const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
                return property->window == window_ && property->atom == property_ &&
                       property->state == XCB_PROPERTY_NEW_VALUE;
            });
            if (!changed) return std::nullopt;
            std::optional<std::string> chunk = takeProperty(&type);
            if (!chunk) return std::nullopt;
            if (chunk->empty()) return whole;
            whole += *chunk;
        }
    }

    // Reads and deletes our property.
    std::optional<std::string> takeProperty(xcb_atom_t* type)
    {
        auto reply = wrap(xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 1, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, 0x1fffffff), nullptr));
        xcb_flush(connection_);
        if (!reply) return std::nullopt;
        *type = reply->type;
        const int length = xcb_get_property_value_length(reply.get());
        const auto* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
        return std::string(value, value + length);
    }

    template <typename Match>
    xcbutil::Reply<xcb_generic_event_t> waitFor(Clock::time_point deadline, Match match)
    {
        for (;;) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                auto owned = wrap(event);
                if (match(owned.get())) return owned;
            }
            if (xcb_connection_has_error(connection_) != 0) return wrap<xcb_generic_event_t>(nullptr);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return wrap<xcb_generic_event_t>(nullptr);
            pollfd descriptor{xcb_get_file_descriptor(connection_), POLLIN, 0};
            ::poll(&descriptor, 1, static_cast<int>(left.count()));
        }
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = XCB_NONE;
    xcb_atom_t clipboard_ = XCB_NONE;
    xcb_atom_t targets_ = XCB_NONE;
    xcb_atom_t incr_ = XCB_NONE;
    xcb_atom_t utf8_ = XCB_NONE;
    xcb_atom_t text_ = XCB_NONE;
    xcb_atom_t property_ = XCB_NONE;
    bool ok_ = false;
};

}  // namespace

SelectionReader::SelectionReader() : thread_([this] { run(); }) {}

SelectionReader::~SelectionReader()
{
    {
        std::scoped_lock lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

void SelectionReader::read(std::chrono::milliseconds budget, Done done)
{
    {
        std::scoped_lock lock(mutex_);
        jobs_.push_back({budget, std::move(done)});
    }
    wake_.notify_all();
}

void SelectionReader::run()
{
    std::unique_ptr<Connection> connection;
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        // Connected on first use, and again after the server dropped us.
        if (!connection || !connection->ok()) connection = std::make_unique<Connection>();
        ClipboardSnapshot snapshot;
        if (connection->ok()) snapshot = connection->read(Clock::now() + job.budget);
        if (job.done) job.done(std::move(snapshot));
    }
}

}  // namespace platform
