// A few hundred bytes that let a crash, a kill or a power cut cost nothing: the file a sound was
// loaded from, how to recognise that file unchanged, and the edits that turn it into the sound as it
// is. Edits are deterministic functions of the sound and a few numbers, so replaying them over the
// same file rebuilds the same samples; no sample is ever written here.
//
// Each editor keeps its own journal in the state folder and holds an flock on a lock file beside it
// for as long as it runs. The kernel drops that lock however the process ends (a crash, SIGKILL, the
// OOM killer; a power cut ends them all), so a journal whose lock can be taken belongs to nobody. An
// flock is immune to pid reuse and to pid namespaces (a sandboxed editor sharing the folder has pids
// this one cannot see), which a recorded pid is not. Whoever takes a dead journal's lock keeps it while
// it deals with the journal, so two editors starting together never both recover it.
//
// A journal read back is treated as hostile: its size, its counts, every number and the source it
// names are checked before anything is done with them; the source is opened without blocking and read
// only when it is a regular file. Qt-free; the editor owns one, brindle-batch none.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "document/edit_history.h"
#include "storage/source_file.h"
#include "storage/unique_fd.h"

namespace brindle {

// How the journal recognises its source: a file with the same size, modification time, device,
// inode and first and last MiB is taken to be the same file.
struct SourceIdentity {
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanoseconds = 0;
    // -1 in a journal written before the change time was kept: such a journal is matched without it.
    int64_t changedSeconds = -1;
    int64_t changedNanoseconds = -1;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t hash = 0;  // FNV-1a over the first MiB, then the last MiB (the whole file when smaller)

    bool operator==(const SourceIdentity&) const = default;
    // Whether this identity, read now, is the file recorded: every field, the change time only when
    // it was recorded.
    bool Matches(const SourceIdentity& recorded) const;
};

enum class SourceCheck { Same, Changed, Gone, NotRegular, Unreadable };

// Reads path's identity without blocking on a FIFO or reading a device. Same means identity was
// filled; any other result leaves reason saying why.
SourceCheck ReadSourceIdentity(const std::filesystem::path& path, SourceIdentity& identity, std::string& reason);
// The same for the file a load opened, through its descriptor.
SourceCheck ReadSourceIdentity(const SourceFile& file, SourceIdentity& identity, std::string& reason);
// Compares what path is now with expected.
SourceCheck CheckSource(const std::filesystem::path& path, const SourceIdentity& expected, std::string& reason);

struct JournalRecord {
    std::filesystem::path source;  // absolute
    SourceIdentity identity;
    std::vector<EditRequest> edits;  // oldest first
};

// Larger journals are refused unread: 100 edits take about 3 KB.
constexpr uint64_t kMaxJournalBytes = uint64_t(4) << 20;
constexpr uint64_t kMaxJournalEdits = 100000;

std::string EncodeJournal(const JournalRecord& record);
// 1, or 0 with reason (truncated, damaged, a number out of range...).
int DecodeJournal(const std::string& bytes, JournalRecord& record, std::string& reason);
// Whether edits can be replayed in order over a sound of frames frames and channels channels: every
// range inside the sound as it is by then, every cut leaving something, mono only from stereo and back.
// 1, or 0 with reason naming the first edit that cannot.
int CheckEdits(const std::vector<EditRequest>& edits, int64_t frames, int channels, std::string& reason);

// $XDG_STATE_HOME/brindle when that is an absolute path, else ~/.local/state/brindle; empty when
// neither can be named.
std::filesystem::path JournalFolder();

// This editor's own journal. Open claims a name in the folder and its lock; Write replaces the
// journal atomically (written beside, flushed, renamed, the folder flushed); Remove deletes it. The
// destructor releases the lock and leaves a journal written and not removed for the next start.
class EditJournal {
public:
    EditJournal() = default;
    ~EditJournal();
    EditJournal(const EditJournal&) = delete;
    EditJournal& operator=(const EditJournal&) = delete;

    // 1, or 0 when the folder cannot be made or used (then Write and Remove do nothing).
    int Open(const std::filesystem::path& folder);
    bool IsOpen() const { return lock_.IsValid(); }
    int Write(const JournalRecord& record);
    // Deletes the journal; with durable, also flushes the folder, so the deletion outlives a power cut.
    void Remove(bool durable = true);
    const std::filesystem::path& Path() const { return journal_; }

private:
    UniqueFd folder_;
    UniqueFd lock_;
    std::string name_;  // the journal's file name, "<pid>-<n>.journal"
    std::filesystem::path journal_;
    bool written_ = false;
};

// A journal whose editor is gone, held (by its lock) for as long as this object lives.
class OrphanJournal {
public:
    OrphanJournal() = default;
    OrphanJournal(OrphanJournal&&) = default;
    OrphanJournal& operator=(OrphanJournal&&) = default;

    const std::filesystem::path& Path() const { return journal_; }
    // Reads and decodes it: 1, or 0 with reason. Never follows a link and reads only a regular file
    // of this user no larger than kMaxJournalBytes.
    int Read(JournalRecord& record, std::string& reason) const;
    // Deletes the journal and its lock file.
    void Delete();

private:
    friend std::vector<OrphanJournal> ClaimOrphanJournals(const std::filesystem::path& folder);
    UniqueFd folder_;
    UniqueFd lock_;
    std::string base_;  // "<pid>-<n>"
    std::filesystem::path journal_;
};

// The journals in folder whose lock nobody holds, oldest first, each now held by the caller. Leftovers
// of a dead editor that hold no journal (its lock file, a half-written replacement) are removed.
std::vector<OrphanJournal> ClaimOrphanJournals(const std::filesystem::path& folder);

}  // namespace brindle
