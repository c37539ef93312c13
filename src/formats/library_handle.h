// The owner of one shared library loaded at run time (dlopen). Move-only; the library is unloaded
// when the owner is destroyed.
#pragma once

#include <string>

namespace brindle {

class LibraryHandle {
public:
    LibraryHandle() = default;
    ~LibraryHandle() { Reset(); }
    LibraryHandle(LibraryHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    LibraryHandle& operator=(LibraryHandle&& other) noexcept;
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;

    // Loads a library by file path (containing a '/') or by bare name through the normal search.
    // Closes any library held before. 1 on success, 0 on failure (the owner is then empty).
    int Open(const std::string& nameOrPath);
    void Reset();
    bool IsOpen() const { return handle_ != nullptr; }

    // The address of an exported symbol, or null when the library is closed or lacks it.
    void* Symbol(const char* name) const;
    // The file the library was actually loaded from (for a bare name, where the search found it);
    // empty when closed or unknown.
    std::string LoadedPath() const;

private:
    void* handle_ = nullptr;
};

}  // namespace brindle
