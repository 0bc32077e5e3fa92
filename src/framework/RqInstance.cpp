#include "framework/RqInstance.h"

#include "framework/RqDebugLog.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QtEndian>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_0;

QByteArray Frame(const QByteArray &payload) {
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), out.data());
    return out + payload;
}

// Takes one whole frame off the front of buf; nullopt while incomplete.
// Sets tooBig when the announced size is beyond the limit.
std::optional<QByteArray> TakeFrame(QByteArray &buf, bool &tooBig) {
    tooBig = false;
    if (buf.size() < 4)
        return std::nullopt;
    const quint32 len = qFromBigEndian<quint32>(buf.constData());
    if (len > kRqInstanceMaxFrame) {
        tooBig = true;
        return std::nullopt;
    }
    if (buf.size() < qsizetype(4 + len))
        return std::nullopt;
    QByteArray payload = buf.mid(4, len);
    buf.remove(0, 4 + len);
    return payload;
}
} // namespace

QByteArray RqEncodeRequest(const TRqInstanceRequest &request) {
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    out << request.Name << request.Target << request.Text;
    return payload;
}

std::optional<TRqInstanceRequest> RqDecodeRequest(const QByteArray &payload) {
    QDataStream in(payload);
    in.setVersion(kStreamVersion);
    TRqInstanceRequest r;
    in >> r.Name >> r.Target >> r.Text;
    if (in.status() != QDataStream::Ok)
        return std::nullopt;
    return r;
}

QByteArray RqEncodeAnswer(bool handled, const TRqInstanceAnswer &answer) {
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    out << handled << qint32(answer.Result) << answer.Text;
    return payload;
}

std::optional<std::pair<bool, TRqInstanceAnswer>> RqDecodeAnswer(const QByteArray &payload) {
    QDataStream in(payload);
    in.setVersion(kStreamVersion);
    bool handled = false;
    qint32 result = 0;
    TRqInstanceAnswer a;
    in >> handled >> result >> a.Text;
    if (in.status() != QDataStream::Ok)
        return std::nullopt;
    a.Result = result;
    return std::make_pair(handled, a);
}

// ---------------------------------------------------------------------------
// TRqInstanceNames

