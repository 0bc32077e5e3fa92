// The sandbox service, driven through the client as the program drives Facebook, and its
// own pages, sign-in, update answer and control endpoint.

#include "FacebookSandbox.h"
#include "FacebookTestSupport.h"
#include "framework/RqSettings.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>

#include <httplib.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using nlohmann::json;

class SandboxRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(data.isValid());
        service = std::make_unique<sandbox::FacebookSandbox>(
            data.filePath(QStringLiteral("sbx")).toStdString());
        ASSERT_TRUE(service->Start()) << service->ErrorText();
        fb.SetGraphURL(Q(service->GraphURL()));
        fb.SetRestURL(Q(service->RestURL()));
        fb.SetVideoURL(Q(service->VideoURL()));
        fb.SetAccessToken(Q(service->Accounts()[0].token));
        RecordStates(fb, states);
    }

    // Runs one call of the client to its final state.
    TFacebookConnectionState Call(const std::function<void()> &call, const QString &method) {
        const int before = FinalCount(states, method);
        call();
        EXPECT_TRUE(WaitFor([&] { return FinalCount(states, method) > before; }))
            << Describe(states);
        for (auto it = states.rbegin(); it != states.rend(); ++it) {
            if (it->first == method && IsFinal(it->second))
                return it->second;
        }
        return csBeforeConnect;
    }

    QString File(const QString &name, const QByteArray &bytes) {
        const QString path = files.filePath(name);
        EXPECT_TRUE(WriteAll(path, bytes));
        return path;
    }

    QTemporaryDir data, files;
    std::unique_ptr<sandbox::FacebookSandbox> service;
    TFacebook fb;
    StateLog states;
};

