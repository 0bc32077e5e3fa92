// The program entry.
//
// The "install"/"uninstall" switches re-launch the program with raised rights
// on systems that need it for the shell integration; here the desktop
// integration is per user and needs no such step, so the entry goes straight
// to the run procedure.

#include "app/uMain.h"
#include "framework/RqMain.h"
#include "net/DownloaderDef.h"

#include <exception>

using namespace Qt::StringLiterals;

namespace {
QWidget *DornFBUMainForm = nullptr;
}

int main(int argc, char **argv) {
    try {
        // The start-up routine (shell integration: install, uninstall and the
        // hand-over of "pic"/"video" files to a running instance's pages) is
        // passed as the last argument once that unit exists.
        const int rc = RqMain(
            argc, argv, [] { return new TDornFBUMainForm; }, &DornFBUMainForm);
        // Requests abandoned by closed windows end within moments of being
        // told to; let them finish before the process tears libcurl down.
        THttpRequestBase::WaitForWorkers(2000);
        return rc;
    } catch (const std::exception &e) {
        RqShowError(QString::fromUtf8(e.what()));
    } catch (...) {
        RqShowError(u"Unknown error"_s);
    }
    RqShutdown();
    return 1;
}
