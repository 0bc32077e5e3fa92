// The settings store: INI reading and writing, the lookup layers, value
// encodings, the data-folder choice, start counting and write-back.

#include "framework/RqDebugLog.h"
#include "framework/RqSettings.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray ReadAll(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void WriteAll(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(bytes);
}

// A program folder, a per-user base and an all-users base in one temporary
// folder. The all-users base is unwriteable by default (it sits under a
// regular file, which no user, not even root, can create folders in).
struct Fixture {
    QTemporaryDir dir;
    TRqSettingsPaths paths;

    Fixture() {
        paths.ProgramFolder = dir.filePath(u"prog/"_s);
        paths.ProgramFile = dir.filePath(u"prog/lumafinch"_s);
        paths.PerUserBase = dir.filePath(u"home/.local/share"_s);
        paths.AllUsersBase = dir.filePath(u"blocked/var/lib"_s);
        QDir().mkpath(paths.ProgramFolder);
        QFile blocker(dir.filePath(u"blocked"_s));
        blocker.open(QIODevice::WriteOnly);
    }
    void AllUsersWriteable() { paths.AllUsersBase = dir.filePath(u"var/lib"_s); }
    void Const(const QByteArray &text) { WriteAll(paths.ProgramFolder + u"const.dat"_s, text); }
    void Oem(const QByteArray &text) { WriteAll(paths.ProgramFolder + u"oem.const.dat"_s, text); }
    QString PerUser() const { return paths.PerUserBase + u"/Word/"_s; }
    QString AllUsers() const { return paths.AllUsersBase + u"/Word/"_s; }
    std::unique_ptr<TRqSettings> Open() { return std::make_unique<TRqSettings>(QString(), paths); }
};

// The global engine's lists, as the engine supplies them.
struct EngineLists {
    QStringList overwrite;
    QStringList defaults{u"Path.Skins=skins"_s, u"Path.Languages=lang"_s};
    EngineLists() {
        SetEngineSettingListsProvider([this] {
            return TRqEngineSettingLists{&overwrite, &defaults};
        });
    }
    ~EngineLists() { SetEngineSettingListsProvider({}); }
};

// A file that exists but that nobody, root included, can open: a socket.
// It stands in for a settings file of another user.
void MakeUnopenable(const QString &path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    ASSERT_LT(size_t(name.size()), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ::close(fd);
}

QStringList g_logLines;
void CaptureLog(const QString &line) {
    g_logLines << line;
}

} // namespace

// ---------------------------------------------------------------------------
// INI reader and writer

TEST(IniFile, SectionsAndKeysIgnoreCaseDotsArePlainValuesKeptAsWritten) {
    TRqIniFile ini;
    ini.LoadFromText(u"[Setting]\nApp.Name=  Two  spaces = and equals \r\n"
                     "[showagain]\r\n12=0\n[SETTING]\nURL.Home=http://x/?a=b\n"_s);
    EXPECT_EQ(ini.ReadString(u"setting"_s, u"app.name"_s), u"  Two  spaces = and equals "_s);
    EXPECT_EQ(ini.ReadString(u"SETTING"_s, u"url.HOME"_s), u"http://x/?a=b"_s);
    EXPECT_EQ(ini.ReadInteger(u"ShowAgain"_s, u"12"_s, 1), 0);
    EXPECT_FALSE(ini.ValueExists(u"App"_s, u"Name"_s)); // a dot never splits
    EXPECT_EQ(ini.Sections().size(), 2);
}

TEST(IniFile, WriteThenReadRoundTripsAndRewritesInPlace) {
    QTemporaryDir dir;
    TRqIniFile ini(dir.filePath(u"a.ini"_s));
    ini.WriteString(u"setting"_s, u"Key.One"_s, u"1"_s);
    ini.WriteString(u"setting"_s, u"Other"_s, u"ünïcødé ✓"_s);
    ini.WriteString(u"SETTING"_s, u"key.one"_s, u"2"_s); // same key, any case
    ini.Save();
    EXPECT_EQ(ReadAll(ini.FileName()),
              QByteArray("[setting]\nKey.One=2\nOther=") + u"ünïcødé ✓"_s.toUtf8() + "\n");
    TRqIniFile again(ini.FileName());
    EXPECT_EQ(again.ReadString(u"setting"_s, u"Other"_s), u"ünïcødé ✓"_s);
}

