#include "FacebookSandbox.h"

#include <httplib.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace sandbox {

namespace {

const char *const kJsonType = "text/javascript; charset=UTF-8";
const char *const kHtmlType = "text/html; charset=UTF-8";
const size_t kKeptRequests = 200;
const int kAlbumLimit = 200;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string HtmlEscape(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string UrlEncode(const std::string &s) {
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string ReadFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return std::string();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// aPerms, when given, is the mode the file has from the moment it appears under its name.
bool WriteFileAtomic(const fs::path &p, const std::string &bytes,
                     fs::perms aPerms = fs::perms::unknown) {
    const fs::path tmp = p.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(bytes.data(), std::streamsize(bytes.size()));
        if (!out)
            return false;
    }
    std::error_code ec;
    if (aPerms != fs::perms::unknown) {
        fs::permissions(tmp, aPerms, ec);
        if (ec)
            return false;
    }
    fs::rename(tmp, p, ec);
    return !ec;
}

// The base name of a path sent by a client, which may use either separator.
std::string BaseName(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Extension(const std::string &name) {
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot + 1 >= name.size() || dot + 8 < name.size())
        return std::string();
    std::string ext = Lower(name.substr(dot));
    for (char c : ext.substr(1)) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return std::string();
    }
    return ext;
}

std::string MimeOf(const std::string &name) {
    static const std::map<std::string, std::string> types = {
        {".jpg", "image/jpeg"},      {".jpeg", "image/jpeg"}, {".png", "image/png"},
        {".gif", "image/gif"},       {".bmp", "image/bmp"},   {".avi", "video/x-msvideo"},
        {".mov", "video/quicktime"}, {".mpg", "video/mpeg"},  {".mpeg", "video/mpeg"},
        {".wmv", "video/x-ms-wmv"},  {".mp4", "video/mp4"},
    };
    auto it = types.find(Extension(name));
    return it == types.end() ? std::string("application/octet-stream") : it->second;
}

// A square JPEG picture of one colour with a lighter disc, standing in for a profile or
// album picture.
std::string MakeJpeg(const std::string &seed, int size = 100) {
    uint32_t h = 2166136261u;
    for (unsigned char c : seed)
        h = (h ^ c) * 16777619u;
    const QColor base = QColor::fromHsv(int(h % 360), 140, 200);
    const QColor light = base.lighter(150);
    QImage img(size, size, QImage::Format_RGB32);
    img.fill(base);
    const int r = size / 3;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const int dx = x - size / 2, dy = y - size / 2 + size / 10;
            if (dx * dx + dy * dy < r * r)
                img.setPixelColor(x, y, light);
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "JPEG", 85);
    return bytes.toStdString();
}

// A smaller JPEG of a stored photo, or nothing when it cannot be decoded.
std::string ScaledJpeg(const std::string &bytes, int size) {
    QImage img;
    if (!img.loadFromData(QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size()))))
        return std::string();
    img = img.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    img.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPEG", 85);
    return out.toStdString();
}

std::string ErrorJson(int code, const std::string &msg) {
    return json{{"error_code", code}, {"error_msg", msg}}.dump();
}

const char *const kPageStyle =
    "<style>body{font-family:sans-serif;margin:2em;max-width:60em}"
    "img.t{max-width:160px;max-height:160px;margin:4px;border:1px solid #ccc}"
    "a.acct{display:block;margin:.5em 0;padding:.6em;border:1px solid #bbb;"
    "border-radius:4px;text-decoration:none}</style>";

std::string Page(const std::string &title, const std::string &body) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
           "</title>" + kPageStyle + "</head><body><h1>" + HtmlEscape(title) + "</h1>" + body +
           "</body></html>";
}

} // namespace

std::string ReceivedRequest::Header(const std::string &name) const {
    for (const auto &[k, v] : headers) {
        if (Lower(k) == Lower(name))
            return v;
    }
    return std::string();
}

// ---------------------------------------------------------------------------------------

struct FacebookSandbox::Impl {
    std::string dataDir;
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::string error;

    mutable std::mutex mutex; // guards everything below
    json state;
    std::deque<ReceivedRequest> requests;
    struct Fault {
        std::string method;
        int remaining;
        FaultMode mode;
    };
    std::vector<Fault> faults;
    std::atomic<long long> throttle{0};
    int updateResult = 0;
    std::string updateInfo;
    std::string updatePage;

