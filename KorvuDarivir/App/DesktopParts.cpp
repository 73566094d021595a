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

AppDelegate::Parts AppDelegate::Parts::desktop()
{
    Parts parts;
    // The one dictation controller, owned by the delegate; the callbacks reach it weakly.
    auto controller = std::make_shared<DictationController>(DictationController::desktopEnvironment());
    const std::weak_ptr<DictationController> weak = controller;
    const auto withController = [weak](void (DictationController::*action)()) {
        return [weak, action] {
            if (const auto one = weak.lock()) {
                (one.get()->*action)();
            }
        };
    };
    parts.controller = std::move(controller);
    parts.installHotkeys = [] { HotkeyCenter::shared().install(); };
    parts.startVocabularyCapture = [] { VocabularyCapture::shared().start(); };
    parts.startController = withController(&DictationController::start);
    parts.updatePanel = withController(&DictationController::updatePanel);
    parts.cancelRecording = withController(&DictationController::cancelRecording);
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
