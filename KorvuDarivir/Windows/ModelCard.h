#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace korvu {

// The speech model's state as a card: what it is doing (with the download's progress and
// size), its error, and a button that loads it, or loads it again after a failure. Follows
// the shared model.
class ModelCard : public QWidget {
    Q_OBJECT
public:
    explicit ModelCard(QWidget* parent = nullptr);

    QString stateText() const;
    QPushButton* loadButton() const { return load_; }

private:
    void refresh();

    QLabel* state_;
    QLabel* detail_;
    QProgressBar* progress_;
    QPushButton* load_;
};

}  // namespace korvu
