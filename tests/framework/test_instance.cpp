// The instance channel inside one test process: a server on its own thread,
// the blocking client, the lock, and the ways a peer can misbehave.

#include "framework/RqInstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A server running its own event loop on a worker thread, so the blocking
// client on the test thread gets answers.
class ServerThread {
public:
    explicit ServerThread(const TRqInstanceNames &names, bool primary = true) {
        FContext.moveToThread(&FThread); // queued calls below run on the thread
        FThread.start();
        QMetaObject::invokeMethod(
            &FContext,
            [&] {
                FServer = new TRqInstanceServer(names);
                FServer->SetHandler(u"Echo"_s, [](const TRqInstanceRequest &r) {
                    return TRqInstanceAnswer{int(r.Text.size()), r.Target + u'|' + r.Text};
                });
                FServer->SetHandler(QString::fromUtf16(RqMsg::GetAppID),
                                    [](const TRqInstanceRequest &) {
                                        return TRqInstanceAnswer{77, {}};
                                    });
                FServer->SetHandler(u"Throws"_s,
                                    [](const TRqInstanceRequest &) -> TRqInstanceAnswer {
                                        throw std::runtime_error("boom");
                                    });
                FListening = FServer->Listen(primary);
            },
            Qt::BlockingQueuedConnection);
    }
    ~ServerThread() {
        QMetaObject::invokeMethod(
            &FContext, [&] { delete FServer; }, Qt::BlockingQueuedConnection);
        FThread.quit();
        FThread.wait();
    }
    bool Listening() const { return FListening; }

private:
    QThread FThread;
    QObject FContext;
    TRqInstanceServer *FServer = nullptr;
    bool FListening = false;
};

} // namespace

TEST(InstanceChannel, RequestsAreAnsweredByNamedHandlers) {
    QTemporaryDir dir;
    const TRqInstanceNames names(u"{GUID-1}"_s, dir.path());
    ServerThread server(names);
    ASSERT_TRUE(server.Listening());
    const TRqInstanceClient client(names, 3000);
    const QString socket = names.PrimarySocket();

    const QString big = u"ж"_s.repeated(100000);
    const struct {
        const char *what;
        QString name, target, text;
        std::optional<int> result;
        QString answerText;
    } cases[] = {
        {"echo with target", u"Echo"_s, u"PhotoPage"_s, u"/tmp/a b.jpg"_s, 12,
         u"PhotoPage|/tmp/a b.jpg"_s},
        {"large text", u"Echo"_s, {}, big, int(big.size()), u'|' + big},
        {"no handler", u"Rq Unknown"_s, {}, {}, std::nullopt, {}},
        {"handler throws", u"Throws"_s, {}, {}, std::nullopt, {}},
    };
    for (const auto &c : cases) {
        const auto answer = client.Send(socket, TRqInstanceRequest{c.name, c.target, c.text});
        ASSERT_EQ(answer.has_value(), c.result.has_value()) << c.what;
        if (answer) {
            EXPECT_EQ(answer->Result, *c.result) << c.what;
            EXPECT_EQ(answer->Text, c.answerText) << c.what;
        }
    }
    EXPECT_EQ(client.FindRunning(77), socket);
    EXPECT_FALSE(client.FindRunning(78)); // another program with the same GUID
}

TEST(InstanceChannel, NoPeerAndHungPeerEndWithinTheTimeout) {
    QTemporaryDir dir;
    const TRqInstanceNames names(u"{GUID-2}"_s, dir.path());
    const TRqInstanceClient client(names, 500);
    EXPECT_FALSE(client.Send(names.PrimarySocket(), u"Echo"_s));

    // A peer that accepts connections but never answers.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(names.PrimarySocket());
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(client.Send(names.PrimarySocket(), u"Echo"_s));
    EXPECT_LT(clock.elapsed(), 3000);
    ::close(fd);
}

TEST(InstanceChannel, StaleSocketFileIsTakenOver) {
    QTemporaryDir dir;
    const TRqInstanceNames names(u"{GUID-3}"_s, dir.path());
    // A socket file nobody listens on, as a killed instance leaves it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(names.PrimarySocket());
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(names.PrimarySocket()));

    for (bool primary : {true, false}) {
        ServerThread server(names, primary);
        ASSERT_TRUE(server.Listening());
        EXPECT_TRUE(TRqInstanceClient(names, 3000).FindRunning(77).has_value());
    }
}

