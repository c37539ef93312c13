// Removes one file on every path out of a scope (a temporary file that must never outlive its
// operation), unless told to keep it.
#pragma once

#include <filesystem>
#include <system_error>

namespace brindle {

class FileRemover {
public:
    FileRemover() = default;
    explicit FileRemover(std::filesystem::path path) : path_(std::move(path)) {}
    ~FileRemover()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove(path_, ignored);
    }
    FileRemover(const FileRemover&) = delete;
    FileRemover& operator=(const FileRemover&) = delete;

    // Takes charge of path (after a name was made); the file need not exist yet.
    void Adopt(std::filesystem::path path) { path_ = std::move(path); }
    // The file stays: the operation succeeded and the file is its result.
    void Keep() { path_.clear(); }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace brindle