TEST_F(SandboxRun, WholePhotoRun) {
    // Profile.
    ASSERT_EQ(Call([&] { fb.GetUserInfo(); }, QStringLiteral("me")), csSuccessed);
    EXPECT_EQ(fb.UserInfo().name, QStringLiteral("Alice Finch"));
    EXPECT_EQ(fb.UserInfo().timezone, -5);

    // Albums, then their Graph ids (above 2^53, so they must arrive digit for digit).
    ASSERT_EQ(Call([&] { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums")), csSuccessed);
    ASSERT_EQ(fb.Albums().size(), 3);
    EXPECT_EQ(fb.Albums()[0].name, QStringLiteral("Wall Photos"));
    EXPECT_EQ(fb.Albums()[2].size, 200);
    ASSERT_EQ(Call([&] { fb.GetAlbumsGraph(); }, QStringLiteral("me/albums")), csSuccessed);
    EXPECT_EQ(fb.Albums()[0].gid, QStringLiteral("10150146071791729"));
    EXPECT_EQ(fb.Albums()[1].gid, QStringLiteral("10150146071791730"));

    // A new album.
    ASSERT_EQ(Call(
                  [&] {
                      fb.CreateAlbum(QStringLiteral("Holiday \u00e9t\u00e9"),
                                     QStringLiteral("Coast"), QStringLiteral("Sea and sand"),
                                     avFriendsOfFriends);
                  },
                  QStringLiteral("photos.createAlbum")),
              csSuccessed);
    ASSERT_EQ(fb.Albums().size(), 4);
    const TFacebookAlbum created = fb.Albums()[3];
    EXPECT_EQ(created.name, QStringLiteral("Holiday \u00e9t\u00e9"));
    EXPECT_EQ(created.visible, QStringLiteral("friends of friends"));
    EXPECT_TRUE(created.can_upload);

    // Two uploads, the first refused once by the service.
    const QByteArray one = Noise(70000, 11), two = Noise(5000, 12);
    const QString pathOne = File(QStringLiteral("first photo.jpg"), one);
    const QString pathTwo = File(QStringLiteral("zweite.PNG"), two);
    service->FailNext("photos.upload", 1, sandbox::FaultMode::Unavailable);
    EXPECT_EQ(Call([&] { fb.UploadPicture(pathOne, created.aid, QStringLiteral("First")); },
                   QStringLiteral("photos.upload")),
              csFailed);
    EXPECT_EQ(fb.LastErrorInfo().error_code, 2);
    EXPECT_EQ(fb.LastErrorInfo().error_msg, QStringLiteral("Service temporarily unavailable"));
    ASSERT_EQ(Call([&] { fb.UploadPicture(pathOne, created.aid, QStringLiteral("First")); },
                   QStringLiteral("photos.upload")),
              csSuccessed);
    const TFacebookPicture first = fb.LastUploadedPicture();
    ASSERT_EQ(Call([&] { fb.UploadPicture(pathTwo, created.aid, QStringLiteral("Zweite \u00fc")); },
                   QStringLiteral("photos.upload")),
              csSuccessed);
    const TFacebookPicture second = fb.LastUploadedPicture();
    EXPECT_EQ(first.aid, created.aid);
    EXPECT_EQ(second.caption, QStringLiteral("Zweite \u00fc"));

    // A full album refuses.
    EXPECT_EQ(Call([&] { fb.UploadPicture(pathTwo, fb.Albums()[2].aid, QString()); },
                   QStringLiteral("photos.upload")),
              csFailed);
    EXPECT_EQ(fb.LastErrorInfo().error_code, 321);

    // What the service kept, byte for byte.
    EXPECT_EQ(service->PhotoBytes(first.pid.toStdString()), one.toStdString());
    EXPECT_EQ(service->PhotoBytes(second.pid.toStdString()), two.toStdString());
    const json state = service->State();
    ASSERT_EQ(state["photos"].size(), 2u);
    EXPECT_EQ(state["photos"][0]["caption"], "First");
    EXPECT_EQ(state["photos"][0]["original_name"], "first photo.jpg");
    EXPECT_EQ(state["photos"][1]["caption"], "Zweite \xc3\xbc");
    EXPECT_EQ(state["photos"][1]["aid"], created.aid.toStdString());

    // The links answered open pages showing the items.
    httplib::Client http("127.0.0.1", service->Port());
    const auto photoPage = http.Get(QUrl(first.link).path(QUrl::FullyEncoded).toStdString() + "?" +
                                    QUrl(first.link).query().toStdString());
    ASSERT_TRUE(photoPage);
    EXPECT_EQ(photoPage->status, 200);
    EXPECT_NE(photoPage->body.find("First"), std::string::npos);
    const auto src = http.Get(QUrl(first.src).path().toStdString());
    ASSERT_TRUE(src);
    EXPECT_EQ(src->body, one.toStdString());
    const auto index = http.Get("/");
    ASSERT_TRUE(index);
    EXPECT_NE(index->body.find("Holiday"), std::string::npos);

    // Pictures of the account and of the new album are JPEG bytes.
    ASSERT_EQ(Call([&] { fb.GetAlbumsGraph(); }, QStringLiteral("me/albums")), csSuccessed);
    ASSERT_FALSE(fb.Albums()[3].gid.isEmpty());
    for (const QString &address : {fb.GetUserPicture(), fb.GetAlbumPicture(fb.Albums()[3].gid)}) {
        const QUrl url(address);
        const auto pic = http.Get(url.path().toStdString() + "?" + url.query().toStdString());
        ASSERT_TRUE(pic);
        EXPECT_EQ(pic->get_header_value("Content-Type"), "image/jpeg") << address;
        EXPECT_EQ(pic->body.substr(0, 2), "\xff\xd8") << address;
    }
}

TEST_F(SandboxRun, VideoRun) {
    const QByteArray clip = Noise(300000, 21);
    const QString path = File(QStringLiteral("holiday.avi"), clip);
    qint64 maxTotal = 0;
    fb.SetOnProgressEvent(
        [&](QObject *, qint64 total, qint64) { maxTotal = std::max(maxTotal, total); });
    ASSERT_EQ(
        Call([&] { fb.UploadVideo(path, QStringLiteral("Waves"), QStringLiteral("At the pier")); },
             QStringLiteral("video.upload")),
        csSuccessed);
    ASSERT_TRUE(WaitFor([&] { return FinalCount(states, QStringLiteral("me/feed")) > 0; }));
    EXPECT_EQ(states.back(), std::make_pair(QStringLiteral("me/feed"), csSuccessed));
    EXPECT_GT(maxTotal, clip.size()); // the whole body went through the upload phase

    const TFacebookVideo video = fb.LastUploadedVideo();
    EXPECT_EQ(video.title, QStringLiteral("Waves"));
    EXPECT_EQ(service->VideoBytes(video.vid.toStdString()), clip.toStdString());
    const json state = service->State();
    ASSERT_EQ(state["videos"].size(), 1u);
    EXPECT_EQ(state["videos"][0]["description"], "At the pier");
    ASSERT_EQ(state["feed"].size(), 1u);
    EXPECT_EQ(state["feed"][0]["message"], "Waves");
    EXPECT_EQ(state["feed"][0]["link"], video.link.toStdString());
    EXPECT_EQ(state["feed"][0]["description"], "At the pier");
}

TEST_F(SandboxRun, ServiceErrorsReachTheClient) {
    struct Case {
        const char *mode;
        sandbox::FaultMode fault;
        TFacebookErrorInfo error; // expected LastErrorInfo after the call
    };
    fb.SetAccessToken(QStringLiteral("not-a-token"));
    ASSERT_EQ(Call([&] { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums")), csFailed);
    EXPECT_EQ(fb.LastErrorInfo().error_code, 190);
    ASSERT_EQ(Call([&] { fb.GetUserInfo(); }, QStringLiteral("me")), csFailed);
    fb.SetAccessToken(Q(service->Accounts()[1].token));

    // An HTML page and a dropped connection both fail the call; the error record stays.
    for (sandbox::FaultMode mode : {sandbox::FaultMode::HtmlPage, sandbox::FaultMode::Drop}) {
        service->FailNext("*", 1, mode);
        EXPECT_EQ(Call([&] { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums")), csFailed);
        EXPECT_EQ(fb.LastErrorInfo().error_code, 190);
    }
    // A count of none spoils nothing.
    service->FailNext("*", 0, sandbox::FaultMode::Unavailable);
    // After the faults are used up, calls go through again.
    ASSERT_EQ(Call([&] { fb.GetAlbums(); }, QStringLiteral("photos.getAlbums")), csSuccessed);
    EXPECT_EQ(fb.Albums().size(), 2); // Bob's albums
}

TEST_F(SandboxRun, ThrottledUploadReportsProgressAlongTheWay) {
    service->SetThrottle(1000000);
    const QByteArray bytes = Noise(800000, 31);
    const QString path = File(QStringLiteral("slow.jpg"), bytes);
    std::vector<qint64> seen;
    fb.SetOnProgressEvent([&](QObject *, qint64, qint64 done) { seen.push_back(done); });
    QElapsedTimer t;
    t.start();
    ASSERT_EQ(Call([&] { fb.UploadPicture(path, QStringLiteral("100001_2"), QString()); },
                   QStringLiteral("photos.upload")),
              csSuccessed);
    EXPECT_GE(t.elapsed(), 700);
    // Progress arrived while the body was still going out, not only at its end.
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                            [&](qint64 done) { return done > 0 && done < bytes.size() / 2; }))
        << seen.size() << " progress events";
    EXPECT_EQ(service->PhotoBytes(fb.LastUploadedPicture().pid.toStdString()), bytes.toStdString());
}

TEST(Sandbox, SignInUpdateAnswerAndControlEndpoint) {
    QTemporaryDir data;
    sandbox::FacebookSandbox service(data.path().toStdString());
    ASSERT_TRUE(service.Start());
    httplib::Client http("127.0.0.1", service.Port());

    const auto login = http.Get(service.LoginURL().substr(service.BaseURL().size() - 1));
    ASSERT_TRUE(login);
    EXPECT_NE(login->body.find("bob@example.com"), std::string::npos);
    EXPECT_NE(login->body.find("Alice Finch"), std::string::npos);
    // The page shows the accounts' pictures, which need no token; "me" does.
    const auto face = http.Get("/graph/" + service.Accounts()[1].id + "/picture");
    ASSERT_TRUE(face);
    EXPECT_EQ(face->get_header_value("Content-Type"), "image/jpeg");
    EXPECT_EQ(http.Get("/graph/me/picture")->status, 400);

    // Picking an account (by its e-mail, any case) ends at the success address with the
    // token in the fragment; the profile's patterns recognise exactly that address.
    const auto pick = http.Get("/login/pick?email=Bob%40Example.com");
    ASSERT_TRUE(pick);
    EXPECT_EQ(pick->status, 302);
    const std::string location = pick->get_header_value("Location");
    EXPECT_EQ(location, service.BaseURL() + "connect/login_success.html#access_token=" +
                            service.Accounts()[1].token + "&expires_in=0");
    const auto unknown = http.Get("/login/pick?email=nobody%40example.com");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 200);

    const std::string profile = service.ProfileText();
    EXPECT_NE(profile.find("FB.URL.Graph=" + service.GraphURL() + "\n"), std::string::npos);
    EXPECT_NE(profile.find("FB.URL.Rest=" + service.RestURL() + "\n"), std::string::npos);
    EXPECT_NE(profile.find("FB.URL.RestVideo=" + service.VideoURL() + "\n"), std::string::npos);
    EXPECT_NE(profile.find("App.MagicWord=lumafinch-sandbox\n"), std::string::npos);

    const auto update = http.Get("/update?ACTION=Update&ver=1");
    ASSERT_TRUE(update);
    EXPECT_EQ(update->body, "magicword=lumafinch-sandbox\r\nResult=0\r\n");
    ASSERT_TRUE(http.Get("/_sandbox/update?result=1&info=New%20version&page=http%3A%2F%2Fx%2F"));
    EXPECT_EQ(http.Get("/update")->body,
              "magicword=lumafinch-sandbox\r\nResult=1\r\ninfo=New version\r\npage=http://x/\r\n");
    // In the 8-bit code page the answer's header names.
    service.SetUpdateAnswer(1, "Neue Version \xC3\xA9", "");
    EXPECT_EQ(http.Get("/update")->body,
              "magicword=lumafinch-sandbox\r\nResult=1\r\ninfo=Neue Version \xE9\r\n");

    // The control endpoint arms faults the way the library call does.
    ASSERT_EQ(http.Get("/_sandbox/fail?method=me&count=2&mode=unavailable")->status, 200);
    EXPECT_EQ(http.Get("/_sandbox/fail?method=me&mode=bogus")->status, 400);
    const std::string me = "/graph/me?access_token=" + service.Accounts()[0].token;
    EXPECT_NE(http.Get(me)->body.find("Service temporarily unavailable"), std::string::npos);
    EXPECT_NE(http.Get(me)->body.find("Service temporarily unavailable"), std::string::npos);
    EXPECT_NE(http.Get(me)->body.find("Alice Finch"), std::string::npos);
    ASSERT_EQ(http.Get("/_sandbox/fail?method=me&count=5&mode=html")->status, 200);
    ASSERT_EQ(http.Get("/_sandbox/reset")->status, 200);
    EXPECT_NE(http.Get(me)->body.find("Alice Finch"), std::string::npos);
    EXPECT_EQ(json::parse(http.Get("/_sandbox/state")->body)["accounts"].size(), 2u);
}

// The login window applies the profile's two patterns to every address the browser
// visits: only the end of a sign-in may match the first, and the second yields the token.
TEST(Sandbox, ProfilePatternsRecogniseTheEndOfItsSignIn) {
    QTemporaryDir data;
    sandbox::FacebookSandbox service(data.path().toStdString());
    ASSERT_TRUE(service.Start());
    QString success, token;
    for (const QString &line : Q(service.ProfileText()).split(u'\n')) {
        if (line.startsWith(QStringLiteral("FB.Pattern.Login.Success=")))
            success = line.section(u'=', 1);
        else if (line.startsWith(QStringLiteral("FB.Pattern.Login.Token=")))
            token = line.section(u'=', 1);
    }
    const QRegularExpression successRe(success), tokenRe(token);
    ASSERT_TRUE(successRe.isValid() && tokenRe.isValid()) << success << " " << token;

    httplib::Client http("127.0.0.1", service.Port());
    const std::string picked =
        http.Get("/login/pick?email=alice%40example.com")->get_header_value("Location");
    const std::string cancelled = http.Get("/login/cancel")->get_header_value("Location");
    struct Case {
        std::string address;
        bool finished;
        QString token; // captured when finished
    } cases[] = {
        {service.LoginURL(), false, {}},
        {service.BaseURL() + "login/pick?email=alice%40example.com", false, {}},
        {service.BaseURL() + "login/pick?email=nobody%40example.com", false, {}},
        {picked, true, Q(service.Accounts()[0].token)},
        {cancelled, true, {}}, // the user said no: finished without a token
    };
    for (const Case &c : cases) {
        const QString address = Q(c.address);
        EXPECT_EQ(successRe.match(address).hasMatch(), c.finished) << c.address;
        if (c.finished) {
            EXPECT_EQ(tokenRe.match(address).captured(1), c.token) << c.address;
        }
    }
}

TEST_F(SandboxRun, AnUploadItCouldNotKeepIsRefused) {
    // The stored names are predictable; a folder in the way of the next ones stops the writes.
    const QString filesDir = data.filePath(QStringLiteral("sbx/files/"));
    ASSERT_TRUE(QDir().mkpath(filesDir + QStringLiteral("photo_100001_101.jpg.tmp")));
    ASSERT_TRUE(QDir().mkpath(filesDir + QStringLiteral("video_123456789001.avi.tmp")));
    const QString photo = File(QStringLiteral("p.jpg"), Noise(500, 41));
    EXPECT_EQ(Call([&] { fb.UploadPicture(photo, QStringLiteral("100001_2"), QString()); },
                   QStringLiteral("photos.upload")),
              csFailed);
    const QString clip = File(QStringLiteral("c.avi"), Noise(500, 42));
    EXPECT_EQ(Call([&] { fb.UploadVideo(clip, QStringLiteral("t"), QString()); },
                   QStringLiteral("video.upload")),
              csFailed);
    EXPECT_EQ(fb.LastErrorInfo().error_code, 1);
    const json state = service->State();
    EXPECT_TRUE(state["photos"].empty());
    EXPECT_TRUE(state["videos"].empty());
    EXPECT_EQ(FinalCount(states, QStringLiteral("me/feed")), 0);
}

TEST(Sandbox, RequestsArrivingTogetherAreRecordedWithTheirOwnParts) {
    QTemporaryDir data;
    sandbox::FacebookSandbox service(data.path().toStdString());
    ASSERT_TRUE(service.Start());
    const int kThreads = 8, kEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            httplib::Client http("127.0.0.1", service.Port());
            for (int i = 0; i < kEach; ++i) {
                const std::string n = std::to_string(t * 1000 + i);
                const httplib::MultipartFormDataItems items = {{"method", "links.post", "", ""},
                                                               {"access_token", "none", "", ""},
                                                               {"url", n, "", ""}};
                http.Post(("/restserver.php?n=" + n).c_str(), items);
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    const std::vector<sandbox::ReceivedRequest> requests = service.Requests();
    ASSERT_EQ(requests.size(), size_t(kThreads * kEach));
    int wrong = 0;
    for (const sandbox::ReceivedRequest &r : requests) {
        const std::string n = r.target.substr(r.target.find('=') + 1);
        wrong += r.parts.size() != 3 || r.parts[2].name != "url" || r.parts[2].value != n;
    }
    EXPECT_EQ(wrong, 0);
}

TEST(Sandbox, KeepsWhatArrivedAcrossRestarts) {
    QTemporaryDir data;
    std::string pid;
    {
        sandbox::FacebookSandbox service(data.path().toStdString());
        ASSERT_TRUE(service.Start());
        httplib::Client http("127.0.0.1", service.Port());
        httplib::MultipartFormDataItems items = {
            {"method", "photos.upload", "", ""},
            {"access_token", service.Accounts()[1].token, "", ""},
            {"aid", "100002_2", "", ""},
            {"caption", "Robin", "", ""},
            {"filename", "\x01\x02jpeg", "C:\\pics\\robin.jpg", "image/jpeg"}};
        const auto res = http.Post("/restserver.php", items);
        ASSERT_TRUE(res);
        pid = json::parse(res->body)["pid"];
    }
    sandbox::FacebookSandbox again(data.path().toStdString());
    ASSERT_TRUE(again.Start());
    EXPECT_EQ(again.PhotoBytes(pid), "\x01\x02jpeg");
    const json state = again.State();
    ASSERT_EQ(state["photos"].size(), 1u);
    EXPECT_EQ(state["photos"][0]["original_name"], "robin.jpg");
    httplib::Client http("127.0.0.1", again.Port());
    const auto albums = http.Get("/graph/me/albums?access_token=" + again.Accounts()[1].token);
    ASSERT_TRUE(albums);
    EXPECT_EQ(json::parse(albums->body)["data"][1]["count"], 1);
}

TEST(Sandbox, MergeSettingsReplacesAndAppendsInTheSettingSection) {
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("setting.dat"));
    ASSERT_TRUE(WriteAll(ini, "[ShowAgain]\r\nMsgBox.Quit=1\r\n\r\n[setting]\r\n"
                              "fb.url.rest=old\r\nApp.Lang=de\r\n\r\n[Other]\r\nX=1\r\n"));
    ASSERT_TRUE(sandbox::MergeSettings(ini.toStdString(), "FB.URL.Rest=http://a/\nFB.Login=L\n"));
    EXPECT_EQ(ReadAll(ini), "[ShowAgain]\r\nMsgBox.Quit=1\r\n\r\n[setting]\r\n"
                            "FB.URL.Rest=http://a/\r\nApp.Lang=de\r\nFB.Login=L\r\n\r\n"
                            "[Other]\r\nX=1\r\n");
    const QString fresh = dir.filePath(QStringLiteral("new/setting.dat"));
    ASSERT_TRUE(sandbox::MergeSettings(fresh.toStdString(), "A.B=c=d\n"));
    EXPECT_EQ(ReadAll(fresh), "[setting]\r\nA.B=c=d\r\n");

    // Written the way the program reads it: a byte-order mark, blanks around names.
    const QString marked = dir.filePath(QStringLiteral("marked.dat"));
    ASSERT_TRUE(WriteAll(marked, "\xEF\xBB\xBF[ Setting ]\r\n FB.Login = old\r\n"));
    ASSERT_TRUE(sandbox::MergeSettings(marked.toStdString(), "FB.Login=L\n"));
    EXPECT_EQ(ReadAll(marked), "\xEF\xBB\xBF[ Setting ]\r\nFB.Login=L\r\n");
    // UTF-16 text is not merged byte by byte.
    const QString wide = dir.filePath(QStringLiteral("wide.dat"));
    const QByteArray wideText = QByteArray("\xFF\xFE[\0s\0]\0", 8);
    ASSERT_TRUE(WriteAll(wide, wideText));
    EXPECT_FALSE(sandbox::MergeSettings(wide.toStdString(), "FB.Login=L\n"));
    EXPECT_EQ(ReadAll(wide), wideText);

    // The file holds access tokens: a new one is private, an existing one keeps its mode.
    const QFileDevice::Permissions own = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    EXPECT_EQ(QFile::permissions(fresh) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), own);
    ASSERT_TRUE(QFile::setPermissions(ini, own));
    ASSERT_TRUE(sandbox::MergeSettings(ini.toStdString(), "FB.Login=M\n"));
    EXPECT_EQ(QFile::permissions(ini) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), own);
}

TEST(Sandbox, ProfileInSettingDatPointsTheProgramAtTheSandbox) {
    QTemporaryDir dir;
    TRqSettingsPaths paths;
    paths.ProgramFolder = dir.filePath(QStringLiteral("prog/"));
    paths.ProgramFile = dir.filePath(QStringLiteral("prog/lumafinch"));
    paths.PerUserBase = dir.filePath(QStringLiteral("share"));
    paths.AllUsersBase = dir.filePath(QStringLiteral("blocked/var/lib"));
    ASSERT_TRUE(WriteAll(dir.filePath(QStringLiteral("blocked")), "")); // no machine-wide folder
    ASSERT_TRUE(QDir().mkpath(paths.ProgramFolder));
    // The shipped file keeps Facebook's own addresses.
    ASSERT_TRUE(WriteAll(paths.ProgramFolder + QStringLiteral("const.dat"),
                         "[setting]\nApp.ConfigPath=Word\nApp.MagicWord=real\n"
                         "FB.Login=https://www.facebook.com/dialog/oauth\n"));
    {
        TRqSettings plain(QString(), paths);
        const TFacebookEndpoints e = FacebookEndpointsFromSettings(plain);
        EXPECT_EQ(e.Graph, QStringLiteral("https://graph.facebook.com/"));
        EXPECT_EQ(e.Rest, QStringLiteral("https://api.facebook.com/restserver.php"));
        EXPECT_EQ(e.Video, QStringLiteral("https://api-video.facebook.com/restserver.php"));
    }

    sandbox::FacebookSandbox service(dir.filePath(QStringLiteral("service")).toStdString());
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(sandbox::MergeSettings(
        QString(paths.PerUserBase + QStringLiteral("/Word/setting.dat")).toStdString(),
        service.ProfileText()));
    TRqSettings settings(QString(), paths);
    const TFacebookEndpoints e = FacebookEndpointsFromSettings(settings);
    EXPECT_EQ(e.Graph, Q(service.GraphURL()));
    EXPECT_EQ(e.Rest, Q(service.RestURL()));
    EXPECT_EQ(e.Video, Q(service.VideoURL()));
    EXPECT_EQ(settings.GetSettingString(QStringLiteral("FB.Login")), Q(service.LoginURL()));
    EXPECT_EQ(settings.GetSettingString(QStringLiteral("App.MagicWord")),
              QStringLiteral("lumafinch-sandbox"));
    EXPECT_EQ(settings.GetSettingString(QStringLiteral("URL.Update")), Q(service.UpdateURL()));
    // The patterns come back as written, backslashes included.
    const QString profile = Q(service.ProfileText());
    for (const QString &key :
         {QStringLiteral("FB.Pattern.Login.Success"), QStringLiteral("FB.Pattern.Login.Token")}) {
        EXPECT_TRUE(profile.contains(key + u'=' + settings.GetSettingString(key) + u'\n')) << key;
    }
    // A Graph base written without its final slash still gets one.
    settings.SetSettingstring(QStringLiteral("FB.URL.Graph"), QStringLiteral("http://h:1/graph"));
    EXPECT_EQ(FacebookEndpointsFromSettings(settings).Graph, QStringLiteral("http://h:1/graph/"));
    EXPECT_EQ(ReadAll(paths.ProgramFolder + QStringLiteral("const.dat")),
              "[setting]\nApp.ConfigPath=Word\nApp.MagicWord=real\n"
              "FB.Login=https://www.facebook.com/dialog/oauth\n");
}

} // namespace
