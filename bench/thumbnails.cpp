// Thumbnail making speed: LoadThumbnail over a folder of large JPEG photos at item width
// 100, on one thread. Without a folder argument it makes its own 4000 x 3000 photos.
//
//   bench_thumbnails [folder] [--count N]
//
// Ends with one line of key=value figures.

#include "listview/ThumbLoader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <cmath>
#include <cstdio>

namespace {

// The high-water mark of this process's resident memory (VmHWM: unlike getrusage, it
// starts afresh in a new program).
double PeakRssMiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// A photo-like picture: smooth colour fields with some fine detail, so that it compresses
// like a real photo rather than like noise or a flat fill.
QImage MakePhoto(int w, int h, int seed) {
    QImage img(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    const double a = 0.002 + rng.bounded(0.004), b = 0.003 + rng.bounded(0.004);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const double v = std::sin(x * a + seed) + std::cos(y * b) + std::sin((x + y) * 0.05);
            const int r = int(128 + 60 * std::sin(v)) + int(rng.bounded(12));
            const int g = int(128 + 60 * std::cos(v * 1.3)) + int(rng.bounded(12));
            const int bl = int(128 + 60 * std::sin(v * 0.7 + 1)) + int(rng.bounded(12));
            line[x] = qRgb(qBound(0, r, 255), qBound(0, g, 255), qBound(0, bl, 255));
        }
    }
    return img;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QStringList args = app.arguments().mid(1);
    int count = 12;
    const int countAt = int(args.indexOf(QStringLiteral("--count")));
    if (countAt >= 0 && countAt + 1 < args.size()) {
        count = args.at(countAt + 1).toInt();
        args.remove(countAt, 2);
    }

    QTemporaryDir temp;
    QString folder = args.value(0);
    if (folder.isEmpty()) {
        folder = temp.path();
        out << "making " << count << " photos of 4000 x 3000 in " << folder << Qt::endl;
        for (int i = 0; i < count; ++i) {
            MakePhoto(4000, 3000, i)
                .save(folder + QStringLiteral("/photo%1.jpg").arg(i, 3, 10, QChar(u'0')), "JPEG",
                      90);
        }
    }
    if (args.value(0).isEmpty()) {
        // Measured in a fresh process, so that making the photos does not count in its
        // peak memory.
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {folder});
        child.waitForFinished(-1);
        return child.exitCode();
    }
    const QStringList names = QDir(folder).entryList(
        {QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"), QStringLiteral("*.JPG")}, QDir::Files,
        QDir::Name);
    if (names.isEmpty()) {
        out << "no JPEG files in " << folder << Qt::endl;
        return 1;
    }

    const double rssBefore = PeakRssMiB();

    // The thumbnails are kept, as the list keeps them: memory may grow by them only.
    QList<QImage> thumbs;
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = ThreadCpuMs();
    double rssHalf = 0;
    int made = 0;
    for (int i = 0; i < names.size(); ++i) {
        QImage bmp;
        if (LoadThumbnail(folder + u'/' + names.at(i), 100, 100, bmp))
            ++made;
        thumbs << bmp;
        if (i == names.size() / 2)
            rssHalf = PeakRssMiB();
    }
    const double cpuMs = ThreadCpuMs() - cpu0;
    const double wallMs = wall.nsecsElapsed() / 1e6;
    const double perPhoto = cpuMs / names.size();
    out << "photos: " << names.size() << ", thumbnails made: " << made
        << ", first: " << thumbs.first().width() << " x " << thumbs.first().height() << Qt::endl;
    out << "cpu " << cpuMs << " ms, wall " << wallMs << " ms, " << perPhoto << " ms per photo"
        << Qt::endl;
    out << "peak resident: " << rssBefore << " MiB before, " << rssHalf << " MiB at half, "
        << PeakRssMiB() << " MiB at end" << Qt::endl;
    const double peakRss = PeakRssMiB();
    // For comparison: what one full-size decode costs here.
    double fullMs;
    {
        const double t0 = ThreadCpuMs();
        QImageReader reader(folder + u'/' + names.first());
        const QImage full = reader.read();
        fullMs = ThreadCpuMs() - t0;
        out << "full decode of " << names.first() << ": " << full.width() << " x " << full.height()
            << ", " << fullMs << " ms" << Qt::endl;
    }
    out << "ms_per_photo=" << QString::number(perPhoto, 'f', 2)
        << " wall_ms_per_photo=" << QString::number(wallMs / names.size(), 'f', 2)
        << " full_decode_ms=" << QString::number(fullMs, 'f', 1)
        << " peak_rss_mib=" << QString::number(peakRss, 'f', 1) << " photos=" << names.size()
        << Qt::endl;
    return made == names.size() ? 0 : 1;
}
