// The backing of a channel's pieces: a run of one channel's samples that never changes once a piece
// list shares it, so that every state of the sound that holds it (the live one, the undo steps, a save
// or the player reading on another thread) reads the same samples without a lock.
//
// Threads: ReadSamples is const and pread-only, callable from any number of threads at once. The
// writing members of FloatStore belong to whoever made the store, before it is shared.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "storage/block_file.h"
#include "storage/unique_fd.h"

namespace brindle {

class Progress;

// How a session's journal names a store, to find it again after a crash: its file in the store folder
// (0: an unnamed file, which cannot be found again) and, for PCM, where in the file its samples lie.
struct StoreDescription {
    StoreFileKind kind = StoreFileKind::Floats;
    uint64_t file = 0;
    int64_t dataOffset = 0;
    uint16_t blockAlign = 0;
    uint16_t width = 0;
    uint16_t channel = 0;
};

class SampleStore {
public:
    virtual ~SampleStore() = default;
    virtual StoreDescription Describe() const = 0;
    virtual uint32_t Length() const = 0;
    // Samples [position, position + count) into destination. 1, or 0 when the run leaves the store or a
    // read fails.
    virtual int ReadSamples(uint32_t position, float* destination, uint32_t count) const = 0;
    // The temporary folder's space the store keeps in use, given back when the last piece over it goes.
    virtual uint64_t DiskBytes() const { return 0; }
};

// Floats in a block file of its own: what the imports decode into and what the edits write.
class FloatStore final : public SampleStore {
public:
    int Create(uint32_t n, bool unnamed = false) { return file_.Create(n, unnamed); }
    // A session's float file read back (see BlockFile::Reopen).
    void Reopen(std::shared_ptr<StoreFolder> folder, uint64_t id, uint32_t n) { file_.Reopen(std::move(folder), id, n); }
    int Resize(uint32_t n) { return file_.Resize(n); }
    // BlockFile::WriteSamples: non-overlapping runs may be written from several threads at once.
    int WriteSamples(uint32_t position, const float* source, uint32_t count)
    {
        return file_.WriteSamples(position, source, count);
    }
    bool IsReady() const { return file_.IsReady(); }
    std::filesystem::path FileName() const { return file_.FileName(); }

    StoreDescription Describe() const override { return {StoreFileKind::Floats, file_.FolderId()}; }
    uint32_t Length() const override { return file_.StoredLength(); }
    int ReadSamples(uint32_t position, float* destination, uint32_t count) const override
    {
        return file_.ReadSamples(position, destination, count);
    }
    uint64_t DiskBytes() const override { return uint64_t(file_.StoredLength()) * sizeof(float); }

private:
    BlockFile file_;
};

// One channel of interleaved 8-bit unsigned or 16-bit little-endian PCM frames in a file, converted to
// floats as they are read, exactly as an import converts them. The file must not change while any
// piece uses the store: it is the program's own private copy of a source (see PrivatePcmCopy).
class PcmStore final : public SampleStore {
public:
    // width 1 or 2 bytes; channel < blockAlign / width. The frames start at byte dataOffset.
    PcmStore(std::shared_ptr<const UniqueFd> file, int64_t dataOffset, uint32_t frames, uint16_t blockAlign,
             uint16_t width, uint16_t channel)
        : file_(std::move(file)), dataOffset_(dataOffset), frames_(frames), blockAlign_(blockAlign), width_(width),
          channel_(channel)
    {
    }

    uint32_t Length() const override { return frames_; }
    int ReadSamples(uint32_t position, float* destination, uint32_t count) const override;
    StoreDescription Describe() const override
    {
        return {StoreFileKind::Pcm, fileId_, dataOffset_, blockAlign_, width_, channel_};
    }
    // This channel's share of the private copy. None while the store reads the source itself, nor when
    // the copy is a clone: its extents are the source's, and dropping it need not free a byte.
    uint64_t DiskBytes() const override { return holdsDisk_ ? uint64_t(frames_) * width_ : 0; }
    // Reads the same bytes from file from now on (the private copy of the source the store was made
    // over; holdsDisk unless a clone; fileId its number in the store folder, 0 for an unnamed one).
    // Only while no thread reads the store, before anything else shares it.
    void Redirect(std::shared_ptr<const UniqueFd> file, bool holdsDisk, uint64_t fileId = 0)
    {
        file_ = std::move(file);
        holdsDisk_ = holdsDisk;
        fileId_ = fileId;
    }

private:
    std::shared_ptr<const UniqueFd> file_;
    uint64_t fileId_ = 0;
    int64_t dataOffset_;
    uint32_t frames_;
    uint16_t blockAlign_;
    uint16_t width_;
    uint16_t channel_;
    bool holdsDisk_ = false;
};

// A private, unchanging copy of bytes [offset, offset + size) of a source file, for PcmStores to read
// in place of the source: what another program writes into the source afterwards cannot reach the
// open sound. Made in the store folder when one is set (see CurrentStoreFolder). A reflink clone where the file system shares extents (no bytes copied, no space used),
// else copy_file_range into an unnamed temporary file, else read and write. The copy keeps the
// source's offsets. progress, when given, moves with the bytes copied and is polled between chunks for a cancel. Invalid on failure, with the
// reason noted.
struct PrivateCopy {
    std::shared_ptr<const UniqueFd> file;
    bool shared = false;  // a clone: it takes no space of its own until either side changes
    // Its number in the store folder it was made in (the file goes with its last descriptor); 0 for
    // an unnamed file.
    uint64_t id = 0;
};
// A private copy file of the store folder's, read back after a crash; nullptr with the reason noted.
std::shared_ptr<const UniqueFd> ReopenPcmCopy(std::shared_ptr<StoreFolder> folder, uint64_t id);
PrivateCopy PrivatePcmCopy(int source, int64_t offset, int64_t size, Progress* progress = nullptr);

// PrivatePcmCopy on a thread of its own, so that a pass over the source (the peaks of an open) runs
// meanwhile on the caller's. The thread only polls progress for a cancel; Finish moves the progress.
class BackgroundCopy {
public:
    // source stays open until Finish or destruction.
    BackgroundCopy(int source, int64_t offset, int64_t size, const Progress* progress);
    // Waits for the thread (a cancelled copy ends at its next step).
    ~BackgroundCopy();
    BackgroundCopy(const BackgroundCopy&) = delete;
    BackgroundCopy& operator=(const BackgroundCopy&) = delete;

    // Waits for the copy, moving progress with the bytes copied; the copy, or an invalid one with the
    // thread's reason noted on the calling thread.
    PrivateCopy Finish(Progress* progress);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace brindle
