#pragma once

#include "KorvuDarivir/UI/HintDisplay.h"
#include "KorvuDarivir/UI/StatusMenuState.h"
#include "Platform/UI/TrayBackend.h"
#include "Platform/UI/OncePerTurn.h"

#include <QIcon>
#include <QObject>
#include <QThreadPool>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QAction;
class QMenu;
class QWidgetAction;

namespace korvu {

class AppModel;
class HistoryStore;
class MenuHeaderView;
class PermissionSystem;

// What the status item works with; an empty field means the application's own (the
// shared model and history, the desktop's permissions, the system tray, the drawn status
// icons, a hint panel of its own).
struct StatusItemServices {
    using IconRenderer = std::function<QIcon(const StatusIconChoice&)>;

    AppModel* model = nullptr;
    HistoryStore* history = nullptr;
    PermissionSystem* permissions = nullptr;
    std::unique_ptr<platform::TrayBackend> tray;
    IconRenderer iconRenderer;
    std::unique_ptr<HintDisplay> hints;
};

// The application's item in the desktop's tray and its menu: the icon shows the state at
// a glance, the menu the header with the whole state, the actions the state allows, the
// five newest dictations for copying, the settings, the update check and quitting.
//
// Everything it shows is derived from the application model and the history: every
// change of the model is collected into one refresh on the next turn of the event loop,
// and opening the menu refreshes too. The menu is our own widget, opened when the tray
// item is activated, so that the header stays live while it is open. Hosts that open a
// menu themselves (over D-Bus) get a plain copy with the same items, titles, enabled
// states and check marks, the header's title and detail as disabled rows.
//
// Calls that may wait on the accessibility bus run on the controller's own worker
// threads, which its destruction joins; their answers come back to the main thread.
// Everything else runs on the main thread.
class StatusItemController : public QObject {
    Q_OBJECT
public:
    using IconRenderer = StatusItemServices::IconRenderer;

    using Services = StatusItemServices;

    // `cancel` discards a running recording, `quit` ends the application for real; both
    // are run by their menu items. Builds the menu, shows the tray item and refreshes.
    StatusItemController(std::function<void()> cancel, std::function<void()> quit, Services services = {},
                         QObject* parent = nullptr);
    ~StatusItemController() override;

    // The update check run by "Nach Updates suchen …"; does nothing until installed.
    void installCheckForUpdates(std::function<void()> action) { checkForUpdates_ = std::move(action); }

    // Whether the desktop shows tray items now. Without one the menu cannot be reached:
    // the application then offers its settings window instead.
    bool isTrayAvailable() const;

    // Opens the menu beside the tray item, as a click on the item does.
    void openMenu();
    // Run each time the menu opens: asks for the Accessibility grant (the answer arrives
    // later and refreshes the open menu), rebuilds the recent dictations, refreshes.
    void menuWillOpen();

    // The menu actions.
    void toggleDictation();
    void cancelDictation();
    void quitApp();
    void checkForUpdates();
    void retryModel();
    void openSettings();
    void openHistory();
    void grantAccessibility();
    // Puts the item's dictation (its data, a string) on the clipboard; anything else is
    // ignored.
    void copyRecord(const QAction* item);

    // The menu and its items, for the application and its tests.
    QMenu* menu() const { return menu_.get(); }
    MenuHeaderView* header() const { return header_; }
    QAction* accessibilityItem() const { return accessibilityItem_; }
    QAction* retryItem() const { return retryItem_; }
    QAction* toggleItem() const { return toggleItem_; }
    QAction* cancelItem() const { return cancelItem_; }
    QAction* historyItem() const { return historyItem_; }
    QMenu* historyMenu() const { return historyMenu_; }
    // The plain copy handed to the tray for hosts that show menus themselves.
    QMenu* exportedMenu() const { return exported_.get(); }

protected:
    // Runs the open menu's shortcuts (see buildMenu).
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    // A refresh has run (once per turn of the event loop, however many values changed).
    void refreshed();

private:
    void buildMenu();
    void observe();
    void scheduleRefresh();
    void refresh();
    void checkAccessibility();
    void rebuildHistory();
    void updateIcon();
    void relayoutMenu();
    void buildExportedMenu();
    void syncExportedMenu();

    AppModel& model_;
    HistoryStore& history_;
    PermissionSystem& permissions_;
    std::unique_ptr<platform::TrayBackend> tray_;
    IconRenderer iconRenderer_;
    std::function<void()> cancel_;
    std::function<void()> quit_;
    std::function<void()> checkForUpdates_;
    std::unique_ptr<HintDisplay> hints_;

    std::unique_ptr<QMenu> menu_;
    QWidgetAction* headerItem_ = nullptr;
    MenuHeaderView* header_ = nullptr;
    QAction* accessibilityItem_ = nullptr;
    QAction* retryItem_ = nullptr;
    QAction* toggleItem_ = nullptr;
    QAction* cancelItem_ = nullptr;
    QAction* historyItem_ = nullptr;
    QMenu* historyMenu_ = nullptr;

    // The exported copy: each of its items stands for one of the menu's and runs it.
    std::unique_ptr<QMenu> exported_;
    QAction* exportedTitle_ = nullptr;
    QAction* exportedDetail_ = nullptr;
    QMenu* exportedHistory_ = nullptr;
    std::vector<std::pair<QAction*, QAction*>> mirrored_;  // (menu's item, exported item)

    platform::OncePerTurn refreshTurn_{this, [this] { refresh(); }};
    bool accessibilityCheckRunning_ = false;
    bool accessibilityCheckAgain_ = false;
    std::optional<StatusIconChoice> shownIcon_;
    // Last member: destroyed first, it waits for running work before the rest goes.
    QThreadPool workers_;
};

// The drawn tray image for a choice, in the tray's foreground colour where it has one.
QIcon statusIconImage(const StatusIconChoice& choice);

}  // namespace korvu
