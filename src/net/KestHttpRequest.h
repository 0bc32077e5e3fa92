#pragma once

// The HTTP request engine: one HTTP or HTTPS request at a time on a worker
// thread, with form-encoded and multipart bodies, progress and completion
// events. Failures are OnError events, never exceptions.

#include "net/DownloaderDef.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class TKestHttpRequest;

// The worker of one TKestHttpRequest request. Bodies above 4096 bytes are
// streamed in chunks of at most 4096 bytes with a progress notification after
// each; the answer's Content-Type decides UTF-8 ("UTF") or the 8-bit code page.
class TKestHttpRequestThread : public THttpWorkerBase {
public:
    TKestHttpRequestThread(TKestHttpRequest *httprequest, bool bToFile);
};

// The multipart boundary of TKestHttpRequest bodies.
inline constexpr char KestMultipartBoundary[] = "---------------------------989989989989888";

class TKestHttpRequest : public THttpRequestBase {
    Q_OBJECT
    Q_PROPERTY(QByteArray PostQuery READ PostQuery WRITE SetPostQuery)

public:
    explicit TKestHttpRequest(QObject *aOwner = nullptr);
    ~TKestHttpRequest() override;

    // The request body; non-empty makes the request a POST. Reading it yields
    // the whole body (file parts are read from disk then).
    QByteArray PostQuery() const { return FPostQuery.ToByteArray(); }
    void SetPostQuery(const QByteArray &v) { FPostQuery = THttpBody(v); }
    // The body as built, file parts still on disk (what a request sends).
    const THttpBody &PostBody() const { return FPostQuery; }
    void SetPostBody(const THttpBody &v) { FPostQuery = v; }

    // name=value entries -> form-encoded body. ContentType is left alone.
    void SetPostValues(const QStringList &slValues);
    // name=value entries and field=path entries -> multipart/form-data body and
    // the matching ContentType line. The files' bytes stay on disk until sent.
    // False when a file cannot be read: the body is then marked broken and a
    // request made with it ends with OnError without sending anything.
    bool SetUploadFiles(const QStringList &slValues, const QStringList &slFiles);

    // The Content-Type line for a file part, from the path's extension (any
    // case); empty when the extension is not known.
    static QByteArray ContentTypeLineFor(const QString &path);

protected:
    std::shared_ptr<THttpWorkerBase> CreateWorker(bool bToFile) override;

private:
    THttpBody FPostQuery;
};

// Builds a multipart/form-data body as text (TSingleDownloader's bodies):
// values form-encoded, files' bytes as 8-bit text, boundary
// "---------------------------989989989".
class TFilePostGen {
public:
    void Make(const QStringList &slValues, const QStringList &slFiles);
    const QString &PostData() const { return FPostData; }
    const QString &Headers() const { return FHeaders; }

    static QString ContentTypeLineFor(const QString &path);

private:
    QString FPostData;
    QString FHeaders;
};
