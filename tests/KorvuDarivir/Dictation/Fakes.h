#pragma once

// The controller's own seams (speech, button, hints, permissions) as fakes; the shared
// ones come from tests/fakes.
#include "KorvuDarivir/Dictation/DictationController.h"
#include "KorvuDarivir/UI/HintDisplay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <ostream>
#include <vector>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE

namespace korvu {

inline void PrintTo(const Hint& hint, std::ostream* out)
{
    *out << "Hint{" << static_cast<int>(hint.kind) << ", \"" << hint.title.toStdString() << "\", \""
         << hint.detail.value_or(QStringLiteral("<none>")).toStdString() << "\"}";
}

}  // namespace korvu

namespace dictationtest {

using korvu::Hint;
using korvu::HintKind;

// Lets the queued completions of the fakes run.
inline void drain()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

// Runs the event loop until `done` holds; the bound only ends a test that would hang.
inline bool spinUntil(const std::function<bool()>& done)
{
    const QDeadlineTimer deadline(std::chrono::seconds(30));
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return done();
}

class FakeSpeech final : public korvu::DictationController::Speech {
public:
    struct Call {
        std::size_t samples = 0;
        std::optional<QString> language;
        QStringList vocabulary;
        korvu::Transcriber::Completion done;
    };

    std::function<void(const korvu::ModelState&)> onState;
    bool present = false;
    int loads = 0;
    std::vector<Call> calls;

    void setOnStateChange(std::function<void(const korvu::ModelState&)> handler) override { onState = std::move(handler); }
    bool isModelPresent() override { return present; }
    void load() override { ++loads; }
    void transcribe(std::vector<float> samples, const std::optional<QString>& language, const QStringList& vocabulary,
                    korvu::Transcriber::Completion done) override
    {
        calls.push_back({samples.size(), language, vocabulary, std::move(done)});
    }

    void answer(const QString& text) { calls.back().done(text, nullptr); }
    void fail(std::exception_ptr error) { calls.back().done(QString(), error); }
};

class FakePanel final : public korvu::DictationController::ButtonPanel {
public:
    Callbacks callbacks;
    korvu::MicButtonState state = korvu::MicButtonState::idle;
    double level = 0;
    bool visible = false;
    QRectF panelFrame{0, 0, 38, 38};
    std::optional<QPointF> origin;
    int placements = 0;

    void setCallbacks(Callbacks c) override { callbacks = std::move(c); }
    void setState(const korvu::MicButtonState& s) override { state = s; }
    void setInputLevel(double l) override { level = l; }
    bool isVisible() const override { return visible; }
    void orderOut() override { visible = false; }
    void place(const QPointF& buttonOrigin) override
    {
        panelFrame = QRectF(buttonOrigin - QPointF(6, 6), QSizeF(38, 38));
        visible = true;
        ++placements;
    }
    QRectF frame() const override { return panelFrame; }
    std::optional<QPointF> standardOrigin() const override { return origin; }
    void setStandardOrigin(const std::optional<QPointF>& o) override { origin = o; }

    // The button face's lower-left corner.
    QPointF faceOrigin() const { return panelFrame.topLeft() + QPointF(6, 6); }
};

class FakeHints final : public korvu::HintDisplay {
public:
    std::vector<Hint> shown;
    std::vector<std::optional<QRectF>> anchors;
    std::vector<QString> tooltips;
    int hides = 0;

    void show(const Hint& hint, const std::optional<QRectF>& anchor) override
    {
        shown.push_back(hint);
        anchors.push_back(anchor);
    }
    void showTooltip(const QString& text, const QRectF&) override { tooltips.push_back(text); }
    void hide() override { ++hides; }

    std::optional<Hint> last() const { return shown.empty() ? std::nullopt : std::optional<Hint>(shown.back()); }
};

}  // namespace dictationtest
