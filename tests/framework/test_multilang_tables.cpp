// Language tables: parsing, escapes, lookups through both tables, sorting,
// saving and loading, the built-in English tables.

#include "MultiLangTestUtil.h"
#include "common/QtPrinters.h"
#include "framework/RqMultiLang.h"
#include "framework/RqMultiLangLan.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <ostream>

#include <optional>
#include <vector>

namespace {

QString S(const char *utf8) {
    return QString::fromUtf8(utf8);
}

QByteArray ReadBytes(const QString &path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

void WriteBytes(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

std::optional<QString> Lookup(TRqMultiLangLan &t, const char *form, const char *comp,
                              const char *prop) {
    QString v = QStringLiteral("untouched");
    if (!t.GetProp(S(form), S(comp), S(prop), v)) {
        EXPECT_EQ(v, QStringLiteral("untouched")) << "a miss must leave the value alone";
        return std::nullopt;
    }
    return v;
}

// ----- parsing ---------------------------------------------------------------

struct ParseCase {
    const char *name;
    const char *text;
    const char *form, *comp, *prop;
    std::optional<const char *> expected;
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, LooksUp) {
    const ParseCase &c = GetParam();
    TRqMultiLangLan t;
    t.LoadFromString(S(c.text));
    const auto got = Lookup(t, c.form, c.comp, c.prop);
    if (c.expected)
        EXPECT_EQ(got, std::optional<QString>(S(*c.expected)));
    else
        EXPECT_EQ(got, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    RqMultiLangLan, ParseTest,
    ::testing::Values(
        ParseCase{"trims_blanks", "[A]\n  \t key  =   two words  \t\n", "A", "", "key",
                  "two words"},
        ParseCase{"sp_keeps_outer_blank", "[A]\nkey=<SP>x<SP>\n", "A", "", "key", " x "},
        ParseCase{"sp_any_case", "[A]\nkey=<sp>a<Sp>b\n", "A", "", "key", " a b"},
        ParseCase{"br_any_case", "[A]\nkey=a<br>b<Br>c<BR>\n", "A", "", "key", "a\r\nb\r\nc\r\n"},
        ParseCase{"component_key", "[TfrmX]\nbtnOk.Caption=OK\n", "tfrmx", "BTNOK", "caption",
                  "OK"},
        ParseCase{"keys_without_case", "[AppRes]\nMsgBox.Quit=Q\n", "APPRES", "", "msgbox.QUIT",
                  "Q"},
        ParseCase{"empty_value_found", "[A]\nkey=\n", "A", "", "key", ""},
        ParseCase{"value_keeps_later_equals", "[A]\nkey=a=b\n", "A", "", "key", "a=b"},
        ParseCase{"comment_skipped", "[A]\n;key=v\n", "A", "", ";key", std::nullopt},
        ParseCase{"indented_comment_skipped", "[A]\n   ;key=v\n", "A", "", ";key", std::nullopt},
        ParseCase{"line_before_first_section_dropped", "key=v\n[A]\nother=w\n", "A", "", "key",
                  std::nullopt},
        ParseCase{"section_name_trimmed", "[  My Sec  ]\nk=v\n", "My Sec", "", "k", "v"},
        ParseCase{"duplicate_section_first_wins", "[A]\nk=1\n[B]\n[a]\nk=2\nj=3\n", "A", "", "k",
                  "1"},
        ParseCase{"duplicate_section_second_unseen", "[A]\nk=1\n[a]\nk=2\nj=3\n", "A", "", "j",
                  std::nullopt},
        ParseCase{"duplicate_key_first_wins", "[A]\nk=1\nK=2\n", "A", "", "k", "1"},
        ParseCase{"entry_without_equals_unfound", "[A]\njust a line\n", "A", "", "just a line",
                  std::nullopt},
        ParseCase{"lone_cr_line_ends", "[A]\rk=v\rj=w", "A", "", "j", "w"},
        ParseCase{"crlf_line_ends", "[A]\r\nk=v\r\n", "A", "", "k", "v"},
        ParseCase{"missing_section", "[A]\nk=v\n", "B", "", "k", std::nullopt},
        ParseCase{"ideographic_space_kept", "[A]\nk=\xE4\xB8\xAD\xE3\x80\x80\n", "A", "", "k",
                  "\xE4\xB8\xAD\xE3\x80\x80"}),
    [](const auto &info) { return std::string(info.param.name); });

// ----- escapes -------------------------------------------------------------

struct EncodeCase {
    const char *name;
    const char *plain;
    const char *encoded;
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, EncodesAndSurvivesAFileRoundTrip) {
    const EncodeCase &c = GetParam();
    EXPECT_EQ(EncodeLangText(S(c.plain)), S(c.encoded));

    TRqMultiLangLan writer;
    writer.SetProp(QStringLiteral("A"), QString(), QStringLiteral("k"), S(c.plain));
    TRqMultiLangLan reader;
    reader.LoadFromString(writer.ToString());
    // Every line break reads back as CR LF; everything else exactly.
    QString expected = S(c.plain);
    expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    expected.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    expected.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    EXPECT_EQ(Lookup(reader, "A", "", "k"), std::optional<QString>(expected));
}

INSTANTIATE_TEST_SUITE_P(
    RqMultiLangLan, EncodeTest,
    ::testing::Values(EncodeCase{"plain", "Just on wall.", "Just on wall."},
                      EncodeCase{"crlf", "a\r\nb", "a<BR>b"},
                      EncodeCase{"lone_cr_and_lone_lf", "a\rb\nc", "a<BR>b<BR>c"},
                      EncodeCase{"text_list", "x\r\ny\r\n\r\n", "x<BR>y<BR><BR>"},
                      EncodeCase{"inner_blanks_unescaped", "a  b", "a  b"},
                      EncodeCase{"leading_blank", " x", "<SP>x"},
                      EncodeCase{"trailing_blanks", "x  ", "x<SP><SP>"},
                      EncodeCase{"only_blanks", "   ", "<SP><SP><SP>"},
                      EncodeCase{"empty", "", ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(RqMultiLangLan, DecodeReplacesBreaksBeforeBlanks) {
    EXPECT_EQ(DecodeLangText(QStringLiteral("a<bR>b<sP>c")), QStringLiteral("a\r\nb c"));
}

// ----- keeping lines and sections in step ------------------------------------

TEST(RqMultiLangLan, LinesAndSectionsFollowEachOtherLazily) {
    TRqMultiLangLan t;
    EXPECT_TRUE(t.ToApply());
    t.LoadFromString(QStringLiteral("[A]\nk=v\n[B]\nj=w\n"));
    EXPECT_FALSE(t.ToApply());

    // New lines are parsed only when a reader needs them.
    t.SetData({QStringLiteral("[A]"), QStringLiteral("k=new")});
    EXPECT_TRUE(t.ToApply());
    EXPECT_EQ(Lookup(t, "A", "", "k"), std::optional<QString>(QStringLiteral("new")));
    EXPECT_FALSE(t.ToApply());

    // SetProp rebuilds the lines at once; a new key goes to the end of its section,
    // a new section to the end of the table.
    t.SetProp(QStringLiteral("A"), QStringLiteral("btn"), QStringLiteral("Caption"),
              QStringLiteral("Go\r\nnow"));
    t.SetProp(QStringLiteral("a"), QString(), QStringLiteral("K"), QStringLiteral("replaced"));
    t.SetProp(QStringLiteral("C"), QString(), QStringLiteral("z"), QStringLiteral("1"));
    EXPECT_FALSE(t.Modified());
    EXPECT_EQ(t.Data(), (L({"[A]", "k=replaced", "btn.Caption=Go<BR>now", "", "[C]", "z=1", ""})));
    EXPECT_EQ(t.ToString(), QStringLiteral("[A]\r\nk=replaced\r\nbtn.Caption=Go<BR>now\r\n\r\n"
                                           "[C]\r\nz=1\r\n\r\n"));

    // ClearForm changes the sections; the lines follow at the next UpdateData.
    t.ClearForm(QStringLiteral("a"));
    EXPECT_TRUE(t.Modified());
    EXPECT_EQ(Lookup(t, "A", "", "k"), std::nullopt);
    EXPECT_EQ(t.Data().first(), QStringLiteral("[A]"));
    t.UpdateData();
    EXPECT_EQ(t.Data(), (L({"[C]", "z=1", ""})));
}

TEST(RqMultiLangLan, NewLinesWinOverPendingSectionChanges) {
    // Lines assigned after a change that has not reached the lines yet are the
    // newer state: rebuilding must not bring the old sections back over them.
    TRqMultiLangLan t;
    t.LoadFromString(QStringLiteral("[A]\nk=old\n[B]\nj=w\n"));
    t.ClearForm(QStringLiteral("B"));
    t.SetData({QStringLiteral("[A]"), QStringLiteral("k=new")});
    t.UpdateData();
    EXPECT_EQ(t.Data(), (L({"[A]", "k=new"})));
    EXPECT_EQ(Lookup(t, "A", "", "k"), std::optional<QString>(QStringLiteral("new")));
}

TEST(RqMultiLangLan, SectionStringsTakeLaterValuesAndDropEmptyOnes) {
    // Unlike a single lookup (first entry wins), the whole-section read lets a
    // later entry replace an earlier one of its key, and an empty value remove it.
    TRqMultiLangLan t;
    t.LoadFromString(QStringLiteral("[A]\na=1\nb=2\na=3\nB=\nloose line\nc=x<BR>y\n"
                                    "[a]\nd=4\n"));
    QStringList sl;
    t.GetSectionStrings(QStringLiteral("a"), sl);
    EXPECT_EQ(sl, (L({"a=3", "c=x\r\ny"})));
    EXPECT_EQ(Lookup(t, "A", "", "a"), std::optional<QString>(QStringLiteral("1")));
}

TEST(RqMultiLangLan, ClearAllFormKeepsReservedSections) {
    TRqMultiLangLan t;
    t.LoadFromString(
        QStringLiteral("[TfrmA]\na=1\n[info]\nLanguage=X\n[BasicRes]\nb=1\n"
                       "[SkinRes]\ns=1\n[TfrmB]\nb=2\n[LibRes]\nl=1\n[AppRes]\np=1\n"));
    t.ClearAllForm();
    EXPECT_EQ(t.SectionNames(), (L({"info", "BasicRes", "SkinRes", "LibRes", "AppRes"})));
    EXPECT_FALSE(t.Data().contains(QStringLiteral("[TfrmA]")));
    t.ClearAll();
    EXPECT_TRUE(t.SectionNames().isEmpty());
    EXPECT_TRUE(t.Data().isEmpty());
}

TEST(RqMultiLangLan, AssignToCopiesTheLinesAndParses) {
    TRqMultiLangLan a;
    TRqMultiLangLan b;
    a.LoadFromString(QStringLiteral("[A]\nk=v\n"));
    b.LoadFromString(QStringLiteral("[B]\nj=w\n"));
    a.AssignTo(&b);
    a.AssignTo(nullptr); // not a table: nothing happens
    EXPECT_FALSE(b.ToApply());
    EXPECT_EQ(Lookup(b, "A", "", "k"), std::optional<QString>(QStringLiteral("v")));
    EXPECT_EQ(Lookup(b, "B", "", "j"), std::nullopt);
}

// ----- sorting -------------------------------------------------------------

struct SortCase {
    const char *name;
    const char *input;
    std::vector<const char *> expected;
};

class SortTest : public ::testing::TestWithParam<SortCase> {};

TEST_P(SortTest, SortsAsSaved) {
    TRqMultiLangLan t;
    t.LoadFromString(S(GetParam().input));
    t.SortData();
    QStringList expected;
    for (const char *line : GetParam().expected)
        expected << QString::fromUtf8(line);
    EXPECT_EQ(t.Data(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    RqMultiLangLan, SortTest,
    ::testing::Values(
        SortCase{"info_before_appres",
                 "[AppRes]\nb=2\na=1\n[Info]\nVersion=1\nLanguage=X\n",
                 {"[Info]", "Version=1", "Language=X", "", "[AppRes]", "a=1", "b=2", ""}},
        SortCase{"no_reserved_added",
                 "[TfrmB]\nx=1\n[tfrmA]\ny=2\n",
                 {"[tfrmA]", "y=2", "", "[TfrmB]", "x=1", ""}},
        SortCase{"reserved_order",
                 "[TfrmZ]\nz=1\n[AppRes]\np=1\n[LibRes]\nl=1\n[SkinRes]\ns=1\n[BasicRes]\nb=1\n"
                 "[Info]\nLanguage=X\n[TfrmA]\nB.Caption=2\na.Caption=1\n",
                 {"[Info]",
                  "Language=X",
                  "",
                  "[BasicRes]",
                  "b=1",
                  "",
                  "[SkinRes]",
                  "s=1",
                  "",
                  "[LibRes]",
                  "l=1",
                  "",
                  "[AppRes]",
                  "p=1",
                  "",
                  "[TfrmA]",
                  "a.Caption=1",
                  "B.Caption=2",
                  "",
                  "[TfrmZ]",
                  "z=1",
                  ""}},
        SortCase{"reserved_name_spelled_canonically", "[appres]\np=1\n", {"[AppRes]", "p=1", ""}},
        SortCase{
            "duplicate_keys_merged_last_value", "[A]\nk=2\nb=0\nK=1\n", {"[A]", "b=0", "K=2", ""}},
        SortCase{"duplicate_section_first_only", "[A]\nk=1\n[a]\nk=2\nj=3\n", {"[A]", "k=1", ""}},
        SortCase{"empty_sections_dropped", "[Info]\n[A]\n[B]\nk=1\n", {"[B]", "k=1", ""}},
        SortCase{"line_without_equals_kept",
                 "[A]\nz=1\nloose line\n",
                 {"[A]", "loose line", "z=1", ""}}),
    [](const auto &info) { return std::string(info.param.name); });

// ----- files ---------------------------------------------------------------

TEST(RqMultiLangLan, ChineseAndCyrillicSurviveSaveAndLoad) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("zh.lan"));
    const QString chinese = S("\xE8\xAF\xB7\xE9\x80\x89\xE6\x8B\xA9\xE4\xB8\x80\xE4\xB8\xAA"
                              "\xE7\x9B\xB8\xE5\x86\x8C\xE3\x80\x82");
    const QString cyrillic = S("\xD0\x92\xD1\x8B\xD0\xB1\xD0\xB5\xD1\x80\xD0\xB8\xD1\x82\xD0\xB5 "
                               "\xD0\xB0\xD0\xBB\xD1\x8C\xD0\xB1\xD0\xBE\xD0\xBC");
    TRqMultiLangLan t;
    t.SetProp(QStringLiteral("Info"), QString(), QStringLiteral("Language"), chinese);
    t.SetProp(QStringLiteral("AppRes"), QString(), QStringLiteral("Album.Caption"), chinese);
    t.SetProp(QStringLiteral("TfrmAlbum"), QStringLiteral("lblTitle"), QStringLiteral("Caption"),
              cyrillic + QStringLiteral("\r\n") + chinese);
    t.SaveToFile(path);
    EXPECT_TRUE(ReadBytes(path).startsWith("\xEF\xBB\xBF"));

    TRqMultiLangLan back;
    back.LoadFromFile(path);
    EXPECT_EQ(Lookup(back, "info", "", "Language"), std::optional<QString>(chinese));
    EXPECT_EQ(Lookup(back, "AppRes", "", "Album.Caption"), std::optional<QString>(chinese));
    EXPECT_EQ(Lookup(back, "TfrmAlbum", "lblTitle", "Caption"),
              std::optional<QString>(cyrillic + QStringLiteral("\r\n") + chinese));
}

TEST(RqMultiLangLan, LatinTextIsWrittenAsIso88591WithoutMark) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("de.lan"));
    TRqMultiLangLan t;
    t.SetProp(QStringLiteral("AppRes"), QString(), QStringLiteral("k"),
              S("Gr\xC3\xB6\xC3\x9F"
                "e"));
    t.SaveToFile(path);
    EXPECT_EQ(ReadBytes(path), QByteArray("[AppRes]\r\nk=Gr\xF6\xDF"
                                          "e\r\n\r\n"));
}

struct ReadCase {
    const char *name;
    QByteArray bytes;
};

class ReadEncodingTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadEncodingTest, ReadsByMark) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.lan"));
    WriteBytes(path, GetParam().bytes);
    TRqMultiLangLan t;
    t.LoadFromFile(path);
    EXPECT_EQ(Lookup(t, "A", "", "k"), std::optional<QString>(S("\xC3\xA9t\xC3\xA9")));
}

QByteArray Utf16(const QString &s, bool bigEndian) {
    QByteArray out(bigEndian ? "\xFE\xFF" : "\xFF\xFE", 2);
    for (QChar c : s) {
        const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
        out.append(bigEndian ? hi : lo).append(bigEndian ? lo : hi);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    RqMultiLangLan, ReadEncodingTest,
    ::testing::Values(ReadCase{"latin1", QByteArray("[A]\r\nk=\xE9t\xE9\r\n")},
                      ReadCase{"utf8_bom", QByteArray("\xEF\xBB\xBF[A]\nk=\xC3\xA9t\xC3\xA9\n")},
                      ReadCase{"utf16le_bom", Utf16(S("[A]\r\nk=\xC3\xA9t\xC3\xA9\r\n"), false)},
                      ReadCase{"utf16be_bom", Utf16(S("[A]\r\nk=\xC3\xA9t\xC3\xA9\r\n"), true)}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(RqMultiLangLan, UnreadableFilesRaiseAndKeepTheTable) {
    QTemporaryDir dir;
    const QStringList bad = {dir.filePath(QStringLiteral("missing.lan")), dir.path()};
    for (const QString &path : bad) {
        TRqMultiLangLan t;
        t.LoadFromString(QStringLiteral("[A]\nk=v\n"));
        try {
            t.LoadFromFile(path);
            ADD_FAILURE() << "no error for " << qPrintable(path);
        } catch (const TRqLangFileError &e) {
            EXPECT_EQ(e.FileName(), path);
            EXPECT_FALSE(e.Reason().isEmpty());
            EXPECT_TRUE(QString::fromLocal8Bit(e.what()).contains(path));
        }
        EXPECT_EQ(Lookup(t, "A", "", "k"), std::optional<QString>(QStringLiteral("v")));
        EXPECT_EQ(t.Data(), (L({"[A]", "k=v"})));
    }
}

TEST(RqMultiLangLan, UnwritablePlaceRaisesAndLeavesTheOldFile) {
    QTemporaryDir dir;
    TRqMultiLangLan t;
    t.LoadFromString(QStringLiteral("[A]\nk=v\n"));
    EXPECT_THROW(t.SaveToFile(dir.filePath(QStringLiteral("no/such/folder/x.lan"))),
                 TRqLangFileError);
    EXPECT_THROW(t.SaveToFile(dir.path()), TRqLangFileError);
    EXPECT_TRUE(QDir(dir.path()).exists());
}

// ----- lookups through both tables -----------------------------------------

class LangDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        data.SetCurrentData(SplitLangLines(QStringLiteral(
            "[Info]\nLanguage=Deutsch\nTranslator=Jo\nVersion=2.0\n"
            "[AppRes]\nAppName=Lumafinch {AppName}\nMsgBox.Quit=Quit {appname}?\nEmpty=\n"
            "[LibRes]\nTfrmRqAboutForm.Caption=About {AppName}\n"
            "[ResString]\nHello=Hallo\n")));
        data.SetDefaultData(SplitLangLines(QStringLiteral(
            "[AppRes]\nAppName=Default name\nEmpty=from default\nOnlyDefault=d {AppName}\n"
            "[LibRes]\nUpdate.Connecting=Connecting...\n")));
    }
    std::optional<QString> Get(const char *form, const char *prop) {
        QString v = QStringLiteral("untouched");
        if (!data.GetProp(S(form), QString(), S(prop), v)) {
            EXPECT_EQ(v, QStringLiteral("untouched"));
            return std::nullopt;
        }
        return v;
    }
    TRqMultiLangData data;
};

TEST_F(LangDataTest, CurrentTableWinsOverDefault) {
    EXPECT_EQ(Get("LibRes", "Update.Connecting"), QStringLiteral("Connecting..."));
    EXPECT_EQ(Get("AppRes", "Empty"), QString()); // empty current value hides the default
    EXPECT_EQ(Get("AppRes", "Missing"), std::nullopt);
    EXPECT_EQ(data.CurrentLanguage(), QStringLiteral("Deutsch"));
    EXPECT_EQ(data.CurrentLanguageTranslator(), QStringLiteral("Jo"));
    EXPECT_EQ(data.CurrentVersion(), QStringLiteral("2.0"));
}

TEST_F(LangDataTest, AppNameFilledEverywhereButInItself) {
    EXPECT_EQ(Get("AppRes", "AppName"), QStringLiteral("Lumafinch {AppName}"));
    EXPECT_EQ(data.AppName(), QStringLiteral("Lumafinch {AppName}"));
    EXPECT_EQ(Get("appres", "appname"), QStringLiteral("Lumafinch {AppName}"));
    EXPECT_EQ(Get("AppRes", "MsgBox.Quit"), QStringLiteral("Quit Lumafinch {AppName}?"));
    EXPECT_EQ(Get("LibRes", "TfrmRqAboutForm.Caption"),
              QStringLiteral("About Lumafinch {AppName}"));
    EXPECT_EQ(Get("AppRes", "OnlyDefault"), QStringLiteral("d Lumafinch {AppName}"));
}

TEST_F(LangDataTest, AppNameIsKnownBeforeAnyoneAsks) {
    // A lookup right after the tables were set fills the name, not empty text.
    TRqMultiLangData fresh;
    fresh.SetCurrentData({QStringLiteral("[AppRes]"), QStringLiteral("AppName=X"),
                          QStringLiteral("T=About {AppName}")});
    QString v;
    ASSERT_TRUE(fresh.GetProp(QStringLiteral("AppRes"), QString(), QStringLiteral("T"), v));
    EXPECT_EQ(v, QStringLiteral("About X"));
}

TEST_F(LangDataTest, SectionStringsMergeBothTablesWithoutEmptyValues) {
    QStringList sl = {QStringLiteral("MsgBox.Quit=kept by caller")};
    data.GetSectionStrings(QStringLiteral("AppRes"), sl);
    EXPECT_EQ(sl, (L({"MsgBox.Quit=kept by caller", "AppName=Lumafinch {AppName}",
                      "Empty=from default", "OnlyDefault=d {AppName}"})));
}

TEST_F(LangDataTest, ResStringFallsBackToTheName) {
    TRqMultiLang translator(nullptr);
    EXPECT_EQ(translator.GetResString(QStringLiteral("Hello")), QStringLiteral("Hello"));
    translator.SetLanguageData(&data);
    EXPECT_EQ(translator.GetResString(QStringLiteral("hello")), QStringLiteral("Hallo"));
    EXPECT_EQ(translator.GetResString(QStringLiteral("No such text")),
              QStringLiteral("No such text"));
    EXPECT_EQ(translator.Language(), QStringLiteral("Deutsch"));
}

TEST_F(LangDataTest, SetPropAndClearActOnTheCurrentTableOnly) {
    data.SetProp(QStringLiteral("TfrmA"), QStringLiteral("lbl"), QStringLiteral("Caption"),
                 QStringLiteral("x"));
    EXPECT_TRUE(data.CurrentData().contains(QStringLiteral("lbl.Caption=x")));
    EXPECT_FALSE(data.DefaultData().contains(QStringLiteral("lbl.Caption=x")));
    data.ClearCurrentAll();
    EXPECT_EQ(Get("AppRes", "Empty"), QStringLiteral("from default"));
    EXPECT_EQ(data.AppName(), QStringLiteral("Default name"));
    data.DefaultToCurrent();
    EXPECT_EQ(data.CurrentData(), data.DefaultData());
}

TEST_F(LangDataTest, LoadingAFileReplacesTheTableAndTheName) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fr.lan"));
    WriteBytes(path, "[AppRes]\r\nAppName=Mon appli\r\nMsgBox.Quit=Quitter {AppName} ?\r\n");
    data.LoadCurrentFromFile(path);
    EXPECT_EQ(Get("AppRes", "MsgBox.Quit"), QStringLiteral("Quitter Mon appli ?"));
    EXPECT_EQ(data.CurrentLanguage(), QString());

    EXPECT_THROW(data.LoadCurrentFromFile(dir.filePath(QStringLiteral("gone.lan"))),
                 TRqLangFileError);
    EXPECT_THROW(data.LoadDefaultFromFile(dir.filePath(QStringLiteral("gone.lan"))),
                 TRqLangFileError);
    EXPECT_EQ(Get("AppRes", "MsgBox.Quit"), QStringLiteral("Quitter Mon appli ?"));
    EXPECT_EQ(Get("LibRes", "Update.Connecting"), QStringLiteral("Connecting..."));

    const QString saved = dir.filePath(QStringLiteral("saved.lan"));
    data.SaveCurrentToFile(saved);
    EXPECT_EQ(ReadBytes(saved),
              QByteArray("[AppRes]\r\nAppName=Mon appli\r\nMsgBox.Quit=Quitter {AppName} "
                         "?\r\n\r\n"));
}

// ----- the built-in tables -------------------------------------------------

QStringList Section(TRqMultiLangLan &t, const char *name) {
    QStringList sl;
    t.GetSectionStrings(S(name), sl);
    return sl;
}

// The stored lines of one section, as they stand in the table's text.
QStringList StoredSection(const TRqMultiLangLan &t, const QString &name) {
    return SectionLines(t.Data(), name);
}

TEST(RqMultiLangBuiltin, AppResAndLibResHoldExactlyTheShippedTexts) {
    struct Text {
        const char *line;
        bool inDefault;
    };
    const std::vector<Text> appRes = {
        {"Account.Add=Click here to login a new account.", false},
        {"Account.Loading=Loading account info...", false},
        {"Album.Caption=Please select an album to upload.", false},
        {"Album.Create=Click here to create a new album.", false},
        {"Album.Loading=Loading...", false},
        {"Album.Wall=Just on wall.", false},
        {"AppName=Lumafinch for Facebook", true},
        {"MsgBox.Account=Please select a Facebook account.", false},
        {"MsgBox.Album=Please select where to publish.", false},
        {"MsgBox.AlbumFull=This album is full. Please select another album or create a new one.",
         false},
        {"MsgBox.CreateAlbum=Please input an album name at least.", false},
        {"MsgBox.DeleteAccount=Are you sure to delete this account?", true},
        {"MsgBox.Photo=Please select one photo at least.", false},
        {"MsgBox.Quit=Are you sure to quit the uploading?", false},
        {"MsgBox.UploadMore=Would you like to upload more files?", true},
        {"MsgBox.Video=Please select one video at least.", false},
        {"Photos.AddPhotos.Caption=Click here to select photos to upload or drag photos here",
         false},
        {"Photos.Description=(Click to edit this description.)", false},
        {"Video.AddVideos.Caption=Click here to select videos to upload or drag videos here",
         false},
        {"Video.Description=(Click to add a description.)", false},
    };
    const std::vector<Text> libRes = {
        {"btnOk.Caption=&Ok", false},
        {"cbAutoCheckUpdate.Caption=&Automatically Check for Update", false},
        {"lblSupport.Caption=Support", false},
        {"STR_GETMORE=Get More", false},
        {"TfrmRqAboutForm.Caption=About {AppName}", true},
        {"TfrmRqAboutForm.CopyRightLine1={AppName}", true},
        {"TfrmRqAboutForm.CopyRightLine2=Version : {1}", true},
        {"TfrmRqAboutForm.CopyRightLine3={1} is translated by {2}", true},
        {"TfrmRqUpdateForm.Caption=Update {AppName}", true},
        {"Update.Connecting=Connecting to Update Server...", true},
        {"Update.LastVersionAlready=Your {AppName} is the latest version already.", true},
        {"Update.NetError=Can't connect to {AppName} Update Server. There are several possible "
         "reasons: <BR>Your computer is not connected to the Internet. <BR>{AppName} Update "
         "Server is busy now. <BR><BR>Please try again later.<BR>",
         true},
    };
    TRqMultiLangData data;
    data.LoadBuiltinTables();
    const auto expect = [&](const std::vector<Text> &texts, const char *section) {
        QStringList current;
        QStringList fallback;
        for (const Text &t : texts) {
            current << S(t.line);
            if (t.inDefault)
                fallback << S(t.line);
        }
        EXPECT_EQ(StoredSection(data.LangCurrentData(), S(section)), current) << section;
        EXPECT_EQ(StoredSection(data.LangDefaultData(), S(section)), fallback) << section;
    };
    expect(appRes, "AppRes");
    expect(libRes, "LibRes");
}

TEST(RqMultiLangBuiltin, CurrentTableHoldsTheEnglishTexts) {
    TRqMultiLangData data;
    data.LoadBuiltinTables();
    TRqMultiLangLan &cur = data.LangCurrentData();
    TRqMultiLangLan &def = data.LangDefaultData();
    EXPECT_EQ(cur.SectionNames(), (L({"SkinRes", "LibRes", "AppRes"})));
    EXPECT_EQ(def.SectionNames(), (L({"SkinRes", "LibRes", "AppRes"})));

    const QStringList appRes = Section(cur, "AppRes");
    EXPECT_EQ(appRes.size(), 20);
    EXPECT_TRUE(appRes.contains(QStringLiteral("AppName=Lumafinch for Facebook")));
    EXPECT_TRUE(appRes.contains(QStringLiteral(
        "MsgBox.AlbumFull=This album is full. Please select another album or create a new one.")));
    EXPECT_EQ(Section(cur, "LibRes").size(), 12);
    EXPECT_EQ(Section(def, "LibRes").size(), 8);
    EXPECT_EQ(Section(def, "AppRes"),
              (L({"AppName=Lumafinch for Facebook",
                  "MsgBox.DeleteAccount=Are you sure to delete this account?",
                  "MsgBox.UploadMore=Would you like to upload more files?"})));
    EXPECT_EQ(Section(cur, "SkinRes"), Section(def, "SkinRes"));
    for (const char *entry :
         {"MSG_BTN_OK=OK", "MSG_BTN_YES=&Yes", "MSG_BTN_NO=&No", "MSG_BTN_CANCEL=Cancel",
          "MSG_CAP_ERROR=Error", "MSG_CAP_SHOWFLAG=Do not display this message again"})
        EXPECT_TRUE(Section(cur, "SkinRes").contains(S(entry))) << entry;

    // The built-in files are stored sorted, as a saved table is.
    const QStringList before = cur.Data();
    cur.SortData();
    EXPECT_EQ(cur.Data(), before);

    QString v;
    ASSERT_TRUE(
        data.GetProp(QStringLiteral("LibRes"), QString(), QStringLiteral("Update.NetError"), v));
    EXPECT_EQ(v, QStringLiteral("Can't connect to Lumafinch for Facebook Update Server. There "
                                "are several possible reasons: \r\nYour computer is not connected "
                                "to the Internet. \r\nLumafinch for Facebook Update Server is busy "
                                "now. \r\n\r\nPlease try again later.\r\n"));
    QString missing = QStringLiteral("keep");
    EXPECT_FALSE(data.GetProp(QStringLiteral("LibRes"), QString(),
                              QStringLiteral("btnCancel.Caption"), missing));
}

} // namespace