    fs::path FilesDir() const { return fs::path(dataDir) / "files"; }
    fs::path StatePath() const { return fs::path(dataDir) / "sandbox.json"; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

    static json Seed();
    bool Load();
    void Save();
    json *AccountByToken(const std::string &token);
    json *AccountById(const std::string &id);
    json *AlbumByAid(const std::string &aid);
    json *AlbumByGid(const std::string &gid);
    int AlbumSize(const json &album) const;
    std::string NextId(const char *counter);
    std::string AlbumLink(const json &album) const;
    std::optional<FaultMode> TakeFault(const std::string &method);
    void Record(const httplib::Request &req, const std::string &body,
                const std::vector<FormPart> &parts = {});
    bool ApplyFault(const std::string &method, httplib::Response &res);
    struct Body {
        std::string raw;
        std::vector<FormPart> parts;
        bool multipart = false;
    };
    Body ReadBody(const httplib::Request &req, const httplib::ContentReader *reader);
    void Record(const httplib::Request &req, const Body &body);
    void Routes();

    // Answers.
    void Rest(const httplib::Request &req, httplib::Response &res,
              const httplib::ContentReader *reader, bool videoHost);
    json RestCall(const std::string &method, json &account,
                  const std::map<std::string, FormPart> &fields, bool &ok);
    void Graph(const httplib::Request &req, httplib::Response &res,
               const httplib::ContentReader *reader);
    std::string IndexPage();
    std::string AlbumPage(const std::string &aid);
    std::string PhotoPage(const std::string &pid);
    std::string VideoPage(const std::string &vid);
    std::string ProfilePage(const std::string &id);
};

json FacebookSandbox::Impl::Seed() {
    // Two accounts with different names, pictures and albums. The Graph ids are above
    // 2^53 on purpose: a client that reads them through a double loses digits.
    json s;
    s["counters"] = {{"album", 10}, {"photo", 100}, {"video", 123456789000LL}, {"post", 500}};
    s["accounts"] = json::array({
        {{"id", "100001"},
         {"email", "alice@example.com"},
         {"name", "Alice Finch"},
         {"first_name", "Alice"},
         {"last_name", "Finch"},
         {"gender", "female"},
         {"timezone", -5},
         {"locale", "en_US"},
         {"verified", true},
         {"updated_time", "2010-11-02T09:14:00+0000"},
         {"token", "SBX.alice.1f4e7c"}},
        {{"id", "100002"},
         {"email", "bob@example.com"},
         {"name", "Bob Marsh"},
         {"first_name", "Bob"},
         {"last_name", "Marsh"},
         {"gender", "male"},
         {"timezone", 1},
         {"locale", "de_DE"},
         {"verified", false},
         {"bio", "Takes pictures of birds."},
         {"updated_time", "2010-10-21T17:40:00+0000"},
         {"token", "SBX.bob.93ac02"}},
    });
    auto album = [](const char *aid, const char *gid, const char *owner, const char *name,
                    const char *visible, int seeded, const char *description) {
        return json{{"aid", aid},
                    {"gid", gid},
                    {"owner", owner},
                    {"name", name},
                    {"visible", visible},
                    {"seeded", seeded},
                    {"location", ""},
                    {"description", description},
                    {"photos", json::array()}};
    };
    s["albums"] = json::array({
        album("100001_1", "10150146071791729", "100001", "Wall Photos", "everyone", 3, ""),
        album("100001_2", "10150146071791730", "100001", "Trip to the Coast", "friends", 5,
              "A week by the sea"),
        album("100001_3", "10150146071791731", "100001", "Full Album", "friends", kAlbumLimit,
              "Already holds as many photos as an album can"),
        album("100002_1", "10150146071791801", "100002", "Profile Pictures", "everyone", 1, ""),
        album("100002_2", "10150146071791802", "100002", "Garden", "friends of friends", 0,
              "Birds and flowers"),
    });
    s["photos"] = json::array();
    s["videos"] = json::array();
    s["feed"] = json::array();
    s["links"] = json::array();
    return s;
}

bool FacebookSandbox::Impl::Load() {
    std::error_code ec;
    fs::create_directories(FilesDir(), ec);
    if (ec) {
        error = "cannot create " + FilesDir().string() + ": " + ec.message();
        return false;
    }
    if (fs::exists(StatePath())) {
        json loaded = json::parse(ReadFile(StatePath()), nullptr, false);
        if (loaded.is_discarded() || !loaded.is_object() || !loaded.contains("accounts")) {
            error = StatePath().string() + " is not a sandbox record";
            return false;
        }
        state = std::move(loaded);
    } else {
        state = Seed();
        Save();
    }
    return true;
}

void FacebookSandbox::Impl::Save() {
    WriteFileAtomic(StatePath(), state.dump(2));
}

json *FacebookSandbox::Impl::AccountByToken(const std::string &token) {
    if (token.empty())
        return nullptr;
    for (json &a : state["accounts"]) {
        if (a["token"] == token)
            return &a;
    }
    return nullptr;
}

json *FacebookSandbox::Impl::AccountById(const std::string &id) {
    for (json &a : state["accounts"]) {
        if (a["id"] == id)
            return &a;
    }
    return nullptr;
}

json *FacebookSandbox::Impl::AlbumByAid(const std::string &aid) {
    for (json &a : state["albums"]) {
        if (a["aid"] == aid)
            return &a;
    }
    return nullptr;
}

json *FacebookSandbox::Impl::AlbumByGid(const std::string &gid) {
    for (json &a : state["albums"]) {
        if (a["gid"] == gid)
            return &a;
    }
    return nullptr;
}

int FacebookSandbox::Impl::AlbumSize(const json &album) const {
    return album.value("seeded", 0) + int(album["photos"].size());
}

std::string FacebookSandbox::Impl::NextId(const char *counter) {
    long long n = state["counters"].value(counter, 0LL) + 1;
    state["counters"][counter] = n;
    return std::to_string(n);
}

std::string FacebookSandbox::Impl::AlbumLink(const json &album) const {
    return Base() + "album.php?aid=" + album["aid"].get<std::string>() +
           "&id=" + album["owner"].get<std::string>();
}

std::optional<FaultMode> FacebookSandbox::Impl::TakeFault(const std::string &method) {
    std::lock_guard lock(mutex);
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->method == method || it->method == "*") {
            const FaultMode mode = it->mode;
            if (--it->remaining <= 0)
                faults.erase(it);
            return mode;
        }
    }
    return std::nullopt;
}

bool FacebookSandbox::Impl::ApplyFault(const std::string &method, httplib::Response &res) {
    const std::optional<FaultMode> fault = TakeFault(method);
    if (!fault)
        return false;
    switch (*fault) {
    case FaultMode::Unavailable:
        res.set_content(ErrorJson(2, "Service temporarily unavailable"), kJsonType);
        break;
    case FaultMode::HtmlPage:
        res.status = 500;
        res.set_content(Page("Error", "<p>Sorry, something went wrong. We're working on getting "
                                      "this fixed as soon as we can.</p>"),
                        kHtmlType);
        break;
    case FaultMode::Drop:
        // Headers go out, then the connection closes before any byte of the body.
        res.set_content_provider(64, "text/javascript",
                                 [](size_t, size_t, httplib::DataSink &) { return false; });
        break;
    }
    return true;
}

void FacebookSandbox::Impl::Record(const httplib::Request &req, const std::string &body,
                                   const std::vector<FormPart> &parts) {
    ReceivedRequest r;
    r.method = req.method;
    r.target = req.target;
    r.version = req.version;
    for (const auto &[k, v] : req.headers)
        r.headers.emplace_back(k, v);
    r.body = body;
    r.parts = parts;
    // One step under the lock: requests handled at the same time must not trade parts.
    std::lock_guard lock(mutex);
    requests.push_back(std::move(r));
    while (requests.size() > kKeptRequests)
        requests.pop_front();
}

