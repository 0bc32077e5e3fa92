#pragma once

// The instance channel: how instances of the program find and talk to each
// other. A lock file keyed by "App.GUID" and the user marks the running
// instance; each running instance listens on a local socket and answers
// named requests synchronously, one request per connection.
//
// Wire format (both ways): a 32-bit big-endian byte count, then that many
// bytes of QDataStream (Qt 6.0 format). A request holds the message name, a
// target (empty: the main window; otherwise a named window such as a page)
// and a text. An answer holds whether a handler took the request, the
// integer result and a text.

#include <QList>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class QLocalServer;
class QLocalSocket;

// Message names shared by every instance.
namespace RqMsg {
inline constexpr char16_t GetAppID[] = u"Rq GetAppID";
inline constexpr char16_t CloseApp[] = u"Rq CloseApp";
inline constexpr char16_t IfBusy[] = u"Rq IfBusy";
inline constexpr char16_t BringtoFront[] = u"Rq BringtoFront";
// The command-line hand-over: the text is the sender's first parameter.
inline constexpr char16_t CmdLine[] = u"Rq CmdLine";
// Raise and activate the main window. A process cannot pull another
// process's window to the front here, so the running instance does it itself.
inline constexpr char16_t ForceFront[] = u"Rq ForceFront";
// Names kept for the wizard's own requests (handlers come with the pages):
// text for a page window, the Target naming the page ("0"/"1" for the choice
// page, one file path per request for the photo and video pages; the
// receiver trims blanks) ...
inline constexpr char16_t PageText[] = u"Rq PageText";
// ... and the current wizard step (Result: the step's number).
inline constexpr char16_t GetStep[] = u"Rq GetStep";
} // namespace RqMsg

struct TRqInstanceRequest {
    QString Name;
    QString Target;
    QString Text;
};

struct TRqInstanceAnswer {
    int Result = 0;
    QString Text;
};

// Names of the lock file and sockets of one program ("App.GUID") for the
// current user, in one folder of that user ($XDG_RUNTIME_DIR, or Qt's
// private stand-in /tmp/runtime-<user>).
class TRqInstanceNames {
public:
    explicit TRqInstanceNames(const QString &appGuid, const QString &folder = {});
    static QString DefaultFolder();

    QString LockFile() const;
    // The socket of the instance holding the lock.
    QString PrimarySocket() const;
    // The socket of an extra instance (several allowed) with this process id.
    QString ExtraSocket(qint64 pid) const;
    // Every socket of this program now present, primary first.
    QStringList ExistingSockets() const;
    const QString &Folder() const { return FFolder; }

private:
    QString FFolder;
    QString FStem; // file-name stem: hash of the GUID and the user id
};

// The single-instance lock. A lock left by a killed process is recognised as
// stale (its process is gone) and taken over.
class TRqInstanceLock {
public:
    explicit TRqInstanceLock(const TRqInstanceNames &names);
    ~TRqInstanceLock();
    enum class Result { Acquired, HeldByOther, Failed };
    // Never waits: the lock's existence alone decides.
    Result TryAcquire();
    void Release();

private:
    std::unique_ptr<QLockFile> FLock;
};

// The listening side, living on the main thread. Handlers are registered by
// message name; the framework installs defaults and the engine or a page
// replaces or adds its own.
class TRqInstanceServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<TRqInstanceAnswer(const TRqInstanceRequest &)>;

    explicit TRqInstanceServer(const TRqInstanceNames &names, QObject *parent = nullptr);
    ~TRqInstanceServer() override;

    // Listens on the primary socket (primary = true; a stale socket file is
    // removed first), or on the primary one if free and otherwise on this
    // process's extra socket. Returns false when no socket could be opened.
    bool Listen(bool primary);
    QString SocketName() const;

    void SetHandler(const QString &name, Handler handler);
    void RemoveHandler(const QString &name);
    bool HasHandler(const QString &name) const;

    // Called once for every request after it was answered (diagnostics).
    std::function<void(const TRqInstanceRequest &, const TRqInstanceAnswer &)> OnRequest;

private:
    void OnNewConnection();
    void OnReadyRead(QLocalSocket *socket);

    TRqInstanceNames FNames;
    QLocalServer *FServer = nullptr;
    std::map<QString, Handler> FHandlers;
};

// The calling side: blocking, with a time limit so a hung peer never
// freezes a start.
class TRqInstanceClient {
public:
    explicit TRqInstanceClient(const TRqInstanceNames &names, int timeoutMs = 5000);

    // One request to one socket; nullopt when the peer is not there, does
    // not answer in time or has no handler for the message.
    std::optional<TRqInstanceAnswer> Send(const QString &socket,
                                          const TRqInstanceRequest &request) const;
    std::optional<TRqInstanceAnswer> Send(const QString &socket, const QString &name,
                                          const QString &text = {},
                                          const QString &target = {}) const;

    // The first socket whose instance answers "Rq GetAppID" with appId.
    std::optional<QString> FindRunning(int appId) const;
    // Every socket whose instance answers "Rq GetAppID" with appId.
    QStringList FindAllRunning(int appId) const;

    int TimeoutMs() const { return FTimeoutMs; }

private:
    TRqInstanceNames FNames;
    int FTimeoutMs;
};

// Frame helpers, shared by both sides (and tests).
QByteArray RqEncodeRequest(const TRqInstanceRequest &request);
std::optional<TRqInstanceRequest> RqDecodeRequest(const QByteArray &payload);
QByteArray RqEncodeAnswer(bool handled, const TRqInstanceAnswer &answer);
std::optional<std::pair<bool, TRqInstanceAnswer>> RqDecodeAnswer(const QByteArray &payload);
// Largest frame either side accepts; anything bigger closes the connection.
inline constexpr quint32 kRqInstanceMaxFrame = 4u * 1024u * 1024u;
