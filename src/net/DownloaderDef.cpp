#include "net/DownloaderDef.h"

#include "framework/RqDebugLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QtEndian>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <signal.h>
#include <thread>

namespace {

constexpr qint64 kChunkSize = 4096;      // progress granularity and one-call limit
constexpr long kReadPiece = 16384;       // answer pieces handed to us per call
constexpr long kUploadPiece = 64 * 1024; // body bytes handed to libcurl per call

std::once_flag g_curlOnce;
void EnsureCurl() {
    std::call_once(g_curlOnce, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // Workers tell libcurl not to touch signals (it runs on many threads),
        // so a TLS write to a peer that went away must not end the process.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
    });
}

// The count of running workers. Never destroyed: detached workers may still
// be ending while the process runs its exit handlers.
struct TWorkerCount {
    std::mutex Lock;
    std::condition_variable Cond;
    int Count = 0;
};
TWorkerCount &Workers() {
    static TWorkerCount *count = new TWorkerCount;
    return *count;
}

std::mutex g_defaultCALock;
QString g_defaultCA;

bool IsUnreserved(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '*':
    case '@':
    case '.':
    case '_':
    case '-':
    case '$':
    case '!':
    case '\'':
    case '(':
    case ')':
        return true;
    default:
        return false;
    }
}

bool ValidHostText(const QString &host) {
    if (host.isEmpty())
        return false;
    for (QChar ch : host) {
        const char16_t c = ch.unicode();
        if (c <= 0x20 || c == 0x7F)
            return false;
        if (QStringView(u"@?#\\\"<>%{}|^`/[]").contains(ch))
            return false;
    }
    return true;
}

bool ValidIPv6Text(const QString &host) {
    if (host.isEmpty())
        return false;
    for (QChar ch : host) {
        const char16_t c = ch.unicode();
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.')
            return false;
    }
    return true;
}

// Bytes that may not appear raw in a request line are percent-encoded; all
// others (including existing escapes and the query) go out as written.
QByteArray EncodeObjectPath(const QString &object) {
    const QByteArray utf8 = object.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    static const char hex[] = "0123456789ABCDEF";
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

QString HeaderValue(const QList<QByteArray> &lines, const QByteArray &name, bool *found) {
    *found = false;
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        if (line.left(colon).trimmed().toLower() != name)
            continue;
        *found = true;
        return QString::fromLatin1(line.mid(colon + 1).trimmed());
    }
    return QString();
}

} // namespace

// ---------------------------------------------------------------------------
// Text helpers

QByteArray HttpToAnsi(const QString &text) {
    return text.toLatin1();
}

QString HttpFromAnsi(const QByteArray &bytes) {
    return QString::fromLatin1(bytes);
}

QByteArray HttpFormEncode(const QByteArray &bytes) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

void HttpSplitEntry(const QString &entry, QString &name, QString &value) {
    const qsizetype eq = entry.indexOf(u'=');
    if (eq < 0) {
        name = entry;
        value.clear();
    } else {
        name = entry.left(eq);
        value = entry.mid(eq + 1);
    }
}

QByteArray HttpFormEncodeValues(const QStringList &slValues) {
    QByteArray out;
    bool first = true;
    for (const QString &entry : slValues) {
        QString name, value;
        HttpSplitEntry(entry, name, value);
        if (!first)
            out += '&';
        first = false;
        out += HttpToAnsi(name);
        out += '=';
        out += HttpFormEncode(HttpToAnsi(value));
    }
    return out;
}

QString HttpMaskSecrets(const QString &text) {
    static const QRegularExpression re(QStringLiteral("(access_token=)[^&#\\s\"']*"),
                                       QRegularExpression::CaseInsensitiveOption);
    QString out = text;
    out.replace(re, QStringLiteral("\\1********"));
    return out;
}

