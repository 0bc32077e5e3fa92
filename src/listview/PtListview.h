#pragma once

// The owner-drawn thumbnail list used by every page: sections with a header band and a
// grid (or rows) of items, each with a thumbnail made in the background, selection,
// hover, an optional check box, an optional item button and a caption.

#include "listview/ThumbLoader.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QScrollBar>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class QPainter;

class TPtListview;
class TPtListItems;
class TPtSections;

enum TPtDispose { DImageView = 0, DListView = 1 };
enum TPtAlignMode { AMNormal = 0, AMStretch = 1 };

struct TItemSectionStruct {
    qint32 SectionIndex = 0;
    qint32 ItemIndex = 0;
};

// Rectangles here are (left, top, right, bottom) with right and bottom exclusive;
// QRect keeps them as x, y, width, height and these helpers read them back.
inline int RectRight(const QRect &r) {
    return r.x() + r.width();
}
inline int RectBottom(const QRect &r) {
    return r.y() + r.height();
}
inline QRect RectLTRB(int l, int t, int r, int b) {
    return QRect(l, t, r - l, b - t);
}
// A point is inside when left <= x < right and top <= y < bottom.
bool PointInRect(const QPoint &p, const QRect &r);
// True when any corner of `aCell` lies inside `aArea`.
bool RectCornerIn(const QRect &aCell, const QRect &aArea);
// True when the top or the bottom of either lies within the other's top .. bottom.
bool RectsOverlapVert(const QRect &a, const QRect &b);
// Rounds to the nearest integer, halves to even.
int Nearest(double x);

// ---------------------------------------------------------------------------------------

class TPtListItem {
public:
    explicit TPtListItem(TPtListItems *aOwner);
    ~TPtListItem();
    TPtListItem(const TPtListItem &) = delete;
    TPtListItem &operator=(const TPtListItem &) = delete;

    TPtListItems *Owner() const { return FOwner; }
    TPtListview *ListView() const;

    // Asks the owning collection to delete (and free) this item.
    void Delete();
    // Copies FileName, Caption and Checked only.
    void Assign(const TPtListItem &aSource);
    // Paints the item into the cell aRect.
    void Paint(QPainter &aCanvas, const QRect &aRect);
    // The next paint queues the thumbnail again; the old picture shows until it comes.
    void ReloadBitmap();

    const QString &FileName() const { return FFileName; }
    // Also sets Caption to the bare file name when Caption is empty; no repaint.
    void SetFileName(const QString &v);
    const QString &Caption() const { return FCaption; }
    void SetCaption(const QString &v); // repaints the list
    const QString &Description() const { return FDescription; }
    void SetDescription(const QString &v) { FDescription = v; }
    bool DisplayDescription() const { return FDisplayDescription; }
    void SetDisplayDescription(bool v) { FDisplayDescription = v; }
    const QString &Extension() const { return FExtension; }
    void SetExtension(const QString &v) { FExtension = v; }
    qint32 ExtensionInt() const { return FExtensionInt; }
    void SetExtensionInt(qint32 v) { FExtensionInt = v; }
    bool Checked() const { return FChecked; }
    void SetChecked(bool v) { FChecked = v; }
    bool DrawButton() const { return FDrawButton; }
    void SetDrawButton(bool v) { FDrawButton = v; }

    bool Selected() const { return FSelected; }
    void SetSelected(bool v);
    bool MoveSelected() const { return FMoveSelected; }
    void SetMoveSelected(bool v);

    // Position given when the item was added; never renumbered.
    qint32 ItemIndex() const { return FItemIndex; }
    // FIndex of the section the item was last added to.
    qint32 SectionIndex() const { return FSectionIndex; }
    void SetSectionIndex(qint32 v) { FSectionIndex = v; }

    // As last painted, in client coordinates.
    const QRect &Rect() const { return FRect; }
    const QRect &PictureRect() const { return FPictureRect; }
    const QRect &TextRect() const { return FTextRect; }

    // The thumbnail: none until the item is first painted on screen, then empty until the
    // loader hands a picture over.
    const QImage *Bitmap() const { return FHasBitmap ? &FBitmap : nullptr; }
    bool Loaded() const { return FLoaded; }

private:
    friend class TPtListItems;
    friend class TPtListview;
    friend class TPtSection;

