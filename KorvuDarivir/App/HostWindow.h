#pragma once

#include <QWidget>

#include <functional>
#include <memory>

class QMenuBar;

namespace korvu {

// A top-level window of fixed size around one view (the settings or the onboarding), with
// the application's menus of its own and a close button only. Closing it (button, Ctrl+W,
// the window manager) calls `onClose` once; the owner forgets and deletes it. An owner
// that must keep the window in reach answers `keepMinimised`, and the window is minimised
// instead of closed.
class HostWindow : public QWidget {
    Q_OBJECT
public:
    HostWindow(const QString& title, QSize contentSize, QWidget* content, std::unique_ptr<QMenuBar> menu);
    ~HostWindow() override;

    std::function<void(HostWindow*)> onClose;
    // Asked before the window closes: true keeps it, minimised, instead.
    std::function<bool(HostWindow*)> keepMinimised;

    QWidget* content() const { return content_; }
    QMenuBar* menuBar() const { return menu_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* content_;
    QMenuBar* menu_;
    bool closed_ = false;
};

}  // namespace korvu
