#include "KorvuDarivir/UI/StatusItemController.h"

#include "KorvuDarivir/Store/Permissions.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/UI/HintDisplay.h"
#include "KorvuDarivir/UI/MenuHeaderView.h"
#include "KorvuDarivir/UI/StatusIcon.h"
#include "Platform/Async/MainThread.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/UI/Appearance.h"
#include "Platform/UI/SystemTray.h"

#include <QAction>
#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QWidgetAction>

#include <algorithm>
#include <cmath>
#include <utility>

namespace korvu {

namespace {

constexpr int recentCount = 5;

// A ring that moved by less than half a percent looks the same at tray size; the
// download reports its progress far more often than that.
bool looksSame(const StatusIconChoice& a, const StatusIconChoice& b)
{
    if (a.kind != b.kind) return false;
    if (a.kind != StatusIconChoice::Kind::ring) return true;
    const auto step = [](double p) { return std::isnan(p) ? -1.0 : std::floor(std::clamp(p, 0.0, 1.0) * 200.0); };
    return step(a.progress) == step(b.progress);
}

}  // namespace

StatusItemController::StatusItemController(std::function<void()> cancel, std::function<void()> quit,
                                           Services services, QObject* parent)
    : QObject(parent),
      model_(services.model ? *services.model : AppModel::shared()),
      history_(services.history ? *services.history : HistoryStore::shared()),
      permissions_(services.permissions ? *services.permissions : PermissionSystem::desktop()),
      tray_(services.tray ? std::move(services.tray) : std::make_unique<platform::SystemTray>()),
      iconRenderer_(services.iconRenderer ? std::move(services.iconRenderer) : IconRenderer(statusIconImage)),
      cancel_(std::move(cancel)),
      quit_(std::move(quit)),
      hints_(services.hints ? std::move(services.hints) : makeHintPanel())
{
    // The accessibility check and the grant request, each at most once at a time.
    workers_.setMaxThreadCount(2);
    connect(tray_.get(), &platform::TrayBackend::activated, this, &StatusItemController::openMenu);
    buildMenu();
    buildExportedMenu();
    observe();
    rebuildHistory();
    refresh();
    tray_->setExportedMenu(exported_.get());
    tray_->show();
}

StatusItemController::~StatusItemController()
{
    // The exported menu goes first, while the tray that shows it is still there.
    tray_->setExportedMenu(nullptr);
}

bool StatusItemController::isTrayAvailable() const { return tray_->isAvailable(); }

void StatusItemController::buildMenu()
{
    menu_ = std::make_unique<QMenu>();
    menu_->setToolTipsVisible(true);
    connect(menu_.get(), &QMenu::aboutToShow, this, &StatusItemController::menuWillOpen);

    header_ = new MenuHeaderView(model_);
    headerItem_ = new QWidgetAction(menu_.get());
    headerItem_->setDefaultWidget(header_);
    menu_->addAction(headerItem_);
    connect(header_, &MenuHeaderView::heightChanged, this, &StatusItemController::relayoutMenu);
    menu_->addSeparator();

    accessibilityItem_ = menu_->addAction(QStringLiteral("Bedienungshilfen erlauben …"), this,
                                          &StatusItemController::grantAccessibility);
    retryItem_ = menu_->addAction(QStringLiteral("Sprachmodell erneut laden"), this, &StatusItemController::retryModel);
    toggleItem_ = menu_->addAction(QStringLiteral("Diktat starten"), this, &StatusItemController::toggleDictation);
    // Escape closes an open menu, so the key is only shown; while recording, the global
    // Escape shortcut cancels.
    cancelItem_ = menu_->addAction(QStringLiteral("Aufnahme abbrechen\tEsc"), this,
                                   &StatusItemController::cancelDictation);
    menu_->addSeparator();

    historyMenu_ = new QMenu(QStringLiteral("Letzte Diktate"), menu_.get());
    historyMenu_->setToolTipsVisible(true);
    historyItem_ = menu_->addMenu(historyMenu_);
    QAction* settings = menu_->addAction(QStringLiteral("Einstellungen …"), this, &StatusItemController::openSettings);
    settings->setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key_Comma));
    menu_->addAction(QStringLiteral("Nach Updates suchen …"), this, &StatusItemController::checkForUpdates);
    menu_->addSeparator();
    // No Ctrl+Q here: everywhere else in the application that key only closes the windows,
    // so it cannot stand for ending the application in this menu.
    menu_->addAction(QStringLiteral("KORVU Darivir beenden"), this, &StatusItemController::quitApp);
    menu_->setAccessibleName(QStringLiteral("KORVU Darivir"));
    // Qt matches a menu action's shortcut only when the menu hangs in a window's menu bar;
    // this menu stands alone, so its keys are matched here while it is open.
    menu_->installEventFilter(this);
}

