#include "KorvuDarivir/Windows/Form.h"

#include "KorvuDarivir/UI/BrandToggle.h"
#include "KorvuDarivir/UI/Theme.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

// The library's images (the drop-down arrow), which a static library registers only when
// asked to; asking again does nothing.
static void loadFormResources() { Q_INIT_RESOURCE(icon); }

namespace korvu::form {

namespace {

QString css(const QColor& colour)
{
    return colour.name(QColor::HexArgb);
}

}  // namespace

QLabel* heading(const QString& text)
{
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.35);
    font.setBold(true);
    label->setFont(font);
    label->setWordWrap(true);
    label->setObjectName(QStringLiteral("heading"));
    return label;
}

QLabel* note(const QString& text)
{
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setObjectName(QStringLiteral("note"));
    return label;
}

QWidget* card(QBoxLayout* content)
{
    auto* frame = new QFrame;
    frame->setObjectName(QStringLiteral("card"));
    content->setContentsMargins(14, 12, 14, 12);
    frame->setLayout(content);
    return frame;
}

QBoxLayout* row(const QString& title, const QString& detail, QWidget* control)
{
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* titleLabel = new QLabel(title);
    titleLabel->setWordWrap(true);
    texts->addWidget(titleLabel);
    if (!detail.isEmpty()) {
        texts->addWidget(note(detail));
    }
    auto* line = new QHBoxLayout;
    line->addLayout(texts, 1);
    if (control) {
        line->addWidget(control, 0, Qt::AlignRight | Qt::AlignVCenter);
        // A screen reader names the control by the row's title, as a sighted user does;
        // only a button that shows its own text (a label, a shortcut) keeps that. A switch
        // draws none, so its text is no name for it.
        titleLabel->setBuddy(control);
        if (!qobject_cast<QAbstractButton*>(control) || qobject_cast<BrandToggle*>(control)) {
            control->setAccessibleName(title);
            if (!detail.isEmpty()) {
                control->setAccessibleDescription(detail);
            }
        }
    }
    return line;
}

void applyTheme(QWidget* root)
{
    loadFormResources();
    root->setAutoFillBackground(true);
    root->setStyleSheet(QStringLiteral("QWidget#%1, QWidget#page { background: %2; color: %3; }"
                                       "QFrame#card { background: %4; border: 1px solid %5; border-radius: 10px; }"
                                       "QLabel { color: %3; background: transparent; }"
                                       "QLabel#note { color: %6; }"
                                       "QLineEdit, QComboBox, QListWidget { background: %7; color: %3;"
                                       " border: 1px solid %8; border-radius: 6px; padding: 3px; }"
                                       // Styling the field's border alone leaves the base style's
                                       // sunken frame around the arrow; the arrow's area has none.
                                       "QComboBox { padding-right: 22px; }"
                                       "QComboBox::drop-down { subcontrol-origin: padding; subcontrol-position: center right;"
                                       " width: 20px; border: none; background: transparent; }"
                                       // A style sheet that shapes the arrow's area draws the arrow itself.
                                       "QComboBox::down-arrow { image: url(:/drop-down-arrow.svg); width: 10px; height: 6px; }")
                            .arg(root->objectName(), css(Theme::win.current()), css(Theme::text.current()),
                                 css(Theme::card.current()), css(Theme::line.current()), css(Theme::sub.current()),
                                 css(Theme::field.current()), css(Theme::fieldLine.current())));
}

}  // namespace korvu::form
