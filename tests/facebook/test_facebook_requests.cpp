// What the client puts on the wire, byte for byte, and the order of its call states.

#include "FacebookSandbox.h"
#include "FacebookTestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QByteArray B = "---------------------------989989989989888";

struct FilePart {
    QByteArray field, path, contentTypeLine, bytes;
};

QByteArray Multipart(const std::vector<std::pair<QByteArray, QByteArray>> &values,
                     const std::vector<FilePart> &files = {}) {
    QByteArray body;
    for (const auto &[name, value] : values)
        body += "--" + B + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                value + "\r\n";
    for (const FilePart &f : files) {
        body += "--" + B + "\r\nContent-Disposition: form-data; name=\"" + f.field +
                "\"; filename=\"" + f.path + "\"\r\n";
        if (!f.contentTypeLine.isEmpty())
            body += f.contentTypeLine + "\r\n";
        body += "\r\n" + f.bytes + "\r\n";
    }
    body += "--" + B + "--\r\n";
    return body;
}

struct Raw {
    QByteArray requestLine;
    QList<QByteArray> headers;
    QByteArray body;
    QByteArray Header(const QByteArray &name) const {
        for (const QByteArray &h : headers) {
            if (h.toLower().startsWith(QByteArray(name.toLower() + ':')))
                return h.mid(name.size() + 1).trimmed();
        }
        return QByteArray();
    }
};

Raw Split(const std::string &raw) {
    const QByteArray bytes = QByteArray::fromStdString(raw);
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    Raw r;
    const QList<QByteArray> lines = bytes.left(end).split('\n');
    r.requestLine = lines.value(0).trimmed();
    for (qsizetype i = 1; i < lines.size(); ++i)
        r.headers << lines[i].trimmed();
    r.body = end < 0 ? QByteArray() : bytes.mid(end + 4);
    return r;
}

class FacebookRequests : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        base = Q(server.BaseURL());
        fb.SetGraphURL(base + QStringLiteral("graph/"));
        fb.SetRestURL(base + QStringLiteral("restserver.php"));
        fb.SetVideoURL(base + QStringLiteral("video/restserver.php"));
        fb.SetAccessToken(QStringLiteral("TOK123"));
        RecordStates(fb, states);
    }

    // Runs one call to its final state and returns the raw request.
    Raw Run(const std::function<void()> &call, const QString &method) {
        const size_t before = server.Requests().size();
        call();
        EXPECT_TRUE(WaitFor([&] { return FinalCount(states, method) > 0; })) << Describe(states);
        EXPECT_EQ(server.Requests().size(), before + 1);
        return Split(server.Requests().back());
    }

    sandbox::RawRecordingServer server;
    QString base;
    TFacebook fb;
    StateLog states;
};

TEST_F(FacebookRequests, GetUserInfoIsAGetOfTheGraphAddressWithTheToken) {
    const Raw r = Run([&] { fb.GetUserInfo(); }, QStringLiteral("me"));
    EXPECT_TRUE(r.requestLine.startsWith("GET /graph/me?access_token=TOK123 HTTP/"))
        << r.requestLine.constData();
    EXPECT_TRUE(r.body.isEmpty());
    EXPECT_TRUE(r.Header("Content-Type").isEmpty());
    EXPECT_EQ(fb.GetUserPicture(), base + QStringLiteral("graph/me/picture?access_token=TOK123"));
    EXPECT_EQ(fb.GetAlbumPicture(QStringLiteral("101")),
              base + QStringLiteral("graph/101/picture?access_token=TOK123"));
}

TEST_F(FacebookRequests, GetAlbumsGraphIsAGetOfMeAlbums) {
    const Raw r = Run([&] { fb.GetAlbumsGraph(); }, QStringLiteral("me/albums"));
    EXPECT_TRUE(r.requestLine.startsWith("GET /graph/me/albums?access_token=TOK123 HTTP/"))
        << r.requestLine.constData();
}

