#pragma once

// The framework's background downloader: one address at a time on a worker
// thread, into a file or a text. Same family as TKestHttpRequest; the body is
// text, never streamed, and HttpCharset chooses how a text answer is decoded.

#include "net/DownloaderDef.h"
#include "net/KestHttpRequest.h"

#include <QString>
#include <QStringList>

class TSingleDownloader;

class TSingleDownloaderThread : public THttpWorkerBase {
public:
    TSingleDownloaderThread(TSingleDownloader *downloader, bool bToFile);
};

class TSingleDownloader : public THttpRequestBase {
    Q_OBJECT
    Q_PROPERTY(QString PostQuery READ PostQuery WRITE SetPostQuery)
    Q_PROPERTY(DownloaderDef::THttpCharset HttpCharset READ HttpCharset WRITE SetHttpCharset)

public:
    explicit TSingleDownloader(QObject *aOwner = nullptr);
    ~TSingleDownloader() override;

    // The request body as text, sent in the 8-bit code page; non-empty: POST.
    QString PostQuery() const { return FPostQuery; }
    void SetPostQuery(const QString &v) { FPostQuery = v; }
    THttpCharset HttpCharset() const { return FHttpCharset; }
    void SetHttpCharset(THttpCharset v) { FHttpCharset = v; }

    void SetPostValues(const QStringList &slValues);
    void SetUploadFiles(const QStringList &slValues, const QStringList &slFiles);

protected:
    std::shared_ptr<THttpWorkerBase> CreateWorker(bool bToFile) override;

private:
    QString FPostQuery;
    THttpCharset FHttpCharset = KAnsi;
};
