#include "listview/ThumbLoader.h"

#include "listview/PtListview.h"

#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QPointer>
#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <mutex>

QRect FitRect(QSize aSize, const QRect &aBox) {
    const int W = aBox.width();
    const int H = aBox.height();
    int rw, rh;
    if (W == 0 || H == 0) {
        rw = W;
        rh = H;
    } else if (aSize.width() == 0 || aSize.height() == 0) {
        rw = aSize.width();
        rh = aSize.height();
    } else {
        // 64-bit products: a 4000 x 3000 picture in a 300 box stays far from overflow,
        // but pictures reported by a broken header need not.
        const qint64 w = aSize.width(), h = aSize.height();
        if (h * W < w * H) {
            rw = W;
            rh = int(qint64(W) * h / w);
        } else {
            rw = int(qint64(H) * w / h);
            rh = H;
        }
    }
    return QRect(aBox.left() + (W - rw) / 2, aBox.top() + (H - rh) / 2, rw, rh);
}

bool LoadThumbnail(const QString &aFileName, int aWidth, int aHeight, QImage &aBitmap) {
    const QFileInfo info(aFileName);
    if (aFileName.isEmpty() || !info.isFile())
        return false;

    QImageReader reader(aFileName);
    // Photos from cameras and phones are stored sideways with an orientation tag.
    reader.setAutoTransform(true);
    QSize raw = reader.size();
    const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
    QImage full;
    if (!raw.isValid()) {
        // Some formats only know their size once decoded.
        full = reader.read();
        if (full.isNull())
            return false;
        raw = full.size();
    }
    const QSize upright = (turned && full.isNull()) ? raw.transposed() : raw;
    const QRect fit = FitRect(upright, QRect(0, 0, aWidth, aHeight));
    const int fw = fit.width(), fh = fit.height();

    QImage picture;
    if (fw > 0 && fh > 0) {
        if (full.isNull()) {
            // The size asked for is in the file's own orientation: the turn comes after
            // decoding. For JPEG this decodes at 1/2, 1/4 or 1/8 scale directly.
            reader.setScaledSize(turned ? QSize(fh, fw) : QSize(fw, fh));
            picture = reader.read();
            if (picture.isNull())
                return false;
        } else {
            picture = full.scaled(fw, fh, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
        aBitmap = QImage(fw, fh, QImage::Format_RGB32);
    }
    if (aBitmap.isNull())
        return true;
    aBitmap.fill(QColor(230, 230, 230));
    if (!picture.isNull()) {
        QPainter painter(&aBitmap);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(0, 0, fw, fh), picture);
    }
    return true;
}

// ---------------------------------------------------------------------------------------

namespace {
std::atomic<int> GDefaultPriority{int(QThread::IdlePriority)};
}

struct TThumbLoader::TShared {
    std::mutex Mutex;
    std::condition_variable Wake;
    bool Terminated = false;
    bool HasJob = false;
    quint64 Job = 0;
    QString FileName;
    QSize Box;
    TOnBeforeThumbLoadEvent Hook;
};

QThread::Priority TThumbLoader::DefaultPriority() {
    return QThread::Priority(GDefaultPriority.load());
}

void TThumbLoader::SetDefaultPriority(QThread::Priority aPriority) {
    GDefaultPriority.store(int(aPriority));
}

TThumbLoader::TThumbLoader(QObject *parent)
    : QObject(parent), FShared(std::make_shared<TShared>()) {}

TThumbLoader::~TThumbLoader() {
    Terminate();
}

QThread::Priority TThumbLoader::ThreadPriority() const {
    return FThread ? FThread->priority() : QThread::InheritPriority;
}

void TThumbLoader::Start() {
    if (FThread || FTerminated)
        return;
    FShared->Hook = OnBeforeItemThumbLoad;
    // Qt converts and scales large pictures on its shared thread pool, whose threads take
    // the priority of the thread that starts them. Started from this idle-priority worker
    // they would later run the user interface's own image work at idle priority, and the
    // interface would wait for them whenever the machine is busy. An explicit choice made
    // elsewhere is kept.
    if (QThreadPool *pool = QThreadPool::globalInstance();
        pool && pool->threadPriority() == QThread::InheritPriority)
        pool->setThreadPriority(QThread::NormalPriority);
    std::shared_ptr<TShared> shared = FShared;
    FThread = QThread::create([shared, this] { WorkerLoop(shared, this); });
    FThread->setObjectName(QStringLiteral("ThumbLoader"));
    FThread->start(DefaultPriority());
}

void TThumbLoader::Terminate() {
    if (FTerminated)
        return;
    FTerminated = true;
    {
        std::lock_guard<std::mutex> lock(FShared->Mutex);
        FShared->Terminated = true;
        FShared->HasJob = false;
    }
    FShared->Wake.notify_all();
    if (FThread) {
        // Waits for at most the picture being decoded; its result is dropped.
        FThread->wait();
        delete FThread;
        FThread = nullptr;
    }
    FTaskList.clear();
    FCurrentItem = nullptr;
    FBusy = false;
}

void TThumbLoader::SetThumbSize(int aWidth, int aHeight) {
    FThumbWidth = aWidth;
    FThumbHeight = aHeight;
}

void TThumbLoader::AddTask(int aSection, const QString &aFileName, TPtListItem *aItem) {
    if (FTerminated)
        return;
    const QString key = QString::number(aSection) + u'=' + aFileName;
    for (int i = 0; i < FTaskList.size(); ++i) {
        if (FTaskList.at(i).Key.compare(key, Qt::CaseInsensitive) == 0) {
            // Already waiting behind the head: the task stands. Found at the head it may be
            // picked up at any moment, so it is queued once more.
            if (i > 0)
                return;
            break;
        }
    }
    FTaskList.append(TTask{key, aItem});
    SchedulePick();
}

void TThumbLoader::ClearTask(int aSection) {
    if (aSection < 0)
        FTaskList.clear();
    const QString prefix = QString::number(aSection) + u'=';
    for (int i = int(FTaskList.size()) - 1; i >= 0; --i) {
        if (FTaskList.at(i).Key.startsWith(prefix, Qt::CaseInsensitive))
            FTaskList.removeAt(i);
    }
}

void TThumbLoader::ItemGone(TPtListItem *aItem) {
    if (!aItem)
        return;
    for (int i = int(FTaskList.size()) - 1; i >= 0; --i) {
        if (FTaskList.at(i).Item == aItem)
            FTaskList.removeAt(i);
    }
    if (FCurrentItem == aItem)
        FCurrentItem = nullptr; // the result still comes back, and is dropped
}

void TThumbLoader::ItemOutdated(TPtListItem *aItem) {
    if (aItem && FCurrentItem == aItem)
        FCurrentOutdated = true;
}

void TThumbLoader::SchedulePick() {
    if (FPickScheduled || FBusy || FTerminated || FTaskList.isEmpty())
        return;
    FPickScheduled = true;
    QMetaObject::invokeMethod(
        this, [this] { PickNextTask(); }, Qt::QueuedConnection);
}

void TThumbLoader::PickNextTask() {
    FPickScheduled = false;
    if (FTerminated || FBusy)
        return;
    FCurrentItem = nullptr;
    FCurrentFN.clear();
    // A paint while an item's thumbnail was being made queued it again; the repaint that
    // would drop that task comes after this pick, so a task whose item already has its
    // thumbnail is dropped here rather than made a second time.
    while (!FTaskList.isEmpty() && FTaskList.first().Item->Loaded())
        FTaskList.removeFirst();
    if (FTaskList.isEmpty())
        return;
    const TTask task = FTaskList.takeFirst();
    FCurrentItem = task.Item;
    FCurrentOutdated = false;
    // The item's file name now, not the one in the key: a page may have changed it.
    FCurrentFN = task.Item->FileName();
    FBusy = true;
    ++FJobSerial;
    {
        std::lock_guard<std::mutex> lock(FShared->Mutex);
        FShared->HasJob = true;
        FShared->Job = FJobSerial;
        FShared->FileName = FCurrentFN;
        FShared->Box = QSize(FThumbWidth, FThumbHeight);
    }
    FShared->Wake.notify_one();
}

void TThumbLoader::TaskDone(quint64 aJob, const QImage &aBitmap, bool aOk, QSize aBox) {
    if (FTerminated || !FBusy || aJob != FJobSerial)
        return;
    FBusy = false;
    TPtListItem *item = FCurrentItem;
    FCurrentItem = nullptr;
    if (aOk && item) {
        FThumbBmp = aBitmap;
        FThumbBmpCurrent = aBox == QSize(FThumbWidth, FThumbHeight) && !FCurrentOutdated;
        QPointer<TThumbLoader> self(this);
        if (OnThumbLoaded)
            OnThumbLoaded(this, item);
        if (!self)
            return;
        FThumbBmp = QImage();
    }
    SchedulePick();
}

void TThumbLoader::WorkerLoop(std::shared_ptr<TShared> aShared, TThumbLoader *aLoader) {
    for (;;) {
        quint64 job;
        QString fileName;
        QSize box;
        {
            std::unique_lock<std::mutex> lock(aShared->Mutex);
            // The predicate is checked under the lock, so a wake-up is never lost.
            aShared->Wake.wait(lock, [&] { return aShared->Terminated || aShared->HasJob; });
            if (aShared->Terminated)
                return;
            aShared->HasJob = false;
            job = aShared->Job;
            fileName = aShared->FileName;
            box = aShared->Box;
        }

        QImage bitmap;
        if (box.width() > 0 && box.height() > 0) {
            bitmap = QImage(box, QImage::Format_RGB32);
            bitmap.fill(QColor(230, 230, 230));
        }
        bool defaultLoad = true;
        if (aShared->Hook) {
            try {
                aShared->Hook(fileName, bitmap, defaultLoad);
            } catch (...) {
                // A page's hook never ends the loader; it goes on with bDefaultLoad as left.
            }
        }
        bool ok = true;
        if (defaultLoad) {
            try {
                ok = LoadThumbnail(fileName, box.width(), box.height(), bitmap);
            } catch (...) {
                ok = false;
            }
        }

        std::lock_guard<std::mutex> lock(aShared->Mutex);
        if (aShared->Terminated)
            return;
        // Posted while the loader is known to be alive (its destructor joins this thread
        // first); a posted call still pending when it dies is discarded with it.
        QMetaObject::invokeMethod(
            aLoader, [aLoader, job, bitmap, ok, box] { aLoader->TaskDone(job, bitmap, ok, box); },
            Qt::QueuedConnection);
    }
}
