#pragma once

// The settings store: one writable INI file ("setting.dat") layered over the
// shipped "const.dat", an optional OEM file and the engine's two name=value
// lists. Also the INI reader/writer used for these files.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

// A file that could not be written. what() reads
// `Cannot write file "<name>": <reason>`.
class TRqFileError : public std::runtime_error {
public:
    TRqFileError(const QString &fileName, const QString &reason);
    const QString &FileName() const { return FFileName; }
    const QString &Reason() const { return FReason; }

private:
    QString FFileName;
    QString FReason;
};

// In-memory INI text: "[section]" lines and "key=value" lines. Sections and
// keys compare without case; dots are plain key characters; a value is
// everything after the first "=" and is kept exactly as written.
//
// Reading never fails: a missing file is empty, junk lines are skipped. The
// text is decoded by its byte-order mark (UTF-8, UTF-16 LE/BE); without one
// it is UTF-8 when it is valid UTF-8, otherwise ISO-8859-1 (every byte kept).
// Writing is always UTF-8 without a mark, goes to a temporary file in the
// same folder that is then renamed over the old file (so a crash or a full
// disk never leaves a truncated file), and the file is readable by its owner
// only.
class TRqIniFile {
public:
    TRqIniFile() = default;
    explicit TRqIniFile(const QString &fileName); // loads at once

    const QString &FileName() const { return FFileName; }
    void SetFileName(const QString &fileName) { FFileName = fileName; }

    // Re-reads the file; a missing or unreadable file leaves it empty.
    // Returns whether the file could be read.
    bool Reload();
    void LoadFromBytes(const QByteArray &bytes);
    void LoadFromText(const QString &text);
    static QString DecodeText(const QByteArray &bytes);

    QByteArray ToBytes() const;
    // Writes the whole content to FileName(); throws TRqFileError.
    void Save() const;
    // Atomic write of any bytes with owner-only permissions; throws TRqFileError.
    static void WriteFileAtomic(const QString &fileName, const QByteArray &bytes);

    bool SectionExists(const QString &section) const;
    bool ValueExists(const QString &section, const QString &key) const;
    std::optional<QString> Value(const QString &section, const QString &key) const;
    QString ReadString(const QString &section, const QString &key, const QString &def = {}) const;
    // Integer read as an INI file does: text that is not an integer gives def.
    int ReadInteger(const QString &section, const QString &key, int def) const;
    // Line breaks in keys and values are replaced by spaces: a value can never
    // add lines (and so keys or sections) to the file.
    void WriteString(const QString &section, const QString &key, const QString &value);
    void DeleteKey(const QString &section, const QString &key);
    void EraseSection(const QString &section);
    void Clear();

    QStringList Sections() const;
    QStringList Keys(const QString &section) const;

private:
    struct Section {
        QString Name;
        QList<std::pair<QString, QString>> Entries;
        QHash<QString, qsizetype> Index; // case-folded key -> entry
        void Rebuild();
    };
    Section *FindSection(const QString &name);
    const Section *FindSection(const QString &name) const;
    Section &AddSection(const QString &name);

    QString FFileName;
    QList<Section> FSections;
    QHash<QString, qsizetype> FSectionIndex; // case-folded name -> section
};

// Parses decimal text the way every integer setting is read; nullopt when the
// text is not a 32-bit integer (surrounding blanks allowed).
std::optional<int> RqParseInt(const QString &text);

// Value of `name` in a list of "name=value" lines (name compared without
// case); nullopt when no line names it.
std::optional<QString> RqListValue(const QStringList &list, const QString &name);

// The engine's two lists, supplied by the global engine while it exists.
// Either pointer may be null (that list is skipped).
struct TRqEngineSettingLists {
    const QStringList *SettingOverwrite = nullptr;
    const QStringList *SettingDefault = nullptr;
};
using TRqEngineSettingListsProvider = std::function<TRqEngineSettingLists()>;
// The global engine installs its provider when it is created and clears it
// (passes an empty function) when it is destroyed. Until then both lists
// are skipped.
void SetEngineSettingListsProvider(TRqEngineSettingListsProvider provider);

// Where the settings store looks. FromEnvironment() gives the real places:
// the program's own folder, the XDG data home and a machine-wide folder
// ("/var/lib", or $LUMAFINCH_ALLUSERS_DIR when set).
struct TRqSettingsPaths {
    QString ProgramFolder; // folder of the program file, trailing "/"
    QString ProgramFile;   // full path of the program file
    QString PerUserBase;   // e.g. ~/.local/share
    QString AllUsersBase;  // e.g. /var/lib
    static TRqSettingsPaths FromEnvironment();
};

