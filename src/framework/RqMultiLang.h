#pragma once

#include "framework/RqMultiLangLan.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class TRqMultiLang;

// ---------------------------------------------------------------------------
// Which properties of a component the translator sees.
//
// A component's translatable properties are its Qt properties, in name order
// (without letter case), told apart by kind:
//   QString          -> Text      (type name "QString")
//   QStringList      -> TextList  (type name "TStrings"; value = lines, each + CR LF)
//   objectName       -> ComponentName (type name "TComponentName"; never translated)
//   pointer to QObject -> Object  (only looked at for the "Action" rule)
// plus the properties registered here for classes that keep a text out of
// their Qt properties. Registered ones take part in the name order like real
// ones; a class's own Qt property of the same name takes precedence.
//
// Registered by this library (Qt Core only, through the widgets' own Qt
// properties and QObject::inherits):
//   "Caption": the translated window's own windowTitle; text of QLabel,
//              QAbstractButton (push/tool buttons, check and radio boxes) and
//              QAction; title of QGroupBox and QMenu; windowTitle of QDockWidget.
// Registered by RqMultiLangRegisterWidgetProps() (framework/RqMultiLangWidgets.h):
//   "Items"   (text list): rows of QComboBox and QListWidget, e.g.
//              "cbbShareAlbum.Items=Everyone<BR>Friends<BR>";
//   "Tabs"    (collection, item properties "Caption", "toolTip") of QTabWidget;
//   "Columns" (collection, item property "Caption") of QTreeWidget headers.
// Other texts keep their Qt names: toolTip, placeholderText, statusTip,
// whatsThis, prefix, suffix, specialValueText... The default exclusion list of
// TRqMultiLangData decides which of them a collected window section holds.
// ---------------------------------------------------------------------------
enum class TRqLangPropKind { Text, TextList, ComponentName, Object, Collection, Other };

struct TRqLangVirtualProp {
    QByteArray ClassName;                         // applies to this class and its subclasses
    QString Name;                                 // property part of the key
    TRqLangPropKind Kind = TRqLangPropKind::Text; // Text, TextList or Collection
    bool OwnerOnly = false;                       // only on the translated window itself
    // Text: a QString; TextList: a QStringList.
    std::function<QVariant(const QObject *)> Read;
    std::function<void(QObject *, const QVariant &)> Write;
    // Collection: items 0..Count-1, each with the text properties ItemProps.
    QStringList ItemProps;
    std::function<int(const QObject *)> Count;
    std::function<QString(const QObject *, int item, const QString &prop)> ReadItem;
    std::function<void(QObject *, int item, const QString &prop, const QString &value)> WriteItem;
};

namespace RqMultiLangProps {
// Adds a property; one of the same class and name is replaced. When several
// apply to one object under one name, the last registered wins.
void Register(const TRqLangVirtualProp &prop);
// A text property that stands for another Qt property of the class.
void RegisterAlias(const QByteArray &className, const QString &name, const char *qtProperty,
                   bool ownerOnly = false);
// Tells the translator where another window begins inside a window's object
// tree (a dialog parented to the main window): it and everything below it
// belong to that window. An object that holds its own TRqMultiLang is always
// such a boundary.
void SetSeparateWindowTest(std::function<bool(const QObject *)> test);
} // namespace RqMultiLangProps

// ---------------------------------------------------------------------------
// The language data: the current table (the chosen language) and the default
// table (the fallback); every lookup tries current, then default, and fills
// "{AppName}". Placed once, on the main window.
// ---------------------------------------------------------------------------
class TRqMultiLangData : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool ExcludeEmptyProp READ ExcludeEmptyProp WRITE SetExcludeEmptyProp)
    Q_PROPERTY(QStringList ExcludeProps READ ExcludeProps WRITE SetExcludeProps)
    Q_PROPERTY(bool AutoApply READ AutoApply WRITE SetAutoApply)
    Q_PROPERTY(bool ExcludeNumberEndProps READ ExcludeNumberEndProps WRITE SetExcludeNumberEndProps)
    Q_PROPERTY(bool ExcludeWithAction READ ExcludeWithAction WRITE SetExcludeWithAction)
    Q_PROPERTY(QStringList CurrentData READ CurrentData WRITE SetCurrentData)
    Q_PROPERTY(QStringList DefaultData READ DefaultData WRITE SetDefaultData)