FacebookSandbox::Impl::Body FacebookSandbox::Impl::ReadBody(const httplib::Request &req,
                                                            const httplib::ContentReader *reader) {
    Body body;
    if (!reader)
        return body;
    size_t received = 0;
    const auto started = std::chrono::steady_clock::now();
    auto pace = [&](size_t len) {
        received += len;
        const long long rate = throttle.load();
        if (rate > 0) {
            // Reading slower than the client sends holds the client back too.
            std::this_thread::sleep_until(
                started + std::chrono::microseconds((long long)(received)*1000000LL / rate));
        }
    };
    if (req.is_multipart_form_data()) {
        body.multipart = true;
        (*reader)(
            [&](const httplib::MultipartFormData &file) {
                body.parts.push_back(FormPart{file.name, file.filename, file.content_type, ""});
                return true;
            },
            [&](const char *data, size_t len) {
                if (!body.parts.empty())
                    body.parts.back().value.append(data, len);
                pace(len);
                return true;
            });
    } else {
        (*reader)([&](const char *data, size_t len) {
            body.raw.append(data, len);
            pace(len);
            return true;
        });
    }
    return body;
}

void FacebookSandbox::Impl::Record(const httplib::Request &req, const Body &body) {
    Record(req, body.raw, body.parts);
}

json FacebookSandbox::Impl::RestCall(const std::string &method, json &account,
                                     const std::map<std::string, FormPart> &fields, bool &ok) {
    auto field = [&](const char *name) {
        auto it = fields.find(name);
        return it == fields.end() ? std::string() : it->second.value;
    };
    const std::string owner = account["id"];
    ok = true;
    if (method == "photos.getAlbums") {
        json list = json::array();
        for (const json &a : state["albums"]) {
            if (a["owner"] != owner)
                continue;
            const json &photos = a["photos"];
            list.push_back({{"aid", a["aid"]},
                            {"cover_pid", photos.empty() ? json("0") : photos.front()},
                            {"owner", std::stoll(owner)},
                            {"name", a["name"]},
                            {"created", 1288689240},
                            {"modified", 1288689240},
                            {"description", a["description"]},
                            {"location", a["location"]},
                            {"link", AlbumLink(a)},
                            {"size", AlbumSize(a)},
                            {"visible", a["visible"]},
                            {"can_upload", true},
                            {"object_id", std::stoull(a["gid"].get<std::string>())}});
        }
        return list;
    }
    if (method == "photos.createAlbum") {
        const std::string name = field("name");
        if (name.empty()) {
            ok = false;
            return json(ErrorJson(100, "Invalid parameter"));
        }
        const std::string n = NextId("album");
        json a = {{"aid", owner + "_" + n},
                  {"gid", "1015014607" + std::to_string(1000000 + std::stoll(n))},
                  {"owner", owner},
                  {"name", name},
                  {"visible", field("visible").empty() ? "everyone" : field("visible")},
                  {"seeded", 0},
                  {"location", field("location")},
                  {"description", field("description")},
                  {"photos", json::array()}};
        state["albums"].push_back(a);
        Save();
        return {{"aid", a["aid"]},
                {"cover_pid", "0"},
                {"owner", std::stoll(owner)},
                {"name", a["name"]},
                {"created", 1288689240},
                {"description", a["description"]},
                {"location", a["location"]},
                {"link", AlbumLink(a)},
                {"size", 0},
                {"visible", a["visible"]},
                {"object_id", std::stoull(a["gid"].get<std::string>())}};
    }
    if (method == "photos.upload") {
        std::string aid = field("aid");
        json *album = nullptr;
        if (aid.empty()) {
            for (json &a : state["albums"]) {
                if (a["owner"] == owner && a["name"] == "Wall Photos")
                    album = &a;
            }
        } else {
            album = AlbumByAid(aid);
        }
        if (!album || (*album)["owner"] != owner) {
            ok = false;
            return json(ErrorJson(120, "Invalid album id"));
        }
        auto file = fields.find("filename");
        if (file == fields.end() || file->second.filename.empty() || file->second.value.empty()) {
            ok = false;
            return json(ErrorJson(324, "Requires upload file"));
        }
        if (AlbumSize(*album) >= kAlbumLimit) {
            ok = false;
            return json(ErrorJson(321, "Album is full"));
        }
        const std::string pid = owner + "_" + NextId("photo");
        std::string ext = Extension(BaseName(file->second.filename));
        if (ext.empty())
            ext = ".jpg";
        const std::string stored = "photo_" + pid + ext;
        if (!WriteFileAtomic(FilesDir() / stored, file->second.value)) {
            // A photo that was not kept is not answered as uploaded.
            ok = false;
            return json(ErrorJson(1, "An unknown error occurred"));
        }
        (*album)["photos"].push_back(pid);
        json photo = {{"pid", pid},
                      {"aid", (*album)["aid"]},
                      {"owner", owner},
                      {"caption", field("caption")},
                      {"file", stored},
                      {"original_name", BaseName(file->second.filename)},
                      {"content_type", file->second.contentType},
                      {"bytes", file->second.value.size()}};
        state["photos"].push_back(photo);
        Save();
        const std::string src = Base() + "files/" + stored;
        return {{"pid", pid},
                {"aid", (*album)["aid"]},
                {"owner", std::stoll(owner)},
                {"src", src},
                {"src_big", src},
                {"src_small", src},
                {"link", Base() + "photo.php?pid=" + pid},
                {"caption", field("caption")},
                {"created", 1288689240}};
    }
    if (method == "links.post") {
        const std::string id = NextId("post");
        state["links"].push_back({{"id", id},
                                  {"owner", owner},
                                  {"url", field("url")},
                                  {"comment", field("comment")},
                                  {"image", field("image")}});
        Save();
        return json(std::stoll(id));
    }
    ok = false;
    return json(ErrorJson(3, "Unknown method"));
}

