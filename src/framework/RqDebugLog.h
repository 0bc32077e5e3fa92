#pragma once

#include <QString>

// The program's diagnostic log: plain "tag: text" lines on standard error.
// It is off until start-up switches it on, so a normal run prints nothing.
namespace RqDebugLog {

void SetEnabled(bool value);
bool Enabled();

// Writes "tag: text" when the log is on; safe from any thread.
void Log(const QString &tag, const QString &text);

// Where the lines go instead of standard error (tests); nullptr restores it.
using Sink = void (*)(const QString &line);
void SetSink(Sink sink);

} // namespace RqDebugLog
