#pragma once

// The translator's view of Qt widgets whose texts are not Qt properties: the
// rows of combo boxes and list widgets, tab captions and tree column headers.
// Header-only so that the Qt-Core-only framework library needs no widgets;
// whatever shows translated windows (the program, the collector tool, tests)
// calls RqMultiLangRegisterWidgetProps() once before the first window is
// translated.

#include "framework/RqMultiLang.h"

#include <QComboBox>
#include <QListWidget>
#include <QTabWidget>
#include <QTreeWidget>
#include <QWidget>

namespace RqMultiLangWidgetsDetail {

// Replacing a list's whole text: existing rows get the new texts (keeping
// their data), extra lines become new rows, surplus rows go.
template <typename Count, typename SetText, typename Add, typename RemoveLast>
void ReplaceRows(const QStringList &lines, Count count, SetText setText, Add add,
                 RemoveLast removeLast) {
    for (int i = 0; i < lines.size(); ++i) {
        if (i < count())
            setText(i, lines.at(i));
        else
            add(lines.at(i));
    }
    while (count() > lines.size())
        removeLast();
}

} // namespace RqMultiLangWidgetsDetail

inline void RqMultiLangRegisterWidgetProps() {
    using namespace RqMultiLangWidgetsDetail;

    TRqLangVirtualProp combo;
    combo.ClassName = "QComboBox";
    combo.Name = QStringLiteral("Items");
    combo.Kind = TRqLangPropKind::TextList;
    combo.Read = [](const QObject *o) {
        const auto *c = static_cast<const QComboBox *>(o);
        QStringList rows;
        for (int i = 0; i < c->count(); ++i)
            rows << c->itemText(i);
        return QVariant(rows);
    };
    combo.Write = [](QObject *o, const QVariant &v) {
        auto *c = static_cast<QComboBox *>(o);
        ReplaceRows(
            v.toStringList(), [c] { return c->count(); },
            [c](int i, const QString &t) { c->setItemText(i, t); },
            [c](const QString &t) { c->addItem(t); }, [c] { c->removeItem(c->count() - 1); });
    };
    RqMultiLangProps::Register(combo);

    TRqLangVirtualProp list;
    list.ClassName = "QListWidget";
    list.Name = QStringLiteral("Items");
    list.Kind = TRqLangPropKind::TextList;
    list.Read = [](const QObject *o) {
        const auto *l = static_cast<const QListWidget *>(o);
        QStringList rows;
        for (int i = 0; i < l->count(); ++i)
            rows << l->item(i)->text();
        return QVariant(rows);
    };
    list.Write = [](QObject *o, const QVariant &v) {
        auto *l = static_cast<QListWidget *>(o);
        ReplaceRows(
            v.toStringList(), [l] { return l->count(); },
            [l](int i, const QString &t) { l->item(i)->setText(t); },
            [l](const QString &t) { l->addItem(t); }, [l] { delete l->takeItem(l->count() - 1); });
    };
    RqMultiLangProps::Register(list);

    TRqLangVirtualProp tabs;
    tabs.ClassName = "QTabWidget";
    tabs.Name = QStringLiteral("Tabs");
    tabs.Kind = TRqLangPropKind::Collection;
    tabs.ItemProps = {QStringLiteral("Caption"), QStringLiteral("toolTip")};
    tabs.Count = [](const QObject *o) { return static_cast<const QTabWidget *>(o)->count(); };
    tabs.ReadItem = [](const QObject *o, int i, const QString &prop) {
        const auto *t = static_cast<const QTabWidget *>(o);
        return prop == QLatin1String("Caption") ? t->tabText(i) : t->tabToolTip(i);
    };
    tabs.WriteItem = [](QObject *o, int i, const QString &prop, const QString &value) {
        auto *t = static_cast<QTabWidget *>(o);
        if (prop == QLatin1String("Caption"))
            t->setTabText(i, value);
        else
            t->setTabToolTip(i, value);
    };
    RqMultiLangProps::Register(tabs);

    TRqLangVirtualProp columns;
    columns.ClassName = "QTreeWidget";
    columns.Name = QStringLiteral("Columns");
    columns.Kind = TRqLangPropKind::Collection;
    columns.ItemProps = {QStringLiteral("Caption")};
    columns.Count = [](const QObject *o) {
        return static_cast<const QTreeWidget *>(o)->columnCount();
    };
    columns.ReadItem = [](const QObject *o, int i, const QString &) {
        return static_cast<const QTreeWidget *>(o)->headerItem()->text(i);
    };
    columns.WriteItem = [](QObject *o, int i, const QString &, const QString &value) {
        static_cast<QTreeWidget *>(o)->headerItem()->setText(i, value);
    };
    RqMultiLangProps::Register(columns);

    // A dialog or other top-level window parented to a translated window is a
    // window of its own; pop-up menus belong to the window that owns them.
    RqMultiLangProps::SetSeparateWindowTest([](const QObject *o) {
        if (!o->isWidgetType())
            return false;
        const auto *w = static_cast<const QWidget *>(o);
        const Qt::WindowType type = w->windowType();
        return w->isWindow() && type != Qt::Popup && type != Qt::ToolTip;
    });
}
