// The thumbnail loader: its queue rules, the hand-over, the page hook, and LoadThumbnail
// for the picture formats the program shows.

#include "ListviewTestUtil.h"

#include <QBuffer>
#include <QFile>
#include <QMap>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <atomic>
#include <sched.h>
#include <stdexcept>

using namespace lvtest;

namespace {

// Inserts an EXIF block with the given orientation right after the JPEG's start marker.
QByteArray WithExifOrientation(const QByteArray &jpeg, quint16 orientation) {
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    tiff += QByteArray("\x01\0", 2);                   // one entry
    tiff += QByteArray("\x12\x01\x03\0\x01\0\0\0", 8); // Orientation, SHORT, count 1
    tiff += char(orientation & 0xFF);
    tiff += char(orientation >> 8);
    tiff += QByteArray("\0\0", 2);     // value padding
    tiff += QByteArray("\0\0\0\0", 4); // no next IFD
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(payload.size()) + 2;
    QByteArray app1("\xFF\xE1", 2);
    app1 += char(length >> 8);
    app1 += char(length & 0xFF);
    app1 += payload;
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

// Qt reads GIF but does not write it: a small writer for test pictures of up to 127
// colours plus a transparent one. Codes are 8 bits wide (minimum code size 7) and a clear
// code every 100 pixels keeps them so, which makes the LZW stream plain bytes.
QByteArray MakeGif(const QImage &source) {
    const QImage img = source.convertToFormat(QImage::Format_ARGB32);
    QList<QRgb> palette;
    QByteArray indices;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb c = img.pixel(x, y);
            if (qAlpha(c) < 128) {
                indices += char(127);
                continue;
            }
            qsizetype at = palette.indexOf(c | 0xFF000000u);
            if (at < 0) {
                at = palette.size();
                palette << (c | 0xFF000000u);
            }
            indices += char(at);
        }
    }
    const auto le16 = [](QByteArray &out, int v) {
        out.append(char(v & 0xFF));
        out.append(char(v >> 8));
    };
    QByteArray gif("GIF89a");
    le16(gif, img.width());
    le16(gif, img.height());
    gif.append(char(0xF6)); // global table of 128 colours
    gif.append(char(0));
    gif.append(char(0));
    for (int i = 0; i < 128; ++i) {
        const QRgb c = i < palette.size() ? palette.at(i) : qRgb(255, 255, 255);
        gif.append(char(qRed(c)));
        gif.append(char(qGreen(c)));
        gif.append(char(qBlue(c)));
    }
    gif.append(QByteArray("\x21\xF9\x04\x01\0\0\x7F\0", 8)); // index 127 is transparent
    gif.append(char(0x2C));
    le16(gif, 0);
    le16(gif, 0);
    le16(gif, img.width());
    le16(gif, img.height());
    gif.append(char(0));
    gif += char(7);
    QByteArray codes;
    for (qsizetype i = 0; i < indices.size(); ++i) {
        if (i % 100 == 0)
            codes += char(128);
        codes += indices.at(i);
    }
    codes += char(129);
    for (qsizetype i = 0; i < codes.size(); i += 255) {
        const QByteArray block = codes.mid(i, 255);
        gif += char(block.size());
        gif += block;
    }
    gif += char(0);
    gif += char(0x3B);
    return gif;
}

struct Pictures {
    QTemporaryDir dir;
    QString Path(const QString &name) const { return dir.path() + u'/' + name; }
    QString Save(const QString &name, const QImage &img, const char *format, int quality = -1) {
        const QString p = Path(name);
        if (qstrcmp(format, "GIF") == 0) {
            QFile f(p);
            EXPECT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(MakeGif(img));
            return p;
        }
        EXPECT_TRUE(img.save(p, format, quality)) << name.toStdString();
        return p;
    }
};

QImage LeftRight(int w, int h, QColor left, QColor right) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(right);
    QPainter p(&img);
    p.fillRect(0, 0, w / 2, h, left);
    return img;
}

bool Near(QColor a, QColor b, int tol = 12) {
    return std::abs(a.red() - b.red()) <= tol && std::abs(a.green() - b.green()) <= tol &&
           std::abs(a.blue() - b.blue()) <= tol;
}

} // namespace

