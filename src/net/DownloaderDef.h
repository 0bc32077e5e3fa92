#pragma once

// Types shared by the HTTP components (TKestHttpRequest, TSingleDownloader):
// the event types, the answer charset, the request body as a list of segments,
// the address parser, form encoding, and the common component/worker base.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace DownloaderDef {
Q_NAMESPACE

// How a to-string answer of TSingleDownloader is decoded.
enum THttpCharset {
    KAnsi,    // the 8-bit code page (ISO-8859-1)
    KUnicode, // UTF-16 little-endian; an odd last byte is ignored
    KUTF8,    // UTF-8
};
Q_ENUM_NS(THttpCharset)

} // namespace DownloaderDef

using DownloaderDef::KAnsi;
using DownloaderDef::KUnicode;
using DownloaderDef::KUTF8;
using DownloaderDef::THttpCharset;

// Events. Sizes are 64-bit: videos can exceed 2 GiB.
using TNotifyEvent = std::function<void(QObject *Sender)>;
using TOnProgressEvent = std::function<void(QObject *Sender, qint64 iTotalSize, qint64 iReaded)>;
using TOnDoneFileEvent =
    std::function<void(QObject *Sender, const QString &strFileName, qint64 iFileSize)>;
using TOnDoneStringEvent = std::function<void(QObject *Sender, const QString &strResult)>;
using TOnLog = std::function<void(const QString &aLog)>;

// The 8-bit code page of the HTTP boundary. ISO-8859-1 round-trips every byte.
QByteArray HttpToAnsi(const QString &text);
QString HttpFromAnsi(const QByteArray &bytes);

// Form encoding of one value: letters, digits and * @ . _ - $ ! ' ( ) stay,
// a space becomes "+", every other byte "%XX" with upper-case hex digits.
QByteArray HttpFormEncode(const QByteArray &bytes);
// name=value entries (split at the first "=") joined with "&"; the value is
// converted to the 8-bit code page and form-encoded, the name is kept as is.
QByteArray HttpFormEncodeValues(const QStringList &slValues);
// Splits a name=value entry at the first "=" (no "=": all name, empty value).
void HttpSplitEntry(const QString &entry, QString &name, QString &value);

// Replaces the value of every access_token parameter by a mask, so that
// diagnostic lines never carry the secret.
QString HttpMaskSecrets(const QString &text);

// An address split into its parts.
struct THttpParsedURL {
    bool HttpSSL = false; // https scheme
    QString Host;         // host as written, without the port
    int Port = 80;        // explicit port, else 443 / 80
    bool ExplicitPort = false;
    QString Object;     // object path, starts with "/" (empty when no "/")
    bool Valid = false; // non-empty host, sane port and an object path
};
// "http://" or "https://" (any case) is removed; no scheme means http; the host
// runs up to the first "/"; "host:port" and "[v6]:port" give an explicit port.
THttpParsedURL HttpParseURL(const QString &url);

// A request body as a list of segments: bytes held in memory and ranges of
// files read from disk while the body is sent, so a large upload never sits
// in memory. ToByteArray() yields the whole body when a caller wants it.
class THttpBody {
public:
    struct Segment {
        QByteArray Bytes; // in-memory bytes (FilePath empty)
        QString FilePath; // file segment: this file's bytes
        qint64 Offset = 0;
        qint64 Length = 0; // bytes of this segment
    };

    THttpBody() = default;
    THttpBody(const QByteArray &bytes) { AppendBytes(bytes); }

    void Clear();
    void AppendBytes(const QByteArray &bytes);
    // Appends the whole file; false (and the body marked broken) when it cannot
    // be read. A broken body makes the request fail instead of sending garbage.
    bool AppendFile(const QString &path);
    void AppendFileRange(const QString &path, qint64 offset, qint64 length);

    qint64 Size() const { return FSize; }
    bool IsEmpty() const { return FSize == 0; }
    bool HasFiles() const;
    const std::vector<Segment> &Segments() const { return FSegments; }
    // Why the body cannot be sent (empty when it can).
    const QString &Error() const { return FError; }
    void SetError(const QString &error) { FError = error; }

    // The whole body; file bytes are read now (an unreadable file gives nothing).
    QByteArray ToByteArray() const;

private:
    std::vector<Segment> FSegments;
    qint64 FSize = 0;
    QString FError;
};

// Reads a THttpBody front to back (worker thread).
class THttpBodyReader {
public:
    explicit THttpBodyReader(const THttpBody &body) : FBody(body) {}
    ~THttpBodyReader();
    THttpBodyReader(const THttpBodyReader &) = delete;
    THttpBodyReader &operator=(const THttpBodyReader &) = delete;

    // Fills up to maxLen bytes; returns the count, or -1 when a file cannot be
    // read as far as announced (it changed or vanished since the body was built).
    qint64 Read(char *buffer, qint64 maxLen);
    qint64 Position() const { return FPosition; }

private:
    const THttpBody &FBody;
    size_t FIndex = 0;
    qint64 FInSegment = 0;
    qint64 FPosition = 0;
    std::FILE *FFile = nullptr;
};