THttpParsedURL HttpParseURL(const QString &url) {
    THttpParsedURL r;
    QString rest = url;
    if (rest.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive)) {
        rest.remove(0, 7);
        r.HttpSSL = false;
    }
    if (rest.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive)) {
        rest.remove(0, 8);
        r.HttpSSL = true;
    }
    r.Port = r.HttpSSL ? 443 : 80;
    const qsizetype p = rest.indexOf(u'/');
    QString host;
    if (p < 0) {
        // No "/" after the host: the host comes out empty and the request fails.
        r.Object = rest;
        r.Valid = false;
        return r;
    }
    host = rest.left(p);
    r.Object = rest.mid(p);

    QString portText;
    bool hasPort = false;
    if (host.startsWith(u'[')) {
        const qsizetype close = host.indexOf(u']');
        if (close < 0)
            return r;
        const QString after = host.mid(close + 1);
        r.Host = host.mid(1, close - 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(u':'))
                return r;
            hasPort = true;
            portText = after.mid(1);
        }
        if (!ValidIPv6Text(r.Host))
            return r;
        r.Host = u'[' + r.Host + u']';
    } else {
        const qsizetype colon = host.lastIndexOf(u':');
        if (colon >= 0) {
            hasPort = true;
            portText = host.mid(colon + 1);
            host = host.left(colon);
        }
        r.Host = host;
        if (!ValidHostText(r.Host))
            return r;
    }
    if (hasPort) {
        bool ok = false;
        const int port = portText.toInt(&ok);
        const bool digits =
            !portText.isEmpty() && std::all_of(portText.begin(), portText.end(),
                                               [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!ok || !digits || port < 1 || port > 65535)
            return r;
        r.Port = port;
        r.ExplicitPort = true;
    }
    r.Valid = true;
    return r;
}

// ---------------------------------------------------------------------------
// THttpBody

void THttpBody::Clear() {
    FSegments.clear();
    FSize = 0;
    FError.clear();
}

void THttpBody::AppendBytes(const QByteArray &bytes) {
    if (bytes.isEmpty())
        return;
    if (!FSegments.empty() && FSegments.back().FilePath.isEmpty()) {
        FSegments.back().Bytes += bytes;
        FSegments.back().Length += bytes.size();
    } else {
        Segment s;
        s.Bytes = bytes;
        s.Length = bytes.size();
        FSegments.push_back(std::move(s));
    }
    FSize += bytes.size();
}

bool THttpBody::AppendFile(const QString &path) {
    QFile f(path);
    const QFileInfo fi(path);
    if (path.isEmpty() || !fi.isFile() || !f.open(QIODevice::ReadOnly)) {
        if (FError.isEmpty())
            FError = QStringLiteral("Cannot read file: ") + path;
        return false;
    }
    AppendFileRange(path, 0, f.size());
    return true;
}

void THttpBody::AppendFileRange(const QString &path, qint64 offset, qint64 length) {
    if (length <= 0)
        return;
    Segment s;
    s.FilePath = path;
    s.Offset = offset;
    s.Length = length;
    FSegments.push_back(std::move(s));
    FSize += length;
}

bool THttpBody::HasFiles() const {
    return std::any_of(FSegments.begin(), FSegments.end(),
                       [](const Segment &s) { return !s.FilePath.isEmpty(); });
}

QByteArray THttpBody::ToByteArray() const {
    if (!HasFiles()) {
        QByteArray out;
        for (const Segment &s : FSegments)
            out += s.Bytes;
        return out;
    }
    QByteArray out;
    out.reserve(FSize);
    for (const Segment &s : FSegments) {
        if (s.FilePath.isEmpty()) {
            out += s.Bytes;
            continue;
        }
        QFile f(s.FilePath);
        if (!f.open(QIODevice::ReadOnly) || !f.seek(s.Offset))
            continue;
        out += f.read(s.Length);
    }
    return out;
}

THttpBodyReader::~THttpBodyReader() {
    if (FFile)
        std::fclose(FFile);
}

qint64 THttpBodyReader::Read(char *buffer, qint64 maxLen) {
    qint64 done = 0;
    const auto &segs = FBody.Segments();
    while (done < maxLen && FIndex < segs.size()) {
        const THttpBody::Segment &s = segs[FIndex];
        const qint64 want = std::min(maxLen - done, s.Length - FInSegment);
        if (s.FilePath.isEmpty()) {
            std::memcpy(buffer + done, s.Bytes.constData() + FInSegment, size_t(want));
        } else {
            if (!FFile) {
                FFile = std::fopen(QFile::encodeName(s.FilePath).constData(), "rb");
                if (!FFile || fseeko(FFile, off_t(s.Offset + FInSegment), SEEK_SET) != 0)
                    return -1;
            }
            const size_t got = std::fread(buffer + done, 1, size_t(want), FFile);
            if (qint64(got) != want)
                return -1; // the file shrank or cannot be read any more
        }
        done += want;
        FInSegment += want;
        FPosition += want;
        if (FInSegment == s.Length) {
            if (FFile) {
                std::fclose(FFile);
                FFile = nullptr;
            }
            ++FIndex;
            FInSegment = 0;
        }
    }
    return done;
}

