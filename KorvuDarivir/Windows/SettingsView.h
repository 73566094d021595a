#pragma once

#include "KorvuDarivir/Windows/AccessibilityGrant.h"

#include "KorvuDarivir/Store/KeyStore.h"
#include "KorvuDarivir/UI/Hint.h"
#include "KorvuDarivir/Windows/SettingsTab.h"

#include <QStringList>
#include <QWidget>

#include <functional>

class QLabel;
class QListWidget;
class QTabWidget;

namespace korvu {

class ApiKeyEditor;

// The settings window's content: five tabs (dictation, cleanup, vocabulary, history,
// system) over the shared application model, the settings, the key store, the vocabulary
// and the history. The selected tab is bound to the user-defaults key "settingsTab"
// (default: dictation) both ways: the view opens on the stored tab, stores the user's
// choice, and follows the key while it is open. Every control writes its setting at once
// and follows the setting when something else changes it.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    // What the system tab asks of the application around it: start at login and the update
    // check. The application fills it in; left as it is, nothing starts at login and no
    // update is looked for.
    struct SystemActions {
        std::function<bool()> startsAtLogin = [] { return false; };
        // Turns start at login on or off; false when that failed, and the switch then
        // shows `startsAtLogin` again.
        std::function<bool(bool enabled)> setStartsAtLogin = [](bool) { return false; };
        // Shows the update window and checks now.
        std::function<void()> checkForUpdates = [] {};
        // A build without an update feed never checks by itself, so the tab offers no
        // switch for it and the two below go unused.
        bool hasUpdateFeed = false;
        std::function<bool()> automaticallyChecksForUpdates = [] { return false; };
        std::function<void(bool enabled)> setAutomaticallyChecksForUpdates = [](bool) {};
        // What the Accessibility row's button asks, on a worker thread; empty: the desktop.
        AccessibilityGrant::Request requestAccessibility;
    };

    explicit SettingsView(SystemActions system, QWidget* parent = nullptr);
    // Tests give a key store of their own.
    SettingsView(SystemActions system, KeyStore& keys, QWidget* parent = nullptr);
    ~SettingsView() override;

    SettingsTab tab() const;
    void setTab(SettingsTab tab);

    // Shows the start's notice about damaged files at the top of the history page and
    // turns to that page.
    void showNotice(const Hint& notice);
    // The notice's line on the history page; hidden until `showNotice`.
    QLabel* notice() const { return notice_; }

    QTabWidget* tabs() const { return tabs_; }
    ApiKeyEditor* keyEditor() const { return keyEditor_; }

private:
    QWidget* dictationPage();
    QWidget* cleanupPage();
    QWidget* vocabularyPage();
    QWidget* historyPage();
    QWidget* systemPage();
    void followStoredTab();
    void refreshVocabulary();
    void refreshHistory();

    SystemActions system_;
    KeyStore& keys_;
    QTabWidget* tabs_;
    ApiKeyEditor* keyEditor_ = nullptr;
    QListWidget* terms_ = nullptr;
    QLabel* vocabularyFeedback_ = nullptr;
    QStringList countedTerms_;  // the list as the shown count left it
    QListWidget* records_ = nullptr;
    QLabel* notice_ = nullptr;
};

}  // namespace korvu