class THttpRequestBase;

// The worker of one request: private copies of everything the request needs,
// a libcurl easy handle and a thread of its own. It lives as long as its
// thread or a pending hand-over to the component needs it (shared ownership).
class THttpWorkerBase : public QObject, public std::enable_shared_from_this<THttpWorkerBase> {
public:
    ~THttpWorkerBase() override;

    // Copies taken when the request starts.
    QString FTAcceptTypes;
    QString FTAgent;
    QString FTURL;
    QString FTFileName;
    QString FTStringResult;
    QString FTUserName;
    QString FTPassword;
    QString FTContentType;
    QString FTCharset; // the Accept-Charset header line, set while sending
    THttpBody FTPostBody;
    QString FTReferer;
    QString FTCACertFile;
    bool FTBinaryData = false;
    bool FTUseCache = false;
    bool FTResult = false;
    qint64 FTFileSize = 0;
    bool FTToFile = false;
    qint64 BytesToRead = 0;
    qint64 BytesReaded = 0;
    TOnProgressEvent FTProgress; // touched on the component's thread only
    TOnLog FOnLog;               // called under FLogLock; cleared when the component lets go
    bool FHttpSSL = false;
    int FTConnectTimeout = 60000; // ms
    int FTStallTimeout = 60000;   // ms
    int FTProgressInterval = 0;   // ms between upload notifications

    bool ToFile() const { return FTToFile; }
    bool Result() const { return FTResult; }
    const QString &FileName() const { return FTFileName; }
    qint64 FileSize() const { return FTFileSize; }
    const QString &StringResult() const { return FTStringResult; }

    // The stop request: read by the worker between steps; wakes a worker that
    // waits for the component's thread.
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }

protected:
    explicit THttpWorkerBase(THttpRequestBase *owner, bool bToFile);

    // What differs between the two components' workers.
    bool FStreamLargeBody = true;     // bodies above 4096 bytes go out in chunks
    bool FSendAcceptCharset = true;   // Accept-Charset line on a POST
    bool FLogAcceptType = true;       // the accept type is a log line
    bool FStarWhenNoAccept = false;   // empty accept type sends "*"
    bool FDecodeByContentType = true; // "UTF" in Content-Type decides UTF-8
    THttpCharset FHttpCharset = KAnsi;
    std::atomic<bool> FHasProgress{false};               // a progress handler was set
    QString FLogTag = QStringLiteral("KestHttpRequest"); // debug-log tag when no OnLog

    void DoLog(const QString &aLog);

private:
    friend class THttpRequestBase;
    friend struct THttpTransfer;

    void Start();
    void Execute();
    int Perform(void *easy); // the transfer; a stop request ends it at once
    void Run();              // Execute plus the hand-over to the component

    // Progress: the upload phase never waits (latest value + one pending call),
    // the answer phase waits until the handler has returned or a stop arrives.
    void ReportUploadProgress(qint64 done);
    void ReportAnswerProgress();
    void FlushUploadProgress();
    // Posts fn to the component's thread unless the component let go of this
    // worker; false when nothing was posted.
    bool PostToOwner(std::function<void(THttpRequestBase *)> fn);
    void DetachOwner();

    std::atomic<bool> FTerminated{false};
    std::mutex FMultiLock;
    void *FMulti = nullptr; // the running transfer's libcurl multi handle

    std::mutex FOwnerLock;
    THttpRequestBase *FOwner = nullptr; // cleared by the component (Abort)

    // Held while a log line is handed to FOnLog, so that once Abort (or the
    // component's destructor) has cleared the handler, no call is under way.
    std::mutex FLogLock;
    bool FLogDetached = false;

    qint64 FUploadTotal = 0;
    QElapsedTimer FLastUploadPost; // worker thread only
    bool FUploadUnposted = false;  // worker thread only
    QElapsedTimer FLastPost;
    std::atomic<qint64> FUploadLatest{0};
    std::atomic<bool> FUploadPending{false};
    qint64 FUploadDelivered = 0; // component's thread only

    std::mutex FWaitLock;
    std::condition_variable FWaitCond;
    std::uint64_t FAnswerPosted = 0;
    std::uint64_t FAnswerDone = 0;
};

// Properties, events and the request life cycle shared by TKestHttpRequest and
// TSingleDownloader. Used on one thread (the one that created it).
class THttpRequestBase : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString AcceptTypes READ AcceptTypes WRITE SetAcceptTypes)
    Q_PROPERTY(QString Agent READ Agent WRITE SetAgent)
    Q_PROPERTY(bool BinaryData READ BinaryData WRITE SetBinaryData)
    Q_PROPERTY(QString URL READ URL WRITE SetURL)
    Q_PROPERTY(bool UseCache READ UseCache WRITE SetUseCache)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
    Q_PROPERTY(QString UserName READ UserName WRITE SetUserName)
    Q_PROPERTY(QString Password READ Password WRITE SetPassword)
    Q_PROPERTY(QString Referer READ Referer WRITE SetReferer)
    Q_PROPERTY(bool WaitThread READ WaitThread WRITE SetWaitThread)
    Q_PROPERTY(QString ContentType READ ContentType WRITE SetContentType)
    Q_PROPERTY(int ConnectTimeout READ ConnectTimeout WRITE SetConnectTimeout)
    Q_PROPERTY(int StallTimeout READ StallTimeout WRITE SetStallTimeout)
    Q_PROPERTY(QString CACertFile READ CACertFile WRITE SetCACertFile)
    Q_PROPERTY(int ProgressInterval READ ProgressInterval WRITE SetProgressInterval)