TEST(IniFile, ValueWithLineBreaksCannotAddKeys) {
    TRqIniFile ini;
    ini.WriteString(u"setting"_s, u"Name"_s, u"x\n[setting]\nApp.ID=1\r\nY=2"_s);
    TRqIniFile reread;
    reread.LoadFromBytes(ini.ToBytes());
    EXPECT_FALSE(reread.ValueExists(u"setting"_s, u"App.ID"_s));
    EXPECT_EQ(reread.ReadString(u"setting"_s, u"Name"_s), u"x [setting] App.ID=1  Y=2"_s);
}

TEST(IniFile, JunkFilesAreReadForWhatTheyHold) {
    QByteArray junk;
    for (int i = 0; i < 4096; ++i)
        junk += char((i * 7919) & 0xFF);
    const QByteArray longValue(2 * 1024 * 1024, 'v');
    const QString text = u"[setting]\r\nName=Żółw\r\n"_s;
    QByteArray utf16le("\xFF\xFE", 2), utf16be("\xFE\xFF", 2);
    for (QChar c : text) {
        const char lo = char(c.unicode() & 0xFF), hi = char(c.unicode() >> 8);
        utf16le += lo, utf16le += hi;
        utf16be += hi, utf16be += lo;
    }
    struct Case {
        const char *what;
        QByteArray bytes;
        QString key, expected;
    } cases[] = {
        {"binary junk around a good line", junk + "\n[setting]\nName=ok\n" + junk, u"Name"_s,
         u"ok"_s},
        {"no final line break", "[setting]\nName=last", u"Name"_s, u"last"_s},
        {"very long line", "[setting]\nLong=" + longValue + "\nName=after\n", u"Name"_s,
         u"after"_s},
        {"very long value", "[setting]\nLong=" + longValue, u"Long"_s,
         QString::fromLatin1(longValue)},
        {"UTF-16 LE with mark", utf16le, u"Name"_s, u"Żółw"_s},
        {"UTF-16 BE with mark", utf16be, u"Name"_s, u"Żółw"_s},
        {"UTF-8 with mark", "\xEF\xBB\xBF[setting]\nName=\xC5\xBB\n", u"Name"_s, u"Ż"_s},
        {"ISO-8859-1 bytes", "[setting]\nName=caf\xE9\n", u"Name"_s, u"café"_s},
        {"NUL bytes inside", QByteArray("[setting]\nA=\0x\nName=n\n", 22), u"Name"_s, u"n"_s},
        {"only a space", " ", u"Name"_s, QString()},
        {"lone carriage returns", "[setting]\rName=cr\rOther=1", u"Name"_s, u"cr"_s},
    };
    for (const Case &c : cases) {
        TRqIniFile ini;
        ini.LoadFromBytes(c.bytes);
        EXPECT_EQ(ini.ReadString(u"setting"_s, c.key), c.expected) << c.what;
    }
}

TEST(IniFile, VeryManySectionsReadInLinearTime) {
    QByteArray text;
    for (int i = 0; i < 200000; ++i)
        text += "[s" + QByteArray::number(i) + "]\nk=" + QByteArray::number(i) + "\n";
    QElapsedTimer clock;
    clock.start();
    TRqIniFile ini;
    ini.LoadFromBytes(text);
    EXPECT_EQ(ini.ReadString(u"S199999"_s, u"K"_s), u"199999"_s);
    ini.EraseSection(u"s5"_s);
    EXPECT_FALSE(ini.SectionExists(u"s5"_s));
    EXPECT_EQ(ini.ReadString(u"s6"_s, u"k"_s), u"6"_s);
    ini.WriteString(u"s5"_s, u"k"_s, u"again"_s);
    EXPECT_EQ(ini.Sections().last(), u"s5"_s);
    EXPECT_LT(clock.elapsed(), 20000); // minutes when every lookup walks the list
}

