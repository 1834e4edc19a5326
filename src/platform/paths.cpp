#include "platform/paths.h"

#include <unistd.h>
#include <cstdlib>

namespace platform {

namespace {

// As Python's surrogateescape: byte b (0x80 ... 0xFF) is U+DC00 + b.
constexpr char16_t escapeBase = 0xDC00;

bool isEscape(char16_t unit) {
    return unit >= escapeBase + 0x80 && unit <= escapeBase + 0xFF;
}

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none.
qsizetype sequenceLength(QByteArrayView bytes, qsizetype at) {
    const auto byte = [&](qsizetype i) { return static_cast<unsigned char>(bytes[at + i]); };
    const qsizetype left = bytes.size() - at;
    const unsigned char first = byte(0);
    if (first < 0x80) return 1;
    if (first >= 0xC2 && first <= 0xDF) return left >= 2 && isContinuation(byte(1)) ? 2 : 0;
    if (first >= 0xE0 && first <= 0xEF) {
        if (left < 3 || !isContinuation(byte(1)) || !isContinuation(byte(2))) return 0;
        if (first == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
        if (first == 0xED && byte(1) >= 0xA0) return 0;  // a surrogate
        return 3;
    }
    if (first >= 0xF0 && first <= 0xF4) {
        if (left < 4 || !isContinuation(byte(1)) || !isContinuation(byte(2)) ||
            !isContinuation(byte(3)))
            return 0;
        if (first == 0xF0 && byte(1) < 0x90) return 0;   // overlong
        if (first == 0xF4 && byte(1) >= 0x90) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

QString pathFromBytes(QByteArrayView bytes) {
    QString path;
    path.reserve(bytes.size());
    qsizetype validStart = 0;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype length = sequenceLength(bytes, at);
        if (length > 0) {
            at += length;
            continue;
        }
        path += QString::fromUtf8(bytes.sliced(validStart, at - validStart));
        path += QChar(char16_t(escapeBase + static_cast<unsigned char>(bytes[at])));
        validStart = ++at;
    }
    path += QString::fromUtf8(bytes.sliced(validStart));
    return path;
}

QByteArray pathToBytes(const QString& path) {
    QByteArray bytes;
    bytes.reserve(path.size());
    qsizetype textStart = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t unit = path.at(i).unicode();
        if (!isEscape(unit)) continue;
        bytes += QStringView(path).sliced(textStart, i - textStart).toUtf8();
        bytes += char(unit - escapeBase);
        textStart = i + 1;
    }
    bytes += QStringView(path).sliced(textStart).toUtf8();
    return bytes;
}

QString currentFolder() {
    char* folder = ::getcwd(nullptr, 0);
    if (folder == nullptr) return {};
    const QString path = pathFromBytes(folder);
    std::free(folder);
    return path;
}

QString displayPath(const QString& path) {
    QString shown;
    shown.reserve(path.size());
    for (const QChar character : path) {
        const char16_t unit = character.unicode();
        if (isEscape(unit)) {
            shown +=
                QStringLiteral("\\x%1").arg(unsigned(unit - escapeBase), 2, 16, QLatin1Char('0'));
        } else {
            shown += character;
        }
    }
    return shown;
}

QString joinPath(const QString& folder, const QString& name) {
    if (folder.endsWith(QLatin1Char('/'))) return folder + name;
    return folder + QLatin1Char('/') + name;
}

bool pathIsWithin(const QString& path, const QString& folder) {
    if (folder.endsWith(QLatin1Char('/'))) return path.startsWith(folder) || path + u'/' == folder;
    return path == folder ||
           (path.startsWith(folder) && path.at(folder.size()) == QLatin1Char('/'));
}

}  // namespace platform
