#include "Platform/UI/Appearance.h"

#include <QEvent>
#include <QGuiApplication>

namespace platform {

AppearanceMonitor& AppearanceMonitor::shared()
{
    static AppearanceMonitor* monitor = new AppearanceMonitor();  // lives as long as the process
    return *monitor;
}

Appearance AppearanceMonitor::current() { return shared().appearance(); }

Appearance AppearanceMonitor::fromPalette(const QPalette& palette)
{
    const QColor window = palette.color(QPalette::Window);
    const QColor text = palette.color(QPalette::WindowText);
    if (!window.isValid() || !text.isValid()) {
        return Appearance::light;
    }
    return window.lightnessF() < text.lightnessF() ? Appearance::dark : Appearance::light;
}

AppearanceMonitor::AppearanceMonitor()
{
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        // The filter on the application object sees the palette change that Qt sends to
        // the application itself when the theme or setPalette changes it.
        app->installEventFilter(this);
    }
    last_ = appearance();
}

Appearance AppearanceMonitor::appearance() const { return override_.value_or(fromApplication()); }

Appearance AppearanceMonitor::fromApplication() const
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return Appearance::light;
    }
    return fromPalette(QGuiApplication::palette());
}

void AppearanceMonitor::setOverride(std::optional<Appearance> appearance)
{
    override_ = appearance;
    update();
}

bool AppearanceMonitor::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == QCoreApplication::instance() && event->type() == QEvent::ApplicationPaletteChange) {
        update();
    }
    return QObject::eventFilter(watched, event);
}

void AppearanceMonitor::update()
{
    const Appearance now = appearance();
    if (now != last_) {
        last_ = now;
        emit changed(now);
    }
}

}  // namespace platform
