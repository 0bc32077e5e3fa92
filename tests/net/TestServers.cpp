#include "TestServers.h"

#include <QProcess>
#include <QStringList>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

RawConn::~RawConn() {
    Close();
}

void RawConn::Close() {
    if (FFd >= 0) {
        ::shutdown(FFd, SHUT_RDWR);
        ::close(FFd);
        FFd = -1;
    }
}

static int ReadFd(int fd, char *buf, int n, RawServer *server) {
    while (!server->Stopping()) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (r < 0)
            return -1;
        if (r == 0)
            continue;
        return int(::recv(fd, buf, size_t(n), 0));
    }
    return -1;
}

QByteArray RawConn::ReadHead() {
    QByteArray head = FPending;
    FPending.clear();
    char buf[4096];
    while (head.indexOf("\r\n\r\n") < 0) {
        const int n = ReadFd(FFd, buf, sizeof buf, FServer);
        if (n <= 0)
            return QByteArray();
        head.append(buf, n);
    }
    const qsizetype end = head.indexOf("\r\n\r\n") + 4;
    FPending = head.mid(end);
    head.truncate(end);
    return head;
}

QByteArray RawConn::ReadRequest() {
    QByteArray head = ReadHead();
    if (head.isEmpty())
        return QByteArray();
    qint64 length = 0;
    for (const QByteArray &line : head.split('\n')) {
        const QByteArray l = line.trimmed();
        if (l.toLower().startsWith("content-length:"))
            length = l.mid(15).trimmed().toLongLong();
    }
    QByteArray body = FPending;
    FPending.clear();
    char buf[65536];
    while (body.size() < length) {
        const int n = ReadFd(FFd, buf, sizeof buf, FServer);
        if (n <= 0)
            break;
        body.append(buf, n);
    }
    const QByteArray request = head + body;
    FServer->Record(request);
    return request;
}

QByteArray RawConn::ReadSome(int n) {
    if (!FPending.isEmpty()) {
        QByteArray out = FPending.left(n);
        FPending.remove(0, out.size());
        return out;
    }
    QByteArray buf(n, Qt::Uninitialized);
    const int got = ReadFd(FFd, buf.data(), n, FServer);
    if (got <= 0)
        return QByteArray();
    buf.truncate(got);
    return buf;
}

bool RawConn::Send(const QByteArray &bytes) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(FFd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

bool RawConn::WaitPeerClosed(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[65536];
    while (std::chrono::steady_clock::now() < until && !FServer->Stopping()) {
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n <= 0)
                return true;
        }
    }
    return false;
}

RawServer::RawServer(Handler handler) : FHandler(std::move(handler)) {
    FListenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(FListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(FListenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(FListenFd, 16);
    socklen_t len = sizeof addr;
    ::getsockname(FListenFd, reinterpret_cast<sockaddr *>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FAcceptThread = std::thread([this] { AcceptLoop(); });
}

RawServer::~RawServer() {
    FStop.store(true);
    FCond.notify_all();
    FAcceptThread.join();
    ::close(FListenFd);
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lk(FLock);
        threads.swap(FConnThreads);
    }
    for (std::thread &t : threads)
        t.join();
}

void RawServer::AcceptLoop() {
    while (!FStop.load()) {
        pollfd p{FListenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept(FListenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        FConnections.fetch_add(1);
        std::lock_guard<std::mutex> lk(FLock);
        FConnThreads.emplace_back([this, fd] {
            RawConn conn(this, fd);
            FHandler(conn);
        });
    }
}

void RawServer::Record(const QByteArray &request) {
    std::lock_guard<std::mutex> lk(FLock);
    FRequests.push_back(request);
}

std::vector<QByteArray> RawServer::Requests() {
    std::lock_guard<std::mutex> lk(FLock);
    return FRequests;
}

void RawServer::Pause(int ms) {
    std::unique_lock<std::mutex> lk(FLock);
    FCond.wait_for(lk, std::chrono::milliseconds(ms), [this] { return FStop.load(); });
}

QString RawServer::Url(const QString &path) const {
    return QStringLiteral("http://127.0.0.1:") + QString::number(FPort) + path;
}

QByteArray RawServer::Answer(const QByteArray &body, const QByteArray &status,
                             const QByteArray &contentType) {
    return "HTTP/1.0 " + status + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

TestCertificate MakeTestCertificate(const QString &dir) {
    TestCertificate c;
    c.CertFile = dir + QStringLiteral("/cert.pem");
    c.KeyFile = dir + QStringLiteral("/key.pem");
    QProcess p;
    p.start(QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
             QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
             QStringLiteral("-keyout"), c.KeyFile, QStringLiteral("-out"), c.CertFile,
             QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
             QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
             QStringLiteral("subjectAltName=DNS:localhost")});
    c.Ok = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return c;
}

struct TlsServer::Impl {
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
};

TlsServer::TlsServer(const QString &certFile, const QString &keyFile) : FImpl(new Impl) {
    FImpl->server = std::make_unique<httplib::SSLServer>(certFile.toLocal8Bit().constData(),
                                                         keyFile.toLocal8Bit().constData());
    if (!FImpl->server->is_valid())
        return;
    FImpl->server->Get("/hello", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("hello tls", "text/plain; charset=UTF-8");
    });
    // Multipart bodies are parsed by the server: the answer names each part
    // and the size of its content ("a:1 f:50000").
    FImpl->server->Post("/sink", [](const httplib::Request &, httplib::Response &res,
                                    const httplib::ContentReader &reader) {
        std::vector<std::pair<std::string, size_t>> parts;
        reader(
            [&](const httplib::MultipartFormData &file) {
                parts.emplace_back(file.name, 0);
                return true;
            },
            [&](const char *, size_t n) {
                if (!parts.empty())
                    parts.back().second += n;
                return true;
            });
        std::string out;
        for (const auto &p : parts)
            out += (out.empty() ? "" : " ") + p.first + ":" + std::to_string(p.second);
        res.set_content(out, "text/plain");
    });
    FPort = FImpl->server->bind_to_any_port("127.0.0.1");
    if (FPort > 0)
        FImpl->thread = std::thread([this] { FImpl->server->listen_after_bind(); });
}

TlsServer::~TlsServer() {
    if (FImpl->thread.joinable()) {
        FImpl->server->stop();
        FImpl->thread.join();
    }
}
