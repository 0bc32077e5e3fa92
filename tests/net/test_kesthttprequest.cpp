// TKestHttpRequest against real servers on loopback: the bytes on the wire,
// answers, progress, abort, destruction, failures and https.

#include "NetTestUtil.h"
#include "TestServers.h"

#include "net/KestHttpRequest.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// No test may leave loopback: the system proxy variables are cleared, and at
// the end every worker (also abandoned ones) must have ended.
class NetEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                                 "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
            qunsetenv(name);
    }
    void TearDown() override { EXPECT_TRUE(THttpRequestBase::WaitForWorkers(15000)); }
};
[[maybe_unused]] ::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new NetEnvironment);

RawServer::Handler Reply(const QByteArray &answer) {
    return [answer](RawConn &c) {
        c.ReadRequest();
        c.Send(answer);
        c.Close();
    };
}

QByteArray HeadOf(const QByteArray &request) {
    return request.left(request.indexOf("\r\n\r\n") + 4);
}
QByteArray BodyOf(const QByteArray &request) {
    return request.mid(request.indexOf("\r\n\r\n") + 4);
}

void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}
QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
QByteArray Pattern(qint64 n) {
    QByteArray data(n, Qt::Uninitialized);
    for (qint64 i = 0; i < n; ++i)
        data[i] = char((i * 31) ^ (i >> 8));
    return data;
}

class KestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        tempDir = dir.filePath(u"tmp"_s);
        QDir().mkpath(tempDir);
        oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", tempDir.toLocal8Bit());
        r = std::make_unique<TKestHttpRequest>();
        r->SetConnectTimeout(5000);
        r->SetStallTimeout(5000);
        ev.Attach(*r);
        r->OnLog = [this](const QString &line) {
            std::lock_guard<std::mutex> lk(logLock);
            log << line;
        };
    }
    void TearDown() override {
        r.reset();
        THttpRequestBase::WaitForWorkers(5000);
        qputenv("TMPDIR", oldTmp);
    }
    QStringList Log() {
        std::lock_guard<std::mutex> lk(logLock);
        return log;
    }
    QStringList TempLeftovers() { return QDir(tempDir).entryList({u"sg*.tmp"_s}, QDir::Files); }
    std::vector<std::pair<qint64, qint64>> ProgressWithTotal(qint64 total) {
        std::vector<std::pair<qint64, qint64>> out;
        for (const auto &p : ev.Progress)
            if (p.first == total)
                out.push_back(p);
        return out;
    }

    QTemporaryDir dir;
    QString tempDir;
    QByteArray oldTmp;
    std::unique_ptr<TKestHttpRequest> r;
    TEvents ev;
    std::mutex logLock;
    QStringList log;
};

} // namespace

TEST_F(KestTest, GetSendsHttp10RequestLineAndAcceptType) {
    RawServer srv(Reply(RawServer::Answer("hello")));
    r->SetURL(srv.Url(u"/path?a=1"_s));
    r->SetAgent(u"Lumafinch"_s);
    r->SetReferer(u"http://ref.example/"_s);
    r->GetString();
    EXPECT_TRUE(r->Busy());
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_FALSE(r->Busy());
    EXPECT_TRUE(r->Result());
    ASSERT_EQ(ev.Strings, QStringList{u"hello"_s});
    EXPECT_EQ(ev.DoneSenders.at(0), r.get());

    const auto requests = srv.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const QByteArray &req = requests[0];
    EXPECT_TRUE(req.startsWith("GET /path?a=1 HTTP/1.0\r\n")) << req.constData();
    EXPECT_TRUE(req.contains("\r\nAccept: */*\r\n"));
    EXPECT_TRUE(
        req.contains(QByteArray("\r\nHost: 127.0.0.1:" + QByteArray::number(srv.Port()) + "\r\n")));
    EXPECT_TRUE(req.contains("\r\nUser-Agent: Lumafinch\r\n"));
    EXPECT_TRUE(req.contains("\r\nReferer: http://ref.example/\r\n"));
    EXPECT_FALSE(req.contains("Content-Type"));
    EXPECT_FALSE(req.contains("Content-Length"));
    EXPECT_FALSE(req.contains("Accept-Charset"));
    EXPECT_TRUE(req.endsWith("\r\n\r\n"));

    const QStringList lines = Log();
    ASSERT_GE(lines.size(), 6);
    EXPECT_EQ(lines[0], u"ParseURL: "_s + srv.Url(u"/path?a=1"_s));
    EXPECT_EQ(lines[1], u"ParseURL: 127.0.0.1:"_s + QString::number(srv.Port()));
    EXPECT_EQ(lines[2], u"ParseURL: /path?a=1"_s);
    EXPECT_EQ(lines[3], u"GET"_s);
    EXPECT_EQ(lines[4], u"*/*"_s);
    EXPECT_EQ(lines[5], u"HttpOpenRequest ok!"_s);
}

