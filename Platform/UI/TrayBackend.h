#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>

class QMenu;

namespace platform {

// One item in the desktop's tray (the panel area where background programs show a small
// icon). The owner opens its own menu when the item is activated, so that the menu keeps
// its live widgets; hosts that open menus themselves (over D-Bus) get a plain copy of it,
// `setExportedMenu`, since they cannot show widgets.
class TrayBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Whether the desktop shows tray items at all. Asked afresh on every call, since a
    // panel may appear after the application started.
    virtual bool isAvailable() const = 0;
    virtual void setIcon(const QIcon& icon) = 0;
    // Plain text; what a host shows on hover and reads out as the item's name.
    virtual void setToolTip(const QString& text) = 0;
    // Puts the item into the tray (or waits there until a tray appears).
    virtual void show() = 0;
    // Where a menu opened from the item appears, in Qt's global coordinates.
    virtual QPoint menuAnchor() const = 0;
    // The plain menu that a host which opens menus itself shows (titles, enabled states,
    // check marks, submenus; no widgets, no tooltips). The owner keeps it alive.
    virtual void setExportedMenu(QMenu* menu) = 0;

signals:
    // The user clicked the item (either button) or a host asked for its menu.
    void activated();
};

}  // namespace platform
