#pragma once

// A function that runs once on the next turn of the event loop, however often it is asked
// for before then: many value changes in one turn give one refresh.

#include <QMetaObject>
#include <QObject>

#include <functional>
#include <memory>
#include <utility>

namespace platform {

class OncePerTurn {
public:
    // The run is queued on `context` (usually the owner): a queued run is dropped when the
    // context goes, and also when this object goes first.
    OncePerTurn(QObject* context, std::function<void()> run)
        : context_(context), state_(std::make_shared<State>(State{std::move(run), false})) {}
    OncePerTurn(const OncePerTurn&) = delete;
    OncePerTurn& operator=(const OncePerTurn&) = delete;

    void request()
    {
        if (state_->pending) return;
        state_->pending = true;
        QMetaObject::invokeMethod(
            context_,
            [weak = std::weak_ptr<State>(state_)] {
                // Held for the run, which may destroy this object.
                const std::shared_ptr<State> state = weak.lock();
                if (!state) return;
                state->pending = false;
                state->run();
            },
            Qt::QueuedConnection);
    }

private:
    struct State {
        std::function<void()> run;
        bool pending;
    };

    QObject* context_;
    std::shared_ptr<State> state_;
};

}  // namespace platform
