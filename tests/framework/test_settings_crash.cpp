// A process writing settings is killed at random moments; the settings file
// must always parse and hold one whole round of values, old or new.

#include "framework/RqSettings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace Qt::StringLiterals;

TEST(SettingsCrash, KilledWriterNeverLeavesATornFile) {
    QTemporaryDir dir;
    const QString prog = dir.filePath(u"prog/"_s);
    const QString base = dir.filePath(u"share"_s);
    QDir().mkpath(prog);
    QFile file(prog + u"const.dat"_s);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[setting]\nApp.ConfigPath=Word\n");
    file.close();
    // The all-users folder sits under a regular file, so the per-user one is used.
    QFile blocker(base + u"/not-a-folder"_s);
    QDir().mkpath(base);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const QString settingFile = base + u"/Word/setting.dat"_s;
    QRandomGenerator rng(20240611);
    int lastCounter = 0;
    int kills = 0;
    QElapsedTimer clock;
    clock.start();
    // Many kills, but a bounded time on a slow machine.
    while (kills < 60 && clock.elapsed() < 6000) {
        QProcess writer;
        writer.start(QStringLiteral(SETTINGS_CRASH_WRITER), {prog, base});
        ASSERT_TRUE(writer.waitForStarted(5000));
        ASSERT_TRUE(writer.waitForReadyRead(10000)) << "writer never got going";
        QThread::usleep(rng.bounded(20000));
        ::kill(pid_t(writer.processId()), SIGKILL);
        ASSERT_TRUE(writer.waitForFinished(5000));
        ++kills;

        TRqIniFile ini(settingFile);
        const auto counter = ini.Value(u"setting"_s, u"Counter"_s);
        ASSERT_TRUE(counter.has_value()) << "after kill " << kills;
        const int n = counter->toInt();
        ASSERT_GE(n, lastCounter) << "went back after kill " << kills;
        ASSERT_EQ(ini.ReadString(u"setting"_s, u"Check"_s), QString::number(n).repeated(1500))
            << "torn file after kill " << kills;
        lastCounter = n;
    }
    EXPECT_GE(kills, 10);
    EXPECT_GT(lastCounter, 0);
}