TEST_F(FacebookRequests, GetAlbumsPostsMethodTokenAndFormatWithoutAFilePart) {
    const Raw r = Run([&] { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums"));
    EXPECT_TRUE(r.requestLine.startsWith("POST /restserver.php HTTP/")) << r.requestLine.data();
    EXPECT_EQ(r.Header("Content-Type"), "multipart/form-data; boundary=" + B);
    EXPECT_EQ(r.body, Multipart({{"method", "photos.getAlbums"},
                                 {"access_token", "TOK123"},
                                 {"format", "json"}}));
}

TEST_F(FacebookRequests, PostFeedGoesToTheGraphBaseWithoutMethodAndWithAllNineFields) {
    TFacebookFeed feed;
    feed.message = QStringLiteral("Hello wall \u00e9");
    feed.link = QStringLiteral("http://example.com/v?a=1&b=2");
    feed.description = QStringLiteral("d");
    feed.privacy = QStringLiteral("{\"value\":\"EVERYONE\"}");
    const Raw r = Run([&] { fb.PostFeed(feed); }, QStringLiteral("me/feed"));
    EXPECT_TRUE(r.requestLine.startsWith("POST /graph/me/feed HTTP/")) << r.requestLine.data();
    EXPECT_EQ(r.body, Multipart({{"access_token", "TOK123"},
                                 {"format", "json"},
                                 {"message", "Hello wall \xc3\xa9"},
                                 {"link", "http://example.com/v?a=1&b=2"},
                                 {"picture", ""},
                                 {"name", ""},
                                 {"caption", ""},
                                 {"description", "d"},
                                 {"actions", ""},
                                 {"privacy", "{\"value\":\"EVERYONE\"}"},
                                 {"targeting", ""}}));
}

TEST_F(FacebookRequests, UploadPictureSendsTheFileAfterTheFields) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Beach Day.JpG"));
    const QByteArray bytes = Noise(9000, 1);
    ASSERT_TRUE(WriteAll(path, bytes));
    const Raw r =
        Run([&] { fb.UploadPicture(path, QStringLiteral("100_7"), QStringLiteral("Sun")); },
            QStringLiteral("photos.upload"));
    EXPECT_TRUE(r.requestLine.startsWith("POST /restserver.php HTTP/"));
    EXPECT_EQ(r.body,
              Multipart({{"method", "photos.upload"},
                         {"access_token", "TOK123"},
                         {"format", "json"},
                         {"aid", "100_7"},
                         {"caption", "Sun"}},
                        {{"filename", path.toLatin1(), "Content-Type: image/jpeg", bytes}}));
}

TEST_F(FacebookRequests, UploadPictureOfAMissingFileSendsTheFieldsOnly) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("gone.jpg"));
    const Raw r = Run([&] { fb.UploadPicture(path, QStringLiteral("1"), QString()); },
                      QStringLiteral("photos.upload"));
    EXPECT_EQ(r.body, Multipart({{"method", "photos.upload"},
                                 {"access_token", "TOK123"},
                                 {"format", "json"},
                                 {"aid", "1"},
                                 {"caption", ""}}));
}

TEST_F(FacebookRequests, UploadVideoGoesToTheVideoHost) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("clip.mov"));
    const QByteArray bytes = Noise(300, 2);
    ASSERT_TRUE(WriteAll(path, bytes));
    // A refusal, so that no wall post follows.
    server.QueueAnswer(R"({"error_code":352,"error_msg":"The video file is invalid"})");
    const Raw r = Run([&] { fb.UploadVideo(path, QStringLiteral("t"), QStringLiteral("d")); },
                      QStringLiteral("video.upload"));
    EXPECT_TRUE(r.requestLine.startsWith("POST /video/restserver.php HTTP/"));
    EXPECT_EQ(r.body,
              Multipart({{"method", "video.upload"},
                         {"access_token", "TOK123"},
                         {"format", "json"},
                         {"title", "t"},
                         {"description", "d"}},
                        {{"filename", path.toLatin1(), "Content-Type: video/quicktime", bytes}}));
}

TEST_F(FacebookRequests, CreateAlbumAndPostLinkFields) {
    struct Case {
        TAlbumVisible visible;
        QByteArray text;
    };
    for (const Case &c :
         {Case{avEveryone, "everyone"}, Case{avFriends, "friends"},
          Case{avFriendsOfFriends, "friends of friends"}, Case{avNetwork, "networks"}}) {
        const Raw r = Run(
            [&] {
                fb.CreateAlbum(QStringLiteral("Trip"), QStringLiteral("Coast"),
                               QStringLiteral("Sea"), c.visible);
            },
            QStringLiteral("photos.createAlbum"));
        EXPECT_EQ(r.body, Multipart({{"method", "photos.createAlbum"},
                                     {"access_token", "TOK123"},
                                     {"format", "json"},
                                     {"name", "Trip"},
                                     {"location", "Coast"},
                                     {"description", "Sea"},
                                     {"visible", c.text}}))
            << c.text.constData();
        states.clear();
    }
    EXPECT_EQ(AlbumVisibleText(17), QStringLiteral("everyone"));

    const Raw r = Run(
        [&] {
            fb.PostLink(QStringLiteral("http://x/"), QStringLiteral("look"),
                        QStringLiteral("http://x/i.png"));
        },
        QStringLiteral("links.post"));
    EXPECT_EQ(r.body, Multipart({{"method", "links.post"},
                                 {"access_token", "TOK123"},
                                 {"format", "json"},
                                 {"url", "http://x/"},
                                 {"comment", "look"},
                                 {"image", "http://x/i.png"}}));
}

