// The translator on a real widget tree (offscreen): applying and collecting
// texts, the exclusion rules, registration and re-translation on loading.

#include "MultiLangTestUtil.h"
#include "common/QtPrinters.h"
#include "framework/RqMultiLang.h"
#include "framework/RqMultiLangWidgets.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <ostream>

#include <memory>
#include <vector>

// A non-visual component with a text list, a read-only text and an action link.
class TTestMemo : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList Lines READ Lines WRITE SetLines)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(QString ReadOnlyText READ ReadOnlyText)
    Q_PROPERTY(QObject *Action READ Action WRITE SetAction)
public:
    using QObject::QObject;
    QStringList Lines() const { return FLines; }
    void SetLines(const QStringList &v) { FLines = v; }
    QString Caption() const { return FCaption; }
    void SetCaption(const QString &v) { FCaption = v; }
    QString ReadOnlyText() const { return QStringLiteral("fixed"); }
    QObject *Action() const { return FAction; }
    void SetAction(QObject *v) { FAction = v; }

private:
    QStringList FLines{QStringLiteral("first"), QStringLiteral("second")};
    QString FCaption = QStringLiteral("Memo");
    QObject *FAction = nullptr;
};

class TfrmTest : public QWidget {
    Q_OBJECT
public:
    explicit TfrmTest(TRqMultiLangData *data) {
        setObjectName(QStringLiteral("frmTest"));
        setWindowTitle(QStringLiteral("Test window"));
        RqMultiLang = new TRqMultiLang(this);
        RqMultiLang->setObjectName(QStringLiteral("RqMultiLang"));
        RqMultiLang->SetLanguageData(data);

        auto *layout = new QVBoxLayout(this);
        lblTitle = new QLabel(QStringLiteral("Title"), this);
        lblTitle->setObjectName(QStringLiteral("lblTitle"));
        lblTitle->setToolTip(QStringLiteral("The title"));
        btnNext = new QPushButton(QStringLiteral("&Next"), this);
        btnNext->setObjectName(QStringLiteral("btnNext"));
        // An unnamed panel: its named children still belong to the window.
        auto *panel = new QGroupBox(this);
        cbAuto = new QCheckBox(QStringLiteral("Auto"), panel);
        cbAuto->setObjectName(QStringLiteral("cbAuto"));
        cbbShareAlbum = new QComboBox(panel);
        cbbShareAlbum->setObjectName(QStringLiteral("cbbShareAlbum"));
        cbbShareAlbum->addItems(
            {QStringLiteral("Everyone"), QStringLiteral("Friends"), QStringLiteral("Only me")});
        cbbShareAlbum->setItemData(1, 42);
        edtName = new QLineEdit(QStringLiteral("typed by the user"), panel);
        edtName->setObjectName(QStringLiteral("edtName"));
        edtName->setPlaceholderText(QStringLiteral("Album name"));
        // Qt adds a named action of its own for the clear button.
        edtName->setClearButtonEnabled(true);
        tabs = new QTabWidget(this);
        tabs->setObjectName(QStringLiteral("tabs"));
        auto *page = new QWidget;
        lblOnTab = new QLabel(QStringLiteral("On tab"), page);
        lblOnTab->setObjectName(QStringLiteral("lblOnTab"));
        tabs->addTab(page, QStringLiteral("General"));
        tabs->addTab(new QWidget, QStringLiteral("More"));
        spSkinPanel1 = new QLabel(QStringLiteral("Designer name"), this);
        spSkinPanel1->setObjectName(QStringLiteral("spSkinPanel1"));
        memo = new TTestMemo(this);
        memo->setObjectName(QStringLiteral("memo"));
        auto *scroll = new QScrollArea(this);
        scroll->setObjectName(QStringLiteral("scrArea"));
        auto *scrolled = new QWidget;
        auto *lblScrolled = new QLabel(QStringLiteral("Scrolled"), scrolled);
        lblScrolled->setObjectName(QStringLiteral("lblScrolled"));
        scroll->setWidget(scrolled);
        lstFiles = new QListWidget(this);
        lstFiles->setObjectName(QStringLiteral("lstFiles"));
        lstFiles->addItems({QStringLiteral("a.jpg"), QStringLiteral("b.jpg")});
        for (QWidget *w : {static_cast<QWidget *>(lblTitle), static_cast<QWidget *>(btnNext),
                           static_cast<QWidget *>(panel), static_cast<QWidget *>(tabs),
                           static_cast<QWidget *>(spSkinPanel1)})
            layout->addWidget(w);

        // A dialog of its own and a page with its own translator: neither is
        // part of this window's section.
        dlgChild = new QDialog(this);
        dlgChild->setObjectName(QStringLiteral("dlgChild"));
        auto *dlgLabel = new QLabel(QStringLiteral("In dialog"), dlgChild);
        dlgLabel->setObjectName(QStringLiteral("lblDialog"));
        auto *subPage = new QWidget(this);
        subPage->setObjectName(QStringLiteral("subPage"));
        auto *subTranslator = new TRqMultiLang(subPage);
        subTranslator->setObjectName(QStringLiteral("RqMultiLang"));
        auto *subLabel = new QLabel(QStringLiteral("In page"), subPage);
        subLabel->setObjectName(QStringLiteral("lblPage"));
    }

