#include "KorvuDarivir/Windows/OnboardingView.h"

#include "KorvuDarivir/Dictation/Transcriber.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/UI/BrandToggle.h"
#include "KorvuDarivir/UI/PrimaryButton.h"
#include "KorvuDarivir/UI/SecondaryButton.h"
#include "KorvuDarivir/Windows/ApiKeyEditor.h"
#include "KorvuDarivir/Windows/Form.h"
#include "KorvuDarivir/Windows/MicrophonePicker.h"
#include "KorvuDarivir/Windows/ModelCard.h"
#include "KorvuDarivir/Windows/ShortcutRecorder.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace korvu {

namespace {

platform::UserDefaults& defaults()
{
    return platform::UserDefaults::standard();
}

// One page: a heading, an explanation and its own parts.
QWidget* page(const QString& title, const QString& text, const QList<QWidget*>& parts = {})
{
    auto* widget = new QWidget;
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(36, 30, 36, 12);
    layout->setSpacing(14);
    layout->addWidget(form::heading(title));
    if (!text.isEmpty()) {
        layout->addWidget(form::note(text));
    }
    for (QWidget* part : parts) {
        layout->addWidget(part);
    }
    layout->addStretch();
    return widget;
}

BrandToggle* boolToggle(const char* key)
{
    const QString name = QString::fromLatin1(key);
    auto* toggle = new BrandToggle(name);
    toggle->setChecked(defaults().boolean(name));
    QObject::connect(toggle, &QAbstractButton::toggled, toggle, [name](bool on) { defaults().set(name, on); });
    return toggle;
}

// The test page's line while no dictation runs: ready, or what the test still waits for.
QString missingForTest(const ModelState& model)
{
    switch (model.kind()) {
    case ModelState::Kind::ready:
        return QStringLiteral("Bereit.");
    case ModelState::Kind::downloading:
        return QStringLiteral("Das Sprachmodell wird noch heruntergeladen (%1). Danach kannst du es hier ausprobieren.")
            .arg(AppModel::downloadDetail(model.progress()));
    case ModelState::Kind::preparing:
        return QStringLiteral("Das Sprachmodell wird noch vorbereitet. Gleich kannst du es hier ausprobieren.");
    case ModelState::Kind::failed:
        return QStringLiteral("Das Sprachmodell fehlt noch. Geh zurück zum Schritt „Sprachmodell“ und wähle dort "
                              "„Erneut versuchen“.");
    case ModelState::Kind::notLoaded:
        break;
    }
    return QStringLiteral("Das Sprachmodell ist noch nicht geladen. Geh zurück zum Schritt „Sprachmodell“, dort wird "
                          "es geladen.");
}

}  // namespace

OnboardingView::OnboardingView(int startStep, std::function<void()> finish, QWidget* parent)
    : OnboardingView(startStep, std::move(finish), AccessibilityGrant::Request(), parent)
{
}