    QString Key() const { return QString::number(FItemIndex); }
    bool LooksSelected() const;

    TPtListItems *FOwner;
    QString FFileName;
    QString FCaption;
    QString FDescription;
    bool FDisplayDescription = false;
    QString FExtension;
    qint32 FExtensionInt = 0;
    bool FChecked = false;
    QRect FRect;
    QRect FPictureRect;
    QRect FTextRect;
    bool FSelected = false;
    qint32 FItemIndex = -1;
    qint32 FSectionIndex = 0;
    QImage FBitmap;
    bool FHasBitmap = false;
    bool FLoaded = false;
    bool FMoveSelected = false;
    bool FDrawButton = false;
};

class TPtListItems {
public:
    explicit TPtListItems(TPtListview *aListView);
    ~TPtListItems();
    TPtListItems(const TPtListItems &) = delete;
    TPtListItems &operator=(const TPtListItems &) = delete;

    TPtListview *ListView() const { return FListView; }

    TPtListItem *Add() { return AddItem(nullptr, -1); }
    // Inserts aItem (a new item when none) at aIndex (the end when below 0); the item's
    // ItemIndex becomes that position. The collection owns the item from then on.
    TPtListItem *AddItem(TPtListItem *aItem, int aIndex);
    // Deletes and frees the item and clears the caller's reference; nothing when the item
    // is not in the collection.
    void Delete(TPtListItem *&aItem);
    void Delete(TPtListItem *&&aItem) {
        TPtListItem *item = aItem;
        Delete(item);
    }
    int Count() const { return int(FList.size()); }
    int IndexOf(const TPtListItem *aItem) const;
    TPtListItem *GetItem(int i) const;
    TPtListItem *operator[](int i) const { return GetItem(i); }
    int IndexFromFileName(const QString &aFileName) const;
    void ResetBmpFlag();
    // Drops the loader's tasks and frees every item; no waiting.
    void Clear();

private:
    TPtListview *FListView;
    QList<TPtListItem *> FList;
};

class TPtSection {
public:
    explicit TPtSection(TPtSections *aOwner);
    TPtSection(const TPtSection &) = delete;
    TPtSection &operator=(const TPtSection &) = delete;

    TPtSections *Owner() const { return FOwner; }
    TPtListview *ListView() const;

    // Appends the item position aValue (an existing item) and re-computes the grid.
    void Add(qint32 aValue);
    void Remove(int aIndex);
    void Clear() { FItems.clear(); }
    int IndexOf(qint32 aValue) const { return int(FItems.indexOf(aValue)); }
    qint32 ItemAt(int i) const { return (i >= 0 && i < FItems.size()) ? FItems.at(i) : -1; }
    int ItemCount() const { return int(FItems.size()); }
    const QList<qint32> &Items() const { return FItems; }

    void CalcGrid();
    int GetHeight() const;
    int GetWidth() const;
    QRect GetBoundsRect() const;
    QRect GetTabRect() const;
    QRect GetContentRect() const;
    // The cell of entry position i, from the list's layout and alignment.
    QRect GetCellRect(int i) const;
    void Paint(QPainter &aCanvas);

    qint32 Index() const { return FIndex; }
    const QString &Caption() const { return FCaption; }
    void SetCaption(const QString &v) { FCaption = v; }
    bool DisplayCount() const { return FDisplayCount; }
    void SetDisplayCount(bool v) { FDisplayCount = v; }
    qint32 TabHeight() const { return FTabHeight; }
    void SetTabHeight(qint32 v) { FTabHeight = v; }
    const QFont &Font() const { return FFont; }
    void SetFont(const QFont &v) { FFont = v; }
    const QColor &FontColor() const { return FFontColor; }
    void SetFontColor(const QColor &v) { FFontColor = v; }
    const QColor &TabColor() const { return FTabColor; }
    void SetTabColor(const QColor &v) { FTabColor = v; }
    const QColor &ContentColor() const { return FContentColor; }
    void SetContentColor(const QColor &v) { FContentColor = v; }
    qint32 RowCount() const { return FRowCount; }
    qint32 ColCount() const { return FColCount; }
    qint32 OffsetY() const { return FOffsetY; }

private:
    friend class TPtSections;
    friend class TPtListview;
    TPtSections *FOwner;
    qint32 FIndex = 0;
    QString FCaption;
    QList<qint32> FItems;
    qint32 FTabHeight = 20;
    QFont FFont;
    QColor FFontColor;
    QColor FTabColor;
    QColor FContentColor;
    qint32 FRowCount = 0;
    qint32 FColCount = 1;
    qint32 FOffsetY = 0;
    bool FDisplayCount = true;
};

