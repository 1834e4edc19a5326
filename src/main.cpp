#include <QCoreApplication>

#include <cstdio>

#include "console/commandline.h"
#include "console/consolestartup.h"
#include "measure/inputgate.h"
#include "measure/threadedsteprunner.h"
#include "platform/endsignals.h"
#include "platform/linuxclock.h"
#include "platform/linuxdrives.h"
#include "platform/linuxfiles.h"
#include "platform/linuxprocess.h"
#include "platform/qteventpump.h"
#include "platform/qtoffthread.h"
#include "platform/version.h"
#include "readcache/cachebelowfuse.h"
#include "window/windowstartup.h"

namespace {

// The exit status: what was asked, or 1 when the text could not be written (a full disk).
int print(std::FILE* stream, const QString& text, int status) {
    const bool written = std::fputs(text.toLocal8Bit().constData(), stream) >= 0;
    return std::fflush(stream) == 0 && written ? status : console::kExitFailed;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Read before any application exists, so that --help and the like need no display.
    const console::CommandLine command =
        console::parseCommandLine(console::argumentsAfterProgram(argc, argv));
    switch (command.action) {
        case console::CommandLine::Action::Help:
            return print(stdout, console::usageText(), console::kExitDone);
        case console::CommandLine::Action::Version:
            return print(stdout, console::versionText(), console::kExitDone);
        case console::CommandLine::Action::Error:
            return print(
                stderr,
                QStringLiteral("dov-uruvivuz: %1\n\n").arg(command.error) + console::usageText(),
                console::kExitUsage);
        case console::CommandLine::Action::Measure:
        case console::CommandLine::Action::Window:
            break;
    }

    QCoreApplication::setApplicationName(QStringLiteral("DOV Uruvivuz"));
    QCoreApplication::setApplicationVersion(QLatin1String(platform::version::kApplicationVersion));
    platform::LinuxClock clock;
    platform::QtEventPump pump;
    // Drops a FUSE block volume's device cache for the read copy, through pkexec if need be.
    readcache::CacheBelowFuse deviceCache;
    platform::LinuxFileService files({}, &deviceCache);
    platform::LinuxProcessService process;
    // QUIT, the close box and the end signals leave the event loops instead of ending the
    // process, so that the run removes its files and the window hands over the clipboard.
    process.endThroughEventLoop();
    // The display going away ends the window through exit(); the run's files go first.
    platform::RemoveOwnFilesAtExit removeAtExit(files);
    measure::InputGate input;
    platform::QtOffThread offThread(&input);
    measure::ThreadedStepRunner steps(offThread);
    const measure::CoreServices services{clock,     pump,  files, process,
                                         offThread, steps, input, *platform::systemVolumeQueries()};

    if (command.action == console::CommandLine::Action::Measure)
        return console::runWithoutWindow(argc, argv, command, services);
    window::runWindow(argc, argv, command.toolkitOptions, services);
}
