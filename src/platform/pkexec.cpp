#include "platform/pkexec.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

#include "platform/paths.h"

namespace platform {

namespace {

constexpr int pkexecExitDismissed = 126;
constexpr int pkexecExitNotAuthorized = 127;

// The last line a child wrote to standard error, without its "name: " prefix.
QString lastErrorLine(QProcess& process, const QString& program) {
    const QList<QByteArray> lines = process.readAllStandardError().trimmed().split('\n');
    QString line = QString::fromLocal8Bit(lines.last()).trimmed();
    const QString prefix = QFileInfo(program).fileName() + QStringLiteral(": ");
    if (line.startsWith(prefix)) line.remove(0, prefix.size());
    return line;
}

// Where pkexec is, and that the program can be handed to it.
QString pkexecFor(const QString& program) {
    using Cause = PkexecFailure::Cause;
    if (program.isEmpty() || ::access(pathToBytes(program).constData(), X_OK) != 0)
        throw PkexecFailure(Cause::NotInstalled, program);
    // A command line is text: a folder name that is not UTF-8 cannot be handed to pkexec.
    if (pathToBytes(program) != program.toUtf8())
        throw PkexecFailure(Cause::NotUtf8Folder, program);
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) throw PkexecFailure(Cause::NoPkexec, {});
    return pkexec;
}

}  // namespace

PkexecFailure::PkexecFailure(Cause cause, QString detail)
    : Failure(QStringLiteral("pkexec did not run the program to its end%1")
                  .arg(detail.isEmpty() ? QString() : QStringLiteral(": ") + detail)),
      cause_(cause),
      detail_(std::move(detail)) {}

PkexecExit runThroughPkexec(const QString& program, const QStringList& arguments, int timeLimitMs) {
    using Cause = PkexecFailure::Cause;
    const QString pkexec = pkexecFor(program);
    QProcess process;
    process.setProgram(pkexec);
    process.setArguments(QStringList{program} + arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    const QDeadlineTimer deadline(timeLimitMs);
    process.start();
    if (!process.waitForStarted(int(deadline.remainingTime())))
        throw PkexecFailure(Cause::CannotStart,
                            pkexec + QStringLiteral(": ") + process.errorString());
    if (!process.waitForFinished(int(deadline.remainingTime()))) {
        process.kill();
        process.waitForFinished(1000);
        throw PkexecFailure(Cause::TimedOut, {});
    }
    if (process.exitStatus() != QProcess::NormalExit)
        throw PkexecFailure(Cause::EndedAbnormally, {});
    const int code = process.exitCode();
    if (code == pkexecExitDismissed) throw PkexecFailure(Cause::Dismissed, {});
    if (code == pkexecExitNotAuthorized)
        throw PkexecFailure(Cause::NotAuthorized, lastErrorLine(process, program));
    return {code, lastErrorLine(process, program)};
}

}  // namespace platform