TRqInstanceNames::TRqInstanceNames(const QString &appGuid, const QString &folder)
    : FFolder(folder.isEmpty() ? DefaultFolder() : folder) {
    // Socket paths are limited to about 100 bytes, so the GUID is hashed.
    const QByteArray hash =
        QCryptographicHash::hash(appGuid.trimmed().toUpper().toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    FStem = u"rq-"_s + QString::fromLatin1(hash) + u'-' + QString::number(::getuid());
    if (!FFolder.endsWith(u'/'))
        FFolder += u'/';
}

QString TRqInstanceNames::DefaultFolder() {
    // A folder of this user's own: $XDG_RUNTIME_DIR when it is a private
    // folder of this user, else Qt's private stand-in (/tmp/runtime-<user>).
    // In the shared temporary folder the names are easy to guess, and another
    // user could listen there first and receive the hand-over.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return runtime;
    return QDir::tempPath();
}

QString TRqInstanceNames::LockFile() const {
    return FFolder + FStem + u".lock"_s;
}

QString TRqInstanceNames::PrimarySocket() const {
    return FFolder + FStem + u".sock"_s;
}

QString TRqInstanceNames::ExtraSocket(qint64 pid) const {
    return FFolder + FStem + u'-' + QString::number(pid) + u".sock"_s;
}

QStringList TRqInstanceNames::ExistingSockets() const {
    QStringList out;
    if (QFileInfo::exists(PrimarySocket()))
        out << PrimarySocket();
    const QStringList extras =
        QDir(FFolder).entryList({FStem + u"-*.sock"_s}, QDir::System | QDir::Files, QDir::Name);
    for (const QString &name : extras)
        out << FFolder + name;
    return out;
}

// ---------------------------------------------------------------------------
// TRqInstanceLock

TRqInstanceLock::TRqInstanceLock(const TRqInstanceNames &names)
    : FLock(std::make_unique<QLockFile>(names.LockFile())) {
    // Age alone never makes the lock stale (a program may run for weeks);
    // a lock whose process is gone is stale at once.
    FLock->setStaleLockTime(0);
}

TRqInstanceLock::~TRqInstanceLock() = default;

TRqInstanceLock::Result TRqInstanceLock::TryAcquire() {
    QDir().mkpath(QFileInfo(FLock->fileName()).absolutePath());
    if (FLock->tryLock(0))
        return Result::Acquired;
    if (FLock->error() == QLockFile::LockFailedError) {
        // tryLock removes a stale lock only when it can prove it stale; ask
        // once more explicitly so a killed instance never blocks a start.
        if (FLock->removeStaleLockFile() && FLock->tryLock(0))
            return Result::Acquired;
        if (FLock->error() == QLockFile::LockFailedError)
            return Result::HeldByOther;
    }
    return Result::Failed;
}

void TRqInstanceLock::Release() {
    FLock->unlock();
}

// ---------------------------------------------------------------------------
// TRqInstanceServer

TRqInstanceServer::TRqInstanceServer(const TRqInstanceNames &names, QObject *parent)
    : QObject(parent), FNames(names) {}

TRqInstanceServer::~TRqInstanceServer() {
    if (FServer)
        FServer->close();
}

bool TRqInstanceServer::Listen(bool primary) {
    delete FServer;
    FServer = new QLocalServer(this);
    // Only this user may connect.
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(FServer, &QLocalServer::newConnection, this, &TRqInstanceServer::OnNewConnection);
    QDir().mkpath(FNames.Folder());

    // listen() puts its socket in place by renaming, so it would silently
    // replace another instance's socket: whether the name is free is decided
    // here, before listening.
    const QString primaryName = FNames.PrimarySocket();
    // Two instances without the lock (several allowed, or the lock could not
    // be made) starting together would both find the name free and the later
    // would replace the earlier's socket; deciding and listening under a short
    // lock of its own keeps each reachable.
    QLockFile naming(primaryName + u".naming"_s);
    naming.setStaleLockTime(0);
    if (!primary && !naming.tryLock(5000))
        RqDebugLog::Log(u"RqInstance"_s, u"Socket naming lock not had; going on"_s);
    bool primaryFree = primary; // holding the lock: any socket there is stale
    if (!primaryFree) {
        QLocalSocket probe;
        probe.connectToServer(primaryName);
        primaryFree = !probe.waitForConnected(1000);
    }
    if (primaryFree) {
        QLocalServer::removeServer(primaryName);
        if (FServer->listen(primaryName))
            return true;
    }
    const QString extra = FNames.ExtraSocket(QCoreApplication::applicationPid());
    QLocalServer::removeServer(extra);
    if (FServer->listen(extra))
        return true;
    RqDebugLog::Log(u"RqInstance"_s, u"Cannot listen: "_s + FServer->errorString());
    return false;
}

QString TRqInstanceServer::SocketName() const {
    return FServer && FServer->isListening() ? FServer->fullServerName() : QString();
}

void TRqInstanceServer::SetHandler(const QString &name, Handler handler) {
    FHandlers[name] = std::move(handler);
}

void TRqInstanceServer::RemoveHandler(const QString &name) {
    FHandlers.erase(name);
}

bool TRqInstanceServer::HasHandler(const QString &name) const {
    return FHandlers.count(name) != 0;
}

void TRqInstanceServer::OnNewConnection() {
    while (QLocalSocket *socket = FServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
        if (socket->bytesAvailable() > 0)
            OnReadyRead(socket);
    }
}

void TRqInstanceServer::OnReadyRead(QLocalSocket *socket) {
    QByteArray buf = socket->property("rqBuffer").toByteArray() + socket->readAll();
    for (;;) {
        bool tooBig = false;
        const std::optional<QByteArray> payload = TakeFrame(buf, tooBig);
        if (tooBig) {
            socket->abort();
            return;
        }
        if (!payload)
            break;
        const std::optional<TRqInstanceRequest> request = RqDecodeRequest(*payload);
        if (!request) {
            socket->abort();
            return;
        }
        bool handled = false;
        TRqInstanceAnswer answer;
        const auto it = FHandlers.find(request->Name);
        if (it != FHandlers.end() && it->second) {
            try {
                answer = it->second(*request);
                handled = true;
            } catch (const std::exception &e) {
                RqDebugLog::Log(u"RqInstance"_s,
                                request->Name + u" failed: "_s + QString::fromUtf8(e.what()));
            }
        }
        socket->write(Frame(RqEncodeAnswer(handled, answer)));
        socket->flush();
        if (OnRequest)
            OnRequest(*request, answer);
    }
    socket->setProperty("rqBuffer", buf);
}

// ---------------------------------------------------------------------------
// TRqInstanceClient

TRqInstanceClient::TRqInstanceClient(const TRqInstanceNames &names, int timeoutMs)
    : FNames(names), FTimeoutMs(timeoutMs) {}

std::optional<TRqInstanceAnswer> TRqInstanceClient::Send(const QString &socketName,
                                                         const TRqInstanceRequest &request) const {
    QDeadlineTimer deadline(FTimeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketName);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return std::nullopt;
    socket.write(Frame(RqEncodeRequest(request)));
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(int(std::max<qint64>(deadline.remainingTime(), 1))))
            return std::nullopt;
    QByteArray buf;
    for (;;) {
        buf += socket.readAll();
        bool tooBig = false;
        if (const auto payload = TakeFrame(buf, tooBig)) {
            socket.disconnectFromServer();
            const auto decoded = RqDecodeAnswer(*payload);
            if (!decoded || !decoded->first)
                return std::nullopt;
            return decoded->second;
        }
        if (tooBig || deadline.hasExpired() || socket.state() != QLocalSocket::ConnectedState)
            return std::nullopt;
        if (!socket.waitForReadyRead(int(std::max<qint64>(deadline.remainingTime(), 1))) &&
            socket.bytesAvailable() == 0 && deadline.hasExpired())
            return std::nullopt;
    }
}

std::optional<TRqInstanceAnswer> TRqInstanceClient::Send(const QString &socketName,
                                                         const QString &name, const QString &text,
                                                         const QString &target) const {
    return Send(socketName, TRqInstanceRequest{name, target, text});
}

std::optional<QString> TRqInstanceClient::FindRunning(int appId) const {
    for (const QString &socket : FNames.ExistingSockets()) {
        const auto answer = Send(socket, QString::fromUtf16(RqMsg::GetAppID));
        if (answer && answer->Result == appId)
            return socket;
    }
    return std::nullopt;
}

QStringList TRqInstanceClient::FindAllRunning(int appId) const {
    QStringList out;
    for (const QString &socket : FNames.ExistingSockets()) {
        const auto answer = Send(socket, QString::fromUtf16(RqMsg::GetAppID));
        if (answer && answer->Result == appId)
            out << socket;
    }
    return out;
}
