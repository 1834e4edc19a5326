#include <QCoreApplication>

#include <cstdio>

#include "console/commandline.h"
#include "console/consolestartup.h"
#include "driveinfo/driveanswers.h"
#include "driveinfo/systemdrives.h"
#include "measure/inputgate.h"
#include "measure/threadedsteprunner.h"
#include "platform/linuxclock.h"
#include "platform/linuxdrives.h"
#include "platform/linuxfiles.h"
#include "platform/linuxprocess.h"
#include "platform/qteventpump.h"
#include "platform/qtoffthread.h"
#include "platform/terminal.h"
#include "platform/version.h"
#include "readcache/cachebelowfuse.h"
#include "window/windowstartup.h"

namespace {

// Help and version go to standard output, checked as the times are.
int print(const QString& text, const QString& what, bool outputClosedAtStart) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return console::finishStandardOutput(console::kExitDone, what, outputClosedAtStart);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before anything opens a descriptor that could take the number of a closed one.
    const platform::ClosedAtStart closed = platform::fillClosedStandardDescriptors();
    // Read before any application exists, so that --help and the like need no display.
    const console::CommandLine command =
        console::parseCommandLine(console::argumentsAfterProgram(argc, argv));
    switch (command.action) {
        case console::CommandLine::Action::Help:
            return print(console::usageText(), QStringLiteral("the usage"), closed.output);
        case console::CommandLine::Action::Version:
            return print(console::versionText(), QStringLiteral("the version"), closed.output);
        case console::CommandLine::Action::Error: {
            const QString text = QStringLiteral("dov-uruvivuz: %1\n\n").arg(command.error);
            const bool written =
                std::fputs((text + console::usageText()).toLocal8Bit().constData(), stderr) >= 0;
            return std::fflush(stderr) == 0 && written ? console::kExitUsage : console::kExitFailed;
        }
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
    measure::InputGate input;
    platform::QtOffThread offThread(&input);
    measure::ThreadedStepRunner steps(offThread);
    driveinfo::DriveAnswers driveAnswers(std::make_shared<driveinfo::LinuxDriveService>(),
                                         offThread);
    const measure::CoreServices services{
        clock,       pump,  files, process,
        offThread,   steps, input, *platform::systemVolumeQueries(),
        driveAnswers};

    if (command.action == console::CommandLine::Action::Measure)
        return console::runWithoutWindow(argc, argv, command, services, closed.output);
    window::runWindow(argc, argv, command.toolkitOptions, services);
}
