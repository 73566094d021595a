#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace korvu {

// The speech model's state as a card: what it is doing (with the download's progress and
// size), its error, and a button only where it has something to do: "Laden" for a model
// not loaded yet, "Erneut versuchen" after a failure. A try started with the button keeps
// the button (disabled, "Wird versucht …") until it ends, and a failed one leaves a line
// with the time it ended, so a retry that fails at once still shows that it ran. Follows
// the shared model.
class ModelCard : public QWidget {
    Q_OBJECT
public:
    explicit ModelCard(QWidget* parent = nullptr);

    QString stateText() const;
    QString detailText() const;
    // The line about the last try started with the button; empty when there is none.
    QString outcomeText() const;
    QPushButton* loadButton() const { return load_; }

private:
    void refresh();
    void startTry();

    QLabel* state_;
    QLabel* detail_;
    QLabel* outcome_;
    QProgressBar* progress_;
    QPushButton* load_;
    bool trying_ = false;  // a try started with the button runs
    bool refocus_ = false;  // the button had the focus when a try disabled it
};

}  // namespace korvu
