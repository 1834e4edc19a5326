#pragma once

// Small pieces most system-level tests need: running a child program to its end, reading a
// file whole, polling for a condition, and the text of the Failure a call raises.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QThread>

#include "platform/failure.h"

namespace testsupport {

struct ChildRun {
    int exitCode = -1;  // -1: did not start, crashed or ran out of time
    QByteArray output;  // standard output, untouched
    QByteArray errors;  // standard error
    QString why;        // what went wrong; empty when the child ended with status 0
    bool ok() const { return exitCode == 0; }
};

// Runs the program to its end; a child that outlasts the timeout is killed.
inline ChildRun runChild(
    const QString& program, const QStringList& arguments, int timeoutMs = 60000,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    ChildRun run;
    const QString command = (QStringList{program} + arguments).join(QLatin1Char(' '));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        run.why = QStringLiteral("cannot start %1: %2").arg(program, process.errorString());
        return run;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        run.why = command + QStringLiteral(" did not finish in time");
        return run;
    }
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit) run.exitCode = process.exitCode();
    if (!run.ok()) {
        run.why = QStringLiteral("%1 failed (status %2): %3")
                      .arg(command)
                      .arg(run.exitCode)
                      .arg(QString::fromLocal8Bit(run.errors + run.output).trimmed());
    }
    return run;
}

// Path of a program, also looking in the sbin folders a non-login PATH may lack.
inline QString findTool(const QString& name) {
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(
                                 name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                           : found;
}

// Empty when every tool is there; otherwise which are missing.
inline QString whyNotTools(const QStringList& tools) {
    QStringList missing;
    for (const QString& tool : tools) {
        if (findTool(tool).isEmpty()) missing << tool;
    }
    return missing.isEmpty()
               ? QString()
               : QStringLiteral("not installed: ") + missing.join(QStringLiteral(", "));
}

// The whole file; a file that cannot be read gives a marker text, so that it never compares
// equal to an empty file.
inline QByteArray readFileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "<cannot read " + path.toUtf8() + '>';
}

// Polls until check() holds or the time is up; true when it held.
template <typename Check>
bool waitUntil(Check check, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!check()) {
        if (deadline.hasExpired()) return false;
        QThread::msleep(50);
    }
    return true;
}

// The description of the Failure the call raises; "no failure" when it returns normally.
template <typename Call>
QString failureOf(Call call) {
    try {
        call();
    } catch (const platform::Failure& failure) {
        return failure.description();
    }
    return QStringLiteral("no failure");
}

}  // namespace testsupport
