#include "framework/RqMultiLangLan.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// Trims blanks and control characters (everything up to U+0020) at both ends,
// and nothing else: a no-break or ideographic space belongs to the text.
QString TrimLine(const QString &s) {
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && s.at(b).unicode() <= 0x20)
        ++b;
    while (e > b && s.at(e - 1).unicode() <= 0x20)
        --e;
    return s.mid(b, e - b);
}

bool IsReserved(const QString &name) {
    static const QStringList reserved = {QStringLiteral("Info"), QStringLiteral("AppRes"),
                                         QStringLiteral("SkinRes"), QStringLiteral("LibRes"),
                                         QStringLiteral("BasicRes")};
    return reserved.contains(name, Qt::CaseInsensitive);
}

bool LessNoCase(const QString &a, const QString &b) {
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

} // namespace

TRqLangFileError::TRqLangFileError(const QString &fileName, const QString &reason)
    : std::runtime_error(
          QString(QStringLiteral("Language file \"") + fileName + QStringLiteral("\": ") + reason)
              .toStdString()),
      FFileName(fileName), FReason(reason) {}

QString DecodeLangText(const QString &text) {
    QString s = text;
    s.replace(QStringLiteral("<BR>"), kCrLf, Qt::CaseInsensitive);
    s.replace(QStringLiteral("<SP>"), QStringLiteral(" "), Qt::CaseInsensitive);
    return s;
}

QString EncodeLangText(const QString &text) {
    QString s = text;
    s.replace(kCrLf, QStringLiteral("<BR>"));
    s.replace(QLatin1Char('\r'), QStringLiteral("<BR>"));
    s.replace(QLatin1Char('\n'), QStringLiteral("<BR>"));
    // Reading trims every line, so outer blanks survive only as escapes.
    qsizetype lead = 0;
    while (lead < s.size() && s.at(lead) == QLatin1Char(' '))
        ++lead;
    if (lead == s.size())
        return QStringLiteral("<SP>").repeated(lead);
    qsizetype trail = 0;
    while (trail < s.size() && s.at(s.size() - 1 - trail) == QLatin1Char(' '))
        ++trail;
    if (lead == 0 && trail == 0)
        return s;
    return QStringLiteral("<SP>").repeated(lead) + s.mid(lead, s.size() - lead - trail) +
           QStringLiteral("<SP>").repeated(trail);
}

QStringList SplitLangLines(const QString &text) {
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            lines << text.mid(start, i - start);
            if (c == QLatin1Char('\r') && i + 1 < n && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            start = i + 1;
        }
        ++i;
    }
    if (start < n)
        lines << text.mid(start);
    return lines;
}

QString DecodeLangFileBytes(const QByteArray &bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.mid(3));
    if (bytes.startsWith("\xFF\xFE")) {
        QStringDecoder dec(QStringDecoder::Utf16LE);
        return dec(bytes.mid(2));
    }
    if (bytes.startsWith("\xFE\xFF")) {
        QStringDecoder dec(QStringDecoder::Utf16BE);
        return dec(bytes.mid(2));
    }
    return QString::fromLatin1(bytes);
}

QByteArray EncodeLangFileBytes(const QString &text) {
    const bool fits =
        std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() <= 0xFF; });
    if (fits)
        return text.toLatin1();
    return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

// ---------------------------------------------------------------------------

void TRqMultiLangLan::Section::Reindex() {
    // Walks backwards because insert replaces: the first entry of a key wins.
    KeyIndex.clear();
    for (qsizetype i = Entries.size() - 1; i >= 0; --i) {
        if (Entries.at(i).HasKey)
            KeyIndex.insert(Fold(Entries.at(i).Key), i);
    }
}

void TRqMultiLangLan::Section::Put(const QString &key, const QString &value) {
    const auto it = KeyIndex.constFind(Fold(key));
    if (it != KeyIndex.cend()) {
        Entries[*it].Value = value;
        return;
    }
    Entries.append(Entry{key, value, true});
    KeyIndex.insert(Fold(key), Entries.size() - 1);
}