public:
    ~THttpRequestBase() override;

    QString AcceptTypes() const { return FAcceptTypes; }
    void SetAcceptTypes(const QString &v) { FAcceptTypes = v; }
    QString Agent() const { return FAgent; }
    void SetAgent(const QString &v) { FAgent = v; }
    bool BinaryData() const { return FBinaryData; }
    void SetBinaryData(bool v) { FBinaryData = v; }
    QString URL() const { return FURL; }
    void SetURL(const QString &v) { FURL = v; }
    // Kept for callers; nothing is cached, every request reaches the server.
    bool UseCache() const { return FUseCache; }
    void SetUseCache(bool v) { FUseCache = v; }
    QString FileName() const { return FFileName; }
    void SetFileName(const QString &v) { FFileName = v; }
    QString UserName() const { return FUserName; }
    void SetUserName(const QString &v) { FUserName = v; }
    QString Password() const { return FPassword; }
    void SetPassword(const QString &v) { FPassword = v; }
    QString Referer() const { return FReferer; }
    void SetReferer(const QString &v) { FReferer = v; }
    bool WaitThread() const { return FWaitThread; }
    void SetWaitThread(bool v) { FWaitThread = v; }
    // A complete header line ("Content-Type: ..."); empty means form-encoded.
    QString ContentType() const { return FContentType; }
    void SetContentType(const QString &v) { FContentType = v; }

    // Limits against stalled connections (milliseconds): connecting, and
    // nothing moving in either direction. There is no limit on the total time.
    int ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(int ms) { FConnectTimeout = ms; }
    int StallTimeout() const { return FStallTimeout; }
    void SetStallTimeout(int ms) { FStallTimeout = ms; }

    // Upload progress goes out after every 4096-byte chunk; only when the UI
    // thread falls more than one libcurl piece (64 KiB) behind do notifications
    // merge into the latest value. A caller that wants fewer
    // wake-ups on fast links may also merge notifications closer together than
    // this many milliseconds (0, the default: no such merging). The last
    // notification always reports the whole body.
    int ProgressInterval() const { return FProgressInterval; }
    void SetProgressInterval(int ms) { FProgressInterval = ms; }

    // A PEM file of extra trusted certificate authorities (empty: the
    // process-wide default, else the system's store). Host names are verified.
    QString CACertFile() const { return FCACertFile; }
    void SetCACertFile(const QString &v) { FCACertFile = v; }
    static QString DefaultCACertFile();
    static void SetDefaultCACertFile(const QString &path);

    TNotifyEvent OnError;
    TOnProgressEvent OnProgress;
    TOnDoneFileEvent OnDoneFile;
    TOnDoneStringEvent OnDoneString;
    // Runs on the worker thread. It must not wait for the component's thread:
    // Abort waits for a log call under way, so nothing reaches a handler (or
    // what it captured) after Abort or the component's destruction.
    TOnLog OnLog;

    // Start a to-file / to-string request; ignored while one is running.
    void GetFile();
    void GetString();
    // Abandons the running request: no event of any kind follows for it.
    void Abort();

    bool Busy() const { return FThread != nullptr; }
    bool Result() const { return FResult; }

    // Waits (up to msecs) until every abandoned or running worker of the
    // process has ended; true when none is left. For orderly shutdown.
    static bool WaitForWorkers(int msecs);
    static int RunningWorkers();

    // Copies the settings a worker takes when a request starts.
    void CopySettingsTo(THttpWorkerBase &w) const;

protected:
    explicit THttpRequestBase(QObject *aOwner);
    virtual std::shared_ptr<THttpWorkerBase> CreateWorker(bool bToFile) = 0;

    QString FAcceptTypes = QStringLiteral("*/*");
    QString FAgent;
    bool FBinaryData = false;
    QString FURL;
    bool FUseCache = false;
    QString FFileName;
    QString FUserName;
    QString FPassword;
    QString FReferer;
    bool FWaitThread = false;
    std::shared_ptr<THttpWorkerBase> FThread;
    bool FResult = false;
    bool FAbort = false;
    QString FContentType;
    int FConnectTimeout = 60000;
    int FStallTimeout = 60000;
    int FProgressInterval = 0;
    QString FCACertFile;

private:
    friend class THttpWorkerBase;
    void StartRequest(bool bToFile);
    void ThreadDone(const std::shared_ptr<THttpWorkerBase> &worker);
};
