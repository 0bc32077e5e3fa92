// The list's model and layout: item size, grid, section geometry, the offset rule, the
// cell of every layout, the proportional fit, and the item and section collections.

#include "ListviewTestUtil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lvtest;

namespace {

struct ListFixture : ::testing::Test {
    TNormalPriority priority;
    TPtListview lv;
    void SetUp() override { lv.resize(400, 300); }
    TPtSection *SectionWith(int n) {
        TPtSection *s = lv.Sections().Add();
        for (int i = 0; i < n; ++i)
            s->Add(lv.Items().Add()->ItemIndex());
        return s;
    }
};

} // namespace

TEST(FitRect, FitsProportionallyAndCentres) {
    struct Case {
        QSize picture;
        QRect box;
        QRect expected;
    } cases[] = {
        {{4000, 3000}, {0, 0, 100, 100}, {0, 12, 100, 75}},
        {{3000, 4000}, {0, 0, 100, 100}, {12, 0, 75, 100}},
        {{50, 50}, {0, 0, 100, 100}, {0, 0, 100, 100}},        // scaled up too
        {{4000, 3000}, {10, 20, 100, 100}, {10, 32, 100, 75}}, // offset box
        {{100, 75}, {0, 0, 101, 100}, {0, 12, 101, 75}},       // 101 * 75 / 100 truncates
        {{0, 0}, {0, 0, 100, 100}, {50, 50, 0, 0}},            // empty picture: centre
        {{0, 30}, {0, 0, 100, 100}, {50, 35, 0, 30}},
        {{40, 30}, {5, 5, 0, 100}, {5, 5, 0, 100}}, // box without width: the box's size
        {{40, 30}, {0, 0, 100, 0}, {0, 0, 100, 0}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(FitRect(c.picture, c.box), c.expected)
            << c.picture.width() << "x" << c.picture.height() << " in " << c.box.width() << "x"
            << c.box.height();
    }
}

TEST_F(ListFixture, ItemWidthIsClampedAndHeightFollows) {
    const int cases[][2] = {{30, 60}, {59, 60}, {60, 60}, {100, 100}, {300, 300}, {500, 300}};
    for (const auto &c : cases) {
        lv.SetItemWidth(c[0]);
        EXPECT_EQ(lv.ItemWidth(), c[1]) << c[0];
        EXPECT_EQ(lv.ItemHeight(), c[1]) << c[0];
        EXPECT_EQ(lv.ThumbLoader()->ThumbWidth(), c[1]);
        EXPECT_EQ(lv.ThumbLoader()->ThumbHeight(), c[1]);
    }
}

TEST_F(ListFixture, ItemWidthChangeForgetsThumbnails) {
    TPtListItem *item = lv.Items().Add();
    item->SetFileName(QStringLiteral("x"));
    UseSolidThumbnails(lv, {100, 100}, Qt::red);
    SortIntoOneSection(lv);
    lv.show();
    ASSERT_TRUE(WaitSettled(lv));
    ASSERT_TRUE(item->Loaded());
    lv.SetItemWidth(120);
    EXPECT_FALSE(item->Loaded());
    ASSERT_NE(item->Bitmap(), nullptr);
    EXPECT_EQ(item->Bitmap()->size(), QSize(100, 100)); // the old picture stays meanwhile
}

TEST_F(ListFixture, GridColumnsAndRows) {
    struct Case {
        int width;
        TPtDispose dispose;
        int entries;
        int cols, rows;
    } cases[] = {
        {400, DImageView, 7, 3, 3}, {400, DImageView, 6, 3, 2}, {400, DImageView, 0, 3, 0},
        {360, DImageView, 7, 3, 3}, {359, DImageView, 7, 2, 4}, {119, DImageView, 7, 1, 7},
        {50, DImageView, 7, 1, 7},  {0, DImageView, 3, 1, 3},   {400, DListView, 7, 1, 7},
        {1000, DListView, 2, 1, 2},
    };
    for (const Case &c : cases) {
        lv.Sections().Clear();
        lv.Items().Clear();
        lv.resize(c.width, 300);
        lv.SetDispose(c.dispose);
        TPtSection *s = SectionWith(c.entries);
        s->CalcGrid();
        EXPECT_EQ(s->ColCount(), c.cols) << c.width << " " << c.entries;
        EXPECT_EQ(s->RowCount(), c.rows) << c.width << " " << c.entries;
    }
}

TEST_F(ListFixture, SectionHeightAndRectangles) {
    TPtSection *a = SectionWith(7); // 3 columns, 3 rows
    TPtSection *b = SectionWith(2); // 1 row
    const int ha = 20 + 3 * (100 + 10) + 10;
    const int hb = 20 + 1 * (100 + 10) + 10;
    EXPECT_EQ(a->GetHeight(), ha);
    EXPECT_EQ(b->GetHeight(), hb);
    EXPECT_EQ(lv.GetContentHeight(), ha + hb);
    EXPECT_EQ(a->GetWidth(), 400);

    lv.Sections().SetOffsetY(-50);
    EXPECT_EQ(a->OffsetY(), -50);
    EXPECT_EQ(b->OffsetY(), -50 + ha);
    EXPECT_EQ(b->GetBoundsRect(), RectLTRB(0, -50 + ha, 400, -50 + ha + hb));
    EXPECT_EQ(b->GetTabRect(), RectLTRB(0, -50 + ha, 400, -50 + ha + 20));
    EXPECT_EQ(b->GetContentRect(), RectLTRB(0, -50 + ha + 20, 400, -50 + ha + hb));

    b->SetTabHeight(30);
    EXPECT_EQ(b->GetHeight(), hb + 10);

    // The list view layout has the same height formula.
    lv.SetDispose(DListView);
    EXPECT_EQ(a->GetHeight(), 20 + 7 * 110 + 10);
}

TEST_F(ListFixture, OffsetRule) {
    TPtSection *a = SectionWith(3);
    TPtSection *b = SectionWith(3);
    const int cases[][2] = {{15, 0}, {1, 0}, {0, 0}, {-1, -1}, {-130, -130}};
    for (const auto &c : cases) {
        lv.Sections().SetOffsetY(c[0]);
        EXPECT_EQ(lv.Sections().OffsetY(), c[1]) << c[0];
        EXPECT_EQ(a->OffsetY(), c[1]);
        EXPECT_EQ(b->OffsetY(), c[1] + a->GetHeight());
    }
    // Adding a section re-applies the offset; adding entries does not move those below.
    lv.Sections().SetOffsetY(-40);
    const int bBefore = b->OffsetY();
    TPtSection *c = lv.Sections().Add();
    EXPECT_EQ(c->OffsetY(), -40 + a->GetHeight() + b->GetHeight());
    EXPECT_EQ(c->Index(), 2);
    for (int i = 0; i < 4; ++i)
        a->Add(lv.Items().Add()->ItemIndex());
    EXPECT_EQ(b->OffsetY(), bBefore);
}

TEST_F(ListFixture, CellOfEveryLayout) {
    struct Case {
        TPtDispose dispose;
        TPtAlignMode align;
        int width;
        int offset;
        int entry;
        QRect expected; // left, top, right, bottom
    } cases[] = {
        // Packed columns: (IW + SW) * col + SW; the top margin is SW.
        {DImageView, AMNormal, 400, 0, 0, RectLTRB(20, 40, 120, 140)},
        {DImageView, AMNormal, 400, 0, 4, RectLTRB(140, 150, 240, 250)},
        {DImageView, AMNormal, 400, -100, 4, RectLTRB(140, 50, 240, 150)},
        // Stretched: pitch = nearest(400 / 3) = 133, gap 33.
        {DImageView, AMStretch, 400, 0, 0, RectLTRB(16, 40, 116, 140)},
        {DImageView, AMStretch, 400, 0, 5, RectLTRB(282, 150, 382, 250)},
        // nearest(241 / 2) = 120 and nearest(243 / 2) = 122: halves go to even.
        {DImageView, AMStretch, 241, 0, 1, RectLTRB(130, 40, 230, 140)},
        {DImageView, AMStretch, 243, 0, 1, RectLTRB(133, 40, 233, 140)},
        // Narrower than an item: one column at the left edge.
        {DImageView, AMStretch, 80, 0, 1, RectLTRB(0, 150, 100, 250)},
        // Rows: left SW / 2, top margin 5, right edge reduced by the tab height.
        {DListView, AMStretch, 400, 0, 0, RectLTRB(10, 25, 390, 125)},
        {DListView, AMNormal, 400, 0, 2, RectLTRB(10, 245, 390, 345)},
        {DListView, AMNormal, 400, -45, 2, RectLTRB(10, 200, 390, 300)},
    };
    for (const Case &c : cases) {
        lv.Sections().Clear();
        lv.Items().Clear();
        lv.resize(c.width, 300);
        lv.SetDispose(c.dispose);
        lv.SetAlignMode(c.align);
        TPtSection *s = SectionWith(6);
        lv.Sections().SetOffsetY(c.offset);
        EXPECT_EQ(s->GetCellRect(c.entry), c.expected)
            << "dispose " << c.dispose << " align " << c.align << " width " << c.width << " entry "
            << c.entry;
    }
}

TEST_F(ListFixture, ItemsCollection) {
    TPtListItem *a = lv.Items().Add();
    TPtListItem *b = lv.Items().Add();
    EXPECT_EQ(a->ItemIndex(), 0);
    EXPECT_EQ(b->ItemIndex(), 1);
    EXPECT_EQ(lv.FocusedItem(), a); // the first item becomes the focused one

    TPtListItem *front = lv.Items().AddItem(nullptr, 0);
    EXPECT_EQ(front->ItemIndex(), 0);
    EXPECT_EQ(lv.Items().IndexOf(a), 1);
    EXPECT_EQ(a->ItemIndex(), 0); // never renumbered
    EXPECT_EQ(lv.Items().GetItem(3), nullptr);
    EXPECT_EQ(lv.Items().GetItem(-1), nullptr);

    b->SetFileName(QStringLiteral("/photos/Holiday.JPG"));
    EXPECT_EQ(b->Caption(), QStringLiteral("Holiday.JPG"));
    b->SetFileName(QStringLiteral("/photos/other.jpg"));
    EXPECT_EQ(b->Caption(), QStringLiteral("Holiday.JPG")); // a caption is kept
    EXPECT_EQ(lv.Items().IndexFromFileName(QStringLiteral("/PHOTOS/OTHER.jpg")), 2);
    EXPECT_EQ(lv.Items().IndexFromFileName(QStringLiteral("/photos/none.jpg")), -1);

    TPtListItem copy(&lv.Items());
    b->SetChecked(true);
    b->SetDescription(QStringLiteral("d"));
    b->SetExtensionInt(7);
    copy.Assign(*b);
    EXPECT_EQ(copy.FileName(), b->FileName());
    EXPECT_EQ(copy.Caption(), b->Caption());
    EXPECT_TRUE(copy.Checked());
    EXPECT_TRUE(copy.Description().isEmpty());
    EXPECT_EQ(copy.ExtensionInt(), 0);

    // An item that is not in the collection is left alone.
    TPtListItem *stranger = &copy;
    lv.Items().Delete(stranger);
    EXPECT_EQ(stranger, &copy);
    EXPECT_EQ(lv.Items().Count(), 3);
}

TEST_F(ListFixture, SelectedFlagAndKeys) {
    TPtListItem *a = lv.Items().Add();
    TPtListItem *b = lv.Items().Add();
    a->SetSelected(true);
    EXPECT_EQ(lv.Selected(), a);
    EXPECT_EQ(lv.MultiSelectedItems(), QStringList{QStringLiteral("0")});
    b->SetSelected(true);
    EXPECT_FALSE(a->Selected());
    EXPECT_TRUE(b->Selected());
    EXPECT_EQ(lv.Selected(), b);
    EXPECT_EQ(lv.MultiSelectedItems(), (QStringList{QStringLiteral("0"), QStringLiteral("1")}));
    // Setting false on any item clears the single selection.
    a->SetSelected(false);
    EXPECT_EQ(lv.Selected(), nullptr);
    EXPECT_FALSE(b->Selected());
    EXPECT_EQ(lv.MultiSelectedItems(), QStringList{QStringLiteral("1")});
    lv.ClearSelection();
    EXPECT_TRUE(lv.MultiSelectedItems().isEmpty());
}

TEST_F(ListFixture, DeletingLeavesNoReferenceToTheItem) {
    TPtListItem *a = lv.Items().Add();
    TPtListItem *b = lv.Items().Add();
    TPtListItem *c = lv.Items().Add();
    b->SetMoveSelected(true);
    EXPECT_EQ(lv.MoveSelectedItem(), b);
    c->SetSelected(true);
    EXPECT_EQ(lv.FocusedItem(), a);

    TPtListItem *ref = b;
    lv.Items().Delete(ref);
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(lv.MoveSelectedItem(), nullptr);
    lv.Items().Delete(lv.Items().GetItem(0)); // the focused one
    EXPECT_EQ(lv.FocusedItem(), nullptr);
    c->Delete();
    EXPECT_EQ(lv.Selected(), nullptr);
    EXPECT_TRUE(lv.MultiSelectedItems().isEmpty());
    EXPECT_EQ(lv.Items().Count(), 0);
}

TEST_F(ListFixture, ClearEmptiesEverythingAtOnce) {
    AddItems(lv, 5);
    lv.Items().GetItem(2)->SetSelected(true);
    lv.MultiSelectedItems() << QStringLiteral("4");
    QElapsedTimer t;
    t.start();
    lv.Items().Clear();
    EXPECT_LT(t.elapsed(), 100); // no waiting for the loader
    EXPECT_EQ(lv.Items().Count(), 0);
    EXPECT_EQ(lv.Selected(), nullptr);
    EXPECT_EQ(lv.FocusedItem(), nullptr);
    EXPECT_TRUE(lv.MultiSelectedItems().isEmpty());
}

TEST_F(ListFixture, SortOnlyWithItems) {
    int sorts = 0;
    lv.OnCustomSortEvent = [&](TPtListview *sender) {
        EXPECT_EQ(sender, &lv);
        ++sorts;
    };
    TPtSection *kept = lv.Sections().Add();
    lv.Sort();
    EXPECT_EQ(sorts, 0);
    EXPECT_EQ(lv.Sections().GetSection(0), kept);
    lv.Items().Add();
    lv.Sort();
    EXPECT_EQ(sorts, 1);
}

TEST_F(ListFixture, SectionEntries) {
    TPtSection *s = SectionWith(3);
    EXPECT_EQ(s->Caption(), QStringLiteral("PT Listview"));
    EXPECT_TRUE(s->DisplayCount());
    EXPECT_EQ(s->TabColor(), QColor(0xDD, 0xDD, 0xDD));
    EXPECT_EQ(s->ContentColor(), QColor(0xE6, 0xE6, 0xE6));
    EXPECT_EQ(s->ItemAt(1), 1);
    EXPECT_EQ(s->ItemAt(3), -1);
    EXPECT_EQ(s->ItemAt(-1), -1);
    EXPECT_EQ(s->IndexOf(2), 2);
    EXPECT_EQ(s->IndexOf(9), -1);
    s->Remove(0);
    EXPECT_EQ(s->Items(), (QList<qint32>{1, 2}));
    EXPECT_EQ(lv.Items().GetItem(2)->SectionIndex(), s->Index());
    EXPECT_EQ(lv.Sections().GetSection(5), nullptr);
}

TEST_F(ListFixture, AddFileListFromPath) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = dir.path();
    for (const char *rel :
         {"b.png", "A.jpg", "noext", "sub/c.jpg", "sub/deeper/d.jpg", "zub/e.gif"}) {
        const QString path = root + u'/' + QString::fromLatin1(rel);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    // A link back up must not make the walk endless.
    QFile::link(root, root + QStringLiteral("/sub/loop"));

    const auto names = [&] {
        QStringList out;
        for (int i = 0; i < lv.Items().Count(); ++i)
            out << lv.Items().GetItem(i)->FileName().mid(root.size() + 1);
        return out;
    };
    lv.AddFileListFromPath(root, nullptr, false);
    EXPECT_EQ(names(), (QStringList{QStringLiteral("A.jpg"), QStringLiteral("b.png"),
                                    QStringLiteral("noext")}));
    lv.Items().Clear();

    const QStringList except{root + QStringLiteral("/B.PNG")};
    lv.AddFileListFromPath(root + u'/', &except, true);
    EXPECT_EQ(names(), (QStringList{QStringLiteral("A.jpg"), QStringLiteral("noext"),
                                    QStringLiteral("sub/c.jpg"), QStringLiteral("sub/deeper/d.jpg"),
                                    QStringLiteral("zub/e.gif")}));
    EXPECT_EQ(lv.Items().GetItem(0)->Caption(), QStringLiteral("A.jpg"));
}
