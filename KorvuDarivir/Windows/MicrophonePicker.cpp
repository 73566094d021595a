#include "KorvuDarivir/Windows/MicrophonePicker.h"

#include "KorvuDarivir/Dictation/AudioDevices.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Async/MainThread.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QPointer>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QThreadPool>

#include <algorithm>

namespace korvu {

MicrophonePicker::MicrophonePicker(QWidget* parent) : QComboBox(parent)
{
    setMinimumWidth(240);
    connect(this, &QComboBox::activated, this, [this](int index) {
        const QString uid = itemData(index).toString();
        if (Settings::microphoneUID().value_or(QString()) != uid) {
            platform::UserDefaults::standard().set(QString::fromLatin1(Settings::microphoneUIDKey), uid);
        }
    });
    addItem(QStringLiteral("Systemstandard"), QString());
    connect(this, &QComboBox::currentIndexChanged, this, &MicrophonePicker::showWholeNameAsTooltip);
    showWholeNameAsTooltip();
}

void MicrophonePicker::showWholeNameAsTooltip()
{
    setToolTip(currentText());
}

QString MicrophonePicker::shownText() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    // The style draws the label one pixel in from each side of the field.
    return fontMetrics().elidedText(option.currentText, Qt::ElideRight, std::max(0, field.width() - 2));
}

// As the drop-down draws itself, with the name cut short by "…" where the style would clip it.
void MicrophonePicker::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    option.currentText = shownText();
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

void MicrophonePicker::showEvent(QShowEvent* event)
{
    QComboBox::showEvent(event);
    reload();
}

void MicrophonePicker::reload()
{
    if (loading_) {
        return;
    }
    loading_ = true;
    QPointer<QObject> self(this);
    QThreadPool::globalInstance()->start([self] {
        std::vector<std::pair<QString, QString>> devices;
        for (const AudioInputDevice& device : AudioDevices::inputDevices()) {
            devices.emplace_back(QString::fromStdString(device.id), QString::fromStdString(device.name));
        }
        const QString defaultName = QString::fromStdString(AudioDevices::defaultInputName().value_or(std::string()));
        platform::deliver(self, [self, devices, defaultName] {
            if (auto* picker = qobject_cast<MicrophonePicker*>(self.data())) {
                picker->fill(devices, defaultName);
            }
        });
    });
}

void MicrophonePicker::fill(const std::vector<std::pair<QString, QString>>& devices, const QString& defaultName)
{
    loading_ = false;
    const QSignalBlocker quiet(this);
    clear();
    addItem(defaultName.isEmpty() ? QStringLiteral("Systemstandard")
                                  : QStringLiteral("Systemstandard (%1)").arg(defaultName),
            QString());
    for (const auto& [id, name] : devices) {
        addItem(name.isEmpty() ? id : name, id);
    }
    const QString stored = Settings::microphoneUID().value_or(QString());
    int index = findData(stored);
    if (index < 0) {
        addItem(QStringLiteral("%1 (nicht verbunden)").arg(stored), stored);
        index = count() - 1;
    }
    for (int i = 0; i < count(); ++i) {
        setItemData(i, itemText(i), Qt::ToolTipRole);
    }
    setCurrentIndex(index);
    showWholeNameAsTooltip();  // the signals are blocked here
}

}  // namespace korvu
