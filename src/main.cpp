#include <QApplication>
#include <QCoreApplication>

#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <exception>

#include "driveinfo/mounttablecatalogue.h"
#include "driveinfo/mounttablewatcher.h"
#include "driveinfo/queryrunner.h"
#include "measure/commandline.h"
#include "measure/consolerun.h"
#include "measure/threadedsteprunner.h"
#include "platform/devicecache.h"
#include "platform/endsignals.h"
#include "platform/failure.h"
#include "platform/inputgate.h"
#include "platform/linuxclock.h"
#include "platform/linuxdrives.h"
#include "platform/linuxfiles.h"
#include "platform/linuxprocess.h"
#include "platform/paths.h"
#include "platform/qtdesktop.h"
#include "platform/qteventpump.h"
#include "platform/version.h"
#include "window/form1.h"

namespace {

void setApplicationNames() {
    QCoreApplication::setApplicationName(QStringLiteral("DOV Uruvivuz"));
    QCoreApplication::setApplicationVersion(QLatin1String(platform::version::kApplicationVersion));
}

QStringList argumentsAfterProgram(int argc, char* argv[]) {
    QStringList arguments;
    // A folder's name is bytes; read losslessly, it names the same folder again.
    for (int i = 1; i < argc; ++i) arguments << platform::pathFromBytes(argv[i]);
    return arguments;
}

void print(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
}

// The run a signal ends; the handler only stores to its atomics.
std::atomic<measure::ConsoleRun*> stoppableRun{nullptr};

extern "C" void stopRunOnSignal(int signalNumber) {
    if (measure::ConsoleRun* run = stoppableRun.load()) run->stop(signalNumber);
}

// --drive/--size: one run without a window. Needs no display and leaves the window's
// single-instance lock alone; the test files' own locks keep two runs apart.
int measureWithoutWindow(int argc, char* argv[], const measure::CommandLine& command) {
    QCoreApplication application(argc, argv);
    setApplicationNames();

    platform::LinuxClock clock;
    platform::QtEventPump pump;
    // Drops a FUSE block volume's device cache for the read copy, through pkexec if need be.
    platform::LinuxDeviceCache deviceCache;
    platform::LinuxFileService files({}, &deviceCache);
    platform::LinuxProcessService process;
    driveinfo::MountTableCatalogue catalogue;
    measure::ThreadedStepRunner phases;

    measure::ConsoleRunSettings settings;
    try {
        settings.mountRoot = measure::driveRootOf(
            command.drive, [&](const QString& path) { return catalogue.driveHolding(path); });
    } catch (const std::exception& failure) {
        print(stderr, platform::describe(failure) + QLatin1Char('\n'));
        return measure::kExitFailed;
    }
    settings.sizeText = command.sizeText;
    settings.human = command.human;
    settings.showProgress = ::isatty(STDERR_FILENO) == 1;

    measure::ConsoleRun run(settings,
                            measure::ConsoleServices{clock, pump, files, process, phases});
    stoppableRun.store(&run);
    struct sigaction action {};
    action.sa_handler = stopRunOnSignal;
    sigemptyset(&action.sa_mask);
    // A second Ctrl+C ends the program at once, for a drive that no longer answers.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);

    const int status = run.exec();

    action.sa_handler = SIG_DFL;
    action.sa_flags = 0;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
    stoppableRun.store(nullptr);
    return status;
}

int showWindow(int argc, char* argv[]) {
    // Stay-on-top and centring need X11; under Wayland its XWayland display is used for that.
    const QByteArray platformName = measure::windowPlatform(
        qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY"));
    if (!platformName.isEmpty()) qputenv("QT_QPA_PLATFORM", platformName);

    // Before anything touches a drive: a second copy ends at once, even when a volume hangs.
    platform::LinuxProcessService process;
    if (process.previousInstanceRunning()) return 0;
    // QUIT, the close box and the end signals leave exec() instead of ending the process, so
    // that destroying the application below hands the clipboard to the clipboard manager.
    process.endThroughEventLoop();

    // Destroyed on its own at the end; nothing else is, since a query or copy thread stuck in
    // the kernel may still reach the services.
    auto* application = new QApplication(argc, argv);
    setApplicationNames();
    // Lets the desktop match the window to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("dov-uruvivuz"));

    platform::EndSignals endSignals;
    platform::LinuxClock clock;
    platform::QtEventPump pump;
    // Drops a FUSE block volume's device cache for the read copy, through pkexec if need be.
    platform::LinuxDeviceCache deviceCache;
    platform::LinuxFileService files({}, &deviceCache);
    platform::QtClipboard clipboard;
    platform::QtPointer pointer;
    // Holds back input during a phase and while a box waits; the window sets what passes.
    platform::InputGate input;
    platform::QtMessageBox messages(nullptr, &input);
    auto drives = std::make_shared<platform::LinuxDriveService>();
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
    measure::ThreadedStepRunner phases(&input);

    window::Form1 form(window::WindowServices{clock, pump, files, process, clipboard, pointer,
                                              messages, drives, catalogue, phases, &mountWatcher,
                                              &driveQueries, &input});
    // Owned by the top-most window, the boxes stay in front of it.
    messages.setParentWidget(&form);
    QObject::connect(&endSignals, &platform::EndSignals::received, &form,
                     &window::Form1::endOnSignal);

    form.Form_Load();
    int status = 0;
    if (!form.programEnded()) {
        form.show();
        status = application->exec();
    }
    delete application;
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Read before any application exists, so that --help and the like need no display.
    const measure::CommandLine command =
        measure::parseCommandLine(argumentsAfterProgram(argc, argv));
    switch (command.action) {
        case measure::CommandLine::Action::Help:
            print(stdout, measure::usageText());
            return measure::kExitDone;
        case measure::CommandLine::Action::Version:
            print(stdout, measure::versionText());
            return measure::kExitDone;
        case measure::CommandLine::Action::Error:
            print(stderr,
                  QStringLiteral("dov-uruvivuz: %1\n\n").arg(command.error) + measure::usageText());
            return measure::kExitUsage;
        case measure::CommandLine::Action::Measure:
            return measureWithoutWindow(argc, argv, command);
        case measure::CommandLine::Action::Window:
            break;
    }
    return showWindow(argc, argv);
}
