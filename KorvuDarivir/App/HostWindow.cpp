#include "KorvuDarivir/App/HostWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QVBoxLayout>

namespace korvu {

HostWindow::HostWindow(const QString& title, QSize contentSize, QWidget* content, std::unique_ptr<QMenuBar> menu)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      content_(content), menu_(menu.release())
{
    setWindowTitle(title);
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (menu_) {
        menu_->setParent(this);
        layout->setMenuBar(menu_);
    }
    content_->setParent(this);
    content_->setFixedSize(contentSize);
    layout->addWidget(content_);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

HostWindow::~HostWindow() = default;

void HostWindow::closeEvent(QCloseEvent* event)
{
    if (!closed_ && keepMinimised && keepMinimised(this)) {
        event->ignore();
        showMinimized();
        return;
    }
    event->accept();
    if (!closed_) {
        closed_ = true;
        if (onClose) {
            onClose(this);
        }
    }
}

}  // namespace korvu