class TPtSections {
public:
    explicit TPtSections(TPtListview *aListView);
    ~TPtSections();
    TPtSections(const TPtSections &) = delete;
    TPtSections &operator=(const TPtSections &) = delete;

    TPtListview *ListView() const { return FListView; }

    TPtSection *Add() { return AddItem(nullptr, -1); }
    TPtSection *AddItem(TPtSection *aItem, int aIndex);
    void Clear();
    int Count() const { return int(FList.size()); }
    TPtSection *GetSection(int i) const;
    TPtSection *operator[](int i) const { return GetSection(i); }

    // Scroll offset of the whole content, never above 0; writing it re-positions every
    // section one below the other from there.
    qint32 OffsetY() const { return FOffsetY; }
    void SetOffsetY(qint32 v);

private:
    TPtListview *FListView;
    QList<TPtSection *> FList;
    qint32 FOffsetY = 0;
};

// ---------------------------------------------------------------------------------------

class TPtListview : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int ItemWidth READ ItemWidth WRITE SetItemWidth)
    Q_PROPERTY(int ItemSpaceWidth READ ItemSpaceWidth WRITE SetItemSpaceWidth)
    Q_PROPERTY(int ItemSpaceHeight READ ItemSpaceHeight WRITE SetItemSpaceHeight)
    Q_PROPERTY(bool ShowCaption READ ShowCaption WRITE SetShowCaption)
    Q_PROPERTY(bool CheckBox READ CheckBox WRITE SetCheckBox)
    Q_PROPERTY(bool DisplayExtension READ DisplayExtension WRITE SetDisplayExtension)
    Q_PROPERTY(bool DrawSectionBar READ DrawSectionBar WRITE SetDrawSectionBar)
    Q_PROPERTY(bool MultiSelected READ MultiSelected WRITE SetMultiSelected)
    Q_PROPERTY(bool DisableFocus READ DisableFocus WRITE SetDisableFocus)