// ---------------------------------------------------------------------------
// One transfer: libcurl callbacks and the answer's state (worker thread)

struct THttpTransfer {
    THttpWorkerBase *w = nullptr;
    std::unique_ptr<THttpBodyReader> reader;
    qint64 uploadTotal = 0;
    qint64 uploadSent = 0;
    bool readFailed = false;

    QList<QByteArray> headerLines;
    bool headersDone = false;
    bool isUTF = false;
    bool hasLength = false;
    qint64 contentLength = 0;
    bool refusedBinary = false;

    QFile tmp;
    bool tmpFailed = false;
    bool writeFailed = false;
    QByteArray memory;

    curl_off_t lastMoved = -1;
    QElapsedTimer sinceMove;
    bool stalled = false;

    static size_t HeaderImpl(char *data, size_t size, size_t n, void *ud) {
        auto *t = static_cast<THttpTransfer *>(ud);
        const size_t len = size * n;
        QByteArray line(data, qsizetype(len));
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("HTTP/"))
            t->headerLines.clear(); // a new answer (after a redirect): keep only the last
        else if (!line.isEmpty())
            t->headerLines.append(line);
        return len;
    }

    // Steps taken once the answer's headers are known and before any byte of
    // its body is kept: charset, length, the BinaryData rule, the temporary file.
    bool ProcessHeaders() {
        headersDone = true;
        bool found = false;
        const QString type = HeaderValue(headerLines, "content-type", &found);
        isUTF = found && type.contains(QStringLiteral("UTF")); // case-sensitive on purpose
        const QString length = HeaderValue(headerLines, "content-length", &hasLength);
        if (hasLength) {
            bool ok = false;
            contentLength = length.toLongLong(&ok);
            if (!ok || contentLength < 0)
                hasLength = false;
        }
        if (!hasLength && w->FTBinaryData) {
            refusedBinary = true;
            w->DoLog(QStringLiteral("No Content-Length: binary answer refused"));
            return false;
        }
        if (hasLength)
            w->FTFileSize = contentLength;
        w->BytesReaded = 0;
        if (w->FTToFile && !OpenTemp())
            return false;
        return true;
    }

    bool OpenTemp() {
        const QString dir = QDir::tempPath();
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const quint32 r = QRandomGenerator::global()->bounded(quint32(1048575));
            const QString name = dir + QStringLiteral("/sg") + QString::number(r, 16).toUpper() +
                                 QStringLiteral(".tmp");
            if (QFile::exists(name))
                continue;
            tmp.setFileName(name);
            if (tmp.open(QIODevice::ReadWrite | QIODevice::NewOnly))
                return true;
            if (!QFile::exists(name))
                break; // the folder is not writable
        }
        tmpFailed = true;
        w->DoLog(QStringLiteral("Cannot create a temporary file in ") + dir);
        return false;
    }

    static size_t WriteImpl(char *data, size_t size, size_t n, void *ud) {
        auto *t = static_cast<THttpTransfer *>(ud);
        THttpWorkerBase *w = t->w;
        const size_t len = size * n;
        if (w->Terminated())
            return 0;
        if (!t->headersDone && !t->ProcessHeaders())
            return 0;
        if (w->FTToFile) {
            if (t->tmp.write(data, qint64(len)) != qint64(len)) {
                t->writeFailed = true;
                return 0;
            }
        } else {
            t->memory.append(data, qsizetype(len));
        }
        w->BytesToRead = qint64(len);
        w->BytesReaded += qint64(len);
        if (w->Terminated())
            return 0;
        w->ReportAnswerProgress();
        return len;
    }

    static size_t ReadImpl(char *buffer, size_t size, size_t n, void *ud) {
        auto *t = static_cast<THttpTransfer *>(ud);
        THttpWorkerBase *w = t->w;
        if (w->Terminated())
            return CURL_READFUNC_ABORT;
        const qint64 room = qint64(size * n);
        const qint64 want = std::min(room, t->uploadTotal - t->uploadSent);
        if (want <= 0)
            return 0;
        const qint64 got = t->reader->Read(buffer, want);
        if (got != want) {
            t->readFailed = true;
            w->DoLog(QStringLiteral("Upload body could not be read"));
            return CURL_READFUNC_ABORT;
        }
        const qint64 before = t->uploadSent;
        t->uploadSent += got;
        w->BytesReaded = t->uploadSent;
        // One notification per chunk of the body, as if it went out 4096 bytes
        // at a time; libcurl gets larger pieces because that is much faster.
        for (qint64 edge = (before / kChunkSize + 1) * kChunkSize; edge <= t->uploadSent;
             edge += kChunkSize)
            w->ReportUploadProgress(edge);
        if (t->uploadSent == t->uploadTotal && t->uploadTotal % kChunkSize != 0)
            w->ReportUploadProgress(t->uploadTotal);
        return size_t(got);
    }

    static int XferImpl(void *ud, curl_off_t dlnow, curl_off_t ulnow) {
        auto *t = static_cast<THttpTransfer *>(ud);
        if (t->w->Terminated())
            return 1;
        t->w->FlushUploadProgress(); // a value held back by the interval goes out now
        const curl_off_t moved = dlnow + ulnow;
        if (moved != t->lastMoved || !t->sinceMove.isValid()) {
            t->lastMoved = moved;
            t->sinceMove.restart();
        } else if (t->w->FTStallTimeout > 0 && t->sinceMove.elapsed() > t->w->FTStallTimeout) {
            t->stalled = true;
            return 1;
        }
        return 0;
    }

    // The callbacks run inside libcurl: nothing may be thrown through it, so a
    // failure in our part ends the transfer instead.
    static size_t HeaderCb(char *data, size_t size, size_t n, void *ud) {
        try {
            return HeaderImpl(data, size, n, ud);
        } catch (...) {
            return 0;
        }
    }
    static size_t WriteCb(char *data, size_t size, size_t n, void *ud) {
        try {
            return WriteImpl(data, size, n, ud);
        } catch (...) {
            return 0;
        }
    }
    static size_t ReadCb(char *buffer, size_t size, size_t n, void *ud) {
        try {
            return ReadImpl(buffer, size, n, ud);
        } catch (...) {
            return CURL_READFUNC_ABORT;
        }
    }
    static int XferCb(void *ud, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        try {
            return XferImpl(ud, dlnow, ulnow);
        } catch (...) {
            return 1;
        }
    }

    void DropTemp() {
        if (tmp.isOpen())
            tmp.close();
        if (!tmp.fileName().isEmpty())
            tmp.remove();
    }
};

