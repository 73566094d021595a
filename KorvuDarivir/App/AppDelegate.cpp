#include "KorvuDarivir/App/AppDelegate.h"

#include "KorvuDarivir/App/DamagedFilesNotice.h"
#include "KorvuDarivir/Store/FailureText.h"
#include "KorvuDarivir/App/HostWindow.h"
#include "KorvuDarivir/App/LoginItem.h"
#include "KorvuDarivir/App/Updater.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Windows/OnboardingView.h"
#include "KorvuDarivir/Windows/SettingsView.h"
#include "Platform/Async/MainThread.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Session/SessionEvents.h"
#include "Platform/UI/DesktopNotifications.h"

#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QMetaObject>
#include <QThreadPool>

namespace korvu {

namespace {

// Sends an edit command to the focused widget when it has such a slot (line edits, text
// edits); otherwise nothing, as a menu item without a receiver does.
void sendToFocus(const char* slot)
{
    if (QWidget* focus = QApplication::focusWidget()) {
        const int index = focus->metaObject()->indexOfMethod(QMetaObject::normalizedSignature((QByteArray(slot) + "()").constData()));
        if (index >= 0) {
            focus->metaObject()->method(index).invoke(focus, Qt::DirectConnection);
        }
    }
}

// The windows' Accessibility buttons ask the delegate's permission system (which outlives
// the windows: the delegate ends them first).
AccessibilityGrant::Request accessibilityRequest(PermissionSystem& permissions)
{
    return [&permissions] { return Permissions::requestAccessibility(permissions); };
}

// The settings' system tab reaches start at login and the delegate's updater through
// these; a window still open when the updater is gone checks nothing.
SettingsView::SystemActions systemActions(Updater& updater, PermissionSystem& permissions)
{
    const QPointer<Updater> checker(&updater);
    SettingsView::SystemActions actions;
    actions.startsAtLogin = [] { return LoginItem::isEnabled(); };
    actions.setStartsAtLogin = [](bool enabled) { return LoginItem::setEnabled(enabled); };
    actions.checkForUpdates = [checker] {
        if (checker) checker->checkForUpdates();
    };
    actions.hasUpdateFeed = updater.hasFeed();
    actions.requestAccessibility = accessibilityRequest(permissions);
    actions.automaticallyChecksForUpdates = [checker] { return checker && checker->automaticallyChecksForUpdates(); };
    actions.setAutomaticallyChecksForUpdates = [checker](bool enabled) {
        if (checker) checker->setAutomaticallyChecksForUpdates(enabled);
    };
    return actions;
}

}  // namespace

AppDelegate::AppDelegate(Parts parts, QObject* parent)
    : QObject(parent), parts_(std::move(parts)), model_(AppModel::shared())
{
    if (!parts_.updater) {
        parts_.updater = &Updater::shared();
    }
    if (!parts_.permissions) {
        parts_.permissions = &PermissionSystem::desktop();
    }
    if (!parts_.notifications) {
        parts_.notifications = std::make_shared<platform::DesktopNotifications>();
    }
    permissionTimer_.setInterval(permissionPollMs);
    workers_.setMaxThreadCount(1);
}

// Ends what the delegate started, users before what they use: no new permission check,
// the windows (whose requests are waited for), the status item, the dictation controller
// (which stops the recorder and joins its own and the speech model's threads), and last
// the permission check that may still run.
AppDelegate::~AppDelegate()
{
    permissionTimer_.stop();
    delete settingsWindow_.data();
    delete onboardingWindow_.data();
    statusItem_.reset();
    parts_.controller.reset();
    workers_.waitForDone();
}

void AppDelegate::applicationDidFinishLaunching()
{
    QPointer<AppDelegate> self(this);
    Settings::registerDefaults();
    model_.setHotkey(Settings::hotkey());
    model_.setWordHotkey(Settings::wordHotkey());
    model_.installOpenSettings([self] {
        if (self) {
            self->openSettings();
        }
    });
    model_.installOpenOnboarding([self] {
        if (self) {
            self->openOnboarding();
        }
    });
    if (parts_.installHotkeys) {
        parts_.installHotkeys();
    }
    if (parts_.startVocabularyCapture) {
        parts_.startVocabularyCapture();
    }
    if (parts_.startController) {
        parts_.startController();
    }
    if (parts_.makeStatusItem) {
        statusItem_ = parts_.makeStatusItem(
            [self] {
                if (self && self->parts_.cancelRecording) {
                    self->parts_.cancelRecording();
                }
            },
            [self] {
                if (self) {
                    self->quitFromMenu();
                }
            });
    }
    mainMenu_ = makeMainMenu();
    parts_.updater->onWillRelaunch = [self] {
        if (self) {
            self->quitRequested_ = true;
        }
    };
    parts_.updater->start();
    if (parts_.watchSession) {
        session_ = new platform::SessionEvents(this);
        connect(session_, &platform::SessionEvents::powerOff, this, [this] { quitRequested_ = true; });
        connect(session_, &platform::SessionEvents::sessionEnding, this,
                [this] { requestTermination(TerminationReason::sessionEnding); });
    }
    // A click on the notification that the application runs on brings the settings back.
    connect(parts_.notifications.get(), &platform::DesktopNotifications::clicked, this, &AppDelegate::openSettings);
    connect(&permissionTimer_, &QTimer::timeout, this, &AppDelegate::pollPermissions);
    permissionTimer_.start();
    connect(&platform::UserDefaults::standard(), &platform::UserDefaults::changed, this, [this] {
        if (parts_.updatePanel) {
            parts_.updatePanel();
        }
    });
    connect(&platform::UserDefaults::standard(), &platform::UserDefaults::savedAgain, this,
            [this] { settingsFailureShown_ = false; });  // a new failure is news again
    connect(&platform::UserDefaults::standard(), &platform::UserDefaults::writeFailed, this, [this](const QString& key) {
        // The vocabulary's writers say so themselves; every other setting is told once per
        // run of failures, not at every click.
        const auto failure = platform::UserDefaults::standard().unsavedFailure();
        if (!failure || key == QLatin1String(Settings::vocabularyKey) || settingsFailureShown_ || !parts_.showHint) {
            return;
        }
        settingsFailureShown_ = true;
        parts_.showHint({HintKind::error, QStringLiteral("Einstellung nicht gespeichert"), FailureText::notSaved(*failure)});
    });
    if (!platform::UserDefaults::standard().boolean(QString::fromLatin1(Settings::onboardingCompletedKey))) {
        openOnboarding();
    } else if (parts_.trayAvailable && !parts_.trayAvailable()) {
        // Without a tray the status item is invisible; a window keeps the application in
        // sight, so the user can tell it runs and reach its settings.
        openSettings();
    }
    announceFilesSetAside();
}

void AppDelegate::announceFilesSetAside()
{
    if (!parts_.filesSetAside) {
        return;
    }
    const std::optional<Hint> notice = DamagedFilesNotice::hint(parts_.filesSetAside());
    if (!notice) {
        return;
    }
    if (auto* view = settingsWindow_ ? qobject_cast<SettingsView*>(settingsWindow_->content()) : nullptr) {
        view->showNotice(*notice);
    } else if (parts_.showHint) {
        parts_.showHint(*notice);
    }
}

bool AppDelegate::shouldTerminate(TerminationReason reason)
{
    if (quitRequested_ || reason == TerminationReason::sessionEnding) {
        return true;
    }
    if (settingsWindow_) {
        settingsWindow_->close();
    }
    if (onboardingWindow_) {
        onboardingWindow_->close();
    }
    policy_ = ActivationPolicy::accessory;
    return false;
}

void AppDelegate::requestTermination(TerminationReason reason)
{
    if (shouldTerminate(reason)) {
        // Qt asks every window to close on the way out; none may stay behind now.
        ending_ = true;
        if (parts_.terminate) {
            parts_.terminate();
        } else {
            QCoreApplication::quit();
        }
    }
}

void AppDelegate::quitFromMenu()
{
    quitRequested_ = true;
    requestTermination(TerminationReason::userRequest);
}

void AppDelegate::openSettings()
{
    show(makeSettingsWindow());
}

HostWindow* AppDelegate::makeSettingsWindow()
{
    if (!settingsWindow_) {
        settingsWindow_ = new HostWindow(QString::fromUtf8(settingsTitle), settingsSize, new SettingsView(systemActions(*parts_.updater, *parts_.permissions)), makeMainMenu());
        settingsWindow_->onClose = [this](HostWindow* window) { windowWillClose(window); };
        settingsWindow_->keepMinimised = [this](HostWindow* window) { return keepsWayBack(window); };
    }
    return settingsWindow_;
}

void AppDelegate::openOnboarding()
{
    if (!onboardingWindow_) {
        QPointer<AppDelegate> self(this);
        auto* view = new OnboardingView(
            0,
            [self] {
                if (self && self->onboardingWindow_) {
                    self->onboardingWindow_->close();
                }
            },
            accessibilityRequest(*parts_.permissions));
        onboardingWindow_ = new HostWindow(QString::fromUtf8(onboardingTitle), onboardingSize, view, makeMainMenu());
        onboardingWindow_->onClose = [this](HostWindow* window) { windowWillClose(window); };
        onboardingWindow_->keepMinimised = [this](HostWindow* window) { return keepsWayBack(window); };
    }
    show(onboardingWindow_);
}

// The policy changes at once; the window comes up one event-loop turn later, as the
// desktop expects after a policy change.
void AppDelegate::show(HostWindow* window)
{
    policy_ = ActivationPolicy::regular;
    QPointer<HostWindow> target(window);
    QMetaObject::invokeMethod(
        this,
        [target] {
            if (target) {
                // A window kept minimised (on a desktop without a tray) comes back whole.
                target->setWindowState(target->windowState() & ~Qt::WindowMinimized);
                target->show();
                target->raise();
                target->activateWindow();
            }
        },
        Qt::QueuedConnection);
}

void AppDelegate::windowWillClose(HostWindow* window)
{
    if (window == onboardingWindow_) {
        onboardingWindow_ = nullptr;
    }
    if (window == settingsWindow_) {
        settingsWindow_ = nullptr;
    }
    window->deleteLater();
    if (!onboardingWindow_ && !settingsWindow_) {
        policy_ = ActivationPolicy::accessory;
        if (trayMissing() && !ending_) {
            leaveWayBack();
        }
    }
}

bool AppDelegate::trayMissing() const { return parts_.trayAvailable && !parts_.trayAvailable(); }

bool AppDelegate::keepsWayBack(HostWindow* window) const
{
    // Only the settings window can stay: the onboarding would start over when shown again.
    if (ending_ || window != settingsWindow_ || onboardingWindow_ || !trayMissing()) {
        return false;
    }
    return !parts_.notifications->serverAvailable() || runningOnToldOnce_;
}

void AppDelegate::leaveWayBack()
{
    QPointer<AppDelegate> self(this);
    const auto keepSettings = [self] {
        if (self && !self->settingsWindow_) {
            self->policy_ = ActivationPolicy::regular;
            self->makeSettingsWindow()->showMinimized();
        }
    };
    if (!parts_.notifications->serverAvailable() || runningOnToldOnce_) {
        keepSettings();
        return;
    }
    runningOnToldOnce_ = true;
    parts_.notifications->notify(QString::fromUtf8(runningOnTitle), QString::fromUtf8(runningOnDetail),
                                 [keepSettings](bool shown) {
                                     if (!shown) {
                                         keepSettings();
                                     }
                                 });
}

// The trust check talks to the accessibility bus, so it runs on a worker; its answer is
// applied on the main thread, and only one check runs at a time.
void AppDelegate::pollPermissions()
{
    if (pollRunning_) {
        return;
    }
    pollRunning_ = true;
    PermissionSystem* system = parts_.permissions;  // outlives the delegate, which waits for the check
    const QPointer<AppDelegate> self(this);
    workers_.start([system, self] {
        const bool trusted = system->isAccessibilityTrusted();
        const bool microphone = system->microphoneAuthorization() == MicrophoneAuthorization::authorized;
        platform::deliver(self, [trusted, microphone](AppDelegate& delegate) {
            delegate.pollRunning_ = false;
            delegate.applyPermissions(trusted, microphone);
        });
    });
}

void AppDelegate::applyPermissions(bool accessibilityTrusted, bool microphoneAuthorized)
{
    if (accessibilityTrusted != model_.accessibilityGranted()) {
        model_.setAccessibilityGranted(accessibilityTrusted);
        if (parts_.updatePanel) {
            parts_.updatePanel();
        }
    }
    model_.setMicrophoneGranted(microphoneAuthorized);
}

std::unique_ptr<QMenuBar> AppDelegate::makeMainMenu()
{
    auto bar = std::make_unique<QMenuBar>();
    QPointer<AppDelegate> self(this);
    auto add = [](QMenu* menu, const QString& title, const QKeySequence& keys, auto&& action) {
        QAction* item = menu->addAction(title);
        item->setShortcut(keys);
        QObject::connect(item, &QAction::triggered, item, action);
        return item;
    };

    QMenu* app = bar->addMenu(QStringLiteral("KORVU Darivir"));
    add(app, QStringLiteral("Einstellungen …"), QKeySequence(Qt::CTRL | Qt::Key_Comma), [self] {
        if (self) {
            self->openSettings();
        }
    });
    app->addSeparator();
    add(app, QStringLiteral("KORVU Darivir ausblenden"), QKeySequence(Qt::CTRL | Qt::Key_H), [self] {
        if (self) {
            for (HostWindow* window : {self->settingsWindow_.data(), self->onboardingWindow_.data()}) {
                if (window) {
                    window->hide();
                }
            }
        }
    });
    app->addSeparator();
    add(app, QStringLiteral("Fenster schließen (läuft im Hintergrund weiter)"), QKeySequence(Qt::CTRL | Qt::Key_Q),
        [self] {
            if (self) {
                self->requestTermination(TerminationReason::userRequest);
            }
        });
    add(app, QStringLiteral("KORVU Darivir ganz beenden"), QKeySequence(), [self] {
        if (self) {
            self->quitFromMenu();
        }
    });

    QMenu* edit = bar->addMenu(QStringLiteral("Bearbeiten"));
    add(edit, QStringLiteral("Widerrufen"), QKeySequence(Qt::CTRL | Qt::Key_Z), [] { sendToFocus("undo"); });
    add(edit, QStringLiteral("Wiederholen"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), [] { sendToFocus("redo"); });
    edit->addSeparator();
    add(edit, QStringLiteral("Ausschneiden"), QKeySequence(Qt::CTRL | Qt::Key_X), [] { sendToFocus("cut"); });
    add(edit, QStringLiteral("Kopieren"), QKeySequence(Qt::CTRL | Qt::Key_C), [] { sendToFocus("copy"); });
    add(edit, QStringLiteral("Einsetzen"), QKeySequence(Qt::CTRL | Qt::Key_V), [] { sendToFocus("paste"); });
    add(edit, QStringLiteral("Alles auswählen"), QKeySequence(Qt::CTRL | Qt::Key_A), [] { sendToFocus("selectAll"); });

    QMenu* windowMenu = bar->addMenu(QStringLiteral("Fenster"));
    add(windowMenu, QStringLiteral("Schließen"), QKeySequence(Qt::CTRL | Qt::Key_W), [] {
        if (QWidget* window = QApplication::activeWindow()) {
            window->close();
        }
    });
    add(windowMenu, QStringLiteral("Minimieren"), QKeySequence(Qt::CTRL | Qt::Key_M), [] {
        if (QWidget* window = QApplication::activeWindow()) {
            window->showMinimized();
        }
    });
    return bar;
}

}  // namespace korvu
