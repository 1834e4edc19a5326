#pragma once

// Paths are bytes to the kernel. These turn them into QString and back without loss: valid UTF-8
// is read as text and every other byte b becomes the one character U+DC00 + b (as Python's
// surrogateescape), so any name the
// kernel accepts survives the round trip. Such characters are only ever shown through
// displayPath().

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace platform {

QString pathFromBytes(QByteArrayView bytes);
// The exact inverse of pathFromBytes.
QByteArray pathToBytes(const QString& path);
// The path for a person to read: each byte that is not UTF-8 shown as \xNN.
QString displayPath(const QString& path);
// folder + "/" + name without doubling the separator after the root.
QString joinPath(const QString& folder, const QString& name);
// True when path equals folder or lies below it, by whole path components.
bool pathIsWithin(const QString& path, const QString& folder);
// The process's current folder, read losslessly; empty when it cannot be read.
QString currentFolder();

}  // namespace platform
