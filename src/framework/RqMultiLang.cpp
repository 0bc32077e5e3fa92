#include "framework/RqMultiLang.h"

#include <QFile>
#include <QMetaProperty>

#include <algorithm>

// Outside any namespace, as Q_INIT_RESOURCE requires; the tables live in this
// static library, so the resource must be registered by hand before use.
static void InitBuiltinLangResource() {
    Q_INIT_RESOURCE(rqmultilang_builtin);
}

namespace {

const QString kAppRes = QStringLiteral("AppRes");
const QString kAppName = QStringLiteral("AppName");
const QString kAppNamePlaceholder = QStringLiteral("{AppName}");

// ----- registered properties -----------------------------------------------

struct PropRegistry {
    QList<TRqLangVirtualProp> Props;
    std::function<bool(const QObject *)> SeparateWindow;

    PropRegistry() {
        // "Caption": the text a user reads as the control's caption.
        auto alias = [this](const char *cls, const char *qtProp, bool ownerOnly) {
            TRqLangVirtualProp p;
            p.ClassName = cls;
            p.Name = QStringLiteral("Caption");
            p.Kind = TRqLangPropKind::Text;
            p.OwnerOnly = ownerOnly;
            const QByteArray name(qtProp);
            p.Read = [name](const QObject *o) { return o->property(name.constData()); };
            p.Write = [name](QObject *o, const QVariant &v) {
                o->setProperty(name.constData(), v);
            };
            Props.append(p);
        };
        alias("QWidget", "windowTitle", true);
        alias("QDockWidget", "windowTitle", false);
        alias("QLabel", "text", false);
        alias("QAbstractButton", "text", false);
        alias("QAction", "text", false);
        alias("QGroupBox", "title", false);
        alias("QMenu", "title", false);
    }
};

PropRegistry &Registry() {
    static PropRegistry r;
    return r;
}

struct PropInfo {
    QString Name;
    QString TypeName;
    TRqLangPropKind Kind = TRqLangPropKind::Other;
    bool Readable = false;
    bool Writable = false;
    QMetaProperty Meta;                          // valid for Qt properties
    const TRqLangVirtualProp *Virtual = nullptr; // set for registered ones
};

QList<PropInfo> PublishedProps(const QObject *obj, bool isOwner) {
    QList<PropInfo> props;
    const QMetaObject *mo = obj->metaObject();
    for (int i = 0; i < mo->propertyCount(); ++i) {
        const QMetaProperty mp = mo->property(i);
        PropInfo p;
        p.Name = QString::fromLatin1(mp.name());
        p.Meta = mp;
        p.Readable = mp.isReadable();
        p.Writable = mp.isWritable();
        const QMetaType t = mp.metaType();
        p.TypeName = QString::fromLatin1(t.name());
        if (p.Name == QLatin1String("objectName")) {
            p.Kind = TRqLangPropKind::ComponentName;
            p.TypeName = QStringLiteral("TComponentName");
        } else if (t.id() == QMetaType::QString) {
            p.Kind = TRqLangPropKind::Text;
        } else if (t.id() == QMetaType::QStringList) {
            p.Kind = TRqLangPropKind::TextList;
            p.TypeName = QStringLiteral("TStrings");
        } else if (t.flags() & QMetaType::PointerToQObject) {
            p.Kind = TRqLangPropKind::Object;
        }
        props.append(p);
    }
    // Registered properties; among several of one name the last registered wins.
    const auto &reg = Registry().Props;
    for (auto it = reg.crbegin(); it != reg.crend(); ++it) {
        if (!obj->inherits(it->ClassName.constData()) || (it->OwnerOnly && !isOwner))
            continue;
        const auto same = [&](const PropInfo &p) {
            return QString::compare(p.Name, it->Name, Qt::CaseInsensitive) == 0;
        };
        // A class that publishes the name itself, or a later registration, wins.
        if (std::any_of(props.cbegin(), props.cend(), same))
            continue;
        PropInfo p;
        p.Name = it->Name;
        p.Kind = it->Kind;
        p.TypeName = it->Kind == TRqLangPropKind::TextList     ? QStringLiteral("TStrings")
                     : it->Kind == TRqLangPropKind::Collection ? QStringLiteral("TCollection")
                                                               : QStringLiteral("QString");
        p.Readable = true;
        p.Writable = true;
        p.Virtual = &*it;
        props.append(p);
    }
    std::stable_sort(props.begin(), props.end(), [](const PropInfo &a, const PropInfo &b) {
        return QString::compare(a.Name, b.Name, Qt::CaseInsensitive) < 0;
    });
    return props;
}

QVariant ReadProp(const PropInfo &p, const QObject *obj) {
    return p.Virtual ? p.Virtual->Read(obj) : p.Meta.read(obj);
}

void WriteProp(const PropInfo &p, QObject *obj, const QVariant &v) {
    if (p.Virtual)
        p.Virtual->Write(obj, v);
    else
        p.Meta.write(obj, v);
}

QStringList SortedItemProps(const TRqLangVirtualProp &v) {
    QStringList names = v.ItemProps;
    std::stable_sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    return names;
}

QString ItemKey(const QString &prop, int index, const QString &itemProp) {
    return prop + QLatin1Char('[') + QString::number(index) + QStringLiteral("].") + itemProp;
}

QStringList ClassChain(const QObject *obj) {
    QStringList names;
    for (const QMetaObject *mo = obj->metaObject(); mo; mo = mo->superClass())
        names << QString::fromLatin1(mo->className());
    return names;
}

// Parts Qt builds inside its widgets (a tab bar and its scroll buttons, the
// bars of a scroll area, a line edit's clear action): not components of the
// window.
bool IsQtInternal(const QString &name) {
    return name.startsWith(QLatin1String("qt_")) || name.startsWith(QLatin1String("_q_")) ||
           name == QLatin1String("ScrollLeftButton") || name == QLatin1String("ScrollRightButton");
}

// Internal parts that hold the window's own controls.
bool IsQtContentHolder(const QString &name) {
    return name == QLatin1String("qt_tabwidget_stackedwidget") ||
           name == QLatin1String("qt_scrollarea_viewport");
}

bool HasOwnTranslator(const QObject *obj, const TRqMultiLang *except) {
    const auto children = obj->children();
    return std::any_of(children.cbegin(), children.cend(), [&](const QObject *c) {
        const auto *t = qobject_cast<const TRqMultiLang *>(c);
        return t && t != except;
    });
}

} // namespace

