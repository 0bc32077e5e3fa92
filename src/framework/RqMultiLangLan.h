#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <stdexcept>

// A language file that cannot be read or written. Carries the file name and
// the reason so the caller can tell the user which file failed and why; the
// table involved keeps the content it had before the call.
class TRqLangFileError : public std::runtime_error {
public:
    TRqLangFileError(const QString &fileName, const QString &reason);
    const QString &FileName() const { return FFileName; }
    const QString &Reason() const { return FReason; }

private:
    QString FFileName;
    QString FReason;
};

// Escapes of a stored value: "<BR>" is a line break (CR LF), "<SP>" a blank.
// Decoding recognises both in any letter case.
QString DecodeLangText(const QString &text);
// Every CR LF, lone CR and lone LF becomes "<BR>". Blanks at either end of the
// value are written as "<SP>" because reading trims a line; inner blanks stay.
QString EncodeLangText(const QString &text);

// Splits a text into lines at CR LF, lone CR or lone LF. A break at the very end
// does not start another (empty) line, so "a\r\nb\r\n" is two lines.
QStringList SplitLangLines(const QString &text);

// Turns the bytes of a language file into text: a byte-order mark selects UTF-8
// or UTF-16 little/big endian; without one the bytes are ISO-8859-1.
QString DecodeLangFileBytes(const QByteArray &bytes);
// Text as it is written to a file: ISO-8859-1 without a mark when every
// character fits, otherwise UTF-8 with a byte-order mark so no script is lost.
QByteArray EncodeLangFileBytes(const QString &text);

// One language table: the raw text lines and the parsed sections, kept in step
// lazily. FbToApply says the lines changed since the sections were built,
// FbModified that the sections changed since the lines were built.
//
// Text form: "[Section]" lines open sections, "key=value" lines are entries,
// lines starting with ";" are comments, and values are escaped (see
// EncodeLangText). Section names and keys compare without letter case; the
// first section of a name and the first entry of a key win.
class TRqMultiLangLan {
public:
    TRqMultiLangLan();
    TRqMultiLangLan(const TRqMultiLangLan &) = delete;
    TRqMultiLangLan &operator=(const TRqMultiLangLan &) = delete;

    // Reads the file (see DecodeLangFileBytes) and parses it at once. Throws
    // TRqLangFileError when the file is missing or unreadable; the table is
    // then unchanged.
    void LoadFromFile(const QString &fileName);
    void LoadFromString(const QString &text);
    // The lines as they stand, each followed by CR LF.
    QString ToString() const;
    // Sorts the table (SortData), then writes ToString to the file. Throws
    // TRqLangFileError when the file cannot be written; an existing file is
    // then left as it was.
    void SaveToFile(const QString &fileName);
    // dest's lines become a copy of these lines, and dest parses them at once.
    // A null dest does nothing.
    void AssignTo(TRqMultiLangLan *dest) const;
    void ClearAll();

    // Looks up strComp + "." + strProp (or just strProp when strComp is empty)
    // in section strForm. Returns false and leaves strValue alone when absent;
    // otherwise strValue is the decoded value (an empty value is found too).
    bool GetProp(const QString &strForm, const QString &strComp, const QString &strProp,
                 QString &strValue);
    // Stores the encoded value: replaces the entry in place or appends it,
    // appending the section when needed, then rebuilds the lines.
    void SetProp(const QString &strForm, const QString &strComp, const QString &strProp,
                 const QString &strValue);
    // Erases the first section of that name; the lines follow at the next
    // UpdateData.
    void ClearForm(const QString &strForm);
    // Erases every section except the reserved ones (Info, AppRes, SkinRes,
    // LibRes, BasicRes).
    void ClearAllForm();
    // The entries of the section (first occurrence) as "key=value" lines with
    // decoded values; a later entry of a key replaces an earlier one, an empty
    // value removes it.
    void GetSectionStrings(const QString &strSection, QStringList &sl);

    // Lines to sections, when the lines changed.
    void ApplyData();
    // Sections to lines, when the sections changed.
    void UpdateData();
    // Reserved sections first (Info, BasicRes, SkinRes, LibRes, AppRes), then
    // the others by name; entries sorted except in "Info"; duplicate keys and
    // duplicate sections merged; empty sections dropped.
    void SortData();

    const QStringList &Data() const { return FData; }
    void SetData(const QStringList &lines);

    bool Modified() const { return FbModified; }
    bool ToApply() const { return FbToApply; }

    // Section names in table order (parses first); used by tools and tests.
    QStringList SectionNames();

private:
    struct Entry {
        QString Key;   // the whole line when HasKey is false
        QString Value; // stored (escaped) text
        bool HasKey = true;
        QString Line() const { return HasKey ? Key + QLatin1Char('=') + Value : Key; }
    };
    struct Section {
        QString Name;
        QList<Entry> Entries;
        QHash<QString, qsizetype> KeyIndex; // folded key -> first entry
        void Reindex();
        void Put(const QString &key, const QString &value);
    };

    static QString KeyOf(const QString &strComp, const QString &strProp);
    static QString Fold(const QString &s) { return s.toCaseFolded(); }
    Section *FindSection(const QString &name);
    void ReindexSections();

    QStringList FData;
    QList<Section> FIniData;
    QHash<QString, qsizetype> FSectionIndex; // folded name -> first section
    bool FbModified = false;
    bool FbToApply = true;
};