TEST(IniFile, SaveIsOwnerOnlyAndFailureNamesFileAndReason) {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"setting.dat"_s);
    TRqIniFile::WriteFileAtomic(path, "old");
    ::chmod(QFile::encodeName(path).constData(), 0644);
    TRqIniFile::WriteFileAtomic(path, "new");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadAll(path), QByteArray("new"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1); // no temp left

    // A folder that is a file: nothing can be written there.
    WriteAll(dir.filePath(u"notadir"_s), "x");
    const QString bad = dir.filePath(u"notadir/setting.dat"_s);
    try {
        TRqIniFile::WriteFileAtomic(bad, "x");
        FAIL() << "no exception";
    } catch (const TRqFileError &e) {
        EXPECT_EQ(e.FileName(), bad);
        EXPECT_FALSE(e.Reason().isEmpty());
        EXPECT_NE(std::string(e.what()).find(bad.toStdString()), std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// Lookup layers

TEST(Settings, LookupOrderThroughAllFiveLayers) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\nK.Const=const\nK.Oem=const\nK.Setting=const\n"
            "K.Over=const\nPath.Skins=\n");
    f.Oem("[setting]\nK.Oem=oem\nK.Setting=oem\nK.Over=oem\n");
    WriteAll(f.PerUser() + u"setting.dat"_s, "[setting]\nK.Setting=user\nK.Over=user\n");
    auto s = f.Open();
    // Without an engine both lists are skipped.
    EXPECT_EQ(s->GetSettingString(u"K.Over"_s), u"user"_s);
    EXPECT_EQ(s->GetSettingString(u"Path.Languages"_s), QString());
    EXPECT_FALSE(s->GetSettingExists(u"Path.Languages"_s));

    EngineLists engine;
    engine.overwrite << u"K.Over=engine"_s;
    const struct {
        const char16_t *key;
        QString expected;
    } cases[] = {
        {u"K.Over", u"engine"_s},
        {u"K.Setting", u"user"_s},
        {u"K.Oem", u"oem"_s},
        {u"K.Const", u"const"_s},
        {u"Path.Languages", u"lang"_s},
        {u"Path.Skins", QString()}, // present but empty in const.dat: still a hit
        {u"k.setting", u"user"_s},
        {u"No.Such", QString()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(s->GetSettingString(QString::fromUtf16(c.key)), c.expected)
            << QString::fromUtf16(c.key).toStdString();
    EXPECT_TRUE(s->GetSettingExists(u"Path.Languages"_s));
    EXPECT_FALSE(s->GetSettingExists(u"No.Such"_s));
}

TEST(Settings, EmptyValueInSettingFileShadowsShipped) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\nURL.Home=http://shipped/\n");
    WriteAll(f.PerUser() + u"setting.dat"_s, "[setting]\nURL.Home=\n");
    auto s = f.Open();
    EXPECT_EQ(s->GetSettingString(u"URL.Home"_s), QString());
    EXPECT_TRUE(s->GetSettingExists(u"URL.Home"_s));
}

TEST(Settings, PathSkinsEmptyWithoutEngineAndSkinsWithIt) {
    Fixture f; // no files at all
    auto s = f.Open();
    EXPECT_EQ(s->GetSettingString(u"Path.Skins"_s), QString());
    EngineLists engine;
    EXPECT_EQ(s->GetSettingString(u"Path.Skins"_s), u"skins"_s);
}

TEST(Settings, MissLogsSettingNotFound) {
    Fixture f;
    auto s = f.Open();
    g_logLines.clear();
    RqDebugLog::SetSink(&CaptureLog);
    RqDebugLog::SetEnabled(true);
    s->GetSettingString(u"No.Such"_s);
    s->GetSettingExists(u"Also.None"_s); // never logs
    RqDebugLog::SetEnabled(false);
    RqDebugLog::SetSink(nullptr);
    EXPECT_EQ(g_logLines, QStringList{u"RqSettings: Setting Not Found :No.Such"_s});
}

TEST(Settings, WritesGoToSettingFileAndShadowShipped) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\nSkin=Blue\n");
    auto s = f.Open();
    s->SetSettingstring(u"Skin"_s, u"Blue"_s);
    s->SetSettingstring(u"Language"_s, u"Deutsch"_s);
    TRqIniFile file(s->SettingFilePath());
    EXPECT_EQ(file.ReadString(u"setting"_s, u"Skin"_s), u"Blue"_s);
    EXPECT_EQ(file.ReadString(u"setting"_s, u"Language"_s), u"Deutsch"_s);
    EXPECT_EQ(TRqIniFile(f.paths.ProgramFolder + u"const.dat"_s).Keys(u"setting"_s).size(), 2);
}

// ---------------------------------------------------------------------------
// Encodings