public:
    explicit TRqMultiLangData(QObject *owner = nullptr);
    ~TRqMultiLangData() override;

    // The exclusion list a new data component starts with: what the skinned
    // controls' list excluded, said in what Qt widgets publish.
    static QStringList DefaultExcludeProps();

    void AddClient(TRqMultiLang *client);
    void RemoveClient(TRqMultiLang *client);
    const QList<TRqMultiLang *> &Clients() const { return FClients; }
    void ApplyClients();
    void UpdateClients();
    void ClearClients();

    // Current table, then default table. When found, "{AppName}" (any case) is
    // replaced by AppName, except in "AppRes"/"AppName" itself.
    bool GetProp(const QString &strForm, const QString &strComp, const QString &strProp,
                 QString &strValue);
    // These act on the current table only.
    void SetProp(const QString &strForm, const QString &strComp, const QString &strProp,
                 const QString &strValue);
    void ClearForm(const QString &strForm);
    void UpdateData();
    // The section of both tables merged into sl as "key=value" lines: current
    // entries first, then default ones sl lacks; entries already in sl stay.
    // Empty values are not carried, so a default text shows through them.
    void GetSectionStrings(const QString &strSection, QStringList &sl);

    // Loading re-reads AppName; loading the current table re-translates every
    // registered window. Throws TRqLangFileError (tables unchanged).
    void LoadCurrentFromFile(const QString &fileName);
    void LoadDefaultFromFile(const QString &fileName);
    void SaveCurrentToFile(const QString &fileName);
    // The English tables built into the program (see RqMultiLangBuiltin).
    void LoadBuiltinTables();

    void ClearCurrentAll();
    void ClearCurrentAllForm();
    void CurrentToDefault();
    void DefaultToCurrent();

    QString CurrentLanguage();
    QString CurrentLanguageTranslator();
    QString CurrentVersion();
    // "AppName" of section "AppRes", cached for the "{AppName}" filling.
    QString AppName();

    bool ExcludeEmptyProp() const { return FExcludeEmptyProp; }
    void SetExcludeEmptyProp(bool v) { FExcludeEmptyProp = v; }
    const QStringList &ExcludeProps() const { return FExcludeProps; }
    void SetExcludeProps(const QStringList &v);
    bool AutoApply() const { return FAutoApply; }
    void SetAutoApply(bool v) { FAutoApply = v; }
    bool ExcludeNumberEndProps() const { return FExcludeNumberEndProps; }
    void SetExcludeNumberEndProps(bool v) { FExcludeNumberEndProps = v; }
    bool ExcludeWithAction() const { return FExcludeWithAction; }
    void SetExcludeWithAction(bool v) { FExcludeWithAction = v; }
    QStringList CurrentData() const { return FLangCurrentData.Data(); }
    void SetCurrentData(const QStringList &lines);
    QStringList DefaultData() const { return FLangDefaultData.Data(); }
    void SetDefaultData(const QStringList &lines);

    TRqMultiLangLan &LangCurrentData() { return FLangCurrentData; }
    TRqMultiLangLan &LangDefaultData() { return FLangDefaultData; }

    // Whether ExcludeProps holds the line (without letter case).
    bool HasExcludeLine(const QString &line) const;

private:
    bool FExcludeEmptyProp = false;
    QStringList FExcludeProps;
    bool FAutoApply = true;
    bool FExcludeNumberEndProps = false;
    bool FExcludeWithAction = false;
    TRqMultiLangLan FLangCurrentData;
    TRqMultiLangLan FLangDefaultData;
    QList<TRqMultiLang *> FClients;
    QString FAppName;
    bool FAppNameValid = false; // false after a table changed until AppName is read
    QSet<QString> FExcludeSet;  // folded ExcludeProps lines
};

// ---------------------------------------------------------------------------
// The translator of one window: its parent is the window it translates. The
// window's section is named by the window's class name (so every translated
// window class needs Q_OBJECT); keys are component name + "." + property, the
// window's own properties under the window's objectName.
//
// Components are the window's descendants in tree order, skipping those
// without a name (their children still count), translators and data
// components, and the parts Qt builds inside its widgets ("qt_..." and "_q_..."
// names; only the pages of a tab widget and the inside of a scroll area are
// walked), and stopping at another window (see RqMultiLangProps::SetSeparateWindowTest).
// ---------------------------------------------------------------------------
class TRqMultiLang : public QObject {
    Q_OBJECT
    Q_PROPERTY(TRqMultiLangData *LanguageData READ LanguageData WRITE SetLanguageData)

public:
    explicit TRqMultiLang(QObject *owner);
    ~TRqMultiLang() override;

    // Call once the window has built its controls: registers with the data
    // component and, when its AutoApply is set, applies the texts.
    void Loaded();

    TRqMultiLangData *LanguageData() const { return FLanguageData.data(); }
    // Unregisters from the old data component and registers with the new one;
    // applies nothing.
    void SetLanguageData(TRqMultiLangData *data);

    // Writes the table's texts into the window, then raises OnChangeLanguage.
    void ApplyData();
    // Reads the window's texts into the current table (nothing is cleared).
    void UpdateData();
    // Erases the window's section from the current table.
    void ClearData();
    // Applies the texts of one component; strParentComp has no effect.
    void ApplyProp(QObject *TCom, const QString &strParentComp = QString());

    bool GetProp(const QString &strForm, const QString &strComp, const QString &strProp,
                 QString &strValue);
    void GetSectionStrings(const QString &strSection, QStringList &sl);
    // strName through section "ResString"; strName itself when no table has it.
    QString GetResString(const QString &strName);
    QString Language();

    // The window's section name: its class name.
    QString FormName() const;
    // The components the translator walks, in order (the window not included).
    QList<QObject *> Components() const;

    // Collects a window's texts afresh into data's current table (its section
    // is cleared first), through the window's own translator or a temporary
    // one; used to produce language files for translators.
    static void CollectWindowTexts(QObject *window, TRqMultiLangData *data);

    // Raised after every ApplyData, with this translator as sender.
    std::function<void(QObject *sender)> OnChangeLanguage;

private:
    void CollectProp(QObject *TCom, const QString &strParentComp = QString());
    bool IsPropExcluded(const QString &compName, const QStringList &classNames,
                        const QString &propName, const QString &typeName) const;

    QPointer<TRqMultiLangData> FLanguageData;
};

// The English tables that ship inside the program.
namespace RqMultiLangBuiltin {
QString CurrentText();
QString DefaultText();
} // namespace RqMultiLangBuiltin
