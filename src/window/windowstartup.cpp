#include "window/windowstartup.h"

#include <QApplication>

#include <unistd.h>
#include <cstdio>

#include "driveinfo/mounttablecatalogue.h"
#include "driveinfo/mounttablewatcher.h"
#include "driveinfo/queryrunner.h"
#include "platform/endsignals.h"
#include "platform/linuxdrives.h"
#include "platform/process.h"
#include "platform/qtdesktop.h"
#include "window/form1.h"

namespace window {

QByteArray windowPlatform(const QByteArray& qtPlatform, const QByteArray& x11Display,
                          const QByteArray& waylandDisplay) {
    if (!qtPlatform.isEmpty() || x11Display.isEmpty()) return {};
    // Wayland stays the fallback when the X server behind DISPLAY does not answer.
    return waylandDisplay.isEmpty() ? QByteArrayLiteral("xcb") : QByteArrayLiteral("xcb;wayland");
}

void runWindow(int argc, char* argv[], measure::CoreServices services) {
    // Stay-on-top and centring need X11; under Wayland its XWayland display is used for that.
    const QByteArray platformName =
        windowPlatform(qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY"));
    if (!platformName.isEmpty()) qputenv("QT_QPA_PLATFORM", platformName);

    // Before anything touches a drive: a second copy ends at once, even when a volume hangs.
    if (services.process.previousInstanceRunning()) {
        std::fflush(nullptr);
        ::_exit(0);
    }

    // Destroyed on its own at the end; nothing else is, since a query or copy thread stuck in
    // the kernel may still reach the services.
    auto* application = new QApplication(argc, argv);
    // Lets the desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("dov-uruvivuz"));

    platform::EndSignals endSignals;
    platform::QtClipboard clipboard;
    platform::QtPointer pointer;
    platform::QtMessageBox messages;
    platform::LinuxDriveService drives;
    // A stalled FUSE daemon or a lost server blocks any query of its volume: drive queries run
    // off the window thread and are given up after a few seconds.
    driveinfo::ThreadedQueryRunner driveQueries;
    driveinfo::MountTableCatalogue catalogue({}, platform::systemVolumeQueries(), driveQueries);
    driveinfo::MountTableWatcher mountWatcher;
    // Without it the list still works, but only shows the volumes mounted at start.
    if (!mountWatcher.isWatching()) {
        qWarning("Plugged-in drives will not show until restart: %s",
                 qPrintable(mountWatcher.whyNotWatching()));
    }

    Form1 form(WindowServices{services.clock, services.pump, services.files, services.process,
                              clipboard, pointer, messages, drives, catalogue, services.phases,
                              &mountWatcher, &driveQueries});
    // Owned by the top-most window, the boxes stay in front of it.
    messages.setParentWidget(&form);
    messages.setInputThatPasses(
        [&form](QObject* receiver, QEvent* event) { return form.endsTheProgram(receiver, event); });
    QObject::connect(&endSignals, &platform::EndSignals::received, &form, &Form1::endOnSignal);

    form.Form_Load();
    int status = 0;
    if (!form.programEnded()) {
        form.show();
        status = application->exec();
    }
    // Hands the clipboard to the desktop's clipboard manager.
    delete application;
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace window
