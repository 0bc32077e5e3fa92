#include "framework/RqSettings.h"

#include "framework/RqDebugLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// ---------------------------------------------------------------------------
// TRqFileError

TRqFileError::TRqFileError(const QString &fileName, const QString &reason)
    : std::runtime_error(
          (u"Cannot write file \""_s + fileName + u"\": "_s + reason).toUtf8().toStdString()),
      FFileName(fileName), FReason(reason) {}

// ---------------------------------------------------------------------------
// TRqIniFile

namespace {

QString FoldKey(const QString &key) {
    return key.trimmed().toCaseFolded();
}

QString OneLine(const QString &text) {
    QString out = text;
    out.replace(u'\r', u' ');
    out.replace(u'\n', u' ');
    return out;
}

bool IsValidUtf8(const QByteArray &bytes) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const unsigned char c = p[i];
        int follow;
        char32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            follow = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            follow = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            follow = 3, cp = c & 0x07;
        } else {
            return false;
        }
        for (int k = 1; k <= follow; ++k) {
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[follow] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += follow + 1;
    }
    return true;
}

QString ErrnoText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// Root working among another user's files (a start through su, which keeps
// HOME) leaves what it writes or makes there to that user: a root-owned file
// or folder there would shut its user out. Returns the owner to give, taken
// from `existing` (a file being replaced, or the folder something is made
// in); nothing when not root or when that owner is root.
std::optional<std::pair<uid_t, gid_t>> OwnerForRoot(const QString &existing) {
    struct stat st {};
    if (::geteuid() != 0 || ::stat(QFile::encodeName(existing).constData(), &st) != 0 ||
        st.st_uid == 0)
        return std::nullopt;
    return std::make_pair(st.st_uid, st.st_gid);
}

} // namespace

void TRqIniFile::Section::Rebuild() {
    Index.clear();
    for (qsizetype i = 0; i < Entries.size(); ++i)
        Index.insert(FoldKey(Entries[i].first), i);
}

TRqIniFile::TRqIniFile(const QString &fileName) : FFileName(fileName) {
    Reload();
}

bool TRqIniFile::Reload() {
    Clear();
    if (FFileName.isEmpty())
        return false;
    QFile file(FFileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    LoadFromBytes(file.readAll());
    return true;
}

QString TRqIniFile::DecodeText(const QByteArray &bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.mid(3));
    if (bytes.startsWith("\xFF\xFE"))
        return QStringDecoder(QStringDecoder::Utf16LE).decode(bytes.mid(2));
    if (bytes.startsWith("\xFE\xFF"))
        return QStringDecoder(QStringDecoder::Utf16BE).decode(bytes.mid(2));
    if (IsValidUtf8(bytes))
        return QString::fromUtf8(bytes);
    return QString::fromLatin1(bytes);
}

void TRqIniFile::LoadFromBytes(const QByteArray &bytes) {
    LoadFromText(DecodeText(bytes));
}

void TRqIniFile::LoadFromText(const QString &text) {
    Clear();
    Section *current = nullptr;
    qsizetype pos = 0;
    const qsizetype n = text.size();
    while (pos < n) {
        qsizetype end = pos;
        while (end < n && text[end] != u'\n' && text[end] != u'\r')
            ++end;
        const QStringView line = QStringView(text).mid(pos, end - pos);
        pos = end;
        // "\r\n", "\n" and a lone "\r" all end a line.
        if (pos < n && text[pos] == u'\r') {
            ++pos;
            if (pos < n && text[pos] == u'\n')
                ++pos;
        } else if (pos < n) {
            ++pos;
        }

        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (trimmed.startsWith(u'[') && trimmed.endsWith(u']')) {
            const QString name = trimmed.mid(1, trimmed.size() - 2).trimmed().toString();
            current = FindSection(name);
            if (!current)
                current = &AddSection(name);
            continue;
        }
        if (!current || trimmed.startsWith(u';'))
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed().toString();
        if (key.isEmpty())
            continue;
        const QString folded = FoldKey(key);
        if (current->Index.contains(folded))
            continue; // the first of duplicate keys wins
        current->Index.insert(folded, current->Entries.size());
        current->Entries.append({key, line.mid(eq + 1).toString()});
    }
}

