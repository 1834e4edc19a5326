#include "measure/testfile.h"

#include "platform/files.h"

namespace measure {

QString testFilePath(const QString& folder) {
    const QString name = QString::fromLatin1(kTestFileName.data(), kTestFileName.size());
    if (folder.endsWith(QLatin1Char('/'))) return folder + name;
    return folder + QLatin1Char('/') + name;
}

void writeTestLines(platform::FileService& files, int fileNumber, int lineCount) {
    // The create time is meant to reflect the machine: a plain loop of buffered line writes.
    for (int line = 0; line < lineCount; ++line) files.writeLine(fileNumber, kTestLine);
}

}  // namespace measure
