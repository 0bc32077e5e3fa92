// Mouse, wheel, keyboard and scroll-bar handling of the list, with synthesised events.

#include "ListviewTestUtil.h"

#include <QScrollBar>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace lvtest;

namespace {

// A 400 x 300 list with a scroll bar beside it; item width 100, three columns at 16,
// 149 and 282, rows every 110 pixels from 40, pictures 100 x 75 twelve pixels down.
struct InputFixture : ::testing::Test {
    TNormalPriority priority;
    QWidget host;
    TPtListview *lv = new TPtListview(&host);
    QScrollBar *sb = new QScrollBar(Qt::Vertical, &host);
    std::vector<std::string> events;

    void Build(int n, bool withScrollBar = true) {
        host.resize(420, 300);
        lv->setGeometry(0, 0, 400, 300);
        sb->setGeometry(400, 0, 20, 300);
        if (withScrollBar)
            lv->SetScrollBar(sb);
        AddItems(*lv, n);
        UseSolidThumbnails(*lv, {100, 75}, Qt::red);
        SortIntoOneSection(*lv);
        host.show();
        ASSERT_TRUE(WaitSettled(*lv));
    }
    TPtListItem *Item(int i) { return lv->Items().GetItem(i); }
    QPoint PicCenter(int i) { return Center(Item(i)->PictureRect()); }
    QColor RingPixel(int i) {
        const QRect P = Item(i)->PictureRect();
        // The second ring: the outer one is covered by the focus frame on the focused item.
        return lv->grab().toImage().pixelColor(P.x() - 4, P.y() + 10);
    }
};

const QColor kRing(0x74, 0xAE, 0xD4);
const QColor kContent(0xE6, 0xE6, 0xE6);

QStringList Keys(std::initializer_list<int> keys) {
    QStringList out;
    for (int k : keys)
        out << QString::number(k);
    return out;
}

} // namespace