void FacebookSandbox::Impl::Rest(const httplib::Request &req, httplib::Response &res,
                                 const httplib::ContentReader *reader, bool videoHost) {
    const Body body = ReadBody(req, reader);
    Record(req, body);

    std::map<std::string, FormPart> fields;
    for (const auto &[k, v] : req.params)
        fields[k] = FormPart{k, "", "", v};
    for (const FormPart &p : body.parts)
        fields[p.name] = p;
    if (!body.multipart && !body.raw.empty()) {
        httplib::Params params;
        httplib::detail::parse_query_text(body.raw, params);
        for (const auto &[k, v] : params)
            fields[k] = FormPart{k, "", "", v};
    }
    auto field = [&](const char *name) {
        auto it = fields.find(name);
        return it == fields.end() ? std::string() : it->second.value;
    };
    const std::string method = field("method");
    if (ApplyFault(method, res))
        return;

    std::lock_guard lock(mutex);
    json *account = AccountByToken(field("access_token"));
    if (!account) {
        res.set_content(ErrorJson(190, "Invalid OAuth 2.0 Access Token"), kJsonType);
        return;
    }
    if (videoHost != (method == "video.upload")) {
        res.set_content(ErrorJson(3, "Unknown method"), kJsonType);
        return;
    }
    if (method == "video.upload") {
        auto file = fields.find("filename");
        if (file == fields.end() || file->second.filename.empty() || file->second.value.empty()) {
            res.set_content(ErrorJson(352, "The video file is invalid"), kJsonType);
            return;
        }
        const std::string vid = NextId("video");
        std::string ext = Extension(BaseName(file->second.filename));
        if (ext.empty())
            ext = ".avi";
        const std::string stored = "video_" + vid + ext;
        if (!WriteFileAtomic(FilesDir() / stored, file->second.value)) {
            res.set_content(ErrorJson(1, "An unknown error occurred"), kJsonType);
            return;
        }
        state["videos"].push_back({{"vid", vid},
                                   {"owner", (*account)["id"]},
                                   {"title", field("title")},
                                   {"description", field("description")},
                                   {"file", stored},
                                   {"original_name", BaseName(file->second.filename)},
                                   {"content_type", file->second.contentType},
                                   {"bytes", file->second.value.size()}});
        Save();
        const json answer = {{"vid", std::stoll(vid)},
                             {"title", field("title")},
                             {"description", field("description")},
                             {"link", Base() + "video.php?v=" + vid}};
        res.set_content(answer.dump(), kJsonType);
        return;
    }
    bool ok = true;
    const json answer = RestCall(method, *account, fields, ok);
    res.set_content(ok ? answer.dump() : answer.get<std::string>(), kJsonType);
}

void FacebookSandbox::Impl::Graph(const httplib::Request &req, httplib::Response &res,
                                  const httplib::ContentReader *reader) {
    const Body body = ReadBody(req, reader);
    Record(req, body);

    std::map<std::string, std::string> fields;
    for (const auto &[k, v] : req.params)
        fields[k] = v;
    for (const FormPart &p : body.parts)
        fields[p.name] = p.value;
    if (!body.multipart && !body.raw.empty()) {
        httplib::Params params;
        httplib::detail::parse_query_text(body.raw, params);
        for (const auto &[k, v] : params)
            fields[k] = v;
    }
    const std::string path = req.path.substr(std::strlen("/graph/"));
    if (ApplyFault(path, res))
        return;

    std::lock_guard lock(mutex);
    json *account = AccountByToken(fields["access_token"]);
    const std::string suffix = "/picture";
    const bool picture = req.method == "GET" && path.size() > suffix.size() &&
                         path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    // Pictures of a named account or album are public, as on Facebook; "me" needs a token.
    if (!account && !(picture && path.rfind("me/", 0) != 0)) {
        res.status = 400;
        res.set_content(ErrorJson(190, "Invalid OAuth 2.0 Access Token"), kJsonType);
        return;
    }
    const std::string owner = account ? (*account)["id"].get<std::string>() : std::string();
    if (path == "me" && req.method == "GET") {
        json me;
        for (const char *k : {"id", "name", "first_name", "last_name", "gender", "timezone",
                              "locale", "verified", "updated_time", "bio"}) {
            if (account->contains(k))
                me[k] = (*account)[k];
        }
        me["link"] = Base() + "profile.php?id=" + owner;
        res.set_content(me.dump(), kJsonType);
        return;
    }
    if (path == "me/albums" && req.method == "GET") {
        json data = json::array();
        for (const json &a : state["albums"]) {
            if (a["owner"] != owner)
                continue;
            data.push_back({{"id", a["gid"]},
                            {"from", {{"name", (*account)["name"]}, {"id", owner}}},
                            {"name", a["name"]},
                            {"link", AlbumLink(a)},
                            {"privacy", a["visible"]},
                            {"count", AlbumSize(a)},
                            {"created_time", "2010-11-02T09:14:00+0000"}});
        }
        res.set_content(json{{"data", data}}.dump(), kJsonType);
        return;
    }
    if (path == "me/feed" && req.method == "POST") {
        const std::string id = owner + "_" + NextId("post");
        json post = {{"id", id}, {"owner", owner}};
        for (const char *k : {"message", "link", "picture", "name", "caption", "description",
                              "actions", "privacy", "targeting"})
            post[k] = fields[k];
        state["feed"].push_back(post);
        Save();
        res.set_content(json{{"id", id}}.dump(), kJsonType);
        return;
    }
    if (picture) {
        const std::string who = path.substr(0, path.size() - suffix.size());
        std::string jpeg;
        if (who == "me") {
            jpeg = MakeJpeg((*account)["email"].get<std::string>());
        } else if (const json *album = AlbumByGid(who)) {
            const json &photos = (*album)["photos"];
            for (const json &p : state["photos"]) {
                if (!photos.empty() && p["pid"] == photos.front())
                    jpeg = ScaledJpeg(ReadFile(FilesDir() / p["file"].get<std::string>()), 180);
            }
            if (jpeg.empty())
                jpeg = MakeJpeg((*album)["name"].get<std::string>(), 180);
        } else if (const json *other = AccountById(who)) {
            jpeg = MakeJpeg((*other)["email"].get<std::string>());
        }
        if (jpeg.empty()) {
            res.status = 404;
            res.set_content(ErrorJson(803, "Some of the aliases you requested do not exist"),
                            kJsonType);
            return;
        }
        res.set_content(jpeg, "image/jpeg");
        return;
    }
    res.status = 404;
    res.set_content(ErrorJson(803, "Unknown path components: /" + path), kJsonType);
}

