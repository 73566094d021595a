#pragma once

#include "KorvuDarivir/Store/KeyStore.h"
#include "KorvuDarivir/Windows/SettingsTab.h"

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QTabWidget;

namespace korvu {

class BrandToggle;

// The settings window's content: five tabs (dictation, cleanup, vocabulary, history,
// system) over the shared application model, the settings, the key store, the vocabulary
// and the history. The selected tab is bound to the user-defaults key "settingsTab"
// (default: dictation) both ways: the view opens on the stored tab, stores the user's
// choice, and follows the key while it is open. Every control writes its setting at once
// and follows the setting when something else changes it.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    explicit SettingsView(QWidget* parent = nullptr);
    // Tests give a key store of their own.
    explicit SettingsView(KeyStore& keys, QWidget* parent = nullptr);
    ~SettingsView() override;

    SettingsTab tab() const;
    void setTab(SettingsTab tab);

    QTabWidget* tabs() const { return tabs_; }
    // What the cleanup tab says about the stored API key (never the whole key).
    QString keyStatus() const;
    // Stores the key typed in the key field (trimmed), then checks it against the API.
    void saveKey();

    // Checks a key against the API: none when accepted, else the message. Tests replace it.
    std::function<std::optional<QString>(const QString&)> validateKey;

    // The key as it may be shown: its beginning and its last four characters.
    static QString maskedKey(const QString& key);

private:
    QWidget* dictationPage();
    QWidget* cleanupPage();
    QWidget* vocabularyPage();
    QWidget* historyPage();
    QWidget* systemPage();
    void followStoredTab();
    void readKey();
    void refreshVocabulary();
    void refreshHistory();

    KeyStore& keys_;
    QTabWidget* tabs_;
    QLabel* keyStatus_ = nullptr;
    QLineEdit* keyField_ = nullptr;
    QListWidget* terms_ = nullptr;
    QListWidget* records_ = nullptr;
};

}  // namespace korvu
