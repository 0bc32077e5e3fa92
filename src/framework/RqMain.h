#pragma once

// Start-up: the run procedure that decides, from the command line and the
// settings, whether this process closes or restarts a running instance,
// hands its command line to one, or becomes the running instance itself.
//
// Switches are "-name" or "/name" (case ignored, the whole rest of the
// parameter must be the name): "i"/"u" stop at once, "s" closes the running
// instance, "r" closes it and starts after 2 s, "d" turns the debug log on,
// "a" (autorun) continues only when "App.Autorun" is set, "h" starts hidden.

#include "framework/RqInstance.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

using TRqMainFormFactory = std::function<QWidget *()>;
using TRqStartupRoutine = std::function<bool()>;

// Runs the program; returns the exit code when the process is to end.
// createMainForm makes the main window (owned by the run procedure, which
// deletes it after the loop); *mainForm, when given, points at it while it
// lives. startup, when given, runs after the autorun check and before the
// single-instance check; false ends the process.
int RqMain(int &argc, char **argv, const TRqMainFormFactory &createMainForm,
           QWidget **mainForm = nullptr, const TRqStartupRoutine &startup = {});

// Whether params holds the switch `name`: a parameter made of one of
// switchChars followed by exactly the name (case ignored).
bool RqFindCmdLineSwitch(const QStringList &params, const QString &name,
                         QStringView switchChars = u"-/");

// The parameters of this process (without the program itself).
QStringList RqParams();

// Whether a first parameter names a file to hand over rather than a switch:
// it does not start with "-", and if it starts with "/" it is a path of more
// than one part ("/d" is a switch, "/home/me/a.jpg" a file).
bool RqIsFileParam(const QString &param);

// The listening side of the running instance (nullptr in a process that
// handed over and ended, and before/after the loop). The engine and pages
// replace or add handlers here, e.g. the page hand-over or the current-step
// query.
TRqInstanceServer *RqInstanceServer();

// Whether "Rq IfBusy" answers 1. The run procedure clears it once the loop
// runs; the engine sets it for as long as its own start-up lasts.
void RqSetBusy(bool busy);
bool RqBusy();

// The text of the last command-line hand-over received (the engine replaces
// the hand-over handler with its own later).
QString RqHandedOverText();

// Supporting operations, talking to the running instance of this program
// ("App.GUID" and "App.ID" from the settings). waitMs > 0 keeps looking for
// that long, for an instance that holds the lock but does not listen yet.
std::optional<QString> RqFindRunningInstance(int waitMs = 0);
void RqCloseRunningInstance();
void RqBringRunningInstanceToFront(int waitMs = 0);
void RqSendCommandLine(const QString &text, int waitMs = 0);

// Shows an error that ended an operation: a message box when there is a
// GUI, and always a line on standard error.
void RqShowError(const QString &text);

// Frees the application object made by RqMain (the program entry calls it
// after showing an error that escaped RqMain).
void RqShutdown();
