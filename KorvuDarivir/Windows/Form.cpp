#include "KorvuDarivir/Windows/Form.h"

#include "KorvuDarivir/UI/Theme.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

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
    }
    return line;
}

void applyTheme(QWidget* root)
{
    root->setAutoFillBackground(true);
    root->setStyleSheet(QStringLiteral("QWidget#%1, QWidget#page { background: %2; color: %3; }"
                                       "QFrame#card { background: %4; border: 1px solid %5; border-radius: 10px; }"
                                       "QLabel { color: %3; background: transparent; }"
                                       "QLabel#note { color: %6; }"
                                       "QLineEdit, QComboBox, QListWidget { background: %7; color: %3;"
                                       " border: 1px solid %8; border-radius: 6px; padding: 3px; }")
                            .arg(root->objectName(), css(Theme::win.current()), css(Theme::text.current()),
                                 css(Theme::card.current()), css(Theme::line.current()), css(Theme::sub.current()),
                                 css(Theme::field.current()), css(Theme::fieldLine.current())));
}

}  // namespace korvu::form