namespace RqMultiLangProps {

void Register(const TRqLangVirtualProp &prop) {
    auto &props = Registry().Props;
    props.removeIf([&](const TRqLangVirtualProp &p) {
        return p.ClassName == prop.ClassName &&
               QString::compare(p.Name, prop.Name, Qt::CaseInsensitive) == 0;
    });
    props.append(prop);
}

void RegisterAlias(const QByteArray &className, const QString &name, const char *qtProperty,
                   bool ownerOnly) {
    TRqLangVirtualProp p;
    p.ClassName = className;
    p.Name = name;
    p.Kind = TRqLangPropKind::Text;
    p.OwnerOnly = ownerOnly;
    const QByteArray real(qtProperty);
    p.Read = [real](const QObject *o) { return o->property(real.constData()); };
    p.Write = [real](QObject *o, const QVariant &v) { o->setProperty(real.constData(), v); };
    Register(p);
}

void SetSeparateWindowTest(std::function<bool(const QObject *)> test) {
    Registry().SeparateWindow = std::move(test);
}

} // namespace RqMultiLangProps

// ----- TRqMultiLangData ----------------------------------------------------

TRqMultiLangData::TRqMultiLangData(QObject *owner) : QObject(owner) {
    SetExcludeProps(DefaultExcludeProps());
}

TRqMultiLangData::~TRqMultiLangData() {
    // Translators are not ours; they only lose their link (a QPointer).
    FClients.clear();
}

