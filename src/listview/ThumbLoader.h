#pragma once

// Background thumbnail making for the thumbnail list: the worker thread with its
// queue, and the file-to-thumbnail routine the pages also call from their hooks.

#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>

class TPtListItem;

// Fits a picture of `aSize` into `aBox`, keeping its proportions, scaling up as well as
// down, centred in the box. A box with a zero side gives the box's size; a picture with a
// zero side keeps its (zero) size, centred.
QRect FitRect(QSize aSize, const QRect &aBox);

// Makes `aFileName` into a thumbnail fitted into aWidth x aHeight: `aBitmap` becomes
// exactly the fitted size, opaque, with RGB(230, 230, 230) under transparent parts, the
// picture turned upright by its EXIF orientation. Large JPEG files are decoded at a
// reduced size, never at full size. Returns false (bitmap unchanged) when the file does
// not exist or cannot be decoded. Safe to call on any thread.
bool LoadThumbnail(const QString &aFileName, int aWidth, int aHeight, QImage &aBitmap);

// The hook a page can use to supply a thumbnail of its own; runs on the loader thread.
using TOnBeforeThumbLoadEvent =
    std::function<void(const QString &aFilename, QImage &aThumbBmp, bool &bDefaultLoad)>;

// One worker thread per list at the lowest priority. The queue lives on the UI thread
// and is changed only there; the worker is handed one task at a time by the UI thread
// (the pick-up) and hands its result back through a queued call, so the worker never
// waits for the UI thread and never sees an item. An item that is freed takes its queued
// tasks and a pending hand-over with it (ItemGone), and destroying the loader joins the
// worker after at most the task in progress, so nothing reaches a freed list or item.
class TThumbLoader : public QObject {
    Q_OBJECT
public:
    struct TTask {
        QString Key; // decimal section + "=" + file name
        TPtListItem *Item = nullptr;
    };

    explicit TThumbLoader(QObject *parent = nullptr);
    ~TThumbLoader() override;

    // Starts the worker (at ThreadPriority()).
    void Start();
    // Tells the worker to end and waits for the task in progress; no hand-over follows.
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // UI thread only.
    void AddTask(int aSection, const QString &aFileName, TPtListItem *aItem);
    void ClearTask(int aSection);
    // The item is being freed: drop its tasks and any pending hand-over to it.
    void ItemGone(TPtListItem *aItem);
    // The item's picture has changed: a thumbnail being made for it now is handed over
    // as out of date (ThumbBmpCurrent false).
    void ItemOutdated(TPtListItem *aItem);

    int ThumbWidth() const { return FThumbWidth; }
    int ThumbHeight() const { return FThumbHeight; }
    void SetThumbSize(int aWidth, int aHeight);

    // The queue, head first (read-only view for the list and for checks).
    int TaskCount() const { return int(FTaskList.size()); }
    const TTask &Task(int i) const { return FTaskList.at(i); }
    TPtListItem *CurrentItem() const { return FCurrentItem; }
    const QString &CurrentFN() const { return FCurrentFN; }
    // True while a task has been handed to the worker and its result has not come back.
    bool Busy() const { return FBusy; }

    // The thumbnail of the latest hand-over; valid during OnThumbLoaded.
    const QImage &ThumbBmp() const { return FThumbBmp; }
    // False when the item size changed, or the item was told its picture changed, while
    // that thumbnail was being made.
    bool ThumbBmpCurrent() const { return FThumbBmpCurrent; }

    // Set before Start; OnBeforeItemThumbLoad runs on the worker thread.
    std::function<void(TThumbLoader *aSender, TPtListItem *aItem)> OnThumbLoaded;
    TOnBeforeThumbLoadEvent OnBeforeItemThumbLoad;

    // Priority given to loader threads when they start; lowest unless changed (the tests
    // raise it so that a busy machine does not starve them).
    static QThread::Priority DefaultPriority();
    static void SetDefaultPriority(QThread::Priority aPriority);
    QThread::Priority ThreadPriority() const;

private:
    struct TShared;
    void SchedulePick();
    void PickNextTask();
    void TaskDone(quint64 aJob, const QImage &aBitmap, bool aOk, QSize aBox);
    static void WorkerLoop(std::shared_ptr<TShared> aShared, TThumbLoader *aLoader);

    std::shared_ptr<TShared> FShared;
    QThread *FThread = nullptr;
    QList<TTask> FTaskList;
    TPtListItem *FCurrentItem = nullptr;
    bool FCurrentOutdated = false;
    QString FCurrentFN;
    quint64 FJobSerial = 0;
    bool FBusy = false;
    bool FPickScheduled = false;
    bool FTerminated = false;
    int FThumbWidth = 100;
    int FThumbHeight = 100;
    QImage FThumbBmp;
    bool FThumbBmpCurrent = true;
};