// ---------------------------------------------------------------------------
// THttpWorkerBase

THttpWorkerBase::THttpWorkerBase(THttpRequestBase *owner, bool bToFile) : FOwner(owner) {
    FTToFile = bToFile;
    if (owner) {
        FTConnectTimeout = owner->FConnectTimeout;
        FTStallTimeout = owner->FStallTimeout;
        FTProgressInterval = owner->FProgressInterval;
        FTCACertFile = owner->FCACertFile.isEmpty() ? THttpRequestBase::DefaultCACertFile()
                                                    : owner->FCACertFile;
    }
}

THttpWorkerBase::~THttpWorkerBase() = default;

void THttpWorkerBase::Terminate() {
    FTerminated.store(true);
    { std::lock_guard<std::mutex> lk(FWaitLock); }
    FWaitCond.notify_all();
    // A worker waiting for the network notices the stop at once.
    std::lock_guard<std::mutex> lk(FMultiLock);
    if (FMulti)
        curl_multi_wakeup(static_cast<CURLM *>(FMulti));
}

int THttpWorkerBase::Perform(void *easy) {
    CURL *h = static_cast<CURL *>(easy);
    CURLM *multi = curl_multi_init();
    if (!multi)
        return curl_easy_perform(h);
    curl_multi_add_handle(multi, h);
    {
        std::lock_guard<std::mutex> lk(FMultiLock);
        FMulti = multi;
    }
    CURLcode rc = CURLE_ABORTED_BY_CALLBACK;
    int running = 1;
    while (!Terminated()) {
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            rc = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int left = 0;
            rc = CURLE_RECV_ERROR;
            while (CURLMsg *msg = curl_multi_info_read(multi, &left))
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == h)
                    rc = msg->data.result;
            break;
        }
        // Wakes for the network, for Terminate, and at least once a second.
        if (curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
            rc = CURLE_FAILED_INIT;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lk(FMultiLock);
        FMulti = nullptr;
    }
    curl_multi_remove_handle(multi, h);
    curl_multi_cleanup(multi);
    return rc;
}

