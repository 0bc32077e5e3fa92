// lancollect: builds the program's windows off screen, reads their texts with
// the main window's exclusion settings and writes them as a language table,
// the template a translator starts from.
//
//   lancollect [--base FILE] OUT [CLASS...]
//   lancollect --list
//
// --base starts from an existing table (for example the built-in English
// table), whose window sections are replaced by freshly collected ones; CLASS
// limits the run to those windows. The result is sorted as the program saves.

#include "framework/RqMultiLang.h"
#include "framework/RqMultiLangWidgets.h"

#include <QApplication>
#include <QStringList>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct WindowFactory {
    const char *ClassName;
    std::function<QWidget *()> Create;
};

// The windows whose texts are collected. Each window unit adds its entry here,
// e.g. {"TfrmAlbum", [] { return new TfrmAlbum(nullptr); }}.
std::vector<WindowFactory> Windows() {
    return {};
}

int Fail(const QString &text) {
    std::fprintf(stderr, "lancollect: %s\n", qPrintable(text));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments().mid(1);

    if (args == QStringList{QStringLiteral("--list")}) {
        for (const WindowFactory &w : Windows())
            std::printf("%s\n", w.ClassName);
        return 0;
    }
    QString base;
    if (args.size() >= 2 && args.at(0) == QLatin1String("--base")) {
        base = args.at(1);
        args = args.mid(2);
    }
    if (args.isEmpty() || args.at(0).startsWith(QLatin1String("--"))) {
        std::fprintf(stderr, "usage: lancollect [--base FILE] OUT [CLASS...]\n"
                             "       lancollect --list\n");
        return 2;
    }
    const QString out = args.takeFirst();
    const QStringList wanted = args;
    for (const QString &cls : wanted) {
        const auto windows = Windows();
        const bool known = std::any_of(windows.cbegin(), windows.cend(), [&](const auto &w) {
            return cls == QLatin1String(w.ClassName);
        });
        if (!known)
            return Fail(QStringLiteral("no window class \"") + cls + QStringLiteral("\""));
    }

    RqMultiLangRegisterWidgetProps();
    TRqMultiLangData data; // the main window's exclusion settings are the defaults
    try {
        if (!base.isEmpty())
            data.LoadCurrentFromFile(base);
        for (const WindowFactory &w : Windows()) {
            if (!wanted.isEmpty() && !wanted.contains(QLatin1String(w.ClassName)))
                continue;
            std::unique_ptr<QWidget> window(w.Create());
            TRqMultiLang::CollectWindowTexts(window.get(), &data);
        }
        data.SaveCurrentToFile(out);
    } catch (const TRqLangFileError &e) {
        return Fail(QString::fromLocal8Bit(e.what()));
    }
    return 0;
}
