#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace platform {

// The platform layer's one error shape:
// - A call that fails throws platform::Failure, carrying the action, the path(s) and errno's
//   value (0 where the reason is no errno), so that the layers above can name a cause the
//   system's own words hide without parsing the text. Its description says what failed, on
//   which path, and the system's reason.
// - Absence that is no failure (nothing at a name, a file that is not one of the service's) is
//   a std::optional or an empty value, named so in the call's comment.
// - A stop request that cut a phase short is platform::Stopped (files.h).
// - The privileged cache helper's calls (privilegedcalls.h) are plain C++ for a program without
//   Qt: they throw std::system_error carrying errno.
// No call of the layer's interfaces returns a bool with errno set, returns errno, or fills an
// int& or int* with it. Helpers that wrap a single system call for the layer's own sources
// (fileprimitives.h, UniqueFd::close) keep that call's shape; the layers above never call them.
class Failure : public std::exception {
public:
    explicit Failure(QString description)
        : description_(std::move(description)), utf8_(description_.toUtf8()) {}
    // A failure worded whole that still keeps the system's errno for the layers above.
    Failure(QString description, int error) : Failure(std::move(description)) { error_ = error; }
    // "<action> <path>: <reason>"; error is errno's value (0 where the reason is not one).
    Failure(QString action, QString path, int error, const QString& reason);

    const QString& description() const noexcept { return description_; }
    const char* what() const noexcept override { return utf8_.constData(); }
    const QString& action() const noexcept { return action_; }
    const QString& path() const noexcept { return path_; }
    int error() const noexcept { return error_; }

private:
    QString description_;
    QByteArray utf8_;
    QString action_;
    QString path_;
    int error_ = 0;
};

// The system's wording for an errno value, e.g. "Permission denied".
QString systemReason(int errnoValue);

// "<action> <path>: <reason>" built from errno, e.g. "Cannot create /opt/x/notes.txt: Permission
// denied".
[[noreturn]] void raiseSystemFailure(const QString& action, const QString& path, int errnoValue);

// The text a failure shows the user: a Failure's description, else what() read as local text.
QString describe(const std::exception& failure);

}  // namespace platform
