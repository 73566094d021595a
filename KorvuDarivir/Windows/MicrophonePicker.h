#pragma once

#include <QComboBox>

namespace korvu {

// Chooses the microphone: the system default first, then every input the sound server
// lists. The list is read each time the picker is shown, on a worker thread (the sound server may be slow); the choice is
// stored under "microphoneUID" (empty for the default). A stored device that is not
// connected stays listed, so looking at the list never changes the setting. A name longer
// than the field ends in "…"; the whole name is the tooltip, of the field and of each entry.
class MicrophonePicker : public QComboBox {
    Q_OBJECT
public:
    explicit MicrophonePicker(QWidget* parent = nullptr);

    // Reads the devices again.
    void reload();
    bool isLoading() const { return loading_; }
    // The chosen entry's name as the field shows it at its current width.
    QString shownText() const;

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void showWholeNameAsTooltip();
    void fill(const std::vector<std::pair<QString, QString>>& devices, const QString& defaultName);

    bool loading_ = false;
};

}  // namespace korvu
