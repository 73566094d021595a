#include "KorvuDarivir/App/UpdateWindow.h"

#include "KorvuDarivir/UI/PrimaryButton.h"
#include "KorvuDarivir/UI/SecondaryButton.h"
#include "KorvuDarivir/Windows/Form.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QScreen>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace korvu {

UpdateWindow::UpdateWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QString::fromUtf8(title));
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(460, 320);

    headline_ = new QLabel(this);
    QFont bold = headline_->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    headline_->setFont(bold);
    headline_->setWordWrap(true);
    detail_ = new QLabel(this);
    detail_->setWordWrap(true);
    busy_ = new QProgressBar(this);
    busy_->setRange(0, 0);
    busy_->setTextVisible(false);
    notes_ = new QTextBrowser(this);
    // Notes come from the network: shown as text, never followed or loaded.
    notes_->setOpenLinks(false);
    notes_->setOpenExternalLinks(false);
    downloadButton_ = new PrimaryButton(QStringLiteral("Herunterladen …"), this);
    auto* close = new SecondaryButton(QStringLiteral("Schließen"), this);
    connect(downloadButton_, &QPushButton::clicked, this, [this] {
        if (download_.isValid()) {
            QDesktopServices::openUrl(download_);
        }
    });
    connect(close, &QPushButton::clicked, this, &QWidget::close);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(downloadButton_);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 16);
    layout->addWidget(headline_);
    layout->addWidget(detail_);
    layout->addWidget(busy_);
    layout->addWidget(notes_, 1);
    layout->addLayout(buttons);
    setObjectName(QStringLiteral("updates"));
    form::applyTheme(this);
    showResult(UpdateResult{});
}

void UpdateWindow::showEvent(QShowEvent* event)
{
    // In the middle of the screen, as the other windows; without this it appeared in the
    // top left corner wherever no window manager places it.
    if (!placed_) {
        placed_ = true;
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame(QPoint(), size());
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QWidget::showEvent(event);
}

void UpdateWindow::showResult(const UpdateResult& result)
{
    using Kind = UpdateResult::Kind;
    busy_->setVisible(result.kind == Kind::checking);
    notes_->setVisible(result.kind == Kind::updateAvailable && !result.item.notes.isEmpty());
    download_ = result.kind == Kind::updateAvailable ? result.item.download : QUrl();
    downloadButton_->setVisible(download_.isValid());
    switch (result.kind) {
    case Kind::checking:
        headline_->setText(QStringLiteral("Suche nach Updates …"));
        detail_->setText(QString());
        break;
    case Kind::upToDate:
        headline_->setText(QStringLiteral("KORVU Darivir ist aktuell."));
        detail_->setText(QStringLiteral("Version %1 ist die neueste Version.").arg(result.currentVersion));
        break;
    case Kind::updateAvailable:
        headline_->setText(QStringLiteral("Version %1 ist verfügbar.").arg(result.item.version));
        detail_->setText(QStringLiteral("Du verwendest Version %1. Installiert wird das Update über die "
                                        "Paketverwaltung oder den Download.")
                             .arg(result.currentVersion));
        notes_->setPlainText(result.item.notes);
        break;
    case Kind::failed:
        headline_->setText(QStringLiteral("Die Suche nach Updates ist fehlgeschlagen."));
        detail_->setText(result.message);
        break;
    case Kind::noFeed:
        headline_->setText(QStringLiteral("Updates kommen über die Paketverwaltung."));
        detail_->setText(QStringLiteral("Diese Ausgabe von KORVU Darivir (Version %1) sucht nicht selbst nach "
                                        "Updates; die Paketverwaltung deines Systems hält sie aktuell.")
                             .arg(result.currentVersion));
        break;
    }
}

QString UpdateWindow::headline() const
{
    return headline_->text();
}

QString UpdateWindow::detail() const
{
    return detail_->text();
}

bool UpdateWindow::isBusy() const
{
    return !busy_->isHidden();
}

}  // namespace korvu