    TRqMultiLang *RqMultiLang;
    QLabel *lblTitle, *lblOnTab, *spSkinPanel1;
    QPushButton *btnNext;
    QCheckBox *cbAuto;
    QComboBox *cbbShareAlbum;
    QLineEdit *edtName;
    QTabWidget *tabs;
    QListWidget *lstFiles;
    TTestMemo *memo;
    QDialog *dlgChild;
};

class TfrmOther : public QWidget {
    Q_OBJECT
public:
    explicit TfrmOther(TRqMultiLangData *data) {
        setObjectName(QStringLiteral("frmOther"));
        RqMultiLang = new TRqMultiLang(this);
        RqMultiLang->SetLanguageData(data);
        lblHello = new QLabel(QStringLiteral("Hello"), this);
        lblHello->setObjectName(QStringLiteral("lblHello"));
    }
    TRqMultiLang *RqMultiLang;
    QLabel *lblHello;
};

namespace {

class TranslateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RqMultiLangRegisterWidgetProps(); }
    void SetUp() override { form = std::make_unique<TfrmTest>(&data); }

    QStringList Section(const QString &name = QStringLiteral("TfrmTest")) {
        return SectionLines(data.CurrentData(), name);
    }
    QStringList Keys(const QString &name = QStringLiteral("TfrmTest")) {
        QStringList keys;
        for (const QString &l : Section(name))
            keys << l.left(l.indexOf(QLatin1Char('=')));
        return keys;
    }
    QStringList ComboRows() {
        QStringList rows;
        for (int i = 0; i < form->cbbShareAlbum->count(); ++i)
            rows << form->cbbShareAlbum->itemText(i);
        return rows;
    }

    TRqMultiLangData data;
    std::unique_ptr<TfrmTest> form;
};

TEST_F(TranslateTest, CollectedSectionHoldsOnlyTranslatorTexts) {
    form->RqMultiLang->UpdateData();
    EXPECT_EQ(Section(), L({
                             "frmTest.Caption=Test window",
                             "frmTest.toolTip=",
                             "lblTitle.Caption=Title",
                             "lblTitle.toolTip=The title",
                             "btnNext.Caption=&Next",
                             "btnNext.toolTip=",
                             "cbAuto.Caption=Auto",
                             "cbAuto.toolTip=",
                             "cbbShareAlbum.Items=Everyone<BR>Friends<BR>Only me<BR>",
                             "cbbShareAlbum.placeholderText=",
                             "cbbShareAlbum.toolTip=",
                             "edtName.placeholderText=Album name",
                             "edtName.toolTip=",
                             "tabs.Tabs[0].Caption=General",
                             "tabs.Tabs[0].toolTip=",
                             "tabs.Tabs[1].Caption=More",
                             "tabs.Tabs[1].toolTip=",
                             "tabs.toolTip=",
                             "lblOnTab.Caption=On tab",
                             "lblOnTab.toolTip=",
                             "spSkinPanel1.Caption=Designer name",
                             "spSkinPanel1.toolTip=",
                             "memo.Caption=Memo",
                             "memo.Lines=first<BR>second<BR>",
                             "scrArea.toolTip=",
                             "lblScrolled.Caption=Scrolled",
                             "lblScrolled.toolTip=",
                             "lstFiles.Items=a.jpg<BR>b.jpg<BR>",
                             "lstFiles.toolTip=",
                         }));
    EXPECT_EQ(form->objectName(), QStringLiteral("frmTest"));
}