QStringList TRqMultiLangData::DefaultExcludeProps() {
    return {
        // Browsers and non-visual components carry addresses and tokens, not texts.
        QStringLiteral("QWebEngineView:"),
        QStringLiteral("TRqWebBanner:"),
        QStringLiteral("TRqEngine:"),
        QStringLiteral("TKestHttpRequest:"),
        QStringLiteral("TSingleDownloader:"),
        QStringLiteral("TFacebook:"),
        // Component names are never translated.
        QStringLiteral(":TComponentName"),
        // Looks, not words.
        QStringLiteral(".styleSheet"),
        // What the user types or the program fills in: contents of edits, text
        // editors and combo boxes, and their formats.
        QStringLiteral(".text"),
        QStringLiteral(".plainText"),
        QStringLiteral(".html"),
        QStringLiteral(".markdown"),
        QStringLiteral(".currentText"),
        QStringLiteral(".documentTitle"),
        QStringLiteral(".inputMask"),
        QStringLiteral(".displayFormat"),
        QStringLiteral(".format"),
        // Reached as "Caption" where they are captions.
        QStringLiteral(".windowTitle"),
        QStringLiteral(".title"),
        QStringLiteral(".iconText"),
        QStringLiteral(".windowIconText"),
        QStringLiteral(".windowFilePath"),
        // Texts this program never sets: no what's-this help, no status bar,
        // no separate accessible names; kept out so each control adds one or
        // two lines to its window's section, not seven.
        QStringLiteral(".whatsThis"),
        QStringLiteral(".statusTip"),
        QStringLiteral(".accessibleName"),
        QStringLiteral(".accessibleDescription"),
    };
}

void TRqMultiLangData::SetExcludeProps(const QStringList &v) {
    FExcludeProps = v;
    FExcludeSet.clear();
    for (const QString &line : v)
        FExcludeSet.insert(line.toCaseFolded());
}

bool TRqMultiLangData::HasExcludeLine(const QString &line) const {
    return FExcludeSet.contains(line.toCaseFolded());
}

void TRqMultiLangData::AddClient(TRqMultiLang *client) {
    if (client && !FClients.contains(client))
        FClients.append(client);
}

void TRqMultiLangData::RemoveClient(TRqMultiLang *client) {
    FClients.removeAll(client);
}

namespace {
// A client's handler may close windows; walk a guarded copy.
template <typename Fn> void ForEachClient(const QList<TRqMultiLang *> &clients, Fn fn) {
    QList<QPointer<TRqMultiLang>> copy;
    for (TRqMultiLang *c : clients)
        copy.append(c);
    for (const auto &c : copy) {
        if (c)
            fn(c.data());
    }
}
} // namespace

void TRqMultiLangData::ApplyClients() {
    ForEachClient(FClients, [](TRqMultiLang *c) { c->ApplyData(); });
}

void TRqMultiLangData::UpdateClients() {
    ForEachClient(FClients, [](TRqMultiLang *c) { c->UpdateData(); });
}

void TRqMultiLangData::ClearClients() {
    ForEachClient(FClients, [](TRqMultiLang *c) { c->ClearData(); });
}

bool TRqMultiLangData::GetProp(const QString &strForm, const QString &strComp,
                               const QString &strProp, QString &strValue) {
    QString value;
    const bool found = FLangCurrentData.GetProp(strForm, strComp, strProp, value) ||
                       FLangDefaultData.GetProp(strForm, strComp, strProp, value);
    if (!found)
        return false;
    const bool isAppName = QString::compare(strForm, kAppRes, Qt::CaseInsensitive) == 0 &&
                           QString::compare(strProp, kAppName, Qt::CaseInsensitive) == 0;
    if (!isAppName && value.contains(kAppNamePlaceholder, Qt::CaseInsensitive))
        value.replace(kAppNamePlaceholder, FAppNameValid ? FAppName : AppName(),
                      Qt::CaseInsensitive);
    strValue = value;
    return true;
}

void TRqMultiLangData::SetProp(const QString &strForm, const QString &strComp,
                               const QString &strProp, const QString &strValue) {
    FLangCurrentData.SetProp(strForm, strComp, strProp, strValue);
}

void TRqMultiLangData::ClearForm(const QString &strForm) {
    FLangCurrentData.ClearForm(strForm);
}

void TRqMultiLangData::UpdateData() {
    FLangCurrentData.UpdateData();
}

