#include "facebook/Facebook.h"

#include "framework/RqDebugLog.h"
#include "framework/RqSettings.h"
#include "net/KestHttpRequest.h"

#include <QFileInfo>
#include <QPointer>

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <optional>

using nlohmann::json;

namespace {

const QString kMe = QStringLiteral("me");
const QString kMeAlbums = QStringLiteral("me/albums");
const QString kMeFeed = QStringLiteral("me/feed");
const QString kGetAlbums = QStringLiteral("photos.getAlbums");
const QString kCreateAlbum = QStringLiteral("photos.createAlbum");
const QString kUploadPhoto = QStringLiteral("photos.upload");
const QString kUploadVideo = QStringLiteral("video.upload");
const QString kPostLink = QStringLiteral("links.post");

const int kMaxAnswerDepth = 512;

TFacebookEndpoints &DefaultEndpointsRef() {
    static TFacebookEndpoints endpoints;
    return endpoints;
}

bool SameText(const QString &a, const QString &b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString FromUtf8(const std::string &s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// Member reads follow one rule set: a missing member is empty text, 0 or false; a member
// read as text is the string itself or, for any other value, its JSON text. Integers are
// kept as 64-bit values by the parser, so an id read as text keeps every digit.
const json *Member(const json &obj, const char *name) {
    if (!obj.is_object())
        return nullptr;
    auto it = obj.find(name);
    return it == obj.end() ? nullptr : &*it;
}

QString AsText(const json &obj, const char *name) {
    const json *v = Member(obj, name);
    if (!v || v->is_null())
        return QString();
    if (v->is_string())
        return FromUtf8(v->get_ref<const std::string &>());
    if (v->is_number_unsigned())
        return QString::number(v->get<quint64>());
    if (v->is_number_integer())
        return QString::number(v->get<qint64>());
    return FromUtf8(v->dump());
}

qint32 ClampInt(double d) {
    if (std::isnan(d))
        return 0;
    if (d >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (d <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return qint32(d);
}

qint32 AsInt(const json &obj, const char *name) {
    const json *v = Member(obj, name);
    if (!v)
        return 0;
    if (v->is_number_unsigned())
        return ClampInt(double(v->get<quint64>()));
    if (v->is_number_integer())
        return ClampInt(double(v->get<qint64>()));
    if (v->is_number_float())
        return ClampInt(v->get<double>());
    if (v->is_boolean())
        return v->get<bool>() ? 1 : 0;
    if (v->is_string()) {
        bool ok = false;
        const qint64 n = FromUtf8(v->get_ref<const std::string &>()).trimmed().toLongLong(&ok);
        return ok ? ClampInt(double(n)) : 0;
    }
    return 0;
}

bool AsBool(const json &obj, const char *name) {
    const json *v = Member(obj, name);
    if (!v)
        return false;
    if (v->is_boolean())
        return v->get<bool>();
    if (v->is_number())
        return v->get<double>() != 0;
    if (v->is_string()) {
        const QString s = FromUtf8(v->get_ref<const std::string &>()).trimmed();
        return SameText(s, QStringLiteral("true")) || s == QStringLiteral("1");
    }
    return false;
}

const json *AsArray(const json &obj, const char *name) {
    const json *v = Member(obj, name);
    return v && v->is_array() ? v : nullptr;
}

std::optional<json> ParseAnswer(const QString &aAnswer) {
    // Answers that are not an object (an array, a bare number) become the member "data"
    // of one. Leading blanks are skipped first so an error object behind a line break is
    // still recognised as the error it is.
    QString text = aAnswer;
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\r' ||
                               text[i] == u'\n' || text[i] == QChar(0xFEFF)))
        ++i;
    if (i >= text.size() || text[i] != u'{')
        text = QStringLiteral("{\"data\": ") + aAnswer + QStringLiteral("}");
    // Facebook's answers nest a few levels; a text nested thousands of levels deep is no
    // answer, and showing one of its members as JSON text would recurse once per level
    // until the stack runs out.
    bool tooDeep = false;
    const json::parser_callback_t depthCheck = [&tooDeep](int depth, json::parse_event_t, json &) {
        if (depth > kMaxAnswerDepth)
            tooDeep = true;
        return true;
    };
    const QByteArray utf8 = text.toUtf8();
    json value = json::parse(utf8.constData(), utf8.constData() + utf8.size(), depthCheck, false);
    if (tooDeep || value.is_discarded() || !value.is_object())
        return std::nullopt;
    return value;
}

TFacebookAlbum ReadAlbum(const json &e) {
    TFacebookAlbum a;
    a.aid = AsText(e, "aid");
    a.name = AsText(e, "name");
    a.cover_pid = AsText(e, "cover_pid");
    a.description = AsText(e, "description");
    a.link = AsText(e, "link");
    a.visible = AsText(e, "visible");
    a.can_upload = AsBool(e, "can_upload");
    a.size = AsInt(e, "size");
    return a;
}

void ReadRecords(const QString &method, const json &o, TFacebookRecords &r) {
    if (SameText(method, kGetAlbums)) {
        const json *a = AsArray(o, "data");
        r.Albums.clear();
        if (!a)
            return;
        r.Albums.resize(qsizetype(a->size()));
        for (size_t i = 0; i < a->size(); ++i) {
            try {
                r.Albums[qsizetype(i)] = ReadAlbum((*a)[i]);
            } catch (const std::exception &) {
                // An element that cannot be read stays an empty record.
            }
        }
    } else if (SameText(method, kMe)) {
        TFacebookUserInfo u;
        u.id = AsText(o, "id");
        u.name = AsText(o, "name");
        u.first_name = AsText(o, "first_name");
        u.last_name = AsText(o, "last_name");
        u.link = AsText(o, "link");
        u.gender = AsText(o, "gender");
        u.timezone = AsInt(o, "timezone");
        u.locale = AsText(o, "locale");
        u.verified = AsBool(o, "verified");
        u.updated_time = AsText(o, "updated_time");
        u.bio = AsText(o, "bio");
        r.UserInfo = u;
    } else if (SameText(method, kCreateAlbum)) {
        TFacebookAlbum a;
        a.aid = AsText(o, "aid");
        a.name = AsText(o, "name");
        a.description = AsText(o, "description");
        a.link = AsText(o, "link");
        a.visible = AsText(o, "visible");
        a.can_upload = true;
        r.Albums.append(a);
    } else if (SameText(method, kUploadPhoto)) {
        TFacebookPicture p;
        p.pid = AsText(o, "pid");
        p.aid = AsText(o, "aid");
        p.src = AsText(o, "src");
        p.src_big = AsText(o, "src_big");
        p.src_small = AsText(o, "src_small");
        p.link = AsText(o, "link");
        p.caption = AsText(o, "caption");
        r.LastUploadedPicture = p;
    } else if (SameText(method, kUploadVideo)) {
        TFacebookVideo v;
        v.vid = AsText(o, "vid");
        v.title = AsText(o, "title");
        v.description = AsText(o, "description");
        v.link = AsText(o, "link");
        r.LastUploadedVideo = v;
    } else if (SameText(method, kMeAlbums)) {
        if (const json *a = AsArray(o, "data")) {
            for (const json &e : *a)
                MatchAlbumGID(r.Albums, AsText(e, "name"), AsText(e, "link"), AsText(e, "id"));
        }
    }
    // "links.post", "me/feed" and anything else: nothing to read.
}

// The value of the query item "aid" of an address; empty when absent.
QString AidOf(const QString &address) {
    const qsizetype q = address.indexOf(u'?');
    const QString query = q < 0 ? address : address.mid(q + 1);
    const QStringList items = query.split(u'&');
    for (const QString &item : items) {
        const qsizetype eq = item.indexOf(u'=');
        const QString name = eq < 0 ? item : item.left(eq);
        if (name == QStringLiteral("aid"))
            return eq < 0 ? QString() : item.mid(eq + 1);
    }
    return QString();
}

} // namespace

TFacebookAnswer ReadFacebookAnswer(const QString &aMethod, const QString &aAnswer,
                                   TFacebookRecords &aRecords) {
    std::optional<json> parsed = ParseAnswer(aAnswer);
    if (!parsed)
        return TFacebookAnswer::NotJson;
    const json &o = *parsed;
    if (Member(o, "error_code")) {
        aRecords.LastErrorInfo.error_code = AsInt(o, "error_code");
        aRecords.LastErrorInfo.error_msg = AsText(o, "error_msg");
        return TFacebookAnswer::Error;
    }
    try {
        ReadRecords(aMethod, o, aRecords);
    } catch (const std::exception &) {
        // What was read before stays; the call still counts as answered.
    }
    return TFacebookAnswer::Read;
}

QString AlbumVisibleText(int aVisible) {
    switch (aVisible) {
    case avFriends:
        return QStringLiteral("friends");
    case avFriendsOfFriends:
        return QStringLiteral("friends of friends");
    case avNetwork:
        return QStringLiteral("networks");
    default:
        return QStringLiteral("everyone");
    }
}

bool SameAlbumLink(const QString &a, const QString &b) {
    if (SameText(a, b))
        return true;
    return AidOf(a) == AidOf(b);
}

void MatchAlbumGID(TFacebookAlbums &aAlbums, const QString &aName, const QString &aLink,
                   const QString &aID) {
    for (TFacebookAlbum &album : aAlbums) {
        if (SameText(album.name, aName) && SameAlbumLink(album.link, aLink))
            album.gid = aID;
    }
}

TFacebookEndpoints FacebookEndpointsFromSettings(TRqSettings &aSettings) {
    TFacebookEndpoints e;
    auto pick = [&aSettings](const QString &key, QString &target) {
        if (!aSettings.GetSettingExists(key))
            return;
        const QString value = aSettings.GetSettingString(key).trimmed();
        if (!value.isEmpty())
            target = value;
    };
    pick(QStringLiteral("FB.URL.Graph"), e.Graph);
    // Graph paths are appended to the base: "http://host/graph" must not become
    // "http://host/graphme".
    if (!e.Graph.endsWith(u'/'))
        e.Graph += u'/';
    pick(QStringLiteral("FB.URL.Rest"), e.Rest);
    pick(QStringLiteral("FB.URL.RestVideo"), e.Video);
    return e;
}

QString FacebookStateName(TFacebookConnectionState aState) {
    switch (aState) {
    case csBeforeConnect:
        return QStringLiteral("csBeforeConnect");
    case csConnecting:
        return QStringLiteral("csConnecting");
    case csUploading:
        return QStringLiteral("csUploading");
    case csFailed:
        return QStringLiteral("csFailed");
    case csSuccessed:
        return QStringLiteral("csSuccessed");
    }
    return QString();
}

// ---------------------------------------------------------------------------------------

TFacebook::TFacebook(QObject *aOwner) : QObject(aOwner), FEndpoints(DefaultEndpointsRef()) {
    FDownloader = new TKestHttpRequest(nullptr);
    FDownloader->OnDoneString = [this](QObject *sender, const QString &text) {
        DownloaderDoneString(sender, text);
    };
    FDownloader->OnError = [this](QObject *sender) { DownloaderError(sender); };
    FFormat = ffJSON;
}

TFacebook::~TFacebook() {
    // Freeing the request abandons a running call without any event.
    delete FDownloader;
}

TFacebookEndpoints TFacebook::DefaultEndpoints() {
    return DefaultEndpointsRef();
}

void TFacebook::SetDefaultEndpoints(const TFacebookEndpoints &aEndpoints) {
    DefaultEndpointsRef() = aEndpoints;
}

TOnProgressEvent TFacebook::OnProgressEvent() const {
    return FDownloader->OnProgress;
}

void TFacebook::SetOnProgressEvent(TOnProgressEvent aHandler) {
    FDownloader->OnProgress = std::move(aHandler);
}

void TFacebook::RaiseState(const QString &aMethod, TFacebookConnectionState aState) {
    // The handler and the name are copies: a handler may destroy this client, and with it
    // the handler's own captures and a name held in a member.
    const QString method = aMethod;
    if (RqDebugLog::Enabled())
        RqDebugLog::Log(QStringLiteral("Facebook"), method + u' ' + FacebookStateName(aState));
    if (const TOnMethodStateChanged handler = OnMethodStateChanged)
        handler(this, method, aState);
}

void TFacebook::SendRequest(const QString &aURL, const QString &aMethod, bool aPost,
                            const QStringList &Args, const QString &aFileField,
                            const QString &aFileName) {
    if (OnBeforeHTMLRequest) {
        bool Default = true;
        OnBeforeHTMLRequest(aURL, aMethod, aPost, Args, aFileField, aFileName, Default);
        if (!Default)
            return;
    }
    FDownloader->Abort();
    FCurrentMethod = aMethod;
    RaiseState(FCurrentMethod, csBeforeConnect);

    QString address;
    if (!aPost) {
        address = aURL + aMethod + QStringLiteral("?access_token=") + FAccessToken;
        for (const QString &arg : Args)
            address += u'&' + arg;
        FDownloader->SetPostQuery(QByteArray());
    } else {
        QStringList values;
        if (SameText(aURL, FEndpoints.Graph)) {
            address = aURL + aMethod;
        } else {
            address = aURL;
            values << QStringLiteral("method=") + aMethod;
        }
        values << QStringLiteral("access_token=") + FAccessToken;
        values << (FFormat == ffXml ? QStringLiteral("format=xml") : QStringLiteral("format=json"));
        values << Args;
        QStringList files;
        if (!aFileField.isEmpty() && !aFileName.isEmpty() && QFileInfo::exists(aFileName))
            files << aFileField + u'=' + aFileName;
        FDownloader->SetUploadFiles(values, files);
    }
    FDownloader->SetURL(address);
    FDownloader->GetString();
    RaiseState(FCurrentMethod, csConnecting);
}

void TFacebook::GetUserInfo() {
    SendRequest(FEndpoints.Graph, kMe, false, {});
}

void TFacebook::GetAlbumsGraph() {
    SendRequest(FEndpoints.Graph, kMeAlbums, false, {});
}

void TFacebook::GetAlbums() {
    FData.Albums.clear();
    SendRequest(FEndpoints.Rest, kGetAlbums, true, {});
}

void TFacebook::CreateAlbum(const QString &aAlbumCaption, const QString &aLocation,
                            const QString &aDescription, TAlbumVisible aVisible) {
    SendRequest(FEndpoints.Rest, kCreateAlbum, true,
                {QStringLiteral("name=") + aAlbumCaption, QStringLiteral("location=") + aLocation,
                 QStringLiteral("description=") + aDescription,
                 QStringLiteral("visible=") + AlbumVisibleText(aVisible)});
}

void TFacebook::UploadPicture(const QString &aFileName, const QString &aAlbumID,
                              const QString &aCaption) {
    SendRequest(FEndpoints.Rest, kUploadPhoto, true,
                {QStringLiteral("aid=") + aAlbumID, QStringLiteral("caption=") + aCaption},
                QStringLiteral("filename"), aFileName);
}

void TFacebook::UploadVideo(const QString &aFileName, const QString &aTitle,
                            const QString &aDescription) {
    SendRequest(FEndpoints.Video, kUploadVideo, true,
                {QStringLiteral("title=") + aTitle, QStringLiteral("description=") + aDescription},
                QStringLiteral("filename"), aFileName);
}

void TFacebook::PostLink(const QString &aURL, const QString &aComment, const QString &aImageURL) {
    SendRequest(FEndpoints.Rest, kPostLink, true,
                {QStringLiteral("url=") + aURL, QStringLiteral("comment=") + aComment,
                 QStringLiteral("image=") + aImageURL});
}

void TFacebook::PostFeed(const TFacebookFeed &aFeed) {
    SendRequest(FEndpoints.Graph, kMeFeed, true,
                {QStringLiteral("message=") + aFeed.message, QStringLiteral("link=") + aFeed.link,
                 QStringLiteral("picture=") + aFeed.picture, QStringLiteral("name=") + aFeed.name,
                 QStringLiteral("caption=") + aFeed.caption,
                 QStringLiteral("description=") + aFeed.description,
                 QStringLiteral("actions=") + aFeed.actions,
                 QStringLiteral("privacy=") + aFeed.privacy,
                 QStringLiteral("targeting=") + aFeed.targeting});
}

QString TFacebook::GetUserPicture() const {
    return FEndpoints.Graph + QStringLiteral("me/picture?access_token=") + FAccessToken;
}

QString TFacebook::GetAlbumPicture(const QString &aAlbumID) const {
    return FEndpoints.Graph + aAlbumID + QStringLiteral("/picture?access_token=") + FAccessToken;
}

void TFacebook::Abort() {
    FDownloader->Abort();
}

QString TFacebook::GetAlbumIDFromName(const QString &aAlbumName) const {
    for (const TFacebookAlbum &a : FData.Albums) {
        if (SameText(a.name, aAlbumName))
            return a.aid;
    }
    return QString();
}

int TFacebook::GetAlbumIndexFromID(const QString &aAlbumID) const {
    for (qsizetype i = 0; i < FData.Albums.size(); ++i) {
        if (SameText(FData.Albums[i].aid, aAlbumID))
            return int(i);
    }
    return -1;
}

int TFacebook::GetAlbumIndexFromGID(const QString &aAlbumID) const {
    for (qsizetype i = 0; i < FData.Albums.size(); ++i) {
        if (SameText(FData.Albums[i].gid, aAlbumID))
            return int(i);
    }
    return -1;
}

void TFacebook::MatchAlbumGID(const QString &aName, const QString &aLink, const QString &aID) {
    ::MatchAlbumGID(FData.Albums, aName, aLink, aID);
}

void TFacebook::DownloaderDoneString(QObject *Sender, const QString &strResult) {
    const QString method = FCurrentMethod;
    // Any handler called from here may destroy this client; nothing more is done then.
    const QPointer<TFacebook> alive(this);
    if (const TOnDoneStringEvent handler = OnDoneStringEvent) {
        handler(this, strResult);
        if (!alive)
            return;
    }
    switch (ReadFacebookAnswer(method, strResult, FData)) {
    case TFacebookAnswer::NotJson:
        RqDebugLog::Log(QStringLiteral("Facebook"),
                        method + QStringLiteral(": answer is not JSON"));
        RaiseState(method, csFailed);
        return;
    case TFacebookAnswer::Error:
        RaiseState(method, csFailed);
        return;
    case TFacebookAnswer::Read:
        break;
    }
    if (SameText(method, kUploadVideo)) {
        // Announce the new video on the wall; its first states come before the upload's
        // own success, its final state later.
        TFacebookFeed feed;
        feed.message = FData.LastUploadedVideo.title;
        feed.link = FData.LastUploadedVideo.link;
        feed.description = FData.LastUploadedVideo.description;
        PostFeed(feed);
        if (!alive)
            return;
    }
    RaiseState(method, csSuccessed);
}

void TFacebook::DownloaderError(QObject *Sender) {
    RaiseState(FCurrentMethod, csFailed);
}