TEST_F(TranslateTest, ApplyAndCollectRoundTrip) {
    const QString file = QStringLiteral("[TfrmTest]\r\n"
                                        "frmTest.Caption=Testfenster\r\n"
                                        "lblTitle.Caption=Titel\r\n"
                                        "lblTitle.toolTip=Der Titel\r\n"
                                        "btnNext.Caption=&Weiter\r\n"
                                        "cbAuto.Caption=Automatisch\r\n"
                                        "cbbShareAlbum.Items=Alle<BR>Freunde<BR>Nur ich<BR>\r\n"
                                        "edtName.placeholderText=Albumname\r\n"
                                        "tabs.Tabs[1].Caption=Mehr\r\n"
                                        "lblOnTab.Caption=Auf dem Reiter\r\n"
                                        "memo.Lines=eins<BR><BR>drei<BR>\r\n"
                                        "lblScrolled.Caption=Gerollt\r\n"
                                        "lstFiles.Items=x.jpg<BR>\r\n");
    data.LangCurrentData().LoadFromString(file);
    form->RqMultiLang->ApplyData();

    EXPECT_EQ(form->windowTitle(), QStringLiteral("Testfenster"));
    EXPECT_EQ(form->lblTitle->text(), QStringLiteral("Titel"));
    EXPECT_EQ(form->lblTitle->toolTip(), QStringLiteral("Der Titel"));
    EXPECT_EQ(form->btnNext->text(), QStringLiteral("&Weiter"));
    EXPECT_EQ(form->cbAuto->text(), QStringLiteral("Automatisch"));
    EXPECT_EQ(ComboRows(), (L({"Alle", "Freunde", "Nur ich"})));
    EXPECT_EQ(form->cbbShareAlbum->itemData(1).toInt(), 42); // rows keep their data
    EXPECT_EQ(form->edtName->placeholderText(), QStringLiteral("Albumname"));
    EXPECT_EQ(form->edtName->text(), QStringLiteral("typed by the user"));
    EXPECT_EQ(form->tabs->tabText(0), QStringLiteral("General"));
    EXPECT_EQ(form->tabs->tabText(1), QStringLiteral("Mehr"));
    EXPECT_EQ(form->lblOnTab->text(), QStringLiteral("Auf dem Reiter"));
    EXPECT_EQ(form->memo->Lines(), (L({"eins", "", "drei"})));
    EXPECT_EQ(form->findChild<QLabel *>(QStringLiteral("lblScrolled"))->text(),
              QStringLiteral("Gerollt"));
    ASSERT_EQ(form->lstFiles->count(), 1);
    EXPECT_EQ(form->lstFiles->item(0)->text(), QStringLiteral("x.jpg"));

    // Collecting the translated window gives the same texts back.
    data.LangCurrentData().ClearAll();
    form->RqMultiLang->UpdateData();
    for (const QString &line : SplitLangLines(file).mid(1))
        EXPECT_TRUE(Section().contains(line)) << qPrintable(line);
}

TEST_F(TranslateTest, ApplyReplacesTheWholeRowList) {
    data.LangCurrentData().LoadFromString(
        QStringLiteral("[TfrmTest]\ncbbShareAlbum.Items=A<BR>B<BR>\n"));
    form->RqMultiLang->ApplyData();
    EXPECT_EQ(ComboRows(), (L({"A", "B"})));
    data.LangCurrentData().LoadFromString(
        QStringLiteral("[TfrmTest]\ncbbShareAlbum.Items=A<BR>B<BR>C<BR><BR>\n"));
    form->RqMultiLang->ApplyData();
    EXPECT_EQ(ComboRows(), (L({"A", "B", "C", ""})));
}