TEST(ThumbLoaderQueue, HeadRuleAndClearTask) {
    // Not started, and no events processed: the queue stays exactly as the calls leave it.
    TPtListview lv;
    TPtListItem *a = lv.Items().Add();
    TPtListItem *b = lv.Items().Add();
    TThumbLoader loader;
    const auto keys = [&] {
        QStringList out;
        for (int i = 0; i < loader.TaskCount(); ++i)
            out << loader.Task(i).Key;
        return out;
    };

    loader.AddTask(0, QStringLiteral("x.jpg"), a);
    loader.AddTask(0, QStringLiteral("x.jpg"), b); // found at the head: queued again
    loader.AddTask(0, QStringLiteral("X.JPG"), b); // still found at the head, ignoring case
    EXPECT_EQ(keys(), (QStringList{QStringLiteral("0=x.jpg"), QStringLiteral("0=x.jpg"),
                                   QStringLiteral("0=X.JPG")}));
    EXPECT_EQ(loader.Task(0).Item, a);
    loader.AddTask(0, QStringLiteral("y.jpg"), a);
    loader.AddTask(0, QStringLiteral("y.jpg"), b); // waiting behind the head: ignored
    EXPECT_EQ(loader.TaskCount(), 4);

    loader.ClearTask(-1);
    EXPECT_EQ(loader.TaskCount(), 0);
    loader.AddTask(1, QStringLiteral("p.jpg"), a);
    loader.AddTask(11, QStringLiteral("q.jpg"), a);
    loader.AddTask(1, QStringLiteral("r.jpg"), b);
    loader.AddTask(2, QStringLiteral("s.jpg"), b);
    loader.ClearTask(1);
    EXPECT_EQ(keys(), (QStringList{QStringLiteral("11=q.jpg"), QStringLiteral("2=s.jpg")}));

    // An item that goes takes its tasks with it.
    loader.ItemGone(b);
    EXPECT_EQ(keys(), QStringList{QStringLiteral("11=q.jpg")});
}

TEST(ThumbLoaderQueue, RunsAtLowestPriorityByDefault) {
    ASSERT_EQ(TThumbLoader::DefaultPriority(), QThread::IdlePriority);
    TPtListview lv;
    EXPECT_EQ(lv.ThumbLoader()->ThreadPriority(), QThread::IdlePriority);
}

TEST(ThumbLoaderQueue, SharedPoolThreadsKeepNormalPriority) {
    // Qt converts large pictures on its shared thread pool, whose threads take the priority
    // of the thread that starts them. Started from the idle-priority loader, they would run
    // the user interface's own conversions at idle priority later on.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int expiry = pool->expiryTimeout();
    pool->setExpiryTimeout(0); // let the pool's present threads end...
    pool->waitForDone();
    pool->setExpiryTimeout(-1); // ...and keep the ones started from here on
    TPtListview lv;
    Pictures pics;
    QImage img(1500, 1500, QImage::Format_ARGB32);
    img.fill(QColor(0, 0, 255, 128));
    const QString png = pics.Save(QStringLiteral("large.png"), img, "PNG");
    QThread *idle = QThread::create([&] {
        QImage bmp;
        EXPECT_TRUE(LoadThumbnail(png, 100, 100, bmp));
    });
    idle->start(QThread::IdlePriority);
    idle->wait();
    delete idle;

    QMutex mutex;
    QList<int> policies;
    QSemaphore all;
    const int n = pool->maxThreadCount();
    for (int i = 0; i < n; ++i) {
        pool->start([&] {
            {
                QMutexLocker lock(&mutex);
                policies << sched_getscheduler(0);
            }
            QThread::msleep(50); // every thread of the pool takes one
            all.release();
        });
    }
    all.acquire(n);
    pool->setExpiryTimeout(expiry);
    for (int policy : std::as_const(policies))
        EXPECT_NE(policy, SCHED_IDLE);
}

struct LoaderFixture : ::testing::Test {
    TNormalPriority priority;
    Pictures pics;
    TPtListview lv;
    void ShowWith(const QStringList &files) {
        lv.resize(400, 300);
        for (const QString &f : files)
            lv.Items().Add()->SetFileName(f);
        SortIntoOneSection(lv);
        lv.show();
    }
};

