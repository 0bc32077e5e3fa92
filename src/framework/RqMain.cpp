#include "framework/RqMain.h"

#include "framework/RqDebugLog.h"
#include "framework/RqSettings.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <cfenv>
#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString kTag = u"RqMain"_s;

// Errors thrown out of an event handler (a settings file that cannot be
// written, say) are shown and the program goes on, instead of unwinding
// through Qt's event loop.
template <class Base> class TRqApp : public Base {
public:
    using Base::Base;
    bool notify(QObject *receiver, QEvent *event) override {
        try {
            return Base::notify(receiver, event);
        } catch (const std::exception &e) {
            RqShowError(QString::fromUtf8(e.what()));
        } catch (...) {
            RqShowError(u"Unknown error"_s);
        }
        return false;
    }
};

std::unique_ptr<QCoreApplication> g_app;
std::unique_ptr<TRqInstanceServer> g_server;
std::unique_ptr<TRqInstanceLock> g_lock;
QPointer<QWidget> g_mainForm;
QStringList g_params;
QString g_handedOver;
bool g_busy = true;

bool GuiAvailable() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void EnsureApplication(int &argc, char **argv) {
    if (QCoreApplication::instance())
        return;
    if (GuiAvailable())
        g_app = std::make_unique<TRqApp<QApplication>>(argc, argv);
    else
        g_app = std::make_unique<TRqApp<QCoreApplication>>(argc, argv);
}

bool CtrlShiftHeld() {
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    const Qt::KeyboardModifiers mods = QGuiApplication::queryKeyboardModifiers();
    return (mods & Qt::ControlModifier) && (mods & Qt::ShiftModifier);
}

TRqInstanceNames Names() {
    return TRqInstanceNames(GlobalSettings()->GetSettingString(u"App.GUID"_s));
}

// Floating-point errors never trap: every exception masked, round to nearest.
// (x87 precision control does not apply to SSE arithmetic.)
void SetFloatingPointMode() {
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
    fedisableexcept(FE_ALL_EXCEPT);
#endif
}

void InstallDefaultHandlers(TRqInstanceServer &server) {
    server.SetHandler(QString::fromUtf16(RqMsg::GetAppID), [](const TRqInstanceRequest &) {
        return TRqInstanceAnswer{GlobalSettings()->GetSettingInteger(u"App.ID"_s), {}};
    });
    server.SetHandler(QString::fromUtf16(RqMsg::CloseApp), [](const TRqInstanceRequest &) {
        // Answer first; the loop ends right after.
        QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::quit(); });
        return TRqInstanceAnswer{0, {}};
    });
    server.SetHandler(QString::fromUtf16(RqMsg::IfBusy), [](const TRqInstanceRequest &) {
        return TRqInstanceAnswer{g_busy ? 1 : 0, {}};
    });
    // No notification-area icon exists yet, so nothing is restored from it.
    server.SetHandler(QString::fromUtf16(RqMsg::BringtoFront), [](const TRqInstanceRequest &) {
        return TRqInstanceAnswer{0, {}};
    });
    server.SetHandler(QString::fromUtf16(RqMsg::ForceFront), [](const TRqInstanceRequest &) {
        QWidget *form = g_mainForm;
        if (!form)
            return TRqInstanceAnswer{0, {}};
        if (form->isMinimized())
            form->showNormal();
        form->show();
        form->raise();
        form->activateWindow();
        return TRqInstanceAnswer{1, {}};
    });
    server.SetHandler(QString::fromUtf16(RqMsg::CmdLine), [](const TRqInstanceRequest &r) {
        g_handedOver = r.Text;
        RqDebugLog::Log(kTag, u"Command line handed over: "_s + r.Text);
        return TRqInstanceAnswer{0, {}};
    });
}

std::optional<QString> FindRunning(const TRqInstanceClient &client, int appId, int waitMs) {
    QDeadlineTimer deadline(waitMs);
    for (;;) {
        if (auto socket = client.FindRunning(appId))
            return socket;
        if (deadline.hasExpired())
            return std::nullopt;
        QThread::msleep(50);
    }
}

void EndOfRun() {
    g_mainForm.clear();
    g_server.reset();
    if (g_lock)
        g_lock->Release();
    g_lock.reset();
    DestroyGlobalSettings();
}

} // namespace

