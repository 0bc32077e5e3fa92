// Painting of sections and items, checked on a grabbed image of a shown list.

#include "ListviewTestUtil.h"

#include <QFontMetrics>

#include <gtest/gtest.h>

using namespace lvtest;

namespace {

const QColor kContent(0xE6, 0xE6, 0xE6);
const QColor kRed(255, 0, 0);

// A 400 x 300 list, item width 100, one section of `n` items with red 100 x 75 thumbnails.
// Stretched alignment: columns at 16, 149, 282; pictures 12 pixels below the cell top.
struct PaintFixture : ::testing::Test {
    TNormalPriority priority;
    TPtListview lv;
    void Build(int n) {
        lv.resize(400, 300);
        AddItems(lv, n);
        for (int i = 0; i < n; ++i)
            lv.Items().GetItem(i)->SetCaption(QString());
        UseSolidThumbnails(lv, {100, 75}, kRed);
        SortIntoOneSection(lv, QStringLiteral("Pictures"));
        lv.show();
        ASSERT_TRUE(WaitSettled(lv));
    }
    QImage Grab() { return lv.grab().toImage().convertToFormat(QImage::Format_RGB32); }
    static QColor At(const QImage &img, int x, int y) { return img.pixelColor(x, y); }
};

QImage BandReference(const TPtSection &s, const QString &text, int width) {
    QImage ref(width, s.TabHeight(), QImage::Format_RGB32);
    ref.fill(s.TabColor());
    QPainter p(&ref);
    p.setFont(s.Font());
    p.setPen(s.FontColor());
    p.setBackgroundMode(Qt::OpaqueMode);
    p.setBackground(s.TabColor());
    p.drawText(QPoint(2, 2 + QFontMetrics(s.Font()).ascent()), text);
    return ref;
}

} // namespace

TEST_F(PaintFixture, SectionBandAndCaptionWithAndWithoutCount) {
    Build(4);
    TPtSection *s = lv.Sections().GetSection(0);
    const QImage withCount = Grab().copy(0, 0, 400, 20);
    EXPECT_EQ(withCount, BandReference(*s, QStringLiteral("Pictures (4)"), 400));
    EXPECT_EQ(At(withCount, 399, 19), QColor(0xDD, 0xDD, 0xDD));

    s->SetDisplayCount(false);
    const QImage without = Grab().copy(0, 0, 400, 20);
    EXPECT_EQ(without, BandReference(*s, QStringLiteral("Pictures"), 400));
    EXPECT_NE(without, withCount);

    // Content fill below the band, where no item is.
    EXPECT_EQ(At(Grab(), 5, 30), kContent);

    lv.SetDrawSectionBar(false);
    const QImage bare = Grab();
    EXPECT_EQ(At(bare, 5, 5), lv.palette().color(lv.backgroundRole()));
}

TEST_F(PaintFixture, UnselectedItemShadow) {
    Build(3);
    lv.clearFocus(); // the focus frame would cover the shadow's outer edge
    const QRect P = lv.Items().GetItem(0)->PictureRect();
    ASSERT_EQ(P, QRect(16, 52, 100, 75));
    const QImage img = Grab();
    const int r = RectRight(P), b = RectBottom(P), y = P.y() + 10, x = P.x() + 10;
    const QColor ramp[] = {QColor(0x99, 0x99, 0x99), QColor(0xAA, 0xAA, 0xAA),
                           QColor(0xBB, 0xBB, 0xBB), QColor(0xCC, 0xCC, 0xCC),
                           QColor(0xDD, 0xDD, 0xDD), kContent};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(At(img, r + i, y), ramp[i]) << "right " << i;
        EXPECT_EQ(At(img, x, b + i), ramp[i]) << "below " << i;
    }
    EXPECT_EQ(At(img, r, P.y()), QColor(0xDD, 0xDD, 0xDD)); // the shadow starts at the top
    EXPECT_EQ(At(img, P.x() - 1, y), kContent);             // nothing at the left
    EXPECT_EQ(At(img, P.x() + 5, P.y() + 5), kRed);         // the picture, unscaled
}

TEST_F(PaintFixture, SelectedItemFiveFrames) {
    Build(3);
    TPtListItem *item = lv.Items().GetItem(1);
    item->SetSelected(true);
    const QRect P = item->PictureRect();
    ASSERT_EQ(P, QRect(149, 52, 100, 75));
    const QImage img = Grab();
    const QColor rings[] = {QColor(0xB0, 0xD4, 0xEC), QColor(0x74, 0xAE, 0xD4),
                            QColor(0x74, 0xAE, 0xD4), QColor(0x8E, 0xBA, 0xE1),
                            QColor(0x9F, 0xCB, 0xE6)};
    const int y = P.y() + 10;
    for (int n = 5; n >= 1; --n) {
        EXPECT_EQ(At(img, P.x() - n, y), rings[5 - n]) << "left ring " << n;
        EXPECT_EQ(At(img, RectRight(P) + n - 1, y), rings[5 - n]) << "right ring " << n;
        EXPECT_EQ(At(img, P.x() + 10, P.y() - n), rings[5 - n]) << "top ring " << n;
    }
    EXPECT_EQ(At(img, P.x() - 6, y), kContent);
    EXPECT_EQ(At(img, P.x(), y), kRed);
    EXPECT_EQ(At(img, RectRight(P) + 5, y), kContent); // no shadow on a selected item

    // In the list view layout the whole row is framed.
    lv.SetDispose(DListView);
    lv.repaint();
    const QImage rows = Grab();
    const QRect cell = item->Rect();
    EXPECT_EQ(At(rows, cell.x() - 5, cell.y() + 30), rings[0]);
    EXPECT_EQ(At(rows, cell.x() - 1, cell.y() + 30), rings[4]);
    EXPECT_EQ(At(rows, RectRight(cell) + 4, cell.y() + 30), rings[0]);
}

