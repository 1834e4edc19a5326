#include <QApplication>

#include "driveinfo/mounttablecatalogue.h"
#include "driveinfo/mounttablewatcher.h"
#include "measure/threadedphaserunner.h"
#include "platform/linuxclock.h"
#include "platform/linuxdrives.h"
#include "platform/linuxfiles.h"
#include "platform/linuxprocess.h"
#include "platform/qtdesktop.h"
#include "platform/qteventpump.h"
#include "platform/version.h"
#include "window/form1.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("DOV Uruvivuz"));
    QApplication::setApplicationVersion(QLatin1String(platform::version::kApplicationVersion));
    // Lets the desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("dov-uruvivuz"));

    platform::LinuxClock clock;
    platform::QtEventPump pump;
    platform::LinuxFileService files;
    platform::LinuxProcessService process;
    platform::QtClipboard clipboard;
    platform::QtPointer pointer;
    platform::QtMessageBox messages;
    platform::LinuxDriveService drives;
    driveinfo::MountTableCatalogue catalogue;
    driveinfo::MountTableWatcher mountWatcher;
    // Without it the list still works, but only shows the volumes mounted at start.
    if (!mountWatcher.isWatching()) {
        qWarning("Plugged-in drives will not show until restart: %s",
                 qPrintable(mountWatcher.whyNotWatching()));
    }
    measure::ThreadedPhaseRunner phases;

    window::Form1 form(window::WindowServices{clock, pump, files, process, clipboard, pointer,
                                              messages, drives, catalogue, phases, &mountWatcher});
    // Owned by the top-most window, the boxes stay in front of it.
    messages.setParentWidget(&form);

    form.Form_Load();
    // A second copy has ended inside Form_Load; this only guards against it returning.
    if (form.programEnded()) return 0;
    form.show();
    return application.exec();
}
