// The one read and write loop of every file the program reads or writes at an offset: an interrupted
// call is repeated and a partial transfer continued, so each caller only decides what a short read
// or a failure means to it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindle {

// Reads up to n bytes at offset with pread: the count read, short only where the file ends; -1 on an
// error, with errno saying which.
int64_t ReadFullyAt(int fd, void* destination, size_t n, int64_t offset);

// Writes all n bytes at offset with pwrite: true, or false with errno set (ENOSPC when the file
// took nothing more).
bool WriteFullyAt(int fd, const void* source, size_t n, int64_t offset);

}  // namespace brindle
