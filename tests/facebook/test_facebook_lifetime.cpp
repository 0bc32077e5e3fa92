// A page may free its client from inside the client's own events. Built with the client
// under AddressSanitizer: a step that touched the freed client, its handler or a name it
// held would stop the run.

#include "FacebookSandbox.h"
#include "FacebookTestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct LifetimeCase {
    const char *name;
    std::string answer;  // "" for a transport failure
    QString method;      // the call whose event frees the client
    QString freeOnState; // method name of the state that frees it ("" for the raw answer)
    TFacebookConnectionState state;
};

void PrintTo(const LifetimeCase &c, std::ostream *os) {
    *os << c.name;
}

class FacebookLifetime : public ::testing::TestWithParam<LifetimeCase> {};

TEST_P(FacebookLifetime, FreeingTheClientInItsOwnEventIsSafe) {
    const LifetimeCase &c = GetParam();
    sandbox::RawRecordingServer server;
    ASSERT_TRUE(server.Start());
    const QString base = Q(server.BaseURL());
    if (c.answer.empty())
        server.Stop(); // nothing listens: the call fails in the transport
    else
        server.QueueAnswer(c.answer);

    auto *fb = new TFacebook;
    fb->SetGraphURL(base + QStringLiteral("graph/"));
    fb->SetRestURL(base + QStringLiteral("restserver.php"));
    fb->SetVideoURL(base + QStringLiteral("video/restserver.php"));
    QStringList seen;
    bool freed = false;
    fb->OnMethodStateChanged = [&, fb, c](QObject *, const QString &aMethod,
                                          TFacebookConnectionState aState) {
        if (freed)
            return;
        if (!c.freeOnState.isEmpty() && aMethod == c.freeOnState && aState == c.state) {
            delete fb;
            freed = true;
        }
        // What a page does after freeing: it still reads its own captures and the name.
        seen << aMethod + u' ' + FacebookStateName(aState) + u' ' + c.freeOnState;
    };
    if (c.freeOnState.isEmpty()) {
        fb->OnDoneStringEvent = [&, fb, c](QObject *, const QString &text) {
            delete fb;
            freed = true;
            seen << c.method + u' ' + text.left(1);
        };
    }

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("c.avi"));
    ASSERT_TRUE(WriteAll(path, "clip"));
    if (c.method == QStringLiteral("video.upload"))
        fb->UploadVideo(path, QStringLiteral("t"), QString());
    else if (c.method == QStringLiteral("photos.getAlbums"))
        fb->GetAlbums();
    else
        fb->GetUserInfo();
    ASSERT_TRUE(WaitFor([&] { return freed; })) << seen.join(u';');
    Settle(200);
    if (!c.freeOnState.isEmpty()) {
        EXPECT_TRUE(seen.last().startsWith(c.freeOnState)) << seen.join(u';');
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FacebookLifetime,
    ::testing::Values(LifetimeCase{"on_success", R"({"id":"1"})", QStringLiteral("me"),
                                   QStringLiteral("me"), csSuccessed},
                      LifetimeCase{"on_error_answer", R"({"error_code":190,"error_msg":"x"})",
                                   QStringLiteral("photos.getAlbums"),
                                   QStringLiteral("photos.getAlbums"), csFailed},
                      LifetimeCase{"on_transport_failure", "", QStringLiteral("photos.getAlbums"),
                                   QStringLiteral("photos.getAlbums"), csFailed},
                      LifetimeCase{"on_raw_answer", R"({"id":"1"})", QStringLiteral("me"),
                                   QString(), csSuccessed},
                      // The wall post started from inside the upload's completion.
                      LifetimeCase{"on_automatic_wall_post", R"({"vid":5,"title":"t","link":"l"})",
                                   QStringLiteral("video.upload"), QStringLiteral("me/feed"),
                                   csConnecting}),
    [](const ::testing::TestParamInfo<LifetimeCase> &info) {
        return std::string(info.param.name);
    });

} // namespace
