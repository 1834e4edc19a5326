#include "platform/failure.h"

#include <cstring>

#include "platform/paths.h"

namespace platform {

QString systemReason(int errnoValue) {
    char buffer[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}

QString describe(const std::exception& failure) {
    if (const auto* platformFailure = dynamic_cast<const Failure*>(&failure))
        return platformFailure->description();
    return QString::fromLocal8Bit(failure.what());
}

Failure::Failure(QString action, QString path, int error, const QString& reason)
    : Failure(QStringLiteral("%1 %2: %3").arg(action, displayPath(path), reason)) {
    action_ = std::move(action);
    path_ = std::move(path);
    error_ = error;
}

void raiseSystemFailure(const QString& action, const QString& path, int errnoValue) {
    throw Failure(action, path, errnoValue, systemReason(errnoValue));
}

}  // namespace platform