TEST_F(TranslateTest, TreeColumnHeadersAreACollection) {
    TfrmOther other(&data);
    auto *tree = new QTreeWidget(&other);
    tree->setObjectName(QStringLiteral("tvFiles"));
    tree->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size")});
    other.RqMultiLang->UpdateData();
    const QStringList section = Section(QStringLiteral("TfrmOther"));
    EXPECT_TRUE(section.contains(QStringLiteral("tvFiles.Columns[0].Caption=Name")));
    EXPECT_TRUE(section.contains(QStringLiteral("tvFiles.Columns[1].Caption=Size")));

    // Items beyond the present columns are ignored, not added.
    data.LangCurrentData().LoadFromString(
        QStringLiteral("[TfrmOther]\n"
                       "tvFiles.Columns[1].Caption=Gr\u00f6\u00dfe\n"
                       "tvFiles.Columns[2].Caption=extra\n"));
    other.RqMultiLang->ApplyData();
    EXPECT_EQ(tree->headerItem()->text(0), QStringLiteral("Name"));
    EXPECT_EQ(tree->headerItem()->text(1), QString::fromUtf8("Gr\xC3\xB6\xC3\x9F"
                                                             "e"));
    EXPECT_EQ(tree->columnCount(), 2);
}

TEST_F(TranslateTest, KeysWithoutAWritableTextPropertyAreIgnored) {
    data.LangCurrentData().LoadFromString(QStringLiteral("[TfrmTest]\n"
                                                         "lblTitle.NoSuchProp=x\n"
                                                         "memo.ReadOnlyText=changed\n"
                                                         "lblTitle.objectName=renamed\n"
                                                         "lblTitle.Name=renamed\n"
                                                         "frmTest.objectName=renamed\n"
                                                         "nobody.Caption=x\n"
                                                         "lblTitle.text=direct\n"));
    form->RqMultiLang->ApplyData();
    EXPECT_EQ(form->memo->ReadOnlyText(), QStringLiteral("fixed"));
    EXPECT_EQ(form->lblTitle->objectName(), QStringLiteral("lblTitle"));
    EXPECT_EQ(form->objectName(), QStringLiteral("frmTest"));
    // No exclusion rule applies when applying: a key for the Qt name works too.
    EXPECT_EQ(form->lblTitle->text(), QStringLiteral("direct"));
}

TEST_F(TranslateTest, OtherWindowsInsideTheTreeAreLeftToTheirOwnTranslators) {
    data.LangCurrentData().LoadFromString(QStringLiteral("[TfrmTest]\n"
                                                         "lblDialog.Caption=changed\n"
                                                         "lblPage.Caption=changed\n"
                                                         "dlgChild.Caption=changed\n"));
    form->RqMultiLang->ApplyData();
    EXPECT_EQ(form->findChild<QLabel *>(QStringLiteral("lblDialog"))->text(),
              QStringLiteral("In dialog"));
    EXPECT_EQ(form->findChild<QLabel *>(QStringLiteral("lblPage"))->text(),
              QStringLiteral("In page"));
    EXPECT_EQ(form->dlgChild->windowTitle(), QString());
}

TEST_F(TranslateTest, LookupsFallBackToTheDefaultTableAndFillTheAppName) {
    data.SetDefaultData(SplitLangLines(QStringLiteral(
        "[AppRes]\nAppName=Lumafinch\n[TfrmTest]\nfrmTest.Caption=About {AppName}\n")));
    data.SetCurrentData(SplitLangLines(QStringLiteral("[TfrmTest]\nlblTitle.Caption=Cur\n")));
    form->RqMultiLang->ApplyData();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("About Lumafinch"));
    EXPECT_EQ(form->lblTitle->text(), QStringLiteral("Cur"));
}