QByteArray TRqIniFile::ToBytes() const {
    QString text;
    bool first = true;
    for (const Section &s : FSections) {
        if (!first)
            text += u'\n';
        first = false;
        text += u'[' + s.Name + u"]\n"_s;
        for (const auto &[key, value] : s.Entries)
            text += key + u'=' + value + u'\n';
    }
    return text.toUtf8();
}

void TRqIniFile::Save() const {
    WriteFileAtomic(FFileName, ToBytes());
}

void TRqIniFile::WriteFileAtomic(const QString &fileName, const QByteArray &bytes) {
    if (fileName.isEmpty())
        throw TRqFileError(fileName, u"no file name"_s);
    const QFileInfo info(fileName);
    const QString dir = info.absolutePath();
    // QTemporaryFile creates the file readable by its owner only; the rename
    // keeps that mode and replaces the old file in one step.
    QTemporaryFile tmp(dir + u'/' + u'.' + info.fileName() + u".XXXXXX"_s);
    tmp.setAutoRemove(true);
    if (!tmp.open())
        throw TRqFileError(fileName, tmp.errorString());
    if (tmp.write(bytes) != bytes.size() || !tmp.flush())
        throw TRqFileError(fileName, tmp.errorString());
    if (::fchmod(tmp.handle(), S_IRUSR | S_IWUSR) != 0)
        throw TRqFileError(fileName, ErrnoText(errno));
    // Root writing among another user's files leaves the file to that user.
    // Best effort: a file system without owners refuses, and that is fine.
    const auto owner =
        OwnerForRoot(QFileInfo::exists(info.absoluteFilePath()) ? info.absoluteFilePath() : dir);
    if (owner && ::fchown(tmp.handle(), owner->first, owner->second) != 0)
        RqDebugLog::Log(u"RqSettings"_s, u"Cannot keep the owner of "_s + fileName);
    if (::fsync(tmp.handle()) != 0)
        throw TRqFileError(fileName, ErrnoText(errno));
    const QByteArray from = QFile::encodeName(tmp.fileName());
    const QByteArray to = QFile::encodeName(info.absoluteFilePath());
    if (::rename(from.constData(), to.constData()) != 0)
        throw TRqFileError(fileName, ErrnoText(errno));
    tmp.setAutoRemove(false);
    // Make the rename itself durable; failing here loses nothing already done.
    const int dirFd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

// Sections are found through an index: a file of very many sections (junk,
// say) must not take quadratic time to read.
TRqIniFile::Section *TRqIniFile::FindSection(const QString &name) {
    const auto it = FSectionIndex.constFind(FoldKey(name));
    return it == FSectionIndex.constEnd() ? nullptr : &FSections[*it];
}

const TRqIniFile::Section *TRqIniFile::FindSection(const QString &name) const {
    return const_cast<TRqIniFile *>(this)->FindSection(name);
}

TRqIniFile::Section &TRqIniFile::AddSection(const QString &name) {
    FSectionIndex.insert(FoldKey(name), FSections.size());
    FSections.append(Section{name.trimmed(), {}, {}});
    return FSections.last();
}

bool TRqIniFile::SectionExists(const QString &section) const {
    return FindSection(section);
}

bool TRqIniFile::ValueExists(const QString &section, const QString &key) const {
    return Value(section, key).has_value();
}

std::optional<QString> TRqIniFile::Value(const QString &section, const QString &key) const {
    const Section *s = FindSection(section);
    if (!s)
        return std::nullopt;
    const auto it = s->Index.constFind(FoldKey(key));
    if (it == s->Index.constEnd())
        return std::nullopt;
    return s->Entries[*it].second;
}

QString TRqIniFile::ReadString(const QString &section, const QString &key,
                               const QString &def) const {
    return Value(section, key).value_or(def);
}

int TRqIniFile::ReadInteger(const QString &section, const QString &key, int def) const {
    const auto v = Value(section, key);
    if (!v)
        return def;
    return RqParseInt(*v).value_or(def);
}

void TRqIniFile::WriteString(const QString &section, const QString &key, const QString &value) {
    const QString cleanKey = OneLine(key).trimmed();
    if (cleanKey.isEmpty())
        return;
    Section *s = FindSection(OneLine(section));
    if (!s)
        s = &AddSection(OneLine(section));
    const QString folded = FoldKey(cleanKey);
    const QString cleanValue = OneLine(value);
    const auto it = s->Index.constFind(folded);
    if (it != s->Index.constEnd()) {
        s->Entries[*it].second = cleanValue;
        return;
    }
    s->Index.insert(folded, s->Entries.size());
    s->Entries.append({cleanKey, cleanValue});
}

void TRqIniFile::DeleteKey(const QString &section, const QString &key) {
    Section *s = FindSection(section);
    if (!s)
        return;
    const auto it = s->Index.constFind(FoldKey(key));
    if (it == s->Index.constEnd())
        return;
    s->Entries.removeAt(*it);
    s->Rebuild();
}

void TRqIniFile::EraseSection(const QString &section) {
    const auto it = FSectionIndex.constFind(FoldKey(section));
    if (it == FSectionIndex.constEnd())
        return;
    FSections.removeAt(*it);
    FSectionIndex.clear();
    for (qsizetype i = 0; i < FSections.size(); ++i)
        FSectionIndex.insert(FoldKey(FSections[i].Name), i);
}

void TRqIniFile::Clear() {
    FSections.clear();
    FSectionIndex.clear();
}

QStringList TRqIniFile::Sections() const {
    QStringList out;
    for (const Section &s : FSections)
        out << s.Name;
    return out;
}

QStringList TRqIniFile::Keys(const QString &section) const {
    QStringList out;
    if (const Section *s = FindSection(section))
        for (const auto &entry : s->Entries)
            out << entry.first;
    return out;
}

// ---------------------------------------------------------------------------
// Helpers

std::optional<int> RqParseInt(const QString &text) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return v;
}

