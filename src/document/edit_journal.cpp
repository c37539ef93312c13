#include "document/edit_journal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/file_io.h"

namespace brindle {
namespace {

constexpr const char* kMagic = "BRINDLE-JOURNAL 1";
constexpr uint64_t kHashedBytes = uint64_t(1) << 20;
constexpr const char* kJournalSuffix = ".journal";
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kNewSuffix = ".journal.new";
// Far beyond any sound the editor opens (a WAV's frames fit in 32 bits), yet safe to add and subtract.
constexpr int64_t kMaxFrame = int64_t(1) << 40;

constexpr const char* kKindNames[] = {"delete-selected", "delete-unselected", "change-volume", "increase-volume",
                                      "fade-in",         "fade-out",          "to-mono",       "to-stereo"};

uint64_t Fnv1a(const char* data, size_t size, uint64_t hash = 14695981039346656037ull)
{
    for (size_t i = 0; i < size; ++i) {
        hash ^= uint8_t(data[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string Hex64(uint64_t value)
{
    char text[17];
    for (int i = 15; i >= 0; --i, value >>= 4)
        text[i] = "0123456789abcdef"[value & 15];
    return std::string(text, 16);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads exactly size bytes at offset: false on a short read or an error.
bool ReadAt(int fd, char* data, size_t size, uint64_t offset)
{
    return ReadFullyAt(fd, data, size, int64_t(offset)) == int64_t(size);
}

bool WriteAll(int fd, const std::string& bytes)
{
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t put = ::write(fd, data, left);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        left -= size_t(put);
    }
    return true;
}

template <class Number>
bool ParseNumber(const std::string& text, Number& value)
{
    if (text.empty() || (text.size() > 1 && text[0] == '0') || (text.size() > 2 && text[0] == '-' && text[1] == '0'))
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        const size_t space = line.find(' ', start);
        words.push_back(line.substr(start, space - start));
        if (space == std::string::npos)
            return words;
        start = space + 1;
    }
}

// The lines of a journal, each checked to be field followed by count numbers or words.
class LineReader {
public:
    explicit LineReader(const std::string& text) : text_(text) {}

    // The words after field on the next line, or nothing when the line is missing or another field's.
    bool Next(const char* field, size_t count, std::vector<std::string>& words)
    {
        if (at_ >= text_.size())
            return false;
        const size_t end = text_.find('\n', at_);
        if (end == std::string::npos)
            return false;
        words = Words(text_.substr(at_, end - at_));
        at_ = end + 1;
        if (words.size() != count + 1 || words[0] != field)
            return false;
        words.erase(words.begin());
        return true;
    }
    // Whether the next line is field's (a field that journals of an earlier version lack).
    bool Peek(const char* field) const
    {
        const size_t length = std::strlen(field);
        return text_.compare(at_, length, field) == 0 && at_ + length < text_.size() && text_[at_ + length] == ' ';
    }
    size_t Offset() const { return at_; }

private:
    const std::string& text_;
    size_t at_ = 0;
};

std::string Describe(size_t index, const char* what) { return "edit " + std::to_string(index + 1) + ": " + what; }

void SyncFolder(int folder)
{
    if (folder >= 0)
        ::fsync(folder);
}

// Whether name in folder is still the file open as fd: whoever finds a lock file without its journal
// removes it, and a lock taken on a file no longer named there guards nothing.
bool StillNamed(int folder, const std::string& name, int fd)
{
    struct stat named {}, held {};
    return ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// Takes the lock on name in folder without waiting: the descriptor, or none when someone holds it or
// it cannot be opened. A lock file that is not a regular file of ours is never ours to take.
UniqueFd TryLock(int folder, const std::string& name, bool create)
{
    UniqueFd lock(::openat(folder, name.c_str(),
                           O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT : 0), 0600));
    if (!lock.IsValid())
        return {};
    struct stat info {};
    if (::fstat(lock.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid())
        return {};
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0 || !StillNamed(folder, name, lock.Get()))
        return {};
    return lock;
}

bool EndsWith(const std::string& text, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return text.size() > n && text.compare(text.size() - n, n, suffix) == 0;
}

}  // namespace

namespace {

// The stat fields by the program's one identity rule, and the hash of the file's two ends.
SourceCheck FillSourceIdentity(int fd, const FileIdentity& file, SourceIdentity& identity, std::string& reason)
{
    identity.size = file.size;
    identity.modifiedSeconds = file.modifiedSeconds;
    identity.modifiedNanoseconds = file.modifiedNanoseconds;
    identity.changedSeconds = file.changedSeconds;
    identity.changedNanoseconds = file.changedNanoseconds;
    identity.device = file.device;
    identity.inode = file.inode;
    const uint64_t head = std::min(identity.size, kHashedBytes);
    const uint64_t tail = std::min(identity.size, kHashedBytes);
    std::string buffer(size_t(head), '\0');
    if (!ReadAt(fd, buffer.data(), size_t(head), 0)) {
        reason = "cannot read the file";
        return SourceCheck::Unreadable;
    }
    uint64_t hash = Fnv1a(buffer.data(), buffer.size());
    buffer.resize(size_t(tail));
    if (!ReadAt(fd, buffer.data(), size_t(tail), identity.size - tail)) {
        reason = "cannot read the file";
        return SourceCheck::Unreadable;
    }
    identity.hash = Fnv1a(buffer.data(), buffer.size(), hash);
    return SourceCheck::Same;
}

}  // namespace

bool SourceIdentity::Matches(const SourceIdentity& recorded) const
{
    SourceIdentity now = *this;
    if (recorded.changedSeconds < 0) {
        now.changedSeconds = recorded.changedSeconds;
        now.changedNanoseconds = recorded.changedNanoseconds;
    }
    return now == recorded;
}

SourceCheck ReadSourceIdentity(const std::filesystem::path& path, SourceIdentity& identity, std::string& reason)
{
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait for one.
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.IsValid()) {
        reason = std::strerror(errno);
        return errno == ENOENT || errno == ENOTDIR ? SourceCheck::Gone : SourceCheck::Unreadable;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) {
        reason = std::strerror(errno);
        return SourceCheck::Unreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = S_ISDIR(info.st_mode) ? "is a folder" : "not a regular file";
        return SourceCheck::NotRegular;
    }
    return FillSourceIdentity(file.Get(), FileIdentity::Of(info), identity, reason);
}

SourceCheck ReadSourceIdentity(const SourceFile& file, SourceIdentity& identity, std::string& reason)
{
    if (!file.IsOpen()) {
        reason = "the file is not open";
        return SourceCheck::Unreadable;
    }
    return FillSourceIdentity(file.Fd(), file.Identity(), identity, reason);
}

SourceCheck CheckSource(const std::filesystem::path& path, const SourceIdentity& expected, std::string& reason)
{
    SourceIdentity now;
    const SourceCheck check = ReadSourceIdentity(path, now, reason);
    if (check != SourceCheck::Same)
        return check;
    if (now.Matches(expected))
        return SourceCheck::Same;
    reason = now.size != expected.size ? "its size has changed"
             : now.hash != expected.hash ? "its contents have changed"
                                         : "it has been replaced or touched";
    return SourceCheck::Changed;
}

std::string EncodeJournal(const JournalRecord& record)
{
    std::string text = std::string(kMagic) + "\nsource ";
    for (const char c : record.source.native()) {
        text += "0123456789abcdef"[uint8_t(c) >> 4];
        text += "0123456789abcdef"[uint8_t(c) & 15];
    }
    const SourceIdentity& id = record.identity;
    text += "\nsize " + std::to_string(id.size) + "\nmodified " + std::to_string(id.modifiedSeconds) + ' ' +
            std::to_string(id.modifiedNanoseconds) +
            (id.changedSeconds < 0 ? std::string()
                                   : "\nchanged " + std::to_string(id.changedSeconds) + ' ' +
                                         std::to_string(id.changedNanoseconds)) +
            "\ndevice " + std::to_string(id.device) + "\ninode " +
            std::to_string(id.inode) + "\nhash " + Hex64(id.hash) + "\nedits " + std::to_string(record.edits.size()) +
            '\n';
    for (const EditRequest& edit : record.edits) {
        text += std::string("edit ") + kKindNames[size_t(edit.kind)] + ' ' + std::to_string(edit.start) + ' ' +
                std::to_string(edit.end) + ' ' + std::to_string(edit.percent) + '\n';
    }
    // Catches a torn or damaged file that still parses.
    text += "check " + Hex64(Fnv1a(text.data(), text.size())) + '\n';
    return text;
}

int DecodeJournal(const std::string& bytes, JournalRecord& record, std::string& reason)
{
    record = {};
    if (bytes.size() > kMaxJournalBytes) {
        reason = "the journal is too large";
        return 0;
    }
    LineReader lines(bytes);
    std::vector<std::string> words;
    if (bytes.compare(0, std::strlen(kMagic) + 1, std::string(kMagic) + '\n') != 0) {
        reason = "not a journal of this version";
        return 0;
    }
    lines.Next("BRINDLE-JOURNAL", 1, words);
    auto fail = [&reason](const char* why) {
        reason = why;
        return 0;
    };
    if (!lines.Next("source", 1, words))
        return fail("the journal is truncated or damaged (source)");
    const std::string& hex = words[0];
    if (hex.empty() || hex.size() % 2 || hex.size() > 2 * 4096)
        return fail("the journal's source name is damaged");
    std::string path;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            return fail("the journal's source name is damaged");
        path += char(high * 16 + low);
    }
    if (path[0] != '/')
        return fail("the journal's source name is not an absolute path");
    record.source = path;
    SourceIdentity& id = record.identity;
    std::string hashText;
    if (!lines.Next("size", 1, words) || !ParseNumber(words[0], id.size) || !lines.Next("modified", 2, words) ||
        !ParseNumber(words[0], id.modifiedSeconds) || !ParseNumber(words[1], id.modifiedNanoseconds) ||
        (lines.Peek("changed") &&
         (!lines.Next("changed", 2, words) || !ParseNumber(words[0], id.changedSeconds) ||
          !ParseNumber(words[1], id.changedNanoseconds))) ||
        !lines.Next("device", 1, words) || !ParseNumber(words[0], id.device) || !lines.Next("inode", 1, words) ||
        !ParseNumber(words[0], id.inode) || !lines.Next("hash", 1, words) || words[0].size() != 16)
        return fail("the journal is truncated or damaged (source identity)");
    for (const char c : words[0]) {
        if (HexDigit(c) < 0)
            return fail("the journal is truncated or damaged (source identity)");
        id.hash = id.hash * 16 + uint64_t(HexDigit(c));
    }
    uint64_t count = 0;
    if (!lines.Next("edits", 1, words) || !ParseNumber(words[0], count))
        return fail("the journal is truncated or damaged (edit count)");
    // Each edit takes at least 14 bytes: a count the file cannot hold is refused before anything is
    // allocated for it.
    if (count > kMaxJournalEdits || count > bytes.size() / 14)
        return fail("the journal's edit count is impossible");
    record.edits.reserve(size_t(count));
    for (uint64_t i = 0; i < count; ++i) {
        EditRequest edit;
        if (!lines.Next("edit", 4, words))
            return fail("the journal is truncated or damaged (edits)");
        const auto* name = std::find_if(std::begin(kKindNames), std::end(kKindNames),
                                        [&words](const char* known) { return words[0] == known; });
        if (name == std::end(kKindNames) || !ParseNumber(words[1], edit.start) || !ParseNumber(words[2], edit.end) ||
            !ParseNumber(words[3], edit.percent))
            return fail("the journal is truncated or damaged (edits)");
        edit.kind = EditKind(name - std::begin(kKindNames));
        record.edits.push_back(edit);
    }
    const size_t checked = lines.Offset();
    if (!lines.Next("check", 1, words) || lines.Offset() != bytes.size())
        return fail("the journal is truncated or damaged (end)");
    if (words[0] != Hex64(Fnv1a(bytes.data(), checked)))
        return fail("the journal is damaged (its check does not match)");
    return 1;
}

int CheckEdits(const std::vector<EditRequest>& edits, int64_t frames, int channels, std::string& reason)
{
    for (size_t i = 0; i < edits.size(); ++i) {
        const EditRequest& edit = edits[i];
        const bool whole = edit.start == -1 && edit.end == -1;
        if (!whole && !(edit.start >= 0 && edit.start <= edit.end && edit.end <= std::min(frames, kMaxFrame))) {
            reason = Describe(i, "its range lies outside the sound");
            return 0;
        }
        switch (edit.kind) {
        case EditKind::DeleteSelected:
        case EditKind::DeleteUnselected: {
            // As the window allows them: a selection that is neither empty nor the whole sound.
            if (whole || edit.start == edit.end || (edit.start == 0 && edit.end == frames)) {
                reason = Describe(i, "a cut must leave part of the sound");
                return 0;
            }
            const int64_t inside = edit.end - edit.start;
            frames = edit.kind == EditKind::DeleteSelected ? frames - inside : inside;
            break;
        }
        case EditKind::ChangeVolume:
            if (edit.percent < 0 || edit.percent > 500) {
                reason = Describe(i, "the volume is not 0 to 500 %");
                return 0;
            }
            break;
        case EditKind::ToMono:
        case EditKind::ToStereo: {
            const int from = edit.kind == EditKind::ToMono ? 2 : 1;
            if (channels != from) {
                reason = Describe(i, from == 2 ? "only a stereo sound becomes mono" : "only a mono sound becomes stereo");
                return 0;
            }
            channels = 3 - from;
            break;
        }
        default: break;
        }
    }
    return 1;
}

std::filesystem::path JournalFolder()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::filesystem::path(state) / "brindle";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::filesystem::path(home) / ".local" / "state" / "brindle";
    return {};
}

EditJournal::~EditJournal()
{
    if (!IsOpen())
        return;
    // Nothing to recover: the lock file would only be left for the next start to clear.
    if (!written_)
        ::unlinkat(folder_.Get(), (name_.substr(0, name_.size() - std::strlen(kJournalSuffix)) + kLockSuffix).c_str(), 0);
}

int EditJournal::Open(const std::filesystem::path& folder)
{
    if (folder.empty())
        return 0;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    ::chmod(folder.c_str(), 0700);
    folder_.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder_.IsValid())
        return 0;
    const std::string pid = std::to_string(::getpid());
    for (unsigned n = 0; n < 1000; ++n) {
        const std::string base = pid + '-' + std::to_string(n);
        // A fresh name only: another editor's (or an earlier run's, with the same pid) is never taken.
        UniqueFd lock(::openat(folder_.Get(), (base + kLockSuffix).c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!lock.IsValid()) {
            if (errno == EEXIST)
                continue;
            return 0;
        }
        // Another editor's start may have taken the fresh file for a dead one's and removed it.
        if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0 || !StillNamed(folder_.Get(), base + kLockSuffix, lock.Get()))
            continue;
        lock_ = std::move(lock);
        name_ = base + kJournalSuffix;
        journal_ = folder / name_;
        return 1;
    }
    return 0;
}

