#include "window/windowstartup.h"

#include <QApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "driveinfo/mounttablecatalogue.h"
#include "driveinfo/mounttablewatcher.h"
#include "driveinfo/queryrunner.h"
#include "driveinfo/systemdrives.h"
#include "platform/endsignals.h"
#include "platform/linuxdrives.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/qtdesktop.h"
#include "platform/uniquefd.h"
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

bool connects(int family, const void* address, socklen_t length) {
    const platform::UniqueFd socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return true;  // cannot tell; let Qt try
    return ::connect(socket.get(), static_cast<const sockaddr*>(address), length) == 0;
}

// False only when display names a local X server (":0", "unix:1.0") that takes no connection
// where the X library would try: the abstract and the /tmp/.X11-unix socket, and for ":N" also
// TCP port 6000 + N on this machine.
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
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::memcpy(local.sun_path + 1, path.constData(), std::size_t(path.size()));
    const auto base = socklen_t(offsetof(sockaddr_un, sun_path));
    if (connects(AF_UNIX, &local, base + 1 + socklen_t(path.size()))) return true;
    std::memcpy(local.sun_path, path.constData(), std::size_t(path.size()) + 1);
    if (connects(AF_UNIX, &local, base + socklen_t(path.size()) + 1)) return true;
    if (!host.isEmpty()) return false;
    sockaddr_in tcp{};
    tcp.sin_family = AF_INET;
    tcp.sin_port = htons(uint16_t(6000 + displayNumber));
    tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connects(AF_INET, &tcp, sizeof tcp);
}

}  // namespace

QString whyNoDisplay(const QStringList& toolkitOptions, const QByteArray& qtPlatform,
                     const QByteArray& x11Display, const QByteArray& waylandDisplay) {
    if (!toolkitOption(toolkitOptions, QStringLiteral("platform")).isNull()) return {};
    if (!qtPlatform.isEmpty() && !qtPlatform.startsWith("xcb")) return {};
    const QString chosen = toolkitOption(toolkitOptions, QStringLiteral("display"));
    const QByteArray display = chosen.isNull() ? x11Display : platform::pathToBytes(chosen);
    const QString withoutWindow = QStringLiteral(
        "To measure a drive without a window: dov-uruvivuz --drive DIR --size MB (see --help)");
    if (display.isEmpty() && (waylandDisplay.isEmpty() || !qtPlatform.isEmpty())) {
        return QStringLiteral(
                   "The window needs a display, and neither DISPLAY nor "
                   "WAYLAND_DISPLAY is set.\n") +
               withoutWindow;
    }
    // With Wayland beside it, Qt falls back to Wayland when X11 does not answer.
    if (display.isEmpty() || (!waylandDisplay.isEmpty() && qtPlatform.isEmpty())) return {};
    if (localXServerAnswers(display)) return {};
    return QStringLiteral("Cannot open the display %1: no X server answers there.\n")
               .arg(QString::fromLocal8Bit(display)) +
           withoutWindow;
}

void runWindow(int argc, char* argv[], const QStringList& toolkitOptions,
               measure::CoreServices services) {
    const QString noDisplay = whyNoDisplay(toolkitOptions, qgetenv("QT_QPA_PLATFORM"),
                                           qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY"));
    if (!noDisplay.isEmpty()) {
        std::fputs(("dov-uruvivuz: " + noDisplay + QLatin1Char('\n')).toLocal8Bit().constData(),
                   stderr);
        std::fflush(nullptr);
        ::_exit(1);
    }
    // Stay-on-top and centring need X11; under Wayland its XWayland display is used for that.
    const QByteArray platformName =
        windowPlatform(qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY"));
    if (!platformName.isEmpty()) qputenv("QT_QPA_PLATFORM", platformName);

    // Before anything touches a drive: a second copy ends at once, even when a volume hangs.
    if (services.process.previousInstanceRunning()) {
        std::fflush(nullptr);
        ::_exit(0);
    }

    // Destroyed on its own at the end; nothing else is, since a copy thread stuck in the kernel
    // may still reach the file service.
    auto* application = new QApplication(argc, argv);
    // Lets the desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("dov-uruvivuz"));

    platform::EndSignals endSignals;
    platform::QtClipboard clipboard;
    platform::QtPointer pointer;
    platform::QtMessageBox messages(nullptr, &services.input);
    auto drives = std::make_shared<driveinfo::LinuxDriveService>();
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
                              &mountWatcher, &driveQueries, &services.input, &services.volumes});
    // Owned by the top-most window, the boxes stay in front of it.
    messages.setParentWidget(&form);
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