TRqMultiLangLan::TRqMultiLangLan() = default;

QString TRqMultiLangLan::KeyOf(const QString &strComp, const QString &strProp) {
    return strComp.isEmpty() ? strProp : strComp + QLatin1Char('.') + strProp;
}

TRqMultiLangLan::Section *TRqMultiLangLan::FindSection(const QString &name) {
    const auto it = FSectionIndex.constFind(Fold(name));
    return it == FSectionIndex.cend() ? nullptr : &FIniData[*it];
}

void TRqMultiLangLan::ReindexSections() {
    FSectionIndex.clear();
    for (qsizetype i = FIniData.size() - 1; i >= 0; --i)
        FSectionIndex.insert(Fold(FIniData.at(i).Name), i);
}

void TRqMultiLangLan::LoadFromFile(const QString &fileName) {
    const QFileInfo info(fileName);
    if (!info.exists())
        throw TRqLangFileError(fileName, QStringLiteral("the file does not exist"));
    if (info.isDir())
        throw TRqLangFileError(fileName, QStringLiteral("it is a folder, not a file"));
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly))
        throw TRqLangFileError(fileName, f.errorString());
    const QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError)
        throw TRqLangFileError(fileName, f.errorString());
    LoadFromString(DecodeLangFileBytes(bytes));
}

void TRqMultiLangLan::LoadFromString(const QString &text) {
    FData = SplitLangLines(text);
    FbToApply = true;
    ApplyData();
}

QString TRqMultiLangLan::ToString() const {
    QString out;
    for (const QString &line : FData)
        out += line + kCrLf;
    return out;
}

void TRqMultiLangLan::SaveToFile(const QString &fileName) {
    SortData();
    QSaveFile f(fileName);
    if (!f.open(QIODevice::WriteOnly))
        throw TRqLangFileError(fileName, f.errorString());
    const QByteArray bytes = EncodeLangFileBytes(ToString());
    if (f.write(bytes) != bytes.size() || !f.commit())
        throw TRqLangFileError(fileName, f.errorString());
}

void TRqMultiLangLan::AssignTo(TRqMultiLangLan *dest) const {
    if (!dest || dest == this)
        return;
    dest->FData = FData;
    dest->FbToApply = true;
    dest->ApplyData();
}

void TRqMultiLangLan::ClearAll() {
    FIniData.clear();
    FSectionIndex.clear();
    FData.clear();
    FbModified = false;
    FbToApply = false;
}

void TRqMultiLangLan::SetData(const QStringList &lines) {
    FData = lines;
    FbToApply = true;
    // Section changes not yet written to the lines are superseded by these
    // lines; an UpdateData before the next parse must not restore them.
    FbModified = false;
}

void TRqMultiLangLan::ApplyData() {
    if (!FbToApply)
        return;
    FIniData.clear();
    Section *current = nullptr;
    for (const QString &raw : std::as_const(FData)) {
        const QString line = TrimLine(raw);
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            FIniData.append(Section{TrimLine(line.mid(1, line.size() - 2)), {}, {}});
            current = &FIniData.last();
            continue;
        }
        if (!current)
            continue; // lines before the first section belong nowhere
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            current->Entries.append(Entry{line, QString(), false});
        else
            current->Entries.append(
                Entry{TrimLine(line.left(eq)), TrimLine(line.mid(eq + 1)), true});
    }
    for (Section &s : FIniData)
        s.Reindex();
    ReindexSections();
    FbToApply = false;
    FbModified = false;
}

void TRqMultiLangLan::UpdateData() {
    if (!FbModified)
        return;
    FData.clear();
    for (const Section &s : std::as_const(FIniData)) {
        FData << QLatin1Char('[') + s.Name + QLatin1Char(']');
        for (const Entry &e : s.Entries)
            FData << e.Line();
        FData << QString();
    }
    FbModified = false;
    FbToApply = false;
}