void THttpWorkerBase::DoLog(const QString &aLog) {
    std::lock_guard<std::mutex> lk(FLogLock);
    if (FLogDetached)
        return; // an abandoned request logs nothing more
    if (FOnLog)
        FOnLog(aLog);
    else
        RqDebugLog::Log(FLogTag, aLog);
}

void THttpWorkerBase::DetachOwner() {
    {
        std::lock_guard<std::mutex> lk(FOwnerLock);
        FOwner = nullptr;
    }
    // Waits for a log line under way; the handler may belong to a component
    // that is being destroyed.
    std::lock_guard<std::mutex> lk(FLogLock);
    FLogDetached = true;
    FOnLog = nullptr;
}

bool THttpWorkerBase::PostToOwner(std::function<void(THttpRequestBase *)> fn) {
    std::lock_guard<std::mutex> lk(FOwnerLock);
    THttpRequestBase *owner = FOwner;
    if (!owner)
        return false;
    // The component is the context: if it is destroyed before the call runs,
    // Qt drops the call, and the component cannot be destroyed while we hold
    // the lock because its destructor detaches us under the same lock first.
    return QMetaObject::invokeMethod(
        owner, [owner, fn = std::move(fn)] { fn(owner); }, Qt::QueuedConnection);
}

void THttpWorkerBase::ReportUploadProgress(qint64 done) {
    if (!FHasProgress.load())
        return;
    FUploadLatest.store(done);
    // Waking the UI thread for every 4096 bytes of a fast link costs more than
    // sending them; notifications closer together than the interval merge (the
    // last one and any value left over are always delivered, see below).
    if (done != FUploadTotal && FTProgressInterval > 0 && FLastUploadPost.isValid() &&
        FLastUploadPost.nsecsElapsed() < qint64(FTProgressInterval) * 1000000) {
        FUploadUnposted = true;
        return;
    }
    FUploadUnposted = false;
    if (FUploadPending.exchange(true))
        return; // a call is on its way and will read the latest value
    FLastUploadPost.start();
    auto self = shared_from_this();
    const qint64 total = FUploadTotal;
    if (!PostToOwner([self, total](THttpRequestBase *owner) {
            self->FUploadPending.store(false);
            const qint64 v = self->FUploadLatest.load();
            const qint64 from = self->FUploadDelivered;
            if (v <= from)
                return;
            // libcurl takes the body in pieces of many chunks, so the chunks of
            // one piece are reported in a burst that a single call carries.
            // While the UI thread keeps up (at most one piece behind) each
            // chunk still gets its own notification; further behind, only the
            // latest value counts.
            std::vector<qint64> values;
            if (self->FTProgressInterval <= 0 && v - from <= kUploadPiece)
                for (qint64 edge = (from / kChunkSize + 1) * kChunkSize; edge < v;
                     edge += kChunkSize)
                    values.push_back(edge);
            values.push_back(v);
            // A copy: a handler that aborts or destroys the component clears
            // FTProgress, which must not destroy the handler while it runs.
            const TOnProgressEvent handler = self->FTProgress;
            const QPointer<THttpRequestBase> alive(owner);
            for (const qint64 value : values) {
                if (!alive || owner->FThread != self || !handler)
                    return;
                self->FUploadDelivered = value;
                handler(self.get(), total, value);
            }
        }))
        FUploadPending.store(false);
}

void THttpWorkerBase::FlushUploadProgress() {
    if (FUploadUnposted)
        ReportUploadProgress(FUploadLatest.load());
}

