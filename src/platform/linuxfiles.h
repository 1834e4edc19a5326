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

    // The block-device table and the device nodes of the copy's cache drop are read below
    // systemRoot; empty is the running system.
    explicit LinuxFileService(QString systemRoot = {});
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

    static bool isValidFileNumber(int fileNumber);
    OutputFile& openFile(int fileNumber);
    void writeLineThroughFlush(int fileNumber, std::string_view text);
    void append(OutputFile& file, const char* data, std::size_t size);
    void flushBuffer(OutputFile& file);
    void dropBlockDeviceCache(int descriptor) noexcept;

    std::array<OutputFile, maxFileNumber + 1> files_;
    QString systemRoot_;
};

}  // namespace platform