TEST(Settings, IntegerBoolFloatTextEncodings) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    WriteAll(f.PerUser() + u"setting.dat"_s,
             "[setting]\nI.Plain=42\nI.Neg=-7\nI.Blank= 12 \nI.Word=abc\nI.Float=1.5\n"
             "I.Huge=99999999999\nI.Empty=\nB.True=true\nB.Two=2\nB.One=1\nB.Zero=0\n"
             "F.Dot=2.25\nF.Comma=2,25\nF.Word=x\nF.Date=46000.5\n");
    auto s = f.Open();
    const struct {
        const char16_t *key;
        int value;
    } ints[] = {{u"I.Plain", 42}, {u"I.Neg", -7}, {u"I.Blank", 12}, {u"I.Word", 0},
                {u"I.Float", 0},  {u"I.Huge", 0}, {u"I.Empty", 0},  {u"I.Missing", 0}};
    for (const auto &c : ints)
        EXPECT_EQ(s->GetSettingInteger(QString::fromUtf16(c.key)), c.value)
            << QString::fromUtf16(c.key).toStdString();
    const struct {
        const char16_t *key;
        bool value;
    } bools[] = {{u"B.True", false},
                 {u"B.Two", true},
                 {u"B.One", true},
                 {u"B.Zero", false},
                 {u"B.Missing", false}};
    for (const auto &c : bools)
        EXPECT_EQ(s->GetSettingBool(QString::fromUtf16(c.key)), c.value)
            << QString::fromUtf16(c.key).toStdString();
    EXPECT_DOUBLE_EQ(double(s->GetSettingFloat(u"F.Dot"_s)), 2.25);
    EXPECT_DOUBLE_EQ(double(s->GetSettingFloat(u"F.Comma"_s)), 2.25);
    EXPECT_DOUBLE_EQ(double(s->GetSettingFloat(u"F.Word"_s)), 0);
    EXPECT_DOUBLE_EQ(double(s->GetSettingFloat(u"F.Date"_s)), 46000.5);

    s->SetSettingBool(u"W.Bool"_s, true);
    s->SetSettingInteger(u"W.Int"_s, -2147483647 - 1);
    s->SetSettingFloat(u"W.Float"_s, 45678.123456789);
    TRqIniFile file(s->SettingFilePath());
    EXPECT_EQ(file.ReadString(u"setting"_s, u"W.Bool"_s), u"1"_s);
    EXPECT_EQ(file.ReadString(u"setting"_s, u"W.Int"_s), u"-2147483648"_s);
    EXPECT_TRUE(file.ReadString(u"setting"_s, u"W.Float"_s).contains(u'.'));
    EXPECT_EQ(s->GetSettingInteger(u"W.Int"_s), -2147483647 - 1);
    EXPECT_DOUBLE_EQ(double(s->GetSettingFloat(u"W.Float"_s)), 45678.123456789);
}

TEST(Settings, RectangleEncoding) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\nR.Three=1,2,3\nR.BadPart=10,x,30,40\n"
            "R.Five=1,2,3,4,5\nR.Empty=\n");
    auto s = f.Open();
    const QRect before(QPoint(7, 7), QPoint(8, 8));
    const struct {
        const char16_t *key;
        QRect expected;
    } cases[] = {
        {u"R.Three", before},
        {u"R.Five", before},
        {u"R.Empty", before},
        {u"R.Missing", before},
        {u"R.BadPart", QRect(QPoint(10, 0), QPoint(30, 40))},
    };
    for (const auto &c : cases) {
        QRect rc = before;
        s->GetSettingRect(QString::fromUtf16(c.key), rc);
        EXPECT_EQ(rc, c.expected) << QString::fromUtf16(c.key).toStdString();
    }
    QRect written;
    written.setCoords(-5, 10, 800, 600);
    s->SetSettingRect(u"R.Win"_s, written);
    EXPECT_EQ(s->GetSettingString(u"R.Win"_s), u"-5,10,800,600"_s);
    QRect back;
    s->GetSettingRect(u"R.Win"_s, back);
    EXPECT_EQ(back, written);
}

// ---------------------------------------------------------------------------
// Message-box answers