std::string FacebookSandbox::Impl::IndexPage() {
    std::string html = "<p>A local stand-in for Facebook. Sign-in page: <a href=\"/dialog/oauth\">"
                       "/dialog/oauth</a>.</p>";
    for (const json &acct : state["accounts"]) {
        const std::string id = acct["id"];
        html += "<h2><a href=\"/profile.php?id=" + id + "\">" +
                HtmlEscape(acct["name"].get<std::string>()) + "</a> &lt;" +
                HtmlEscape(acct["email"].get<std::string>()) + "&gt;</h2><ul>";
        for (const json &a : state["albums"]) {
            if (a["owner"] != id)
                continue;
            html += "<li><a href=\"/album.php?aid=" + a["aid"].get<std::string>() +
                    "&amp;id=" + id + "\">" + HtmlEscape(a["name"].get<std::string>()) + "</a> (" +
                    std::to_string(AlbumSize(a)) + " photos, " +
                    std::to_string(a["photos"].size()) + " received)</li>";
        }
        html += "</ul>";
        int videos = 0, posts = 0, links = 0;
        for (const json &v : state["videos"])
            videos += v["owner"] == id;
        for (const json &f : state["feed"])
            posts += f["owner"] == id;
        for (const json &l : state["links"])
            links += l["owner"] == id;
        html += "<p>" + std::to_string(videos) + " videos, " + std::to_string(posts) +
                " wall posts, " + std::to_string(links) + " links.</p>";
    }
    html += "<h2>Latest photos</h2><p>";
    const json &photos = state["photos"];
    for (size_t i = photos.size(); i-- > 0 && photos.size() - i <= 50;) {
        const json &p = photos[i];
        html += "<a href=\"/photo.php?pid=" + p["pid"].get<std::string>() +
                "\"><img class=\"t\" src=\"/files/" + p["file"].get<std::string>() + "\" alt=\"" +
                HtmlEscape(p["caption"].get<std::string>()) + "\"></a>";
    }
    html += "</p><h2>Videos</h2><ul>";
    for (const json &v : state["videos"])
        html += "<li><a href=\"/video.php?v=" + v["vid"].get<std::string>() + "\">" +
                HtmlEscape(v["title"].get<std::string>()) + "</a> (" +
                HtmlEscape(v["original_name"].get<std::string>()) + ")</li>";
    html += "</ul>";
    return Page("Sandbox", html);
}

std::string FacebookSandbox::Impl::AlbumPage(const std::string &aid) {
    const json *a = AlbumByAid(aid);
    if (!a)
        return std::string();
    std::string html = "<p>" + HtmlEscape((*a)["description"].get<std::string>()) + "</p><p>" +
                       std::to_string(AlbumSize(*a)) + " photos, visible to " +
                       HtmlEscape((*a)["visible"].get<std::string>()) + ".</p><p>";
    for (const json &p : state["photos"]) {
        if (p["aid"] == aid)
            html += "<a href=\"/photo.php?pid=" + p["pid"].get<std::string>() +
                    "\"><img class=\"t\" src=\"/files/" + p["file"].get<std::string>() + "\"></a>";
    }
    html += "</p><p><a href=\"/\">All</a></p>";
    return Page((*a)["name"].get<std::string>(), html);
}

std::string FacebookSandbox::Impl::PhotoPage(const std::string &pid) {
    for (const json &p : state["photos"]) {
        if (p["pid"] != pid)
            continue;
        const json *a = AlbumByAid(p["aid"]);
        std::string html = "<p><img style=\"max-width:100%\" src=\"/files/" +
                           p["file"].get<std::string>() + "\"></p><p>" +
                           HtmlEscape(p["caption"].get<std::string>()) + "</p><p>" +
                           HtmlEscape(p["original_name"].get<std::string>()) + ", " +
                           std::to_string(p["bytes"].get<long long>()) + " bytes";
        if (a)
            html += ", in <a href=\"" + HtmlEscape(AlbumLink(*a)) + "\">" +
                    HtmlEscape((*a)["name"].get<std::string>()) + "</a>";
        html += "</p>";
        return Page("Photo " + pid, html);
    }
    return std::string();
}

std::string FacebookSandbox::Impl::VideoPage(const std::string &vid) {
    for (const json &v : state["videos"]) {
        if (v["vid"] != vid)
            continue;
        const std::string file = v["file"];
        std::string html = "<p><video controls style=\"max-width:100%\" src=\"/files/" + file +
                           "\"></video></p><p>" + HtmlEscape(v["description"].get<std::string>()) +
                           "</p><p><a href=\"/files/" + file + "\">" +
                           HtmlEscape(v["original_name"].get<std::string>()) + "</a>, " +
                           std::to_string(v["bytes"].get<long long>()) + " bytes</p>";
        return Page(v["title"].get<std::string>(), html);
    }
    return std::string();
}

std::string FacebookSandbox::Impl::ProfilePage(const std::string &id) {
    const json *acct = AccountById(id);
    if (!acct)
        return std::string();
    std::string html = "<p><img src=\"/graph/" + id + "/picture\"></p><h2>Wall</h2><ul>";
    for (const json &f : state["feed"]) {
        if (f["owner"] != id)
            continue;
        html += "<li>" + HtmlEscape(f["message"].get<std::string>());
        const std::string link = f["link"];
        if (!link.empty())
            html += " <a href=\"" + HtmlEscape(link) + "\">" + HtmlEscape(link) + "</a>";
        html += "</li>";
    }
    for (const json &l : state["links"]) {
        if (l["owner"] == id)
            html += "<li>" + HtmlEscape(l["comment"].get<std::string>()) + " <a href=\"" +
                    HtmlEscape(l["url"].get<std::string>()) + "\">" +
                    HtmlEscape(l["url"].get<std::string>()) + "</a></li>";
    }
    html += "</ul><p><a href=\"/\">All</a></p>";
    return Page((*acct)["name"].get<std::string>(), html);
}

