// Start-up and single instance with the real program: each test runs
// build/bin/lumafinch on the offscreen platform with its own HOME, XDG
// folders and runtime folder, and talks to the running instance over the
// instance channel the way a second start does.

#include "framework/RqInstance.h"
#include "framework/RqMain.h"
#include "framework/RqSettings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int kStartMs = 20000; // generous: the machine is shared

// Whether the process has ended (waitForFinished alone says false for one
// that ended while its output was being read).
bool Ended(QProcess *p, int ms = kStartMs) {
    return p->state() == QProcess::NotRunning || p->waitForFinished(ms);
}

class Sandbox {
public:
    Sandbox() {
        for (const char16_t *d : {u"home", u"data", u"run", u"cache", u"config"})
            QDir().mkpath(Root(QString::fromUtf16(d)));
        QFile(Root(u"run"_s))
            .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile blocker(Root(u"blocked"_s)); // all-users folder can never be made
        blocker.open(QIODevice::WriteOnly);
        blocker.close();
        const TRqIniFile shipped(QStringLiteral(LUMAFINCH_BIN_DIR) + u"/const.dat"_s);
        FAppId = shipped.ReadInteger(u"setting"_s, u"App.ID"_s, 0);
        FGuid = shipped.ReadString(u"setting"_s, u"App.GUID"_s);
        FEnv = QProcessEnvironment::systemEnvironment();
        FEnv.insert(u"HOME"_s, Root(u"home"_s));
        FEnv.insert(u"XDG_DATA_HOME"_s, Root(u"data"_s));
        FEnv.insert(u"XDG_RUNTIME_DIR"_s, Root(u"run"_s));
        FEnv.insert(u"XDG_CACHE_HOME"_s, Root(u"cache"_s));
        FEnv.insert(u"XDG_CONFIG_HOME"_s, Root(u"config"_s));
        FEnv.insert(u"LUMAFINCH_ALLUSERS_DIR"_s, Root(u"blocked/lib"_s));
        FEnv.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    }
    ~Sandbox() {
        for (auto &p : FProcs) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }

    QString Root(const QString &sub = {}) const {
        return sub.isEmpty() ? FRoot.path() : FRoot.filePath(sub);
    }
    QString DataFolder() const { return Root(u"data/LumafinchForFacebook/"_s); }
    QString SettingFile() const { return DataFolder() + u"setting.dat"_s; }
    int AppId() const { return FAppId; }
    TRqInstanceNames Names() const { return TRqInstanceNames(FGuid, Root(u"run"_s)); }
    TRqInstanceClient Client() const { return TRqInstanceClient(Names(), 5000); }

    void Settings(const QByteArray &text) {
        QDir().mkpath(DataFolder());
        QFile f(SettingFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    int RunTimes() const {
        return TRqIniFile(SettingFile()).ReadInteger(u"setting"_s, u"RunTimes"_s, -1);
    }

    QProcess *Start(const QStringList &args, bool gui = true) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = FEnv;
        if (!gui)
            for (const char16_t *v : {u"QT_QPA_PLATFORM", u"DISPLAY", u"WAYLAND_DISPLAY"})
                env.remove(QString::fromUtf16(v));
        p->setProcessEnvironment(env);
        p->setProgram(QStringLiteral(LUMAFINCH_BIN_DIR) + u"/lumafinch"_s);
        p->setArguments(args);
        p->start();
        EXPECT_TRUE(p->waitForStarted(kStartMs));
        FProcs.push_back(std::move(p));
        return FProcs.back().get();
    }

    // Polls the channel until an instance of this program answers.
    std::optional<QString> WaitRunning(int ms = kStartMs) const {
        QDeadlineTimer deadline(ms);
        const TRqInstanceClient client = Client();
        do {
            if (auto socket = client.FindRunning(FAppId))
                return socket;
            QThread::msleep(50);
        } while (!deadline.hasExpired());
        return std::nullopt;
    }

    void Close(QProcess *p, const QString &socket) {
        Client().Send(socket, QString::fromUtf16(RqMsg::CloseApp));
        EXPECT_TRUE(Ended(p));
    }

private:
    QTemporaryDir FRoot;
    QProcessEnvironment FEnv;
    int FAppId = 0;
    QString FGuid;
    std::vector<std::unique_ptr<QProcess>> FProcs;
};

// Everything the process wrote to standard error so far (and keeps it).
QString Stderr(QProcess *p, QString &seen, const QString &waitFor = {}, int ms = 0) {
    QDeadlineTimer deadline(ms);
    for (;;) {
        seen += QString::fromUtf8(p->readAllStandardError());
        if (waitFor.isEmpty() || seen.contains(waitFor) || deadline.hasExpired())
            return seen;
        p->waitForReadyRead(50);
    }
}

QStringList FilesUnder(const QString &root) {
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next();
    return out;
}

} // namespace

