// Upload speed and memory of TKestHttpRequest against the curl command line.
//
//   bench_http_upload [MiB [rounds]]     (defaults 512 and 3)
//
// Makes a file of the given size in a temporary folder, uploads it as a
// multipart body over loopback to a sink served by this program (http, and
// https with a certificate made with the openssl command), once through
// TKestHttpRequest and once through `curl` with the very same body, and prints
// the throughput of both, their ratio and this process's peak resident memory.
// The last line holds the figures as key=value pairs.
// BENCH_PROGRESS_INTERVAL_MS=N sets the component's ProgressInterval, to see
// what merging close notifications saves.

#include "net/KestHttpRequest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// A sink that reads a request (head and Content-Length bytes), throws the body
// away and answers with the number of body bytes it got. TLS when ctx is set.
class Sink {
public:
    explicit Sink(SSL_CTX *ctx) : FCtx(ctx) {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(FFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(FFd, 8);
        socklen_t len = sizeof addr;
        ::getsockname(FFd, reinterpret_cast<sockaddr *>(&addr), &len);
        FPort = ntohs(addr.sin_port);
        FThread = std::thread([this] { Loop(); });
    }
    ~Sink() {
        FStop = true;
        FThread.join();
        ::close(FFd);
    }
    int Port() const { return FPort; }

private:
    void Loop() {
        while (!FStop) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept(FFd, nullptr, nullptr);
            if (fd >= 0)
                Serve(fd);
        }
    }

    void Serve(int fd) {
        SSL *ssl = nullptr;
        if (FCtx) {
            ssl = SSL_new(FCtx);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) <= 0) {
                SSL_free(ssl);
                ::close(fd);
                return;
            }
        }
        auto rd = [&](char *buf, int n) -> int {
            return ssl ? SSL_read(ssl, buf, n) : int(::recv(fd, buf, size_t(n), 0));
        };
        auto wr = [&](const QByteArray &b) {
            if (ssl)
                SSL_write(ssl, b.constData(), int(b.size()));
            else
                ::send(fd, b.constData(), size_t(b.size()), MSG_NOSIGNAL);
        };
        static thread_local QByteArray buffer(256 * 1024, Qt::Uninitialized);
        QByteArray head;
        qint64 body = 0;
        while (head.indexOf("\r\n\r\n") < 0) {
            const int n = rd(buffer.data(), int(buffer.size()));
            if (n <= 0)
                break;
            head.append(buffer.constData(), n);
        }
        const qsizetype end = head.indexOf("\r\n\r\n");
        qint64 length = 0;
        if (end >= 0) {
            body = head.size() - (end + 4);
            for (const QByteArray &line : head.left(end).split('\n')) {
                const QByteArray l = line.trimmed().toLower();
                if (l.startsWith("content-length:"))
                    length = l.mid(15).trimmed().toLongLong();
            }
            while (body < length) {
                const int n = rd(buffer.data(), int(buffer.size()));
                if (n <= 0)
                    break;
                body += n;
            }
        }
        const QByteArray answer = QByteArray::number(body);
        wr("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
           QByteArray::number(answer.size()) + "\r\n\r\n" + answer);
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        ::close(fd);
    }

    SSL_CTX *FCtx;
    int FFd = -1;
    int FPort = 0;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

