#pragma once

#include "KorvuDarivir/UI/Hint.h"
#include "KorvuDarivir/UI/HintDisplay.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace platform {
class ClipboardAccess;
class Scheduler;
class SyntheticKeyboard;
}  // namespace platform

namespace korvu {

// Adds a word the user selected in any application to the vocabulary: the add-word
// shortcut reads the selection (through the accessibility service, else by a synthetic
// Ctrl+C with the user's clipboard put back afterwards), cleans it up, checks it against
// the vocabulary's limits, stores it under "vocabulary" and confirms with a hint of its
// own at the mouse pointer. Other programs reach the same through the application's
// session-bus entry, which calls `addToVocabulary`. Main thread only.
class VocabularyCapture : public QObject {
    Q_OBJECT
public:
    struct Environment {
        // Whether the accessibility service may be used (and synthetic keys sent).
        std::function<bool()> isTrusted;
        // The selection of the focused object of the frontmost application, as read through
        // the accessibility service; empty when there is none or it cannot be read.
        std::function<std::optional<QString>()> accessibleSelection;
        platform::ClipboardAccess* clipboard = nullptr;
        platform::SyntheticKeyboard* keyboard = nullptr;
        platform::Scheduler* scheduler = nullptr;
        std::unique_ptr<HintDisplay> hints;
    };

    // The waits of the copy fallback.
    static constexpr int modifierChecks = 20;
    static constexpr std::chrono::milliseconds modifierPause{25};
    static constexpr int copyPolls = 10;
    static constexpr std::chrono::milliseconds copyPause{30};
    // How long a copy that arrives after the polls is still watched for, so that the
    // user's clipboard is put back even then.
    static constexpr std::chrono::milliseconds lateCopyWatch{500};

    // The application's capture over the desktop (made on first use): a hint panel of its
    // own, the desktop's clipboard, keyboard and accessibility service.
    static VocabularyCapture& shared();
    // The desktop's parts, for `shared()` and for tests that watch one of them.
    static Environment desktopEnvironment();

    explicit VocabularyCapture(Environment environment, QObject* parent = nullptr);
    ~VocabularyCapture() override;

    // Connects the add-word shortcut. Called once at launch, after the shortcuts are
    // installed.
    void start();

    // Reads the current selection and adds it. `done` (optional) runs once the hint is
    // shown, with it.
    void addSelection(std::function<void(const Hint&)> done = {});

    // The entry for other programs (session bus, --add-word): adds `text` and returns the
    // hint it showed (of kind error when the list could not be written).
    Hint addToVocabulary(const QString& text);

    // Cleans `text` up, checks it and stores it; shows and returns the outcome. A list that
    // did not reach the settings file gives an error hint that says why, never
    // "hinzugefügt" (also for a term that is known only in memory since such a failure).
    Hint add(const std::optional<QString>& text);

    // What adding `text` to `stored` comes to, without storing or showing anything: the
    // hint, and the term when it is to be appended.
    struct Addition {
        Hint hint;
        std::optional<QString> term;
    };
    static Addition evaluate(const std::optional<QString>& text, const QStringList& stored);
    // `text` without control and direction characters (`Vocabulary::sanitized`), with runs
    // of white space made one space, trimmed, without the trim set's
    // punctuation at either end and without a final period from five characters up.
    static QString cleaned(const QString& text);

    HintDisplay& hints() { return *environment_.hints; }

private:
    class CopyRun;
    void selectedTextViaCopy(std::function<void(std::optional<QString>)> done);

    Environment environment_;
};

}  // namespace korvu