TEST_F(LoaderFixture, ThumbnailsArriveForVisibleItems) {
    const QString red = pics.Save(QStringLiteral("red.png"), SolidImage(400, 300, Qt::red), "PNG");
    const QString blue =
        pics.Save(QStringLiteral("blue.png"), SolidImage(300, 400, Qt::blue), "PNG");
    ShowWith({red, blue});
    ASSERT_TRUE(WaitSettled(lv));
    TPtListItem *a = lv.Items().GetItem(0);
    TPtListItem *b = lv.Items().GetItem(1);
    ASSERT_TRUE(a->Loaded());
    ASSERT_TRUE(b->Loaded());
    EXPECT_EQ(a->Bitmap()->size(), QSize(100, 75));
    EXPECT_EQ(b->Bitmap()->size(), QSize(75, 100));
    EXPECT_EQ(a->Bitmap()->pixelColor(50, 30), QColor(Qt::red));

    // ReloadBitmap: queued again at the next paint, the old picture still shown meanwhile.
    a->ReloadBitmap();
    lv.repaint();
    EXPECT_TRUE(lv.ThumbLoader()->TaskCount() > 0 || lv.ThumbLoader()->Busy());
    EXPECT_EQ(a->Bitmap()->size(), QSize(100, 75));
    ASSERT_TRUE(WaitSettled(lv));
    EXPECT_TRUE(a->Loaded());
}