qint64 PeakRssKiB() {
    QFile f(u"/proc/self/status"_s);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

struct Run {
    double seconds = 0;
    bool ok = false;
    QString answer;
};

Run UploadOurs(const QString &url, const QString &file, const QString &caFile,
               qint64 *progressCalls) {
    TKestHttpRequest r;
    r.SetCACertFile(caFile);
    if (const QByteArray interval = qgetenv("BENCH_PROGRESS_INTERVAL_MS"); !interval.isEmpty())
        r.SetProgressInterval(interval.toInt());
    r.SetUploadFiles({u"caption=bench"_s}, {u"source="_s + file});
    QEventLoop loop;
    Run run;
    r.OnDoneString = [&](QObject *, const QString &text) {
        run.ok = true;
        run.answer = text;
        loop.quit();
    };
    r.OnError = [&](QObject *) { loop.quit(); };
    r.OnProgress = [&](QObject *, qint64, qint64) { ++*progressCalls; };
    r.SetURL(url);
    QElapsedTimer t;
    t.start();
    r.GetString();
    loop.exec();
    run.seconds = t.nsecsElapsed() / 1e9;
    return run;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

Run UploadCurl(const QString &url, const QString &bodyFile, const QString &contentType,
               const QString &caFile) {
    QStringList args = {
        u"--http1.0"_s, u"-s"_s,     u"-S"_s,
        u"--noproxy"_s, u"*"_s,      u"-X"_s,
        u"POST"_s,      u"-T"_s,     bodyFile,
        u"-H"_s,        contentType, u"-H"_s,
        u"Expect:"_s,   u"-H"_s,     u"Accept-Charset: ISO-8859-1,utf-8;q=0.7,*;q=0.7"_s};
    if (!caFile.isEmpty())
        args << u"--cacert"_s << caFile;
    args << url;
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(u"curl"_s, args);
    Run run;
    run.ok = p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    run.seconds = t.nsecsElapsed() / 1e9;
    run.answer = QString::fromLatin1(p.readAllStandardOutput());
    if (!run.ok)
        std::fprintf(stderr, "curl failed: %s\n", p.readAllStandardError().constData());
    return run;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 512;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 3;
    if (mib <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: %s [MiB [rounds]]\n", argv[0]);
        return 2;
    }
    for (const char *name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString file = dir.filePath(u"upload.mov"_s);
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        quint32 x = 2463534242u;
        for (qint64 i = 0; i < mib; ++i) {
            for (char &c : block) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                c = char(x);
            }
            f.write(block);
        }
    }

    // The very same body for curl, written out once (streamed, never in memory).
    TKestHttpRequest builder;
    builder.SetUploadFiles({u"caption=bench"_s}, {u"source="_s + file});
    const qint64 bodySize = builder.PostBody().Size();
    const QString bodyFile = dir.filePath(u"body.bin"_s);
    {
        QFile out(bodyFile);
        if (!out.open(QIODevice::WriteOnly))
            return 1;
        THttpBodyReader reader(builder.PostBody());
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (;;) {
            const qint64 n = reader.Read(block.data(), block.size());
            if (n <= 0)
                break;
            out.write(block.constData(), n);
        }
    }

    // A certificate for "localhost", trusted by both clients through a CA file.
    const QString cert = dir.filePath(u"cert.pem"_s);
    const QString key = dir.filePath(u"key.pem"_s);
    QProcess openssl;
    openssl.start(u"openssl"_s,
                  {u"req"_s, u"-x509"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s,
                   u"ec_paramgen_curve:prime256v1"_s, u"-nodes"_s, u"-keyout"_s, key, u"-out"_s,
                   cert, u"-days"_s, u"2"_s, u"-subj"_s, u"/CN=localhost"_s, u"-addext"_s,
                   u"subjectAltName=DNS:localhost"_s});
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        std::fprintf(stderr, "openssl failed\n");
        return 1;
    }
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_file(ctx, QFile::encodeName(cert).constData(), SSL_FILETYPE_PEM) !=
            1 ||
        SSL_CTX_use_PrivateKey_file(ctx, QFile::encodeName(key).constData(), SSL_FILETYPE_PEM) !=
            1) {
        std::fprintf(stderr, "certificate not usable\n");
        return 1;
    }

    Sink plain(nullptr);
    Sink tls(ctx);
    const QString httpUrl = u"http://127.0.0.1:"_s + QString::number(plain.Port()) + u"/sink"_s;
    const QString httpsUrl = u"https://localhost:"_s + QString::number(tls.Port()) + u"/sink"_s;
    const QString contentType = builder.ContentType();

    std::printf("file %lld MiB, body %lld bytes\n", mib, bodySize);
    const double mb = bodySize / 1e6;
    double ratios[2] = {0, 0};
    bool allOk = true;
    // Rounds alternate curl and ours; the best round of each counts, so that
    // other work on the machine disturbs the comparison as little as possible.
    double best[2][2] = {{0, 0}, {0, 0}}; // [http/https][curl/ours] MB/s
    for (int k = 0; k < 2; ++k) {
        const bool https = k == 1;
        const QString url = https ? httpsUrl : httpUrl;
        const QString ca = https ? cert : QString();
        for (int round = 1; round <= rounds; ++round) {
            const Run c = UploadCurl(url, bodyFile, contentType, ca);
            const double o0 = CpuSeconds();
            qint64 progressCalls = 0;
            const Run o = UploadOurs(url, file, ca, &progressCalls);
            const double o1 = CpuSeconds();
            const bool ok = c.ok && o.ok && o.answer == QString::number(bodySize) &&
                            c.answer == QString::number(bodySize);
            allOk = allOk && ok;
            const double cs = c.seconds > 0 ? mb / c.seconds : 0;
            const double os = o.seconds > 0 ? mb / o.seconds : 0;
            best[k][0] = std::max(best[k][0], cs);
            best[k][1] = std::max(best[k][1], os);
            std::printf(
                "%-5s round %d: curl %7.1f MB/s   ours %7.1f MB/s (cpu %.2f s with the sink)"
                "   progress calls %lld%s\n",
                https ? "https" : "http", round, cs, os, o1 - o0, progressCalls,
                ok ? "" : "   (FAILED)");
        }
        ratios[k] = best[k][0] > 0 ? best[k][1] / best[k][0] : 0;
        std::printf("%-5s best: curl %7.1f MB/s   ours %7.1f MB/s   ratio %.2f\n",
                    https ? "https" : "http", best[k][0], best[k][1], ratios[k]);
    }
    const double peakMiB = PeakRssKiB() / 1024.0;
    std::printf("peak resident memory %.1f MiB\n", peakMiB);
    std::printf("http_ratio=%.2f https_ratio=%.2f peak_rss_mib=%.1f ok=%d\n", ratios[0], ratios[1],
                peakMiB, allOk ? 1 : 0);
    SSL_CTX_free(ctx);
    return allOk ? 0 : 1;
}
