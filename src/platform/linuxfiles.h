#pragma once

#include <QString>
#include <array>
#include <cstddef>
#include <memory>

#include "platform/files.h"

namespace platform {

class LinuxFileService : public FileService {
public:
    static constexpr int maxFileNumber = 255;
    static constexpr std::size_t outputBufferSize = std::size_t(1) << 20;

    // sysRoot is where the block-device table lives ("/sys"); devRoot holds the device nodes.
    explicit LinuxFileService(QString sysRoot = QStringLiteral("/sys"),
                              QString devRoot = QStringLiteral("/dev"));
    ~LinuxFileService() override;
    LinuxFileService(const LinuxFileService&) = delete;
    LinuxFileService& operator=(const LinuxFileService&) = delete;

    void openForOutput(int fileNumber, const QString& path, CreateMode mode) override;
    void writeLine(int fileNumber, std::string_view text) override;
    void close(int fileNumber) override;
    void closeAll() noexcept override;
    void deleteFile(const QString& path) override;

    PathKind pathKind(const QString& path) override;
    bool consistsOfRepeatedBlock(const QString& path, std::string_view block) override;

    void copyFile(const QString& source, const QString& destination,
                  const CopyOptions& options) override;

private:
    struct OutputFile {
        int descriptor = -1;
        QString path;
        std::unique_ptr<char[]> buffer;
        // A closed file counts as full, so writeLine's fast path needs no separate open check.
        std::size_t used = outputBufferSize;
    };

    OutputFile& openFile(int fileNumber);
    void writeLineThroughFlush(int fileNumber, std::string_view text);
    void append(OutputFile& file, const char* data, std::size_t size);
    void flushBuffer(OutputFile& file);
    void dropBlockDeviceCache(int descriptor) noexcept;

    std::array<OutputFile, maxFileNumber + 1> files_;
    QString sysRoot_;
    QString devRoot_;
};

}  // namespace platform
