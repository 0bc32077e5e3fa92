// Shows a folder of pictures in the thumbnail list, one section per folder, for looking
// at the list by eye (under Xvfb, or with --grab on the offscreen platform).
//
//   listview_demo FOLDER [--sub] [--rows] [--multi] [--checkbox] [--width N]
//                 [--grab FILE.png]
//
// --sub takes subfolders too; --rows shows the list view layout; --multi allows several
// selected items; --checkbox draws check boxes; --width sets the item width; --grab waits
// for the thumbnails on screen, saves a picture of the window and quits.

#include "listview/PtListview.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

namespace {

bool IsPicture(const QString &path) {
    static const QStringList kinds{QStringLiteral("jpg"), QStringLiteral("jpeg"),
                                   QStringLiteral("png"), QStringLiteral("gif"),
                                   QStringLiteral("bmp")};
    return kinds.contains(QFileInfo(path).suffix().toLower());
}

// The item button: a small red cross, as the pages' delete mark.
QImage DeleteMark() {
    QImage img(17, 17, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(200, 40, 40));
    p.setPen(Qt::NoPen);
    p.drawEllipse(0, 0, 17, 17);
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(5, 5, 12, 12);
    p.drawLine(12, 5, 5, 12);
    return img;
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const auto option = [&](const char *name) {
        const int at = int(args.indexOf(QString::fromLatin1(name)));
        return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : QString();
    };
    const QString folder = args.value(0);
    if (folder.isEmpty() || folder.startsWith(u'-') || !QFileInfo(folder).isDir()) {
        std::fprintf(stderr, "usage: listview_demo FOLDER [--sub] [--rows] [--multi] "
                             "[--checkbox] [--width N] [--grab FILE.png]\n");
        return 2;
    }

    QWidget window;
    window.setWindowTitle(QStringLiteral("Thumbnail list: ") + folder);
    window.resize(760, 560);
    auto *status = new QLabel(&window);
    auto *lv = new TPtListview(&window);
    auto *bar = new QScrollBar(Qt::Vertical, &window);
    auto *row = new QHBoxLayout;
    row->setSpacing(0);
    row->addWidget(lv, 1);
    row->addWidget(bar);
    auto *column = new QVBoxLayout(&window);
    column->addLayout(row, 1);
    column->addWidget(status);

    lv->SetScrollBar(bar);
    lv->SetDispose(args.contains(QStringLiteral("--rows")) ? DListView : DImageView);
    lv->SetMultiSelected(args.contains(QStringLiteral("--multi")));
    lv->SetCheckBox(args.contains(QStringLiteral("--checkbox")));
    lv->SetItemButtonPicture(DeleteMark());
    if (!option("--width").isEmpty())
        lv->SetItemWidth(option("--width").toInt());

    lv->AddFileListFromPath(folder, nullptr, args.contains(QStringLiteral("--sub")));
    for (int i = lv->Items().Count() - 1; i >= 0; --i) {
        TPtListItem *item = lv->Items().GetItem(i);
        if (!IsPicture(item->FileName()))
            lv->Items().Delete(item);
    }
    for (int i = 0; i < lv->Items().Count(); ++i) {
        TPtListItem *item = lv->Items().GetItem(i);
        item->SetDrawButton(true);
        item->SetExtension(QStringLiteral("\r\n") + QFileInfo(item->FileName()).path());
    }
    // One section per folder, in the order the folders were found.
    lv->OnCustomSortEvent = [](TPtListview *sender) {
        sender->Sections().Clear();
        QHash<QString, TPtSection *> byFolder;
        for (int i = 0; i < sender->Items().Count(); ++i) {
            const QString dir = QFileInfo(sender->Items().GetItem(i)->FileName()).path();
            TPtSection *&s = byFolder[dir];
            if (!s) {
                s = sender->Sections().Add();
                s->SetCaption(QDir(dir).dirName());
            }
            s->Add(i);
        }
    };
    const auto describe = [lv, status] {
        const TPtListItem *sel = lv->Selected();
        status->setText(QStringLiteral("%1 pictures in %2 sections; selected: %3; keys: %4")
                            .arg(lv->Items().Count())
                            .arg(lv->Sections().Count())
                            .arg(sel ? sel->Caption() : QStringLiteral("none"))
                            .arg(lv->MultiSelectedItems().join(u',')));
    };
    lv->OnClick = [describe](TPtListview *) { describe(); };
    lv->OnItemButtonClick = [lv, describe](TPtListItem *item) {
        item->Delete();
        lv->Sort();
        describe();
    };
    lv->Sort();
    describe();
    window.show();

    const QString grab = option("--grab");
    if (!grab.isEmpty()) {
        // Wait until the loader has nothing left for what is on screen, then save.
        auto *poll = new QTimer(&window);
        int waited = 0;
        QObject::connect(poll, &QTimer::timeout, &window, [&, poll] {
            const TThumbLoader *loader = lv->ThumbLoader();
            waited += 100;
            if ((loader->TaskCount() == 0 && !loader->Busy()) || waited > 30000) {
                poll->stop();
                window.grab().save(grab);
                std::printf("saved %s\n", qPrintable(grab));
                QCoreApplication::quit();
            }
        });
        poll->start(100);
    }
    return app.exec();
}
