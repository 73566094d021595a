#include "KorvuDarivir/Windows/SettingsView.h"

#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

namespace korvu {

namespace {

QString tabTitle(SettingsTab tab)
{
    switch (tab) {
    case SettingsTab::dictation:
        return QStringLiteral("Diktat");
    case SettingsTab::cleanup:
        return QStringLiteral("Bereinigung");
    case SettingsTab::vocabulary:
        return QStringLiteral("Wörterbuch");
    case SettingsTab::history:
        return QStringLiteral("Verlauf");
    case SettingsTab::system:
        return QStringLiteral("System");
    }
    return {};
}

platform::UserDefaults& defaults()
{
    return platform::UserDefaults::standard();
}

const QString tabKey = QString::fromLatin1(Settings::settingsTabKey);

}  // namespace

SettingsView::SettingsView(QWidget* parent) : QWidget(parent), tabs_(new QTabWidget(this))
{
    for (const SettingsTab tab : allSettingsTabs) {
        tabs_->addTab(new QLabel(tabTitle(tab)), tabTitle(tab));
    }
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    followStoredTab();
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (index < 0 || index >= static_cast<int>(allSettingsTabs.size())) {
            return;
        }
        const QString raw = rawValue(allSettingsTabs[static_cast<size_t>(index)]);
        if (defaults().string(tabKey).value_or(QString()) != raw) {
            defaults().set(tabKey, raw);
        }
    });
    connect(&defaults(), &platform::UserDefaults::changed, this, [this](const QString& key) {
        if (key == tabKey) {
            followStoredTab();
        }
    });
}

SettingsView::~SettingsView() = default;

SettingsTab SettingsView::tab() const
{
    return allSettingsTabs[static_cast<size_t>(std::max(0, tabs_->currentIndex()))];
}

void SettingsView::setTab(SettingsTab tab)
{
    tabs_->setCurrentIndex(static_cast<int>(tab));
}

// A missing or unknown value shows the first tab, without writing anything back.
void SettingsView::followStoredTab()
{
    const SettingsTab tab = settingsTab(defaults().string(tabKey).value_or(QString())).value_or(SettingsTab::dictation);
    if (tabs_->currentIndex() != static_cast<int>(tab)) {
        const QSignalBlocker quiet(tabs_);
        tabs_->setCurrentIndex(static_cast<int>(tab));
    }
}

}  // namespace korvu