TEST_F(FacebookRequests, ACallWithoutTokenSendsAnEmptyToken) {
    fb.SetAccessToken(QString());
    EXPECT_FALSE(fb.IsLogin());
    const Raw r = Run([&] { fb.GetUserInfo(); }, QStringLiteral("me"));
    EXPECT_TRUE(r.requestLine.startsWith("GET /graph/me?access_token= HTTP/"));
}

// --- call states ----------------------------------------------------------------------

TEST_F(FacebookRequests, StatesOfOneCallComeInOrderAndTheFirstTwoBeforeTheCallReturns) {
    server.QueueAnswer(R"({"id":"1","name":"A"})");
    fb.GetUserInfo();
    EXPECT_EQ(states, (StateLog{{QStringLiteral("me"), csBeforeConnect},
                                {QStringLiteral("me"), csConnecting}}));
    ASSERT_TRUE(WaitFor([&] { return FinalCount(states, QStringLiteral("me")) > 0; }));
    Settle();
    EXPECT_EQ(states, (StateLog{{QStringLiteral("me"), csBeforeConnect},
                                {QStringLiteral("me"), csConnecting},
                                {QStringLiteral("me"), csSuccessed}}));
    EXPECT_EQ(fb.UserInfo().name, QStringLiteral("A"));
}

TEST_F(FacebookRequests, ANewerCallAbandonsTheOlder) {
    server.QueueAnswer(R"({"id":"1","name":"A"})");
    server.QueueAnswer(R"([])");
    fb.GetUserInfo();
    fb.GetAlbums();
    ASSERT_TRUE(
        WaitFor([&] { return FinalCount(states, QStringLiteral("photos.getAlbums")) > 0; }));
    Settle(500);
    EXPECT_EQ(FinalCount(states, QStringLiteral("me")), 0) << Describe(states);
    EXPECT_EQ(states.size(), 5u) << Describe(states);
    EXPECT_EQ(states.back(), std::make_pair(QStringLiteral("photos.getAlbums"), csSuccessed));
    EXPECT_TRUE(fb.UserInfo().name.isEmpty()); // the abandoned answer was not read
}

TEST_F(FacebookRequests, AbortIsSilent) {
    server.SetAnswerDelay(200);
    server.QueueAnswer(R"({"id":"1","name":"A"})");
    fb.GetUserInfo();
    ASSERT_TRUE(server.WaitForRequests(1, std::chrono::seconds(5))); // the call is under way
    fb.Abort();
    Settle(600);
    EXPECT_EQ(states.size(), 2u) << Describe(states);
    EXPECT_TRUE(fb.UserInfo().name.isEmpty());

    // Aborting before anything went out is just as silent.
    fb.GetAlbums();
    fb.Abort();
    Settle(300);
    EXPECT_EQ(states.size(), 4u) << Describe(states);
}

TEST_F(FacebookRequests, DestroyingTheClientDuringACallIsSilent) {
    auto *other = new TFacebook;
    other->SetGraphURL(base + QStringLiteral("graph/"));
    int calls = 0;
    other->OnMethodStateChanged = [&](QObject *, const QString &, TFacebookConnectionState) {
        ++calls;
    };
    server.SetAnswerDelay(200);
    server.QueueAnswer(R"({"id":"1"})");
    other->GetUserInfo();
    ASSERT_TRUE(server.WaitForRequests(1, std::chrono::seconds(5))); // the call is under way
    delete other;
    Settle(600);
    EXPECT_EQ(calls, 2);
}

TEST_F(FacebookRequests, BeforeRequestHandlerSeesTheCallAndMaySuppressIt) {
    QString seenURL, seenMethod, seenField;
    QStringList seenArgs;
    bool seenPost = false;
    // A running call is not touched by a suppressed one.
    server.QueueAnswer(R"({"id":"9","name":"Still here"})");
    fb.GetUserInfo();
    fb.OnBeforeHTMLRequest = [&](const QString &aURL, const QString &aMethod, bool aPost,
                                 const QStringList &Args, const QString &aFileField,
                                 const QString &, bool &Default) {
        seenURL = aURL;
        seenMethod = aMethod;
        seenPost = aPost;
        seenArgs = Args;
        seenField = aFileField;
        Default = false;
    };
    fb.UploadPicture(QStringLiteral("/nonexistent.jpg"), QStringLiteral("5"), QStringLiteral("c"));
    EXPECT_EQ(seenURL, base + QStringLiteral("restserver.php"));
    EXPECT_EQ(seenMethod, QStringLiteral("photos.upload"));
    EXPECT_TRUE(seenPost);
    EXPECT_EQ(seenArgs, (QStringList{QStringLiteral("aid=5"), QStringLiteral("caption=c")}));
    EXPECT_EQ(seenField, QStringLiteral("filename"));
    EXPECT_EQ(fb.CurrentMethod(), QStringLiteral("me"));
    ASSERT_TRUE(WaitFor([&] { return FinalCount(states, QStringLiteral("me")) > 0; }));
    Settle(300);
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(states.size(), 3u) << Describe(states);
    EXPECT_EQ(fb.UserInfo().name, QStringLiteral("Still here"));
}