void TRqMultiLangData::GetSectionStrings(const QString &strSection, QStringList &sl) {
    QStringList current;
    QStringList fallback;
    FLangCurrentData.GetSectionStrings(strSection, current);
    FLangDefaultData.GetSectionStrings(strSection, fallback);
    const auto nameOf = [](const QString &line) {
        return line.left(line.indexOf(QLatin1Char('=')));
    };
    QSet<QString> names;
    for (const QString &line : std::as_const(sl))
        names.insert(nameOf(line).toCaseFolded());
    for (const QStringList *list : {&current, &fallback}) {
        for (const QString &line : *list) {
            const QString key = nameOf(line).toCaseFolded();
            if (names.contains(key))
                continue;
            names.insert(key);
            sl << line;
        }
    }
}

void TRqMultiLangData::LoadCurrentFromFile(const QString &fileName) {
    FLangCurrentData.LoadFromFile(fileName); // throws before anything changed
    FAppNameValid = false;
    AppName();
    ApplyClients();
}

void TRqMultiLangData::LoadDefaultFromFile(const QString &fileName) {
    FLangDefaultData.LoadFromFile(fileName);
    FAppNameValid = false;
    AppName();
}

void TRqMultiLangData::SaveCurrentToFile(const QString &fileName) {
    FLangCurrentData.SaveToFile(fileName);
}

void TRqMultiLangData::LoadBuiltinTables() {
    SetCurrentData(SplitLangLines(RqMultiLangBuiltin::CurrentText()));
    SetDefaultData(SplitLangLines(RqMultiLangBuiltin::DefaultText()));
    AppName();
}

void TRqMultiLangData::ClearCurrentAll() {
    FLangCurrentData.ClearAll();
    FAppNameValid = false;
}

void TRqMultiLangData::ClearCurrentAllForm() {
    FLangCurrentData.ClearAllForm();
}

void TRqMultiLangData::CurrentToDefault() {
    FLangCurrentData.AssignTo(&FLangDefaultData);
    FAppNameValid = false;
}

void TRqMultiLangData::DefaultToCurrent() {
    FLangDefaultData.AssignTo(&FLangCurrentData);
    FAppNameValid = false;
}

void TRqMultiLangData::SetCurrentData(const QStringList &lines) {
    FLangCurrentData.SetData(lines);
    FAppNameValid = false;
}

void TRqMultiLangData::SetDefaultData(const QStringList &lines) {
    FLangDefaultData.SetData(lines);
    FAppNameValid = false;
}

QString TRqMultiLangData::CurrentLanguage() {
    QString v;
    GetProp(QStringLiteral("Info"), QString(), QStringLiteral("Language"), v);
    return v;
}

QString TRqMultiLangData::CurrentLanguageTranslator() {
    QString v;
    GetProp(QStringLiteral("Info"), QString(), QStringLiteral("Translator"), v);
    return v;
}

QString TRqMultiLangData::CurrentVersion() {
    QString v;
    GetProp(QStringLiteral("Info"), QString(), QStringLiteral("Version"), v);
    return v;
}

QString TRqMultiLangData::AppName() {
    QString v;
    GetProp(kAppRes, QString(), kAppName, v); // never fills "{AppName}", so no recursion
    FAppName = v;
    FAppNameValid = true;
    return FAppName;
}

// ----- TRqMultiLang --------------------------------------------------------

TRqMultiLang::TRqMultiLang(QObject *owner) : QObject(owner) {}

TRqMultiLang::~TRqMultiLang() {
    if (FLanguageData)
        FLanguageData->RemoveClient(this);
}

void TRqMultiLang::Loaded() {
    if (!FLanguageData)
        return;
    FLanguageData->AddClient(this);
    if (FLanguageData->AutoApply())
        ApplyData();
}

void TRqMultiLang::SetLanguageData(TRqMultiLangData *data) {
    if (FLanguageData == data)
        return;
    if (FLanguageData)
        FLanguageData->RemoveClient(this);
    FLanguageData = data;
    if (data)
        data->AddClient(this);
}

QString TRqMultiLang::FormName() const {
    const QObject *owner = parent();
    return owner ? QString::fromLatin1(owner->metaObject()->className()) : QString();
}

