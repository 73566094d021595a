#include "KorvuDarivir/Windows/MicrophonePicker.h"

#include "KorvuDarivir/Dictation/AudioDevices.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Async/MainThread.h"
#include "Platform/Defaults/UserDefaults.h"

#include <QPointer>
#include <QThreadPool>

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
    setCurrentIndex(index);
}

}  // namespace korvu