TEST_F(PaintFixture, FocusFrameOnlyWithFocusInImageView) {
    Build(3);
    TPtListItem *focused = lv.FocusedItem();
    ASSERT_EQ(focused, lv.Items().GetItem(0));
    const auto frameAt = [&] {
        const QRect P = focused->PictureRect();
        return At(Grab(), P.x() - 5, P.y() + 10);
    };
    lv.clearFocus();
    EXPECT_FALSE(lv.hasFocus());
    EXPECT_EQ(frameAt(), kContent);

    lv.activateWindow();
    QApplication::setActiveWindow(&lv);
    lv.setFocus();
    ASSERT_TRUE(WaitFor([&] { return lv.hasFocus(); }, 5000));
    EXPECT_EQ(frameAt(), QColor(0x80, 0x80, 0x80));
    const QRect P = focused->PictureRect();
    EXPECT_EQ(At(Grab(), P.x() + 10, P.y() - 5), QColor(0x80, 0x80, 0x80));

    lv.SetDispose(DListView);
    lv.repaint();
    EXPECT_EQ(frameAt(), kContent);
}

TEST_F(PaintFixture, ItemButtonOnlyWhileHovered) {
    Build(3);
    lv.SetItemButtonPicture(SolidImage(17, 17, Qt::green));
    TPtListItem *withButton = lv.Items().GetItem(0);
    TPtListItem *without = lv.Items().GetItem(1);
    withButton->SetDrawButton(true);
    const auto buttonPixel = [&](TPtListItem *item) {
        const QRect P = item->PictureRect();
        return At(Grab(), RectRight(P) - 9, P.y() + 8);
    };
    EXPECT_EQ(buttonPixel(withButton), kRed);
    withButton->SetMoveSelected(true);
    EXPECT_EQ(buttonPixel(withButton), QColor(Qt::green));
    // The button's top-left corner sits at (right - width, top).
    const QRect P = withButton->PictureRect();
    const QImage img = Grab();
    EXPECT_EQ(At(img, RectRight(P) - 17, P.y()), QColor(Qt::green));
    EXPECT_EQ(At(img, RectRight(P) - 18, P.y()), kRed);
    EXPECT_EQ(At(img, RectRight(P) - 17, P.y() + 17), kRed);

    without->SetMoveSelected(true); // hover moves on; no button on an item without one
    EXPECT_EQ(buttonPixel(without), kRed);
    EXPECT_EQ(buttonPixel(withButton), kRed);
}

TEST_F(PaintFixture, RubberBandBlendAndFrame) {
    Build(6);
    std::vector<QString> log;
    lv.LogEvent = [&](const QString &t) { log.push_back(t); };
    Press(&lv, {5, 160});
    Move(&lv, {200, 280}, Qt::LeftButton);
    ASSERT_TRUE(lv.DrawSelectionRect());
    const QImage img = Grab();
    const QColor blend = At(img, 8, 200);
    // #0066FF at 64/255 over the content grey.
    EXPECT_NEAR(blend.red(), (0 * 64 + 230 * 191) / 255, 2);
    EXPECT_NEAR(blend.green(), (102 * 64 + 230 * 191) / 255, 2);
    EXPECT_NEAR(blend.blue(), (255 * 64 + 230 * 191) / 255, 2);
    const QColor frame(0x00, 0x66, 0xFF);
    EXPECT_EQ(At(img, 5, 200), frame);
    EXPECT_EQ(At(img, 199, 170), frame);
    EXPECT_EQ(At(img, 100, 160), frame);
    EXPECT_EQ(At(img, 100, 279), frame);
    EXPECT_NE(At(img, 100, 281), frame);

    // Items with a cell corner in the band are taken in while it is drawn, and look selected.
    EXPECT_EQ(lv.TempItems(), (QStringList{QStringLiteral("3"), QStringLiteral("4")}));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), QStringLiteral("Selection Rect Add : [3]"));
    const QRect P = lv.Items().GetItem(3)->PictureRect();
    const QColor ring = At(img, P.x() - 5, P.y() + 10); // under the band
    EXPECT_NEAR(ring.red(), (0 * 64 + 0xB0 * 191) / 255, 2);
    EXPECT_NEAR(ring.green(), (102 * 64 + 0xD4 * 191) / 255, 2);
    EXPECT_NEAR(ring.blue(), (255 * 64 + 0xEC * 191) / 255, 2);

    // Shrinking the band lets an item go again; the log names its former position.
    Move(&lv, {120, 280}, Qt::LeftButton);
    EXPECT_EQ(lv.TempItems(), QStringList{QStringLiteral("3")});
    EXPECT_EQ(log.back(), QStringLiteral("Selection Rect Del : [1]"));
    Release(&lv, {120, 280});
    EXPECT_FALSE(lv.DrawSelectionRect());
}

