#pragma once

#include "KorvuDarivir/Windows/SettingsTab.h"

#include <QWidget>

class QTabWidget;

namespace korvu {

// The settings window's content: five tabs (dictation, cleanup, vocabulary, history,
// system) over the shared application model, the settings, the keychain, the vocabulary
// and the history. The selected tab is bound to the user-defaults key "settingsTab"
// (default: dictation) both ways: the view opens on the stored tab, stores the user's
// choice, and follows the key while it is open.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    explicit SettingsView(QWidget* parent = nullptr);
    ~SettingsView() override;

    SettingsTab tab() const;
    void setTab(SettingsTab tab);

    QTabWidget* tabs() const { return tabs_; }

private:
    void followStoredTab();

    QTabWidget* tabs_;
};

}  // namespace korvu
