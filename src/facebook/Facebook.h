#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "net/DownloaderDef.h"

#include <functional>

class TKestHttpRequest;

// States of one Facebook call, reported with the call's method name.
// csUploading belongs to the set but the client never raises it.
enum TFacebookConnectionState { csBeforeConnect, csConnecting, csUploading, csFailed, csSuccessed };

enum TAlbumVisible { avEveryone, avFriends, avFriendsOfFriends, avNetwork };

enum TFacebookFormat { ffJSON, ffXml };

// One album. gid (the Graph id) is filled only by MatchAlbumGID after a "me/albums"
// answer; owner is never filled by any answer.
struct TFacebookAlbum {
    QString aid;
    QString gid;
    QString name;
    QString cover_pid;
    qint64 owner = 0;
    QString description;
    QString link;
    QString visible;
    bool can_upload = false;
    qint32 size = 0;
    bool operator==(const TFacebookAlbum &) const = default;
};

using TFacebookAlbums = QList<TFacebookAlbum>;

struct TFacebookPicture {
    QString pid;
    QString aid;
    QString src;
    QString src_big;
    QString src_small;
    QString link;
    QString caption;
    bool operator==(const TFacebookPicture &) const = default;
};

struct TFacebookVideo {
    QString vid;
    QString title;
    QString description;
    QString link;
    bool operator==(const TFacebookVideo &) const = default;
};

struct TFacebookUserInfo {
    QString id;
    QString name;
    QString first_name;
    QString last_name;
    QString bio;
    QString link;
    QString gender;
    qint32 timezone = 0;
    QString locale;
    bool verified = false;
    QString updated_time;
    bool operator==(const TFacebookUserInfo &) const = default;
};

struct TFacebookErrorInfo {
    qint32 error_code = 0;
    QString error_msg;
    bool operator==(const TFacebookErrorInfo &) const = default;
};

// A wall entry; every field is sent, empty ones too, in this order.
struct TFacebookFeed {
    QString message;
    QString link;
    QString picture;
    QString name;
    QString caption;
    QString description;
    QString actions;
    QString privacy;
    QString targeting;
};

// The addresses a client talks to. Facebook's own hosts unless the program's settings
// point the client elsewhere ("FB.URL.Graph", "FB.URL.Rest", "FB.URL.RestVideo").
struct TFacebookEndpoints {
    QString Graph = QStringLiteral("https://graph.facebook.com/");
    QString Rest = QStringLiteral("https://api.facebook.com/restserver.php");
    QString Video = QStringLiteral("https://api-video.facebook.com/restserver.php");
};

class TRqSettings;

// The endpoints named by the settings "FB.URL.Graph", "FB.URL.Rest" and "FB.URL.RestVideo";
// a key that is absent or empty keeps Facebook's own address. The program passes the
// result to TFacebook::SetDefaultEndpoints once at start-up.
TFacebookEndpoints FacebookEndpointsFromSettings(TRqSettings &aSettings);

// The records an answer may change; the client holds one set.
struct TFacebookRecords {
    TFacebookAlbums Albums;
    TFacebookUserInfo UserInfo;
    TFacebookPicture LastUploadedPicture;
    TFacebookVideo LastUploadedVideo;
    TFacebookErrorInfo LastErrorInfo;
};

enum class TFacebookAnswer {
    NotJson, // nothing could be read; the call fails, LastErrorInfo untouched
    Error,   // an "error_code" answer; LastErrorInfo filled
    Read     // read by method name (perhaps nothing read); the call succeeded
};

// Reads one answer text of the call named aMethod into aRecords: the "data" wrapping of
// answers that are not objects, error answers, then the reader of the method.
TFacebookAnswer ReadFacebookAnswer(const QString &aMethod, const QString &aAnswer,
                                   TFacebookRecords &aRecords);

// "everyone", "friends", "friends of friends", "networks"; anything else "everyone".
QString AlbumVisibleText(int aVisible);

// Two album addresses denote the same album: equal without regard to case, or the
// same value of the query item "aid" (absent counts as empty).
bool SameAlbumLink(const QString &a, const QString &b);

// Sets gid := aID on every album named aName (any case) whose link is SameAlbumLink.
void MatchAlbumGID(TFacebookAlbums &aAlbums, const QString &aName, const QString &aLink,
                   const QString &aID);

QString FacebookStateName(TFacebookConnectionState aState);

