// lansort IN OUT: loads the language file IN as a table, sorts it and saves it
// to OUT exactly as the program saves a table (reserved sections first, then
// the window sections by name, entries sorted, duplicates merged).

#include "framework/RqMultiLangLan.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: lansort IN OUT\n");
        return 2;
    }
    try {
        TRqMultiLangLan table;
        table.LoadFromFile(args.at(1));
        table.SaveToFile(args.at(2));
    } catch (const TRqLangFileError &e) {
        std::fprintf(stderr, "lansort: %s\n", e.what());
        return 1;
    }
    return 0;
}