QList<QObject *> TRqMultiLang::Components() const {
    QList<QObject *> out;
    QObject *owner = parent();
    if (!owner)
        return out;
    const auto &separate = Registry().SeparateWindow;
    std::function<void(QObject *)> walk = [&](QObject *node) {
        for (QObject *child : node->children()) {
            if (qobject_cast<TRqMultiLang *>(child) || qobject_cast<TRqMultiLangData *>(child))
                continue;
            if (HasOwnTranslator(child, this) || (separate && separate(child)))
                continue; // another window: its own translator handles it
            const QString name = child->objectName();
            if (!IsQtInternal(name)) {
                if (!name.isEmpty())
                    out.append(child);
                walk(child);
            } else if (IsQtContentHolder(name)) {
                walk(child); // the pages of a tab widget, the inside of a scroll area
            }
        }
    };
    walk(owner);
    return out;
}

void TRqMultiLang::ApplyData() {
    if (!FLanguageData)
        return;
    if (QObject *owner = parent()) {
        ApplyProp(owner);
        for (QObject *c : Components())
            ApplyProp(c);
    }
    if (OnChangeLanguage)
        OnChangeLanguage(this);
}

void TRqMultiLang::ApplyProp(QObject *TCom, const QString &strParentComp) {
    Q_UNUSED(strParentComp);
    if (!FLanguageData || !TCom)
        return;
    const QString form = FormName();
    const QString comp = TCom->objectName();
    for (const PropInfo &p : PublishedProps(TCom, TCom == parent())) {
        QString value;
        switch (p.Kind) {
        case TRqLangPropKind::TextList:
            if (p.Writable && FLanguageData->GetProp(form, comp, p.Name, value))
                WriteProp(p, TCom, SplitLangLines(value));
            break;
        case TRqLangPropKind::Text:
            if (p.Writable && FLanguageData->GetProp(form, comp, p.Name, value))
                WriteProp(p, TCom, value);
            break;
        case TRqLangPropKind::Collection: {
            const TRqLangVirtualProp &v = *p.Virtual;
            const QStringList itemProps = SortedItemProps(v);
            const int n = v.Count(TCom);
            for (int i = 0; i < n; ++i) {
                for (const QString &ip : itemProps) {
                    if (FLanguageData->GetProp(form, comp, ItemKey(p.Name, i, ip), value))
                        v.WriteItem(TCom, i, ip, value);
                }
            }
            break;
        }
        default: // names are never translated; other kinds hold no text
            break;
        }
    }
}

void TRqMultiLang::UpdateData() {
    if (!FLanguageData)
        return;
    if (QObject *owner = parent()) {
        CollectProp(owner);
        for (QObject *c : Components())
            CollectProp(c);
    }
    FLanguageData->UpdateData();
}

void TRqMultiLang::ClearData() {
    if (FLanguageData)
        FLanguageData->ClearForm(FormName());
}

void TRqMultiLang::CollectProp(QObject *TCom, const QString &strParentComp) {
    Q_UNUSED(strParentComp);
    TRqMultiLangData *data = FLanguageData.data();
    const QString form = FormName();
    const QString comp = TCom->objectName();
    const QStringList classes = ClassChain(TCom);
    const QList<PropInfo> props = PublishedProps(TCom, TCom == parent());

    if (data->ExcludeWithAction()) {
        // A control driven by an action shows the action's texts; those are
        // collected from the action itself.
        for (const PropInfo &p : props) {
            if (p.Kind != TRqLangPropKind::Object ||
                QString::compare(p.Name, QStringLiteral("Action"), Qt::CaseInsensitive) != 0)
                continue;
            if (qvariant_cast<QObject *>(p.Meta.read(TCom)))
                return;
        }
    }

    for (const PropInfo &p : props) {
        if (p.Kind != TRqLangPropKind::Text && p.Kind != TRqLangPropKind::TextList &&
            p.Kind != TRqLangPropKind::Collection)
            continue;
        if (!p.Readable || !p.Writable || IsPropExcluded(comp, classes, p.Name, p.TypeName))
            continue;
        try {
            if (p.Kind == TRqLangPropKind::TextList) {
                const QStringList lines = ReadProp(p, TCom).toStringList();
                if (data->ExcludeEmptyProp() && lines.isEmpty())
                    continue;
                QString value;
                for (const QString &l : lines)
                    value += l + QStringLiteral("\r\n");
                data->SetProp(form, comp, p.Name, value);
            } else if (p.Kind == TRqLangPropKind::Text) {
                const QString value = ReadProp(p, TCom).toString();
                if (data->ExcludeEmptyProp() && value.isEmpty())
                    continue;
                data->SetProp(form, comp, p.Name, value);
            } else {
                const TRqLangVirtualProp &v = *p.Virtual;
                const QStringList itemProps = SortedItemProps(v);
                const int n = v.Count(TCom);
                for (int i = 0; i < n; ++i) {
                    for (const QString &ip : itemProps) {
                        const QString value = v.ReadItem(TCom, i, ip);
                        if (data->ExcludeEmptyProp() && value.isEmpty())
                            continue;
                        data->SetProp(form, comp, ItemKey(p.Name, i, ip), value);
                    }
                }
            }
        } catch (...) {
            // A property that cannot be read is left out; the walk goes on.
        }
    }
}