TEST_F(TranslateTest, ExcludeNumberEndProps) {
    data.SetExcludeNumberEndProps(true);
    form->RqMultiLang->UpdateData();
    EXPECT_FALSE(Keys().contains(QStringLiteral("spSkinPanel1.Caption")));
    EXPECT_TRUE(Keys().contains(QStringLiteral("lblTitle.Caption")));
    // Applying is not subject to it.
    data.SetProp(QStringLiteral("TfrmTest"), QStringLiteral("spSkinPanel1"),
                 QStringLiteral("Caption"), QStringLiteral("Applied"));
    form->RqMultiLang->ApplyData();
    EXPECT_EQ(form->spSkinPanel1->text(), QStringLiteral("Applied"));
}

TEST_F(TranslateTest, ExcludeEmptyProp) {
    form->memo->SetLines({});
    data.SetExcludeEmptyProp(true);
    form->RqMultiLang->UpdateData();
    EXPECT_FALSE(Keys().contains(QStringLiteral("btnNext.toolTip")));
    EXPECT_FALSE(Keys().contains(QStringLiteral("memo.Lines")));
    EXPECT_FALSE(Keys().contains(QStringLiteral("tabs.Tabs[0].toolTip")));
    EXPECT_TRUE(Keys().contains(QStringLiteral("lblTitle.toolTip")));
}

TEST_F(TranslateTest, ExcludeWithAction) {
    QObject action;
    form->memo->SetAction(&action);
    form->RqMultiLang->UpdateData();
    EXPECT_TRUE(Keys().contains(QStringLiteral("memo.Caption"))); // the flag is off
    data.ClearForm(QStringLiteral("TfrmTest"));
    data.SetExcludeWithAction(true);
    form->RqMultiLang->UpdateData();
    EXPECT_FALSE(Keys().contains(QStringLiteral("memo.Caption")));
    form->memo->SetAction(nullptr);
    form->RqMultiLang->UpdateData();
    EXPECT_TRUE(Keys().contains(QStringLiteral("memo.Caption")));
}

struct ExcludeCase {
    const char *pattern;
    std::vector<const char *> gone;
    std::vector<const char *> kept;
};

class ExcludePatternTest : public TranslateTest,
                           public ::testing::WithParamInterface<ExcludeCase> {};

TEST_P(ExcludePatternTest, PatternExcludesExactlyItsProperties) {
    const ExcludeCase &c = GetParam();
    data.SetExcludeProps(TRqMultiLangData::DefaultExcludeProps() +
                         QStringList{QString::fromLatin1(c.pattern)});
    form->RqMultiLang->UpdateData();
    const QStringList keys = Keys();
    for (const char *k : c.gone)
        EXPECT_FALSE(keys.contains(QString::fromUtf8(k))) << c.pattern << " should exclude " << k;
    for (const char *k : c.kept)
        EXPECT_TRUE(keys.contains(QString::fromUtf8(k))) << c.pattern << " should keep " << k;
}

INSTANTIATE_TEST_SUITE_P(
    TranslateTest, ExcludePatternTest,
    ::testing::Values(
        // class + ":." + property
        ExcludeCase{"QLabel:.toolTip",
                    {"lblTitle.toolTip", "spSkinPanel1.toolTip"},
                    {"lblTitle.Caption", "btnNext.toolTip"}},
        // class + ":", also through a base class
        ExcludeCase{"QAbstractButton:",
                    {"btnNext.Caption", "btnNext.toolTip", "cbAuto.Caption"},
                    {"lblTitle.Caption"}},
        ExcludeCase{"TTestMemo:", {"memo.Caption", "memo.Lines"}, {"lblTitle.Caption"}},
        // ":" + type
        ExcludeCase{":TStrings", {"memo.Lines", "cbbShareAlbum.Items"}, {"memo.Caption"}},
        ExcludeCase{":QString", {"memo.Caption", "lblTitle.Caption"}, {"memo.Lines"}},
        // component + ".." + property
        ExcludeCase{
            "btnNext..toolTip", {"btnNext.toolTip"}, {"btnNext.Caption", "lblTitle.toolTip"}},
        // component + "."
        ExcludeCase{"lblTitle.", {"lblTitle.Caption", "lblTitle.toolTip"}, {"btnNext.Caption"}},
        ExcludeCase{"frmTest.", {"frmTest.Caption"}, {"lblTitle.Caption"}},
        // "." + property, without letter case
        ExcludeCase{".PLACEHOLDERTEXT",
                    {"edtName.placeholderText", "cbbShareAlbum.placeholderText"},
                    {"edtName.toolTip"}},
        ExcludeCase{".Tabs", {"tabs.Tabs[0].Caption"}, {"tabs.toolTip"}}));

