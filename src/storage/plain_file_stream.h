// A FileStream over ordinary read and write calls, with the file's own position; used to probe
// headers.
#pragma once

#include <filesystem>

#include "storage/file_handle.h"
#include "storage/file_stream.h"
#include "storage/source_file.h"

namespace brindle {

class PlainFileStream final : public FileStream {
public:
    PlainFileStream() = default;
    ~PlainFileStream() override { Close(); }

    // Read only; the file must exist. Fails when already open or the file is 4 GiB or larger.
    int OpenForReading(const std::filesystem::path& name);
    // Reads the file open at the door, from its start, through a descriptor that shares its offset:
    // one such reader at a time.
    int OpenForReading(const SourceFile& source);
    // Created or truncated.
    int OpenForWriting(const std::filesystem::path& name);

    bool IsOpen() const override { return file_.IsOpen(); }
    uint32_t Size() const override;
    uint32_t Position() const override;
    // 0 when closing a written file reported an error (a network file system may report a failed
    // write only here).
    int CloseChecked() override;
    uint32_t Read(void* buffer, uint32_t itemSize, uint32_t count) override;
    uint32_t Write(const void* buffer, uint32_t itemSize, uint32_t count) override;

protected:
    int MoveTo(uint32_t position) override;

private:
    int Open(const std::filesystem::path& name, OpenMode mode);

    FileHandle file_;
};

}  // namespace brindle
