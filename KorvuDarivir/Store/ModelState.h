#pragma once

#include <QString>

#include <utility>

namespace korvu {

// The speech model's state as the application shows it (the engine has its own, finer
// lifecycle state). Equal when the case and that case's payload are equal.
class ModelState {
public:
    enum class Kind { downloading, preparing, failed, notLoaded, ready };

    // Being downloaded; `progress` is the fraction done, 0...1.
    static ModelState downloading(double progress) { return ModelState(Kind::downloading, progress, false, {}); }
    // Being loaded and prepared; `firstTime` while it has never been prepared here.
    static ModelState preparing(bool firstTime) { return ModelState(Kind::preparing, 0.0, firstTime, {}); }
    // Loading or downloading failed with the error's description.
    static ModelState failed(const QString& message) { return ModelState(Kind::failed, 0.0, false, message); }
    static const ModelState notLoaded;
    static const ModelState ready;

    Kind kind() const { return kind_; }
    double progress() const { return progress_; }
    bool firstTime() const { return firstTime_; }
    const QString& message() const { return message_; }

    friend bool operator==(const ModelState& a, const ModelState& b)
    {
        if (a.kind_ != b.kind_) {
            return false;
        }
        switch (a.kind_) {
        case Kind::downloading:
            return a.progress_ == b.progress_;
        case Kind::preparing:
            return a.firstTime_ == b.firstTime_;
        case Kind::failed:
            return a.message_ == b.message_;
        default:
            return true;
        }
    }

private:
    ModelState(Kind kind, double progress, bool firstTime, QString message)
        : kind_(kind), progress_(progress), firstTime_(firstTime), message_(std::move(message))
    {
    }

    Kind kind_;
    double progress_;
    bool firstTime_;
    QString message_;
};

inline const ModelState ModelState::notLoaded{Kind::notLoaded, 0.0, false, {}};
inline const ModelState ModelState::ready{Kind::ready, 0.0, false, {}};

}  // namespace korvu
