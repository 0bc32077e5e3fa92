// lumafinch-sandbox: serves the local stand-in for Facebook until stopped.
//   lumafinch-sandbox [--port N] [--data DIR] [--profile FILE] [--settings INI]
// Prints the base address on the first line of standard output. --profile writes the
// settings a program needs to use the service as Key=Value lines; --settings merges them
// into section [setting] of an INI file (for example a setting.dat).

#include "FacebookSandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

int Usage(const char *self) {
    std::fprintf(stderr,
                 "usage: %s [--port N] [--data DIR] [--profile FILE] [--settings INI]\n"
                 "  --port N        listen on 127.0.0.1:N (default: a free port)\n"
                 "  --data DIR      keep what arrives in DIR (default: a folder in the user's "
                 "data location)\n"
                 "  --profile FILE  write the program settings for this service to FILE\n"
                 "  --settings INI  merge those settings into section [setting] of INI\n",
                 self);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    // Qt is used only to encode the stand-in pictures; no event loop runs.
    QCoreApplication app(argc, argv);
    int port = 0;
    std::string dataDir, profilePath, settingsPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *value = nullptr;
        if (arg == "--port" && (value = next())) {
            char *end = nullptr;
            const long n = std::strtol(value, &end, 10);
            if (*end != '\0' || n < 0 || n > 65535) {
                std::fprintf(stderr, "%s: bad port '%s'\n", argv[0], value);
                return 2;
            }
            port = int(n);
        } else if (arg == "--data" && (value = next())) {
            dataDir = value;
        } else if (arg == "--profile" && (value = next())) {
            profilePath = value;
        } else if (arg == "--settings" && (value = next())) {
            settingsPath = value;
        } else {
            return Usage(argv[0]);
        }
    }
    if (dataDir.empty()) {
        dataDir = QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
                      .filePath(QStringLiteral("lumafinch-sandbox"))
                      .toStdString();
    }

    sandbox::FacebookSandbox service(dataDir);
    if (!service.Start(port)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], service.ErrorText().c_str());
        return 1;
    }
    if (!profilePath.empty()) {
        std::ofstream out(profilePath, std::ios::binary | std::ios::trunc);
        out << service.ProfileText();
        if (!out) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], profilePath.c_str());
            return 1;
        }
    }
    if (!settingsPath.empty() && !sandbox::MergeSettings(settingsPath, service.ProfileText())) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], settingsPath.c_str());
        return 1;
    }
    std::cout << service.BaseURL() << std::endl;
    std::fprintf(stderr, "data folder: %s\naccounts:", dataDir.c_str());
    for (const sandbox::Account &a : service.Accounts())
        std::fprintf(stderr, " %s", a.email.c_str());
    std::fprintf(stderr, "\nstop with Ctrl+C\n");

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    while (!gStop && service.Running())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    service.Stop();
    return 0;
}