void FacebookSandbox::Impl::Routes() {
    auto &s = server;
    s.Post("/restserver.php",
           [this](const httplib::Request &req, httplib::Response &res,
                  const httplib::ContentReader &reader) { Rest(req, res, &reader, false); });
    s.Get("/restserver.php", [this](const httplib::Request &req, httplib::Response &res) {
        Rest(req, res, nullptr, false);
    });
    s.Post("/video/restserver.php",
           [this](const httplib::Request &req, httplib::Response &res,
                  const httplib::ContentReader &reader) { Rest(req, res, &reader, true); });
    s.Post(R"(/graph/.+)",
           [this](const httplib::Request &req, httplib::Response &res,
                  const httplib::ContentReader &reader) { Graph(req, res, &reader); });
    s.Get(R"(/graph/.+)", [this](const httplib::Request &req, httplib::Response &res) {
        Graph(req, res, nullptr);
    });

    // Sign-in: pick an account or type its e-mail; the end is a redirect to the success
    // address with the token in the fragment, as Facebook's desktop flow does.
    s.Get("/dialog/oauth", [this](const httplib::Request &req, httplib::Response &res) {
        Record(req, std::string());
        std::lock_guard lock(mutex);
        std::string html = "<p>Choose the account to sign in with:</p>";
        for (const json &a : state["accounts"]) {
            const std::string email = a["email"];
            html += "<a class=\"acct\" href=\"/login/pick?email=" + UrlEncode(email) +
                    "\"><img src=\"/graph/" + a["id"].get<std::string>() +
                    "/picture\" width=\"32\" height=\"32\"> " +
                    HtmlEscape(a["name"].get<std::string>()) + " &lt;" + HtmlEscape(email) +
                    "&gt;</a>";
        }
        html += "<form action=\"/login/pick\" method=\"get\"><p>or e-mail: <input name=\"email\" "
                "type=\"text\" id=\"email\"> <input type=\"submit\" value=\"Log In\" "
                "id=\"login\"></p></form><p><a href=\"/login/cancel\">Cancel</a></p>";
        res.set_content(Page("Log in to Facebook (sandbox)", html), kHtmlType);
    });
    s.Get("/login/pick", [this](const httplib::Request &req, httplib::Response &res) {
        Record(req, std::string());
        const std::string email = Lower(req.get_param_value("email"));
        std::lock_guard lock(mutex);
        for (const json &a : state["accounts"]) {
            if (Lower(a["email"].get<std::string>()) == email) {
                res.set_redirect(Base() + "connect/login_success.html#access_token=" +
                                 a["token"].get<std::string>() + "&expires_in=0");
                return;
            }
        }
        res.set_content(Page("Log in to Facebook (sandbox)",
                             "<p>No account is known for " + HtmlEscape(email) +
                                 ".</p><p><a href=\"/dialog/oauth\">Try again</a></p>"),
                        kHtmlType);
    });
    s.Get("/login/cancel", [this](const httplib::Request &req, httplib::Response &res) {
        Record(req, std::string());
        res.set_redirect(Base() + "connect/login_success.html?error_reason=user_denied");
    });
    s.Get("/connect/login_success.html", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(Page("Success", "<p>You are signed in.</p>"), kHtmlType);
    });

    // The update check's answer: name=value lines.
    s.Get("/update", [this](const httplib::Request &req, httplib::Response &res) {
        Record(req, std::string());
        std::lock_guard lock(mutex);
        std::string text =
            "magicword=" + MagicWord() + "\r\nResult=" + std::to_string(updateResult) + "\r\n";
        if (!updateInfo.empty())
            text += "info=" + updateInfo + "\r\n";
        if (!updatePage.empty())
            text += "page=" + updatePage + "\r\n";
        // The program reads this answer in its 8-bit code page, as the header says.
        const QByteArray latin1 = QString::fromUtf8(text.data(), qsizetype(text.size())).toLatin1();
        res.set_content(latin1.toStdString(), "text/plain; charset=ISO-8859-1");
    });

    // Pages a user reaches through the links of the answers.
    auto page = [this](const std::string &html, httplib::Response &res) {
        if (html.empty()) {
            res.status = 404;
            res.set_content(Page("Not found", "<p>No such item.</p>"), kHtmlType);
        } else {
            res.set_content(html, kHtmlType);
        }
    };
    s.Get("/", [this](const httplib::Request &, httplib::Response &res) {
        std::lock_guard lock(mutex);
        res.set_content(IndexPage(), kHtmlType);
    });
    s.Get("/album.php", [this, page](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard lock(mutex);
        page(AlbumPage(req.get_param_value("aid")), res);
    });
    s.Get("/photo.php", [this, page](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard lock(mutex);
        page(PhotoPage(req.get_param_value("pid")), res);
    });
    s.Get("/video.php", [this, page](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard lock(mutex);
        page(VideoPage(req.get_param_value("v")), res);
    });
    s.Get("/profile.php", [this, page](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard lock(mutex);
        page(ProfilePage(req.get_param_value("id")), res);
    });
    s.Get(R"(/files/([A-Za-z0-9_.]+))",
          [this](const httplib::Request &req, httplib::Response &res) {
              const std::string name = req.matches[1];
              const std::string bytes = ReadFile(FilesDir() / name);
              if (bytes.empty() && !fs::exists(FilesDir() / name)) {
                  res.status = 404;
                  return;
              }
              res.set_content(bytes, MimeOf(name).c_str());
          });

    // Control endpoint for tests and demonstrations.
    s.Get("/_sandbox/fail", [this](const httplib::Request &req, httplib::Response &res) {
        const std::string mode = req.get_param_value("mode");
        FaultMode m = FaultMode::Unavailable;
        if (mode == "html")
            m = FaultMode::HtmlPage;
        else if (mode == "drop")
            m = FaultMode::Drop;
        else if (!mode.empty() && mode != "unavailable") {
            res.status = 400;
            res.set_content("mode is one of unavailable, html, drop\n", "text/plain");
            return;
        }
        const std::string method = req.get_param_value("method");
        const int count =
            req.has_param("count") ? std::atoi(req.get_param_value("count").c_str()) : 1;
        if (method.empty() || count <= 0) {
            res.status = 400;
            res.set_content("method and a positive count are needed\n", "text/plain");
            return;
        }
        std::lock_guard lock(mutex);
        faults.push_back({method, count, m});
        res.set_content("ok\n", "text/plain");
    });
    s.Get("/_sandbox/throttle", [this](const httplib::Request &req, httplib::Response &res) {
        throttle = std::atoll(req.get_param_value("bps").c_str());
        res.set_content("ok\n", "text/plain");
    });
    s.Get("/_sandbox/update", [this](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard lock(mutex);
        updateResult = std::atoi(req.get_param_value("result").c_str());
        updateInfo = req.get_param_value("info");
        updatePage = req.get_param_value("page");
        res.set_content("ok\n", "text/plain");
    });
    s.Get("/_sandbox/reset", [this](const httplib::Request &, httplib::Response &res) {
        std::lock_guard lock(mutex);
        faults.clear();
        throttle = 0;
        updateResult = 0;
        updateInfo.clear();
        updatePage.clear();
        res.set_content("ok\n", "text/plain");
    });
    s.Get("/_sandbox/state", [this](const httplib::Request &, httplib::Response &res) {
        std::lock_guard lock(mutex);
        res.set_content(state.dump(2), "application/json");
    });
}

