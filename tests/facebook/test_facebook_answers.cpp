// Answers as Facebook sends them -> the client's records and the call's final state.

#include "FacebookSandbox.h"
#include "FacebookTestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TFacebookAlbum Album(const char *aid, const char *name, const char *link) {
    TFacebookAlbum a;
    a.aid = QString::fromUtf8(aid);
    a.name = QString::fromUtf8(name);
    a.link = QString::fromUtf8(link);
    return a;
}

struct AnswerCase {
    const char *name;
    std::function<void(TFacebook &)> setup; // records before the call
    std::function<void(TFacebook &)> call;
    QString method;
    std::string answer;
    TFacebookConnectionState final;
    std::function<void(const TFacebook &)> check;
};

void PrintTo(const AnswerCase &c, std::ostream *os) {
    *os << c.name;
}

TFacebookErrorInfo Err(int code, const char *msg) {
    return TFacebookErrorInfo{code, QString::fromUtf8(msg)};
}

const TFacebookAlbums kTwoAlbums = {Album("1_1", "Wall Photos", "http://fb/a?aid=1_1"),
                                    Album("1_2", "Trip", "http://fb/a?aid=1_2")};

std::vector<AnswerCase> Cases() {
    const QString upload = QStringLiteral("photos.upload");
    return {
        {"albums: one album with string aid, numeric size, Boolean can_upload", nullptr,
         [](TFacebook &fb) { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums"),
         R"([{"aid":"1_2","name":"Wall Photos","size":3,"can_upload":true}])", csSuccessed,
         [](const TFacebook &fb) {
             TFacebookAlbum want;
             want.aid = QStringLiteral("1_2");
             want.name = QStringLiteral("Wall Photos");
             want.size = 3;
             want.can_upload = true;
             ASSERT_EQ(fb.Albums().size(), 1);
             EXPECT_EQ(fb.Albums()[0], want);
         }},
        {"albums: every member, numbers read as text keep all digits", nullptr,
         [](TFacebook &fb) { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums"),
         R"([{"aid":9007199254740993,"name":"N","cover_pid":18446744073709551615,
              "description":"d","link":"http://fb/album.php?aid=9007199254740993",
              "visible":"friends","size":"7","can_upload":false,"owner":5},
             {"aid":"2","name":"\u00c9t\u00e9","size":200,"can_upload":true}])",
         csSuccessed,
         [](const TFacebook &fb) {
             ASSERT_EQ(fb.Albums().size(), 2);
             const TFacebookAlbum &a = fb.Albums()[0];
             EXPECT_EQ(a.aid, QStringLiteral("9007199254740993"));
             EXPECT_EQ(a.cover_pid, QStringLiteral("18446744073709551615"));
             EXPECT_EQ(a.description, QStringLiteral("d"));
             EXPECT_EQ(a.link, QStringLiteral("http://fb/album.php?aid=9007199254740993"));
             EXPECT_EQ(a.visible, QStringLiteral("friends"));
             EXPECT_EQ(a.size, 7);
             EXPECT_FALSE(a.can_upload);
             EXPECT_EQ(a.owner, 0);
             EXPECT_TRUE(a.gid.isEmpty());
             EXPECT_EQ(fb.Albums()[1].name, QStringLiteral("\u00c9t\u00e9"));
             EXPECT_EQ(fb.Albums()[1].size, 200);
         }},
        {"albums: empty array", [](TFacebook &fb) { fb.SetAlbums(kTwoAlbums); },
         [](TFacebook &fb) { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums"), "[]",
         csSuccessed, [](const TFacebook &fb) { EXPECT_TRUE(fb.Albums().isEmpty()); }},
        {"albums: an object without data counts as an empty list", nullptr,
         [](TFacebook &fb) { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums"),
         R"({"something":1})", csSuccessed,
         [](const TFacebook &fb) { EXPECT_TRUE(fb.Albums().isEmpty()); }},
        {"albums: an element that is not an object stays an empty record", nullptr,
         [](TFacebook &fb) { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums"),
         R"([{"aid":"1"}, 5, {"aid":"3"}])", csSuccessed,
         [](const TFacebook &fb) {
             ASSERT_EQ(fb.Albums().size(), 3);
             EXPECT_EQ(fb.Albums()[1], TFacebookAlbum{});
             EXPECT_EQ(fb.Albums()[2].aid, QStringLiteral("3"));
         }},
        {"error 190 fills LastErrorInfo and leaves Albums untouched",
         [](TFacebook &fb) { fb.SetAlbums(kTwoAlbums); },
         [](TFacebook &fb) {
             fb.CreateAlbum(QStringLiteral("x"), QString(), QString(), avEveryone);
         },
         QStringLiteral("photos.createAlbum"),
         R"({"error_code":190,"error_msg":"Invalid OAuth 2.0 Access Token",
             "request_args":[{"key":"method","value":"photos.createAlbum"}]})",
         csFailed,
         [](const TFacebook &fb) {
             EXPECT_EQ(fb.LastErrorInfo(), Err(190, "Invalid OAuth 2.0 Access Token"));
             EXPECT_EQ(fb.Albums(), kTwoAlbums);
         }},
        {"error answer behind a line break is still an error", nullptr,
         [upload](TFacebook &fb) { fb.UploadPicture(QString(), QStringLiteral("1"), QString()); },
         upload, "\r\n{\"error_code\":2,\"error_msg\":\"Service temporarily unavailable\"}",
         csFailed,
         [](const TFacebook &fb) {
             EXPECT_EQ(fb.LastErrorInfo(), Err(2, "Service temporarily unavailable"));
         }},
        {"create album appends an uploadable album",
         [](TFacebook &fb) { fb.SetAlbums(kTwoAlbums); },
         [](TFacebook &fb) {
             fb.CreateAlbum(QStringLiteral("New"), QString(), QString(), avFriends);
         },
         QStringLiteral("photos.createAlbum"),
         R"({"aid":"1_3","name":"New","description":"D","link":"http://fb/a?aid=1_3",
             "visible":"friends","size":0,"cover_pid":"77"})",
         csSuccessed,
         [](const TFacebook &fb) {
             ASSERT_EQ(fb.Albums().size(), 3);
             TFacebookAlbum want = Album("1_3", "New", "http://fb/a?aid=1_3");
             want.description = QStringLiteral("D");
             want.visible = QStringLiteral("friends");
             want.can_upload = true;
             EXPECT_EQ(fb.Albums()[2], want);
             EXPECT_EQ(fb.GetAlbumIndexFromID(QStringLiteral("1_3")), 2);
         }},
        {"me without bio; timezone -5; verified true", nullptr,
         [](TFacebook &fb) { fb.GetUserInfo(); }, QStringLiteral("me"),
         R"({"id":"100000123456789012","name":"Alice Finch","first_name":"Alice",
             "last_name":"Finch","link":"http://fb/alice","gender":"female","timezone":-5,
             "locale":"en_US","verified":true,"updated_time":"2010-11-02T09:14:00+0000"})",
         csSuccessed,
         [](const TFacebook &fb) {
             const TFacebookUserInfo u = fb.UserInfo();
             EXPECT_EQ(u.id, QStringLiteral("100000123456789012"));
             EXPECT_EQ(u.name, QStringLiteral("Alice Finch"));
             EXPECT_EQ(u.first_name, QStringLiteral("Alice"));
             EXPECT_EQ(u.last_name, QStringLiteral("Finch"));
             EXPECT_EQ(u.link, QStringLiteral("http://fb/alice"));
             EXPECT_EQ(u.gender, QStringLiteral("female"));
             EXPECT_EQ(u.timezone, -5);
             EXPECT_EQ(u.locale, QStringLiteral("en_US"));
             EXPECT_TRUE(u.verified);
             EXPECT_EQ(u.updated_time, QStringLiteral("2010-11-02T09:14:00+0000"));
             EXPECT_TRUE(u.bio.isEmpty());
         }},
        {"me with a numeric id above 2^53 keeps every digit", nullptr,
         [](TFacebook &fb) { fb.GetUserInfo(); }, QStringLiteral("me"),
         R"({"id":9007199254740993,"name":"N","bio":"b","timezone":5.5})", csSuccessed,
         [](const TFacebook &fb) {
             EXPECT_EQ(fb.UserInfo().id, QStringLiteral("9007199254740993"));
             EXPECT_EQ(fb.UserInfo().bio, QStringLiteral("b"));
             EXPECT_EQ(fb.UserInfo().timezone, 5);
         }},
        {"photo upload fills LastUploadedPicture", nullptr,
         [upload](TFacebook &fb) { fb.UploadPicture(QString(), QStringLiteral("1"), QString()); },
         upload,
         R"({"pid":"1_101","aid":"1_2","owner":1,"src":"s","src_big":"b","src_small":"m",
             "link":"http://fb/p?pid=1_101","caption":"Sun \u2600","created":1})",
         csSuccessed,
         [](const TFacebook &fb) {
             EXPECT_EQ(fb.LastUploadedPicture(),
                       (TFacebookPicture{
                           QStringLiteral("1_101"), QStringLiteral("1_2"), QStringLiteral("s"),
                           QStringLiteral("b"), QStringLiteral("m"),
                           QStringLiteral("http://fb/p?pid=1_101"), QStringLiteral("Sun \u2600")}));
         }},
        {"a bare number answer to links.post is wrapped and ignored", nullptr,
         [](TFacebook &fb) { fb.PostLink(QString(), QString(), QString()); },
         QStringLiteral("links.post"), "1234567", csSuccessed,
         [](const TFacebook &fb) { EXPECT_TRUE(fb.LastPostedLinkID().isEmpty()); }},
        {"a Graph error has no error_code and counts as success", nullptr,
         [](TFacebook &fb) { fb.GetUserInfo(); }, QStringLiteral("me"),
         R"({"error":{"type":"OAuthException","message":"Invalid token"}})", csSuccessed,
         [](const TFacebook &fb) {
             EXPECT_EQ(fb.UserInfo(), TFacebookUserInfo{});
             EXPECT_EQ(fb.LastErrorInfo(), TFacebookErrorInfo{});
         }},
        {"an HTML error page fails the call and keeps LastErrorInfo", nullptr,
         [](TFacebook &fb) { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums"),
         "<html><body><h1>Sorry, something went wrong.</h1></body></html>", csFailed,
         [](const TFacebook &fb) {
             EXPECT_TRUE(fb.Albums().isEmpty());
             EXPECT_EQ(fb.LastErrorInfo(), TFacebookErrorInfo{});
         }},
        {"truncated JSON fails the call", nullptr, [](TFacebook &fb) { fb.GetUserInfo(); },
         QStringLiteral("me"), R"({"id":"1","name":"Ali)", csFailed,
         [](const TFacebook &fb) { EXPECT_EQ(fb.UserInfo(), TFacebookUserInfo{}); }},
        {"an answer nested far deeper than any answer fails the call", nullptr,
         [](TFacebook &fb) { fb.GetUserInfo(); }, QStringLiteral("me"),
         R"({"name":"A","id":)" + std::string(100000, '[') + std::string(100000, ']') + "}",
         csFailed, [](const TFacebook &fb) { EXPECT_EQ(fb.UserInfo(), TFacebookUserInfo{}); }},
        {"me/albums fills gid of matching albums only",
         [](TFacebook &fb) {
             fb.SetAlbums({Album("77", "Trip", "http://fb/album.php?aid=77&id=5"),
                           Album("x", "TRIP", "http://fb/album.php?id=5&aid=77"),
                           Album("y", "trip", "HTTP://FB/ALBUM.PHP?AID=77&ID=5"),
                           Album("78", "Trip", "http://fb/album.php?aid=78&id=5"),
                           Album("77b", "Other", "http://fb/album.php?aid=77&id=5")});
         },
         [](TFacebook &fb) { fb.GetAlbumsGraph(); }, QStringLiteral("me/albums"),
         R"({"data":[{"id":"10150146071791729","name":"Trip",
                       "link":"http://fb/album.php?aid=77&id=5"}]})",
         csSuccessed,
         [](const TFacebook &fb) {
             const QString gid = QStringLiteral("10150146071791729");
             ASSERT_EQ(fb.Albums().size(), 5);
             EXPECT_EQ(fb.Albums()[0].gid, gid);
             EXPECT_EQ(fb.Albums()[1].gid, gid);
             EXPECT_EQ(fb.Albums()[2].gid, gid); // equal links, any case
             EXPECT_TRUE(fb.Albums()[3].gid.isEmpty());
             EXPECT_TRUE(fb.Albums()[4].gid.isEmpty());
             EXPECT_EQ(fb.GetAlbumIndexFromGID(gid), 0);
         }},
        {"me/albums without data changes nothing", [](TFacebook &fb) { fb.SetAlbums(kTwoAlbums); },
         [](TFacebook &fb) { fb.GetAlbumsGraph(); }, QStringLiteral("me/albums"), "{}", csSuccessed,
         [](const TFacebook &fb) { EXPECT_EQ(fb.Albums(), kTwoAlbums); }},
    };
}

class FacebookAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(FacebookAnswers, RecordsAndFinalState) {
    const AnswerCase &c = GetParam();
    sandbox::RawRecordingServer server;
    ASSERT_TRUE(server.Start());
    server.QueueAnswer(c.answer);
    TFacebook fb;
    fb.SetGraphURL(Q(server.BaseURL()) + QStringLiteral("graph/"));
    fb.SetRestURL(Q(server.BaseURL()) + QStringLiteral("restserver.php"));
    fb.SetAccessToken(QStringLiteral("T"));
    StateLog states;
    RecordStates(fb, states);
    QString raw;
    fb.OnDoneStringEvent = [&](QObject *sender, const QString &text) {
        EXPECT_EQ(sender, &fb);
        raw = text;
    };
    if (c.setup)
        c.setup(fb);
    c.call(fb);
    ASSERT_TRUE(WaitFor([&] { return FinalCount(states, c.method) > 0; })) << Describe(states);
    Settle(100);
    ASSERT_EQ(states.size(), 3u) << Describe(states);
    EXPECT_EQ(states.back(), std::make_pair(c.method, c.final)) << Describe(states);
    EXPECT_EQ(raw, QString::fromStdString(c.answer)); // raised first, as received
    c.check(fb);
}

INSTANTIATE_TEST_SUITE_P(Table, FacebookAnswers, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<AnswerCase> &info) {
                             std::string n;
                             for (const char *p = info.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// The error record keeps its value through a later answer that is not JSON.
TEST(FacebookAnswer, NotJsonKeepsThePreviousErrorRecord) {
    TFacebookRecords r;
    EXPECT_EQ(
        ReadFacebookAnswer(QStringLiteral("photos.upload"),
                           QStringLiteral(R"({"error_code":321,"error_msg":"Album is full"})"), r),
        TFacebookAnswer::Error);
    EXPECT_EQ(ReadFacebookAnswer(QStringLiteral("photos.upload"),
                                 QStringLiteral("<html>502 Bad Gateway</html>"), r),
              TFacebookAnswer::NotJson);
    EXPECT_EQ(r.LastErrorInfo, Err(321, "Album is full"));
    // Method names are compared without regard to case.
    EXPECT_EQ(
        ReadFacebookAnswer(QStringLiteral("VIDEO.Upload"), QStringLiteral(R"({"vid":123})"), r),
        TFacebookAnswer::Read);
    EXPECT_EQ(r.LastUploadedVideo.vid, QStringLiteral("123"));
}

TEST(FacebookAnswer, SameAlbumLink) {
    struct Case {
        const char *a, *b;
        bool same;
    } cases[] = {
        {"http://fb/album.php?aid=77&id=1", "http://fb/album.php?id=2&aid=77", true},
        {"http://fb/album.php?aid=77", "http://fb/album.php?aid=78", false},
        {"http://fb/a.php?aid=ab&id=1", "http://fb/a.php?aid=AB&id=2", false}, // values exact
        {"HTTP://FB/A?AID=AB", "http://fb/a?aid=ab", true},                    // same text
        {"http://fb/x", "http://fb/y", true},                                  // both without aid
        {"http://fb/x?aid=", "http://fb/y?id=3", true},
        {"aid=5&x=1", "http://fb/a?aid=5", true}, // no "?": the whole address is the query
        {"http://fb/a?aid=5", "", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(SameAlbumLink(QString::fromUtf8(c.a), QString::fromUtf8(c.b)), c.same)
            << c.a << " vs " << c.b;
    }
}

TEST(FacebookAnswer, AlbumLookups) {
    TFacebook fb;
    fb.SetAlbums({Album("1_1", "Wall Photos", ""), Album("1_2", "wall photos", ""),
                  Album("AbC", "Trip", "")});
    fb.MatchAlbumGID(QStringLiteral("trip"), QString(), QStringLiteral("G9"));
    EXPECT_EQ(fb.GetAlbumIDFromName(QStringLiteral("WALL PHOTOS")), QStringLiteral("1_1"));
    EXPECT_EQ(fb.GetAlbumIDFromName(QStringLiteral("Nothing")), QString());
    EXPECT_EQ(fb.GetAlbumIndexFromID(QStringLiteral("abc")), 2);
    EXPECT_EQ(fb.GetAlbumIndexFromID(QStringLiteral("9")), -1);
    EXPECT_EQ(fb.GetAlbumIndexFromGID(QStringLiteral("g9")), 2);
    EXPECT_EQ(fb.GetAlbumIndexFromGID(QStringLiteral("G8")), -1);
}

TEST(FacebookAnswer, EndpointsDefaultToFacebookAndFollowTheProcessDefaults) {
    const TFacebookEndpoints saved = TFacebook::DefaultEndpoints();
    {
        TFacebook fb;
        EXPECT_EQ(fb.GraphURL(), QStringLiteral("https://graph.facebook.com/"));
        EXPECT_EQ(fb.RestURL(), QStringLiteral("https://api.facebook.com/restserver.php"));
        EXPECT_EQ(fb.VideoURL(), QStringLiteral("https://api-video.facebook.com/restserver.php"));
    }
    TFacebook::SetDefaultEndpoints({QStringLiteral("http://127.0.0.1:1/graph/"),
                                    QStringLiteral("http://127.0.0.1:1/restserver.php"),
                                    QStringLiteral("http://127.0.0.1:1/video/restserver.php")});
    TFacebook fb;
    EXPECT_EQ(fb.GraphURL(), QStringLiteral("http://127.0.0.1:1/graph/"));
    EXPECT_EQ(fb.VideoURL(), QStringLiteral("http://127.0.0.1:1/video/restserver.php"));
    TFacebook::SetDefaultEndpoints(saved);
}

} // namespace