public:
    explicit TPtListview(QWidget *parent = nullptr);
    ~TPtListview() override;

    TPtListItems &Items() { return *FItems; }
    const TPtListItems &Items() const { return *FItems; }
    TPtSections &Sections() { return *FSections; }
    const TPtSections &Sections() const { return *FSections; }

    TPtDispose Dispose() const { return FDispose; }
    void SetDispose(TPtDispose v);
    TPtAlignMode AlignMode() const { return FAlignMode; }
    void SetAlignMode(TPtAlignMode v) { FAlignMode = v; }
    // Clamped to 60 .. 300; ItemHeight follows.
    int ItemWidth() const { return FItemWidth.load(std::memory_order_relaxed); }
    void SetItemWidth(int v);
    int ItemHeight() const { return FItemHeight.load(std::memory_order_relaxed); }
    int ItemSpaceWidth() const { return FItemSpaceWidth; }
    void SetItemSpaceWidth(int v) { FItemSpaceWidth = v; }
    int ItemSpaceHeight() const { return FItemSpaceHeight; }
    void SetItemSpaceHeight(int v) { FItemSpaceHeight = v; }
    bool ShowCaption() const { return FShowCaption; }
    void SetShowCaption(bool v) { FShowCaption = v; }
    // Caption font and its colour.
    const QFont &Font() const { return FFont; }
    void SetFont(const QFont &v) { FFont = v; }
    const QColor &FontColor() const { return FFontColor; }
    void SetFontColor(const QColor &v) { FFontColor = v; }
    bool CheckBox() const { return FCheckBox; }
    void SetCheckBox(bool v);
    bool DisplayExtension() const { return FDisplayExtension; }
    void SetDisplayExtension(bool v) { FDisplayExtension = v; }
    bool DrawSectionBar() const { return FDrawSectionBar; }
    void SetDrawSectionBar(bool v) { FDrawSectionBar = v; }
    const QImage &ItemButtonPicture() const { return FItemButtonPicture; }
    void SetItemButtonPicture(const QImage &v) { FItemButtonPicture = v; }
    bool MultiSelected() const { return FMultiSelected; }
    void SetMultiSelected(bool v) { FMultiSelected = v; }
    QStringList &MultiSelectedItems() { return FMultiSelectedItems; }
    const QStringList &MultiSelectedItems() const { return FMultiSelectedItems; }
    const QStringList &TempItems() const { return FTempItems; }
    bool DisableFocus() const { return FDisableFocus; }
    void SetDisableFocus(bool v) { FDisableFocus = v; }

    TPtListItem *Selected() const { return FSelected; }
    TPtListItem *FocusedItem() const { return FFocusedItem; }
    TPtListItem *MoveSelectedItem() const { return FMoveSelectedItem; }

    // The external scroll bar scrolling the list. Its range is kept as the content
    // height with the client height as page: positions run from 0 to
    // content - page + 1. Assigning replaces the bar's other change handlers.
    QScrollBar *ScrollBar() const { return FScrollBar; }
    void SetScrollBar(QScrollBar *aScrollBar);
    // The bar's range as the list sees it (maximum = content height, page = client height).
    int ScrollMax() const { return FScrollMax; }
    int ScrollPageSize() const { return FScrollPage; }
    int ScrollPosition() const;
    // Clamps; when the value changes the bar repaints and the list scrolls with it.
    void SetScrollPosition(int aPosition);

    double LastScrollPos() const { return FLastScrollPos; }
    // Left/top: the press point; right/bottom: the current point (not put in order).
    QRect SelectionRect() const {
        return RectLTRB(FSelStart.x(), FSelStart.y(), FSelEnd.x(), FSelEnd.y());
    }
    bool DrawSelectionRect() const { return FDrawSelectionRect; }
    QPoint MousePoint() const { return FMousePoint; }
    bool MouseDownFlag() const { return FMouseDownFlag; }
    bool MouseDownBlank() const { return FMouseDownBlank; }
    Qt::MouseButton MouseButton() const { return FMouseButton; }

    TThumbLoader *ThumbLoader() const { return FThumbLoader.get(); }

    // Fires OnCustomSortEvent (when there are items), then fits the scroll bar, repaints.
    void Sort();
    int GetContentHeight() const;
    void UpdateScrollBar();
    // Item under the client point, or none; aIS gets the section and entry position.
    TPtListItem *GetItemByPos(int aX, int aY, TItemSectionStruct &aIS) const;
    void SelectAll();
    void ClearSelection();
    // Hand-over of a finished thumbnail from the loader.
    void ThumbLoaded(TThumbLoader *aSender, TPtListItem *aItem);
    void DoBeforeItemThumbLoad(const QString &aFilename, QImage &aThumbBmp, bool &bDefaultLoad);
    void DoLog(const QString &aText);
    // Adds an item per file of the folder (and, when asked, of its subfolders, depth
    // first, files before subfolders); paths in aExceptList are left out.
    void AddFileListFromPath(const QString &aFilePath, const QStringList *aExceptList,
                             bool aIncludeSubDir,
                             Qt::CaseSensitivity aExceptCase = Qt::CaseInsensitive);

    // Paints the whole list (sections, then the rubber band) onto aCanvas.
    void Paint(QPainter &aCanvas);

    void setVisible(bool visible) override;

    // Events; each fires only when set, the sender first.
    std::function<void(TPtListview *sender)> OnCustomSortEvent;
    std::function<void(TPtListview *sender, TPtListItem *aItem, QPainter *aCanvas,
                       bool &vDefaultDraw)>
        OnBeforeItemPaint;
    std::function<void(TPtListview *sender, TPtListItem *aItem, QPainter *aCanvas)>
        OnAfterItemPaint;
    std::function<void(TPtListview *sender, TPtSection *aSection, QPainter *aCanvas,
                       bool &vDefaultDraw)>
        OnBeforeSectionPaint;
    std::function<void(TPtListview *sender, TPtSection *aSection, QPainter *aCanvas)>
        OnAfterSectionPaint;
    // Runs on the loader thread: it may use only its arguments and data that does not
    // change meanwhile (ItemWidth and ItemHeight may be read). Set it before the list is
    // first shown.
    TOnBeforeThumbLoadEvent OnBeforeItemThumbLoad;
    std::function<void(TPtListview *sender, int aOffsetY)> OnOffsetChanged;
    // The sender is the clicked item.
    std::function<void(TPtListItem *sender)> OnItemButtonClick;
    std::function<void(const QString &aText)> LogEvent;

    // The control's own input events: mouse down after the list's press handling, click
    // on a left release inside the list before the release handling.
    std::function<void(TPtListview *sender)> OnClick;
    std::function<void(TPtListview *sender, Qt::MouseButton aButton, Qt::KeyboardModifiers aShift,
                       int X, int Y)>
        OnMouseDown;
    std::function<void(TPtListview *sender, Qt::KeyboardModifiers aShift, int X, int Y)>
        OnMouseMove;
    std::function<void(TPtListview *sender, Qt::MouseButton aButton, Qt::KeyboardModifiers aShift,
                       int X, int Y)>
        OnMouseUp;
    std::function<void(TPtListview *sender, Qt::KeyboardModifiers aShift, int aWheelDelta, int X,
                       int Y)>
        OnMouseWheel;
    // A handler may set aKey to 0 to keep the list from handling the key.
    std::function<void(TPtListview *sender, int &aKey, Qt::KeyboardModifiers aShift)> OnKeyDown;
    // Dragging from an item starts a drag of the whole list; a handler may set
    // vDefaultDrag false to start its own or none.
    std::function<void(TPtListview *sender, bool &vDefaultDrag)> OnStartDrag;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    friend class TPtListItem;
    friend class TPtListItems;
    friend class TPtSection;
    friend class TPtSections;

    void ResizeSteps();
    // Sections.OffsetY from FLastScrollPos after a size change.
    void ApplyLastScrollPos();
    // The furthest the content can be scrolled: the scroll bar's last position.
    int MaxScrollOffset() const;
    void ScrollBarChange();
    void DrawSelectionBand(QPainter &aCanvas);
    QRect OrderedSelectionRect() const;
    void MouseDown(Qt::MouseButton aButton, Qt::KeyboardModifiers aShift, int X, int Y);
    void MouseUp(Qt::MouseButton aButton, Qt::KeyboardModifiers aShift, int X, int Y);
    void StartListDrag();

    std::unique_ptr<TThumbLoader> FThumbLoader;
    std::unique_ptr<TPtListItems> FItems;
    std::unique_ptr<TPtSections> FSections;
    TPtDispose FDispose = DImageView;
    TPtAlignMode FAlignMode = AMStretch;
    std::atomic<int> FItemWidth{100};
    std::atomic<int> FItemHeight{100};
    int FItemSpaceWidth = 20;
    int FItemSpaceHeight = 10;
    bool FShowCaption = true;
    QFont FFont;
    QColor FFontColor;
    bool FCheckBox = false;
    bool FDisplayExtension = true;
    bool FDrawSectionBar = true;
    QImage FItemButtonPicture;
    bool FMultiSelected = false;
    QStringList FMultiSelectedItems;
    QStringList FTempItems;
    TPtListItem *FSelected = nullptr;
    TPtListItem *FFocusedItem = nullptr;
    TPtListItem *FMoveSelectedItem = nullptr;
    QPointer<QScrollBar> FScrollBar;
    int FScrollMax = 0;
    int FScrollPage = 0;
    double FLastScrollPos = 0;
    QPoint FSelStart;
    QPoint FSelEnd;
    bool FDrawSelectionRect = false;
    bool FDisableFocus = false;
    TItemSectionStruct FItemSection;
    QPoint FMousePoint;
    bool FMouseDownFlag = false;
    bool FMouseDownBlank = false;
    Qt::MouseButton FMouseButton = Qt::NoButton;
};
