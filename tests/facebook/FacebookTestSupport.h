#pragma once

#include "common/EventLoopWait.h"
#include "common/QtPrinters.h"
#include "facebook/Facebook.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Keeps the event loop running so that late events (which must not come) could arrive.
inline void Settle(int ms = 300) {
    RunEventsFor(ms);
}

using StateLog = std::vector<std::pair<QString, TFacebookConnectionState>>;

inline void RecordStates(TFacebook &fb, StateLog &log) {
    fb.OnMethodStateChanged = [&log](QObject *, const QString &m, TFacebookConnectionState s) {
        log.emplace_back(m, s);
    };
}

inline bool IsFinal(TFacebookConnectionState s) {
    return s == csSuccessed || s == csFailed;
}

// The number of final states seen so far for aMethod.
inline int FinalCount(const StateLog &log, const QString &aMethod) {
    int n = 0;
    for (const auto &[m, s] : log)
        n += (m == aMethod && IsFinal(s)) ? 1 : 0;
    return n;
}

inline QString Describe(const StateLog &log) {
    QString out;
    for (const auto &[m, s] : log)
        out += m + u' ' + FacebookStateName(s) + u';';
    return out;
}

inline QByteArray ReadAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool WriteAll(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Bytes of every value 0..255, repeated and varied, so any re-encoding shows.
inline QByteArray Noise(int size, int seed) {
    QByteArray b(size, '\0');
    quint32 x = 2463534242u + quint32(seed);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = char(i < 256 ? i : int(x & 0xFF));
    }
    return b;
}

inline QString Q(const std::string &s) {
    return QString::fromStdString(s);
}
