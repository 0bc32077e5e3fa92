// TSingleDownloader: where it differs from the request engine.

#include "NetTestUtil.h"
#include "TestServers.h"

#include "net/SingleDownloader.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

RawServer::Handler Reply(const QByteArray &answer) {
    return [answer](RawConn &c) {
        c.ReadRequest();
        c.Send(answer);
        c.Close();
    };
}

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(SingleDownloader, CharsetDecidesHowTextIsDecoded) {
    struct Case {
        THttpCharset charset;
        QByteArray bytes;
        QString text;
    };
    const Case cases[] = {
        // UTF-16LE "AB" and an odd last byte that is ignored.
        {KUnicode, QByteArray("A\0B\0C", 5), u"AB"_s},
        {KUnicode, QByteArray("\xAC\x20", 2), u"\u20ac"_s},
        {KUTF8, "\xC3\xA9", u"\u00e9"_s},
        // The answer's Content-Type does not matter here.
        {KAnsi, "\xC3\xA9", QString::fromLatin1("\xC3\xA9")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.charset));
        RawServer srv(Reply(RawServer::Answer(c.bytes, "200 OK", "text/plain; charset=UTF-8")));
        TSingleDownloader d;
        TEvents ev;
        ev.Attach(d);
        d.SetHttpCharset(c.charset);
        d.SetURL(srv.Url(u"/t"_s));
        d.GetString();
        ASSERT_TRUE(ev.WaitDone());
        EXPECT_EQ(ev.Strings, QStringList{c.text});
    }
}

TEST(SingleDownloader, DownloadToFileInPiecesWithProgress) {
    QTemporaryDir dir;
    QByteArray data(20000, 'p');
    data[0] = 'S';
    data[19999] = 'E';
    RawServer srv(Reply(RawServer::Answer(data, "200 OK", "image/jpeg")));
    TSingleDownloader d;
    TEvents ev;
    ev.Attach(d);
    const QString target = dir.filePath(u"cache/album.jpg"_s);
    d.SetBinaryData(true);
    d.SetURL(srv.Url(u"/a.jpg"_s));
    d.SetFileName(target);
    d.GetFile();
    ASSERT_TRUE(ev.WaitDone());
    ASSERT_EQ(ev.Files, QStringList{target});
    EXPECT_EQ(ev.FileSizes.at(0), 20000);
    EXPECT_EQ(ev.DoneSenders.at(0), &d);
    EXPECT_EQ(ReadFile(target), data);
    ASSERT_GE(ev.Progress.size(), 2u);
    qint64 last = 0;
    for (const auto &p : ev.Progress) {
        EXPECT_EQ(p.first, 20000);
        EXPECT_LE(p.second - last, 16384);
        last = p.second;
    }
    EXPECT_EQ(last, 20000);
}

TEST(SingleDownloader, EmptyAcceptTypeSendsStarAndIsNotLogged) {
    RawServer srv(Reply(RawServer::Answer("x")));
    TSingleDownloader d;
    TEvents ev;
    ev.Attach(d);
    QStringList log;
    std::mutex lock;
    d.OnLog = [&](const QString &line) {
        std::lock_guard<std::mutex> lk(lock);
        log << line;
    };
    d.SetAcceptTypes(QString());
    d.SetURL(srv.Url(u"/a"_s));
    d.GetString();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_TRUE(srv.Requests().at(0).contains("\r\nAccept: *\r\n"));
    std::lock_guard<std::mutex> lk(lock);
    ASSERT_EQ(log.size(), 5);
    EXPECT_TRUE(log[0].startsWith(u"ParseURL: "_s));
    EXPECT_EQ(log[3], u"GET"_s);
    EXPECT_EQ(log[4], u"HttpOpenRequest ok!"_s);
}

TEST(SingleDownloader, PostBodyGoesInOneCallAs8BitBytes) {
    RawServer srv(Reply(RawServer::Answer("posted")));
    TSingleDownloader d;
    TEvents ev;
    ev.Attach(d);
    QString body(5000, u'a');
    body[10] = QChar(0xE9);
    d.SetPostQuery(body);
    d.SetURL(srv.Url(u"/p"_s));
    d.GetString();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Strings, QStringList{u"posted"_s});
    const QByteArray req = srv.Requests().at(0);
    EXPECT_TRUE(req.startsWith("POST /p HTTP/1.0\r\n"));
    EXPECT_TRUE(req.contains("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_TRUE(req.contains("\r\nContent-Length: 5000\r\n"));
    EXPECT_FALSE(req.contains("Accept-Charset"));
    EXPECT_EQ(req.mid(req.indexOf("\r\n\r\n") + 4), body.toLatin1());
    // Only the answer phase reports progress.
    for (const auto &p : ev.Progress)
        EXPECT_EQ(p.first, 6);
}

TEST(SingleDownloader, WaitThreadMakesGetStringWait) {
    RawServer srv(Reply(RawServer::Answer("version=2")));
    TSingleDownloader d;
    TEvents ev;
    ev.Attach(d);
    d.SetWaitThread(true);
    d.SetURL(srv.Url(u"/update"_s));
    d.GetString();
    EXPECT_EQ(ev.Strings, QStringList{u"version=2"_s});
}

TEST(SingleDownloader, PictureWithoutLengthLeavesTheCachedFile) {
    QTemporaryDir dir;
    const QString target = dir.filePath(u"pic.jpg"_s);
    {
        QFile f(target);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("cached");
    }
    RawServer srv(Reply("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n\r\nnew"));
    TSingleDownloader d;
    TEvents ev;
    ev.Attach(d);
    d.SetBinaryData(true);
    d.SetURL(srv.Url(u"/pic"_s));
    d.SetFileName(target);
    d.GetFile();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_EQ(ReadFile(target), QByteArray("cached"));
}

TEST(SingleDownloader, AbortThenDestroyReportsNothing) {
    RawServer srv([](RawConn &conn) {
        conn.ReadRequest();
        conn.WaitPeerClosed(10000);
    });
    TEvents ev;
    {
        TSingleDownloader d;
        ev.Attach(d);
        d.SetURL(srv.Url(u"/slow"_s));
        d.GetString();
        d.Abort();
        EXPECT_FALSE(d.Busy());
        d.GetString(); // a new request starts at once
        EXPECT_TRUE(d.Busy());
    }
    RunEventsFor(300);
    EXPECT_EQ(ev.Completions(), 0);
    EXPECT_TRUE(THttpRequestBase::WaitForWorkers(5000));
}
