#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace platform {

// Every failing OS operation raises one of these. The description is shown to the user as it
// stands, so it says what failed, on which path, and the system's reason. A failure of a system
// call also keeps its parts (action, path, errno), so that the rooms above can name a cause the
// system's own words hide, without parsing the text.
class Failure : public std::exception {
public:
    explicit Failure(QString description)
        : description_(std::move(description)), utf8_(description_.toUtf8()) {}
    // A failure worded whole that still keeps the system's errno for the rooms above.
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

// "<action> <path>: <reason>" built from errno, e.g. "Cannot create /opt/x/TEST.TXT: Permission
// denied".
[[noreturn]] void raiseSystemFailure(const QString& action, const QString& path, int errnoValue);

// The text a failure shows the user: a Failure's description, else what() read as local text.
QString describe(const std::exception& failure);

// The failures of a drive choice, worded once for the run and the panel.
Failure noDriveSelected();
Failure driveNotReady(const QString& mountRoot);
// A volume whose queries did not return in time (a stalled FUSE daemon, a lost server).
Failure driveNotAnswering(const QString& mountRoot);

}  // namespace platform
