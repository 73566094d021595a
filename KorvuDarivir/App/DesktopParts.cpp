// The application's own parts behind the delegate's seams.
#include "KorvuDarivir/App/AppDelegate.h"

#include "KorvuDarivir/App/Updater.h"
#include "KorvuDarivir/Dictation/HotkeyCenter.h"

#include <QSystemTrayIcon>

namespace korvu {

AppDelegate::Parts AppDelegate::Parts::desktop()
{
    Parts parts;
    parts.installHotkeys = [] { HotkeyCenter::shared().install(); };
    parts.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    parts.updater = &Updater::shared();
    parts.permissions = &PermissionSystem::desktop();
    return parts;
}

}  // namespace korvu