TEST_F(KestTest, FormPostWireBytes) {
    RawServer srv(Reply(RawServer::Answer("done")));
    r->SetURL(srv.Url(u"/form"_s));
    r->SetPostValues({u"a=a b&c"_s});
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    ASSERT_EQ(ev.Strings, QStringList{u"done"_s});
    const QByteArray req = srv.Requests().at(0);
    const QByteArray head = HeadOf(req);
    EXPECT_TRUE(head.startsWith("POST /form HTTP/1.0\r\n"));
    EXPECT_TRUE(head.contains("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_TRUE(head.contains("\r\nAccept-Charset: ISO-8859-1,utf-8;q=0.7,*;q=0.7\r\n"));
    EXPECT_TRUE(head.contains("\r\nContent-Length: 9\r\n"));
    EXPECT_TRUE(head.contains("\r\nAccept: */*\r\n"));
    EXPECT_FALSE(head.contains("Expect"));
    EXPECT_FALSE(head.contains("Transfer-Encoding"));
    EXPECT_EQ(BodyOf(req), QByteArray("a=a+b%26c"));
}

TEST_F(KestTest, MultipartPostStreamsFileBytesExactly) {
    const QString path = dir.filePath(u"photo.jpg"_s);
    const QByteArray data = Pattern(300000);
    WriteFile(path, data);
    RawServer srv(
        Reply(RawServer::Answer("{\"pid\":\"1\"}", "200 OK", "text/javascript; charset=UTF-8")));
    r->SetURL(srv.Url(u"/restserver.php"_s));
    ASSERT_TRUE(
        r->SetUploadFiles({u"caption=Hi"_s, u"method=photos.upload"_s}, {u"filename="_s + path}));
    const QByteArray expectedBody = r->PostQuery();
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    ASSERT_EQ(ev.Strings, QStringList{u"{\"pid\":\"1\"}"_s});
    const QByteArray req = srv.Requests().at(0);
    EXPECT_TRUE(HeadOf(req).contains("\r\nContent-Type: multipart/form-data; boundary="
                                     "---------------------------989989989989888\r\n"));
    EXPECT_TRUE(HeadOf(req).contains(
        QByteArray("\r\nContent-Length: " + QByteArray::number(expectedBody.size()) + "\r\n")));
    EXPECT_EQ(BodyOf(req), expectedBody);

    const auto upload = ProgressWithTotal(expectedBody.size());
    ASSERT_FALSE(upload.empty());
    for (size_t i = 1; i < upload.size(); ++i)
        EXPECT_GT(upload[i].second, upload[i - 1].second);
    EXPECT_EQ(upload.back().second, expectedBody.size());
    // The sender of progress is the request's worker, not the component.
    EXPECT_NE(ev.ProgressSenders.at(0), r.get());
}

TEST_F(KestTest, BodyUpTo4096GoesInOneCallLongerIsStreamedInChunks) {
    for (const qint64 n : {qint64(4096), qint64(4097)}) {
        SCOPED_TRACE(n);
        ev = TEvents();
        ev.Attach(*r);
        RawServer srv(Reply(RawServer::Answer("ok!")));
        r->SetURL(srv.Url(u"/up"_s));
        const QByteArray body = Pattern(n);
        r->SetPostQuery(body);
        r->GetString();
        ASSERT_TRUE(ev.WaitDone());
        ASSERT_EQ(ev.Strings, QStringList{u"ok!"_s});
        EXPECT_EQ(BodyOf(srv.Requests().at(0)), body);
        const auto upload = ProgressWithTotal(n);
        if (n == 4096) {
            EXPECT_TRUE(upload.empty());
        } else {
            // A 4096-byte chunk and a 1-byte chunk, one notification each,
            // although libcurl takes both in one piece.
            const std::vector<std::pair<qint64, qint64>> expected = {{4097, 4096}, {4097, 4097}};
            EXPECT_EQ(upload, expected);
        }
        // The answer phase reports against the answer's Content-Length.
        ASSERT_FALSE(ev.Progress.empty());
        EXPECT_EQ(ev.Progress.back(), std::make_pair(qint64(3), qint64(3)));
    }
}

TEST_F(KestTest, UploadProgressMergesWhenTheUiLagsButNeverGoesBack) {
    const QString path = dir.filePath(u"big.avi"_s);
    const qint64 size = 8 * 1024 * 1024;
    WriteFile(path, Pattern(size));
    RawServer srv(Reply(RawServer::Answer("ok")));
    r->SetURL(srv.Url(u"/big"_s));
    ASSERT_TRUE(r->SetUploadFiles({}, {u"file="_s + path}));
    const qint64 total = r->PostBody().Size();
    r->GetString();
    QThread::msleep(400); // the UI thread is busy: the worker must not wait for it
    ASSERT_TRUE(ev.WaitDone(20000));
    ASSERT_EQ(ev.Strings, QStringList{u"ok"_s});
    EXPECT_EQ(BodyOf(srv.Requests().at(0)).size(), total);
    const auto upload = ProgressWithTotal(total);
    ASSERT_FALSE(upload.empty());
    EXPECT_LT(qint64(upload.size()), total / 4096); // merged, not a queue of stale ones
    for (size_t i = 1; i < upload.size(); ++i)
        EXPECT_GT(upload[i].second, upload[i - 1].second);
    EXPECT_EQ(upload.back().second, total);
}

TEST_F(KestTest, AnswerWithAndWithoutContentLength) {
    struct Case {
        const char *name;
        QByteArray answer;
    };
    const Case cases[] = {
        {"with length", RawServer::Answer("text body")},
        {"without length", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\ntext body"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ev = TEvents();
        ev.Attach(*r);
        RawServer srv(Reply(c.answer));
        r->SetURL(srv.Url(u"/t"_s));
        r->GetString();
        ASSERT_TRUE(ev.WaitDone());
        EXPECT_EQ(ev.Strings, QStringList{u"text body"_s});
    }
}

TEST_F(KestTest, ErrorStatusWithBodyIsAnAnswerAnEmptyAnswerIsAFailure) {
    struct Case {
        const char *name;
        QByteArray answer;
        bool ok;
    };
    const Case cases[] = {
        {"404 with body", RawServer::Answer("not here", "404 Not Found"), true},
        {"500 with body", RawServer::Answer("{\"error\":1}", "500 Internal Server Error"), true},
        {"204 without body", "HTTP/1.0 204 No Content\r\n\r\n", false},
        {"200 empty", RawServer::Answer(""), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ev = TEvents();
        ev.Attach(*r);
        RawServer srv(Reply(c.answer));
        r->SetURL(srv.Url(u"/e"_s));
        r->GetString();
        ASSERT_TRUE(ev.WaitDone());
        EXPECT_EQ(ev.Strings.size(), c.ok ? 1 : 0);
        EXPECT_EQ(ev.Errors, c.ok ? 0 : 1);
        EXPECT_EQ(ev.DoneSenders.at(0), r.get());
    }
}

TEST_F(KestTest, OnlyUpperCaseUtfInContentTypeMeansUtf8) {
    struct Case {
        QByteArray contentType;
        QString text;
    };
    const Case cases[] = {
        {"text/javascript; charset=UTF-8", u"\u00e9\u20ac"_s},
        {"text/javascript; charset=utf-8", QString::fromLatin1("\xC3\xA9\xE2\x82\xAC")},
        {"text/plain", QString::fromLatin1("\xC3\xA9\xE2\x82\xAC")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.contentType.constData());
        ev = TEvents();
        ev.Attach(*r);
        RawServer srv(Reply(RawServer::Answer("\xC3\xA9\xE2\x82\xAC", "200 OK", c.contentType)));
        r->SetURL(srv.Url(u"/c"_s));
        r->GetString();
        ASSERT_TRUE(ev.WaitDone());
        EXPECT_EQ(ev.Strings, QStringList{c.text});
    }
}

TEST_F(KestTest, DownloadToFileCreatesFoldersAndReportsSize) {
    const QByteArray data = Pattern(40000);
    RawServer srv(Reply(RawServer::Answer(data, "200 OK", "image/jpeg")));
    const QString target = dir.filePath(u"cache/sub/deeper/pic.jpg"_s);
    r->SetURL(srv.Url(u"/pic.jpg"_s));
    r->SetFileName(target);
    r->SetBinaryData(true);
    r->GetFile();
    ASSERT_TRUE(ev.WaitDone());
    ASSERT_EQ(ev.Files, QStringList{target});
    EXPECT_EQ(ev.FileSizes.at(0), 40000);
    EXPECT_EQ(ReadFile(target), data);
    ASSERT_FALSE(ev.Progress.empty());
    qint64 last = 0;
    for (const auto &p : ev.Progress) {
        EXPECT_EQ(p.first, 40000);
        EXPECT_GT(p.second, last);
        EXPECT_LE(p.second - last, 16384);
        last = p.second;
    }
    EXPECT_EQ(last, 40000);
    EXPECT_TRUE(TempLeftovers().isEmpty());
}

TEST_F(KestTest, ToFileOutcomes) {
    struct Case {
        const char *name;
        QByteArray answer;
        bool binaryData;
        bool dropEarly; // close before the answer is complete
        bool ok;
        QByteArray fileAfter; // what the target holds afterwards
    };
    const QByteArray old = "previous picture";
    const Case cases[] = {
        {"no length, BinaryData off: written but failed", "HTTP/1.0 200 OK\r\n\r\nnew bytes", false,
         false, false, "new bytes"},
        {"no length, BinaryData on: not read", "HTTP/1.0 200 OK\r\n\r\nnew bytes", true, false,
         false, old},
        {"empty with length 0", RawServer::Answer(""), true, false, true, ""},
        {"short of its length: never replaces",
         "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nonly a part", true, true, false, old},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ev = TEvents();
        ev.Attach(*r);
        const QString target = dir.filePath(u"out.bin"_s);
        WriteFile(target, old);
        RawServer srv(Reply(c.answer));
        r->SetURL(srv.Url(u"/f"_s));
        r->SetFileName(target);
        r->SetBinaryData(c.binaryData);
        r->GetFile();
        ASSERT_TRUE(ev.WaitDone());
        EXPECT_EQ(ev.Files.size(), c.ok ? 1 : 0);
        EXPECT_EQ(ev.Errors, c.ok ? 0 : 1);
        EXPECT_EQ(ReadFile(target), c.fileAfter);
        EXPECT_TRUE(TempLeftovers().isEmpty()) << TempLeftovers().join(u' ').toStdString();
    }
}

TEST_F(KestTest, DestinationFolderThatCannotBeCreatedFails) {
    const QString blocker = dir.filePath(u"plainfile"_s);
    WriteFile(blocker, "x");
    RawServer srv(Reply(RawServer::Answer("data")));
    r->SetURL(srv.Url(u"/f"_s));
    r->SetFileName(blocker + u"/sub/out.bin"_s);
    r->GetFile();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_TRUE(TempLeftovers().isEmpty());
    EXPECT_EQ(ReadFile(blocker), QByteArray("x"));
}

TEST_F(KestTest, ServerDroppingOrStallingMidAnswerIsAFailure) {
    struct Case {
        const char *name;
        bool stall; // else drop
    };
    for (const Case &c : {Case{"drop", false}, Case{"stall", true}}) {
        SCOPED_TRACE(c.name);
        ev = TEvents();
        ev.Attach(*r);
        r->SetStallTimeout(600);
        RawServer srv([&c](RawConn &conn) {
            conn.ReadRequest();
            conn.Send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + QByteArray(500, 'a'));
            if (c.stall)
                conn.WaitPeerClosed(20000);
            conn.Close();
        });
        r->SetURL(srv.Url(u"/cut"_s));
        QElapsedTimer t;
        t.start();
        r->GetString();
        ASSERT_TRUE(ev.WaitDone());
        EXPECT_EQ(ev.Errors, 1);
        EXPECT_LT(t.elapsed(), 8000);
    }
}

TEST_F(KestTest, ServerThatNeverAnswersEndsAsFailure) {
    r->SetStallTimeout(500);
    RawServer srv([](RawConn &conn) {
        conn.ReadRequest();
        conn.WaitPeerClosed(20000);
    });
    r->SetURL(srv.Url(u"/silent"_s));
    QElapsedTimer t;
    t.start();
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_LT(t.elapsed(), 8000);
    EXPECT_TRUE(Log().join(u'\n').contains(u"stalled"_s));
}

TEST_F(KestTest, ConnectionRefusedIsAFailure) {
    int port;
    {
        RawServer gone(Reply(""));
        port = gone.Port();
    }
    r->SetURL(u"http://127.0.0.1:"_s + QString::number(port) + u"/x"_s);
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_FALSE(r->Result());
}

TEST_F(KestTest, AbortMidUploadReportsNothingAndANewRequestStartsAtOnce) {
    const QString path = dir.filePath(u"big.mov"_s);
    WriteFile(path, Pattern(8 * 1024 * 1024));
    std::atomic<bool> peerClosed{false};
    RawServer slow([&peerClosed](RawConn &conn) {
        conn.ReadHead();
        while (!conn.ReadSome(16384).isEmpty())
            QThread::msleep(10); // a slow reader keeps the upload going
        peerClosed = true;
    });
    RawServer quick(Reply(RawServer::Answer("second")));
    ASSERT_TRUE(r->SetUploadFiles({}, {u"file="_s + path}));
    r->SetURL(slow.Url(u"/up"_s));
    int progressCalls = 0;
    r->OnProgress = [&](QObject *, qint64, qint64) {
        ++progressCalls;
        r->Abort();
    };
    r->GetString();
    ASSERT_TRUE(WaitFor([&] { return progressCalls > 0; }));
    EXPECT_FALSE(r->Busy());
    RunEventsFor(300);
    EXPECT_EQ(progressCalls, 1);
    EXPECT_EQ(ev.Completions(), 0);

    r->OnProgress = nullptr;
    r->SetPostQuery(QByteArray());
    r->SetURL(quick.Url(u"/next"_s));
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    RunEventsFor(200);
    EXPECT_EQ(ev.Strings, QStringList{u"second"_s});
    EXPECT_EQ(ev.Errors, 0);
    EXPECT_TRUE(WaitFor([&] { return peerClosed.load(); }, 5000));
}

TEST_F(KestTest, AbortMidDownloadReportsNothing) {
    RawServer srv([](RawConn &conn) {
        conn.ReadRequest();
        conn.Send("HTTP/1.0 200 OK\r\nContent-Length: 1000000\r\n\r\n" + QByteArray(20000, 'z'));
        conn.WaitPeerClosed(20000);
    });
    RawServer quick(Reply(RawServer::Answer("after")));
    const QString target = dir.filePath(u"d.bin"_s);
    WriteFile(target, "old");
    r->SetURL(srv.Url(u"/d"_s));
    r->SetFileName(target);
    int progressCalls = 0;
    r->OnProgress = [&](QObject *, qint64 total, qint64) {
        EXPECT_EQ(total, 1000000);
        ++progressCalls;
        r->Abort();
    };
    r->GetFile();
    ASSERT_TRUE(WaitFor([&] { return progressCalls > 0; }));
    RunEventsFor(300);
    EXPECT_EQ(progressCalls, 1);
    EXPECT_EQ(ev.Completions(), 0);
    r->OnProgress = nullptr;
    r->SetURL(quick.Url(u"/s"_s));
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Strings, QStringList{u"after"_s});
    EXPECT_EQ(ReadFile(target), QByteArray("old"));
    EXPECT_TRUE(THttpRequestBase::WaitForWorkers(5000));
    EXPECT_TRUE(TempLeftovers().isEmpty());
}

TEST_F(KestTest, StartWhileBusyIsIgnored) {
    RawServer first([](RawConn &conn) {
        conn.ReadRequest();
        QThread::msleep(300);
        conn.Send(RawServer::Answer("first"));
    });
    RawServer second(Reply(RawServer::Answer("second")));
    r->SetURL(first.Url(u"/1"_s));
    r->GetString();
    r->SetURL(second.Url(u"/2"_s));
    r->GetString();
    r->GetFile();
    ASSERT_TRUE(ev.WaitDone());
    RunEventsFor(300);
    EXPECT_EQ(ev.Strings, QStringList{u"first"_s});
    EXPECT_EQ(ev.Completions(), 1);
    EXPECT_EQ(second.Connections(), 0);
}

TEST_F(KestTest, DestroyingABusyComponentWhileItsWorkerWaitsForTheUi) {
    // The worker has handed a progress call to the UI thread and waits for it;
    // the UI thread destroys the component instead of running the call.
    RawServer srv([](RawConn &conn) {
        conn.ReadRequest();
        conn.Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n");
        for (int i = 0; i < 10 && conn.Send(QByteArray(10000, 'q')); ++i)
            QThread::msleep(5);
        conn.WaitPeerClosed(5000);
    });
    bool called = false;
    r->OnProgress = [&called](QObject *, qint64, qint64) { called = true; };
    r->OnDoneString = [&called](QObject *, const QString &) { called = true; };
    r->OnError = [&called](QObject *) { called = true; };
    r->SetURL(srv.Url(u"/wait"_s));
    r->GetString();
    QThread::msleep(400); // no events run: the worker is now waiting for the UI thread
    r.reset();
    EXPECT_TRUE(THttpRequestBase::WaitForWorkers(5000));
    RunEventsFor(100);
    EXPECT_FALSE(called);
}

TEST_F(KestTest, DestroyingABusyComponentMidUpload) {
    const QString path = dir.filePath(u"v.wmv"_s);
    WriteFile(path, Pattern(4 * 1024 * 1024));
    RawServer slow([](RawConn &conn) {
        conn.ReadHead();
        while (!conn.ReadSome(16384).isEmpty())
            QThread::msleep(10);
    });
    bool called = false;
    r->OnProgress = [&called](QObject *, qint64, qint64) { called = true; };
    r->OnError = [&called](QObject *) { called = true; };
    ASSERT_TRUE(r->SetUploadFiles({}, {u"f="_s + path}));
    r->SetURL(slow.Url(u"/u"_s));
    r->GetString();
    QThread::msleep(200);
    r.reset();
    EXPECT_TRUE(THttpRequestBase::WaitForWorkers(5000));
    RunEventsFor(100);
    EXPECT_FALSE(called);
}

TEST_F(KestTest, BadAddressesFailWithoutCrashing) {
    const QString urls[] = {
        QString(),         u"garbage"_s,           u"http://"_s,        u"https://example.com"_s,
        u"http:///x"_s,    u"http://ex ample/x"_s, u"http://h:abc/x"_s, u"http://h:99999/x"_s,
        u"http://a@b/x"_s, u"\u00e9\u0000\n/x"_s,
    };
    for (const QString &url : urls) {
        SCOPED_TRACE(url.toStdString());
        ev = TEvents();
        ev.Attach(*r);
        {
            std::lock_guard<std::mutex> lk(logLock);
            log.clear();
        }
        r->SetURL(url);
        r->GetString();
        ASSERT_TRUE(ev.WaitDone());
        EXPECT_EQ(ev.Errors, 1);
        EXPECT_TRUE(Log().contains(u"HttpOpenRequest failed!"_s));
    }
}

TEST_F(KestTest, UnreadableUploadFileFailsWithoutSending) {
    RawServer srv(Reply(RawServer::Answer("should not get here")));
    EXPECT_FALSE(r->SetUploadFiles({u"a=b"_s}, {u"file="_s + dir.filePath(u"nope.jpg"_s)}));
    r->SetURL(srv.Url(u"/u"_s));
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_EQ(srv.Connections(), 0);
}

TEST_F(KestTest, FileThatShrinksBeforeSendingFails) {
    const QString path = dir.filePath(u"shrinks.jpg"_s);
    WriteFile(path, Pattern(100000));
    RawServer srv(Reply(RawServer::Answer("should not count")));
    ASSERT_TRUE(r->SetUploadFiles({}, {u"file="_s + path}));
    WriteFile(path, Pattern(1000));
    r->SetURL(srv.Url(u"/u"_s));
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Errors, 1);
}

TEST_F(KestTest, AccessTokenNeverReachesTheLog) {
    RawServer srv(Reply(RawServer::Answer("{}")));
    r->SetURL(srv.Url(u"/me?access_token=SECRET-TOKEN-42&fields=id"_s));
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    const QString all = Log().join(u'\n');
    EXPECT_FALSE(all.contains(u"SECRET-TOKEN-42"_s));
    EXPECT_TRUE(all.contains(u"access_token=********&fields=id"_s));
    EXPECT_TRUE(srv.Requests().at(0).contains("access_token=SECRET-TOKEN-42"));
}

TEST_F(KestTest, SystemProxyFromEnvironmentIsUsed) {
    RawServer proxy(Reply(RawServer::Answer("via proxy")));
    qputenv("http_proxy", proxy.Url(QString()).toLatin1());
    r->SetURL(u"http://lumafinch-proxy-test.invalid:81/p?q=1"_s);
    r->GetString();
    const bool done = ev.WaitDone();
    qunsetenv("http_proxy");
    ASSERT_TRUE(done);
    EXPECT_EQ(ev.Strings, QStringList{u"via proxy"_s});
    EXPECT_TRUE(proxy.Requests().at(0).startsWith(
        "GET http://lumafinch-proxy-test.invalid:81/p?q=1 HTTP/1.0\r\n"));
}

TEST_F(KestTest, WaitThreadReturnsAfterCompletion) {
    RawServer srv(Reply(RawServer::Answer("abc")));
    r->SetURL(srv.Url(u"/w"_s));
    r->SetFileName(dir.filePath(u"w.txt"_s));
    r->SetWaitThread(true);
    r->GetFile();
    EXPECT_EQ(ev.Files.size(), 1);
    EXPECT_FALSE(r->Busy());
    r->GetString();
    EXPECT_EQ(ev.Strings, QStringList{u"abc"_s});
}

TEST_F(KestTest, HttpsVerifiesCertificateAndHostName) {
    const TestCertificate cert = MakeTestCertificate(dir.path());
    ASSERT_TRUE(cert.Ok);
    TlsServer tls(cert.CertFile, cert.KeyFile);
    ASSERT_TRUE(tls.Ok());
    const QString port = QString::number(tls.Port());
    struct Case {
        const char *name;
        QString url;
        QString caFile;
        bool viaDefault;
        bool ok;
    };
    const Case cases[] = {
        {"trusted, right name", u"https://localhost:"_s + port + u"/hello"_s, cert.CertFile, false,
         true},
        {"trusted by the process default", u"https://localhost:"_s + port + u"/hello"_s,
         cert.CertFile, true, true},
        {"trusted, wrong name", u"https://127.0.0.1:"_s + port + u"/hello"_s, cert.CertFile, false,
         false},
        {"not trusted", u"https://localhost:"_s + port + u"/hello"_s, QString(), false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ev = TEvents();
        ev.Attach(*r);
        r->SetCACertFile(c.viaDefault ? QString() : c.caFile);
        THttpRequestBase::SetDefaultCACertFile(c.viaDefault ? c.caFile : QString());
        r->SetURL(c.url);
        r->GetString();
        ASSERT_TRUE(ev.WaitDone());
        EXPECT_EQ(ev.Strings, c.ok ? QStringList{u"hello tls"_s} : QStringList());
        EXPECT_EQ(ev.Errors, c.ok ? 0 : 1);
    }
    THttpRequestBase::SetDefaultCACertFile(QString());

    // A streamed multipart upload over https.
    ev = TEvents();
    ev.Attach(*r);
    const QString path = dir.filePath(u"tls.jpg"_s);
    WriteFile(path, Pattern(50000));
    r->SetCACertFile(cert.CertFile);
    ASSERT_TRUE(r->SetUploadFiles({u"a=1"_s}, {u"f="_s + path}));
    r->SetURL(u"https://localhost:"_s + port + u"/sink"_s);
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    EXPECT_EQ(ev.Strings, QStringList{u"a:1 f:50000"_s});
}

TEST_F(KestTest, ComponentMayBeDestroyedInsideItsOwnHandlers) {
    RawServer srv(Reply(RawServer::Answer(QByteArray(40000, 'k'))));
    int progress = 0;
    bool done = false;
    r->OnProgress = [&](QObject *, qint64, qint64) {
        if (++progress == 2)
            r.reset(); // destroyed while its worker waits for this very call
    };
    r->OnDoneString = [&](QObject *, const QString &) { done = true; };
    r->SetURL(srv.Url(u"/p"_s));
    r->GetString();
    ASSERT_TRUE(WaitFor([&] { return !r; }));
    EXPECT_TRUE(THttpRequestBase::WaitForWorkers(5000));
    RunEventsFor(100);
    EXPECT_EQ(progress, 2);
    EXPECT_FALSE(done);

    // The same from the completion handler.
    r = std::make_unique<TKestHttpRequest>();
    RawServer again(Reply(RawServer::Answer("bye")));
    r->OnDoneString = [&](QObject *sender, const QString &text) {
        EXPECT_EQ(sender, r.get());
        EXPECT_EQ(text, u"bye"_s);
        r.reset();
    };
    r->SetURL(again.Url(u"/q"_s));
    r->GetString();
    EXPECT_TRUE(WaitFor([&] { return !r; }));
}

// Flags of the test below, kept outside the handlers: what a handler reads
// after destroying its component must not be one of its own captures.
std::atomic<bool> g_captureGone{false};
std::atomic<bool> g_handled{false};
std::atomic<bool> g_aliveAfterReset{false};
struct CaptureProbe {
    ~CaptureProbe() { g_captureGone = true; }
};

TEST_F(KestTest, HandlerThatDestroysItsComponentKeepsItsCapturesUntilItReturns) {
    enum Kind { Progress, Done, Error };
    for (const Kind kind : {Progress, Done, Error}) {
        SCOPED_TRACE(int(kind));
        r = std::make_unique<TKestHttpRequest>();
        RawServer srv(Reply(kind == Error ? QByteArray("HTTP/1.0 204 No Content\r\n\r\n")
                                          : RawServer::Answer(QByteArray(40000, 'k'))));
        g_captureGone = false;
        g_handled = false;
        g_aliveAfterReset = false;
        {
            auto probe = std::make_shared<CaptureProbe>();
            auto destroyOwner = [probe, this] {
                if (g_handled.exchange(true))
                    return;
                r.reset();
                g_aliveAfterReset = !g_captureGone.load();
            };
            switch (kind) {
            case Progress:
                r->OnProgress = [destroyOwner](QObject *, qint64, qint64) { destroyOwner(); };
                break;
            case Done:
                r->OnDoneString = [destroyOwner](QObject *, const QString &) { destroyOwner(); };
                break;
            case Error:
                r->OnError = [destroyOwner](QObject *) { destroyOwner(); };
                break;
            }
        } // from here the handler's captures are the only owners of the probe
        r->SetURL(srv.Url(u"/h"_s));
        r->GetString();
        ASSERT_TRUE(WaitFor([&] { return !r; }));
        EXPECT_TRUE(g_aliveAfterReset.load());
        EXPECT_TRUE(g_captureGone.load());
        EXPECT_TRUE(THttpRequestBase::WaitForWorkers(5000));
    }
}

TEST_F(KestTest, NoLogLineReachesItsHandlerAfterAbortOrDestruction) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroy" : "abort");
        r = std::make_unique<TKestHttpRequest>();
        RawServer srv(Reply(RawServer::Answer("x")));
        auto entered = std::make_shared<std::atomic<bool>>(false);
        auto stopped = std::make_shared<std::atomic<bool>>(false);
        auto late = std::make_shared<std::atomic<int>>(0);
        r->OnLog = [entered, stopped, late](const QString &) {
            if (stopped->load())
                ++*late;
            if (!entered->exchange(true))
                QThread::msleep(300); // the first line is slow to write
        };
        r->SetURL(srv.Url(u"/l"_s));
        r->GetString();
        ASSERT_TRUE(WaitFor([&] { return entered->load(); }));
        if (destroy)
            r.reset();
        else
            r->Abort();
        stopped->store(true);
        EXPECT_TRUE(THttpRequestBase::WaitForWorkers(5000));
        EXPECT_EQ(late->load(), 0);
    }
}