TEST(Startup, SecondStartHandsFilePathToFirstAndEnds) {
    Sandbox box;
    QProcess *first = box.Start({u"-d"_s});
    const auto socket = box.WaitRunning();
    ASSERT_TRUE(socket);
    QString firstErr;
    EXPECT_TRUE(Stderr(first, firstErr, u"RqMain: Enter Debug Mode..."_s, kStartMs)
                    .contains(u"RqMain: Enter Debug Mode..."_s));

    const QString path = box.Root(u"photos/My Photo ü.jpg"_s);
    QProcess *second = box.Start({path});
    ASSERT_TRUE(Ended(second));
    EXPECT_EQ(second->exitCode(), 0);
    const QString handed = u"RqMain: Command line handed over: "_s + path;
    EXPECT_TRUE(Stderr(first, firstErr, handed, kStartMs).contains(handed))
        << firstErr.toStdString();

    // A switch as first parameter is not handed over.
    QProcess *third = box.Start({u"-d"_s});
    ASSERT_TRUE(Ended(third));
    Stderr(first, firstErr, u"never"_s, 300);
    EXPECT_EQ(firstErr.count(u"Command line handed over"_s), 1);

    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_EQ(box.RunTimes(), 3); // every start counts, also those that hand over
    box.Close(first, *socket);
}

TEST(Startup, SwitchSClosesRunningInstanceAndDoesNothingWithoutOne) {
    Sandbox box;
    QProcess *lone = box.Start({u"-s"_s});
    ASSERT_TRUE(Ended(lone));
    EXPECT_EQ(lone->exitCode(), 0);
    EXPECT_FALSE(box.WaitRunning(200));

    QProcess *first = box.Start({});
    ASSERT_TRUE(box.WaitRunning());
    QProcess *closer = box.Start({u"/S"_s});
    ASSERT_TRUE(Ended(closer));
    EXPECT_TRUE(Ended(first));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
}

TEST(Startup, SwitchRWithNoneRunningStartsAfterAboutTwoSeconds) {
    Sandbox box;
    QElapsedTimer clock;
    clock.start();
    QProcess *p = box.Start({u"-r"_s});
    const auto socket = box.WaitRunning();
    ASSERT_TRUE(socket);
    EXPECT_GE(clock.elapsed(), 1900);
    EXPECT_EQ(p->state(), QProcess::Running);
    box.Close(p, *socket);
}

TEST(Startup, SwitchesIAndUEndWithoutAnyFile) {
    for (const QString &sw : {u"-i"_s, u"/u"_s, u"-U"_s}) {
        Sandbox box;
        QProcess *p = box.Start({sw});
        ASSERT_TRUE(Ended(p));
        EXPECT_EQ(p->exitCode(), 0);
        EXPECT_EQ(FilesUnder(box.Root()), QStringList{box.Root(u"blocked"_s)}) << sw.toStdString();
    }
}

TEST(Startup, AutorunSwitchEndsBeforeSingleInstanceCheckUnlessAllowed) {
    Sandbox box;
    QProcess *p = box.Start({u"-a"_s});
    ASSERT_TRUE(Ended(p));
    EXPECT_EQ(p->exitCode(), 0);
    EXPECT_EQ(box.RunTimes(), 1);                            // settings were opened
    EXPECT_FALSE(QFileInfo::exists(box.Names().LockFile())); // no lock taken
    EXPECT_TRUE(box.Names().ExistingSockets().isEmpty());    // never listened

    box.Settings("[setting]\nApp.Autorun=1\n");
    QProcess *allowed = box.Start({u"-a"_s});
    const auto socket = box.WaitRunning();
    ASSERT_TRUE(socket);
    box.Close(allowed, *socket);
}

