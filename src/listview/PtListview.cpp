#include "listview/PtListview.h"

#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

bool PointInRect(const QPoint &p, const QRect &r) {
    return r.x() <= p.x() && p.x() < RectRight(r) && r.y() <= p.y() && p.y() < RectBottom(r);
}

bool RectCornerIn(const QRect &aCell, const QRect &aArea) {
    const int l = aCell.x(), t = aCell.y(), r = RectRight(aCell), b = RectBottom(aCell);
    return PointInRect(QPoint(l, t), aArea) || PointInRect(QPoint(r, t), aArea) ||
           PointInRect(QPoint(l, b), aArea) || PointInRect(QPoint(r, b), aArea);
}

bool RectsOverlapVert(const QRect &a, const QRect &b) {
    const auto within = [](int y, const QRect &r) { return r.y() <= y && y <= RectBottom(r); };
    return within(a.y(), b) || within(RectBottom(a), b) || within(b.y(), a) ||
           within(RectBottom(b), a);
}

int Nearest(double x) {
    return int(std::lrint(x));
}

namespace {

const QColor kFontColor(0x33, 0x33, 0x33);

// Fills (left, top, right, bottom); an empty or inverted rectangle fills nothing.
void Fill(QPainter &c, int l, int t, int r, int b, const QColor &color) {
    if (r > l && b > t)
        c.fillRect(RectLTRB(l, t, r, b), color);
}

QRect Grown(const QRect &r, int n) {
    return RectLTRB(r.x() - n, r.y() - n, RectRight(r) + n, RectBottom(r) + n);
}

// A 1-pixel frame drawn inside the rectangle.
void FrameRect(QPainter &c, const QRect &r, const QColor &color) {
    const int l = r.x(), t = r.y(), rr = RectRight(r), b = RectBottom(r);
    if (rr <= l || b <= t)
        return;
    c.fillRect(RectLTRB(l, t, rr, t + 1), color);
    c.fillRect(RectLTRB(l, b - 1, rr, b), color);
    c.fillRect(RectLTRB(l, t, l + 1, b), color);
    c.fillRect(RectLTRB(rr - 1, t, rr, b), color);
}

QStringList Paragraphs(const QString &text) {
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(u'\r', u'\n');
    return t.split(u'\n');
}

enum class TWrap { None, Words, WordsEllipsis };

// Breaks the text into the lines it is drawn in. None: lines break only at line breaks
// and each is cut with a trailing ellipsis when too wide. Words: wrapped at word
// boundaries (a word too long for a line overflows). WordsEllipsis: as Words, a word too
// long for a line is cut with an ellipsis.
QStringList LayoutLines(const QString &text, const QFontMetrics &fm, int width, TWrap wrap) {
    QStringList lines;
    const QStringList paragraphs = Paragraphs(text);
    for (const QString &paragraph : paragraphs) {
        if (wrap == TWrap::None) {
            lines << fm.elidedText(paragraph, Qt::ElideRight, std::max(width, 0));
            continue;
        }
        const QStringList words = paragraph.split(u' ');
        QString line;
        bool started = false;
        for (const QString &word : words) {
            if (!started) {
                line = word;
                started = true;
            } else if (fm.horizontalAdvance(line + u' ' + word) <= width) {
                line += u' ' + word;
            } else {
                lines << line;
                line = word;
            }
            if (wrap == TWrap::WordsEllipsis && fm.horizontalAdvance(line) > width) {
                lines << fm.elidedText(line, Qt::ElideRight, std::max(width, 0));
                line.clear();
                started = false;
            }
        }
        if (started || lines.isEmpty() || paragraph.isEmpty())
            lines << line;
    }
    return lines;
}

// Draws text into a rectangle from its top, clipped to it; '&' is shown as it is.
void DrawTextIn(QPainter &c, const QRect &r, const QString &text, Qt::Alignment align, TWrap wrap) {
    if (r.width() <= 0 || r.height() <= 0)
        return;
    const QFontMetrics fm(c.font());
    const QStringList lines = LayoutLines(text, fm, r.width(), wrap);
    c.save();
    c.setClipRect(r, Qt::IntersectClip);
    int y = r.y();
    const int lineHeight = fm.height();
    for (const QString &line : lines) {
        if (y >= RectBottom(r))
            break;
        c.drawText(QRect(r.x(), y, r.width(), lineHeight),
                   int(align | Qt::AlignTop | Qt::TextSingleLine), line);
        y += lineHeight;
    }
    c.restore();
}

int PointSize(const QFont &f) {
    if (f.pointSizeF() > 0)
        return Nearest(f.pointSizeF());
    return f.pixelSize() > 0 ? f.pixelSize() : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------
// TPtListItem

TPtListItem::TPtListItem(TPtListItems *aOwner) : FOwner(aOwner) {}

TPtListItem::~TPtListItem() = default;

TPtListview *TPtListItem::ListView() const {
    return FOwner ? FOwner->ListView() : nullptr;
}

void TPtListItem::Delete() {
    TPtListItem *self = this;
    if (FOwner)
        FOwner->Delete(self);
}

void TPtListItem::Assign(const TPtListItem &aSource) {
    FFileName = aSource.FFileName;
    FCaption = aSource.FCaption;
    FChecked = aSource.FChecked;
}

void TPtListItem::ReloadBitmap() {
    FLoaded = false;
    // A thumbnail being made for this item right now comes from the picture as it was:
    // it is shown when it comes, but the item is queued again for the new one.
    if (TPtListview *lv = ListView(); lv && lv->FThumbLoader)
        lv->FThumbLoader->ItemOutdated(this);
}

void TPtListItem::SetFileName(const QString &v) {
    FFileName = v;
    if (FCaption.isEmpty())
        FCaption = QFileInfo(v).fileName();
}

void TPtListItem::SetCaption(const QString &v) {
    FCaption = v;
    if (TPtListview *lv = ListView())
        lv->update();
}

void TPtListItem::SetSelected(bool v) {
    TPtListview *lv = ListView();
    if (!lv) {
        FSelected = v;
        return;
    }
    if (lv->FSelected)
        lv->FSelected->FSelected = false;
    lv->FSelected = v ? this : nullptr;
    FSelected = v;
    const QString key = Key();
    const qsizetype at = lv->FMultiSelectedItems.indexOf(key);
    if (v && at < 0)
        lv->FMultiSelectedItems.append(key);
    else if (!v && at >= 0)
        lv->FMultiSelectedItems.removeAt(at);
}

void TPtListItem::SetMoveSelected(bool v) {
    if (v == FMoveSelected)
        return;
    TPtListview *lv = ListView();
    if (lv && lv->FMoveSelectedItem)
        lv->FMoveSelectedItem->FMoveSelected = false;
    if (lv)
        lv->FMoveSelectedItem = this;
    FMoveSelected = v;
    if (lv)
        lv->update();
}

bool TPtListItem::LooksSelected() const {
    const TPtListview *lv = ListView();
    if (FSelected)
        return true;
    const QString key = Key();
    if (lv->FMultiSelected && lv->FMultiSelectedItems.contains(key))
        return true;
    return lv->FDrawSelectionRect && lv->FTempItems.contains(key);
}

void TPtListItem::Paint(QPainter &aCanvas, const QRect &aRect) {
    TPtListview *lv = ListView();
    FRect = aRect;
    bool defaultDraw = true;
    if (lv->OnBeforeItemPaint)
        lv->OnBeforeItemPaint(lv, this, &aCanvas, defaultDraw);

    const QSize bitmapSize = FHasBitmap ? FBitmap.size() : QSize(0, 0);
    const bool imageView = lv->FDispose == DImageView;
    QRect P;
    if (imageView) {
        P = FitRect(bitmapSize, aRect);
    } else {
        P = FitRect(bitmapSize,
                    RectLTRB(aRect.x(), aRect.y(), aRect.x() + lv->ItemWidth(), RectBottom(aRect)))
                .translated(10, 0);
    }
    FPictureRect = P;

    if (defaultDraw) {
        const bool selected = LooksSelected();
        if (selected) {
            const QRect S = imageView ? P : aRect;
            aCanvas.fillRect(Grown(S, 5), QColor(0xB0, 0xD4, 0xEC));
            aCanvas.fillRect(Grown(S, 4), QColor(0x74, 0xAE, 0xD4));
            aCanvas.fillRect(Grown(S, 3), QColor(0x74, 0xAE, 0xD4));
            aCanvas.fillRect(Grown(S, 2), QColor(0x8E, 0xBA, 0xE1));
            aCanvas.fillRect(Grown(S, 1), QColor(0x9F, 0xCB, 0xE6));
        } else {
            const int l = P.x(), t = P.y(), r = RectRight(P), b = RectBottom(P);
            // Around an empty picture the inner steps turn inside out and fill nothing.
            Fill(aCanvas, l, t, r + 5, b + 5, QColor(0xDD, 0xDD, 0xDD));
            Fill(aCanvas, l + 1, t + 1, r + 4, b + 4, QColor(0xCC, 0xCC, 0xCC));
            Fill(aCanvas, l + 2, t + 2, r + 3, b + 3, QColor(0xBB, 0xBB, 0xBB));
            Fill(aCanvas, l + 3, t + 3, r + 2, b + 2, QColor(0xAA, 0xAA, 0xAA));
            Fill(aCanvas, l + 4, t + 4, r + 1, b + 1, QColor(0x99, 0x99, 0x99));
        }

        if (lv->FFocusedItem == this && lv->hasFocus() && imageView)
            FrameRect(aCanvas, Grown(P, 5), QColor(0x80, 0x80, 0x80));

        if (FLoaded)
            aCanvas.drawImage(P.topLeft(), FBitmap);
        else if (FHasBitmap && !FBitmap.isNull() && P.width() > 0 && P.height() > 0)
            aCanvas.drawImage(P, FBitmap);

        if (lv->FCheckBox) {
            QStyleOptionButton option;
            option.initFrom(lv);
            option.rect = RectLTRB(P.x(), RectBottom(P) - 13, P.x() + 13, RectBottom(P));
            option.state =
                QStyle::State_Enabled | (FChecked ? QStyle::State_On : QStyle::State_Off);
            lv->style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, &aCanvas, lv);
        }

        if (FMoveSelected && FDrawButton && !lv->FItemButtonPicture.isNull()) {
            const int w = lv->FItemButtonPicture.width();
            aCanvas.drawImage(QPoint(RectRight(P) - w, P.y()), lv->FItemButtonPicture);
        }

        if (lv->FShowCaption) {
            aCanvas.save();
            aCanvas.setBackgroundMode(Qt::TransparentMode);
            QFont font = lv->FFont;
            if (imageView) {
                FTextRect = RectLTRB(aRect.x(), RectBottom(aRect) + 4, RectRight(aRect),
                                     RectBottom(aRect) + PointSize(font) + 100);
                font.setBold(selected);
                aCanvas.setFont(font);
                aCanvas.setPen(lv->FFontColor);
                DrawTextIn(aCanvas, FTextRect, FCaption, Qt::AlignHCenter,
                           selected ? TWrap::Words : TWrap::None);
            } else {
                const int x = FRect.x() + lv->ItemWidth() + lv->FItemSpaceWidth;
                if (P.y() < aRect.y() + 10)
                    FTextRect = RectLTRB(x, P.y(), RectRight(aRect), RectBottom(P));
                else
                    FTextRect =
                        RectLTRB(x, aRect.y() + 12, RectRight(aRect), RectBottom(aRect) - 12);
                font.setBold(false);
                aCanvas.setFont(font);
                aCanvas.setPen(selected ? QColor(0x22, 0x22, 0x22) : lv->FFontColor);
                QString text = FCaption;
                if (FDisplayDescription)
                    text += QStringLiteral("\r\n") + FDescription;
                if (lv->FDisplayExtension)
                    text += QStringLiteral("\r\n") + FExtension;
                DrawTextIn(aCanvas, FTextRect, text, Qt::AlignLeft, TWrap::WordsEllipsis);
                // The caption lines are struck a second time, which makes them darker.
                DrawTextIn(aCanvas, FTextRect, FCaption, Qt::AlignLeft, TWrap::WordsEllipsis);
            }
            aCanvas.restore();
        }
    }

    if (lv->OnAfterItemPaint)
        lv->OnAfterItemPaint(lv, this, &aCanvas);
}

// ---------------------------------------------------------------------------------------
// TPtListItems

TPtListItems::TPtListItems(TPtListview *aListView) : FListView(aListView) {}

TPtListItems::~TPtListItems() {
    Clear();
}

TPtListItem *TPtListItems::AddItem(TPtListItem *aItem, int aIndex) {
    if (!aItem)
        aItem = new TPtListItem(this);
    aItem->FOwner = this;
    if (aIndex < 0 || aIndex > Count())
        aIndex = Count();
    aItem->FItemIndex = aIndex;
    FList.insert(aIndex, aItem);
    if (!FListView->FFocusedItem)
        FListView->FFocusedItem = aItem;
    return aItem;
}

void TPtListItems::Delete(TPtListItem *&aItem) {
    const int at = IndexOf(aItem);
    if (at < 0)
        return;
    TPtListItem *item = aItem;
    item->SetSelected(false);
    FList.removeAt(at);
    if (FListView->FFocusedItem == item)
        FListView->FFocusedItem = nullptr;
    if (FListView->FMoveSelectedItem == item)
        FListView->FMoveSelectedItem = nullptr;
    // Its queued tasks and a thumbnail being made for it go with it.
    if (FListView->FThumbLoader)
        FListView->FThumbLoader->ItemGone(item);
    aItem = nullptr;
    delete item;
}

int TPtListItems::IndexOf(const TPtListItem *aItem) const {
    if (!aItem)
        return -1;
    return int(FList.indexOf(const_cast<TPtListItem *>(aItem)));
}

TPtListItem *TPtListItems::GetItem(int i) const {
    return (i >= 0 && i < FList.size()) ? FList.at(i) : nullptr;
}

int TPtListItems::IndexFromFileName(const QString &aFileName) const {
    for (int i = 0; i < FList.size(); ++i) {
        if (FList.at(i)->FFileName.compare(aFileName, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

void TPtListItems::ResetBmpFlag() {
    for (TPtListItem *item : std::as_const(FList))
        item->FLoaded = false;
}

void TPtListItems::Clear() {
    // No waiting: a thumbnail being made for one of these items is dropped when it
    // comes back, because each item takes its pending hand-over with it.
    if (FListView->FThumbLoader)
        FListView->FThumbLoader->ClearTask(-1);
    for (int i = Count() - 1; i >= 0; --i) {
        TPtListItem *item = FList.at(i);
        Delete(item);
    }
    FListView->FFocusedItem = nullptr;
    FListView->FSelected = nullptr;
    FListView->FMultiSelectedItems.clear();
}

// ---------------------------------------------------------------------------------------
// TPtSection

TPtSection::TPtSection(TPtSections *aOwner)
    : FOwner(aOwner), FCaption(QStringLiteral("PT Listview")), FFontColor(kFontColor),
      FTabColor(0xDD, 0xDD, 0xDD), FContentColor(0xE6, 0xE6, 0xE6) {
    FFont = QFont(QStringLiteral("Arial"));
    FFont.setPointSize(10);
    FFont.setBold(true);
}

TPtListview *TPtSection::ListView() const {
    return FOwner ? FOwner->ListView() : nullptr;
}

void TPtSection::Add(qint32 aValue) {
    FItems.append(aValue);
    if (TPtListItem *item = ListView()->Items().GetItem(aValue))
        item->FSectionIndex = FIndex;
    CalcGrid();
}

void TPtSection::Remove(int aIndex) {
    if (aIndex >= 0 && aIndex < FItems.size())
        FItems.removeAt(aIndex);
}

void TPtSection::CalcGrid() {
    const TPtListview *lv = ListView();
    if (lv->FDispose == DImageView) {
        const int pitch = lv->ItemWidth() + lv->FItemSpaceWidth;
        FColCount = pitch > 0 ? lv->width() / pitch : 0;
    } else {
        FColCount = 1;
    }
    const int n = ItemCount();
    if (FColCount <= 0) {
        FColCount = 1;
        FRowCount = n;
    } else {
        FRowCount = n / FColCount + (n % FColCount ? 1 : 0);
    }
}

int TPtSection::GetHeight() const {
    const TPtListview *lv = ListView();
    return FTabHeight + (lv->ItemHeight() + lv->FItemSpaceHeight) * FRowCount +
           lv->FItemSpaceHeight;
}

int TPtSection::GetWidth() const {
    return ListView()->width();
}

QRect TPtSection::GetBoundsRect() const {
    return QRect(0, FOffsetY, GetWidth(), GetHeight());
}

QRect TPtSection::GetTabRect() const {
    return QRect(0, FOffsetY, GetWidth(), FTabHeight);
}

QRect TPtSection::GetContentRect() const {
    return RectLTRB(0, FOffsetY + FTabHeight, GetWidth(), FOffsetY + GetHeight());
}

QRect TPtSection::GetCellRect(int i) const {
    const TPtListview *lv = ListView();
    const int cols = std::max(FColCount, 1);
    const int col = i % cols, row = i / cols;
    const int IW = lv->ItemWidth(), SW = lv->FItemSpaceWidth, SH = lv->FItemSpaceHeight;
    const int t = FOffsetY, tab = FTabHeight;
    if (lv->FDispose == DListView) {
        const int left = SW / 2;
        const int top = t + tab + 5 + (IW + SH) * row;
        return RectLTRB(left, top, lv->width() + left - tab, top + lv->ItemHeight());
    }
    const int top = t + tab + SW + (IW + SH) * row;
    int left;
    if (lv->FAlignMode == AMNormal) {
        left = (IW + SW) * col + SW;
    } else {
        const int pitch = Nearest(double(lv->width()) / cols);
        // A list narrower than one item keeps the picture at its left edge.
        const int gap = std::max(pitch - IW, 0);
        left = pitch * col + gap / 2;
    }
    return RectLTRB(left, top, left + IW, top + IW);
}

void TPtSection::Paint(QPainter &aCanvas) {
    TPtListview *lv = ListView();
    const QRect client = lv->rect();
    if (!RectsOverlapVert(GetBoundsRect(), client))
        return;

    bool defaultDraw = true;
    if (lv->OnBeforeSectionPaint)
        lv->OnBeforeSectionPaint(lv, this, &aCanvas, defaultDraw);
    if (defaultDraw && lv->FDrawSectionBar) {
        aCanvas.fillRect(GetTabRect(), FTabColor);
        QString text = FCaption;
        if (FDisplayCount)
            text += QStringLiteral(" (") + QString::number(ItemCount()) + u')';
        aCanvas.save();
        aCanvas.setFont(FFont);
        aCanvas.setPen(FFontColor);
        aCanvas.setBackgroundMode(Qt::OpaqueMode);
        aCanvas.setBackground(FTabColor);
        const QFontMetrics fm(FFont);
        aCanvas.drawText(QPoint(2, FOffsetY + 2 + fm.ascent()), text);
        aCanvas.restore();
        aCanvas.fillRect(GetContentRect(), FContentColor);
    }
    if (lv->OnAfterSectionPaint)
        lv->OnAfterSectionPaint(lv, this, &aCanvas);

    TThumbLoader *loader = lv->FThumbLoader.get();
    loader->ClearTask(FIndex);

    const bool band = lv->FDrawSelectionRect;
    const QRect bandRect = band ? lv->OrderedSelectionRect() : QRect();
    const int clientBottom = RectBottom(client);
    for (int i = 0; i < FItems.size(); ++i) {
        TPtListItem *item = lv->Items().GetItem(ItemAt(i));
        if (!item)
            break;
        const QRect cell = GetCellRect(i);
        // Rows only go down: once a cell starts below the client area, so do all the
        // rest, and without a rubber band nothing else is to be done for them.
        if (!band && cell.y() >= clientBottom)
            break;
        if (RectCornerIn(cell, client)) {
            if (!item->FHasBitmap) {
                item->FHasBitmap = true;
                item->FBitmap = QImage();
            }
            if (!item->FLoaded)
                loader->AddTask(FIndex, item->FFileName, item);
            item->Paint(aCanvas, cell);
        }
        if (band) {
            const QString key = item->Key();
            const qsizetype at = lv->FTempItems.indexOf(key);
            if (RectCornerIn(cell, bandRect)) {
                if (at < 0) {
                    lv->FTempItems.append(key);
                    lv->DoLog(QStringLiteral("Selection Rect Add : [") + key + u']');
                }
            } else if (at >= 0) {
                lv->FTempItems.removeAt(at);
                lv->DoLog(QStringLiteral("Selection Rect Del : [") + QString::number(at) + u']');
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// TPtSections

TPtSections::TPtSections(TPtListview *aListView) : FListView(aListView) {}

TPtSections::~TPtSections() {
    Clear();
}

TPtSection *TPtSections::AddItem(TPtSection *aItem, int aIndex) {
    if (!aItem)
        aItem = new TPtSection(this);
    aItem->FOwner = this;
    if (aIndex < 0 || aIndex > Count())
        aIndex = Count();
    FList.insert(aIndex, aItem);
    SetOffsetY(FOffsetY);
    aItem->FIndex = aIndex;
    return aItem;
}

void TPtSections::Clear() {
    qDeleteAll(FList);
    FList.clear();
}

TPtSection *TPtSections::GetSection(int i) const {
    return (i >= 0 && i < FList.size()) ? FList.at(i) : nullptr;
}

void TPtSections::SetOffsetY(qint32 v) {
    if (v > 0)
        v = 0;
    FOffsetY = v;
    int y = v;
    for (TPtSection *section : std::as_const(FList)) {
        section->FOffsetY = y;
        y += section->GetHeight();
    }
}

// ---------------------------------------------------------------------------------------
// TPtListview

TPtListview::TPtListview(QWidget *parent)
    : QWidget(parent), FThumbLoader(std::make_unique<TThumbLoader>()),
      FItems(std::make_unique<TPtListItems>(this)), FSections(std::make_unique<TPtSections>(this)),
      FFontColor(kFontColor) {
    FFont = QFont(QStringLiteral("Arial"));
    FFont.setPointSize(8);
    FThumbLoader->SetThumbSize(ItemWidth(), ItemHeight());
    FThumbLoader->OnThumbLoaded = [this](TThumbLoader *aSender, TPtListItem *aItem) {
        ThumbLoaded(aSender, aItem);
    };
    FThumbLoader->OnBeforeItemThumbLoad = [this](const QString &aFilename, QImage &aThumbBmp,
                                                 bool &bDefaultLoad) {
        DoBeforeItemThumbLoad(aFilename, aThumbBmp, bDefaultLoad);
    };
    FThumbLoader->Start();
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    // Everything is painted here, background included.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

TPtListview::~TPtListview() {
    // The loader goes first: after this nothing runs on its thread any more (it calls
    // back into this list for the pages' hook), and no hand-over can arrive.
    FThumbLoader->Terminate();
    FItems->Clear();
    FSections->Clear();
    if (FScrollBar)
        QObject::disconnect(FScrollBar, &QScrollBar::valueChanged, this, nullptr);
}

void TPtListview::SetDispose(TPtDispose v) {
    FDispose = v;
    ResizeSteps();
    update();
}

void TPtListview::SetItemWidth(int v) {
    v = std::clamp(v, 60, 300);
    FItemWidth.store(v, std::memory_order_relaxed);
    FItemHeight.store(v, std::memory_order_relaxed);
    FThumbLoader->SetThumbSize(v, v);
    FItems->ResetBmpFlag();
    for (int i = 0; i < FSections->Count(); ++i)
        FSections->GetSection(i)->CalcGrid();
    UpdateScrollBar();
    ApplyLastScrollPos();
    update();
}

void TPtListview::SetCheckBox(bool v) {
    FCheckBox = v;
    update();
}

void TPtListview::SetScrollBar(QScrollBar *aScrollBar) {
    if (FScrollBar)
        QObject::disconnect(FScrollBar, &QScrollBar::valueChanged, this, nullptr);
    FScrollBar = aScrollBar;
    if (!aScrollBar)
        return;
    // The bar drives this list only: whatever else was listening for its changes goes.
    QObject::disconnect(aScrollBar, &QScrollBar::valueChanged, nullptr, nullptr);
    connect(aScrollBar, &QScrollBar::valueChanged, this, [this] { ScrollBarChange(); });
    UpdateScrollBar();
}

int TPtListview::ScrollPosition() const {
    return FScrollBar ? FScrollBar->value() : 0;
}

void TPtListview::SetScrollPosition(int aPosition) {
    // The bar's own range is already min .. max - page + 1, so it clamps as the list
    // expects and reports a change only when the value really changes.
    if (FScrollBar)
        FScrollBar->setValue(aPosition);
}

void TPtListview::Sort() {
    if (FItems->Count() <= 0)
        return;
    if (OnCustomSortEvent)
        OnCustomSortEvent(this);
    UpdateScrollBar();
    // Items deleted or cleared while the list was scrolled down: the rest must not stay
    // moved up out of sight (an emptied list would look blank with nothing to scroll).
    const int last = MaxScrollOffset();
    if (-FSections->OffsetY() > last) {
        const int total = GetContentHeight();
        FSections->SetOffsetY(-last);
        FLastScrollPos = total > 0 ? double(last) / total : 0;
        if (FScrollBar) {
            const QSignalBlocker blocker(FScrollBar);
            FScrollBar->setValue(last);
        }
        if (OnOffsetChanged)
            OnOffsetChanged(this, FSections->OffsetY());
    }
    update();
}

int TPtListview::GetContentHeight() const {
    int total = 0;
    for (int i = 0; i < FSections->Count(); ++i)
        total += FSections->GetSection(i)->GetHeight();
    return total;
}

void TPtListview::UpdateScrollBar() {
    if (!FScrollBar)
        return;
    const int total = GetContentHeight();
    const int page = height();
    FScrollBar->setVisible(total > page);
    FScrollMax = total;
    FScrollPage = page;
    const QSignalBlocker blocker(FScrollBar);
    const int last = page == 0 ? total : total - page + 1;
    FScrollBar->setRange(0, std::max(last, 0));
    FScrollBar->setSingleStep(ItemWidth() + FItemSpaceHeight);
    // Qt keeps one page step for paging and for the thumb; paging is what users feel.
    FScrollBar->setPageStep(std::max(height() - ItemWidth() - FItemSpaceHeight, 1));
    FScrollBar->setValue(Nearest(total * FLastScrollPos));
}

void TPtListview::ResizeSteps() {
    for (int i = 0; i < FSections->Count(); ++i)
        FSections->GetSection(i)->CalcGrid();
    UpdateScrollBar();
    ApplyLastScrollPos();
}

int TPtListview::MaxScrollOffset() const {
    const int total = GetContentHeight();
    const int page = height();
    return std::max(page == 0 ? total : total - page + 1, 0);
}

void TPtListview::ApplyLastScrollPos() {
    // The kept fraction, but never beyond the last position the scroll bar can reach:
    // content that has shrunk (or a list that has grown) would otherwise stay moved up,
    // its top out of sight, with no scrolling left to bring it back.
    FSections->SetOffsetY(
        -std::min(Nearest(GetContentHeight() * FLastScrollPos), MaxScrollOffset()));
}

void TPtListview::ScrollBarChange() {
    if (!FScrollBar || FScrollMax == 0)
        return;
    const int position = FScrollBar->value();
    FLastScrollPos = double(position) / FScrollMax;
    FSections->SetOffsetY(-position);
    if (OnOffsetChanged)
        OnOffsetChanged(this, FSections->OffsetY());
    update();
}

TPtListItem *TPtListview::GetItemByPos(int aX, int aY, TItemSectionStruct &aIS) const {
    const QPoint p(aX, aY - FSections->OffsetY());
    const int cw = width();
    int a = 0;
    for (int k = 0; k < FSections->Count(); ++k) {
        const TPtSection *section = FSections->GetSection(k);
        const int h = section->GetHeight();
        if (!PointInRect(p, QRect(0, a, cw, h))) {
            a += h;
            continue;
        }
        aIS.SectionIndex = k;
        if (section->ItemCount() == 0)
            continue;
        const int y = p.y() - a;
        const int tab = section->FTabHeight;
        const int rowPitch = ItemHeight() + FItemSpaceHeight;
        if (rowPitch == 0)
            return nullptr;
        int col = 0, row = 0;
        if (FDispose == DListView) {
            row = (y - tab + 5) / rowPitch;
        } else {
            int colPitch;
            if (FAlignMode == AMNormal)
                colPitch = ItemWidth() + FItemSpaceWidth;
            else
                colPitch = Nearest(double(cw) / std::max(section->FColCount, 1));
            if (colPitch == 0)
                return nullptr;
            col = p.x() / colPitch;
            row = (y - tab) / rowPitch;
        }
        aIS.ItemIndex = section->FColCount * row + col;
        TPtListItem *candidate = FItems->GetItem(section->ItemAt(aIS.ItemIndex));
        if (!candidate)
            return nullptr;
        const QRect &hit = FDispose == DImageView ? candidate->FPictureRect : candidate->FRect;
        return PointInRect(QPoint(aX, aY), hit) ? candidate : nullptr;
    }
    return nullptr;
}

void TPtListview::SelectAll() {
    ClearSelection();
    for (int i = 0; i < FItems->Count(); ++i)
        FMultiSelectedItems.append(QString::number(i));
    update();
}

void TPtListview::ClearSelection() {
    FMultiSelectedItems.clear();
    if (FSelected)
        FSelected->SetSelected(false);
}

void TPtListview::ThumbLoaded(TThumbLoader *aSender, TPtListItem *aItem) {
    if (!aSender || !aItem)
        return;
    aItem->FBitmap = aSender->ThumbBmp();
    aItem->FHasBitmap = true;
    // A thumbnail made for an item size that has changed since, or from a picture the
    // page has replaced since, is shown but queued again.
    aItem->FLoaded = aSender->ThumbBmpCurrent();
    update();
}

void TPtListview::DoBeforeItemThumbLoad(const QString &aFilename, QImage &aThumbBmp,
                                        bool &bDefaultLoad) {
    if (OnBeforeItemThumbLoad)
        OnBeforeItemThumbLoad(aFilename, aThumbBmp, bDefaultLoad);
}

void TPtListview::DoLog(const QString &aText) {
    if (LogEvent)
        LogEvent(aText);
}

void TPtListview::AddFileListFromPath(const QString &aFilePath, const QStringList *aExceptList,
                                      bool aIncludeSubDir, Qt::CaseSensitivity aExceptCase) {
    QStringList paths;
    const std::function<void(const QString &)> collect = [&](const QString &folder) {
        QString dir = folder;
        if (!dir.endsWith(u'/'))
            dir += u'/';
        const QDir d(dir);
        const QStringList files =
            d.entryList(QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
        for (const QString &f : files)
            paths << dir + f;
        if (!aIncludeSubDir)
            return;
        // Linked folders are not followed: a link back up would never end.
        const QStringList subdirs =
            d.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks,
                        QDir::Name | QDir::IgnoreCase);
        for (const QString &s : subdirs)
            collect(dir + s);
    };
    collect(aFilePath);
    for (const QString &path : std::as_const(paths)) {
        if (aExceptList && aExceptList->contains(path, aExceptCase))
            continue;
        FItems->Add()->SetFileName(path);
    }
}

QRect TPtListview::OrderedSelectionRect() const {
    return RectLTRB(std::min(FSelStart.x(), FSelEnd.x()), std::min(FSelStart.y(), FSelEnd.y()),
                    std::max(FSelStart.x(), FSelEnd.x()), std::max(FSelStart.y(), FSelEnd.y()));
}

void TPtListview::DrawSelectionBand(QPainter &aCanvas) {
    const QRect band = OrderedSelectionRect();
    aCanvas.fillRect(band, QColor(0x00, 0x66, 0xFF, 64));
    FrameRect(aCanvas, band, QColor(0x00, 0x66, 0xFF));
}

void TPtListview::Paint(QPainter &aCanvas) {
    aCanvas.fillRect(rect(), palette().color(backgroundRole()));
    for (int i = 0; i < FSections->Count(); ++i)
        FSections->GetSection(i)->Paint(aCanvas);
    if (FDrawSelectionRect)
        DrawSelectionBand(aCanvas);
}

void TPtListview::setVisible(bool visible) {
    QWidget::setVisible(visible);
    // The bar goes with the list; shown again, it appears only when there is something
    // to scroll (Qt also shows a list when its window first shows, and a bar with nothing
    // to scroll would stand there until the next size change).
    if (FScrollBar)
        FScrollBar->setVisible(visible && FScrollMax > FScrollPage);
}

void TPtListview::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    Paint(painter);
}

void TPtListview::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    ResizeSteps();
}

void TPtListview::MouseDown(Qt::MouseButton aButton, Qt::KeyboardModifiers aShift, int X, int Y) {
    setFocus(Qt::MouseFocusReason);
    FMouseButton = aButton;
    FTempItems.clear();
    FMousePoint = QPoint(X, Y);
    FMouseDownFlag = true;
    FMouseDownBlank = false;
    const bool shift = aShift & Qt::ShiftModifier;
    const bool ctrl = aShift & Qt::ControlModifier;

    TPtListItem *item = GetItemByPos(X, Y, FItemSection);
    if (item) {
        if (!FFocusedItem)
            FFocusedItem = FItems->GetItem(0);
        // The anchor of a Shift range when nothing was selected before.
        if (!FSelected)
            FSelected = FItems->GetItem(0);

        // Bring the item into view, 10 pixels inside.
        if (item->FRect.y() < 0) {
            FSections->SetOffsetY(FSections->OffsetY() - item->FRect.y() + 10);
            if (FScrollBar)
                SetScrollPosition(-FSections->OffsetY());
        }
        if (height() < RectBottom(item->FRect)) {
            FSections->SetOffsetY(FSections->OffsetY() + height() - RectBottom(item->FRect) - 10);
            if (FScrollBar)
                SetScrollPosition(-FSections->OffsetY());
        }

        const QString key = item->Key();
        if (!FMultiSelected) {
            item->SetSelected(true);
        } else if (shift) {
            DoLog(QStringLiteral("Shift key pressed"));
            const TPtSection *anchorSection =
                FSelected ? FSections->GetSection(FSelected->FSectionIndex) : nullptr;
            const TPtSection *section = FSections->GetSection(item->FSectionIndex);
            const int a = anchorSection ? anchorSection->IndexOf(FSelected->FItemIndex) : -1;
            const int b = section ? section->IndexOf(item->FItemIndex) : -1;
            if (section) {
                for (int pos = std::min(a, b); pos <= std::max(a, b); ++pos) {
                    const qint32 entry = section->ItemAt(pos);
                    if (entry >= 0)
                        FTempItems.append(QString::number(entry));
                }
            }
            if (ctrl) {
                DoLog(QStringLiteral("Shift and ctrl key both pressed"));
                for (const QString &k : std::as_const(FTempItems)) {
                    if (!FMultiSelectedItems.contains(k))
                        FMultiSelectedItems.append(k);
                }
            } else {
                FMultiSelectedItems = FTempItems;
            }
        } else if (ctrl) {
            DoLog(QStringLiteral("Control key pressed"));
            item->SetSelected(!FMultiSelectedItems.contains(key));
        } else {
            DoLog(QStringLiteral("No key pressed"));
            if (!FMultiSelectedItems.contains(key)) {
                if (FSelected)
                    FSelected->SetSelected(false);
                ClearSelection();
            }
            item->SetSelected(true);
        }
        FFocusedItem = item;
    } else {
        FMouseDownBlank = true;
        if (FMultiSelected && !ctrl)
            ClearSelection();
    }
    FSelStart = QPoint(X, Y);
    update();
    if (OnMouseDown)
        OnMouseDown(this, aButton, aShift, X, Y);
}

void TPtListview::MouseUp(Qt::MouseButton aButton, Qt::KeyboardModifiers aShift, int X, int Y) {
    if (!FDisableFocus)
        setFocus(Qt::MouseFocusReason);
    FMousePoint = QPoint(X, Y);
    TPtListItem *item = GetItemByPos(X, Y, FItemSection);
    for (const QString &k : std::as_const(FTempItems)) {
        if (!FMultiSelectedItems.contains(k))
            FMultiSelectedItems.append(k);
    }
    QPointer<TPtListview> self(this);
    if (item) {
        const QRect P = item->FPictureRect;
        const QPoint pt(X, Y);
        if (FCheckBox &&
            PointInRect(pt, RectLTRB(P.x(), RectBottom(P) - 13, P.x() + 13, RectBottom(P))))
            item->FChecked = !item->FChecked;
        if (!FItemButtonPicture.isNull()) {
            const int w = FItemButtonPicture.width(), h = FItemButtonPicture.height();
            const QRect button = RectLTRB(RectRight(P) - w, P.y(), RectRight(P), P.y() + h);
            // The handler may delete the item (the pages' delete mark does).
            if (item->FDrawButton && PointInRect(pt, button) && OnItemButtonClick)
                OnItemButtonClick(item);
            if (!self)
                return;
        }
    }
    FMouseDownFlag = false;
    FDrawSelectionRect = false;
    update();
    if (OnMouseUp)
        OnMouseUp(this, aButton, aShift, X, Y);
}

void TPtListview::mousePressEvent(QMouseEvent *event) {
    const QPoint p = event->position().toPoint();
    MouseDown(event->button(), event->modifiers(), p.x(), p.y());
    event->accept();
}

void TPtListview::mouseMoveEvent(QMouseEvent *event) {
    const QPoint p = event->position().toPoint();
    const int X = p.x(), Y = p.y();
    if (p == FMousePoint)
        return;
    if (!FDisableFocus)
        setFocus(Qt::MouseFocusReason);
    FMousePoint = p;
    if (FMouseButton == Qt::RightButton)
        return;
    QPointer<TPtListview> self(this);
    if (FMouseDownFlag) {
        if (FMouseDownBlank) {
            FSelEnd = p;
            FDrawSelectionRect = true;
            // Painted at once: the band's membership is worked out while painting and
            // must be current when the button is released.
            repaint();
        } else {
            // The press ends here, as if released at this point; then the drag runs.
            if (FMouseButton == Qt::LeftButton && rect().contains(p) && OnClick)
                OnClick(this);
            if (!self)
                return;
            MouseUp(FMouseButton, event->modifiers(), X, Y);
            if (!self)
                return;
            StartListDrag();
            if (!self)
                return;
            update();
        }
    } else {
        if (TPtListItem *item = GetItemByPos(X, Y, FItemSection))
            item->SetMoveSelected(true);
        else if (FMoveSelectedItem)
            FMoveSelectedItem->SetMoveSelected(false);
    }
    if (OnMouseMove)
        OnMouseMove(this, event->modifiers(), X, Y);
}

void TPtListview::StartListDrag() {
    bool defaultDrag = true;
    if (OnStartDrag)
        OnStartDrag(this, defaultDrag);
    if (!defaultDrag)
        return;
    // Nothing in the program accepts it; the drag only shows that items can be dragged.
    auto *drag = new QDrag(this);
    auto *mime = new QMimeData;
    mime->setData(QStringLiteral("application/x-lumafinch-listview"), QByteArray());
    drag->setMimeData(mime);
    drag->exec(Qt::MoveAction);
}

void TPtListview::mouseReleaseEvent(QMouseEvent *event) {
    const QPoint p = event->position().toPoint();
    QPointer<TPtListview> self(this);
    // The click comes before the release handling, so it sees the press's selection.
    if (event->button() == Qt::LeftButton && FMouseDownFlag && rect().contains(p) && OnClick)
        OnClick(this);
    if (!self)
        return;
    MouseUp(event->button(), event->modifiers(), p.x(), p.y());
    event->accept();
}

void TPtListview::wheelEvent(QWheelEvent *event) {
    const QPoint delta = event->angleDelta();
    const QPoint p = event->position().toPoint();
    event->accept();
    if (OnMouseWheel)
        OnMouseWheel(this, event->modifiers(), delta.y(), p.x(), p.y());
    if (!FScrollBar)
        return;
    // Sideways scrolling comes as a wheel event without vertical delta, and touchpads
    // mark the start and end of a gesture with events that carry none at all: neither is
    // a turn of the wheel toward the user.
    if (delta.y() == 0 && (delta.x() != 0 || event->phase() != Qt::NoScrollPhase))
        return;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    if (delta.y() > 0) {
        if (ctrl)
            SetItemWidth(ItemWidth() + 1);
        else
            SetScrollPosition(ScrollPosition() - ItemWidth() / 3);
    } else {
        if (ctrl)
            SetItemWidth(ItemWidth() - 1);
        else
            SetScrollPosition(ScrollPosition() + ItemWidth() / 3);
    }
    update();
}

void TPtListview::keyPressEvent(QKeyEvent *event) {
    int key = event->key();
    if (OnKeyDown)
        OnKeyDown(this, key, event->modifiers());
    if (key == Qt::Key_A && (event->modifiers() & Qt::ControlModifier)) {
        SelectAll();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TPtListview::focusInEvent(QFocusEvent *event) {
    QWidget::focusInEvent(event);
    update();
}

void TPtListview::focusOutEvent(QFocusEvent *event) {
    QWidget::focusOutEvent(event);
    update();
}
