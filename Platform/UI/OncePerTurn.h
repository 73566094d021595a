#pragma once

// A function that runs once on the next turn of the event loop, however often it is asked
// for before then: many value changes in one turn give one refresh.

#include <QMetaObject>
#include <QObject>

#include <functional>
#include <utility>

namespace platform {

class OncePerTurn {
public:
    // `context` owns this object; a queued run is dropped with it.
    OncePerTurn(QObject* context, std::function<void()> run) : context_(context), run_(std::move(run)) {}
    OncePerTurn(const OncePerTurn&) = delete;
    OncePerTurn& operator=(const OncePerTurn&) = delete;

    void request()
    {
        if (pending_) return;
        pending_ = true;
        QMetaObject::invokeMethod(
            context_,
            [this] {
                pending_ = false;
                run_();
            },
            Qt::QueuedConnection);
    }

private:
    QObject* context_;
    std::function<void()> run_;
    bool pending_ = false;
};

}  // namespace platform
