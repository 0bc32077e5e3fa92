// Painting cost of a long thumbnail list: 10,000 items in 20 sections, offscreen.
// Prints the time of one full repaint at positions through the whole list (thumbnails
// in place) and of scrolling through it step by step while thumbnails arrive.
//
//   bench_listview_paint [--items N] [--sections N]
//
// Ends with one line of key=value figures.

#include "listview/PtListview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextStream>
#include <QWindow>

#include <algorithm>

namespace {

bool WaitFor(const std::function<bool()> &done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

double RepaintMs(TPtListview &lv) {
    QElapsedTimer t;
    t.start();
    lv.repaint();
    return t.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);
    // The loader normally runs at idle priority; on a busy machine that would make the
    // waits for thumbnails, not the painting, the bulk of the run.
    TThumbLoader::SetDefaultPriority(QThread::NormalPriority);
    const QStringList args = app.arguments();
    const auto option = [&](const char *name, int fallback) {
        const int at = int(args.indexOf(QString::fromLatin1(name)));
        return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
    };
    const int itemCount = option("--items", 10000);
    const int sectionCount = std::max(option("--sections", 20), 1);

    QWidget host;
    host.resize(820, 600);
    auto *lv = new TPtListview(&host);
    lv->setGeometry(0, 0, 800, 600);
    auto *bar = new QScrollBar(Qt::Vertical, &host);
    bar->setGeometry(800, 0, 20, 600);
    lv->SetScrollBar(bar);
    // Thumbnails come from the page hook, so that the figures are about painting, not
    // decoding.
    lv->OnBeforeItemThumbLoad = [](const QString &name, QImage &bmp, bool &def) {
        bmp = QImage(100, 75, QImage::Format_RGB32);
        bmp.fill(QColor::fromHsv(int(qHash(name) % 360), 160, 210));
        def = false;
    };
    for (int i = 0; i < itemCount; ++i) {
        TPtListItem *item = lv->Items().Add();
        item->SetFileName(QStringLiteral("/pictures/photo %1 with a longer name.jpg").arg(i));
    }
    const int perSection = (itemCount + sectionCount - 1) / sectionCount;
    lv->OnCustomSortEvent = [perSection](TPtListview *sender) {
        sender->Sections().Clear();
        TPtSection *s = nullptr;
        for (int i = 0; i < sender->Items().Count(); ++i) {
            if (i % perSection == 0) {
                s = sender->Sections().Add();
                s->SetCaption(QStringLiteral("Folder %1").arg(sender->Sections().Count()));
            }
            s->Add(i);
        }
    };
    lv->Sort();
    lv->Items().GetItem(3)->SetSelected(true);
    host.show();
    WaitFor([&] { return host.windowHandle() && host.windowHandle()->isExposed(); }, 5000);

    const TThumbLoader *loader = lv->ThumbLoader();
    const auto settle = [&] {
        WaitFor(
            [&] {
                QCoreApplication::processEvents();
                lv->repaint();
                return loader->TaskCount() == 0 && !loader->Busy();
            },
            5000);
    };

    const int maxPosition = bar->maximum();
    out << "items: " << itemCount << " in " << lv->Sections().Count()
        << " sections, content height " << lv->GetContentHeight() << ", positions 0 .. "
        << maxPosition << Qt::endl;

    // One full repaint, thumbnails in place, at positions through the whole list.
    double repaintMax = 0, repaintSum = 0;
    int repaintCount = 0;
    const int stride = std::max(maxPosition / 200, 1);
    for (int pos = 0; pos <= maxPosition; pos += stride) {
        lv->SetScrollPosition(pos);
        settle();
        double best = 1e9;
        for (int k = 0; k < 3; ++k)
            best = std::min(best, RepaintMs(*lv));
        repaintMax = std::max(repaintMax, best);
        repaintSum += best;
        ++repaintCount;
    }

    // Scrolling through the list by small steps, painting each, while the loader works.
    lv->SetItemWidth(101); // thumbnails are to be made again, as after a zoom
    lv->SetScrollPosition(0);
    settle();
    const int step = bar->singleStep();
    int steps = 0;
    QElapsedTimer scroll;
    scroll.start();
    for (int pos = 0; pos <= maxPosition; pos += step) {
        lv->SetScrollPosition(pos);
        lv->repaint();
        QCoreApplication::processEvents();
        ++steps;
    }
    const double scrollMs = scroll.nsecsElapsed() / 1e6;

    out << "repaint: " << repaintCount << " positions, mean " << repaintSum / repaintCount
        << " ms, max " << repaintMax << " ms" << Qt::endl;
    out << "scroll: " << steps << " steps of " << step << " px in " << scrollMs << " ms ("
        << scrollMs / steps << " ms per step)" << Qt::endl;
    out << "repaint_ms_max=" << QString::number(repaintMax, 'f', 2)
        << " repaint_ms_mean=" << QString::number(repaintSum / repaintCount, 'f', 2)
        << " scroll_ms=" << QString::number(scrollMs, 'f', 1) << " scroll_steps=" << steps
        << " items=" << itemCount << Qt::endl;
    return 0;
}
