#include "KorvuDarivir/Dictation/VocabularyCapture.h"

#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Store/FailureText.h"
#include "KorvuDarivir/Store/Permissions.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Accessibility/AtspiAccessibility.h"
#include "Platform/Clipboard/Clipboard.h"
#include "Platform/Clipboard/ClipboardQueue.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Input/KeyCodes.h"
#include "Platform/Input/SyntheticKeyboard.h"
#include "Platform/UI/Scheduler.h"

#include <QPointer>

#include <X11/keysym.h>

namespace korvu {
namespace {

// Punctuation a selection often drags along: quotes of every kind, brackets, and the
// marks that end a clause. The period and the hyphen belong to terms ("Dr.", "E-Mail").
const QString& trimSet()
{
    static const QString set = QStringLiteral(",;:!?\"'\u201E\u201C\u201D\u201A\u2018\u2019\u00BB\u00AB()[]{}");
    return set;
}

QString quoted(const QString& term)
{
    return QStringLiteral("\u201E") + term + QStringLiteral("\u201C");
}

// The physical C key of a PC keyboard, for layouts without a "c".
constexpr std::uint8_t kFallbackKeyCodeC = 54;

}  // namespace

QString VocabularyCapture::cleaned(const QString& text)
{
    // Control and direction characters go first: they must never reach the list, and a
    // term made only of them is nothing selected.
    QString s = Vocabulary::sanitized(text).simplified();
    // Blanks count as trimmable at the ends too: "( Wort )" or "; !" must not leave a
    // blank behind the punctuation, which would store a term with spaces or a blank term.
    const auto trimmable = [](QChar c) { return c.isSpace() || trimSet().contains(c); };
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && trimmable(s[begin])) {
        ++begin;
    }
    while (end > begin && trimmable(s[end - 1])) {
        --end;
    }
    s = s.mid(begin, end - begin);
    // "Prof." is a selection that caught the sentence's end; "Dr." and "usw." are terms.
    if (s.endsWith(u'.') && Vocabulary::characterCount(s) >= 5) {
        s.chop(1);
    }
    return s;
}

VocabularyCapture::Addition VocabularyCapture::evaluate(const std::optional<QString>& text, const QStringList& stored)
{
    const QString term = cleaned(text.value_or(QString()));
    if (term.isEmpty()) {
        return {{HintKind::warning, QStringLiteral("Nichts markiert"),
                 QStringLiteral("Erst das Wort markieren, dann hinzufügen.")},
                std::nullopt};
    }
    if (!Vocabulary::fits(term)) {
        return {{HintKind::warning, QStringLiteral("Zu lang fürs Wörterbuch"),
                 QStringLiteral("Höchstens 60 Zeichen, am besten ein Name oder Begriff.")},
                std::nullopt};
    }
    // The duplicate test comes before the full test: a known term is no news even when the
    // list is full.
    for (const QString& entry : stored) {
        if (Vocabulary::sameTerm(entry, term)) {
            return {{HintKind::info, QStringLiteral("Schon im Wörterbuch"), quoted(term)}, std::nullopt};
        }
    }
    if (stored.size() >= Vocabulary::maxTerms) {
        return {{HintKind::warning, QStringLiteral("Wörterbuch ist voll"),
                 QStringLiteral("Höchstens ") + QString::number(Vocabulary::maxTerms)
                     + QStringLiteral(" Begriffe. In den Einstellungen welche entfernen.")},
                std::nullopt};
    }
    return {{HintKind::info, QStringLiteral("Zum Wörterbuch hinzugefügt"), quoted(term)}, term};
}

