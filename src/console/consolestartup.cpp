#include "console/consolestartup.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "console/consolerun.h"
#include "driveinfo/mounttablecatalogue.h"
#include "platform/endsignals.h"
#include "platform/failure.h"
#include "platform/terminal.h"

namespace console {

int runWithoutWindow(int argc, char* argv[], const CommandLine& command,
                     measure::CoreServices services) {
    QCoreApplication application(argc, argv);
    driveinfo::MountTableCatalogue catalogue;

    ConsoleRunSettings settings;
    try {
        settings.mountRoot =
            driveRootOf(command.drive, [&](const QString& folder, const QString& named) {
                return catalogue.volumeToMeasure(folder, named);
            });
    } catch (const std::exception& failure) {
        writeStream(stderr, platform::describe(failure) + QLatin1Char('\n'));
        return kExitFailed;
    }
    settings.testLines = command.testLines;
    settings.human = command.human;
    settings.repeat = command.repeat;
    settings.json = command.json;
    settings.logPath = command.logPath;
    settings.showProgress = platform::isTerminal(fileno(stderr));
    // A run in the background never stops at its own result or message; the progress line
    // keeps out of the background's way by itself.
    platform::writeFromBackground();

    // An end signal stops the run as QUIT does: out of the wait or phase through the loop.
    ConsoleRun run(settings, services);
    platform::EndSignals endSignals;
    QObject::connect(&endSignals, &platform::EndSignals::received, &application,
                     [&run](int signalNumber) { run.stop(signalNumber); });
    int status = run.exec();
    // A file system may report a failed write only when the output is closed (NFS, a quota).
    if (std::fclose(stdout) != 0 && status == kExitDone) {
        writeStream(stderr, QStringLiteral("dov-uruvivuz: the times could not be written to "
                                           "standard output: %1\n")
                                .arg(platform::systemReason(errno)));
        status = kExitFailed;
    }
    return status;
}

}  // namespace console
