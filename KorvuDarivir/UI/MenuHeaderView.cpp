#include "KorvuDarivir/UI/MenuHeaderView.h"

#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/UI/Brand.h"
#include "KorvuDarivir/UI/ProgressBar.h"
#include "KorvuDarivir/UI/Theme.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/UI/Appearance.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace korvu {

namespace {

class DotWidget : public QWidget {
public:
    explicit DotWidget(QWidget* parent) : QWidget(parent) { setFixedSize(8, 8); }
    void setColor(const QColor& color)
    {
        if (color == color_) return;
        color_ = color;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color_);
        painter.drawEllipse(QRectF(0, 0, 8, 8));
    }

private:
    QColor color_;
};

QLabel* makeLabel(int pixelSize, QFont::Weight weight, QWidget* parent)
{
    auto* label = new QLabel(parent);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    label->setFont(font);
    label->setWordWrap(true);
    // Texts come from the model (an application's name among them): never markup.
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A row indented under the title (dot 8 plus spacing 7), with `top` extra space above.
QWidget* indented(QWidget* content, int top, QWidget* parent)
{
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(15, top, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(content);
    return row;
}

}  // namespace

MenuHeaderView::MenuHeaderView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 6, 14, 4);
    column->setSpacing(4);

    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(7);
    dot_ = new DotWidget(this);
    title_ = makeLabel(13, QFont::DemiBold, this);
    titleRow->addWidget(dot_, 0, Qt::AlignVCenter);
    titleRow->addWidget(title_, 1);
    column->addLayout(titleRow);

    detail_ = makeLabel(12, QFont::Normal, this);
    column->addWidget(indented(detail_, 0, this));

    progress_ = new ProgressBar(0.0, {}, this);
    progress_->setFixedHeight(4);
    progressRow_ = indented(progress_, 4, this);
    column->addWidget(progressRow_);

    last_ = makeLabel(12, QFont::Normal, this);
    column->addWidget(indented(last_, 4, this));

    for (auto signal : {&AppModel::phaseChanged, &AppModel::modelChanged, &AppModel::accessibilityGrantedChanged,
                        &AppModel::hotkeyChanged, &AppModel::lastInsertChanged, &AppModel::recordingSecondsChanged}) {
        connect(&model_, signal, this, &MenuHeaderView::scheduleRefresh);
    }
    connect(&platform::UserDefaults::standard(), &platform::UserDefaults::changed, this, [this](const QString& key) {
        if (key == QLatin1String(Settings::languageKey) || key == QLatin1String(Settings::cleanupEnabledKey)) {
            scheduleRefresh();
        }
    });
    connect(&platform::AppearanceMonitor::shared(), &platform::AppearanceMonitor::changed, this,
            &MenuHeaderView::applyColours);

    setFixedWidth(headerWidth);
    refresh();
}

QColor MenuHeaderView::dotColor(HeaderStatus::Dot dot)
{
    switch (dot) {
    case HeaderStatus::Dot::recording:
        return Theme::recording.current();
    case HeaderStatus::Dot::ready:
        return Brand::readyDot;
    case HeaderStatus::Dot::working:
        break;
    }
    return Brand::mediumPurple;
}

void MenuHeaderView::scheduleRefresh() { refreshTurn_.request(); }

void MenuHeaderView::refresh() { show(HeaderStatus::from(model_)); }

void MenuHeaderView::show(const HeaderStatus& status)
{
    status_ = status;
    title_->setText(status.title);
    detail_->setText(status.detail);
    progressRow_->setVisible(status.progress.has_value());
    if (status.progress) progress_->setValue(*status.progress);
    last_->parentWidget()->setVisible(status.last.has_value());
    last_->setText(status.last.value_or(QString()));
    applyColours();

    const int oldHeight = height();
    // A label's new text reaches only the layout of the row holding it at once; the
    // column would hear of it a turn later and measure the old text meanwhile, so a
    // shorter text left the header at its old height. Every layout measures afresh.
    for (QWidget* row : {detail_->parentWidget(), progressRow_, last_->parentWidget()}) {
        row->layout()->invalidate();
        row->updateGeometry();
    }
    layout()->invalidate();
    // The labels wrap within the column; the height is what the wrapped texts need.
    setFixedHeight(layout()->totalHeightForWidth(headerWidth));
    if (height() != oldHeight) emit heightChanged();
    setAccessibleName(status.title);
    setAccessibleDescription(status.detail);
}

void MenuHeaderView::applyColours()
{
    static_cast<DotWidget*>(dot_)->setColor(dotColor(status_.dot));
    progress_->setFill(Theme::accent.current());
    // Secondary text is the primary text colour, dimmed.
    const QColor text = palette().color(QPalette::WindowText);
    QColor secondary = text;
    secondary.setAlphaF(platform::AppearanceMonitor::current() == platform::Appearance::dark ? 0.55F : 0.5F);
    for (QLabel* label : {detail_, last_}) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, secondary);
        label->setPalette(palette);
    }
    progress_->update();
}

void MenuHeaderView::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange) applyColours();
    QWidget::changeEvent(event);
}

}  // namespace korvu
