// Everything the open sound is made of, kept where a crash cannot take it.
//
// A session is a folder of its own in the state folder: the sample stores of the sound and of every
// undo and redo step (see StoreFolder), the tags of the file it came from, and a journal of the
// history as states over those stores: each step the ranges of each channel it replaced and the
// pieces that replaced them. Recovery rebuilds the exact history from the folder alone, with no replay
// and no need of the file the sound came from, which may have been saved over, renamed or deleted
// since.
//
// Durability: a step's record is written and synced before the edit shows; the stores it wrote are
// flushed afterwards on a thread of the session's, which then marks them flushed in the journal. After
// a power cut (another boot than the session's) only flushed stores are trusted, so recovery comes back
// to the newest state whose samples reached the disk. A record that cannot be written marks the
// session stale (its journal put aside, so that no state the history has left is ever offered) until
// a full rewrite of the journal succeeds; the editor says so once.
//
// Each session holds an open-file-description lock on its lock file for as long as its editor runs:
// the kernel drops it however the process ends, it is immune to pid reuse and pid namespaces, and
// unlike flock it stays a lock of this descriptor on NFS. Whoever takes a dead session's lock keeps it
// while it deals with the session, and a recovery goes on in that same folder: a recovery killed
// midway leaves exactly the one session it started from.
//
// A session read back is treated as hostile: its files must be this user's regular files, not links,
// of bounded size, every number in range and every store at least as long as its pieces need.
// Qt-free; the editor owns one, brindle-batch none.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "document/edit_history.h"
#include "formats/file_tags.h"
#include "storage/store_folder.h"
#include "storage/unique_fd.h"

namespace brindle {

// $XDG_STATE_HOME/brindle when that is an absolute path, else ~/.local/state/brindle; empty when
// neither can be named.
std::filesystem::path StateFolder();

// The names the window shows for the sound: the file it came from, where it saves (empty: not yet
// chosen), and which side holds it (0 MP3, 1 WAV).
struct SessionNames {
    std::filesystem::path source;
    std::filesystem::path target;
    uint8_t kind = 0;
};

// A history read back from a session, ready for the Document to take.
struct RecoveredHistory {
    SessionNames names;
    FileTags tags;
    // states[i] is the state after i steps from the oldest kept; steps[i] leads from states[i] to
    // states[i + 1].
    std::vector<SoundState> states;
    std::vector<EditHistory::Step> steps;
    size_t position = 0;
    std::optional<size_t> saved;
    // Why newer states than the ones kept were refused (a store that did not reach the disk); empty
    // when none was.
    std::string refused;
};

class Session {
public:
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A new session in stateFolder (made 0700 when missing), its lock taken and its folder the one
    // new stores go to. nullptr with reason.
    static std::unique_ptr<Session> Create(const std::filesystem::path& stateFolder, std::string& reason);

    const std::filesystem::path& Path() const { return path_; }

    // Records, by the history's positions (0: the oldest state kept). Each is 1, or 0 when it could
    // not be written: the session is then stale (see above) and Failure() says why.
    // The whole history anew: after a load, a recovery, or to heal a stale session.
    int Snapshot(const EditHistory& history, const SoundBuffer& current, const SessionNames& names,
                 const FileTags& tags);
    // Stale, or grown well past what a rewrite would take (undos and redos only add to it).
    bool NeedsSnapshot() const { return stale_ || written_ > compactAt_; }
    // A new step from the state at position (which becomes the newest), synced.
    int Step(size_t position, const EditRequest& request, const SoundBuffer& before, const SoundBuffer& after);
    // The window's marks around step `step`; written, not synced (a power cut costs the marks only).
    void Marks(size_t step, const EditMarks& before, const EditMarks& after);
    // The history stands at position (an undo or a redo), synced; with truncate, the steps after it
    // are gone (an edit given up after its step was recorded).
    int Move(size_t position, bool truncate = false);
    // The state at position (none: no state kept) is the one on disk, under names.
    int Saved(std::optional<size_t> position, const SessionNames& names);
    // The oldest count steps are gone.
    int Dropped(size_t count);
    // No sound any more: nothing to recover. With durable, flushes the folder so that the journal's
    // deletion outlives a power cut.
    int Clear(bool durable = true);

    // Deletes the folder and everything in it; the session is then unusable. A normal end.
    void Remove();
    // The other end: the process goes without a normal close (its window destroyed from outside, the
    // desktop session ending), and nothing of the folder may go with the sound it lets go of.
    void Keep() { stores_->KeepFiles(); }

    // Set once a record failed, until Failure is taken; the reason.
    bool TakeFailure(std::string& reason);

private:
    friend class OrphanSession;
    Session() = default;
    int Open(UniqueFd folder, UniqueFd lock, std::filesystem::path path, std::shared_ptr<StoreFolder> stores = nullptr);
    int Append(const std::string& lines, bool sync);
    void Fail(const std::string& reason);
    // The record of a store, with its definition first when the journal has none yet.
    std::string StoreNumber(const SampleStore& store, std::string& definitions);
    std::string StateRecord(size_t absolute, const SoundBuffer& state, const SoundBuffer* base,
                            std::string& definitions);
    void Flusher();
    void QueueFlush(const std::vector<StoreDescription>& files);

    std::filesystem::path path_;
    UniqueFd folder_;
    UniqueFd lock_;
    UniqueFd journal_;
    std::shared_ptr<StoreFolder> stores_;
    std::string boot_;
    // The absolute index of the oldest state kept (steps dropped since the snapshot count up).
    size_t base_ = 0;
    std::atomic<bool> stale_{false};
    // The journal's bytes, and the size past which it is written anew.
    std::atomic<uint64_t> written_{0};
    uint64_t compactAt_ = 0;
    uint64_t generation_ = 0;  // of the journal's rewrites, naming their tags
    bool failureShown_ = true;
    std::string failure_;
    // Store number by (kind, file, channel); those the journal has defined.
    std::map<std::tuple<int, uint64_t, uint16_t>, uint64_t> numbers_;
    uint64_t nextNumber_ = 1;

    std::mutex mutex_;  // the journal's writes, the flush queue, the failure
    std::condition_variable wake_;
    std::deque<StoreDescription> toFlush_;
    bool stopping_ = false;
    std::thread flusher_;
};

// A session whose editor is gone, held (by its lock) for as long as this object lives.
class OrphanSession {
public:
    OrphanSession() = default;
    OrphanSession(OrphanSession&&) = default;
    OrphanSession& operator=(OrphanSession&&) = default;

    const std::filesystem::path& Path() const { return path_; }
    // Reads the history back: 1, or 0 with reason (a hostile or damaged session, or none of its
    // states whole). A session with no unsaved state reads as 1 with no states.
    int Read(RecoveredHistory& history, std::string& reason);
    // This editor's session from now on, in the same folder (new stores go there).
    std::unique_ptr<Session> Adopt(std::string& reason);
    // Deletes the folder and everything in it.
    void Delete();

private:
    friend std::vector<OrphanSession> ClaimOrphanSessions(const std::filesystem::path& stateFolder);
    UniqueFd folder_;
    UniqueFd lock_;
    std::filesystem::path path_;
    std::shared_ptr<StoreFolder> stores_;
    uint64_t highestFile_ = 0;
    std::set<std::string> referenced_;  // the store files the journal names
    uint64_t generation_ = 0;           // the journal's, for the session that adopts it
};

// The sessions in stateFolder whose lock nobody holds, oldest first, each now held by the caller.
std::vector<OrphanSession> ClaimOrphanSessions(const std::filesystem::path& stateFolder);

}  // namespace brindle