void THttpWorkerBase::ReportAnswerProgress() {
    if (!FHasProgress.load())
        return;
    std::uint64_t seq;
    {
        std::lock_guard<std::mutex> lk(FWaitLock);
        seq = ++FAnswerPosted;
    }
    auto self = shared_from_this();
    const qint64 total = FTFileSize;
    const qint64 done = BytesReaded;
    const bool posted = PostToOwner([self, seq, total, done](THttpRequestBase *owner) {
        const TOnProgressEvent handler = self->FTProgress; // see ReportUploadProgress
        if (owner->FThread == self && handler)
            handler(self.get(), total, done);
        {
            std::lock_guard<std::mutex> lk(self->FWaitLock);
            self->FAnswerDone = std::max(self->FAnswerDone, seq);
        }
        self->FWaitCond.notify_all();
    });
    if (!posted)
        return;
    // Wait for the handler, but never past a stop request: Abort and the
    // component's destructor wake us, so a busy component can always go away.
    std::unique_lock<std::mutex> lk(FWaitLock);
    FWaitCond.wait(lk, [&] { return FAnswerDone >= seq || FTerminated.load(); });
}

void THttpWorkerBase::Start() {
    EnsureCurl();
    {
        std::lock_guard<std::mutex> lk(Workers().Lock);
        ++Workers().Count;
    }
    auto self = shared_from_this();
    try {
        std::thread([self]() mutable {
            self->Run();
            self.reset();
            std::lock_guard<std::mutex> lk(Workers().Lock);
            --Workers().Count;
            Workers().Cond.notify_all();
        }).detach();
    } catch (...) {
        {
            std::lock_guard<std::mutex> lk(Workers().Lock);
            --Workers().Count;
        }
        DoLog(QStringLiteral("Cannot start the request thread"));
        FTResult = false;
        PostToOwner([self](THttpRequestBase *owner) { owner->ThreadDone(self); });
    }
}

void THttpWorkerBase::Run() {
    try {
        Execute();
    } catch (...) {
        // A failure inside the worker ends the request; FTResult keeps its value.
    }
    auto self = shared_from_this();
    PostToOwner([self](THttpRequestBase *owner) { owner->ThreadDone(self); });
}