// ---------------------------------------------------------------------------------------

FacebookSandbox::FacebookSandbox(std::string aDataDir) : d(std::make_unique<Impl>()) {
    d->dataDir = std::move(aDataDir);
}

FacebookSandbox::~FacebookSandbox() {
    Stop();
}

bool FacebookSandbox::Start(int aPort) {
    if (Running())
        return true;
    d->error.clear();
    if (!d->Load())
        return false;
    d->Routes();
    d->server.set_socket_options([](socket_t sock) {
        httplib::default_socket_options(sock);
        // A modest receive buffer, so that a throttled upload holds the sender back at
        // once instead of vanishing into a large loopback buffer.
        int size = 64 * 1024;
        ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    });
    if (aPort == 0) {
        d->port = d->server.bind_to_any_port("127.0.0.1");
        if (d->port <= 0) {
            d->error = "cannot listen on 127.0.0.1";
            return false;
        }
    } else {
        if (!d->server.bind_to_port("127.0.0.1", aPort)) {
            d->error = "cannot listen on 127.0.0.1:" + std::to_string(aPort);
            return false;
        }
        d->port = aPort;
    }
    d->thread = std::thread([this] { d->server.listen_after_bind(); });
    while (!d->server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void FacebookSandbox::Stop() {
    if (d->thread.joinable()) {
        d->server.stop();
        d->thread.join();
    }
}

bool FacebookSandbox::Running() const {
    return d->server.is_running();
}

int FacebookSandbox::Port() const {
    return d->port;
}

std::string FacebookSandbox::ErrorText() const {
    return d->error;
}

std::string FacebookSandbox::BaseURL() const {
    return d->Base();
}

std::string FacebookSandbox::GraphURL() const {
    return BaseURL() + "graph/";
}

std::string FacebookSandbox::RestURL() const {
    return BaseURL() + "restserver.php";
}

std::string FacebookSandbox::VideoURL() const {
    return BaseURL() + "video/restserver.php";
}

std::string FacebookSandbox::LoginURL() const {
    return BaseURL() + "dialog/oauth?client_id=20491&redirect_uri=" + BaseURL() +
           "connect/login_success.html&type=user_agent&display=popup";
}

std::string FacebookSandbox::UpdateURL() const {
    return BaseURL() + "update";
}

std::string FacebookSandbox::MagicWord() {
    return "lumafinch-sandbox";
}

std::string FacebookSandbox::ProfileText() const {
    // The success pattern is anchored at the path so the sign-in page, whose address
    // names the success page as its redirect_uri, never counts as the end of a login.
    return "FB.URL.Graph=" + GraphURL() + "\n" + "FB.URL.Rest=" + RestURL() + "\n" +
           "FB.URL.RestVideo=" + VideoURL() + "\n" + "FB.Login=" + LoginURL() + "\n" +
           "FB.Pattern.Login.Success=^https?://[^/?#]+/connect/login_success\\.html\n" +
           "FB.Pattern.Login.Token=access_token=([^&]+)\n" + "URL.Update=" + UpdateURL() + "\n" +
           "App.MagicWord=" + MagicWord() + "\n";
}

void FacebookSandbox::FailNext(const std::string &aMethod, int aCount, FaultMode aMode) {
    if (aCount <= 0)
        return; // nothing to spoil
    std::lock_guard lock(d->mutex);
    d->faults.push_back({aMethod, aCount, aMode});
}

void FacebookSandbox::SetThrottle(long long aBytesPerSecond) {
    d->throttle = aBytesPerSecond;
}

void FacebookSandbox::SetUpdateAnswer(int aResult, const std::string &aInfo,
                                      const std::string &aPage) {
    std::lock_guard lock(d->mutex);
    d->updateResult = aResult;
    d->updateInfo = aInfo;
    d->updatePage = aPage;
}

void FacebookSandbox::ResetControls() {
    std::lock_guard lock(d->mutex);
    d->faults.clear();
    d->throttle = 0;
    d->updateResult = 0;
    d->updateInfo.clear();
    d->updatePage.clear();
}

std::vector<Account> FacebookSandbox::Accounts() const {
    std::lock_guard lock(d->mutex);
    std::vector<Account> out;
    if (!d->state.contains("accounts")) {
        json seed = Impl::Seed();
        for (const json &a : seed["accounts"])
            out.push_back({a["id"], a["email"], a["name"], a["token"]});
        return out;
    }
    for (const json &a : d->state["accounts"])
        out.push_back({a["id"], a["email"], a["name"], a["token"]});
    return out;
}

std::vector<ReceivedRequest> FacebookSandbox::Requests() const {
    std::lock_guard lock(d->mutex);
    return std::vector<ReceivedRequest>(d->requests.begin(), d->requests.end());
}

void FacebookSandbox::ClearRequests() {
    std::lock_guard lock(d->mutex);
    d->requests.clear();
}

json FacebookSandbox::State() const {
    std::lock_guard lock(d->mutex);
    return d->state;
}

std::string FacebookSandbox::PhotoBytes(const std::string &aPid) const {
    std::lock_guard lock(d->mutex);
    for (const json &p : d->state["photos"]) {
        if (p["pid"] == aPid)
            return ReadFile(d->FilesDir() / p["file"].get<std::string>());
    }
    return std::string();
}

std::string FacebookSandbox::VideoBytes(const std::string &aVid) const {
    std::lock_guard lock(d->mutex);
    for (const json &v : d->state["videos"]) {
        if (v["vid"] == aVid)
            return ReadFile(d->FilesDir() / v["file"].get<std::string>());
    }
    return std::string();
}

std::string FacebookSandbox::DataDir() const {
    return d->dataDir;
}

// ---------------------------------------------------------------------------------------

bool MergeSettings(const std::string &aIniPath, const std::string &aKeyValueLines) {
    std::vector<std::pair<std::string, std::string>> wanted;
    {
        std::istringstream in(aKeyValueLines);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const size_t eq = line.find('=');
            if (eq == std::string::npos || eq == 0)
                continue;
            wanted.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    const std::string existing = ReadFile(aIniPath);
    // Text in UTF-16 would be corrupted by a byte-wise merge; leave such a file alone.
    if (existing.rfind("\xFF\xFE", 0) == 0 || existing.rfind("\xFE\xFF", 0) == 0)
        return false;
    std::vector<std::string> lines;
    {
        std::istringstream in(existing);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
    }
    // Lines are read as the program reads them: blanks around names do not count, and a
    // UTF-8 byte-order mark may stand before the first line.
    auto trim = [](std::string t) {
        if (t.rfind("\xEF\xBB\xBF", 0) == 0)
            t.erase(0, 3);
        const size_t b = t.find_first_not_of(" \t");
        const size_t e = t.find_last_not_of(" \t");
        return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
    };
    auto isSection = [&](const std::string &l) {
        const std::string t = trim(l);
        return t.size() >= 2 && t.front() == '[' && t.back() == ']';
    };
    size_t sectionStart = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string t = trim(lines[i]);
        if (isSection(t) && Lower(trim(t.substr(1, t.size() - 2))) == "setting") {
            sectionStart = i;
            break;
        }
    }
    if (sectionStart == lines.size()) {
        if (!lines.empty() && !lines.back().empty())
            lines.push_back(std::string());
        lines.push_back("[setting]");
    }
    size_t sectionEnd = sectionStart + 1;
    while (sectionEnd < lines.size() && !isSection(lines[sectionEnd]))
        ++sectionEnd;
    for (const auto &[key, value] : wanted) {
        bool replaced = false;
        for (size_t i = sectionStart + 1; i < sectionEnd; ++i) {
            const size_t eq = lines[i].find('=');
            if (eq != std::string::npos && Lower(trim(lines[i].substr(0, eq))) == Lower(key)) {
                lines[i] = key + "=" + value;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            // Before any blank lines that close the section.
            size_t at = sectionEnd;
            while (at > sectionStart + 1 && lines[at - 1].empty())
                --at;
            lines.insert(lines.begin() + long(at), key + "=" + value);
            ++sectionEnd;
        }
    }
    std::string out;
    for (const std::string &l : lines)
        out += l + "\r\n";
    std::error_code ec;
    const fs::path parent = fs::path(aIniPath).parent_path();
    if (!parent.empty())
        fs::create_directories(parent, ec);
    // A settings file holds access tokens: it keeps the mode it had, and a new one is
    // readable by its owner alone, as the program itself writes it.
    fs::perms perms = fs::perms::owner_read | fs::perms::owner_write;
    const fs::file_status status = fs::status(aIniPath, ec);
    if (!ec && fs::exists(status))
        perms = status.permissions();
    return WriteFileAtomic(aIniPath, out, perms);
}

// ---------------------------------------------------------------------------------------

struct RawRecordingServer::Impl {
    int listenFd = -1;
    int port = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<std::string> requests;
    std::deque<std::string> queued;
    std::string defaultAnswer = "{}";
    std::atomic<int> delayMs{0};

    void Serve();
    void Handle(int fd);
};

void RawRecordingServer::Impl::Serve() {
    while (!stopping) {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0) {
            if (stopping)
                return;
            continue;
        }
        Handle(fd);
        ::close(fd);
    }
}

void RawRecordingServer::Impl::Handle(int fd) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string raw;
    char buf[16384];
    size_t headerEnd = std::string::npos;
    size_t total = std::string::npos;
    while (total == std::string::npos || raw.size() < total) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        raw.append(buf, size_t(n));
        if (headerEnd == std::string::npos) {
            headerEnd = raw.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                size_t length = 0;
                const std::string headers = Lower(raw.substr(0, headerEnd));
                const size_t at = headers.find("\r\ncontent-length:");
                if (at != std::string::npos)
                    length = std::stoul(headers.substr(at + 17));
                total = headerEnd + 4 + length;
            }
        }
    }
    std::string answer;
    {
        std::lock_guard lock(mutex);
        requests.push_back(raw);
        if (!queued.empty()) {
            answer = queued.front();
            queued.pop_front();
        } else {
            answer = defaultAnswer;
        }
    }
    arrived.notify_all();
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=UTF-8\r\n"
                              "Content-Length: " +
                              std::to_string(answer.size()) + "\r\nConnection: close\r\n\r\n" +
                              answer;
    size_t sent = 0;
    while (sent < reply.size()) {
        const ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += size_t(n);
    }
    ::shutdown(fd, SHUT_WR);
}

