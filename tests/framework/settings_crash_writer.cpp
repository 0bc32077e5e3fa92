// Test helper: writes settings in an endless loop until it is killed.
// Usage: settings_crash_writer <program folder> <per-user base>
// Each round writes "Counter"=n and "Check"=CheckText(n) in one update, so a
// reader can tell a whole file from a torn one. Prints "ready" after the
// first round.

#include "framework/RqSettings.h"

#include <QCoreApplication>

#include <cstdio>

using namespace Qt::StringLiterals;

static QString CheckText(int n) {
    return QString::number(n).repeated(1500);
}

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    TRqSettingsPaths paths;
    paths.ProgramFolder = QString::fromLocal8Bit(argv[1]);
    paths.ProgramFile = paths.ProgramFolder + u"lumafinch"_s;
    paths.PerUserBase = QString::fromLocal8Bit(argv[2]);
    paths.AllUsersBase = paths.PerUserBase + u"/not-a-folder/x"_s;
    TRqSettings settings(QString(), paths);
    int n = settings.GetSettingInteger(u"Counter"_s);
    for (bool first = true;; first = false) {
        ++n;
        settings.BeginUpdate();
        settings.SetSettingInteger(u"Counter"_s, n);
        settings.SetSettingstring(u"Check"_s, CheckText(n));
        settings.EndUpdate();
        if (first) {
            std::fputs("ready\n", stdout);
            std::fflush(stdout);
        }
    }
}
