#include <QCoreApplication>

#include <cstdio>

#include "console/commandline.h"
#include "console/consolestartup.h"
#include "measure/threadedsteprunner.h"
#include "platform/endsignals.h"
#include "platform/inputgate.h"
#include "platform/linuxclock.h"
#include "platform/linuxfiles.h"
#include "readcache/cachebelowfuse.h"
#include "platform/linuxprocess.h"
#include "platform/qteventpump.h"
#include "platform/version.h"
#include "window/windowstartup.h"

namespace {

void print(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Read before any application exists, so that --help and the like need no display.
    const console::CommandLine command =
        console::parseCommandLine(console::argumentsAfterProgram(argc, argv));
    switch (command.action) {
        case console::CommandLine::Action::Help:
            print(stdout, console::usageText());
            return console::kExitDone;
        case console::CommandLine::Action::Version:
            print(stdout, console::versionText());
            return console::kExitDone;
        case console::CommandLine::Action::Error:
            print(stderr,
                  QStringLiteral("dov-uruvivuz: %1\n\n").arg(command.error) + console::usageText());
            return console::kExitUsage;
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
    platform::InputGate input;
    measure::ThreadedStepRunner phases(&input);
    const measure::CoreServices services{clock, pump, files, process, phases, input};

    if (command.action == console::CommandLine::Action::Measure)
        return console::runWithoutWindow(argc, argv, command, services);
    window::runWindow(argc, argv, command.toolkitOptions, services);
}