RawRecordingServer::RawRecordingServer() : d(std::make_unique<Impl>()) {}

RawRecordingServer::~RawRecordingServer() {
    Stop();
}

bool RawRecordingServer::Start() {
    d->listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (d->listenFd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(d->listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(d->listenFd, 16) != 0) {
        ::close(d->listenFd);
        d->listenFd = -1;
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(d->listenFd, reinterpret_cast<sockaddr *>(&addr), &len);
    d->port = ntohs(addr.sin_port);
    d->thread = std::thread([this] { d->Serve(); });
    return true;
}

void RawRecordingServer::Stop() {
    if (d->listenFd < 0)
        return;
    d->stopping = true;
    ::shutdown(d->listenFd, SHUT_RDWR);
    ::close(d->listenFd);
    d->listenFd = -1;
    if (d->thread.joinable())
        d->thread.join();
}

int RawRecordingServer::Port() const {
    return d->port;
}

std::string RawRecordingServer::BaseURL() const {
    return "http://127.0.0.1:" + std::to_string(d->port) + "/";
}

void RawRecordingServer::SetDefaultAnswer(const std::string &aBody) {
    std::lock_guard lock(d->mutex);
    d->defaultAnswer = aBody;
}

void RawRecordingServer::SetAnswerDelay(int aMilliseconds) {
    d->delayMs = aMilliseconds;
}

void RawRecordingServer::QueueAnswer(const std::string &aBody) {
    std::lock_guard lock(d->mutex);
    d->queued.push_back(aBody);
}

std::vector<std::string> RawRecordingServer::Requests() const {
    std::lock_guard lock(d->mutex);
    return d->requests;
}

bool RawRecordingServer::WaitForRequests(size_t aCount, std::chrono::milliseconds aTimeout) const {
    std::unique_lock lock(d->mutex);
    return d->arrived.wait_for(lock, aTimeout, [&] { return d->requests.size() >= aCount; });
}

} // namespace sandbox