void StatusItemController::buildExportedMenu()
{
    exported_ = std::make_unique<QMenu>();
    // The header's two lines, as rows that cannot be chosen.
    exportedTitle_ = exported_->addAction(QString());
    exportedTitle_->setEnabled(false);
    exportedDetail_ = exported_->addAction(QString());
    exportedDetail_->setEnabled(false);
    for (QAction* item : menu_->actions()) {
        if (item == headerItem_) continue;
        if (item->isSeparator()) {
            exported_->addSeparator();
            continue;
        }
        QAction* copy = nullptr;
        if (item == historyItem_) {
            exportedHistory_ = new QMenu(item->text(), exported_.get());
            copy = exported_->addMenu(exportedHistory_);
        } else {
            copy = exported_->addAction(item->text());
            connect(copy, &QAction::triggered, item, &QAction::trigger);
        }
        mirrored_.emplace_back(item, copy);
    }
    // A host opening the copy counts as opening the menu.
    connect(exported_.get(), &QMenu::aboutToShow, this, &StatusItemController::menuWillOpen);
}

void StatusItemController::syncExportedMenu()
{
    exportedTitle_->setText(StatusMenuState::exportedRow(header_->status().title));
    exportedDetail_->setText(StatusMenuState::exportedRow(header_->status().detail));
    exportedDetail_->setVisible(!header_->status().detail.isEmpty());
    for (const auto& [item, copy] : mirrored_) {
        // The cancel item shows its key after a tab, which a host would print as text.
        copy->setText(StatusMenuState::exportedRow(item->text().section(QLatin1Char('\t'), 0, 0)));
        copy->setEnabled(item->isEnabled());
        copy->setVisible(item->isVisible());
        copy->setCheckable(item->isCheckable());
        copy->setChecked(item->isChecked());
        copy->setShortcut(item->shortcut());
    }
}

bool StatusItemController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != menu_.get() || event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    const QKeySequence pressed(QKeyCombination(key->modifiers() & ~Qt::KeypadModifier, Qt::Key(key->key())));
    for (QAction* action : menu_->actions()) {
        if (action->isVisible() && action->isEnabled() && !action->shortcut().isEmpty() && action->shortcut() == pressed) {
            menu_->hide();  // as a click on the item would
            action->trigger();
            return true;
        }
    }
    return false;
}

void StatusItemController::observe()
{
    for (auto signal : {&AppModel::phaseChanged, &AppModel::modelChanged, &AppModel::accessibilityGrantedChanged,
                        &AppModel::hotkeyChanged, &AppModel::recordingSecondsChanged}) {
        connect(&model_, signal, this, &StatusItemController::scheduleRefresh);
    }
    // Images drawn in the panel's foreground colour are drawn again for the new one.
    connect(&platform::AppearanceMonitor::shared(), &platform::AppearanceMonitor::changed, this, [this] {
        shownIcon_.reset();
        scheduleRefresh();
    });
}

void StatusItemController::scheduleRefresh() { refreshTurn_.request(); }

void StatusItemController::refresh()
{
    updateIcon();
    header_->refresh();

    const StatusMenuState state = StatusMenuState::from(model_.phase(), model_.model(), model_.accessibilityGranted());
    // A menu shows what follows a tab as the item's shortcut, so the shortcut reads as it
    // does everywhere else in the application; the key sequence only matches presses.
    toggleItem_->setText(state.toggleTitle + QLatin1Char('\t') + model_.hotkey().displayText());
    toggleItem_->setShortcut(StatusMenuState::keyEquivalent(model_.hotkey()));
    toggleItem_->setEnabled(state.toggleEnabled);
    cancelItem_->setEnabled(state.cancelEnabled);
    accessibilityItem_->setVisible(state.accessibilityVisible);
    retryItem_->setVisible(state.retryVisible);
    syncExportedMenu();
    emit refreshed();
}

void StatusItemController::updateIcon()
{
    const StatusIconChoice choice =
        StatusMenuState::iconFor(model_.phase(), model_.model(), model_.accessibilityGranted());
    // The same image again would only make a D-Bus host fetch it again.
    if (!shownIcon_ || !looksSame(choice, *shownIcon_)) {
        tray_->setIcon(iconRenderer_(choice));
        shownIcon_ = choice;
    }
    tray_->setToolTip(StatusMenuState::trayToolTip(model_.phase(), model_.recordingTime()));
}

void StatusItemController::relayoutMenu()
{
    // A menu measures its widget entries only when an entry changes; touching the
    // header's entry makes it measure the new height (and resize itself when open).
    headerItem_->setData(header_->height());
}

void StatusItemController::openMenu()
{
    if (menu_->isVisible()) return;
    menu_->popup(tray_->menuAnchor());
}