std::optional<QString> RqListValue(const QStringList &list, const QString &name) {
    for (const QString &line : list) {
        const qsizetype eq = line.indexOf(u'=');
        const QStringView lineName = eq < 0 ? QStringView(line) : QStringView(line).left(eq);
        if (lineName.compare(name, Qt::CaseInsensitive) == 0)
            return eq < 0 ? QString() : line.mid(eq + 1);
    }
    return std::nullopt;
}

namespace {
TRqEngineSettingListsProvider &ListsProvider() {
    static TRqEngineSettingListsProvider provider;
    return provider;
}

const QString kSetting = u"setting"_s;
const QString kShowAgain = u"ShowAgain"_s;
const QString kShowAgainResult = u"ShowAgainModuleResult"_s;

QString WithSlash(const QString &path) {
    if (path.isEmpty() || path.endsWith(u'/'))
        return path;
    return path + u'/';
}

// Creates a data folder if missing. A new one is private to its user: it
// will hold picture caches named by access tokens.
bool MakeDataFolder(const QString &path) {
    if (QFileInfo(path).isDir())
        return true;
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QStringList made;
    while (!QFileInfo(existing).isDir()) {
        made.prepend(existing);
        const QString up = QFileInfo(existing).absolutePath();
        if (up == existing)
            break;
        existing = up;
    }
    if (!QDir().mkpath(path))
        return false;
    ::chmod(QFile::encodeName(path).constData(), S_IRWXU);
    if (const auto owner = OwnerForRoot(existing))
        for (const QString &folder : made)
            if (::chown(QFile::encodeName(folder).constData(), owner->first, owner->second) != 0)
                RqDebugLog::Log(u"RqSettings"_s, u"Cannot give "_s + folder + u" its owner"_s);
    return true;
}

// The folder created if missing, in its long (canonical) form when that can
// be worked out, with a trailing "/".
QString PrepareFolder(const QString &path) {
    MakeDataFolder(path);
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return WithSlash(canonical.isEmpty() ? path : canonical);
}

// Whether an existing file at path can be read. A file that exists but
// cannot be read must never be replaced by the little this process knows.
bool ExistingFileReadable(const QString &path, QString *reason = nullptr) {
    if (!QFileInfo::exists(path))
        return true;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return true;
    if (reason)
        *reason = file.errorString();
    return false;
}
} // namespace

void SetEngineSettingListsProvider(TRqEngineSettingListsProvider provider) {
    ListsProvider() = std::move(provider);
}