void THttpWorkerBase::Execute() {
    const THttpParsedURL u = HttpParseURL(FTURL);
    FHttpSSL = u.HttpSSL;
    DoLog(QStringLiteral("ParseURL: ") + HttpMaskSecrets(FTURL));
    DoLog(QStringLiteral("ParseURL: ") + u.Host +
          (u.ExplicitPort ? u':' + QString::number(u.Port) : QString()));
    DoLog(QStringLiteral("ParseURL: ") + HttpMaskSecrets(u.Object));
    if (Terminated()) {
        FTResult = false;
        return;
    }

    const bool post = !FTPostBody.IsEmpty() || !FTPostBody.Error().isEmpty();
    DoLog(post ? QStringLiteral("POST") : QStringLiteral("GET"));
    QString accept = FTAcceptTypes;
    if (accept.isEmpty() && FStarWhenNoAccept)
        accept = QStringLiteral("*");
    if (FLogAcceptType)
        DoLog(FTAcceptTypes);

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    bool opened = curl && u.Valid;
    const QByteArray scheme = u.HttpSSL ? "https://" : "http://";
    const QByteArray address =
        scheme + u.Host.toUtf8() + ':' + QByteArray::number(u.Port) + EncodeObjectPath(u.Object);
    if (opened)
        opened = curl_easy_setopt(curl.get(), CURLOPT_URL, address.constData()) == CURLE_OK;
    DoLog(opened ? QStringLiteral("HttpOpenRequest ok!")
                 : QStringLiteral("HttpOpenRequest failed!"));
    if (!opened) {
        FTResult = false;
        return;
    }
    if (!FTPostBody.Error().isEmpty()) {
        DoLog(FTPostBody.Error());
        FTResult = false;
        return;
    }

    CURL *h = curl.get();
    THttpTransfer t;
    t.w = this;
    char errorText[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    const QByteArray agent = FTAgent.toUtf8();
    if (!agent.isEmpty())
        curl_easy_setopt(h, CURLOPT_USERAGENT, agent.constData());
    const QByteArray referer = FTReferer.toUtf8();
    if (!referer.isEmpty())
        curl_easy_setopt(h, CURLOPT_REFERER, referer.constData());
    const QByteArray user = FTUserName.toUtf8();
    const QByteArray password = FTPassword.toUtf8();
    if (!user.isEmpty())
        curl_easy_setopt(h, CURLOPT_USERNAME, user.constData());
    if (!password.isEmpty())
        curl_easy_setopt(h, CURLOPT_PASSWORD, password.constData());
    if (FTConnectTimeout > 0)
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(FTConnectTimeout));
    // Certificates and their host names are always checked: the address
    // carries the account's access token.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    const QByteArray caFile = QFile::encodeName(FTCACertFile);
    if (!caFile.isEmpty())
        curl_easy_setopt(h, CURLOPT_CAINFO, caFile.constData());
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReadPiece);
    curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, kUploadPiece);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &THttpTransfer::HeaderCb);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &THttpTransfer::WriteCb);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &THttpTransfer::XferCb);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);

    struct curl_slist *headers = nullptr;
    auto addHeader = [&headers](const QByteArray &line) {
        headers = curl_slist_append(headers, line.constData());
    };
    addHeader(accept.isEmpty() ? QByteArray("Accept:") : "Accept: " + accept.toUtf8());
    QByteArray smallBody;
    if (post) {
        addHeader(FTContentType.isEmpty()
                      ? QByteArray("Content-Type: application/x-www-form-urlencoded")
                      : FTContentType.toUtf8());
        if (FSendAcceptCharset) {
            FTCharset = QStringLiteral("Accept-Charset: ISO-8859-1,utf-8;q=0.7,*;q=0.7");
            addHeader(FTCharset.toUtf8());
        }
        addHeader("Expect:");
        const qint64 size = FTPostBody.Size();
        if (!FStreamLargeBody || size <= kChunkSize) {
            // Small bodies go out in the same call as the request, no progress.
            smallBody = FTPostBody.ToByteArray();
            if (smallBody.size() != size) {
                DoLog(QStringLiteral("Upload body could not be read"));
                curl_slist_free_all(headers);
                FTResult = false;
                return;
            }
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(smallBody.size()));
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, smallBody.constData());
        } else {
            FTFileSize = size;
            FUploadTotal = size;
            BytesReaded = 0;
            t.uploadTotal = size;
            t.reader = std::make_unique<THttpBodyReader>(FTPostBody);
            curl_easy_setopt(h, CURLOPT_POST, 1L);
            curl_easy_setopt(h, CURLOPT_READFUNCTION, &THttpTransfer::ReadCb);
            curl_easy_setopt(h, CURLOPT_READDATA, &t);
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(size));
        }
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);

    const CURLcode rc = static_cast<CURLcode>(Perform(h));
    curl_slist_free_all(headers);
    const bool transferOk = rc == CURLE_OK;
    if (!transferOk && !Terminated()) {
        if (t.stalled)
            DoLog(QStringLiteral("Connection stalled: nothing moved for ") +
                  QString::number(FTStallTimeout) + QStringLiteral(" ms"));
        else
            DoLog(QStringLiteral("Request failed: ") +
                  QString::fromUtf8(errorText[0] ? errorText : curl_easy_strerror(rc)));
    }
    if (Terminated()) {
        t.DropTemp();
        FTResult = false;
        return;
    }
    if (transferOk && !t.headersDone && !t.ProcessHeaders()) {
        t.DropTemp();
        FTResult = false;
        return;
    }
    if (t.refusedBinary || t.readFailed || t.tmpFailed || !t.headersDone) {
        t.DropTemp();
        FTResult = false;
        return;
    }

    if (FTToFile) {
        t.tmp.flush();
        FTResult = transferOk && !t.writeFailed && FTFileSize == BytesReaded;
        // An answer known to be cut short (an error on the way, or fewer bytes
        // than announced) never replaces what the destination holds.
        const bool complete =
            transferOk && !t.writeFailed && (!t.hasLength || t.contentLength == BytesReaded);
        if (complete) {
            const QFileInfo target(FTFileName);
            if (FTFileName.isEmpty() || !QDir().mkpath(target.absolutePath())) {
                DoLog(QStringLiteral("Cannot create the folder of ") + FTFileName);
                FTResult = false;
            } else {
                QSaveFile out(FTFileName);
                bool ok = out.open(QIODevice::WriteOnly) && t.tmp.seek(0);
                while (ok && !t.tmp.atEnd()) {
                    const QByteArray block = t.tmp.read(kUploadPiece);
                    ok = !block.isEmpty() && out.write(block) == block.size();
                }
                ok = ok && out.commit();
                if (!ok) {
                    out.cancelWriting();
                    DoLog(QStringLiteral("Cannot write ") + FTFileName);
                    FTResult = false;
                }
            }
        }
        t.DropTemp();
    } else {
        const QByteArray &bytes = t.memory;
        if (FDecodeByContentType) {
            FTStringResult = t.isUTF ? QString::fromUtf8(bytes) : HttpFromAnsi(bytes);
        } else {
            switch (FHttpCharset) {
            case KUnicode: {
                const qsizetype units = bytes.size() / 2;
                QString text(units, Qt::Uninitialized);
                for (qsizetype i = 0; i < units; ++i)
                    text[i] = QChar(qFromLittleEndian<quint16>(bytes.constData() + 2 * i));
                FTStringResult = text;
                break;
            }
            case KUTF8:
                FTStringResult = QString::fromUtf8(bytes);
                break;
            case KAnsi:
            default:
                FTStringResult = HttpFromAnsi(bytes);
                break;
            }
        }
        FTResult = transferOk && BytesReaded > 0;
    }
}

