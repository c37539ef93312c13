// One file, the size it is mapped with, and at most one mapped view of it.
//
// The Linux stand-in for a file-mapping object: "creating the mapping" fixes the size that views may
// cover and, when that is larger than the file, grows the file with allocated (not sparse) zeros, so
// that a view can never hit a missing page (SIGBUS) on a full disk. Views never reach
// past the mapping size, and the mapping size never exceeds the file size, so mapping past the end of
// the file is impossible by construction. Only this class and the streams include <sys/mman.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "storage/file_handle.h"

namespace brindle {

// The allocation granularity: views start at multiples of it. Fixed rather than queried so that
// block and window sizes are the same on every machine.
inline constexpr uint32_t kAllocationGranularity = 65536;

// Sole owner of one mmap'ed region.
class MappedView {
public:
    MappedView() = default;
    MappedView(void* base, size_t size) : base_(base), size_(size) {}
    ~MappedView() { Reset(); }
    MappedView(MappedView&& other) noexcept;
    MappedView& operator=(MappedView&& other) noexcept;
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;

    void Reset();
    void* Base() const { return base_; }
    size_t Size() const { return size_; }
    bool IsMapped() const { return base_ != nullptr; }

private:
    void* base_ = nullptr;
    size_t size_ = 0;
};

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() { Close(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Opens the file (closing anything open before). Returns 1 or 0. Here and below a failing system
    // call's reason is noted (tasks/failure.h).
    int Open(const std::filesystem::path& name, OpenMode mode);

    // Fails when a mapping exists or no file is open. size 0 maps the whole file (and fails for an
    // empty file); a size beyond the file grows it with zeros (writable files only).
    int CreateMapping(uint64_t size);
    // Unmaps the view and maps again with the new size (grows the file as CreateMapping does).
    int RecreateMapping(uint64_t size);

    // Maps [offset, offset + size) of the mapping; offset must be a multiple of the granularity and
    // the range must lie inside the mapping. size 0 maps to the end of the mapping. Fails when a view
    // is already mapped. Returns the view's base or null.
    void* MapView(uint64_t offset, size_t size);
    // Unmaps the current view, then MapView.
    void* RemapView(uint64_t offset, size_t size);
    void UnmapView() { view_.Reset(); }

    // Writes bytes at offset inside the mapping with pwrite. Views of the same bytes see the new data
    // at once (one page cache). Bulk writes take this path: on this kind of machine a write fault on
    // a shared file mapping costs several microseconds per 4 KiB page, ten times a pwrite of the
    // same bytes, while reading through a view stays as fast as read().
    int WriteAt(uint64_t offset, const void* data, size_t bytes);
    // Unmaps the view and forgets the mapping size; the file stays open.
    void CloseMapping();
    // Everything: view, mapping, file, name.
    void Close();
    // Close, with the result of closing the file: 0 (and the reason noted) when close() failed.
    int CloseChecked();
    // Schedules the view's dirty pages for writing.
    int Flush();

    bool HasMapping() const { return hasMapping_; }
    bool IsOpen() const { return file_.IsOpen(); }
    bool IsWritable() const { return file_.IsWritable(); }
    uint64_t MappingSize() const { return mappingSize_; }
    void* ViewBase() const { return view_.Base(); }
    uint64_t ViewOffset() const { return viewOffset_; }
    size_t ViewSize() const { return view_.Size(); }
    const std::filesystem::path& Name() const { return name_; }
    int Fd() const { return file_.Fd(); }

private:
    FileHandle file_;
    MappedView view_;
    uint64_t viewOffset_ = 0;
    uint64_t mappingSize_ = 0;
    bool hasMapping_ = false;
    std::filesystem::path name_;
};

}  // namespace brindle
