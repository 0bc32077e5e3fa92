// The developer tools for language files: lansort and lancollect.

#include "framework/RqMultiLang.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct ToolRun {
    int Code;
    QString Err;
};

ToolRun RunTool(const char *program, const QStringList &args) {
    QProcess p;
    p.start(QString::fromUtf8(program), args);
    EXPECT_TRUE(p.waitForFinished(30000));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardError())};
}

QByteArray ReadBytes(const QString &path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << qPrintable(path);
    return f.readAll();
}

TEST(LanSort, SortsAsTheProgramSaves) {
    QTemporaryDir dir;
    const QString in = dir.filePath(QStringLiteral("in.lan"));
    const QString out = dir.filePath(QStringLiteral("out.lan"));
    {
        QFile f(in);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("; a comment\n[TfrmB]\nz=1\na=2\n[AppRes]\nAppName=X\n[Info]\nVersion=1\n"
                "Language=Y\n[TfrmA]\nk=\xE9\n");
    }
    ASSERT_EQ(RunTool(LANSORT, {in, out}).Code, 0);
    TRqMultiLangLan expected;
    expected.LoadFromFile(in);
    const QString saved = dir.filePath(QStringLiteral("saved.lan"));
    expected.SaveToFile(saved);
    EXPECT_EQ(ReadBytes(out), ReadBytes(saved));
    EXPECT_EQ(ReadBytes(out), QByteArray("[Info]\r\nVersion=1\r\nLanguage=Y\r\n\r\n[AppRes]\r\n"
                                         "AppName=X\r\n\r\n[TfrmA]\r\nk=\xE9\r\n\r\n[TfrmB]\r\n"
                                         "a=2\r\nz=1\r\n\r\n"));
}

TEST(LanSort, ReportsAMissingFileAndWritesNothing) {
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("out.lan"));
    const ToolRun r = RunTool(LANSORT, {dir.filePath(QStringLiteral("missing.lan")), out});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(QStringLiteral("missing.lan"))) << qPrintable(r.Err);
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_EQ(RunTool(LANSORT, {}).Code, 2);
}

TEST(LanCollect, StartsFromABaseTable) {
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("out.lan"));
    const QString base =
        QStringLiteral(LUMAFINCH_SOURCE_DIR "/src/framework/lang/builtin_current.lan");
    ASSERT_EQ(RunTool(LANCOLLECT, {QStringLiteral("--base"), base, out}).Code, 0);
    EXPECT_EQ(ReadBytes(out), ReadBytes(base)); // the built-in table is stored sorted
    EXPECT_EQ(RunTool(LANCOLLECT, {out, QStringLiteral("TfrmNoSuchWindow")}).Code, 1);
    const ToolRun missing = RunTool(
        LANCOLLECT, {QStringLiteral("--base"), dir.filePath(QStringLiteral("no.lan")), out});
    EXPECT_EQ(missing.Code, 1);
    EXPECT_TRUE(missing.Err.contains(QStringLiteral("no.lan")));
}

} // namespace
