#pragma once

#include <QLatin1Char>
#include <QString>
#include <QStringList>

#include <initializer_list>

// A list of texts from UTF-8 literals.
inline QStringList L(std::initializer_list<const char *> xs) {
    QStringList out;
    for (const char *x : xs)
        out << QString::fromUtf8(x);
    return out;
}

// The non-empty lines of the first section called name, as they stand in a table's text.
inline QStringList SectionLines(const QStringList &data, const QString &name) {
    QStringList lines;
    bool in = false;
    for (const QString &l : data) {
        if (l.startsWith(QLatin1Char('[')))
            in = l == QLatin1Char('[') + name + QLatin1Char(']');
        else if (in && !l.isEmpty())
            lines << l;
    }
    return lines;
}
