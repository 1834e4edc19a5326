#include "window/windowstartup.h"

#include <QApplication>

#include <cstdio>

#include "driveinfo/mounttablecatalogue.h"
#include "driveinfo/mounttablewatcher.h"
#include "driveinfo/systemdrives.h"
#include "measure/inputgate.h"
#include "platform/endsignals.h"
#include "platform/failure.h"
#include "platform/linuxdrives.h"
#include "platform/localsockets.h"
#include "platform/paths.h"
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

namespace {

// The value of a toolkit option with one dash or two, or a null string.
QString toolkitOption(const QStringList& options, const QString& name) {
    for (qsizetype i = 0; i + 1 < options.size(); ++i) {
        if (options[i] == QLatin1Char('-') + name || options[i] == QLatin1String("--") + name)
            return options[i + 1];
    }
    return {};
}

// False only when display names a local X server (":0", "unix:1.0") that takes no connection
// where the X library would try: the abstract and the /tmp/.X11-unix socket, and for ":N" also
// TCP port 6000 + N on this machine. True when that cannot be asked: Qt is left to try.
bool localXServerAnswers(const QByteArray& display) {
    const qsizetype colon = display.lastIndexOf(':');
    if (colon < 0) return true;
    const QByteArray host = display.left(colon);
    if (!host.isEmpty() && host != "unix") return true;  // over the network: Qt's to find out
    const QByteArray number = display.mid(colon + 1).split('.').value(0);
    bool ok = false;
    const uint displayNumber = number.toUInt(&ok);
    if (!ok || displayNumber > 59535) return true;
    const QByteArray path = "/tmp/.X11-unix/X" + number;
    try {
        if (platform::unixSocketAccepts(path, true) || platform::unixSocketAccepts(path, false))
            return true;
        return host.isEmpty() && platform::loopbackPortAccepts(quint16(6000 + displayNumber));
    } catch (const platform::Failure&) {
        return true;
    }
}

}  // namespace

void checkDisplay(const QStringList& toolkitOptions, const QByteArray& qtPlatform,
                  const QByteArray& x11Display, const QByteArray& waylandDisplay) {
    if (!toolkitOption(toolkitOptions, QStringLiteral("platform")).isNull()) return;
    if (!qtPlatform.isEmpty() && !qtPlatform.startsWith("xcb")) return;
    const QString chosen = toolkitOption(toolkitOptions, QStringLiteral("display"));
    const QByteArray display = chosen.isNull() ? x11Display : platform::pathToBytes(chosen);
    const QString withoutWindow = QStringLiteral(
        "To measure a drive without a window: dov-uruvivuz --drive DIR --size MB (see --help)");
    if (display.isEmpty() && (waylandDisplay.isEmpty() || !qtPlatform.isEmpty())) {
        throw platform::Failure(QStringLiteral("The window needs a display, and neither DISPLAY "
                                               "nor WAYLAND_DISPLAY is set.\n") +
                                withoutWindow);
    }
    // With Wayland beside it, Qt falls back to Wayland when X11 does not answer.
    if (display.isEmpty() || (!waylandDisplay.isEmpty() && qtPlatform.isEmpty())) return;
    if (localXServerAnswers(display)) return;
    throw platform::Failure(QStringLiteral("Cannot open the display %1: no X server answers "
                                           "there.\n")
                                .arg(QString::fromLocal8Bit(display)) +
                            withoutWindow);
}

namespace {

// Before Qt would abort on a display that cannot be had: says why and ends with status 1. Then
// a second copy ends at once, before anything touches a drive, even when a volume hangs.
void endUnlessFirstWithDisplay(const QStringList& toolkitOptions,
                               platform::ProcessService& process) {
    try {
        checkDisplay(toolkitOptions, qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"),
                     qgetenv("WAYLAND_DISPLAY"));
    } catch (const platform::Failure& failure) {
        std::fputs(("dov-uruvivuz: " + failure.description() + QLatin1Char('\n'))
                       .toLocal8Bit()
                       .constData(),
                   stderr);
        platform::endProcessNow(1);
    }
    // Stay-on-top and centring need X11; under Wayland its XWayland display is used for that.
    const QByteArray platformName =
        windowPlatform(qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY"));
    if (!platformName.isEmpty()) qputenv("QT_QPA_PLATFORM", platformName);
    if (process.previousInstanceRunning()) platform::endProcessNow(0);
}

}  // namespace

void runWindow(int argc, char* argv[], const QStringList& toolkitOptions,
               measure::CoreServices services) {
    endUnlessFirstWithDisplay(toolkitOptions, services.process);

    // Destroyed on its own at the end; nothing else is, since a copy thread stuck in the kernel
    // may still reach the file service.
    auto* application = new QApplication(argc, argv);
    // Lets the desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("dov-uruvivuz"));

    platform::EndSignals endSignals;
    platform::QtClipboard clipboard;
    platform::QtPointer pointer;
    // Every message of the window's comes under this title.
    platform::QtMessageBox messages(QStringLiteral("Tarvello"), nullptr, &services.input);
    auto drives = std::make_shared<driveinfo::LinuxDriveService>();
    // A stalled FUSE daemon or a lost server blocks any query of its volume: drive queries run
    // off the window thread, and the window shows without waiting for them.
    driveinfo::MountTableCatalogue catalogue({}, platform::systemVolumeQueries(),
                                             services.offThread);
    driveinfo::MountTableWatcher mountWatcher;
    // Without it the list still works, but only shows the volumes mounted at start.
    if (!mountWatcher.isWatching()) {
        qWarning("Plugged-in drives will not show until restart: %s",
                 qPrintable(mountWatcher.whyNotWatching()));
    }

    Form1 form(WindowServices{services.clock,
                              services.pump,
                              services.files,
                              services.process,
                              clipboard,
                              pointer,
                              messages,
                              drives,
                              catalogue,
                              services.steps,
                              &mountWatcher,
                              &services.offThread,
                              &services.input,
                              &services.volumes,
                              {},
                              &services.driveAnswers});
    // Owned by the top-most window, the boxes stay in front of it.
    messages.setParentWidget(&form);
    QObject::connect(&endSignals, &platform::EndSignals::received, &form, &Form1::endOnSignal);

    form.Form_Load();
    form.show();
    const int status = application->exec();
    // A copy still cleaning up on a frozen drive no longer keeps a new start out.
    services.process.releaseInstance();
    // Hands the clipboard to the desktop's clipboard manager.
    delete application;
    platform::endProcessNow(status);
}

}  // namespace window