TRqSettingsPaths TRqSettingsPaths::FromEnvironment() {
    TRqSettingsPaths paths;
    if (QCoreApplication::instance()) {
        paths.ProgramFolder = WithSlash(QCoreApplication::applicationDirPath());
        paths.ProgramFile = QCoreApplication::applicationFilePath();
    } else {
        const QFileInfo self(u"/proc/self/exe"_s);
        paths.ProgramFile = self.canonicalFilePath();
        paths.ProgramFolder = WithSlash(QFileInfo(paths.ProgramFile).absolutePath());
    }
    paths.PerUserBase = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString allUsers = qEnvironmentVariable("LUMAFINCH_ALLUSERS_DIR");
    paths.AllUsersBase = allUsers.isEmpty() ? u"/var/lib"_s : allUsers;
    return paths;
}

// ---------------------------------------------------------------------------
// TRqSettings

TRqSettings::TRqSettings(const QString &strSettingFile)
    : TRqSettings(strSettingFile, TRqSettingsPaths::FromEnvironment()) {}

TRqSettings::TRqSettings(const QString &strSettingFile, const TRqSettingsPaths &paths) {
    // 1. Files and the shipped layers.
    FSettingFilename = strSettingFile.isEmpty() ? u"setting.dat"_s : strSettingFile;
    const QString constName = strSettingFile.isEmpty() ? u"const.dat"_s : strSettingFile;
    FConstDataPath = WithSlash(paths.ProgramFolder);
    FConstValueIni = std::make_unique<TRqIniFile>(FConstDataPath + constName);
    FOemValueIni = std::make_unique<TRqIniFile>(FConstDataPath + u"oem."_s + constName);
    FSettingIni = std::make_unique<TRqIniFile>();

    // 2. Folder word; setting.dat is not open yet, so only the shipped files
    // and the engine lists can name it.
    FConfigPathWord = Lookup(u"App.ConfigPath"_s, false).value_or(QString());
    if (FConfigPathWord.isEmpty()) {
        FConfigPathWord = paths.ProgramFile;
        FConfigPathWord.replace(u'\\', u'_').replace(u':', u'_').replace(u'/', u'_');
    }

    // 3. The two candidate data folders.
    FUserDataPathCurrentUser = WithSlash(WithSlash(paths.PerUserBase) + FConfigPathWord);
    FUserDataPathAllUsers = WithSlash(WithSlash(paths.AllUsersBase) + FConfigPathWord);

    // 4. Which one.
    bool allUser = false;
    const int noAllUser =
        RqParseInt(Lookup(u"Setting.NoAllUser"_s, false).value_or(QString())).value_or(0);
    if (noAllUser == 0) {
        MakeDataFolder(FUserDataPathCurrentUser);
        if (IsAllUserFlagExists()) {
            if (GetAllUserFlag() && !IsAllUserPathWriteable())
                SetAllUserFlag(false);
        } else {
            SetAllUserFlag(IsAllUserPathWriteable());
        }
        allUser = GetAllUserFlag();
    }

    // 5. Open setting.dat there.
    SetAllUser(allUser);

    // 6. Count this start.
    FRunTimes = GetSettingInteger(u"RunTimes"_s);
    SetSettingInteger(u"RunTimes"_s,
                      FRunTimes < std::numeric_limits<int>::max() ? FRunTimes + 1 : FRunTimes);
}

TRqSettings::~TRqSettings() = default;

std::optional<QString> TRqSettings::Lookup(const QString &strName, bool withSettingFile) const {
    TRqEngineSettingLists lists;
    if (ListsProvider())
        lists = ListsProvider()();
    if (lists.SettingOverwrite)
        if (auto v = RqListValue(*lists.SettingOverwrite, strName))
            return v;
    if (withSettingFile && FSettingIni)
        if (auto v = FSettingIni->Value(kSetting, strName))
            return v;
    if (auto v = FOemValueIni->Value(kSetting, strName))
        return v;
    if (auto v = FConstValueIni->Value(kSetting, strName))
        return v;
    if (lists.SettingDefault)
        if (auto v = RqListValue(*lists.SettingDefault, strName))
            return v;
    return std::nullopt;
}

QString TRqSettings::GetSettingString(const QString &strName) {
    // Re-reading would throw away changes held back by BeginUpdate, so a
    // pending bracket keeps the in-memory copy.
    // A file that cannot be read now (removed, say) keeps what is in memory,
    // so the next write does not lose it.
    if (FNoCache && !FUpdating && FSettingIni) {
        TRqIniFile fresh;
        fresh.SetFileName(FSettingIni->FileName());
        if (fresh.Reload())
            *FSettingIni = std::move(fresh);
    }
    if (auto v = Lookup(strName, true))
        return *v;
    RqDebugLog::Log(u"RqSettings"_s, u"Setting Not Found :"_s + strName);
    return {};
}