TEST_F(KestTest, ConnectionThatCannotBeMadeInTimeFails) {
    // A listener whose accept queue is full drops further connection attempts,
    // so connecting hangs until the limit.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    QThread::msleep(100);
    r->SetConnectTimeout(700);
    r->SetURL(u"http://127.0.0.1:"_s + QString::number(ntohs(addr.sin_port)) + u"/x"_s);
    QElapsedTimer t;
    t.start();
    r->GetString();
    ASSERT_TRUE(ev.WaitDone(15000));
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_LT(t.elapsed(), 5000);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST_F(KestTest, UploadBeyond2GiBCountsIn64Bits) {
    // A sparse file: no disk space used, but its size needs 64 bits.
    const QString path = dir.filePath(u"huge.mov"_s);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize((qint64(1) << 31) + 5000));
    }
    std::atomic<qint64> received{0};
    RawServer sink([&received](RawConn &conn) {
        const QByteArray head = conn.ReadHead();
        const qsizetype at = head.indexOf("Content-Length: ");
        const qint64 length =
            at < 0 ? 0 : head.mid(at + 16, head.indexOf('\r', at) - at - 16).toLongLong();
        qint64 got = 0;
        while (got < length) {
            const QByteArray chunk = conn.ReadSome(1 << 20);
            if (chunk.isEmpty())
                break;
            got += chunk.size();
        }
        received = got;
        conn.Send(RawServer::Answer(QByteArray::number(got)));
    });
    ASSERT_TRUE(r->SetUploadFiles({}, {u"file="_s + path}));
    const qint64 total = r->PostBody().Size();
    ASSERT_GT(total, qint64(1) << 31);
    r->SetURL(sink.Url(u"/huge"_s));
    r->GetString();
    ASSERT_TRUE(ev.WaitDone(120000));
    EXPECT_EQ(ev.Strings, QStringList{QString::number(total)});
    const auto upload = ProgressWithTotal(total);
    ASSERT_FALSE(upload.empty());
    EXPECT_EQ(upload.back().second, total);
    for (size_t i = 1; i < upload.size(); ++i)
        EXPECT_GT(upload[i].second, upload[i - 1].second);
}