TEST(Settings, MessageBoxAnswersAndClear) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    auto s = f.Open();
    EXPECT_TRUE(s->GetMessageShowAgainFlag(5));
    EXPECT_EQ(s->GetMessageShowAgainResult(5), 1);
    s->SetMessageShowAgainFlag(5, false);
    s->SetMessageShowAgainResult(5, 6);
    s->SetMessageShowAgainFlag(-3, true);
    TRqIniFile file(s->SettingFilePath());
    EXPECT_EQ(file.ReadString(u"ShowAgain"_s, u"5"_s), u"0"_s);
    EXPECT_EQ(file.ReadString(u"ShowAgainModuleResult"_s, u"5"_s), u"6"_s);
    EXPECT_EQ(file.ReadString(u"ShowAgain"_s, u"-3"_s), u"1"_s);

    auto reopened = f.Open();
    EXPECT_FALSE(reopened->GetMessageShowAgainFlag(5));
    EXPECT_EQ(reopened->GetMessageShowAgainResult(5), 6);
    reopened->SetSettingstring(u"Keep"_s, u"me"_s);
    reopened->ClearShowAgainFlag();
    EXPECT_TRUE(reopened->GetMessageShowAgainFlag(5));
    EXPECT_EQ(reopened->GetMessageShowAgainResult(5), 1);
    TRqIniFile cleared(s->SettingFilePath());
    EXPECT_FALSE(cleared.SectionExists(u"ShowAgain"_s));
    EXPECT_FALSE(cleared.SectionExists(u"ShowAgainModuleResult"_s));
    EXPECT_EQ(cleared.ReadString(u"setting"_s, u"Keep"_s), u"me"_s);
}

// ---------------------------------------------------------------------------
// Data folder

TEST(Settings, FolderWordFromConfigPathOrProgramPath) {
    Fixture f;
    auto derived = f.Open();
    QString word = f.paths.ProgramFile;
    word.replace(u'/', u'_');
    EXPECT_EQ(derived->ConfigPathWord(), word);
    EXPECT_TRUE(derived->UserDataPath().endsWith(u'/' + word + u'/'));

    f.Const("[setting]\nApp.ConfigPath=Word\n");
    auto named = f.Open();
    EXPECT_EQ(named->ConfigPathWord(), u"Word"_s);
    // Set in setting.dat it has no effect: that file opens after the choice.
    named->SetSettingstring(u"App.ConfigPath"_s, u"Other"_s);
    EXPECT_EQ(f.Open()->ConfigPathWord(), u"Word"_s);
}

TEST(Settings, DataFolderChoiceWithUserFlag) {
    enum class Flag { None, One, Zero, Junk };
    const struct {
        const char *what;
        bool allWriteable;
        Flag flag;
        bool noAllUser;
        bool expectAll;
        const char *flagAfter; // nullptr: UserFlag.ini not written
    } cases[] = {
        {"first start, all-users writeable", true, Flag::None, false, true, "1"},
        {"first start, all-users not writeable", false, Flag::None, false, false, "0"},
        {"flag 1 but not writeable: rewritten 0", false, Flag::One, false, false, "0"},
        {"flag 1 and writeable", true, Flag::One, false, true, "1"},
        {"flag 0 though writeable", true, Flag::Zero, false, false, "0"},
        {"unreadable flag counts as 1", true, Flag::Junk, false, true, "junk"},
        {"unreadable flag, not writeable", false, Flag::Junk, false, false, "0"},
        {"Setting.NoAllUser leaves the flag alone", true, Flag::None, true, false, nullptr},
    };
    for (const auto &c : cases) {
        Fixture f;
        if (c.allWriteable)
            f.AllUsersWriteable();
        f.Const(c.noAllUser ? "[setting]\nApp.ConfigPath=Word\nSetting.NoAllUser=1\n"
                            : "[setting]\nApp.ConfigPath=Word\n");
        const QString flagFile = f.PerUser() + u"UserFlag.ini"_s;
        if (c.flag != Flag::None)
            WriteAll(flagFile, c.flag == Flag::One    ? "[Flag]\nAllUsers=1\n"
                               : c.flag == Flag::Zero ? "[Flag]\nAllUsers=0\n"
                                                      : "[Flag]\nAllUsers=junk\n");
        auto s = f.Open();
        EXPECT_EQ(s->AllUser(), c.expectAll) << c.what;
        const QString expectedFolder =
            QFileInfo(c.expectAll ? f.AllUsers() : f.PerUser()).canonicalFilePath() + u'/';
        EXPECT_EQ(s->UserDataPath(), expectedFolder) << c.what;
        EXPECT_TRUE(QFileInfo::exists(s->SettingFilePath())) << c.what;
        if (c.flagAfter)
            EXPECT_EQ(TRqIniFile(flagFile).ReadString(u"Flag"_s, u"AllUsers"_s),
                      QString::fromLatin1(c.flagAfter))
                << c.what;
        else
            EXPECT_FALSE(QFileInfo::exists(flagFile)) << c.what;
    }
}

