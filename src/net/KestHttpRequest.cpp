#include "net/KestHttpRequest.h"

#include <QFile>

#include <algorithm>

namespace {

const QByteArray kCRLF("\r\n");

// The extension of a path's file name, with its dot ("" when none).
QString ExtensionOf(const QString &path) {
    const qsizetype slash = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
    const qsizetype dot = path.lastIndexOf(u'.');
    if (dot < 0 || dot < slash)
        return QString();
    return path.mid(dot).toUpper();
}

} // namespace

// ---------------------------------------------------------------------------

TKestHttpRequestThread::TKestHttpRequestThread(TKestHttpRequest *httprequest, bool bToFile)
    : THttpWorkerBase(httprequest, bToFile) {
    FStreamLargeBody = true;
    FSendAcceptCharset = true;
    FLogAcceptType = true;
    FStarWhenNoAccept = false;
    FDecodeByContentType = true;
    FLogTag = QStringLiteral("KestHttpRequest");
    if (httprequest) {
        httprequest->CopySettingsTo(*this);
        FTPostBody = httprequest->PostBody();
    }
}

// ---------------------------------------------------------------------------

TKestHttpRequest::TKestHttpRequest(QObject *aOwner) : THttpRequestBase(aOwner) {}

TKestHttpRequest::~TKestHttpRequest() {
    Abort();
}

std::shared_ptr<THttpWorkerBase> TKestHttpRequest::CreateWorker(bool bToFile) {
    return std::make_shared<TKestHttpRequestThread>(this, bToFile);
}

void TKestHttpRequest::SetPostValues(const QStringList &slValues) {
    FPostQuery = THttpBody(HttpFormEncodeValues(slValues));
}

QByteArray TKestHttpRequest::ContentTypeLineFor(const QString &path) {
    const QString ext = ExtensionOf(path);
    if (ext == u".JPG" || ext == u".JPEG")
        return "Content-Type: image/jpeg";
    if (ext == u".PNG")
        return "Content-Type: image/x-png";
    if (ext == u".PDF")
        return "Content-Type: application/pdf";
    if (ext == u".HTML")
        return "Content-Type: text/html";
    if (ext == u".GIF")
        return "Content-Type: image/gif";
    if (ext == u".BMP")
        return "Content-Type: image/bmp";
    if (ext == u".AVI")
        return "Content-Type: video/x-msvideo";
    if (ext == u".MOV")
        return "Content-Type: video/quicktime";
    if (ext == u".MPG" || ext == u".MPEG" || ext == u".MPE")
        return "Content-Type: video/mpeg";
    if (ext == u".WMV")
        return "Content-Type: video/wmv";
    return QByteArray();
}

bool TKestHttpRequest::SetUploadFiles(const QStringList &slValues, const QStringList &slFiles) {
    const QByteArray boundary(KestMultipartBoundary);
    THttpBody body;
    bool allRead = true;
    for (const QString &entry : slValues) {
        QString name, value;
        HttpSplitEntry(entry, name, value);
        body.AppendBytes("--" + boundary + kCRLF + "Content-Disposition: form-data; name=\"" +
                         HttpToAnsi(name) + "\"" + kCRLF + kCRLF + value.toUtf8() + kCRLF);
    }
    for (const QString &entry : slFiles) {
        QString field, path;
        HttpSplitEntry(entry, field, path);
        QByteArray head = "--" + boundary + kCRLF + "Content-Disposition: form-data; name=\"" +
                          HttpToAnsi(field) + "\"; filename=\"" + HttpToAnsi(path) + "\"" + kCRLF;
        if (path.isEmpty()) {
            body.AppendBytes(head + "Content-Transfer-Encoding: binary" + kCRLF + kCRLF);
            continue;
        }
        const QByteArray type = ContentTypeLineFor(path);
        if (!type.isEmpty())
            head += type + kCRLF;
        head += kCRLF;
        body.AppendBytes(head);
        // The file's bytes stay on disk; they are read while the body is sent.
        if (!body.AppendFile(path))
            allRead = false;
        body.AppendBytes(kCRLF);
    }
    body.AppendBytes("--" + boundary + "--" + kCRLF);
    FPostQuery = body;
    FContentType = QStringLiteral("Content-Type: multipart/form-data; boundary=") +
                   QString::fromLatin1(boundary);
    return allRead;
}

// ---------------------------------------------------------------------------

QString TFilePostGen::ContentTypeLineFor(const QString &path) {
    const QString ext = ExtensionOf(path);
    if (ext == u".JPG" || ext == u".JPEG")
        return QStringLiteral("Content-Type: image/pjpeg");
    if (ext == u".PNG")
        return QStringLiteral("Content-Type: image/x-png");
    if (ext == u".PDF")
        return QStringLiteral("Content-Type: application/pdf");
    if (ext == u".HTML")
        return QStringLiteral("Content-Type: text/html");
    return QString();
}

void TFilePostGen::Make(const QStringList &slValues, const QStringList &slFiles) {
    const QString boundary = QStringLiteral("---------------------------989989989");
    const QString crlf = QStringLiteral("\r\n");
    QString out;
    for (const QString &entry : slValues) {
        QString name, value;
        HttpSplitEntry(entry, name, value);
        out += QStringLiteral("--") + boundary + crlf +
               QStringLiteral("Content-Disposition: form-data; name=\"") + name + u'"' + crlf +
               crlf + HttpFromAnsi(HttpFormEncode(HttpToAnsi(value))) + crlf;
    }
    for (const QString &entry : slFiles) {
        QString field, path;
        HttpSplitEntry(entry, field, path);
        out += QStringLiteral("--") + boundary + crlf +
               QStringLiteral("Content-Disposition: form-data; name=\"") + field +
               QStringLiteral("\"; filename=\"") + path + u'"' + crlf;
        if (path.isEmpty()) {
            out += QStringLiteral("Content-Transfer-Encoding: binary") + crlf + crlf;
            continue;
        }
        const QString type = ContentTypeLineFor(path);
        if (!type.isEmpty())
            out += type + crlf;
        out += crlf;
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            out += HttpFromAnsi(f.readAll());
        out += crlf;
    }
    out += QStringLiteral("--") + boundary + QStringLiteral("--") + crlf;
    FPostData = out;
    FHeaders = QStringLiteral("Content-Type: multipart/form-data; boundary=") + boundary;
}