// The component through which the pages talk to Facebook: one call at a time, each
// reported as csBeforeConnect, csConnecting, then exactly one of csSuccessed/csFailed,
// unless a newer call, Abort or destruction abandons it (then nothing more is raised).
class TFacebook : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString AccessToken READ AccessToken WRITE SetAccessToken)
    Q_PROPERTY(QString GraphURL READ GraphURL WRITE SetGraphURL)
    Q_PROPERTY(QString RestURL READ RestURL WRITE SetRestURL)
    Q_PROPERTY(QString VideoURL READ VideoURL WRITE SetVideoURL)

public:
    using TOnMethodStateChanged =
        std::function<void(QObject *aSender, const QString &aMethod, TFacebookConnectionState)>;
    using TOnBeforeRequestEvent = std::function<void(
        const QString &aURL, const QString &aMethod, bool aPost, const QStringList &Args,
        const QString &aFileField, const QString &aFileName, bool &Default)>;

    explicit TFacebook(QObject *aOwner = nullptr);
    ~TFacebook() override;

    // Endpoints every new client starts with; the program sets them once from its
    // settings at start-up.
    static TFacebookEndpoints DefaultEndpoints();
    static void SetDefaultEndpoints(const TFacebookEndpoints &aEndpoints);

    QString AccessToken() const { return FAccessToken; }
    void SetAccessToken(const QString &v) { FAccessToken = v; }
    QString GraphURL() const { return FEndpoints.Graph; }
    void SetGraphURL(const QString &v) { FEndpoints.Graph = v; }
    QString RestURL() const { return FEndpoints.Rest; }
    void SetRestURL(const QString &v) { FEndpoints.Rest = v; }
    QString VideoURL() const { return FEndpoints.Video; }
    void SetVideoURL(const QString &v) { FEndpoints.Video = v; }
    TFacebookEndpoints Endpoints() const { return FEndpoints; }
    void SetEndpoints(const TFacebookEndpoints &v) { FEndpoints = v; }

    const TFacebookAlbums &Albums() const { return FData.Albums; }
    void SetAlbums(const TFacebookAlbums &v) { FData.Albums = v; }
    TFacebookPicture LastUploadedPicture() const { return FData.LastUploadedPicture; }
    TFacebookVideo LastUploadedVideo() const { return FData.LastUploadedVideo; }
    QString LastPostedLinkID() const { return FLastPostedLinkID; }
    TFacebookUserInfo UserInfo() const { return FData.UserInfo; }
    TFacebookErrorInfo LastErrorInfo() const { return FData.LastErrorInfo; }
    // Method name of the call started last.
    QString CurrentMethod() const { return FCurrentMethod; }

    // Progress of the running request (the request's worker is the sender).
    TOnProgressEvent OnProgressEvent() const;
    void SetOnProgressEvent(TOnProgressEvent aHandler);

    // Calls: each starts one request and returns at once.
    void GetUserInfo();
    void GetAlbumsGraph();
    void GetAlbums();
    void CreateAlbum(const QString &aAlbumCaption, const QString &aLocation,
                     const QString &aDescription, TAlbumVisible aVisible);
    void UploadPicture(const QString &aFileName, const QString &aAlbumID, const QString &aCaption);
    void UploadVideo(const QString &aFileName, const QString &aTitle, const QString &aDescription);
    void PostLink(const QString &aURL, const QString &aComment, const QString &aImageURL);
    void PostFeed(const TFacebookFeed &aFeed);

    // Addresses of pictures, built without a request.
    QString GetUserPicture() const;
    QString GetAlbumPicture(const QString &aAlbumID) const;

    bool IsLogin() const { return !FAccessToken.isEmpty(); }
    void Abort();

    QString GetAlbumIDFromName(const QString &aAlbumName) const;
    int GetAlbumIndexFromID(const QString &aAlbumID) const;
    int GetAlbumIndexFromGID(const QString &aAlbumID) const;
    void MatchAlbumGID(const QString &aName, const QString &aLink, const QString &aID);

    // Completion handlers of the request component; public so a test can feed answers.
    void DownloaderDoneString(QObject *Sender, const QString &strResult);
    void DownloaderError(QObject *Sender);

    TOnMethodStateChanged OnMethodStateChanged;
    TOnDoneStringEvent OnDoneStringEvent;
    TOnBeforeRequestEvent OnBeforeHTMLRequest;

private:
    void SendRequest(const QString &aURL, const QString &aMethod, bool aPost,
                     const QStringList &Args, const QString &aFileField = QString(),
                     const QString &aFileName = QString());
    void RaiseState(const QString &aMethod, TFacebookConnectionState aState);

    QString FAccessToken;
    TKestHttpRequest *FDownloader = nullptr;
    QString FCurrentMethod;
    TFacebookFormat FFormat = ffJSON;
    TFacebookRecords FData;
    QString FLastPostedLinkID;
    TFacebookEndpoints FEndpoints;
};
