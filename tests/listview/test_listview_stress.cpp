// The list cleared, refilled, scrolled, zoomed and destroyed while large pictures are
// being turned into thumbnails. Built with AddressSanitizer: a thumbnail handed to a freed
// item, or a loader touching a freed list, ends the run with a report.

#include "ListviewTestUtil.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

// Qt's own start-up allocations are not ours to account for.
extern "C" const char *__asan_default_options() {
    return "detect_leaks=0";
}

using namespace lvtest;

namespace {

QStringList MakeLargePictures(const QString &dir) {
    QStringList files;
    for (int i = 0; i < 3; ++i) {
        QImage img(3000, 2000, QImage::Format_RGB32);
        img.fill(QColor::fromHsv(i * 100, 200, 200));
        QPainter p(&img);
        for (int k = 0; k < 40; ++k)
            p.fillRect(k * 70, k * 45, 300, 200, QColor::fromHsv((k * 37) % 360, 180, 220));
        p.end();
        const QString path = dir + QStringLiteral("/large%1.jpg").arg(i);
        EXPECT_TRUE(img.save(path, "JPEG", 90));
        files << path;
    }
    QImage alpha(1500, 1500, QImage::Format_ARGB32);
    alpha.fill(Qt::transparent);
    QPainter(&alpha).fillRect(200, 200, 900, 900, QColor(0, 0, 255, 160));
    const QString png = dir + QStringLiteral("/large.png");
    EXPECT_TRUE(alpha.save(png, "PNG"));
    files << png << dir + QStringLiteral("/missing.jpg");
    return files;
}

void SortInSectionsOf(TPtListview &lv, int size) {
    lv.OnCustomSortEvent = [size](TPtListview *sender) {
        sender->Sections().Clear();
        TPtSection *s = nullptr;
        for (int i = 0; i < sender->Items().Count(); ++i) {
            if (i % size == 0)
                s = sender->Sections().Add();
            s->Add(i);
        }
    };
}

} // namespace

TEST(ListviewStress, ClearAndRefillWhileLargePicturesLoad) {
    TNormalPriority priority;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList files = MakeLargePictures(dir.path());
    QRandomGenerator rng(20261211);
    QScrollBar bar(Qt::Vertical);
    int handOvers = 0;
    QElapsedTimer worstDestroy;
    qint64 worstDestroyMs = 0;

    for (int life = 0; life < 4; ++life) {
        auto lv = std::make_unique<TPtListview>();
        lv->resize(600, 400);
        lv->SetScrollBar(&bar);
        SortInSectionsOf(*lv, 8);
        // Half the lists make their thumbnails through a page hook, which also decodes.
        if (life % 2) {
            const QString icon = files.at(0);
            lv->OnBeforeItemThumbLoad = [icon](const QString &name, QImage &bmp, bool &def) {
                if (name.endsWith(QStringLiteral(".png")))
                    def = !LoadThumbnail(icon, bmp.width(), bmp.height(), bmp);
            };
        }
        const auto loaded = lv->ThumbLoader()->OnThumbLoaded;
        lv->ThumbLoader()->OnThumbLoaded = [&handOvers, loaded](TThumbLoader *s, TPtListItem *i) {
            ++handOvers;
            loaded(s, i);
        };
        lv->show();

        for (int round = 0; round < 12; ++round) {
            lv->Items().Clear();
            const int n = 10 + int(rng.bounded(40));
            for (int i = 0; i < n; ++i)
                lv->Items().Add()->SetFileName(files.at(int(rng.bounded(int(files.size())))));
            lv->Sort();
            lv->repaint();
            RunEventsFor(int(rng.bounded(40)));
            switch (rng.bounded(5)) {
            case 0: // items go one by one, some of them while being loaded
                for (int k = 0; k < 5 && lv->Items().Count() > 0; ++k) {
                    lv->Items().Delete(lv->Items().GetItem(int(rng.bounded(lv->Items().Count()))));
                    lv->Sort();
                    RunEventsFor(int(rng.bounded(10)));
                }
                break;
            case 1:
                lv->SetItemWidth(60 + int(rng.bounded(240)));
                break;
            case 2:
                lv->SetScrollPosition(int(rng.bounded(2000)));
                break;
            case 3:
                for (int i = 0; i < lv->Items().Count(); ++i)
                    lv->Items().GetItem(i)->ReloadBitmap();
                lv->repaint();
                break;
            default:
                lv->SetDispose(lv->Dispose() == DImageView ? DListView : DImageView);
                break;
            }
            lv->repaint();
            RunEventsFor(int(rng.bounded(30)));
        }
        // Destroyed while a picture is very likely being decoded.
        lv->Items().Clear();
        for (int i = 0; i < 20; ++i)
            lv->Items().Add()->SetFileName(files.at(i % 3));
        lv->Sort();
        lv->repaint();
        RunEventsFor(5);
        worstDestroy.start();
        lv.reset();
        worstDestroyMs = std::max(worstDestroyMs, worstDestroy.elapsed());
        RunEventsFor(20); // anything still posted for the dead list must go nowhere
    }
    EXPECT_GT(handOvers, 0);
    // Destruction waits for at most the one picture in progress, never a fixed delay.
    EXPECT_LT(worstDestroyMs, 5000);
}

TEST(ListviewStress, ManyShortLivedLists) {
    TNormalPriority priority;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList files = MakeLargePictures(dir.path());
    for (int i = 0; i < 30; ++i) {
        TPtListview lv;
        lv.resize(300, 200);
        SortInSectionsOf(lv, 4);
        for (int k = 0; k < 6; ++k)
            lv.Items().Add()->SetFileName(files.at(k % files.size()));
        lv.Sort();
        lv.show();
        lv.repaint();
        RunEventsFor(i % 7);
    }
    SUCCEED();
}
