#include "storage/unique_fd.h"

#include <unistd.h>

namespace brindle {

void UniqueFd::Reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

}  // namespace brindle