bool TRqMultiLangLan::GetProp(const QString &strForm, const QString &strComp,
                              const QString &strProp, QString &strValue) {
    ApplyData();
    const Section *s = FindSection(strForm);
    if (!s)
        return false;
    const auto it = s->KeyIndex.constFind(Fold(KeyOf(strComp, strProp)));
    if (it == s->KeyIndex.cend())
        return false;
    strValue = DecodeLangText(s->Entries.at(*it).Value);
    return true;
}

void TRqMultiLangLan::SetProp(const QString &strForm, const QString &strComp,
                              const QString &strProp, const QString &strValue) {
    ApplyData();
    Section *s = FindSection(strForm);
    if (!s) {
        FIniData.append(Section{strForm, {}, {}});
        FSectionIndex.insert(Fold(strForm), FIniData.size() - 1);
        s = &FIniData.last();
    }
    s->Put(KeyOf(strComp, strProp), EncodeLangText(strValue));
    FbModified = true;
    UpdateData();
}

void TRqMultiLangLan::ClearForm(const QString &strForm) {
    ApplyData();
    const auto it = FSectionIndex.constFind(Fold(strForm));
    if (it == FSectionIndex.cend())
        return;
    FIniData.removeAt(*it);
    ReindexSections();
    FbModified = true;
}

void TRqMultiLangLan::ClearAllForm() {
    ApplyData();
    FIniData.removeIf([](const Section &s) { return !IsReserved(s.Name); });
    ReindexSections();
    FbModified = true;
    UpdateData();
}

void TRqMultiLangLan::GetSectionStrings(const QString &strSection, QStringList &sl) {
    ApplyData();
    const Section *s = FindSection(strSection);
    if (!s)
        return;
    QList<std::pair<QString, QString>> values;
    for (const Entry &e : s->Entries) {
        if (!e.HasKey)
            continue;
        const QString value = DecodeLangText(e.Value);
        const auto it = std::find_if(values.begin(), values.end(), [&](const auto &p) {
            return QString::compare(p.first, e.Key, Qt::CaseInsensitive) == 0;
        });
        if (value.isEmpty()) {
            if (it != values.end())
                values.erase(it);
        } else if (it != values.end()) {
            it->second = value;
        } else {
            values.append({e.Key, value});
        }
    }
    for (const auto &[key, value] : values)
        sl << key + QLatin1Char('=') + value;
}

void TRqMultiLangLan::SortData() {
    ApplyData();
    // Section names in table order, one per name, sorted without case.
    QStringList names;
    for (const Section &s : std::as_const(FIniData)) {
        if (!IsReserved(s.Name) && !names.contains(s.Name, Qt::CaseInsensitive))
            names << s.Name;
    }
    std::stable_sort(names.begin(), names.end(), LessNoCase);
    const QStringList front = {QStringLiteral("Info"), QStringLiteral("BasicRes"),
                               QStringLiteral("SkinRes"), QStringLiteral("LibRes"),
                               QStringLiteral("AppRes")};
    names = front + names;

    QList<Section> sorted;
    for (const QString &name : std::as_const(names)) {
        const Section *src = FindSection(name);
        if (!src || src->Entries.isEmpty())
            continue;
        QList<Entry> entries = src->Entries;
        if (QString::compare(name, QStringLiteral("Info"), Qt::CaseInsensitive) != 0) {
            std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
                return LessNoCase(a.Line(), b.Line());
            });
        }
        Section out{name, {}, {}};
        for (const Entry &e : std::as_const(entries)) {
            if (e.HasKey) {
                out.Put(e.Key, e.Value); // a repeated key keeps its place, takes the last value
            } else {
                const bool seen =
                    std::any_of(out.Entries.cbegin(), out.Entries.cend(),
                                [&](const Entry &o) { return !o.HasKey && o.Key == e.Key; });
                if (!seen)
                    out.Entries.append(e);
            }
        }
        out.Reindex();
        sorted.append(out);
    }
    FIniData = sorted;
    ReindexSections();
    FbModified = true;
    UpdateData();
}

QStringList TRqMultiLangLan::SectionNames() {
    ApplyData();
    QStringList names;
    for (const Section &s : std::as_const(FIniData))
        names << s.Name;
    return names;
}
