#include "storage/file_io.h"

#include <cerrno>
#include <unistd.h>

namespace brindle {

int64_t ReadFullyAt(int fd, void* destination, size_t n, int64_t offset)
{
    auto* bytes = static_cast<char*>(destination);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, bytes + done, n - done, off_t(offset + int64_t(done)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += size_t(got);
    }
    return int64_t(done);
}

bool WriteFullyAt(int fd, const void* source, size_t n, int64_t offset)
{
    const auto* bytes = static_cast<const char*>(source);
    size_t done = 0;
    while (done < n) {
        const ssize_t put = ::pwrite(fd, bytes + done, n - done, off_t(offset + int64_t(done)));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        done += size_t(put);
    }
    return true;
}

}  // namespace brindle