OnboardingView::OnboardingView(int startStep, std::function<void()> finish,
                               AccessibilityGrant::Request requestAccessibility, QWidget* parent)
    : QWidget(parent),
      pages_(new QStackedWidget),
      finish_(std::move(finish)),
      requestAccessibility_(std::move(requestAccessibility))
{
    setObjectName(QStringLiteral("onboarding"));
    pages_->addWidget(welcomePage());
    pages_->addWidget(modelPage());
    pages_->addWidget(microphonePage());
    pages_->addWidget(accessibilityPage());
    pages_->addWidget(shortcutPage());
    pages_->addWidget(testPage());
    pages_->addWidget(cleanupPage());

    progress_ = form::note(QString());
    back_ = new SecondaryButton(QStringLiteral("Zurück"));
    next_ = new PrimaryButton(QStringLiteral("Weiter"));
    connect(back_, &QPushButton::clicked, this, [this] { goTo(step() - 1); });
    connect(next_, &QPushButton::clicked, this, [this] {
        if (step() == cleanup) {
            complete();
        } else {
            goTo(step() + 1);
        }
    });
    auto* navigation = new QHBoxLayout;
    navigation->setContentsMargins(36, 8, 36, 24);
    navigation->addWidget(progress_);
    navigation->addStretch();
    navigation->addWidget(back_);
    navigation->addWidget(next_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(pages_, 1);
    layout->addLayout(navigation);
    form::applyTheme(this);
    goTo(startStep);
}

OnboardingView::~OnboardingView()
{
    setTestSink(false);
}

int OnboardingView::step() const
{
    return pages_->currentIndex();
}

void OnboardingView::goTo(int target)
{
    const int shown = target >= 0 && target < stepCount ? target : welcome;
    pages_->setCurrentIndex(shown);
    setTestSink(shown == test && isVisible());
    if (shown == model) {
        showModelNote();
        // Reaching the model page starts the download or loading when nothing happened yet.
        if (AppModel::shared().model() == ModelState::notLoaded) {
            AppModel::shared().loadModel();
        }
    }
    updateNavigation();
}

// The explanation beside the model card follows the model: what the user is waiting for
// while it loads, that a failed load can be tried again while the other steps go on, and
// nothing more to wait for once it is ready.
void OnboardingView::showModelNote()
{
    using Kind = ModelState::Kind;
    switch (AppModel::shared().model().kind()) {
    case Kind::ready:
        modelNote_->setText(QStringLiteral("Das Sprachmodell ist bereit. Du kannst weitermachen."));
        return;
    case Kind::failed:
        if (!Transcriber::isModelPresent()) {
            modelNote_->setText(QStringLiteral("Das Sprachmodell ist noch nicht bereit. Versuche es unten erneut; die "
                                               "übrigen Schritte kannst du schon einrichten."));
            return;
        }
        break;
    case Kind::notLoaded:
    case Kind::downloading:
    case Kind::preparing:
        break;
    }
    // A model copied into place, or fetched before, needs no download.
    modelNote_->setText(Transcriber::isModelPresent()
                            ? QStringLiteral("Das Sprachmodell ist schon auf diesem Rechner, es muss nichts "
                                             "heruntergeladen werden.")
                            : QStringLiteral("KORVU Darivir erkennt Sprache mit einem Modell, das einmalig "
                                             "heruntergeladen wird (etwa 630 MB). Du kannst schon weitermachen, "
                                             "während es lädt."));
}

void OnboardingView::updateNavigation()
{
    progress_->setText(QStringLiteral("Schritt %1 von %2").arg(step() + 1).arg(stepCount));
    back_->setVisible(step() > welcome);
    next_->setText(step() == welcome ? QStringLiteral("Los geht's")
                                     : (step() == cleanup ? QStringLiteral("Fertig") : QStringLiteral("Weiter")));
}

void OnboardingView::complete()
{
    if (finished_) {
        return;
    }
    finished_ = true;
    setTestSink(false);
    defaults().set(QString::fromLatin1(Settings::onboardingCompletedKey), true);
    if (finish_) {
        finish_();
    }
}

QString OnboardingView::testResult() const
{
    return testResult_->text();
}

QString OnboardingView::modelNote() const
{
    return modelNote_->text();
}

QString OnboardingView::testState() const
{
    return testState_->text();
}

void OnboardingView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    setTestSink(step() == test);
}

void OnboardingView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    setTestSink(false);
}

void OnboardingView::setTestSink(bool active)
{
    if (active == sinkSet_) {
        return;
    }
    sinkSet_ = active;
    if (!active) {
        AppModel::shared().setInternalSink({});
        return;
    }
    QPointer<QLabel> result(testResult_);
    AppModel::shared().setInternalSink([result](const QString& text) {
        if (result) {
            result->setText(text);
        }
    });
}

QWidget* OnboardingView::welcomePage()
{
    return page(QStringLiteral("Willkommen bei KORVU Darivir"),
                QStringLiteral("Sprechen statt tippen: Halte ein Tastenkürzel, sprich, und der Text erscheint im Textfeld, "
                               "in dem du gerade schreibst – in jedem Programm. Die Spracherkennung läuft lokal auf "
                               "diesem Rechner.\n\nIn ein paar Schritten richten wir alles ein."));
}

QWidget* OnboardingView::modelPage()
{
    modelNote_ = form::note(QString());
    connect(&AppModel::shared(), &AppModel::modelChanged, modelNote_, [this] { showModelNote(); });
    return page(QStringLiteral("Sprachmodell"), QString(), {modelNote_, new ModelCard});
}

QWidget* OnboardingView::microphonePage()
{
    auto* granted = new QLabel;
    const auto show = [granted] {
        granted->setText(AppModel::shared().microphoneGranted() ? QStringLiteral("Mikrofon erlaubt")
                                                                : QStringLiteral("Mikrofon nicht erlaubt"));
    };
    show();
    connect(&AppModel::shared(), &AppModel::microphoneGrantedChanged, granted, show);
    auto* content = new QVBoxLayout;
    content->addLayout(form::row(QStringLiteral("Mikrofon"), QString(), new MicrophonePicker));
    content->addWidget(granted);
    return page(QStringLiteral("Mikrofon"),
                QStringLiteral("Wähle das Mikrofon, mit dem du diktierst. „Systemstandard“ folgt der Einstellung "
                               "deines Systems."),
                {form::card(content)});
}