TEST_F(TranslateTest, WithoutExclusionsQtNamesAreCollectedToo) {
    data.SetExcludeProps({});
    form->RqMultiLang->UpdateData();
    const QStringList keys = Keys();
    EXPECT_TRUE(keys.contains(QStringLiteral("edtName.text")));
    EXPECT_TRUE(keys.contains(QStringLiteral("lblTitle.styleSheet")));
    EXPECT_FALSE(keys.contains(QStringLiteral("lblTitle.objectName")));
    EXPECT_FALSE(keys.contains(QStringLiteral("memo.ReadOnlyText")));
}

TEST_F(TranslateTest, CollectingKeepsOldEntriesUnlessClearedFirst) {
    data.SetProp(QStringLiteral("TfrmTest"), QStringLiteral("gone"), QStringLiteral("Caption"),
                 QStringLiteral("stale"));
    form->RqMultiLang->UpdateData();
    EXPECT_TRUE(Keys().contains(QStringLiteral("gone.Caption")));
    TRqMultiLang::CollectWindowTexts(form.get(), &data);
    EXPECT_FALSE(Keys().contains(QStringLiteral("gone.Caption")));
    EXPECT_TRUE(Keys().contains(QStringLiteral("lblTitle.Caption")));

    // A window without a translator of its own is collected through a temporary one.
    QWidget bare;
    auto *lbl = new QLabel(QStringLiteral("Bare"), &bare);
    lbl->setObjectName(QStringLiteral("lblBare"));
    TRqMultiLang::CollectWindowTexts(&bare, &data);
    EXPECT_TRUE(
        Section(QStringLiteral("QWidget")).contains(QStringLiteral("lblBare.Caption=Bare")));
    EXPECT_EQ(data.Clients().size(), 1); // the temporary one never registered
}

TEST_F(TranslateTest, OnChangeLanguageAfterEachApply) {
    form->RqMultiLang->ApplyData(); // no handler: nothing to call
    int calls = 0;
    QObject *sender = nullptr;
    QString titleSeen;
    form->RqMultiLang->OnChangeLanguage = [&](QObject *s) {
        ++calls;
        sender = s;
        titleSeen = form->lblTitle->text();
    };
    data.SetProp(QStringLiteral("TfrmTest"), QStringLiteral("lblTitle"), QStringLiteral("Caption"),
                 QStringLiteral("Applied"));
    form->RqMultiLang->ApplyData();
    form->RqMultiLang->ApplyData();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(sender, form->RqMultiLang);
    EXPECT_EQ(titleSeen, QStringLiteral("Applied"));
}

TEST_F(TranslateTest, LoadedRegistersAndAppliesWhenAutoApply) {
    data.SetProp(QStringLiteral("TfrmOther"), QStringLiteral("lblHello"), QStringLiteral("Caption"),
                 QStringLiteral("Hallo"));
    data.SetAutoApply(false);
    TfrmOther quiet(&data);
    quiet.RqMultiLang->Loaded();
    EXPECT_EQ(quiet.lblHello->text(), QStringLiteral("Hello"));
    data.SetAutoApply(true);
    TfrmOther other(&data);
    other.RqMultiLang->Loaded();
    other.RqMultiLang->Loaded();
    EXPECT_EQ(other.lblHello->text(), QStringLiteral("Hallo"));
    EXPECT_EQ(data.Clients().size(), 3);
}

