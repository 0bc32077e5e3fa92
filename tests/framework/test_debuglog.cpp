#include "framework/RqDebugLog.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {
QStringList g_lines;
void Collect(const QString &line) {
    g_lines << line;
}
} // namespace

TEST(RqDebugLog, WritesTaggedLinesOnlyWhenOn) {
    g_lines.clear();
    RqDebugLog::SetSink(&Collect);
    RqDebugLog::SetEnabled(false);
    RqDebugLog::Log(QStringLiteral("RqSettings"), QStringLiteral("hidden"));
    RqDebugLog::SetEnabled(true);
    RqDebugLog::Log(QStringLiteral("RqSettings"), QStringLiteral("Setting Not Found :X"));
    RqDebugLog::SetEnabled(false);
    RqDebugLog::SetSink(nullptr);
    EXPECT_EQ(g_lines, QStringList{QStringLiteral("RqSettings: Setting Not Found :X")});
}
