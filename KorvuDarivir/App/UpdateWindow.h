#pragma once

#include "KorvuDarivir/App/Updater.h"

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;

namespace korvu {

// The updater's own window: the running check, its result (no newer version, or a newer
// version with its notes and download link) or its error. Installing stays with the
// package manager, so the window only links to the download.
class UpdateWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* title = "KORVU Darivir – Updates";

    explicit UpdateWindow(QWidget* parent = nullptr);

    void showResult(const UpdateResult& result);

    // What the window says now (for tests and accessibility).
    QString headline() const;
    QString detail() const;
    bool isBusy() const;
    QUrl downloadUrl() const { return download_; }

protected:
    // The first showing places the window in the middle of the screen, at the size its
    // content has by then.
    void showEvent(QShowEvent* event) override;

private:
    bool placed_ = false;
    QLabel* headline_;
    QLabel* detail_;
    QProgressBar* busy_;
    QTextBrowser* notes_;
    QPushButton* downloadButton_;
    QUrl download_;
};

}  // namespace korvu