TEST(InstanceChannel, SecondServerWithoutLockListensOnItsOwnSocket) {
    QTemporaryDir dir;
    const TRqInstanceNames names(u"{GUID-4}"_s, dir.path());
    ServerThread first(names, true);
    ServerThread second(names, false);
    ASSERT_TRUE(second.Listening());
    const QStringList found = TRqInstanceClient(names, 3000).FindAllRunning(77);
    ASSERT_EQ(found.size(), 2);
    EXPECT_EQ(found.front(), names.PrimarySocket());
    EXPECT_EQ(found.back(), names.ExtraSocket(QCoreApplication::applicationPid()));
}

TEST(InstanceChannel, LockIsExclusiveAndStaleLockIsTakenOver) {
    QTemporaryDir dir;
    const TRqInstanceNames names(u"{GUID-5}"_s, dir.path());
    {
        TRqInstanceLock a(names), b(names);
        EXPECT_EQ(a.TryAcquire(), TRqInstanceLock::Result::Acquired);
        EXPECT_EQ(b.TryAcquire(), TRqInstanceLock::Result::HeldByOther);
        a.Release();
        EXPECT_EQ(b.TryAcquire(), TRqInstanceLock::Result::Acquired);
    }
    // A lock file whose process is gone.
    QProcess gone;
    gone.start(u"true"_s, QStringList());
    ASSERT_TRUE(gone.waitForFinished(10000));
    QFile lock(names.LockFile());
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(gone.processId()) + '\n' +
               QCoreApplication::applicationName().toUtf8() + '\n' +
               QSysInfo::machineHostName().toUtf8() + '\n');
    lock.close();
    TRqInstanceLock c(names);
    EXPECT_EQ(c.TryAcquire(), TRqInstanceLock::Result::Acquired);

    // Names are per program and per user, and stay short enough for a socket.
    EXPECT_NE(TRqInstanceNames(u"{A}"_s, dir.path()).LockFile(),
              TRqInstanceNames(u"{B}"_s, dir.path()).LockFile());
    EXPECT_TRUE(names.LockFile().contains(QString::number(::getuid())));
}

TEST(InstanceChannel, OversizedOrGarbledFramesAreRefused) {
    QTemporaryDir dir;
    const TRqInstanceNames names(u"{GUID-6}"_s, dir.path());
    ServerThread server(names);
    for (const QByteArray &junk :
         {QByteArray("\xFF\xFF\xFF\xFF", 4), QByteArray("\0\0\0\x03xyz", 7)}) {
        QLocalSocket s;
        s.connectToServer(names.PrimarySocket());
        ASSERT_TRUE(s.waitForConnected(3000));
        s.write(junk);
        s.waitForBytesWritten(3000);
        s.waitForDisconnected(3000);
        EXPECT_EQ(s.state(), QLocalSocket::UnconnectedState);
    }
    // The server still answers afterwards.
    EXPECT_TRUE(TRqInstanceClient(names, 3000).FindRunning(77).has_value());
}

TEST(InstanceChannel, DefaultFolderIsPrivateToTheUser) {
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    QTemporaryDir dir;
    const QString own = dir.filePath(u"own"_s), open = dir.filePath(u"open"_s);
    QDir().mkpath(own);
    QDir().mkpath(open);
    ::chmod(QFile::encodeName(own).constData(), 0700);
    ::chmod(QFile::encodeName(open).constData(), 0755);
    const struct {
        const char *what;
        QString runtime;
        QString expected; // empty: any private folder but the shared ones
    } cases[] = {
        {"private runtime folder", own, own},
        {"runtime folder others can enter", open, {}},
        {"no runtime folder", {}, {}},
    };
    for (const auto &c : cases) {
        if (c.runtime.isEmpty())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(c.runtime));
        const QString folder = TRqInstanceNames::DefaultFolder();
        if (!c.expected.isEmpty()) {
            EXPECT_EQ(folder, c.expected) << c.what;
        }
        EXPECT_NE(QDir(folder), QDir(QDir::tempPath())) << c.what;
        EXPECT_NE(QDir(folder), QDir(open)) << c.what;
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0) << c.what;
        EXPECT_EQ(st.st_uid, ::geteuid()) << c.what;
        EXPECT_EQ(st.st_mode & 077, 0u) << c.what;
    }
    if (saved.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", saved);
}
