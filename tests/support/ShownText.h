#pragma once

// Every text a widget tree shows a user, for checks over what reaches the screen: labels,
// buttons, fields, lists, tabs, menus (with their submenus), tooltips and window titles.
// Header-only, for programs that link Qt Widgets.

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QRegularExpression>
#include <QStringList>
#include <QTabBar>
#include <QWidget>

namespace testsupport {

inline void addMenuTexts(const QList<QAction*>& actions, QStringList& texts)
{
    for (const QAction* action : actions) {
        texts << action->text() << action->toolTip();
        if (const QMenu* menu = action->menu()) {
            texts << menu->title();
            addMenuTexts(menu->actions(), texts);
        }
    }
}

inline QStringList shownTexts(const QWidget& root)
{
    QStringList texts{root.windowTitle(), root.toolTip()};
    QList<const QWidget*> widgets{&root};
    for (const QWidget* child : root.findChildren<QWidget*>()) widgets << child;
    for (const QWidget* widget : widgets) {
        texts << widget->toolTip() << widget->accessibleName();
        if (const auto* label = qobject_cast<const QLabel*>(widget)) texts << label->text();
        if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) texts << button->text();
        if (const auto* field = qobject_cast<const QLineEdit*>(widget)) texts << field->text() << field->placeholderText();
        if (const auto* box = qobject_cast<const QComboBox*>(widget)) {
            for (int i = 0; i < box->count(); ++i) texts << box->itemText(i);
        }
        if (const auto* list = qobject_cast<const QListWidget*>(widget)) {
            for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text() << list->item(i)->toolTip();
        }
        if (const auto* bar = qobject_cast<const QTabBar*>(widget)) {
            for (int i = 0; i < bar->count(); ++i) texts << bar->tabText(i) << bar->tabToolTip(i);
        }
        addMenuTexts(widget->actions(), texts);
    }
    texts.removeAll(QString());
    return texts;
}

// The texts that still speak of another desktop: its computer, its Dock, its menu bar, or
// its modifier symbols.
inline QStringList foreignDesktopWords(const QStringList& texts)
{
    static const QRegularExpression foreign(QStringLiteral("\\bMac\\b|Dock|Menüleiste|Systemeinstellungen|[⌃⌥⇧⌘]"));
    QStringList found;
    for (const QString& text : texts) {
        if (text.contains(foreign)) found << text;
    }
    return found;
}

}  // namespace testsupport