TEST_F(FacebookRequests, VideoUploadPostsOnTheWallBeforeItsOwnSuccess) {
    server.QueueAnswer(
        R"({"vid":123,"title":"My clip","description":"At sea","link":"http://v/123"})");
    server.QueueAnswer(R"({"id":"1_2"})");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("c.avi"));
    ASSERT_TRUE(WriteAll(path, Noise(100, 3)));
    fb.UploadVideo(path, QStringLiteral("My clip"), QStringLiteral("At sea"));
    ASSERT_TRUE(WaitFor([&] { return FinalCount(states, QStringLiteral("me/feed")) > 0; }));
    const QString v = QStringLiteral("video.upload"), f = QStringLiteral("me/feed");
    EXPECT_EQ(states, (StateLog{{v, csBeforeConnect},
                                {v, csConnecting},
                                {f, csBeforeConnect},
                                {f, csConnecting},
                                {v, csSuccessed},
                                {f, csSuccessed}}))
        << Describe(states);
    EXPECT_EQ(fb.LastUploadedVideo().vid, QStringLiteral("123"));
    ASSERT_EQ(server.Requests().size(), 2u);
    const Raw feed = Split(server.Requests()[1]);
    EXPECT_TRUE(feed.requestLine.startsWith("POST /graph/me/feed HTTP/"));
    EXPECT_EQ(feed.body, Multipart({{"access_token", "TOK123"},
                                    {"format", "json"},
                                    {"message", "My clip"},
                                    {"link", "http://v/123"},
                                    {"picture", ""},
                                    {"name", ""},
                                    {"caption", ""},
                                    {"description", "At sea"},
                                    {"actions", ""},
                                    {"privacy", ""},
                                    {"targeting", ""}}));
}

TEST_F(FacebookRequests, AFailedVideoUploadPostsNothing) {
    server.QueueAnswer(R"({"error_code":352,"error_msg":"The video file is invalid"})");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("c.avi"));
    ASSERT_TRUE(WriteAll(path, Noise(100, 3)));
    fb.UploadVideo(path, QStringLiteral("t"), QString());
    ASSERT_TRUE(WaitFor([&] { return FinalCount(states, QStringLiteral("video.upload")) > 0; }));
    Settle(300);
    EXPECT_EQ(states.back(), std::make_pair(QStringLiteral("video.upload"), csFailed));
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(fb.LastErrorInfo().error_code, 352);
}

TEST_F(FacebookRequests, TransportFailureIsCsFailedWithTheLatestMethodAndNoErrorRecord) {
    server.Stop(); // nothing listens any more
    fb.GetAlbums();
    ASSERT_TRUE(
        WaitFor([&] { return FinalCount(states, QStringLiteral("photos.getAlbums")) > 0; }));
    EXPECT_EQ(states.back(), std::make_pair(QStringLiteral("photos.getAlbums"), csFailed));
    EXPECT_EQ(fb.LastErrorInfo(), TFacebookErrorInfo{});
}

TEST_F(FacebookRequests, ProgressEventIsTheRequestsProgress) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.png"));
    ASSERT_TRUE(WriteAll(path, Noise(20000, 4)));
    qint64 maxTotal = 0, maxDone = 0;
    int calls = 0;
    fb.SetOnProgressEvent([&](QObject *, qint64 total, qint64 done) {
        ++calls;
        maxTotal = std::max(maxTotal, total);
        maxDone = std::max(maxDone, done);
    });
    EXPECT_TRUE(bool(fb.OnProgressEvent()));
    Run([&] { fb.UploadPicture(path, QStringLiteral("1"), QString()); },
        QStringLiteral("photos.upload"));
    EXPECT_GT(calls, 0);
    EXPECT_GT(maxTotal, 20000); // the upload phase counts the whole body
    EXPECT_EQ(maxDone, maxTotal);
}

} // namespace
