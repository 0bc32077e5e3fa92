#pragma once

#include <QByteArray>
#include <QString>

#include <ostream>

// Readable test failures for Qt's strings.
inline std::ostream &operator<<(std::ostream &os, const QString &s) {
    return os << s.toStdString();
}
inline std::ostream &operator<<(std::ostream &os, const QByteArray &b) {
    return os << b.toStdString();
}
inline void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QByteArray &b, std::ostream *os) {
    *os << '"' << b.toStdString() << '"';
}
