#pragma once

#include "common/EventLoopWait.h"
#include "net/DownloaderDef.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QThread>

#include <utility>
#include <vector>

// Everything a component reported.
struct TEvents {
    std::vector<std::pair<qint64, qint64>> Progress; // (total, done)
    std::vector<QObject *> ProgressSenders;
    int Errors = 0;
    QStringList Strings;
    QStringList Files;
    std::vector<qint64> FileSizes;
    std::vector<QObject *> DoneSenders;
    QStringList Log;

    int Completions() const { return Errors + int(Strings.size()) + int(Files.size()); }

    void Attach(THttpRequestBase &r, bool withProgress = true) {
        if (withProgress)
            r.OnProgress = [this](QObject *s, qint64 total, qint64 done) {
                Progress.emplace_back(total, done);
                ProgressSenders.push_back(s);
            };
        r.OnError = [this](QObject *s) {
            ++Errors;
            DoneSenders.push_back(s);
        };
        r.OnDoneString = [this](QObject *s, const QString &text) {
            Strings << text;
            DoneSenders.push_back(s);
        };
        r.OnDoneFile = [this](QObject *s, const QString &name, qint64 size) {
            Files << name;
            FileSizes.push_back(size);
            DoneSenders.push_back(s);
        };
    }
    bool WaitDone(int ms = 10000) {
        return WaitFor([this] { return Completions() > 0; }, ms);
    }
};
