#include "console/consolestartup.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "console/consolerun.h"
#include "driveinfo/mounttablecatalogue.h"
#include "platform/endsignals.h"
#include "platform/failure.h"
#include "platform/paths.h"
#include "platform/terminal.h"

namespace console {

namespace {

// A relative folder is taken from the working folder, which may be gone (deleted, or on a
// stick pulled and plugged back); it is then refused, never read as one below "/".
QString absoluteFolder(const QString& path) {
    if (path.startsWith(QLatin1Char('/'))) return path;
    const QString working = platform::currentFolder();
    if (working.isEmpty()) {
        throw platform::Failure(
            QStringLiteral("Cannot measure the drive of %1: the working folder cannot be found "
                           "(%2). Change to a folder that exists, or name the drive by its full "
                           "path.")
                .arg(platform::displayPath(path), platform::systemReason(errno)));
    }
    return platform::joinPath(working, path);
}

}  // namespace

int finishStandardOutput(int status, const QString& what, bool closedAtStart, int writeError) {
    // A full disk or a closed pipe shows at the flush at the latest (a failed write leaves the
    // stream's error flag); a file system may report one only at close (NFS, a quota).
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    int reason = writeError ? writeError : errno;
    const bool closed = std::fclose(stdout) == 0;
    if (flushed && !closed) reason = errno;
    if (status != kExitDone || (flushed && closed && !closedAtStart)) return status;
    writeStream(stderr,
                QStringLiteral("dov-uruvivuz: %1 could not be written to standard "
                               "output: %2\n")
                    .arg(what, closedAtStart ? QStringLiteral("it is closed")
                                             : platform::systemReason(reason ? reason : EIO)));
    return kExitFailed;
}

int runWithoutWindow(int argc, char* argv[], const CommandLine& command,
                     measure::CoreServices services, bool outputClosedAtStart) {
    QCoreApplication application(argc, argv);
    driveinfo::MountTableCatalogue catalogue;

    ConsoleRunSettings settings;
    try {
        settings.mountRoot =
            driveRootOf(absoluteFolder(command.drive), [&](const QString& folder, const QString&) {
                return catalogue.volumeToMeasure(folder, command.drive);
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
    const int status = run.exec();
    return finishStandardOutput(status, QStringLiteral("the times"), outputClosedAtStart,
                                run.outputError());
}

}  // namespace console