bool RqFindCmdLineSwitch(const QStringList &params, const QString &name, QStringView switchChars) {
    for (const QString &p : params) {
        if (p.size() < 2 || !switchChars.contains(p.front()))
            continue;
        if (QStringView(p).mid(1).compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QStringList RqParams() {
    return g_params;
}

bool RqIsFileParam(const QString &param) {
    if (param.isEmpty() || param.startsWith(u'-'))
        return false;
    // "/x" is a switch, but here absolute paths start with "/" too: a "/"
    // followed by a single name is a switch, a longer path is a file.
    if (param.startsWith(u'/'))
        return QStringView(param).mid(1).contains(u'/');
    return true;
}

TRqInstanceServer *RqInstanceServer() {
    return g_server.get();
}

void RqSetBusy(bool busy) {
    g_busy = busy;
}

bool RqBusy() {
    return g_busy;
}

QString RqHandedOverText() {
    return g_handedOver;
}

std::optional<QString> RqFindRunningInstance(int waitMs) {
    const TRqInstanceClient client(Names());
    return FindRunning(client, GlobalSettings()->GetSettingInteger(u"App.ID"_s), waitMs);
}

void RqCloseRunningInstance() {
    const TRqInstanceClient client(Names());
    if (const auto socket =
            FindRunning(client, GlobalSettings()->GetSettingInteger(u"App.ID"_s), 0))
        client.Send(*socket, QString::fromUtf16(RqMsg::CloseApp));
}

void RqBringRunningInstanceToFront(int waitMs) {
    const TRqInstanceClient client(Names());
    const auto socket =
        FindRunning(client, GlobalSettings()->GetSettingInteger(u"App.ID"_s), waitMs);
    if (!socket)
        return;
    const auto busy = client.Send(*socket, QString::fromUtf16(RqMsg::IfBusy));
    if (busy && busy->Result == 1)
        return;
    const auto tray = client.Send(*socket, QString::fromUtf16(RqMsg::BringtoFront));
    if (tray && tray->Result == 1)
        return;
    client.Send(*socket, QString::fromUtf16(RqMsg::ForceFront));
}

void RqSendCommandLine(const QString &text, int waitMs) {
    const TRqInstanceClient client(Names());
    if (const auto socket =
            FindRunning(client, GlobalSettings()->GetSettingInteger(u"App.ID"_s), waitMs))
        client.Send(*socket, QString::fromUtf16(RqMsg::CmdLine), text);
}

void RqShowError(const QString &text) {
    const QByteArray line = text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    if (qobject_cast<QApplication *>(QCoreApplication::instance())) {
        QString title = u"Error"_s;
        try {
            // Settings may be what failed; the title is a nicety.
            if (const QString name = GlobalSettings()->GetSettingString(u"App.Name"_s);
                !name.isEmpty())
                title = name;
        } catch (...) {
        }
        QMessageBox::critical(nullptr, title, text);
    }
}

void RqShutdown() {
    EndOfRun();
    g_app.reset();
}

namespace {
int RunProcedure(int &argc, char **argv, const TRqMainFormFactory &createMainForm,
                 QWidget **mainForm, const TRqStartupRoutine &startup) {
    // 1.
    SetFloatingPointMode();
    // 2.
    RqDebugLog::SetEnabled(false);
    g_params.clear();
    for (int i = 1; i < argc; ++i)
        g_params << QString::fromLocal8Bit(argv[i]);
    const auto sw = [](const char16_t *name) {
        return RqFindCmdLineSwitch(g_params, QString::fromUtf16(name));
    };

    // 3. Nothing at all, not even the settings.
    if (sw(u"i") || sw(u"u"))
        return 0;

    EnsureApplication(argc, argv);

    // 4.
    if (sw(u"s")) {
        RqCloseRunningInstance();
        return 0;
    }
    // 5.
    if (sw(u"r")) {
        RqCloseRunningInstance();
        QThread::msleep(2000);
    }

    // 6.
    TRqSettings *settings = GlobalSettings();
    bool debug = (settings->GetSettingBool(u"Debug.Enabled"_s) || CtrlShiftHeld()) &&
                 !settings->GetSettingBool(u"Debug.Disabled"_s);
    if (sw(u"d"))
        debug = true;
    if (debug) {
        RqDebugLog::SetEnabled(true);
        RqDebugLog::Log(kTag, u"Enter Debug Mode..."_s);
    }

    // 7.
    if (sw(u"a") && !settings->GetSettingBool(u"App.Autorun"_s))
        return 0;

    // 8. The start-up routine is the shell-integration routine (install,
    // uninstall, and handing "pic"/"video" files to a running instance's
    // pages); the program entry passes it once that unit exists.
    if (startup && !startup())
        return 0;

    // 9.
    const TRqInstanceNames names(settings->GetSettingString(u"App.GUID"_s));
    bool primary = false;
    if (!settings->GetSettingBool(u"App.Multiple"_s)) {
        g_lock = std::make_unique<TRqInstanceLock>(names);
        const TRqInstanceLock::Result lock = g_lock->TryAcquire();
        if (lock == TRqInstanceLock::Result::HeldByOther) {
            g_lock.reset();
            // The holder may still be on its way to listening: give it a moment.
            constexpr int kWaitForRunningMs = 3000;
            RqBringRunningInstanceToFront(kWaitForRunningMs);
            if (!g_params.isEmpty() && RqIsFileParam(g_params.front()))
                RqSendCommandLine(g_params.front(), kWaitForRunningMs);
            DestroyGlobalSettings();
            return 0;
        }
        // A lock that cannot be made for another reason: carry on as the
        // running instance.
        primary = lock == TRqInstanceLock::Result::Acquired;
        if (!primary)
            g_lock.reset();
    }
    g_busy = true;
    g_server = std::make_unique<TRqInstanceServer>(names);
    InstallDefaultHandlers(*g_server);
    g_server->Listen(primary);

    // 10.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        EndOfRun();
        throw std::runtime_error("Cannot open a window: no display (DISPLAY or WAYLAND_DISPLAY "
                                 "is not set)");
    }
    // The splash window ("App.Splash") is shown here once the framework
    // windows exist.
    std::unique_ptr<QWidget> form(createMainForm());
    g_mainForm = form.get();
    if (mainForm)
        *mainForm = form.get();
    if (!sw(u"h"))
        form->show();
    QTimer::singleShot(0, QCoreApplication::instance(), [] { g_busy = false; });
    const int rc = QCoreApplication::exec();

    // 11.
    if (mainForm)
        *mainForm = nullptr;
    form.reset();
    return rc;
}
} // namespace

int RqMain(int &argc, char **argv, const TRqMainFormFactory &createMainForm, QWidget **mainForm,
           const TRqStartupRoutine &startup) {
    // An error escaping here keeps the application object alive, so the
    // caller can still show it in a window; the caller then calls RqShutdown.
    const int rc = RunProcedure(argc, argv, createMainForm, mainForm, startup);
    RqShutdown();
    return rc;
}