bool TRqMultiLang::IsPropExcluded(const QString &compName, const QStringList &classNames,
                                  const QString &propName, const QString &typeName) const {
    const TRqMultiLangData *data = FLanguageData.data();
    if (data->ExcludeNumberEndProps() && !compName.isEmpty() &&
        compName.back() >= QLatin1Char('0') && compName.back() <= QLatin1Char('9'))
        return true; // still carries a designer's default name, e.g. "spSkinPanel1"
    // A class pattern names the class itself or any class it derives from, so
    // "QAbstractButton:" covers push buttons and check boxes alike.
    for (const QString &cls : classNames) {
        if (data->HasExcludeLine(cls + QStringLiteral(":.") + propName) ||
            data->HasExcludeLine(cls + QLatin1Char(':')))
            return true;
    }
    return data->HasExcludeLine(QLatin1Char(':') + typeName) ||
           data->HasExcludeLine(compName + QStringLiteral("..") + propName) ||
           data->HasExcludeLine(compName + QLatin1Char('.')) ||
           data->HasExcludeLine(QLatin1Char('.') + propName);
}

bool TRqMultiLang::GetProp(const QString &strForm, const QString &strComp, const QString &strProp,
                           QString &strValue) {
    return FLanguageData && FLanguageData->GetProp(strForm, strComp, strProp, strValue);
}

void TRqMultiLang::GetSectionStrings(const QString &strSection, QStringList &sl) {
    if (FLanguageData)
        FLanguageData->GetSectionStrings(strSection, sl);
}

QString TRqMultiLang::GetResString(const QString &strName) {
    QString value;
    if (GetProp(QStringLiteral("ResString"), QString(), strName, value))
        return value;
    return strName;
}

QString TRqMultiLang::Language() {
    return FLanguageData ? FLanguageData->CurrentLanguage() : QString();
}

void TRqMultiLang::CollectWindowTexts(QObject *window, TRqMultiLangData *data) {
    if (!window || !data)
        return;
    TRqMultiLang *own = nullptr;
    for (QObject *c : window->children()) {
        if ((own = qobject_cast<TRqMultiLang *>(c)))
            break;
    }
    if (own && own->LanguageData() == data) {
        own->ClearData();
        own->UpdateData();
        return;
    }
    // A temporary translator that does not register anywhere; it is not a
    // component of the window, so it collects nothing of itself.
    TRqMultiLang temp(window);
    temp.FLanguageData = data;
    temp.ClearData();
    temp.UpdateData();
    temp.FLanguageData = nullptr;
}

// ----- built-in tables -----------------------------------------------------

namespace RqMultiLangBuiltin {
namespace {
QString ReadResource(const QString &path) {
    InitBuiltinLangResource();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return DecodeLangFileBytes(f.readAll());
}
} // namespace

QString CurrentText() {
    return ReadResource(QStringLiteral(":/lumafinch/lang/builtin_current.lan"));
}

QString DefaultText() {
    return ReadResource(QStringLiteral(":/lumafinch/lang/builtin_default.lan"));
}
} // namespace RqMultiLangBuiltin
