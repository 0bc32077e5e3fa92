#pragma once

// Small helpers shared by the list view tests: pictures on disk, a shown list with
// thumbnails loaded, and synthesised input.

#include "common/EventLoopWait.h"
#include "listview/PtListview.h"

#include <QApplication>
#include <QColor>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QString>
#include <QThread>
#include <QWheelEvent>
#include <QWindow>

#include <functional>

namespace lvtest {

// Raises loader threads to normal priority: on a busy machine an idle-priority thread
// can wait a long time for a core.
struct TNormalPriority {
    QThread::Priority Old = TThumbLoader::DefaultPriority();
    TNormalPriority() { TThumbLoader::SetDefaultPriority(QThread::NormalPriority); }
    ~TNormalPriority() { TThumbLoader::SetDefaultPriority(Old); }
};

inline QImage SolidImage(int w, int h, const QColor &c, QImage::Format f = QImage::Format_ARGB32) {
    QImage img(w, h, f);
    img.fill(c);
    return img;
}

// Loader idle: nothing queued, nothing being made, no pick-up pending.
inline bool LoaderIdle(const TPtListview &lv) {
    const TThumbLoader *l = lv.ThumbLoader();
    return l->TaskCount() == 0 && !l->Busy();
}

// Paints until every item on screen has its thumbnail (or the loader has nothing left).
inline bool WaitSettled(TPtListview &lv, int ms = 20000) {
    return WaitFor(
        [&] {
            lv.repaint();
            QCoreApplication::processEvents();
            return LoaderIdle(lv);
        },
        ms);
}

// Paints once and waits until the loader has worked through what that paint queued;
// for lists whose thumbnails never come (a missing file is queued at every paint).
inline bool WaitIdle(TPtListview &lv, int ms = 20000) {
    QWidget *window = lv.window();
    if (!WaitFor([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, ms))
        return false;
    lv.repaint();
    return WaitFor([&] { return LoaderIdle(lv); }, ms);
}

// A list whose thumbnails come from the page hook: a solid picture of the given size,
// no file needed. Item i gets FileName "item<i>" so every item has a task of its own.
inline void UseSolidThumbnails(TPtListview &lv, QSize size, QColor color) {
    lv.OnBeforeItemThumbLoad = [size, color](const QString &, QImage &bmp, bool &def) {
        bmp = SolidImage(size.width(), size.height(), color, QImage::Format_RGB32);
        def = false;
    };
}

// One section holding every item in order.
inline void SortIntoOneSection(TPtListview &lv, const QString &caption = QStringLiteral("All")) {
    lv.OnCustomSortEvent = [caption](TPtListview *sender) {
        sender->Sections().Clear();
        TPtSection *s = sender->Sections().Add();
        s->SetCaption(caption);
        for (int i = 0; i < sender->Items().Count(); ++i)
            s->Add(i);
    };
    lv.Sort();
}

inline void AddItems(TPtListview &lv, int n) {
    for (int i = 0; i < n; ++i)
        lv.Items().Add()->SetFileName(QStringLiteral("item%1").arg(i));
}

inline QPoint Center(const QRect &r) {
    return QPoint(r.x() + r.width() / 2, r.y() + r.height() / 2);
}

inline void Press(QWidget *w, QPoint p, Qt::MouseButton b = Qt::LeftButton,
                  Qt::KeyboardModifiers m = Qt::NoModifier) {
    QMouseEvent e(QEvent::MouseButtonPress, QPointF(p), QPointF(w->mapToGlobal(p)), b, b, m);
    QApplication::sendEvent(w, &e);
}

inline void Release(QWidget *w, QPoint p, Qt::MouseButton b = Qt::LeftButton,
                    Qt::KeyboardModifiers m = Qt::NoModifier) {
    QMouseEvent e(QEvent::MouseButtonRelease, QPointF(p), QPointF(w->mapToGlobal(p)), b,
                  Qt::NoButton, m);
    QApplication::sendEvent(w, &e);
}

inline void Move(QWidget *w, QPoint p, Qt::MouseButtons held = Qt::NoButton,
                 Qt::KeyboardModifiers m = Qt::NoModifier) {
    QMouseEvent e(QEvent::MouseMove, QPointF(p), QPointF(w->mapToGlobal(p)), Qt::NoButton, held, m);
    QApplication::sendEvent(w, &e);
}

inline void Click(QWidget *w, QPoint p, Qt::MouseButton b = Qt::LeftButton,
                  Qt::KeyboardModifiers m = Qt::NoModifier) {
    Press(w, p, b, m);
    Release(w, p, b, m);
}

inline void Wheel(QWidget *w, int deltaY, Qt::KeyboardModifiers m = Qt::NoModifier,
                  int deltaX = 0) {
    const QPoint p(10, 10);
    QWheelEvent e(QPointF(p), QPointF(w->mapToGlobal(p)), QPoint(), QPoint(deltaX, deltaY),
                  Qt::NoButton, m, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &e);
}

inline void Key(QWidget *w, int key, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, key, m);
    QApplication::sendEvent(w, &e);
}

} // namespace lvtest