QWidget* OnboardingView::accessibilityPage()
{
    auto* status = new QLabel;
    auto* grant = new AccessibilityGrant(new PrimaryButton(QStringLiteral("Bedienungshilfen erlauben …")),
                                         requestAccessibility_);
    const auto show = [status, grant] {
        const bool trusted = AppModel::shared().accessibilityGranted();
        status->setText(trusted ? QStringLiteral("Bedienungshilfen sind erlaubt.")
                                : QStringLiteral("Noch nicht erlaubt. Sobald du sie einschaltest, geht es hier weiter."));
        grant->setVisible(!trusted);
    };
    show();
    // The application checks the grant every second; the page follows the model.
    connect(&AppModel::shared(), &AppModel::accessibilityGrantedChanged, status, show);
    auto* content = new QVBoxLayout;
    content->addWidget(status);
    content->addWidget(grant);
    return page(QStringLiteral("Bedienungshilfen"),
                QStringLiteral("Damit KORVU Darivir das Textfeld findet, in dem du schreibst, und den Text dort "
                               "einfügen kann, braucht es die Bedienungshilfen (die Barrierefreiheit deines "
                               "Desktops) und eine X11-Sitzung."),
                {form::card(content)});
}

QWidget* OnboardingView::shortcutPage()
{
    auto* message = form::note(QString());
    message->hide();
    auto* recorder = new ShortcutRecorder(HotkeyCenter::dictation);
    connect(recorder, &ShortcutRecorder::message, message, [message](const QString& text) {
        message->setText(text);
        message->setVisible(!text.isEmpty());
    });
    auto* content = new QVBoxLayout;
    content->addLayout(form::row(QStringLiteral("Tastenkürzel zum Diktieren"),
                                 QStringLiteral("Klicken und die neue Kombination drücken."), recorder));
    content->addLayout(form::row(QStringLiteral("Gedrückt halten zum Sprechen"),
                                 QStringLiteral("Aus: einmal drücken startet, noch einmal drücken beendet."),
                                 boolToggle(Settings::holdToTalkKey)));
    content->addWidget(message);
    return page(QStringLiteral("Tastenkürzel"),
                QStringLiteral("Mit diesem Kürzel diktierst du in jedem Programm. Alternativ klickst du auf den "
                               "Mikrofon-Knopf neben dem Textfeld."),
                {form::card(content)});
}

QWidget* OnboardingView::testPage()
{
    testResult_ = new QLabel(QStringLiteral("Hier erscheint dein Text."));
    testResult_->setWordWrap(true);
    testResult_->setMinimumHeight(60);
    auto* start = new PrimaryButton(QStringLiteral("Diktat starten / beenden"));
    connect(start, &QPushButton::clicked, this, [] { AppModel::shared().toggleDictation(); });
    auto* state = form::note(QString());
    testState_ = state;
    const auto show = [state, start] {
        const AppModel& app = AppModel::shared();
        // Without a ready model a dictation cannot start; the page says what is missing.
        start->setEnabled(app.phase() != DictationPhase::idle || app.model() == ModelState::ready);
        switch (app.phase()) {
        case DictationPhase::idle:
            state->setText(missingForTest(app.model()));
            break;
        case DictationPhase::recording:
            state->setText(QStringLiteral("Aufnahme läuft – sprich jetzt."));
            break;
        case DictationPhase::processing:
            state->setText(QStringLiteral("Wird erkannt …"));
            break;
        }
    };
    show();
    connect(&AppModel::shared(), &AppModel::phaseChanged, state, show);
    connect(&AppModel::shared(), &AppModel::modelChanged, state, show);
    auto* content = new QVBoxLayout;
    content->addWidget(start, 0, Qt::AlignLeft);
    content->addWidget(state);
    content->addWidget(testResult_);
    return page(QStringLiteral("Probier es aus"),
                QStringLiteral("Starte ein Diktat mit dem Knopf oder dem Tastenkürzel und sag einen Satz. Der Text "
                               "landet hier statt in einem anderen Programm."),
                {form::card(content)});
}

QWidget* OnboardingView::cleanupPage()
{
    auto* content = new QVBoxLayout;
    content->addLayout(form::row(QStringLiteral("Diktate bereinigen lassen"),
                                 QStringLiteral("Mit deinem API-Schlüssel; du kannst ihn auch später in den "
                                                "Einstellungen eintragen."),
                                 boolToggle(Settings::cleanupEnabledKey)));
    content->addWidget(new ApiKeyEditor(KeyStore::desktop()));
    return page(QStringLiteral("Bereinigung"),
                QStringLiteral("Auf Wunsch glättet ein Sprachmodell (die Claude API, mit deinem eigenen Schlüssel) "
                               "Zeichensetzung, Füllwörter und Versprecher. Ohne Schlüssel bleibt der erkannte Text, "
                               "wie er ist."),
                {form::card(content)});
}

}  // namespace korvu
