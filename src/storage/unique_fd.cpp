#include "storage/unique_fd.h"

#include <unistd.h>

namespace brindle {

void UniqueFd::Reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int UniqueFd::CloseChecked()
{
    const int fd = std::exchange(fd_, -1);
    // On Linux the descriptor is gone even when close() fails, EINTR included: never retried.
    return fd < 0 || ::close(fd) == 0 ? 1 : 0;
}

}  // namespace brindle