TEST(Startup, AppMultipleLetsTwoRun) {
    Sandbox box;
    box.Settings("[setting]\nApp.Multiple=1\n");
    QProcess *a = box.Start({});
    QProcess *b = box.Start({u"/tmp/x.jpg"_s});
    QStringList sockets;
    QDeadlineTimer deadline(kStartMs);
    while (sockets.size() < 2 && !deadline.hasExpired()) {
        sockets = box.Client().FindAllRunning(box.AppId());
        QThread::msleep(50);
    }
    ASSERT_EQ(sockets.size(), 2);
    EXPECT_EQ(a->state(), QProcess::Running);
    EXPECT_EQ(b->state(), QProcess::Running);
    for (const QString &s : sockets)
        box.Client().Send(s, QString::fromUtf16(RqMsg::CloseApp));
    EXPECT_TRUE(Ended(a));
    EXPECT_TRUE(Ended(b));
}

TEST(Startup, KilledFirstInstanceDoesNotBlockNextStart) {
    Sandbox box;
    QProcess *first = box.Start({});
    ASSERT_TRUE(box.WaitRunning());
    ::kill(pid_t(first->processId()), SIGKILL);
    ASSERT_TRUE(Ended(first));
    // What it left behind.
    EXPECT_TRUE(QFileInfo::exists(box.Names().LockFile()));
    EXPECT_TRUE(QFileInfo::exists(box.Names().PrimarySocket()));

    QProcess *next = box.Start({u"/tmp/a.jpg"_s});
    const auto socket = box.WaitRunning();
    ASSERT_TRUE(socket);
    EXPECT_EQ(*socket, box.Names().PrimarySocket());
    EXPECT_EQ(next->state(), QProcess::Running);
    box.Close(next, *socket);
}

TEST(Startup, ChannelAnswersTheInstanceMessages) {
    Sandbox box;
    QProcess *p = box.Start({});
    const auto socket = box.WaitRunning();
    ASSERT_TRUE(socket);
    const TRqInstanceClient client = box.Client();
    const auto id = client.Send(*socket, QString::fromUtf16(RqMsg::GetAppID));
    ASSERT_TRUE(id);
    EXPECT_EQ(id->Result, box.AppId());
    // Busy only until the loop runs; poll past that moment.
    QDeadlineTimer deadline(kStartMs);
    std::optional<TRqInstanceAnswer> busy;
    do
        busy = client.Send(*socket, QString::fromUtf16(RqMsg::IfBusy));
    while (busy && busy->Result == 1 && !deadline.hasExpired());
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->Result, 0);
    const auto tray = client.Send(*socket, QString::fromUtf16(RqMsg::BringtoFront));
    ASSERT_TRUE(tray);
    EXPECT_EQ(tray->Result, 0);
    EXPECT_FALSE(client.Send(*socket, u"Rq NoSuchMessage"_s)); // no handler: no answer
    box.Close(p, *socket);
}

TEST(Startup, UnwritableSettingsAreReportedNotCrashed) {
    for (bool gui : {false, true}) {
        Sandbox box;
        // The data folder's place is taken by a file: nothing can be written.
        QFile blocker(box.DataFolder().chopped(1));
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QProcess *p = box.Start({}, gui);
        QString err;
        const QString expected = u"Cannot write file \""_s;
        EXPECT_TRUE(Stderr(p, err, expected, kStartMs).contains(expected))
            << gui << err.toStdString();
        if (gui) {
            // The message box waits for the user; the process is alive, not crashed.
            EXPECT_FALSE(p->waitForFinished(300));
            EXPECT_EQ(p->state(), QProcess::Running);
        } else {
            // Reading its output may already have seen it end.
            ASSERT_TRUE(Ended(p));
            EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(p->exitCode(), 1);
        }
    }
}

TEST(Startup, SwitchesAndFileParameters) {
    const QStringList params{u"pic"_s, u"/D"_s, u"-install"_s, u"\\h"_s};
    const struct {
        const char16_t *name;
        bool found;
    } switches[] = {
        {u"d", true}, {u"install", true}, {u"i", false}, {u"h", false}, {u"pic", false}};
    for (const auto &c : switches)
        EXPECT_EQ(RqFindCmdLineSwitch(params, QString::fromUtf16(c.name)), c.found)
            << QString::fromUtf16(c.name).toStdString();
    EXPECT_TRUE(RqFindCmdLineSwitch(params, u"h"_s, u"-/\\"));

    const struct {
        const char16_t *param;
        bool file;
    } files[] = {{u"/home/me/a.jpg", true},
                 {u"a.jpg", true},
                 {u"C:\\x.jpg", true},
                 {u"-d", false},
                 {u"/d", false},
                 {u"/install", false},
                 {u"", false}};
    for (const auto &c : files)
        EXPECT_EQ(RqIsFileParam(QString::fromUtf16(c.param)), c.file)
            << QString::fromUtf16(c.param).toStdString();
}