TEST_F(InputFixture, SingleSelectionKeepsSelectionOnEmptySpace) {
    Build(6);
    Click(lv, PicCenter(1));
    EXPECT_EQ(lv->Selected(), Item(1));
    EXPECT_TRUE(Item(1)->Selected());
    Click(lv, PicCenter(2));
    EXPECT_FALSE(Item(1)->Selected());
    EXPECT_EQ(lv->Selected(), Item(2));
    EXPECT_EQ(lv->FocusedItem(), Item(2));

    Click(lv, {5, 30}); // content area, no item
    EXPECT_EQ(lv->Selected(), Item(2));
    EXPECT_EQ(RingPixel(2), kRing);

    // Ctrl+A fills the multi-selection keys, which a single-selection list does not show:
    // the highlight is gone.
    Key(lv, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(lv->MultiSelectedItems(), Keys({0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(lv->Selected(), nullptr);
    EXPECT_EQ(RingPixel(2), kContent);
    Key(lv, Qt::Key_B, Qt::ControlModifier); // no other key does anything
    EXPECT_EQ(lv->MultiSelectedItems().size(), 6);
}

TEST_F(InputFixture, MultiSelectionShiftAndCtrl) {
    Build(6);
    lv->SetMultiSelected(true);
    std::vector<QString> log;
    lv->LogEvent = [&](const QString &t) { log.push_back(t); };

    Click(lv, PicCenter(3), Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(lv->MultiSelectedItems(), Keys({0, 1, 2, 3}));
    EXPECT_EQ(log.back(), QStringLiteral("Shift key pressed"));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(RingPixel(i), kRing) << i;
    EXPECT_EQ(RingPixel(4), kContent);

    Click(lv, PicCenter(5), Qt::LeftButton, Qt::ControlModifier);
    EXPECT_EQ(log.back(), QStringLiteral("Control key pressed"));
    EXPECT_EQ(lv->MultiSelectedItems(), Keys({0, 1, 2, 3, 5}));
    Click(lv, PicCenter(5), Qt::LeftButton, Qt::ControlModifier);
    EXPECT_EQ(lv->MultiSelectedItems(), Keys({0, 1, 2, 3}));

    // Shift+Ctrl adds the range from the anchor to what is there.
    Click(lv, PicCenter(1)); // anchor; it is in the selection, which stays
    EXPECT_EQ(log.back(), QStringLiteral("No key pressed"));
    EXPECT_EQ(lv->MultiSelectedItems(), Keys({0, 1, 2, 3}));
    Click(lv, PicCenter(5), Qt::LeftButton, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(log.back(), QStringLiteral("Shift and ctrl key both pressed"));
    EXPECT_EQ(lv->MultiSelectedItems(), Keys({0, 1, 2, 3, 4, 5}));

    Click(lv, {5, 30}, Qt::LeftButton, Qt::ControlModifier); // Ctrl keeps it
    EXPECT_EQ(lv->MultiSelectedItems().size(), 6);
    Click(lv, {5, 30});
    EXPECT_TRUE(lv->MultiSelectedItems().isEmpty());
}

TEST_F(InputFixture, RubberBandSelectsAtRelease) {
    Build(6);
    lv->SetMultiSelected(true);
    Press(lv, {5, 160});
    Move(lv, {200, 280}, Qt::LeftButton);
    EXPECT_TRUE(lv->MultiSelectedItems().isEmpty());
    Release(lv, {200, 280});
    EXPECT_EQ(lv->MultiSelectedItems(), Keys({3, 4}));
    EXPECT_FALSE(lv->DrawSelectionRect());
    EXPECT_FALSE(lv->MouseDownFlag());
}

TEST_F(InputFixture, PressBringsItemIntoView) {
    Build(15); // five rows: 580 pixels of content, positions 0 .. 281
    ASSERT_EQ(sb->maximum(), 580 - 300 + 1);
    std::vector<int> offsets;
    lv->OnOffsetChanged = [&](TPtListview *sender, int y) {
        EXPECT_EQ(sender, lv);
        offsets.push_back(y);
    };

    // Row 2 (260 .. 360) reaches below the client area: it ends 10 pixels above its bottom.
    Click(lv, {66, 285});
    EXPECT_EQ(lv->Selected(), Item(6));
    EXPECT_EQ(lv->Sections().OffsetY(), -70);
    EXPECT_EQ(sb->value(), 70);
    EXPECT_EQ(offsets, std::vector<int>{-70});
    lv->repaint();
    EXPECT_EQ(RectBottom(Item(6)->Rect()), 290);

    // A row above the top comes down to 10 pixels below it.
    lv->SetScrollPosition(160);
    lv->repaint();
    offsets.clear();
    ASSERT_EQ(Item(3)->Rect().y(), -10);
    Click(lv, {66, 40});
    EXPECT_EQ(lv->Selected(), Item(3));
    EXPECT_EQ(sb->value(), 140);
    EXPECT_EQ(offsets, std::vector<int>{-140});
    lv->repaint();
    EXPECT_EQ(Item(3)->Rect().y(), 10);
}

TEST_F(InputFixture, CheckBoxTogglesAtReleaseAfterTheClick) {
    Build(3);
    lv->SetCheckBox(true);
    lv->repaint();
    TPtListItem *item = Item(0);
    const QRect P = item->PictureRect();
    const QPoint inBox(P.x() + 4, RectBottom(P) - 4);
    lv->OnMouseDown = [&](TPtListview *, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        events.push_back("down");
    };
    lv->OnClick = [&](TPtListview *sender) {
        EXPECT_EQ(sender, lv);
        // The press has selected; the release has not run yet.
        EXPECT_EQ(lv->Selected(), item);
        EXPECT_FALSE(item->Checked());
        events.push_back("click");
    };
    lv->OnMouseUp = [&](TPtListview *, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        EXPECT_TRUE(item->Checked());
        events.push_back("up");
    };
    Press(lv, inBox);
    EXPECT_FALSE(item->Checked());
    Release(lv, inBox);
    EXPECT_TRUE(item->Checked());
    EXPECT_EQ(events, (std::vector<std::string>{"down", "click", "up"}));

    lv->OnClick = nullptr;
    lv->OnMouseUp = nullptr;
    Click(lv, inBox);
    EXPECT_FALSE(item->Checked());
    Click(lv, {P.x() + 20, RectBottom(P) - 4}); // beside the square
    EXPECT_FALSE(item->Checked());
    lv->SetCheckBox(false);
    Click(lv, inBox);
    EXPECT_FALSE(item->Checked());
}

TEST_F(InputFixture, ItemButtonFiresWithTheItemAsSender) {
    Build(3);
    lv->SetItemButtonPicture(SolidImage(17, 17, Qt::green));
    Item(0)->SetDrawButton(true);
    std::vector<TPtListItem *> clicked;
    lv->OnItemButtonClick = [&](TPtListItem *sender) {
        clicked.push_back(sender);
        sender->Delete(); // as the pages' delete mark does
    };
    TPtListItem *first = Item(0);
    const QRect P0 = first->PictureRect();
    const QRect P1 = Item(1)->PictureRect();
    ASSERT_FALSE(first->MoveSelected()); // hovering is not needed

    Click(lv, {RectRight(P1) - 5, P1.y() + 5}); // item without a button
    EXPECT_TRUE(clicked.empty());
    Click(lv, {RectRight(P0) - 18, P0.y() + 5}); // just left of the button
    EXPECT_TRUE(clicked.empty());
    Click(lv, {RectRight(P0) - 5, P0.y() + 5});
    ASSERT_EQ(clicked.size(), 1u);
    EXPECT_EQ(clicked[0], first);
    EXPECT_EQ(lv->Items().Count(), 2);
    EXPECT_FALSE(lv->MouseDownFlag());
}

TEST_F(InputFixture, WheelScrollsAndZooms) {
    struct Case {
        int itemWidth;
        int delta;
        Qt::KeyboardModifiers mods;
        int deltaX;
        int position, width; // afterwards
    } cases[] = {
        {100, -120, Qt::NoModifier, 0, 133, 100},    {100, 120, Qt::NoModifier, 0, 67, 100},
        {100, -15, Qt::NoModifier, 0, 133, 100},     {60, -120, Qt::NoModifier, 0, 120, 60},
        {60, 120, Qt::NoModifier, 0, 80, 60},        {100, 0, Qt::NoModifier, 120, 100, 100},
        {300, 120, Qt::ControlModifier, 0, -1, 300}, {60, -120, Qt::ControlModifier, 0, -1, 60},
        {100, 120, Qt::ControlModifier, 0, -1, 101}, {100, -120, Qt::ControlModifier, 0, -1, 99},
    };
    Build(40);
    int wheels = 0;
    lv->OnMouseWheel = [&](TPtListview *, Qt::KeyboardModifiers, int, int, int) { ++wheels; };
    for (const Case &c : cases) {
        lv->SetItemWidth(c.itemWidth);
        lv->SetScrollPosition(100);
        ASSERT_EQ(sb->value(), 100);
        Wheel(lv, c.delta, c.mods, c.deltaX);
        if (c.position >= 0) {
            EXPECT_EQ(sb->value(), c.position) << c.itemWidth << " " << c.delta;
        }
        EXPECT_EQ(lv->ItemWidth(), c.width) << c.itemWidth << " " << c.delta;
    }
    EXPECT_EQ(wheels, int(std::size(cases)));
}

TEST_F(InputFixture, ContentThatFitsIsNeverLeftHiddenAbove) {
    // Scrolled to the end, then the content shrinks below the client height: it must not stay
    // moved up behind a hidden scroll bar that can no longer bring it back.
    struct Case {
        const char *what;
        std::function<void()> change;
    } cases[] = {
        {"list grows", [&] { lv->resize(400, 700); }},
        {"items shrink",
         [&] {
             for (int i = 0; i < 40; ++i) // Ctrl+wheel down to item width 60
                 Wheel(lv, -120, Qt::ControlModifier);
         }},
    };
    Build(15); // five rows: 580 pixels of content
    for (const Case &c : cases) {
        lv->resize(400, 300);
        lv->SetItemWidth(100);
        lv->SetScrollPosition(1000);
        ASSERT_EQ(lv->Sections().OffsetY(), -281) << c.what;
        c.change();
        ASSERT_LE(lv->GetContentHeight(), lv->height()) << c.what;
        EXPECT_FALSE(sb->isVisible()) << c.what;
        EXPECT_EQ(lv->Sections().OffsetY(), 0) << c.what;
    }
    // Content that still needs scrolling ends where the bar ends.
    lv->resize(400, 300);
    lv->SetItemWidth(100);
    lv->SetScrollPosition(1000);
    lv->resize(400, 400);
    EXPECT_EQ(sb->value(), 580 - 400 + 1);
    EXPECT_EQ(lv->Sections().OffsetY(), -sb->value());
}

TEST_F(InputFixture, SortAfterRemovingItemsKeepsTheContentInSight) {
    // The pages delete items (or clear the list) and sort while scrolled to the end.
    Build(15); // five rows: 580 pixels of content
    std::vector<int> offsets;
    lv->OnOffsetChanged = [&](TPtListview *, int y) { offsets.push_back(y); };
    lv->SetScrollPosition(1000);
    ASSERT_EQ(lv->Sections().OffsetY(), -281);
    offsets.clear();

    for (int i = 0; i < 3; ++i) // four rows: 470 pixels, positions up to 171
        lv->Items().Delete(lv->Items().GetItem(lv->Items().Count() - 1));
    lv->Sort();
    EXPECT_EQ(lv->Sections().OffsetY(), -171);
    EXPECT_EQ(sb->value(), 171);
    EXPECT_EQ(offsets, std::vector<int>{-171});
    offsets.clear();

    lv->Items().Clear();
    AddItems(*lv, 1);
    lv->Sort();
    EXPECT_EQ(lv->Sections().OffsetY(), 0);
    EXPECT_FALSE(sb->isVisible());
    EXPECT_EQ(offsets, std::vector<int>{0});
    lv->repaint();
    EXPECT_EQ(Item(0)->Rect().y(), 40); // on screen, where an unscrolled list shows it

    // A sort that leaves the offset reachable moves nothing and reports nothing.
    AddItems(*lv, 20);
    lv->Sort();
    lv->SetScrollPosition(50);
    offsets.clear();
    lv->Sort();
    EXPECT_EQ(lv->Sections().OffsetY(), -50);
    EXPECT_TRUE(offsets.empty());
}

TEST_F(InputFixture, TouchpadGestureMarksDoNotScroll) {
    Build(40);
    lv->SetScrollPosition(100);
    for (Qt::ScrollPhase phase : {Qt::ScrollBegin, Qt::ScrollEnd}) {
        const QPoint p(10, 10);
        QWheelEvent e(QPointF(p), QPointF(lv->mapToGlobal(p)), QPoint(), QPoint(), Qt::NoButton,
                      Qt::NoModifier, phase, false);
        QApplication::sendEvent(lv, &e);
        EXPECT_EQ(sb->value(), 100) << phase;
    }
    // A gesture's own steps scroll as wheel turns do.
    const QPoint p(10, 10);
    QWheelEvent e(QPointF(p), QPointF(lv->mapToGlobal(p)), QPoint(0, -6), QPoint(0, -4),
                  Qt::NoButton, Qt::NoModifier, Qt::ScrollUpdate, false);
    QApplication::sendEvent(lv, &e);
    EXPECT_EQ(sb->value(), 133);
}

TEST_F(InputFixture, WheelWithoutScrollBarDoesNothing) {
    Build(40, false);
    Wheel(lv, 120, Qt::ControlModifier);
    EXPECT_EQ(lv->ItemWidth(), 100);
    Wheel(lv, -120);
    EXPECT_EQ(lv->Sections().OffsetY(), 0);
}

TEST_F(InputFixture, NoHoverAfterRightPress) {
    Build(3);
    Move(lv, PicCenter(0));
    EXPECT_TRUE(Item(0)->MoveSelected());
    EXPECT_EQ(lv->MoveSelectedItem(), Item(0));
    Move(lv, {5, 30});
    EXPECT_FALSE(Item(0)->MoveSelected());

    Click(lv, {5, 30}, Qt::RightButton);
    Move(lv, PicCenter(1));
    EXPECT_FALSE(Item(1)->MoveSelected());
    Move(lv, PicCenter(1)); // the same point again: nothing happens
    Click(lv, {5, 31});
    Move(lv, PicCenter(1) + QPoint(1, 0));
    EXPECT_TRUE(Item(1)->MoveSelected());
}

TEST_F(InputFixture, HitTestAndTheHeaderBand) {
    host.resize(420, 300);
    lv->setGeometry(0, 0, 400, 300);
    AddItems(*lv, 5);
    UseSolidThumbnails(*lv, {100, 75}, Qt::red);
    lv->OnCustomSortEvent = [](TPtListview *sender) {
        sender->Sections().Clear();
        TPtSection *a = sender->Sections().Add();
        for (int i = 0; i < 3; ++i)
            a->Add(i);
        TPtSection *b = sender->Sections().Add();
        b->Add(3);
        b->Add(4);
    };
    lv->Sort();
    host.show();
    ASSERT_TRUE(WaitSettled(*lv));

    struct Case {
        QPoint p;
        int item; // -1: none
        int section, entry;
    } cases[] = {
        {{66, 10}, -1, 0, -1}, // header of the first section
        {{66, 90}, 0, 0, 0},    {{199, 90}, 1, 0, 1},
        {{332, 90}, 2, 0, 2},   {{130, 90}, -1, 0, -1}, // between columns
        {{66, 45}, -1, 0, -1},                          // in the cell, above the picture
        {{66, 150}, -1, 1, -1}, // header of the second section (it starts at 140)
        {{66, 220}, 3, 1, 0},   {{199, 220}, 4, 1, 1},
    };
    for (const Case &c : cases) {
        TItemSectionStruct is{-5, -5};
        TPtListItem *hit = lv->GetItemByPos(c.p.x(), c.p.y(), is);
        EXPECT_EQ(hit, c.item < 0 ? nullptr : Item(c.item)) << c.p.x() << "," << c.p.y();
        EXPECT_EQ(is.SectionIndex, c.section) << c.p.x() << "," << c.p.y();
        if (c.entry >= 0) {
            EXPECT_EQ(is.ItemIndex, c.entry) << c.p.x() << "," << c.p.y();
        }
    }

    Click(lv, {66, 10});
    EXPECT_EQ(lv->Selected(), nullptr);
    EXPECT_TRUE(lv->MouseDownBlank());
}

TEST_F(InputFixture, DraggingAnItemEndsThePressFirst) {
    Build(3);
    lv->OnClick = [&](TPtListview *) { events.push_back("click"); };
    lv->OnMouseUp = [&](TPtListview *, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        events.push_back("up");
    };
    lv->OnStartDrag = [&](TPtListview *sender, bool &def) {
        EXPECT_EQ(sender, lv);
        EXPECT_TRUE(def);
        def = false; // no real drag in a test
        events.push_back("drag");
    };
    Press(lv, PicCenter(0));
    EXPECT_TRUE(lv->MouseDownFlag());
    Move(lv, PicCenter(0) + QPoint(3, 0), Qt::LeftButton);
    EXPECT_EQ(events, (std::vector<std::string>{"click", "up", "drag"}));
    EXPECT_FALSE(lv->MouseDownFlag());
    EXPECT_EQ(lv->Selected(), Item(0));
}

TEST_F(InputFixture, ScrollBarCoupling) {
    Build(3); // one row: 140 pixels of content
    EXPECT_FALSE(sb->isVisible());
    EXPECT_EQ(lv->ScrollMax(), 140);

    int foreign = 0;
    QObject::connect(sb, &QScrollBar::valueChanged, [&] { ++foreign; });
    lv->SetScrollBar(sb); // replaces every other handler of the bar
    std::vector<int> offsets;
    lv->OnOffsetChanged = [&](TPtListview *, int y) { offsets.push_back(y); };

    lv->Items().Clear();
    AddItems(*lv, 15);
    lv->Sort(); // five rows: 580
    EXPECT_TRUE(sb->isVisible());
    EXPECT_EQ(lv->ScrollMax(), 580);
    EXPECT_EQ(lv->ScrollPageSize(), 300);
    EXPECT_EQ(sb->minimum(), 0);
    EXPECT_EQ(sb->maximum(), 281);
    EXPECT_EQ(sb->singleStep(), 110);
    EXPECT_TRUE(offsets.empty()); // fitting the range fires nothing

    lv->SetScrollPosition(1000); // clamped
    EXPECT_EQ(sb->value(), 281);
    EXPECT_EQ(offsets, std::vector<int>{-281});
    lv->SetScrollPosition(281); // no change, no event
    EXPECT_EQ(offsets.size(), 1u);
    sb->setValue(145); // as the user drags the thumb
    EXPECT_EQ(lv->Sections().OffsetY(), -145);
    EXPECT_DOUBLE_EQ(lv->LastScrollPos(), 145.0 / 580);
    EXPECT_EQ(foreign, 0);

    // The scroll fraction survives a size change.
    lv->resize(400, 250);
    EXPECT_EQ(lv->Sections().OffsetY(), -Nearest(580 * 145.0 / 580));
    EXPECT_EQ(sb->maximum(), 580 - 250 + 1);

    lv->hide();
    EXPECT_FALSE(sb->isVisible());
    lv->show();
    EXPECT_TRUE(sb->isVisible());
}
