// The application's own parts behind the delegate's seams.
#include "KorvuDarivir/App/AppDelegate.h"

#include "KorvuDarivir/App/DamagedFilesNotice.h"
#include "KorvuDarivir/App/Updater.h"
#include "KorvuDarivir/Dictation/DictationController.h"
#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Dictation/VocabularyCapture.h"
#include "KorvuDarivir/UI/HintDisplay.h"
#include "KorvuDarivir/UI/StatusItemController.h"
#include "Platform/UI/SystemTray.h"

namespace korvu {
namespace {

// The one dictation controller; it lives as long as the application.
DictationController& controller()
{
    static DictationController* one = new DictationController(DictationController::desktopEnvironment());
    return *one;
}

}  // namespace

AppDelegate::Parts AppDelegate::Parts::desktop()
{
    Parts parts;
    parts.installHotkeys = [] { HotkeyCenter::shared().install(); };
    parts.startVocabularyCapture = [] { VocabularyCapture::shared().start(); };
    parts.startController = [] { controller().start(); };
    parts.updatePanel = [] { controller().updatePanel(); };
    parts.cancelRecording = [] { controller().cancelRecording(); };
    parts.makeStatusItem = [](std::function<void()> cancel, std::function<void()> quit) {
        auto item = std::make_shared<StatusItemController>(std::move(cancel), std::move(quit));
        item->installCheckForUpdates([] { Updater::shared().checkForUpdates(); });
        return std::shared_ptr<void>(std::move(item));
    };
    parts.trayAvailable = [] { return platform::SystemTray::systemTrayAvailable(); };
    parts.filesSetAside = [] { return DamagedFilesNotice::collect(); };
    parts.showHint = [](const Hint& hint) {
        static HintDisplay* const panel = makeHintPanel().release();  // lives as long as the application
        panel->show(hint, std::nullopt);
    };
    parts.updater = &Updater::shared();
    parts.permissions = &PermissionSystem::desktop();
    return parts;
}

}  // namespace korvu