void StatusItemController::menuWillOpen()
{
    checkAccessibility();
    rebuildHistory();
    refresh();
}

void StatusItemController::checkAccessibility()
{
    // Asking the accessibility bus may take a while: the menu opens at once with what the
    // model holds, and the answer refreshes it when it arrives. An opening during a check
    // asks again afterwards, so the last opening never keeps an older answer.
    if (accessibilityCheckRunning_) {
        accessibilityCheckAgain_ = true;
        return;
    }
    accessibilityCheckRunning_ = true;
    // The guard is made here, on the main thread; the worker only hands it back.
    const QPointer<StatusItemController> self(this);
    PermissionSystem* permissions = &permissions_;
    workers_.start([self, permissions] {
        const bool trusted = Permissions::isAccessibilityTrusted(*permissions);
        platform::deliver(self, [trusted](StatusItemController& item) {
            item.accessibilityCheckRunning_ = false;
            item.model_.setAccessibilityGranted(trusted);
            if (std::exchange(item.accessibilityCheckAgain_, false)) item.checkAccessibility();
        });
    });
}

void StatusItemController::rebuildHistory()
{
    const QList<DictationRecord>& records = history_.records();
    // The menu and its exported copy list the same entries; the copy has no tooltips.
    for (QMenu* menu : {historyMenu_, exportedHistory_}) {
        menu->clear();
        for (qsizetype i = 0; i < records.size() && i < recentCount; ++i) {
            const DictationRecord& record = records[i];
            const QString title = StatusMenuState::historyTitle(record.text);
            QAction* item = menu->addAction(menu == historyMenu_ ? title
                                                                 : StatusMenuState::exportedRow(QString(title).replace(
                                                                       QStringLiteral("&&"), QStringLiteral("&"))));
            item->setData(record.text);
            if (menu == historyMenu_) {
                item->setToolTip(StatusMenuState::historyToolTip(HistoryStore::timeLabel(record.dateTime()), record.appName));
            }
            connect(item, &QAction::triggered, this, [this, item] { copyRecord(item); });
        }
        if (records.isEmpty()) {
            menu->addAction(QStringLiteral("Noch keine Diktate"))->setEnabled(false);
        }
        menu->addSeparator();
        menu->addAction(QStringLiteral("Ganzen Verlauf zeigen …"), this, &StatusItemController::openHistory);
    }
}

void StatusItemController::toggleDictation() { model_.toggleDictation(); }

void StatusItemController::cancelDictation()
{
    if (cancel_) cancel_();
}

void StatusItemController::quitApp()
{
    if (quit_) quit_();
}

void StatusItemController::checkForUpdates()
{
    if (checkForUpdates_) checkForUpdates_();
}

void StatusItemController::retryModel() { model_.loadModel(); }

void StatusItemController::openSettings() { model_.openSettings(); }

void StatusItemController::openHistory()
{
    platform::UserDefaults::standard().set(QString::fromLatin1(Settings::settingsTabKey), QStringLiteral("history"));
    model_.openSettings();
}

void StatusItemController::grantAccessibility()
{
    // Switching the accessibility bus on waits for its answer: not on the main thread.
    // When no settings program can show the setting, the user is told where it is.
    const QPointer<StatusItemController> self(this);
    PermissionSystem* permissions = &permissions_;
    workers_.start([self, permissions] {
        const std::optional<PermissionHint> hint = Permissions::requestAccessibility(*permissions);
        if (!hint) return;
        platform::deliver(self, [hint](StatusItemController& item) {
            item.hints_->show({HintKind::warning, hint->title, hint->detail}, {});
        });
    });
}

void StatusItemController::copyRecord(const QAction* item)
{
    if (item == nullptr || item->data().typeId() != QMetaType::QString) return;
    QGuiApplication::clipboard()->setText(item->data().toString(), QClipboard::Clipboard);
}

QIcon statusIconImage(const StatusIconChoice& choice)
{
    // The panel follows the desktop's appearance, as the application's palette does.
    const QColor foreground = StatusIcon::trayForeground(platform::AppearanceMonitor::current());
    switch (choice.kind) {
    case StatusIconChoice::Kind::bars:
        return StatusIcon::bars(false).toIcon(foreground);
    case StatusIconChoice::Kind::barsWithBadge:
        return StatusIcon::bars(true, foreground).toIcon(foreground);
    case StatusIconChoice::Kind::ring:
        return StatusIcon::ring(choice.progress).toIcon(foreground);
    case StatusIconChoice::Kind::dots:
        return StatusIcon::dots().toIcon(foreground);
    case StatusIconChoice::Kind::recordDot:
        break;
    }
    return StatusIcon::recordDot().toIcon(foreground);
}

}  // namespace korvu