// ---------------------------------------------------------------------------
// THttpRequestBase

THttpRequestBase::THttpRequestBase(QObject *aOwner) : QObject(aOwner) {
    EnsureCurl();
}

THttpRequestBase::~THttpRequestBase() {
    Abort();
}

QString THttpRequestBase::DefaultCACertFile() {
    std::lock_guard<std::mutex> lk(g_defaultCALock);
    return g_defaultCA;
}

void THttpRequestBase::SetDefaultCACertFile(const QString &path) {
    std::lock_guard<std::mutex> lk(g_defaultCALock);
    g_defaultCA = path;
}

void THttpRequestBase::CopySettingsTo(THttpWorkerBase &w) const {
    w.FTAcceptTypes = FAcceptTypes;
    w.FTAgent = FAgent;
    w.FTURL = FURL;
    w.FTFileName = FFileName;
    w.FTUserName = FUserName;
    w.FTPassword = FPassword;
    w.FTContentType = FContentType;
    w.FTReferer = FReferer;
    w.FTBinaryData = FBinaryData;
    w.FTUseCache = FUseCache;
    w.FTProgress = OnProgress;
    w.FHasProgress.store(bool(OnProgress));
    w.FOnLog = OnLog;
}

void THttpRequestBase::GetFile() {
    StartRequest(true);
}

void THttpRequestBase::GetString() {
    StartRequest(false);
}

void THttpRequestBase::StartRequest(bool bToFile) {
    if (FThread)
        return; // one request at a time; a start while busy is ignored
    FAbort = false;
    std::shared_ptr<THttpWorkerBase> worker = CreateWorker(bToFile);
    FThread = worker;
    worker->Start();
    if (!FWaitThread)
        return;
    QPointer<THttpRequestBase> alive(this);
    while (alive && FThread == worker)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void THttpRequestBase::Abort() {
    if (!FThread)
        return;
    std::shared_ptr<THttpWorkerBase> worker = std::move(FThread);
    FThread.reset();
    worker->FTProgress = nullptr;
    worker->FHasProgress.store(false);
    worker->DetachOwner();
    worker->Terminate();
    FAbort = true;
}

void THttpRequestBase::ThreadDone(const std::shared_ptr<THttpWorkerBase> &worker) {
    if (!FThread || FThread != worker)
        return; // abandoned request: nothing to report
    std::shared_ptr<THttpWorkerBase> w = worker;
    FThread.reset();
    FResult = w->FTResult;
    // Handlers are called through copies: one that destroys the component
    // destroys the members, and its own captures must live until it returns.
    if (FResult) {
        if (w->FTToFile) {
            if (const TOnDoneFileEvent handler = OnDoneFile)
                handler(this, w->FTFileName, w->FTFileSize);
        } else if (const TOnDoneStringEvent handler = OnDoneString) {
            handler(this, w->FTStringResult);
        }
    } else if (!FAbort) {
        if (const TNotifyEvent handler = OnError)
            handler(this);
    }
}

bool THttpRequestBase::WaitForWorkers(int msecs) {
    std::unique_lock<std::mutex> lk(Workers().Lock);
    return Workers().Cond.wait_for(lk, std::chrono::milliseconds(msecs),
                                   [] { return Workers().Count == 0; });
}

int THttpRequestBase::RunningWorkers() {
    std::lock_guard<std::mutex> lk(Workers().Lock);
    return Workers().Count;
}