VocabularyCapture::Environment VocabularyCapture::desktopEnvironment()
{
    auto accessibility = std::make_shared<platform::AtspiAccessibility>();
    Environment environment;
    environment.isTrusted = [] { return Permissions::isAccessibilityTrusted(); };
    environment.accessibleSelection = [accessibility]() -> std::optional<QString> {
        const std::optional<pid_t> process = accessibility->frontmostProcess();
        if (!process) {
            return std::nullopt;
        }
        // A program that hangs must not hold the shortcut up for long.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        const std::shared_ptr<platform::AccessibleNode> node = accessibility->focusedNode(*process, deadline);
        return node ? node->selectedText() : std::nullopt;
    };
    environment.clipboard = &platform::Clipboard::instance();
    environment.keyboard = &platform::SyntheticKeyboard::desktop();
    static platform::QtScheduler scheduler;
    environment.scheduler = &scheduler;
    environment.hints = makeHintPanel();
    return environment;
}

VocabularyCapture& VocabularyCapture::shared()
{
    static VocabularyCapture* capture = new VocabularyCapture(desktopEnvironment());
    return *capture;
}

VocabularyCapture::VocabularyCapture(Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment))
{
}

VocabularyCapture::~VocabularyCapture() = default;

void VocabularyCapture::start()
{
    QPointer<VocabularyCapture> self(this);
    HotkeyCenter::shared().onAddWord = [self] {
        if (self) {
            self->addSelection();
        }
    };
}

Hint VocabularyCapture::addToVocabulary(const QString& text)
{
    return add(text);
}

Hint VocabularyCapture::add(const std::optional<QString>& text)
{
    // Read afresh: the settings window may have changed the list since the last capture.
    // A damaged stored list is set aside by the read before this write replaces it.
    QStringList list = Vocabulary::terms();
    Addition addition = evaluate(text, list);
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    std::optional<platform::WriteError> failure;
    if (addition.term) {
        list.append(*addition.term);
        failure = defaults.set(QString::fromLatin1(Settings::vocabularyKey), list);
    } else if (addition.hint.kind == HintKind::info) {
        // Known, but perhaps only in memory since a failed write: then it is not stored yet.
        failure = defaults.save();
    }
    if (failure) {
        // Never "hinzugefügt" for a word that would be gone after a restart.
        const QString term = addition.term.value_or(cleaned(text.value_or(QString())));
        addition.hint = {HintKind::error, QStringLiteral("Nicht ins Wörterbuch geschrieben"),
                         quoted(term) + QStringLiteral(" ist nicht gespeichert. ") + FailureText::notSaved(*failure)};
    }
    environment_.hints->show(addition.hint, std::nullopt);
    return addition.hint;
}

void VocabularyCapture::addSelection(std::function<void(const Hint&)> done)
{
    auto finish = [done](const Hint& hint) {
        if (done) {
            done(hint);
        }
    };
    if (!environment_.isTrusted()) {
        const Hint hint{HintKind::error, QStringLiteral("Bedienungshilfen fehlen"),
                        QStringLiteral("Ohne sie kann KORVU Darivir die Markierung nicht lesen.")};
        environment_.hints->show(hint, std::nullopt);
        finish(hint);
        return;
    }
    std::optional<QString> selection = environment_.accessibleSelection ? environment_.accessibleSelection() : std::nullopt;
    if (selection && selection->trimmed().isEmpty()) {
        selection.reset();
    }
    if (selection) {
        finish(add(selection));
        return;
    }
    QPointer<VocabularyCapture> self(this);
    selectedTextViaCopy([self, finish](std::optional<QString> copied) {
        if (self) {
            finish(self->add(copied));
        }
    });
}

// One copy fallback: a chain of timer steps, run inside the clipboard queue so that no
// insertion takes the copied text for the user's clipboard (or the other way round).
class VocabularyCapture::CopyRun : public std::enable_shared_from_this<CopyRun> {
public:
    CopyRun(VocabularyCapture* owner, std::function<void(std::optional<QString>)> done)
        : owner_(owner), done_(std::move(done))
    {
    }