int TRqSettings::GetSettingInteger(const QString &strName) {
    return RqParseInt(GetSettingString(strName)).value_or(0);
}

long double TRqSettings::GetSettingFloat(const QString &strName) {
    QString text = GetSettingString(strName).trimmed();
    if (!text.contains(u'.'))
        text.replace(u',', u'.');
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return 0;
    return v;
}

bool TRqSettings::GetSettingBool(const QString &strName) {
    return GetSettingInteger(strName) != 0;
}

void TRqSettings::GetSettingRect(const QString &strName, QRect &rc) {
    const QStringList parts = GetSettingString(strName).split(u',');
    if (parts.size() != 4)
        return;
    int v[4];
    for (int i = 0; i < 4; ++i)
        v[i] = RqParseInt(parts[i]).value_or(0);
    rc.setCoords(v[0], v[1], v[2], v[3]);
}

bool TRqSettings::GetSettingExists(const QString &strName) const {
    return Lookup(strName, true).has_value();
}

void TRqSettings::SetSettingstring(const QString &strName, const QString &strValue) {
    FSettingIni->WriteString(kSetting, strName, strValue);
    if (!FUpdating)
        WriteBack();
}

void TRqSettings::SetSettingInteger(const QString &strName, int iValue) {
    SetSettingstring(strName, QString::number(iValue));
}

void TRqSettings::SetSettingFloat(const QString &strName, long double fValue) {
    // Shortest text that reads back as the same double.
    SetSettingstring(strName, QString::number(double(fValue), 'g', 17));
}

void TRqSettings::SetSettingBool(const QString &strName, bool ibValue) {
    SetSettingstring(strName, ibValue ? u"1"_s : u"0"_s);
}

void TRqSettings::SetSettingRect(const QString &strName, const QRect &rcValue) {
    int l, t, r, b;
    rcValue.getCoords(&l, &t, &r, &b);
    SetSettingstring(strName, QString::number(l) + u',' + QString::number(t) + u',' +
                                  QString::number(r) + u',' + QString::number(b));
}

bool TRqSettings::GetMessageShowAgainFlag(int iNumber) const {
    const auto v = FSettingIni->Value(kShowAgain, QString::number(iNumber));
    if (!v)
        return true;
    return RqParseInt(*v).value_or(0) != 0;
}

void TRqSettings::SetMessageShowAgainFlag(int iNumber, bool bValue) {
    FSettingIni->WriteString(kShowAgain, QString::number(iNumber), bValue ? u"1"_s : u"0"_s);
    if (!FUpdating)
        WriteBack();
}

int TRqSettings::GetMessageShowAgainResult(int iNumber) const {
    return FSettingIni->ReadInteger(kShowAgainResult, QString::number(iNumber), 1);
}

void TRqSettings::SetMessageShowAgainResult(int iNumber, int iValue) {
    FSettingIni->WriteString(kShowAgainResult, QString::number(iNumber), QString::number(iValue));
    if (!FUpdating)
        WriteBack();
}

void TRqSettings::ClearShowAgainFlag() {
    FSettingIni->EraseSection(kShowAgain);
    FSettingIni->EraseSection(kShowAgainResult);
    if (!FUpdating)
        WriteBack();
}

QString TRqSettings::UserFlagFile() const {
    return FUserDataPathCurrentUser + u"UserFlag.ini"_s;
}

bool TRqSettings::IsAllUserFlagExists() const {
    return TRqIniFile(UserFlagFile()).ValueExists(u"Flag"_s, u"AllUsers"_s);
}

bool TRqSettings::GetAllUserFlag() const {
    return TRqIniFile(UserFlagFile()).ReadInteger(u"Flag"_s, u"AllUsers"_s, 1) != 0;
}

void TRqSettings::SetAllUserFlag(bool bValue) {
    MakeDataFolder(FUserDataPathCurrentUser);
    TRqIniFile flag(UserFlagFile());
    flag.WriteString(u"Flag"_s, u"AllUsers"_s, bValue ? u"1"_s : u"0"_s);
    flag.Save();
}

