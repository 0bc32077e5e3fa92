#pragma once

// Loopback servers for the transport tests: a raw socket server that records
// the exact request bytes and answers by script, and an https server with a
// certificate made for the test.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class RawServer;

// One accepted connection, used by a handler on the server's thread.
class RawConn {
public:
    RawConn(RawServer *server, int fd) : FServer(server), FFd(fd) {}
    ~RawConn();

    // Reads the request head and as much body as Content-Length announces;
    // records the bytes with the server. Empty when the peer went away.
    QByteArray ReadRequest();
    // Reads the request head only (up to the empty line); recorded as well.
    QByteArray ReadHead();
    // Reads up to n bytes of what follows (e.g. body bytes, slowly).
    QByteArray ReadSome(int n);
    bool Send(const QByteArray &bytes);
    // Waits until the peer closes or the server stops or ms pass; true if the
    // peer closed.
    bool WaitPeerClosed(int ms);
    void Close();

private:
    RawServer *FServer;
    int FFd;
    QByteArray FPending;
};

class RawServer {
public:
    using Handler = std::function<void(RawConn &)>;
    explicit RawServer(Handler handler);
    ~RawServer();

    int Port() const { return FPort; }
    QString Url(const QString &path) const;
    std::vector<QByteArray> Requests();
    int Connections() const { return FConnections.load(); }
    bool Stopping() const { return FStop.load(); }
    // Sleeps up to ms, ending early when the server stops.
    void Pause(int ms);

    // An answer with a Content-Length.
    static QByteArray Answer(const QByteArray &body, const QByteArray &status = "200 OK",
                             const QByteArray &contentType = "text/plain");

private:
    friend class RawConn;
    void Record(const QByteArray &request);
    void AcceptLoop();

    Handler FHandler;
    int FListenFd = -1;
    int FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<int> FConnections{0};
    std::thread FAcceptThread;
    std::mutex FLock;
    std::condition_variable FCond;
    std::vector<std::thread> FConnThreads;
    std::vector<int> FConnFds;
    std::vector<QByteArray> FRequests;
};

// A certificate for "localhost" made with the openssl command in dir.
struct TestCertificate {
    QString CertFile;
    QString KeyFile;
    bool Ok = false;
};
TestCertificate MakeTestCertificate(const QString &dir);

// An https server (cpp-httplib) answering GET /hello with "hello tls" and
// describing the parts of multipart POST bodies on /sink.
class TlsServer {
public:
    TlsServer(const QString &certFile, const QString &keyFile);
    ~TlsServer();
    bool Ok() const { return FPort > 0; }
    int Port() const { return FPort; }

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
    int FPort = 0;
};