    void begin(platform::ClipboardQueue::Finished finished)
    {
        finished_ = std::move(finished);
        if (!owner_) {
            end();
            return;
        }
        // The user's contents come from their owner off the main thread; what changes the
        // clipboard after they arrived is the copy.
        std::shared_ptr<CopyRun> run = shared_from_this();
        clipboard().snapshot([run](platform::ClipboardSnapshot taken) {
            if (!run->owner_) {
                run->end();
                return;
            }
            run->snapshot_ = std::move(taken);
            run->generation_ = run->clipboard().generation();
            run->waitForModifiers(0);
        });
    }

private:
    platform::ClipboardAccess& clipboard() { return *owner_->environment_.clipboard; }
    platform::Scheduler& scheduler() { return *owner_->environment_.scheduler; }

    template <typename Step>
    void after(std::chrono::milliseconds delay, Step step)
    {
        // The run keeps itself alive through its next step; ending it cancels the step.
        std::shared_ptr<CopyRun> run = shared_from_this();
        token_ = scheduler().schedule(delay, [run, step] {
            if (!run->owner_) {
                run->end();
                return;
            }
            (run.get()->*step)();
        });
    }

    // The shortcut's own modifiers would turn Ctrl+C into Ctrl+Alt+C; give the user a
    // moment to let go (Super does not count, it never mixes into the chord).
    void waitForModifiers(int checks)
    {
        if (checks < modifierChecks) {
            const unsigned held = owner_->environment_.keyboard->heldModifiers();
            if ((held & (platform::ModifierShift | platform::ModifierControl | platform::ModifierAlt)) != 0) {
                checksDone_ = checks + 1;
                after(modifierPause, &CopyRun::nextModifierCheck);
                return;
            }
        }
        owner_->environment_.keyboard->controlChord(XK_c, kFallbackKeyCodeC);
        after(copyPause, &CopyRun::poll);
    }

    void nextModifierCheck() { waitForModifiers(checksDone_); }

    void poll()
    {
        ++polls_;
        if (clipboard().generation() != generation_) {
            std::shared_ptr<CopyRun> run = shared_from_this();
            clipboard().readText([run](const QString& text) {
                run->deliver(text.isEmpty() ? std::nullopt : std::optional<QString>(text));
                if (!run->owner_) {
                    run->end();
                    return;
                }
                run->restoreWhenChanged();
            });
            return;
        }
        if (polls_ < copyPolls) {
            after(copyPause, &CopyRun::poll);
            return;
        }
        deliver(std::nullopt);
        restoreWhenChanged();
    }

    // The user's clipboard comes back once the copy has replaced it. A program slower than
    // the polls may still copy a moment later; that copy is watched for a while longer,
    // or it would overwrite the user's clipboard for good.
    void restoreWhenChanged()
    {
        if (snapshot_.empty()) {
            end();  // an empty clipboard before: the copied selection may stay
            return;
        }
        if (clipboard().generation() != generation_) {
            clipboard().restore(snapshot_);
            end();
            return;
        }
        if (watched_ >= lateCopyWatch) {
            end();
            return;
        }
        watched_ += copyPause;
        after(copyPause, &CopyRun::restoreWhenChanged);
    }

    void deliver(std::optional<QString> text)
    {
        if (done_) {
            auto done = std::move(done_);
            done_ = nullptr;
            done(std::move(text));
        }
    }

    void end()
    {
        deliver(std::nullopt);
        token_.cancel();
        if (finished_) {
            auto finished = std::move(finished_);
            finished_ = nullptr;
            finished();
        }
    }

    QPointer<VocabularyCapture> owner_;
    std::function<void(std::optional<QString>)> done_;
    platform::ClipboardQueue::Finished finished_;
    platform::ClipboardSnapshot snapshot_;
    std::uint64_t generation_ = 0;
    int checksDone_ = 0;
    int polls_ = 0;
    std::chrono::milliseconds watched_{0};
    platform::SchedulerToken token_;
};

void VocabularyCapture::selectedTextViaCopy(std::function<void(std::optional<QString>)> done)
{
    auto run = std::make_shared<CopyRun>(this, std::move(done));
    platform::ClipboardQueue::enqueue([run](platform::ClipboardQueue::Finished finished) { run->begin(std::move(finished)); });
}

}  // namespace korvu
