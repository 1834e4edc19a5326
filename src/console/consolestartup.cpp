#include "console/consolestartup.h"

#include <QCoreApplication>

#include <unistd.h>
#include <cstdio>
#include <exception>

#include "console/consolerun.h"
#include "driveinfo/mounttablecatalogue.h"
#include "platform/endsignals.h"
#include "platform/failure.h"

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
        std::fputs((platform::describe(failure) + QLatin1Char('\n')).toLocal8Bit().constData(),
                   stderr);
        return kExitFailed;
    }
    settings.sizeText = command.sizeText;
    settings.human = command.human;
    settings.showProgress = ::isatty(STDERR_FILENO) == 1;

    // An end signal stops the run as QUIT does: out of the wait or phase through the loop.
    ConsoleRun run(settings, services);
    platform::EndSignals endSignals;
    QObject::connect(&endSignals, &platform::EndSignals::received, &application,
                     [&run](int signalNumber) { run.stop(signalNumber); });
    return run.exec();
}

}  // namespace console
