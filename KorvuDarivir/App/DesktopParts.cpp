// The application's own parts behind the delegate's seams.
#include "KorvuDarivir/App/AppDelegate.h"

#include "KorvuDarivir/App/Updater.h"
#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/UI/StatusItemController.h"

#include <QSystemTrayIcon>

namespace korvu {

AppDelegate::Parts AppDelegate::Parts::desktop()
{
    Parts parts;
    parts.installHotkeys = [] { HotkeyCenter::shared().install(); };
    // The delegate owns the status item; the tray question asks it while it lives.
    auto statusItem = std::make_shared<std::weak_ptr<StatusItemController>>();
    parts.makeStatusItem = [statusItem](std::function<void()> cancel, std::function<void()> quit) {
        auto controller = std::make_shared<StatusItemController>(std::move(cancel), std::move(quit));
        controller->installCheckForUpdates([] { Updater::shared().checkForUpdates(); });
        *statusItem = controller;
        return std::shared_ptr<void>(controller);
    };
    parts.trayAvailable = [statusItem] {
        const auto controller = statusItem->lock();
        return controller ? controller->isTrayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
    };
    parts.updater = &Updater::shared();
    parts.permissions = &PermissionSystem::desktop();
    return parts;
}

}  // namespace korvu
