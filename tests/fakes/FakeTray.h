#pragma once

#include "Platform/UI/TrayBackend.h"

namespace fakes {

// A tray for tests: keeps what it was given and is activated by the test.
class FakeTray : public platform::TrayBackend {
public:
    using platform::TrayBackend::TrayBackend;

    bool isAvailable() const override { return available; }
    void setIcon(const QIcon& value) override
    {
        icon = value;
        ++iconUpdates;
    }
    void setToolTip(const QString& value) override { toolTip = value; }
    void show() override { shown = true; }
    QPoint menuAnchor() const override { return anchor; }
    void setExportedMenu(QMenu* menu) override { exportedMenu = menu; }

    void activate() { emit activated(); }

    bool available = true;
    bool shown = false;
    int iconUpdates = 0;
    QIcon icon;
    QString toolTip;
    QPoint anchor{100, 30};
    QMenu* exportedMenu = nullptr;
};

}  // namespace fakes
