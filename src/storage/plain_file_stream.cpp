#include "storage/plain_file_stream.h"

#include <cerrno>
#include <unistd.h>

#include "tasks/failure.h"

namespace brindle {

int PlainFileStream::Open(const std::filesystem::path& name, OpenMode mode)
{
    if (name.empty() || IsOpen() || !file_.Open(name, mode))
        return 0;
    if (file_.FileSize() > int64_t(UINT32_MAX)) {
        NoteSystemFailure(EFBIG);
        file_.Close();
        return 0;
    }
    return 1;
}

int PlainFileStream::OpenForReading(const std::filesystem::path& name) { return Open(name, OpenMode::ReadOnly); }

int PlainFileStream::OpenForReading(const SourceFile& source)
{
    file_.Close();
    if (!source.IsOpen())
        return 0;
    UniqueFd fd = source.DuplicateAtStart();
    if (!fd.IsValid())
        return 0;
    file_.Adopt(std::move(fd), OpenMode::ReadOnly);
    return 1;
}

int PlainFileStream::OpenForWriting(const std::filesystem::path& name) { return Open(name, OpenMode::CreateOrTruncate); }

uint32_t PlainFileStream::Size() const
{
    const int64_t size = file_.FileSize();
    return size < 0 ? 0 : uint32_t(std::min<int64_t>(size, UINT32_MAX));
}

uint32_t PlainFileStream::Position() const
{
    if (!IsOpen())
        return 0;
    const off_t position = ::lseek(file_.Fd(), 0, SEEK_CUR);
    return position < 0 ? 0 : uint32_t(std::min<off_t>(position, UINT32_MAX));
}

uint32_t PlainFileStream::Read(void* buffer, uint32_t itemSize, uint32_t count)
{
    const uint32_t bytes = RequestBytes(buffer, itemSize, count);
    if (bytes == 0 || !IsOpen())
        return 0;
    uint32_t done = 0;
    while (done < bytes) {
        const ssize_t got = ::read(file_.Fd(), static_cast<char*>(buffer) + done, bytes - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            NoteSystemFailure();
        if (got <= 0)
            break;
        done += uint32_t(got);
    }
    return done / itemSize;
}

uint32_t PlainFileStream::Write(const void* buffer, uint32_t itemSize, uint32_t count)
{
    const uint32_t bytes = RequestBytes(buffer, itemSize, count);
    if (bytes == 0 || !file_.IsWritable())
        return 0;
    uint32_t done = 0;
    while (done < bytes) {
        const ssize_t put = ::write(file_.Fd(), static_cast<const char*>(buffer) + done, bytes - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            NoteSystemFailure();
        if (put <= 0)
            break;
        done += uint32_t(put);
    }
    return done / itemSize;
}

int PlainFileStream::CloseChecked()
{
    if (!IsOpen())
        return 1;
    const bool wasWritable = file_.IsWritable();
    const int result = file_.CloseChecked();
    return wasWritable ? result : 1;
}

int PlainFileStream::MoveTo(uint32_t position)
{
    if (::lseek(file_.Fd(), off_t(position), SEEK_SET) == off_t(position))
        return 1;
    NoteSystemFailure();
    return 0;
}

}  // namespace brindle