TEST_F(KestTest, AbandonedWorkerWaitingForTheNetworkEndsAtOnce) {
    RawServer silent([](RawConn &conn) {
        conn.ReadRequest();
        conn.WaitPeerClosed(20000);
    });
    r->SetURL(silent.Url(u"/never"_s));
    r->GetString();
    ASSERT_TRUE(WaitFor([&] { return silent.Requests().size() == 1; }));
    QElapsedTimer t;
    t.start();
    r->Abort();
    EXPECT_TRUE(THttpRequestBase::WaitForWorkers(5000));
    EXPECT_LT(t.elapsed(), 500);
    RunEventsFor(100);
    EXPECT_EQ(ev.Completions(), 0);
}

TEST_F(KestTest, ObjectPathGoesOutAsWrittenExceptBytesThatCannot) {
    RawServer srv(Reply(RawServer::Answer("ok")));
    r->SetURL(srv.Url(u"/me/feed?q={\"a\":[1]}|^`<>&m=a b\u00e9&x=%41"_s));
    r->GetString();
    ASSERT_TRUE(ev.WaitDone());
    ASSERT_EQ(ev.Strings, QStringList{u"ok"_s});
    EXPECT_TRUE(srv.Requests().at(0).startsWith(
        "GET /me/feed?q={\"a\":[1]}|^`<>&m=a%20b%C3%A9&x=%41 HTTP/1.0\r\n"))
        << srv.Requests().at(0).constData();
}