TEST(Settings, WriteabilityIsARealWriteAndSetAllUserSwitchesFile) {
    Fixture f;
    f.AllUsersWriteable();
    f.Const("[setting]\nApp.ConfigPath=Word\nSetting.NoAllUser=1\n");
    auto s = f.Open();
    EXPECT_FALSE(s->AllUser());
    EXPECT_TRUE(s->IsAllUserPathWriteable());
    EXPECT_EQ(QDir(f.AllUsers()).entryList(QDir::Files | QDir::Hidden).size(), 0); // probe gone
    s->SetSettingstring(u"Where"_s, u"user"_s);
    s->SetAllUser(true);
    EXPECT_TRUE(s->AllUser());
    EXPECT_EQ(s->GetSettingString(u"Where"_s), QString());
    EXPECT_EQ(ReadAll(s->SettingFilePath()), QByteArray(" ")); // new file holds one space
    s->SetAllUser(false);
    EXPECT_EQ(s->GetSettingString(u"Where"_s), u"user"_s);

    Fixture blocked; // all-users base under a regular file
    blocked.Const("[setting]\nApp.ConfigPath=Word\nSetting.NoAllUser=1\n");
    EXPECT_FALSE(blocked.Open()->IsAllUserPathWriteable());
}

// ---------------------------------------------------------------------------
// Start counting, write-back, cache

TEST(Settings, RunTimesCountsFromFirstStart) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    for (int start = 0; start < 3; ++start) {
        auto s = f.Open();
        EXPECT_EQ(s->RunTimes(), start);
        EXPECT_EQ(TRqIniFile(s->SettingFilePath()).ReadString(u"setting"_s, u"RunTimes"_s),
                  QString::number(start + 1));
    }
    // A count at the top of its range stays there instead of wrapping round.
    WriteAll(f.PerUser() + u"setting.dat"_s, "[setting]\nRunTimes=2147483647\n");
    auto s = f.Open();
    EXPECT_EQ(s->RunTimes(), 2147483647);
    EXPECT_EQ(s->GetSettingInteger(u"RunTimes"_s), 2147483647);
}