TEST_F(TranslateTest, LoadCurrentFromFileRetranslatesEveryRegisteredWindow) {
    TfrmOther other(&data);
    form->RqMultiLang->Loaded();
    other.RqMultiLang->Loaded();
    int changes = 0;
    form->RqMultiLang->OnChangeLanguage = [&](QObject *) { ++changes; };
    other.RqMultiLang->OnChangeLanguage = [&](QObject *) { ++changes; };

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("de.lan"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(
            "[TfrmTest]\r\nlblTitle.Caption=Titel\r\n[TfrmOther]\r\nlblHello.Caption=Hallo\r\n");
    }
    data.LoadCurrentFromFile(path);
    EXPECT_EQ(form->lblTitle->text(), QStringLiteral("Titel"));
    EXPECT_EQ(other.lblHello->text(), QStringLiteral("Hallo"));
    EXPECT_EQ(changes, 2);

    // A missing file changes nothing and translates nothing.
    EXPECT_THROW(data.LoadCurrentFromFile(dir.filePath(QStringLiteral("missing.lan"))),
                 TRqLangFileError);
    EXPECT_EQ(changes, 2);
    QString v;
    EXPECT_TRUE(data.GetProp(QStringLiteral("TfrmOther"), QStringLiteral("lblHello"),
                             QStringLiteral("Caption"), v));
    EXPECT_EQ(v, QStringLiteral("Hallo"));
}

TEST_F(TranslateTest, AHandlerMayCloseAnotherWindowWhileAllAreRetranslated) {
    // Re-translating every window runs each window's handler; one that closes
    // a later window must not leave a freed translator in the walk.
    auto first = std::make_unique<TfrmOther>(&data);
    auto second = std::make_unique<TfrmOther>(&data);
    auto third = std::make_unique<TfrmOther>(&data);
    int thirdChanges = 0;
    first->RqMultiLang->OnChangeLanguage = [&](QObject *) { second.reset(); };
    third->RqMultiLang->OnChangeLanguage = [&](QObject *) { ++thirdChanges; };
    data.SetProp(QStringLiteral("TfrmOther"), QStringLiteral("lblHello"), QStringLiteral("Caption"),
                 QStringLiteral("Hallo"));
    data.ApplyClients();
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(third->lblHello->text(), QStringLiteral("Hallo"));
    EXPECT_EQ(thirdChanges, 1);
    EXPECT_EQ(data.Clients().size(), 3); // the fixture's window, first and third
}

TEST_F(TranslateTest, RegistrationFollowsTheLinkAndTheLifetime) {
    TRqMultiLangData second;
    {
        TfrmOther other(&data);
        EXPECT_TRUE(data.Clients().contains(other.RqMultiLang));
        other.RqMultiLang->SetLanguageData(&second);
        EXPECT_FALSE(data.Clients().contains(other.RqMultiLang));
        EXPECT_EQ(second.Clients(), QList<TRqMultiLang *>{other.RqMultiLang});
    }
    EXPECT_TRUE(second.Clients().isEmpty()); // destroyed translators unregister

    // A translator outliving its data component loses the link, nothing more.
    auto doomed = std::make_unique<TRqMultiLangData>();
    TfrmOther orphan(doomed.get());
    doomed.reset();
    EXPECT_EQ(orphan.RqMultiLang->LanguageData(), nullptr);
    orphan.RqMultiLang->ApplyData();
    orphan.RqMultiLang->UpdateData();
    EXPECT_EQ(orphan.lblHello->text(), QStringLiteral("Hello"));
}

TEST_F(TranslateTest, ClearClientsErasesEachWindowSection) {
    TfrmOther other(&data);
    data.UpdateClients();
    EXPECT_FALSE(Section(QStringLiteral("TfrmOther")).isEmpty());
    EXPECT_FALSE(Section().isEmpty());
    data.ClearClients();
    data.UpdateData();
    EXPECT_TRUE(Section(QStringLiteral("TfrmOther")).isEmpty());
    EXPECT_TRUE(Section().isEmpty());
}

} // namespace

#include "test_multilang_translate.moc"