TEST_F(PaintFixture, ItemWithoutThumbnailCentresItsDecoration) {
    lv.resize(400, 300);
    lv.Items().Add()->SetFileName(QStringLiteral("/nonexistent/picture.png"));
    SortIntoOneSection(lv);
    lv.show();
    ASSERT_TRUE(WaitIdle(lv));
    lv.clearFocus(); // the focus frame would cover the shadow's outer edge
    TPtListItem *item = lv.Items().GetItem(0);
    ASSERT_NE(item->Bitmap(), nullptr);
    EXPECT_TRUE(item->Bitmap()->isNull());
    EXPECT_FALSE(item->Loaded());
    EXPECT_EQ(item->PictureRect(), QRect(66, 90, 0, 0)); // centre of (16, 40, 116, 140)
    const QImage img = lv.grab().toImage();
    EXPECT_EQ(img.pixelColor(66, 90), QColor(0xDD, 0xDD, 0xDD));
    EXPECT_EQ(img.pixelColor(67, 91), QColor(0xCC, 0xCC, 0xCC));
    EXPECT_EQ(img.pixelColor(68, 92), QColor(0xBB, 0xBB, 0xBB));
    EXPECT_EQ(img.pixelColor(69, 93), QColor(0xCC, 0xCC, 0xCC));
    EXPECT_EQ(img.pixelColor(70, 94), QColor(0xDD, 0xDD, 0xDD));
    EXPECT_EQ(img.pixelColor(71, 95), kContent);
}

TEST_F(PaintFixture, CaptionRectangles) {
    Build(2);
    TPtListItem *item = lv.Items().GetItem(0);
    item->SetCaption(QStringLiteral("Beach & sea"));
    lv.repaint();
    // Under the cell, as tall as the font's point size plus 100.
    EXPECT_EQ(item->TextRect(), RectLTRB(16, 144, 116, 144 - 4 + 8 + 100));
    const auto darkPixels = [&](const QRect &r) {
        const QImage img = Grab();
        int n = 0;
        for (int y = r.y(); y < RectBottom(r); ++y)
            for (int x = r.x(); x < RectRight(r); ++x)
                n += qGray(img.pixel(x, y)) < 128;
        return n;
    };
    EXPECT_GT(darkPixels(item->TextRect()), 0);
    EXPECT_EQ(darkPixels(lv.Items().GetItem(1)->TextRect()), 0); // empty caption

    // Rows: text right of the picture box; a landscape picture leaves 12 pixels above.
    lv.SetDispose(DListView);
    lv.repaint();
    EXPECT_EQ(item->Rect(), RectLTRB(10, 25, 390, 125));
    EXPECT_EQ(item->PictureRect(), QRect(20, 37, 100, 75));
    EXPECT_EQ(item->TextRect(), RectLTRB(130, 37, 390, 113));
    EXPECT_GT(darkPixels(item->TextRect()), 0);
}

TEST_F(PaintFixture, PaintEventsAndDefaultDraw) {
    Build(2);
    std::vector<TPtListItem *> after;
    std::vector<TPtSection *> sectionsAfter;
    lv.OnBeforeItemPaint = [&](TPtListview *sender, TPtListItem *item, QPainter *c, bool &def) {
        EXPECT_EQ(sender, &lv);
        EXPECT_NE(c, nullptr);
        EXPECT_TRUE(def);
        def = item != lv.Items().GetItem(0);
    };
    lv.OnAfterItemPaint = [&](TPtListview *, TPtListItem *item, QPainter *) {
        after.push_back(item);
    };
    lv.OnBeforeSectionPaint = [&](TPtListview *, TPtSection *, QPainter *, bool &def) {
        def = false;
    };
    lv.OnAfterSectionPaint = [&](TPtListview *, TPtSection *s, QPainter *) {
        sectionsAfter.push_back(s);
    };
    const QImage img = Grab();
    EXPECT_EQ(after.size(), 2u); // fired whatever the default drawing
    EXPECT_EQ(sectionsAfter.size(), 1u);
    const QColor background = lv.palette().color(lv.backgroundRole());
    EXPECT_EQ(img.pixelColor(5, 5), background); // no band
    const QRect P0 = lv.Items().GetItem(0)->PictureRect();
    EXPECT_EQ(img.pixelColor(P0.x() + 5, P0.y() + 5), background); // not drawn
    const QRect P1 = lv.Items().GetItem(1)->PictureRect();
    EXPECT_EQ(img.pixelColor(P1.x() + 5, P1.y() + 5), kRed);
}
