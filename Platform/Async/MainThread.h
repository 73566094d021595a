#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <functional>
#include <type_traits>
#include <utility>

namespace platform {

// The one way a worker hands its result back: `work` runs later on the main thread with
// the receiver, and not at all when `receiver` is gone by then.
//
// Make the QPointer on the main thread (where the receiver lives), before the work starts;
// from a worker thread a raw receiver pointer could already dangle. The call is queued on
// the application object, which outlives every receiver, and checks the receiver there,
// on the main thread, where it can no longer be destroyed in between.
template <typename Receiver>
void deliver(const QPointer<Receiver>& receiver, std::type_identity_t<std::function<void(Receiver&)>> work)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [receiver, work = std::move(work)] {
            if (receiver && work) {
                work(*receiver);
            }
        },
        Qt::QueuedConnection);
}

// The same for work that needs only the receiver's life, not the receiver.
inline void deliver(const QPointer<QObject>& receiver, std::function<void()> work)
{
    if (!work) {
        return;
    }
    deliver<QObject>(receiver, [work = std::move(work)](QObject&) { work(); });
}

}  // namespace platform