int EditJournal::Write(const JournalRecord& record)
{
    if (!IsOpen())
        return 0;
    const std::string bytes = EncodeJournal(record);
    if (bytes.size() > kMaxJournalBytes)
        return 0;
    const std::string fresh = name_ + ".new";
    UniqueFd file(::openat(folder_.Get(), fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.IsValid())
        return 0;
    if (!WriteAll(file.Get(), bytes) || ::fsync(file.Get()) != 0 || !file.CloseChecked() ||
        ::renameat(folder_.Get(), fresh.c_str(), folder_.Get(), name_.c_str()) != 0) {
        ::unlinkat(folder_.Get(), fresh.c_str(), 0);
        return 0;
    }
    written_ = true;
    SyncFolder(folder_.Get());
    return 1;
}

void EditJournal::Remove(bool durable)
{
    if (!IsOpen() || !written_)
        return;
    ::unlinkat(folder_.Get(), name_.c_str(), 0);
    written_ = false;
    if (durable)
        SyncFolder(folder_.Get());
}

int OrphanJournal::Read(JournalRecord& record, std::string& reason) const
{
    UniqueFd file(::openat(folder_.Get(), (base_ + kJournalSuffix).c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.IsValid()) {
        reason = errno == ELOOP ? "the journal is a link" : std::strerror(errno);
        return 0;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        reason = "the journal is not a regular file";
        return 0;
    }
    if (info.st_uid != ::getuid()) {
        reason = "the journal belongs to another user";
        return 0;
    }
    if (uint64_t(info.st_size) > kMaxJournalBytes) {
        reason = "the journal is too large";
        return 0;
    }
    // One byte more than the size said: a file still growing is read no further than the limit.
    std::string bytes(size_t(info.st_size) + 1, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(file.Get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    bytes.resize(got);
    return DecodeJournal(bytes, record, reason);
}

void OrphanJournal::Delete()
{
    if (!folder_.IsValid())
        return;
    // The journal first: an editor that finds a lock file alone clears it.
    ::unlinkat(folder_.Get(), (base_ + kJournalSuffix).c_str(), 0);
    ::unlinkat(folder_.Get(), (base_ + kLockSuffix).c_str(), 0);
    SyncFolder(folder_.Get());
    lock_.Reset();
}

std::vector<OrphanJournal> ClaimOrphanJournals(const std::filesystem::path& folder)
{
    std::vector<OrphanJournal> found;
    if (folder.empty())
        return found;
    UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.IsValid())
        return found;
    std::vector<std::string> bases;
    if (DIR* dir = ::fdopendir(::dup(folderFd.Get()))) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            for (const char* suffix : {kNewSuffix, kJournalSuffix, kLockSuffix}) {
                if (EndsWith(name, suffix)) {
                    bases.push_back(name.substr(0, name.size() - std::strlen(suffix)));
                    break;
                }
            }
            if (bases.size() > 10000)
                break;
        }
        ::closedir(dir);
    }
    std::sort(bases.begin(), bases.end());
    bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
    std::vector<std::pair<int64_t, OrphanJournal>> claimed;
    for (const std::string& base : bases) {
        UniqueFd lock = TryLock(folderFd.Get(), base + kLockSuffix, true);
        if (!lock.IsValid())
            continue;  // a live editor's, or not a lock file we may use
        // Half-written replacements are never the journal: the rename made it.
        ::unlinkat(folderFd.Get(), (base + kNewSuffix).c_str(), 0);
        struct stat info {};
        if (::fstatat(folderFd.Get(), (base + kJournalSuffix).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            ::unlinkat(folderFd.Get(), (base + kLockSuffix).c_str(), 0);
            continue;
        }
        OrphanJournal orphan;
        orphan.folder_ = UniqueFd(::dup(folderFd.Get()));
        orphan.lock_ = std::move(lock);
        orphan.base_ = base;
        orphan.journal_ = folder / (base + kJournalSuffix);
        claimed.emplace_back(int64_t(info.st_mtim.tv_sec), std::move(orphan));
    }
    std::stable_sort(claimed.begin(), claimed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : claimed)
        found.push_back(std::move(entry.second));
    return found;
}

}  // namespace brindle
