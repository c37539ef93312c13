// Sole owner of one POSIX file descriptor; closes it when destroyed.
#pragma once

#include <utility>

namespace brindle {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    bool IsValid() const { return fd_ >= 0; }
    int Get() const { return fd_; }
    // Closes the current descriptor (if any) and owns fd instead.
    void Reset(int fd = -1);
    // Closes the descriptor now: 1, or 0 when close() reported an error (errno tells which; the
    // descriptor is released all the same and must not be closed again). 1 when none is owned.
    int CloseChecked();

private:
    int fd_ = -1;
};

}  // namespace brindle
