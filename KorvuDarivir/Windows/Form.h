#pragma once

#include <QString>

class QBoxLayout;
class QLabel;
class QWidget;

namespace korvu::form {

// Building blocks shared by the onboarding and settings pages, in the theme's colours.
QLabel* heading(const QString& text);
QLabel* note(const QString& text);
// A white rounded card holding `content`.
QWidget* card(QBoxLayout* content);
// One line of a card: a title with an optional explanation on the left, `control` on the
// right.
QBoxLayout* row(const QString& title, const QString& detail, QWidget* control);
// The page background and the text colours of the theme for `root` and its children.
void applyTheme(QWidget* root);

}  // namespace korvu::form