class TRqSettings {
public:
    explicit TRqSettings(const QString &strSettingFile = {});
    TRqSettings(const QString &strSettingFile, const TRqSettingsPaths &paths);
    ~TRqSettings();
    TRqSettings(const TRqSettings &) = delete;
    TRqSettings &operator=(const TRqSettings &) = delete;

    // Lookup through the layers: engine overwrite list, setting.dat, OEM
    // file, const.dat, engine default list. A miss is empty and logged.
    QString GetSettingString(const QString &strName);
    int GetSettingInteger(const QString &strName);
    // Floats are written with "." and read with "." or ",", whatever the
    // locale, so a file moves between machines unchanged.
    long double GetSettingFloat(const QString &strName);
    bool GetSettingBool(const QString &strName); // integer, non-zero is true
    // "left,top,right,bottom" into rc's coordinates (QRect::setCoords);
    // rc is unchanged unless there are exactly four parts.
    void GetSettingRect(const QString &strName, QRect &rc);
    bool GetSettingExists(const QString &strName) const;

    void SetSettingstring(const QString &strName, const QString &strValue);
    void SetSettingInteger(const QString &strName, int iValue);
    void SetSettingFloat(const QString &strName, long double fValue);
    void SetSettingBool(const QString &strName, bool ibValue);
    void SetSettingRect(const QString &strName, const QRect &rcValue);

    // Message-box answers, sections "ShowAgain" and "ShowAgainModuleResult".
    bool GetMessageShowAgainFlag(int iNumber) const;
    void SetMessageShowAgainFlag(int iNumber, bool bValue);
    int GetMessageShowAgainResult(int iNumber) const;
    void SetMessageShowAgainResult(int iNumber, int iValue);
    void ClearShowAgainFlag();

    // Data-folder choice ("UserFlag.ini", section "Flag", key "AllUsers").
    bool IsAllUserFlagExists() const;
    bool GetAllUserFlag() const; // a flag that cannot be read counts as true
    void SetAllUserFlag(bool bValue);
    // Creates the all-users folder if missing and really writes a probe file.
    bool IsAllUserPathWriteable() const;
    // Switches the data folder and re-opens setting.dat from it.
    void SetAllUser(bool Value);
    bool AllUser() const { return FAllUser; }

    // Writes setting.dat now; throws TRqFileError.
    void UpdateSettingINI();
    void BeginUpdate();
    void EndUpdate();
    bool NoCache() const { return FNoCache; }
    void SetNoCache(bool Value) { FNoCache = Value; }

    QString SlowGetLanguageString(const QString &strSection, const QString &strValue,
                                  const QString &strDefault);

    const QString &UserDataPath() const { return FUserDataPath; } // trailing "/"
    int RunTimes() const { return FRunTimes; }
    const QString &ConstDataPath() const { return FConstDataPath; }
    const QString &UserDataPathCurrentUser() const { return FUserDataPathCurrentUser; }
    const QString &UserDataPathAllUsers() const { return FUserDataPathAllUsers; }
    const QString &ConfigPathWord() const { return FConfigPathWord; }
    QString SettingFilePath() const { return FUserDataPath + FSettingFilename; }
    // How many times setting.dat was written by this object (diagnostics).
    int WriteCount() const { return FWriteCount; }

private:
    std::optional<QString> Lookup(const QString &strName, bool withSettingFile) const;
    void WriteBack();
    QString UserFlagFile() const;

    bool FAllUser = false;
    std::unique_ptr<TRqIniFile> FConstValueIni;
    std::unique_ptr<TRqIniFile> FOemValueIni;
    std::unique_ptr<TRqIniFile> FSettingIni;
    QString FConstDataPath;
    QString FUserDataPath;
    QString FUserDataPathCurrentUser;
    QString FUserDataPathAllUsers;
    int FRunTimes = 0;
    bool FUpdating = false;
    QString FConfigPathWord;
    QString FSettingFilename;
    bool FNoCache = false;
    int FWriteCount = 0;
};

// The process's settings object, created on the first call.
TRqSettings *GlobalSettings();
// Destroys it (end of the run procedure); the next call creates a new one.
void DestroyGlobalSettings();
// Places used by the next creation of GlobalSettings() (tests and tools
// call this before the first GlobalSettings()).
void SetGlobalSettingsPaths(const TRqSettingsPaths &paths);