bool TRqSettings::IsAllUserPathWriteable() const {
    try {
        if (FUserDataPathAllUsers.isEmpty() || !MakeDataFolder(FUserDataPathAllUsers))
            return false;
        QTemporaryFile probe(FUserDataPathAllUsers + u".probe.XXXXXX"_s);
        probe.setAutoRemove(true);
        if (!probe.open())
            return false;
        const QByteArray bytes("probe");
        if (probe.write(bytes) != bytes.size() || !probe.flush())
            return false;
        // The settings file already there must be ours to read and replace:
        // another user's (readable by its owner only) would otherwise be
        // overwritten, or refuse every write.
        const QString file = FUserDataPathAllUsers + FSettingFilename;
        if (!ExistingFileReadable(file))
            return false;
        struct stat folder {};
        struct stat st {};
        if (::geteuid() != 0 &&
            ::stat(QFile::encodeName(FUserDataPathAllUsers).constData(), &folder) == 0 &&
            (folder.st_mode & S_ISVTX) && ::stat(QFile::encodeName(file).constData(), &st) == 0 &&
            st.st_uid != ::geteuid())
            return false;
        return true;
    } catch (...) {
        return false;
    }
}

void TRqSettings::SetAllUser(bool Value) {
    // The object switches only once the new file is open: a failure leaves
    // it on the folder it used before.
    const QString path = PrepareFolder(Value ? FUserDataPathAllUsers : FUserDataPathCurrentUser);
    const QString file = path + FSettingFilename;
    // A write cut short by a crash leaves its temporary file behind; one that
    // old belongs to no write still going on.
    const QDir folder(path);
    const QDateTime stale = QDateTime::currentDateTimeUtc().addSecs(-600);
    for (const QFileInfo &tmp : folder.entryInfoList({u'.' + FSettingFilename + u".??????"_s},
                                                     QDir::Files | QDir::Hidden)) {
        if (tmp.lastModified() < stale)
            QFile::remove(tmp.absoluteFilePath());
    }
    if (!QFileInfo::exists(file))
        TRqIniFile::WriteFileAtomic(file, QByteArray(" "));
    // A settings file this user cannot read (left by another user, or by
    // root) would be overwritten by the first write: refuse instead.
    if (QString reason; !ExistingFileReadable(file, &reason))
        throw TRqFileError(file,
                           u"it cannot be read ("_s + reason + u"), so it is left as it is"_s);
    FSettingIni = std::make_unique<TRqIniFile>(file);
    FAllUser = Value;
    FUserDataPath = path;
}

void TRqSettings::WriteBack() {
    FSettingIni->Save();
    ++FWriteCount;
}

void TRqSettings::UpdateSettingINI() {
    WriteBack();
}

void TRqSettings::BeginUpdate() {
    FUpdating = true;
}

void TRqSettings::EndUpdate() {
    FUpdating = false;
    WriteBack();
}

QString TRqSettings::SlowGetLanguageString(const QString &strSection, const QString &strValue,
                                           const QString &strDefault) {
    QString language = GetSettingString(u"Language.Force"_s);
    if (language.isEmpty())
        language = GetSettingString(u"Language"_s);
    const QString file =
        FConstDataPath + GetSettingString(u"Path.Languages"_s) + u'/' + language + u".lan"_s;
    return TRqIniFile(file).ReadString(strSection, strValue, strDefault);
}

// ---------------------------------------------------------------------------
// GlobalSettings

namespace {
std::unique_ptr<TRqSettings> &GlobalSettingsHolder() {
    static std::unique_ptr<TRqSettings> holder;
    return holder;
}
std::optional<TRqSettingsPaths> &GlobalPaths() {
    static std::optional<TRqSettingsPaths> paths;
    return paths;
}
} // namespace

TRqSettings *GlobalSettings() {
    auto &holder = GlobalSettingsHolder();
    if (!holder) {
        const TRqSettingsPaths paths =
            GlobalPaths() ? *GlobalPaths() : TRqSettingsPaths::FromEnvironment();
        holder = std::make_unique<TRqSettings>(QString(), paths);
    }
    return holder.get();
}

void DestroyGlobalSettings() {
    GlobalSettingsHolder().reset();
}

void SetGlobalSettingsPaths(const TRqSettingsPaths &paths) {
    GlobalPaths() = paths;
}