TEST(Settings, SettingFileIsOwnerOnly) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    auto s = f.Open();
    s->SetSettingstring(u"Token.Count"_s, u"1"_s);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(s->SettingFilePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A data folder made here is private too (picture caches are named by
    // token); one that was already there keeps the mode its user gave it.
    ASSERT_EQ(::stat(QFile::encodeName(s->UserDataPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    Fixture g;
    g.Const("[setting]\nApp.ConfigPath=Word\n");
    QDir().mkpath(g.PerUser());
    ::chmod(QFile::encodeName(g.PerUser()).constData(), 0750);
    auto t = g.Open();
    ASSERT_EQ(::stat(QFile::encodeName(t->UserDataPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST(Settings, BeginUpdateEndUpdateWritesOnce) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    auto s = f.Open();
    const int before = s->WriteCount();
    s->BeginUpdate();
    for (int i = 0; i < 20; ++i)
        s->SetSettingInteger(u"Token."_s + QString::number(i), i);
    s->SetMessageShowAgainFlag(1, false);
    EXPECT_EQ(s->WriteCount(), before);
    EXPECT_FALSE(TRqIniFile(s->SettingFilePath()).ValueExists(u"setting"_s, u"Token.0"_s));
    s->EndUpdate();
    EXPECT_EQ(s->WriteCount(), before + 1);
    TRqIniFile file(s->SettingFilePath());
    EXPECT_EQ(file.ReadString(u"setting"_s, u"Token.19"_s), u"19"_s);
    EXPECT_EQ(file.ReadString(u"ShowAgain"_s, u"1"_s), u"0"_s);
    s->SetSettingInteger(u"After"_s, 1); // unbracketed: written at once
    EXPECT_EQ(s->WriteCount(), before + 2);
}

TEST(Settings, UnreadableSettingFileIsRefusedNotOverwritten) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    const QString file = f.PerUser() + u"setting.dat"_s;
    MakeUnopenable(file);
    try {
        f.Open();
        FAIL() << "no exception";
    } catch (const TRqFileError &e) {
        EXPECT_EQ(e.FileName(), QFileInfo(file).canonicalFilePath());
    }
    EXPECT_FALSE(QFileInfo(file).isFile()); // still the socket, not replaced

    // Switching to such a folder later fails and leaves the store where it was.
    Fixture g;
    g.AllUsersWriteable();
    g.Const("[setting]\nApp.ConfigPath=Word\nSetting.NoAllUser=1\n");
    auto s = g.Open();
    const QString before = s->UserDataPath();
    MakeUnopenable(g.AllUsers() + u"setting.dat"_s);
    EXPECT_THROW(s->SetAllUser(true), TRqFileError);
    EXPECT_FALSE(s->AllUser());
    EXPECT_EQ(s->UserDataPath(), before);
    s->SetSettingstring(u"Still"_s, u"here"_s);
    EXPECT_EQ(TRqIniFile(before + u"setting.dat"_s).ReadString(u"setting"_s, u"Still"_s),
              u"here"_s);
}

TEST(Settings, AllUsersFolderWithAnotherUsersSettingFileIsNotWriteable) {
    Fixture f;
    f.AllUsersWriteable();
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    MakeUnopenable(f.AllUsers() + u"setting.dat"_s);
    auto s = f.Open();
    EXPECT_FALSE(s->IsAllUserPathWriteable());
    EXPECT_FALSE(s->AllUser());
    EXPECT_EQ(TRqIniFile(f.PerUser() + u"UserFlag.ini"_s).ReadString(u"Flag"_s, u"AllUsers"_s),
              u"0"_s);
}

// Root starting the program with a user's HOME (su keeps it) must leave that
// user's files and folders theirs: root-owned ones would shut the user out.
// And a user sharing an all-users folder that is sticky (like /tmp) cannot
// replace another user's file there, so that folder is not writeable for them.
TEST(Settings, OwnersOfOtherUsersFilesAreKept) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to own files of another user";
    constexpr uid_t kOther = 65534;
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\nSetting.NoAllUser=1\n");
    const QString file = f.PerUser() + u"setting.dat"_s;
    WriteAll(file, "[setting]\nToken.Count=3\n");
    ASSERT_EQ(::chown(QFile::encodeName(file).constData(), kOther, kOther), 0);
    auto s = f.Open(); // counts the start: a write
    s->SetSettingstring(u"Language"_s, u"Deutsch"_s);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, kOther);
    EXPECT_EQ(st.st_gid, gid_t(kOther));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(TRqIniFile(file).ReadString(u"setting"_s, u"Token.Count"_s), u"3"_s);

    // A first start of root in such a home: what it makes there is the user's.
    Fixture fresh;
    fresh.Const("[setting]\nApp.ConfigPath=Word\n");
    const QString home = fresh.dir.filePath(u"home"_s);
    QDir().mkpath(home);
    ASSERT_EQ(::chown(QFile::encodeName(home).constData(), kOther, kOther), 0);
    auto first = fresh.Open();
    const QStringList made{fresh.dir.filePath(u"home/.local"_s), fresh.paths.PerUserBase,
                           fresh.PerUser(), fresh.PerUser() + u"UserFlag.ini"_s,
                           fresh.PerUser() + u"setting.dat"_s};
    for (const QString &path : made) {
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
        EXPECT_EQ(st.st_uid, kOther) << path.toStdString();
    }

    // The other user's view of a sticky all-users folder holding root's file.
    Fixture shared;
    shared.AllUsersWriteable();
    shared.Const("[setting]\nApp.ConfigPath=Word\nSetting.NoAllUser=1\n");
    WriteAll(shared.AllUsers() + u"setting.dat"_s, "[setting]\nRunTimes=1\n");
    ::chmod(QFile::encodeName(shared.AllUsers()).constData(), 01777);
    auto root = shared.Open();
    ASSERT_TRUE(root->IsAllUserPathWriteable());
    // Everything above the shared folder must be reachable for the other user.
    for (QString d = QFileInfo(shared.paths.AllUsersBase).absoluteFilePath();
         d.startsWith(shared.dir.path()); d = QFileInfo(d).absolutePath())
        ::chmod(QFile::encodeName(d).constData(), 0755);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(kOther) != 0 || ::setuid(kOther) != 0)
            ::_exit(2);
        ::_exit(root->IsAllUserPathWriteable() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Settings, NoCacheRereadsFileBeforeLookup) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    auto s = f.Open();
    s->SetSettingstring(u"Shared"_s, u"mine"_s);
    TRqIniFile other(s->SettingFilePath()); // another process writing the file
    other.WriteString(u"setting"_s, u"Shared"_s, u"theirs"_s);
    other.Save();
    EXPECT_EQ(s->GetSettingString(u"Shared"_s), u"mine"_s);
    s->SetNoCache(true);
    EXPECT_EQ(s->GetSettingString(u"Shared"_s), u"theirs"_s);
    // Inside an update bracket the pending changes are not thrown away.
    s->BeginUpdate();
    s->SetSettingstring(u"Pending"_s, u"1"_s);
    EXPECT_EQ(s->GetSettingString(u"Pending"_s), u"1"_s);
    s->EndUpdate();
    EXPECT_EQ(s->GetSettingString(u"Pending"_s), u"1"_s);
    // A file that has gone keeps what was read last; the next write restores it.
    ASSERT_TRUE(QFile::remove(s->SettingFilePath()));
    EXPECT_EQ(s->GetSettingString(u"Shared"_s), u"theirs"_s);
    s->SetSettingstring(u"After"_s, u"1"_s);
    EXPECT_EQ(TRqIniFile(s->SettingFilePath()).ReadString(u"setting"_s, u"Shared"_s), u"theirs"_s);
}

TEST(Settings, JunkSettingFileStillOpens) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    QByteArray junk(70000, '\0');
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = char((i * 131 + 17) & 0xFF);
    WriteAll(f.PerUser() + u"setting.dat"_s, junk + "\n[setting]\nRunTimes=4\nName=x");
    auto s = f.Open();
    EXPECT_EQ(s->RunTimes(), 4);
    EXPECT_EQ(s->GetSettingString(u"Name"_s), u"x"_s);
    TRqIniFile rewritten(s->SettingFilePath());
    EXPECT_EQ(rewritten.ReadString(u"setting"_s, u"RunTimes"_s), u"5"_s);
}

TEST(Settings, FailedWriteThrowsWithFileName) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    auto s = f.Open();
    const QString folder = s->UserDataPath();
    QDir(folder).removeRecursively();
    WriteAll(folder.chopped(1), "now a file"); // the data folder is gone
    try {
        s->SetSettingstring(u"Name"_s, u"x"_s);
        FAIL() << "no exception";
    } catch (const TRqFileError &e) {
        EXPECT_EQ(e.FileName(), s->SettingFilePath());
    }
}

TEST(Settings, SlowGetLanguageStringReadsNamedLanguageFile) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\nLanguage=English\nPath.Languages=lang\n");
    WriteAll(f.paths.ProgramFolder + u"lang/Deutsch.lan"_s, "[AppRes]\nHello=Hallo\n");
    WriteAll(f.paths.ProgramFolder + u"lang/English.lan"_s, "[AppRes]\nHello=Hello\n");
    auto s = f.Open();
    EXPECT_EQ(s->SlowGetLanguageString(u"AppRes"_s, u"Hello"_s, u"?"_s), u"Hello"_s);
    s->SetSettingstring(u"Language.Force"_s, u"Deutsch"_s);
    EXPECT_EQ(s->SlowGetLanguageString(u"AppRes"_s, u"Hello"_s, u"?"_s), u"Hallo"_s);
    EXPECT_EQ(s->SlowGetLanguageString(u"AppRes"_s, u"None"_s, u"?"_s), u"?"_s);
}

TEST(Settings, GlobalSettingsIsOneObjectUntilDestroyed) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    SetGlobalSettingsPaths(f.paths);
    TRqSettings *a = GlobalSettings();
    EXPECT_EQ(GlobalSettings(), a);
    EXPECT_EQ(a->RunTimes(), 0);
    DestroyGlobalSettings();
    EXPECT_EQ(GlobalSettings()->RunTimes(), 1);
    DestroyGlobalSettings();
}

TEST(Settings, LeftoverTemporaryFilesOfCrashedWritesAreCleared) {
    Fixture f;
    f.Const("[setting]\nApp.ConfigPath=Word\n");
    const QString old = f.PerUser() + u".setting.dat.Ab12Cd"_s;
    const QString fresh = f.PerUser() + u".setting.dat.Zz99Yy"_s; // maybe a write going on
    WriteAll(old, "[setting]\nHalf");
    WriteAll(fresh, "[setting]\nHalf");
    QFile oldFile(old);
    ASSERT_TRUE(oldFile.open(QIODevice::ReadWrite));
    ASSERT_TRUE(oldFile.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600),
                                    QFileDevice::FileModificationTime));
    oldFile.close();
    auto s = f.Open();
    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_TRUE(QFileInfo::exists(fresh));
}