TEST_F(LoaderFixture, EachThumbnailIsMadeOnce) {
    // A paint while an item's thumbnail is being made queues that item again (it has no
    // thumbnail yet); once the thumbnail has come, that task must not make it a second time.
    QMutex mutex;
    QMap<QString, int> made;
    lv.OnBeforeItemThumbLoad = [&](const QString &name, QImage &bmp, bool &def) {
        {
            QMutexLocker lock(&mutex);
            ++made[name];
        }
        QThread::msleep(15);
        bmp = SolidImage(100, 75, Qt::red, QImage::Format_RGB32);
        def = false;
    };
    QStringList names;
    for (int i = 0; i < 6; ++i)
        names << QStringLiteral("item%1").arg(i);
    ShowWith(names);
    ASSERT_TRUE(WaitSettled(lv));
    // A few more paints and events: nothing is left to make.
    for (int i = 0; i < 5; ++i) {
        lv.repaint();
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(WaitFor([&] { return LoaderIdle(lv); }));
    QMutexLocker lock(&mutex);
    for (const QString &name : std::as_const(names))
        EXPECT_EQ(made.value(name), 1) << name.toStdString();
}

TEST_F(LoaderFixture, DeletedFileGivesNoHandOver) {
    const QString gone = pics.Save(QStringLiteral("gone.png"), SolidImage(50, 50, Qt::red), "PNG");
    QFile::remove(gone);
    ShowWith({gone});
    int handOvers = 0;
    const auto old = lv.ThumbLoader()->OnThumbLoaded;
    lv.ThumbLoader()->OnThumbLoaded = [&](TThumbLoader *s, TPtListItem *i) {
        ++handOvers;
        old(s, i);
    };
    ASSERT_TRUE(WaitIdle(lv));
    TPtListItem *item = lv.Items().GetItem(0);
    EXPECT_EQ(handOvers, 0);
    EXPECT_FALSE(item->Loaded());
    ASSERT_NE(item->Bitmap(), nullptr);
    EXPECT_TRUE(item->Bitmap()->isNull());
}

TEST_F(LoaderFixture, PageHookSubstitutesAPicture) {
    const QString icon =
        pics.Save(QStringLiteral("icon.png"), SolidImage(64, 64, Qt::green), "PNG");
    std::atomic<bool> onOtherThread{false};
    QThread *ui = QThread::currentThread();
    lv.OnBeforeItemThumbLoad = [&, icon](const QString &name, QImage &bmp, bool &def) {
        EXPECT_TRUE(def);
        onOtherThread = QThread::currentThread() != ui;
        if (name.endsWith(QStringLiteral(".avi")))
            def = !LoadThumbnail(icon, 100, 100, bmp);
    };
    ShowWith({pics.Path(QStringLiteral("clip.avi"))});
    ASSERT_TRUE(WaitSettled(lv));
    TPtListItem *item = lv.Items().GetItem(0);
    ASSERT_TRUE(item->Loaded());
    EXPECT_EQ(item->Bitmap()->size(), QSize(100, 100));
    EXPECT_EQ(item->Bitmap()->pixelColor(50, 50), QColor(Qt::green));
    EXPECT_TRUE(onOtherThread);
}

TEST_F(LoaderFixture, ThrowingHookIsSwallowed) {
    const QString red = pics.Save(QStringLiteral("red.png"), SolidImage(100, 100, Qt::red), "PNG");
    // Throws before deciding: the loader makes the thumbnail itself. Throws after drawing
    // and declaring it: that picture is handed over.
    lv.OnBeforeItemThumbLoad = [](const QString &name, QImage &bmp, bool &def) {
        if (name.endsWith(QStringLiteral("drawn"))) {
            bmp = SolidImage(100, 100, Qt::blue, QImage::Format_RGB32);
            def = false;
        }
        throw std::runtime_error("page hook failed");
    };
    ShowWith({red, pics.Path(QStringLiteral("drawn"))});
    ASSERT_TRUE(WaitSettled(lv));
    ASSERT_TRUE(lv.Items().GetItem(0)->Loaded());
    EXPECT_EQ(lv.Items().GetItem(0)->Bitmap()->pixelColor(50, 50), QColor(Qt::red));
    ASSERT_TRUE(lv.Items().GetItem(1)->Loaded());
    EXPECT_EQ(lv.Items().GetItem(1)->Bitmap()->pixelColor(50, 50), QColor(Qt::blue));
}

TEST_F(LoaderFixture, ItemDeletedWhileLoadingGetsNothing) {
    // A hook that holds the worker until the item is gone.
    std::atomic<bool> entered{false}, release{false};
    lv.OnBeforeItemThumbLoad = [&](const QString &, QImage &bmp, bool &def) {
        entered = true;
        while (!release)
            QThread::yieldCurrentThread();
        bmp = SolidImage(100, 100, Qt::red, QImage::Format_RGB32);
        def = false;
    };
    ShowWith({QStringLiteral("a")});
    ASSERT_TRUE(WaitFor([&] {
        lv.repaint();
        return entered.load();
    }));
    TPtListItem *item = lv.Items().GetItem(0);
    EXPECT_EQ(lv.ThumbLoader()->CurrentItem(), item);
    lv.Items().Clear();
    lv.Sections().Clear();
    EXPECT_EQ(lv.ThumbLoader()->CurrentItem(), nullptr);
    TPtListItem *fresh = lv.Items().Add();
    release = true;
    ASSERT_TRUE(WaitFor([&] { return LoaderIdle(lv); }));
    EXPECT_FALSE(fresh->Loaded());
    EXPECT_EQ(fresh->Bitmap(), nullptr);
}

TEST_F(LoaderFixture, SizeChangeDuringLoadQueuesAgain) {
    std::atomic<bool> entered{false}, release{false};
    lv.OnBeforeItemThumbLoad = [&](const QString &, QImage &bmp, bool &def) {
        entered = true;
        while (!release)
            QThread::yieldCurrentThread();
        bmp = SolidImage(bmp.width(), bmp.height(), Qt::red, QImage::Format_RGB32);
        def = false;
    };
    ShowWith({QStringLiteral("a")});
    ASSERT_TRUE(WaitFor([&] {
        lv.repaint();
        return entered.load();
    }));
    TPtListItem *item = lv.Items().GetItem(0);
    std::vector<std::pair<int, bool>> handOvers; // bitmap width, loaded
    const auto old = lv.ThumbLoader()->OnThumbLoaded;
    lv.ThumbLoader()->OnThumbLoaded = [&](TThumbLoader *s, TPtListItem *i) {
        old(s, i);
        handOvers.emplace_back(i->Bitmap()->width(), i->Loaded());
    };
    lv.SetItemWidth(150);
    release = true;
    ASSERT_TRUE(WaitSettled(lv));
    ASSERT_GE(handOvers.size(), 2u);
    // The thumbnail made for the old size is shown (stretched) but not taken as loaded...
    EXPECT_EQ(handOvers.front(), std::make_pair(100, false));
    // ...so a later paint queues the item again at the new size.
    EXPECT_EQ(handOvers.back(), std::make_pair(150, true));
    EXPECT_TRUE(item->Loaded());
}

TEST_F(LoaderFixture, ReloadDuringLoadMakesThePictureAgain) {
    // A page replaces an item's picture file (a downloaded cover) and calls ReloadBitmap
    // while the old picture is still being made: the new one must follow.
    std::atomic<bool> entered{false}, release{false};
    std::atomic<int> calls{0};
    lv.OnBeforeItemThumbLoad = [&](const QString &, QImage &bmp, bool &def) {
        const bool first = calls++ == 0;
        entered = true;
        while (first && !release)
            QThread::yieldCurrentThread();
        bmp = SolidImage(100, 100, first ? Qt::red : Qt::blue, QImage::Format_RGB32);
        def = false;
    };
    ShowWith({QStringLiteral("cover")});
    ASSERT_TRUE(WaitFor([&] {
        lv.repaint();
        return entered.load();
    }));
    TPtListItem *item = lv.Items().GetItem(0);
    item->ReloadBitmap();
    release = true;
    ASSERT_TRUE(WaitSettled(lv));
    ASSERT_TRUE(item->Loaded());
    EXPECT_EQ(item->Bitmap()->pixelColor(50, 50), QColor(Qt::blue));
    EXPECT_EQ(calls.load(), 2);
}

TEST(LoadThumbnail, FormatsAndSizes) {
    Pictures pics;
    struct Case {
        QString file;
        QSize expected;
    } cases[] = {
        {pics.Save(QStringLiteral("wide.jpg"),
                   SolidImage(4000, 3000, Qt::red, QImage::Format_RGB32), "JPEG", 80),
         {100, 75}},
        {pics.Save(QStringLiteral("tall.jpg"),
                   SolidImage(3000, 4000, Qt::red, QImage::Format_RGB32), "JPEG", 80),
         {75, 100}},
        {pics.Save(QStringLiteral("small.png"), SolidImage(50, 50, Qt::red), "PNG"), {100, 100}},
        {pics.Save(QStringLiteral("pic.gif"), SolidImage(80, 40, Qt::red), "GIF"), {100, 50}},
        {pics.Save(QStringLiteral("pic.bmp"), SolidImage(40, 80, Qt::red), "BMP"), {50, 100}},
    };
    for (const Case &c : cases) {
        QImage bmp;
        ASSERT_TRUE(LoadThumbnail(c.file, 100, 100, bmp)) << c.file.toStdString();
        EXPECT_EQ(bmp.size(), c.expected) << c.file.toStdString();
        EXPECT_FALSE(bmp.hasAlphaChannel());
        EXPECT_TRUE(Near(bmp.pixelColor(bmp.width() / 2, bmp.height() / 2), Qt::red))
            << c.file.toStdString();
    }
}

TEST(LoadThumbnail, TransparentPartsAreGrey) {
    Pictures pics;
    QImage img(60, 60, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter(&img).fillRect(0, 0, 30, 60, Qt::blue);
    const QString png = pics.Save(QStringLiteral("alpha.png"), img, "PNG");
    const QString gif = pics.Save(QStringLiteral("alpha.gif"), img, "GIF");
    for (const QString &file : {png, gif}) {
        QImage bmp;
        ASSERT_TRUE(LoadThumbnail(file, 120, 120, bmp));
        EXPECT_EQ(bmp.size(), QSize(120, 120));
        EXPECT_EQ(bmp.pixelColor(100, 60), QColor(230, 230, 230)) << file.toStdString();
        EXPECT_TRUE(Near(bmp.pixelColor(20, 60), Qt::blue)) << file.toStdString();
    }
}

TEST(LoadThumbnail, PhotosStandUpright) {
    Pictures pics;
    // Stored sideways: red on the left, blue on the right, 200 x 100, with orientation 6
    // ("turn 90 degrees clockwise to view"): upright it is 100 x 200, red on top.
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(LeftRight(200, 100, Qt::red, Qt::blue).save(&buffer, "JPEG", 95));
    QFile f(pics.Path(QStringLiteral("turned.jpg")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(WithExifOrientation(jpeg, 6));
    f.close();

    QImage bmp;
    ASSERT_TRUE(LoadThumbnail(f.fileName(), 100, 100, bmp));
    EXPECT_EQ(bmp.size(), QSize(50, 100));
    EXPECT_TRUE(Near(bmp.pixelColor(25, 20), Qt::red));
    EXPECT_TRUE(Near(bmp.pixelColor(25, 80), Qt::blue));
}

TEST(LoadThumbnail, FailuresLeaveTheBitmapAlone) {
    Pictures pics;
    QFile junk(pics.Path(QStringLiteral("junk.jpg")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("this is not a picture");
    junk.close();
    const QImage before = SolidImage(10, 10, Qt::yellow);
    for (const QString &file :
         {pics.Path(QStringLiteral("missing.jpg")), junk.fileName(), pics.dir.path(), QString()}) {
        QImage bmp = before;
        EXPECT_FALSE(LoadThumbnail(file, 100, 100, bmp)) << file.toStdString();
        EXPECT_EQ(bmp, before);
    }
}
