#pragma once

#include "KorvuDarivir/UI/HeaderStatus.h"
#include "Platform/UI/OncePerTurn.h"

#include <QColor>
#include <QWidget>

class QLabel;

namespace korvu {

class AppModel;
class ProgressBar;

// The first entry of the status menu: a dot and a bold title, a line of detail, a progress
// bar while the model downloads and a closing line. It follows the model on its own (also
// while the menu is open): every change of what it shows is collected into one update on
// the next turn of the event loop. 300 points wide (a column of 272 between margins of
// 14); the texts wrap and the height follows them.
class MenuHeaderView : public QWidget {
    Q_OBJECT
public:
    static constexpr int columnWidth = 272;
    static constexpr int headerWidth = columnWidth + 2 * 14;

    explicit MenuHeaderView(AppModel& model, QWidget* parent = nullptr);

    const HeaderStatus& status() const { return status_; }
    // Reads the model and the settings again and updates the texts, colours and height.
    void refresh();

    static QColor dotColor(HeaderStatus::Dot dot);

signals:
    // The height changed; the menu holding the header must lay itself out again.
    void heightChanged();

protected:
    void changeEvent(QEvent* event) override;

private:
    void scheduleRefresh();
    void show(const HeaderStatus& status);
    void applyColours();

    AppModel& model_;
    HeaderStatus status_;
    platform::OncePerTurn refreshTurn_{this, [this] { refresh(); }};
    QWidget* dot_;
    QLabel* title_;
    QLabel* detail_;
    QWidget* progressRow_;
    ProgressBar* progress_;
    QLabel* last_;
};

}  // namespace korvu
