#pragma once

#include <QString>

#include <cmath>

namespace korvu {

// The floating button's look. Two `load` values are equal when their progress values are
// equal; every other case equals only itself.
class MicButtonState {
public:
    enum class Kind { load, idle, hover, rec, proc, ok, err };

    // The speech model is downloading or not loaded; `progress` 0...1.
    static MicButtonState load(double progress) { return MicButtonState(Kind::load, progress); }
    static const MicButtonState idle;   // ready to dictate
    static const MicButtonState hover;  // idle with the mouse over the button
    static const MicButtonState rec;    // recording
    static const MicButtonState proc;   // transcribing, cleaning up or preparing the model
    static const MicButtonState ok;     // the text was inserted (a short flash)
    static const MicButtonState err;    // something failed (a short flash)

    Kind kind() const { return kind_; }
    // The load progress; 0 for the other cases.
    double progress() const { return progress_; }

    // What a screen reader says about the button.
    QString accessibilityLabel() const;

    friend bool operator==(const MicButtonState& a, const MicButtonState& b)
    {
        // A progress that is not a number equals itself here, so that a model stuck at NaN
        // does not count as a change at every update.
        return a.kind_ == b.kind_ &&
               (a.kind_ != Kind::load || a.progress_ == b.progress_ ||
                (std::isnan(a.progress_) && std::isnan(b.progress_)));
    }

private:
    constexpr MicButtonState(Kind kind, double progress) : kind_(kind), progress_(progress) {}

    Kind kind_;
    double progress_;
};

inline const MicButtonState MicButtonState::idle{Kind::idle, 0.0};
inline const MicButtonState MicButtonState::hover{Kind::hover, 0.0};
inline const MicButtonState MicButtonState::rec{Kind::rec, 0.0};
inline const MicButtonState MicButtonState::proc{Kind::proc, 0.0};
inline const MicButtonState MicButtonState::ok{Kind::ok, 0.0};
inline const MicButtonState MicButtonState::err{Kind::err, 0.0};

}  // namespace korvu
