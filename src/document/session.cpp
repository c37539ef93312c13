#include "document/session.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/file_io.h"
#include "storage/temp_files.h"
#include "tasks/failure.h"

namespace brindle {

namespace {

constexpr const char* kPrefix = "session-";
constexpr const char* kJournal = "journal";
constexpr const char* kFresh = "journal.new";
constexpr const char* kStale = "journal.stale";
constexpr const char* kLock = "lock";
// "tags.<n>": each rewrite of the journal writes its tags beside the ones the old journal names.
constexpr const char* kTags = "tags.";
constexpr const char* kHeader = "brindle-session 1";
// Thousands of steps take a few hundred kilobytes; more is refused unread.
constexpr uint64_t kMaxJournalBytes = uint64_t(64) << 20;
constexpr uint64_t kMaxTagBytes = uint64_t(256) << 20;
constexpr uint64_t kMaxPieces = uint64_t(1) << 24;
constexpr uint64_t kMaxStates = uint64_t(1) << 20;

uint64_t Fnv1a(const char* data, size_t size)
{
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ uint8_t(data[i])) * 1099511628211ull;
    return hash;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2 + 1);
    out += 'x';  // never an empty word
    for (unsigned char c : bytes)
        out += digits[c >> 4], out += digits[c & 15];
    return out;
}

bool Unhex(const std::string& word, std::string& bytes)
{
    if (word.empty() || word[0] != 'x' || word.size() % 2 != 1)
        return false;
    bytes.clear();
    auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    for (size_t i = 1; i < word.size(); i += 2) {
        const int high = digit(word[i]), low = digit(word[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes += char(high * 16 + low);
    }
    return true;
}

// Each record is one line ending in the hash of what precedes it: a torn last line (the write a
// crash cut short) is told from a whole one, and a damaged line anywhere else refuses the session.
std::string Line(const std::string& text)
{
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(text.data(), text.size())));
    return text + " #" + hash + '\n';
}

void SyncFolder(int folder)
{
    if (folder >= 0)
        (void)::fsync(folder);
}

bool WriteAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// A regular file of this user's in folder, not a link, at most limit bytes, read whole.
bool ReadSmallFile(int folder, const char* name, uint64_t limit, std::string& bytes, std::string& reason)
{
    UniqueFd file(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!file.IsValid() || ::fstat(file.Get(), &info) != 0) {
        reason = std::string(name) + ": " + (errno == ELOOP ? "a link" : std::strerror(errno));
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        reason = std::string(name) + ": not a regular file of this user's";
        return false;
    }
    if (uint64_t(info.st_size) > limit) {
        reason = std::string(name) + ": too large";
        return false;
    }
    // One byte more than the size said: a file still growing is read no further than the limit.
    bytes.assign(size_t(info.st_size) + 1, '\0');
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
    if (got > limit) {
        reason = std::string(name) + ": too large";
        return false;
    }
    return true;
}

std::string BootId()
{
    std::string id;
    UniqueFd file(::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
    char text[64] = {};
    if (file.IsValid()) {
        const ssize_t n = ::read(file.Get(), text, sizeof text - 1);
        for (ssize_t i = 0; i < n; ++i)
            if (std::isxdigit(static_cast<unsigned char>(text[i])))
                id += text[i];
    }
    return id.empty() ? "unknown" : id;
}

// An open-file-description lock: the lock of this descriptor alone, released with it, whatever the
// process does with other descriptors of the file, and kept as such by NFS.
bool TakeLock(int fd)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

void RemoveFolder(int parent, const std::string& name, int folder)
{
    if (DIR* dir = ::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        ::closedir(dir);
        // The journal first: a folder without one is nothing to recover, whatever else is left.
        ::unlinkat(folder, kJournal, 0);
        SyncFolder(folder);
        for (const std::string& entry : names)
            ::unlinkat(folder, entry.c_str(), 0);
    }
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
    SyncFolder(parent);
}

// The whole session folder at path, then its descriptors, the lock last.
void RemoveSessionFolder(const std::filesystem::path& path, UniqueFd& folder, UniqueFd& lock)
{
    UniqueFd parent(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    RemoveFolder(parent.Get(), path.filename().string(), folder.Get());
    folder.Reset();
    lock.Reset();
}

std::string Words(std::initializer_list<std::string> words)
{
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty())
            line += ' ';
        line += word;
    }
    return line;
}

std::string N(int64_t value) { return std::to_string(value); }

std::string MarksWords(const EditMarks& marks)
{
    return Words({N(marks.selectionStart), N(marks.selectionEnd), N(marks.position)});
}

// Tags as length-prefixed fields, in a file of their own: a picture among them may be megabytes.
std::string EncodeTags(const FileTags& tags)
{
    std::string out;
    auto put = [&](const std::string& field) { out += N(int64_t(field.size())) + ':' + field; };
    for (const std::string* field : {&tags.title, &tags.comment, &tags.artist, &tags.album, &tags.genre,
                                     &tags.lyrics, &tags.albumArtist, &tags.subtitle, &tags.id3v1})
        put(*field);
    put(N(tags.year) + ' ' + N(tags.trackNumber) + ' ' + N(tags.rating) + ' ' + N(tags.readResult) + ' ' +
        N(tags.id3v2Version));
    for (const std::vector<std::string>* list : {&tags.carriedFrames, &tags.carriedComments, &tags.pictures}) {
        put(N(int64_t(list->size())));
        for (const std::string& item : *list)
            put(item);
    }
    return out;
}

bool DecodeTags(const std::string& bytes, FileTags& tags)
{
    size_t at = 0;
    auto get = [&](std::string& field) {
        const size_t colon = bytes.find(':', at);
        if (colon == std::string::npos || colon == at || colon - at > 12)
            return false;
        char* end = nullptr;
        const unsigned long long size = std::strtoull(bytes.c_str() + at, &end, 10);
        if (end != bytes.c_str() + colon || size > bytes.size() - colon - 1)
            return false;
        field = bytes.substr(colon + 1, size_t(size));
        at = colon + 1 + size_t(size);
        return true;
    };
    for (std::string* field : {&tags.title, &tags.comment, &tags.artist, &tags.album, &tags.genre, &tags.lyrics,
                               &tags.albumArtist, &tags.subtitle, &tags.id3v1})
        if (!get(*field))
            return false;
    std::string numbers, count;
    unsigned year = 0, track = 0, rating = 0, version = 0;
    int read = 0;
    if (!get(numbers) || std::sscanf(numbers.c_str(), "%u %u %u %d %u", &year, &track, &rating, &read, &version) != 5 ||
        !get(count) || rating > 99 || version > 4)
        return false;
    tags.year = year, tags.trackNumber = track, tags.rating = rating, tags.readResult = read;
    tags.id3v2Version = uint8_t(version);
    // The Vorbis comments and pictures follow the frames; a journal written before they were kept
    // ends after the frames.
    for (std::vector<std::string>* list : {&tags.carriedFrames, &tags.carriedComments, &tags.pictures}) {
        if (list != &tags.carriedFrames && (at == bytes.size() || !get(count)))
            return at == bytes.size();
        const unsigned long long items = std::strtoull(count.c_str(), nullptr, 10);
        if (items > bytes.size())
            return false;
        list->resize(size_t(items));
        for (std::string& item : *list)
            if (!get(item))
                return false;
    }
    return at == bytes.size();
}

}  // namespace

std::filesystem::path StateFolder()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::filesystem::path(state) / "brindle";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::filesystem::path(home) / ".local" / "state" / "brindle";
    return {};
}

// ---------------------------------------------------------------------------------------------------
// Writing

Session::~Session()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (flusher_.joinable())
        flusher_.join();
    if (stores_ && CurrentStoreFolder() == stores_)
        SetStoreFolder(nullptr);
}

std::unique_ptr<Session> Session::Create(const std::filesystem::path& stateFolder, std::string& reason)
{
    if (stateFolder.empty()) {
        reason = "no state folder (neither XDG_STATE_HOME nor HOME is set)";
        return nullptr;
    }
    std::error_code error;
    std::filesystem::create_directories(stateFolder, error);
    UniqueFd parent(::open(stateFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.IsValid()) {
        reason = stateFolder.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    (void)::fchmod(parent.Get(), 0700);
    // Made under a name no claim looks at, and named a session only once its lock is held: another
    // editor starting meanwhile never takes the new folder for a dead one's.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string suffix = RandomNameSuffix();
        const std::string fresh = ".new-" + suffix, name = kPrefix + suffix;
        if (::mkdirat(parent.Get(), fresh.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            reason = stateFolder.string() + ": " + std::strerror(errno);
            return nullptr;
        }
        UniqueFd folder(::openat(parent.Get(), fresh.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        UniqueFd lock(folder.IsValid() ? ::openat(folder.Get(), kLock, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                                       : -1);
        if (!lock.IsValid() || !TakeLock(lock.Get()) ||
            ::renameat(parent.Get(), fresh.c_str(), parent.Get(), name.c_str()) != 0) {
            reason = stateFolder.string() + ": " + std::strerror(errno);
            if (folder.IsValid())
                RemoveFolder(parent.Get(), fresh, folder.Get());
            return nullptr;
        }
        std::unique_ptr<Session> session(new Session);
        if (!session->Open(std::move(folder), std::move(lock), stateFolder / name)) {
            reason = session->failure_;
            RemoveFolder(parent.Get(), name, session->folder_.Get());
            return nullptr;
        }
        SyncFolder(parent.Get());
        return session;
    }
    reason = "no free session name";
    return nullptr;
}

int Session::Open(UniqueFd folder, UniqueFd lock, std::filesystem::path path, std::shared_ptr<StoreFolder> stores)
{
    folder_ = std::move(folder);
    lock_ = std::move(lock);
    path_ = std::move(path);
    boot_ = BootId();
    ClearLastFailure();
    stores_ = stores ? std::move(stores) : StoreFolder::Open(path_);
    if (!stores_) {
        failure_ = LastFailure().text;
        return 0;
    }
    SetStoreFolder(stores_);
    try {
        flusher_ = std::thread([this] { Flusher(); });
    } catch (const std::system_error&) {
        // Without the thread the stores reach the disk in the kernel's own time; a power cut may
        // then bring the session back to an older state, but nothing else changes.
    }
    return 1;
}

void Session::Fail(const std::string& reason)
{
    // Put aside, so that the next start never offers a state the history has left; a full rewrite
    // brings it back.
    if (::renameat(folder_.Get(), kJournal, folder_.Get(), kStale) != 0 && errno != ENOENT)
        ::unlinkat(folder_.Get(), kJournal, 0);
    journal_.Reset();
    // Said once, when the session goes stale; again only once it has healed and failed anew.
    if (!stale_) {
        failure_ = reason;
        failureShown_ = false;
    }
    stale_ = true;
}

bool Session::TakeFailure(std::string& reason)
{
    std::lock_guard lock(mutex_);
    if (failureShown_)
        return false;
    failureShown_ = true;
    reason = failure_;
    return true;
}

int Session::Append(const std::string& lines, bool sync)
{
    std::lock_guard lock(mutex_);
    if (stale_ || !journal_.IsValid())
        return 0;
    if (!WriteAll(journal_.Get(), lines) || (sync && ::fdatasync(journal_.Get()) != 0)) {
        Fail(std::strerror(errno ? errno : EIO));
        return 0;
    }
    written_ += lines.size();
    return 1;
}

std::string Session::StoreNumber(const SampleStore& store, std::string& definitions)
{
    const StoreDescription d = store.Describe();
    const auto key = std::make_tuple(int(d.kind), d.file, d.channel);
    if (auto found = numbers_.find(key); found != numbers_.end())
        return N(int64_t(found->second));
    const uint64_t number = nextNumber_++;
    numbers_[key] = number;
    if (d.kind == StoreFileKind::Floats)
        definitions += Line(Words({"store", N(int64_t(number)), "f", N(int64_t(d.file)), N(store.Length())}));
    else
        definitions += Line(Words({"store", N(int64_t(number)), "p", N(int64_t(d.file)), N(store.Length()),
                                   N(d.dataOffset), N(d.blockAlign), N(d.width), N(d.channel)}));
    if (d.file != 0) {
        std::lock_guard lock(mutex_);
        toFlush_.push_back(d);
    }
    return N(int64_t(number));
}

std::string Session::StateRecord(size_t absolute, const SoundBuffer& state, const SoundBuffer* base,
                                 std::string& definitions)
{
    const WaveFormat& f = state.format;
    std::string text = Words({"state", N(int64_t(absolute)), base ? "d" : "w", N(f.formatTag), N(f.channelCount),
                              N(f.samplesPerSecond), N(f.avgBytesPerSecond), N(f.blockAlign), N(f.bitsPerSample),
                              Hex(std::string(f.extraBytes.begin(), f.extraBytes.end())), N(state.frameCount),
                              N(state.dataByteCount), N(state.channels.SampleRate()),
                              N(state.channels.ChannelCount())});
    // The pieces as plain values: comparing them needs no reference counts.
    struct Ref {
        const SampleStore* store;
        uint32_t start, length;
        const GainRef* gain;
    };
    auto refs = [](const ChannelStore& channel) {
        std::vector<Ref> list;
        list.reserve(channel.PieceCount());
        channel.ForEachPiece([&](const Piece& piece, uint32_t) {
            list.push_back({piece.store.get(), piece.start, piece.length, &piece.gain});
        });
        return list;
    };
    for (uint16_t c = 0; c < state.channels.ChannelCount(); ++c) {
        const std::vector<Ref> after = refs(state.channels.Channel(c));
        // Against the base's channel of the same number, or its only one (a mono sound made stereo).
        const uint16_t from = base ? uint16_t(std::min<int>(c, base->channels.ChannelCount() - 1)) : 0;
        const std::vector<Ref> before = base ? refs(base->channels.Channel(from)) : std::vector<Ref>();
        auto same = [](const Ref& a, const Ref& b) {
            return a.store == b.store && a.start == b.start && a.length == b.length && SameGain(*a.gain, *b.gain);
        };
        size_t head = 0;
        while (head < before.size() && head < after.size() && same(before[head], after[head]))
            ++head;
        size_t tail = 0;
        while (tail < before.size() - head && tail < after.size() - head &&
               same(before[before.size() - 1 - tail], after[after.size() - 1 - tail]))
            ++tail;
        int64_t start = 0, end = 0;
        for (size_t i = 0; i < head; ++i)
            start += before[i].length;
        end = start;
        for (size_t i = head; i < before.size() - tail; ++i)
            end += before[i].length;
        text += ' ' + Words({N(from), N(start), N(end), N(int64_t(after.size() - tail - head))});
        for (size_t i = head; i < after.size() - tail; ++i) {
            // A piece's gain goes with its store's number: "<store>~<stage>~...".
            std::string store = StoreNumber(*after[i].store, definitions);
            if (*after[i].gain)
                store += '~' + GainWord(**after[i].gain);
            text += ' ' + Words({store, N(after[i].start), N(after[i].length)});
        }
    }
    return text;
}

int Session::Snapshot(const EditHistory& history, const SoundBuffer& current, const SessionNames& names,
                      const FileTags& tags)
{
    if (!folder_.IsValid())
        return 0;
    numbers_.clear();
    base_ = 0;
    const uint64_t generation = ++generation_;
    const std::string tagName = kTags + std::to_string(generation);
    std::string text = Line(kHeader) + Line(Words({"boot", boot_, N(int64_t(generation))}));
    text += Line(Words({"names", N(names.kind), Hex(names.source.string()), Hex(names.target.string())}));
    std::string definitions, records;
    const SoundBuffer* previous = nullptr;
    if (history.StepCount() == 0) {
        records += Line(StateRecord(0, current, nullptr, definitions));
    } else {
        previous = history.StepAt(0).before.get();
        records += Line(StateRecord(0, *previous, nullptr, definitions));
        for (size_t i = 0; i < history.StepCount(); ++i) {
            const EditHistory::Step& step = history.StepAt(i);
            records += Line(StateRecord(i + 1, *step.after, previous, definitions));
            const EditRequest& r = step.request;
            records += Line(Words({"step", N(int64_t(i)), N(int(r.kind)), N(r.start), N(r.end), N(r.percent), N(r.frames)}));
            records += Line(Words({"marks", N(int64_t(i)), MarksWords(step.marksBefore), MarksWords(step.marksAfter)}));
            previous = step.after.get();
        }
    }
    text += definitions + records;
    text += Line(Words({"at", N(int64_t(history.Position()))}));
    for (size_t p = 0; p <= history.StepCount(); ++p)
        if (history.SavedAt(p))
            text += Line(Words({"saved", N(int64_t(p))}));

    std::lock_guard lock(mutex_);
    journal_.Reset();
    // The tags first, under a name of their own: the journal that names them is renamed into place
    // last, and until then the old one still finds its own.
    UniqueFd tagFile(::openat(folder_.Get(), tagName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    UniqueFd fresh(::openat(folder_.Get(), kFresh, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!tagFile.IsValid() || !WriteAll(tagFile.Get(), EncodeTags(tags)) || ::fdatasync(tagFile.Get()) != 0 ||
        !fresh.IsValid() || !WriteAll(fresh.Get(), text) || ::fdatasync(fresh.Get()) != 0 ||
        ::renameat(folder_.Get(), kFresh, folder_.Get(), kJournal) != 0) {
        const int error = errno ? errno : EIO;
        ::unlinkat(folder_.Get(), kFresh, 0);
        ::unlinkat(folder_.Get(), tagName.c_str(), 0);
        Fail(std::strerror(error));
        return 0;
    }
    SyncFolder(folder_.Get());
    ::unlinkat(folder_.Get(), kStale, 0);
    if (generation > 1)
        ::unlinkat(folder_.Get(), (kTags + std::to_string(generation - 1)).c_str(), 0);
    journal_ = std::move(fresh);
    written_ = text.size();
    compactAt_ = std::max<uint64_t>(kMaxJournalBytes / 4, 2 * text.size());
    stale_ = false;
    wake_.notify_all();
    return 1;
}

int Session::Step(size_t position, const EditRequest& request, const SoundBuffer& before, const SoundBuffer& after)
{
    if (stale_)
        return 0;
    std::string definitions;
    const std::string state = Line(StateRecord(base_ + position + 1, after, &before, definitions));
    const std::string step = Line(Words({"step", N(int64_t(base_ + position)), N(int(request.kind)), N(request.start),
                                         N(request.end), N(request.percent), N(request.frames)}));
    const int result = Append(definitions + state + step, true);
    wake_.notify_all();
    return result;
}

void Session::Marks(size_t step, const EditMarks& before, const EditMarks& after)
{
    Append(Line(Words({"marks", N(int64_t(base_ + step)), MarksWords(before), MarksWords(after)})), false);
}

int Session::Move(size_t position, bool truncate)
{
    return Append(Line(Words({truncate ? "top" : "at", N(int64_t(base_ + position))})), true);
}

int Session::Saved(std::optional<size_t> position, const SessionNames& names)
{
    return Append(Line(Words({"names", N(names.kind), Hex(names.source.string()), Hex(names.target.string())})) +
                      Line(Words({"saved", position ? N(int64_t(base_ + *position)) : "-1"})),
                  true);
}

int Session::Dropped(size_t count)
{
    base_ += count;
    return Append(Line(Words({"drop", N(int64_t(base_))})), true);
}

int Session::Clear(bool durable)
{
    std::lock_guard lock(mutex_);
    journal_.Reset();
    toFlush_.clear();
    numbers_.clear();
    stale_ = false;
    if (::unlinkat(folder_.Get(), kJournal, 0) != 0 && errno != ENOENT)
        return 0;
    if (durable)
        SyncFolder(folder_.Get());
    return 1;
}

void Session::Remove()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        toFlush_.clear();
        journal_.Reset();
    }
    wake_.notify_all();
    if (flusher_.joinable())
        flusher_.join();
    if (CurrentStoreFolder() == stores_)
        SetStoreFolder(nullptr);
    if (!folder_.IsValid())
        return;
    RemoveSessionFolder(path_, folder_, lock_);
}

void Session::Flusher()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (!toFlush_.empty() && journal_.IsValid()); });
        if (stopping_)
            return;
        std::vector<StoreDescription> files(toFlush_.begin(), toFlush_.end());
        toFlush_.clear();
        lock.unlock();
        std::string lines;
        for (const StoreDescription& d : files)
            if (stores_->Flush(d.file, d.kind))
                lines += Line(Words({"flushed", d.kind == StoreFileKind::Floats ? "f" : "p", N(int64_t(d.file))}));
        // The names of the files too, or a power cut could keep the data of a file it forgets.
        SyncFolder(folder_.Get());
        lock.lock();
        if (lines.empty() || !journal_.IsValid() || stale_)
            continue;
        if (!WriteAll(journal_.Get(), lines)) {
            Fail(std::strerror(errno ? errno : EIO));
            continue;
        }
        written_ += lines.size();
        // Synced without the lock, through a descriptor of its own: the window's thread may want the
        // lock meanwhile (a mark, a reset) and must not wait for the disk.
        UniqueFd journal(::fcntl(journal_.Get(), F_DUPFD_CLOEXEC, 0));
        lock.unlock();
        const bool synced = journal.IsValid() && ::fdatasync(journal.Get()) == 0;
        const int error = errno;
        lock.lock();
        if (!synced && !stale_)
            Fail(std::strerror(error ? error : EIO));
    }
}

// ---------------------------------------------------------------------------------------------------
// Reading back

namespace {

bool Number(const std::string& word, int64_t& value, int64_t low, int64_t high)
{
    if (word.empty() || word.size() > 20)
        return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(word.c_str(), &end, 10);
    if (errno != 0 || end != word.c_str() + word.size() || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

struct StoreEntry {
    StoreDescription description;
    uint32_t length = 0;
    std::shared_ptr<const SampleStore> store;  // none: refused
    std::string refused;
};

struct Reader {
    std::shared_ptr<StoreFolder> folder;
    bool sameBoot = false;
    std::map<std::pair<int, uint64_t>, bool> flushed;
    std::map<uint64_t, std::shared_ptr<const UniqueFd>> pcmFiles;
    std::map<uint64_t, StoreEntry> stores;
    // Equal gains read back as one chain, so that the pieces that share one now share it again.
    std::map<std::string, GainRef> gains;
    uint64_t highestFile = 0;

    // The store's samples, opened once the journal is read (when the flushed marks are known).
    bool Open(StoreEntry& entry)
    {
        if (entry.store || !entry.refused.empty())
            return entry.store != nullptr;
        const StoreDescription& d = entry.description;
        if (!sameBoot && !flushed[{int(d.kind), d.file}]) {
            entry.refused = StoreFolder::FileName(d.file, d.kind) + ": its samples may not have reached the disk";
            return false;
        }
        const uint64_t bytes = d.kind == StoreFileKind::Floats
                                   ? uint64_t(entry.length) * sizeof(float)
                                   : uint64_t(d.dataOffset) + uint64_t(entry.length) * d.blockAlign;
        if (!folder->Check(d.file, d.kind, bytes, entry.refused))
            return false;
        if (d.kind == StoreFileKind::Floats) {
            auto store = std::make_shared<FloatStore>();
            store->Reopen(folder, d.file, entry.length);
            entry.store = std::move(store);
        } else {
            std::shared_ptr<const UniqueFd>& file = pcmFiles[d.file];
            if (!file)
                file = ReopenPcmCopy(folder, d.file);
            if (!file) {
                entry.refused = StoreFolder::FileName(d.file, d.kind) + ": cannot be opened";
                return false;
            }
            auto store = std::make_shared<PcmStore>(file, d.dataOffset, entry.length, d.blockAlign, d.width, d.channel);
            // Whether the copy was a clone is not kept: counted as holding no disk of its own, it is
            // never dropped for room it might not give back.
            store->Redirect(file, false, d.file);
            entry.store = std::move(store);
        }
        return true;
    }
};

// A state as read: its format, and each channel as a range of its base's replaced by pieces.
struct StateLine {
    SoundBuffer buffer;  // format and counts only
    uint16_t channels = 0;
    uint32_t rate = 0;
    bool diff = false;
    struct Channel {
        int from = 0;
        int64_t start = 0, end = 0;
        std::vector<std::tuple<uint64_t, uint32_t, uint32_t, std::string>> pieces;
    } channel[2];
};

bool ParseState(const std::vector<std::string>& w, StateLine& s, std::string& reason)
{
    // state a d|w tag channels rate avg align bits extra frames dataBytes rate channels ...
    int64_t v[13] = {};
    if (w.size() < 15 || (w[2] != "d" && w[2] != "w")) {
        reason = "a damaged state";
        return false;
    }
    s.diff = w[2] == "d";
    const int64_t limits[] = {0xffff, 2, 1000000, INT32_MAX, 0xffff, 64};
    for (int i = 0; i < 6; ++i)
        if (!Number(w[3 + i], v[i], 0, limits[i])) {
            reason = "a damaged format";
            return false;
        }
    std::string extra;
    int64_t frames = 0, dataBytes = 0, rate = 0, channels = 0;
    if (!Unhex(w[9], extra) || extra.size() > 1024 || !Number(w[10], frames, 1, kMaxStoredSamples) ||
        !Number(w[11], dataBytes, 0, UINT32_MAX) || !Number(w[12], rate, 1, 1000000) || !Number(w[13], channels, 1, 2)) {
        reason = "a damaged state";
        return false;
    }
    WaveFormat& f = s.buffer.format;
    f.formatTag = uint16_t(v[0]), f.channelCount = uint16_t(v[1]), f.samplesPerSecond = uint32_t(v[2]);
    f.avgBytesPerSecond = uint32_t(v[3]), f.blockAlign = uint16_t(v[4]), f.bitsPerSample = uint16_t(v[5]);
    f.extraSize = uint16_t(extra.size());
    f.extraBytes.assign(extra.begin(), extra.end());
    s.buffer.frameCount = uint32_t(frames);
    s.buffer.dataByteCount = uint32_t(dataBytes);
    s.rate = uint32_t(rate);
    s.channels = uint16_t(channels);
    size_t at = 14;
    for (int c = 0; c < channels; ++c) {
        StateLine::Channel& ch = s.channel[c];
        int64_t from = 0, start = 0, end = 0, count = 0;
        if (at + 4 > w.size() || !Number(w[at], from, 0, 1) || !Number(w[at + 1], start, 0, kMaxStoredSamples) ||
            !Number(w[at + 2], end, start, kMaxStoredSamples) || !Number(w[at + 3], count, 0, int64_t(kMaxPieces)) ||
            uint64_t(count) * 3 > w.size() - at - 4) {
            reason = "a damaged channel";
            return false;
        }
        ch.from = int(from), ch.start = start, ch.end = end;
        at += 4;
        for (int64_t i = 0; i < count; ++i, at += 3) {
            int64_t number = 0, pieceStart = 0, length = 0;
            const size_t mark = w[at].find('~');
            const std::string gain = mark == std::string::npos ? std::string() : w[at].substr(mark + 1);
            GainChain parsed;
            if (!Number(w[at].substr(0, mark), number, 1, INT64_MAX) ||
                !Number(w[at + 1], pieceStart, 0, kMaxStoredSamples) || !Number(w[at + 2], length, 1, kMaxStoredSamples) ||
                (mark != std::string::npos && !ParseGain(gain, parsed))) {
                reason = "a damaged piece";
                return false;
            }
            ch.pieces.emplace_back(uint64_t(number), uint32_t(pieceStart), uint32_t(length), gain);
        }
    }
    if (at != w.size()) {
        reason = "a damaged state";
        return false;
    }
    return true;
}

// Builds the state from its base (none for a whole one); 0 when a store is refused or a range does not
// fit, with reason.
int BuildState(Reader& reader, const StateLine& line, const SoundBuffer* base, SoundBuffer& state, std::string& reason)
{
    ChannelStore made[2];
    for (int c = 0; c < line.channels; ++c) {
        const StateLine::Channel& ch = line.channel[c];
        ChannelStore replacement;
        for (const auto& [number, start, length, gainWord] : ch.pieces) {
            auto found = reader.stores.find(number);
            if (found == reader.stores.end()) {
                reason = "a piece of a store never named";
                return 0;
            }
            StoreEntry& entry = found->second;
            if (uint64_t(start) + length > entry.length) {
                reason = "a piece beyond its store";
                return 0;
            }
            if (!reader.Open(entry)) {
                reason = entry.refused;
                return 0;
            }
            GainRef gain;
            if (!gainWord.empty()) {
                GainRef& shared = reader.gains[gainWord];
                if (!shared) {
                    auto chain = std::make_shared<GainChain>();
                    ParseGain(gainWord, *chain);  // checked when the line was read
                    shared = std::move(chain);
                }
                gain = shared;
            }
            ChannelStore piece;
            piece.Assign(Piece{entry.store, start, length, gain});
            if (!replacement.Splice(replacement.Length(), replacement.Length(), piece)) {
                reason = "a channel too long";
                return 0;
            }
        }
        if (!base) {
            if (ch.start != 0 || ch.end != 0) {
                reason = "a damaged channel";
                return 0;
            }
            made[c].MoveFrom(replacement);
            continue;
        }
        if (ch.from >= base->channels.ChannelCount() || ch.end > base->channels.Channel(ch.from).Length()) {
            reason = "a range beyond its state";
            return 0;
        }
        made[c].CopyFrom(base->channels.Channel(ch.from));
        if (!made[c].Splice(ch.start, ch.end, replacement)) {
            reason = "a range beyond its state";
            return 0;
        }
    }
    for (int c = 0; c < line.channels; ++c)
        if (made[c].Length() != int32_t(line.buffer.frameCount)) {
            reason = "a channel of the wrong length";
            return 0;
        }
    state.format = line.buffer.format;
    state.frameCount = line.buffer.frameCount;
    state.dataByteCount = line.buffer.dataByteCount;
    if (!state.channels.Adopt(line.channels, line.rate, made)) {
        reason = "channels that do not form a sound";
        return 0;
    }
    state.channels.Seal();
    return 1;
}

}  // namespace

int OrphanSession::Read(RecoveredHistory& history, std::string& reason)
{
    history = RecoveredHistory{};
    std::string bytes;
    struct stat info {};
    // No journal: the session had no sound, or was put aside as stale. Nothing to offer.
    if (::fstatat(folder_.Get(), kJournal, &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
        return 1;
    if (!ReadSmallFile(folder_.Get(), kJournal, kMaxJournalBytes, bytes, reason))
        return 0;
    Reader reader;
    reader.folder = stores_;
    // The lines first, each checked; a torn last line is the write a crash cut short.
    std::vector<std::vector<std::string>> lines;
    for (size_t at = 0; at < bytes.size();) {
        const size_t end = bytes.find('\n', at);
        if (end == std::string::npos)
            break;
        const std::string line = bytes.substr(at, end - at);
        at = end + 1;
        const size_t mark = line.rfind(" #");
        char hash[20];
        if (mark != std::string::npos)
            std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(line.data(), mark)));
        if (mark == std::string::npos || line.compare(mark + 2, std::string::npos, hash) != 0) {
            if (at < bytes.size()) {
                reason = "the journal is damaged";
                return 0;
            }
            break;
        }
        std::vector<std::string> words;
        for (size_t i = 0; i < mark;) {
            const size_t space = std::min(line.find(' ', i), mark);
            words.push_back(line.substr(i, space - i));
            i = space + 1;
        }
        lines.push_back(std::move(words));
    }
    if (lines.empty() || lines[0].size() != 2 || lines[0][0] + ' ' + lines[0][1] != kHeader) {
        reason = "not a session journal";
        return 0;
    }
    // A step's states by absolute index: those from `base` on are kept.
    std::map<int64_t, SoundState> states;
    std::map<int64_t, std::string> refusedStates;
    std::map<int64_t, EditHistory::Step> steps;  // by the index of the state it starts from
    int64_t base = 0, at = 0, saved = -1;
    std::string boot, tagName;
    auto fail = [&](const std::string& why) {
        reason = why;
        return 0;
    };
    // First the stores and the flushed marks, which decide which stores are trusted.
    for (const auto& w : lines) {
        if (w[0] == "boot" && w.size() == 3) {
            boot = w[1];
            int64_t generation = 0;
            if (!Number(w[2], generation, 1, INT64_MAX / 2))
                return fail("a damaged generation");
            tagName = kTags + w[2];
            generation_ = uint64_t(generation);
        }
        else if (w[0] == "flushed" && w.size() == 3) {
            int64_t file = 0;
            if (!Number(w[2], file, 1, INT64_MAX))
                return fail("a damaged flushed mark");
            reader.flushed[{w[1] == "f" ? int(StoreFileKind::Floats) : int(StoreFileKind::Pcm), uint64_t(file)}] = true;
        } else if (w[0] == "store") {
            int64_t number = 0, file = 0, length = 0;
            if (w.size() < 5 || !Number(w[1], number, 1, INT64_MAX) || !Number(w[3], file, 1, INT64_MAX) ||
                !Number(w[4], length, 1, kMaxStoredSamples))
                return fail("a damaged store");
            StoreEntry entry;
            entry.length = uint32_t(length);
            entry.description.file = uint64_t(file);
            reader.highestFile = std::max(reader.highestFile, uint64_t(file));
            if (w[2] == "f" && w.size() == 5) {
                entry.description.kind = StoreFileKind::Floats;
            } else if (w[2] == "p" && w.size() == 9) {
                int64_t offset = 0, align = 0, width = 0, channel = 0;
                if (!Number(w[5], offset, 0, INT64_MAX / 2) || !Number(w[6], align, 1, 8) || !Number(w[7], width, 1, 2) ||
                    !Number(w[8], channel, 0, align / width - 1))
                    return fail("a damaged store");
                entry.description = {StoreFileKind::Pcm, uint64_t(file), offset, uint16_t(align), uint16_t(width),
                                     uint16_t(channel)};
            } else {
                return fail("a damaged store");
            }
            reader.stores[uint64_t(number)] = std::move(entry);
        }
    }
    reader.sameBoot = boot == BootId() && boot != "unknown";
    for (const auto& w : lines) {
        const std::string& kind = w[0];
        if (kind == "names") {
            int64_t side = 0;
            std::string source, target;
            if (w.size() != 4 || !Number(w[1], side, 0, 1) || !Unhex(w[2], source) || !Unhex(w[3], target) ||
                source.find('\0') != std::string::npos || target.find('\0') != std::string::npos)
                return fail("damaged names");
            history.names = {source, target, uint8_t(side)};
        } else if (kind == "state") {
            int64_t index = 0;
            StateLine line;
            if (w.size() < 2 || !Number(w[1], index, 0, INT64_MAX / 2) || !ParseState(w, line, reason))
                return reason.empty() ? fail("a damaged state") : 0;
            const SoundBuffer* from = nullptr;
            if (line.diff) {
                auto found = states.find(index - 1);
                if (found == states.end()) {
                    refusedStates[index] = refusedStates.count(index - 1) ? refusedStates[index - 1] : "a state without its base";
                    continue;
                }
                from = found->second.get();
            } else {
                states.clear();
                steps.clear();
                refusedStates.clear();
                base = at = index;
                saved = -1;
            }
            // A new state at index replaces whatever followed the one before it, and the step into it.
            states.erase(states.lower_bound(index), states.end());
            steps.erase(steps.lower_bound(index - 1), steps.end());
            refusedStates.erase(refusedStates.lower_bound(index), refusedStates.end());
            auto state = std::make_shared<SoundBuffer>();
            std::string why;
            if (!BuildState(reader, line, from, *state, why)) {
                refusedStates[index] = why;
                continue;
            }
            states[index] = std::move(state);
            if (states.size() > kMaxStates)
                return fail("too many states");
        } else if (kind == "step" || kind == "marks") {
            int64_t index = 0;
            if (w.size() < 2 || !Number(w[1], index, 0, INT64_MAX / 2))
                return fail("a damaged step");
            EditHistory::Step& step = steps[index];
            if (kind == "step") {
                // The silence's length came later: a step of six words has none.
                int64_t k = 0, start = 0, end = 0, percent = 0, frames = 0;
                if ((w.size() != 6 && w.size() != 7) || !Number(w[2], k, 0, int(EditKind::Cut)) ||
                    !Number(w[3], start, -1, INT64_MAX / 2) || !Number(w[4], end, -1, INT64_MAX / 2) ||
                    !Number(w[5], percent, 0, INT32_MAX) || (w.size() == 7 && !Number(w[6], frames, 0, UINT32_MAX)))
                    return fail("a damaged step");
                step.request = {EditKind(k), start, end, int32_t(percent)};
                step.request.frames = uint32_t(frames);
                at = index + 1;
            } else {
                int64_t m[6] = {};
                if (w.size() != 8)
                    return fail("damaged marks");
                for (int i = 0; i < 6; ++i)
                    if (!Number(w[2 + i], m[i], i % 3 == 2 ? 0 : -1, INT64_MAX / 2))
                        return fail("damaged marks");
                step.marksBefore = {m[0], m[1], m[2]};
                step.marksAfter = {m[3], m[4], m[5]};
            }
        } else if (kind == "at" || kind == "top" || kind == "saved" || kind == "drop") {
            int64_t value = 0;
            if (w.size() != 2 || !Number(w[1], value, kind == "saved" ? -1 : 0, INT64_MAX / 2))
                return fail("a damaged position");
            if (kind == "saved") {
                saved = value;
            } else if (kind == "drop") {
                base = std::max(base, value);
            } else {
                at = value;
                if (kind == "top") {
                    states.erase(states.upper_bound(value), states.end());
                    steps.erase(steps.lower_bound(value), steps.end());
                    refusedStates.erase(refusedStates.upper_bound(value), refusedStates.end());
                }
            }
        } else if (kind != "boot" && kind != "flushed" && kind != "store" && lines.front() != w) {
            return fail("an unknown record");
        }
    }
    // The chain of states from base: the newest whole one no later than `at` is offered, with the
    // whole ones around it.
    int64_t offered = at;
    while (offered >= base && !states.count(offered))
        --offered;
    if (offered < base) {
        reason = refusedStates.count(at) ? refusedStates[at] : "no state of the sound is whole";
        return 0;
    }
    if (offered != at)
        history.refused = refusedStates.count(at) ? refusedStates[at] : "a newer state is not whole";
    int64_t first = offered, last = offered;
    while (first - 1 >= base && states.count(first - 1) && steps.count(first - 1))
        --first;
    while (states.count(last + 1) && steps.count(last))
        ++last;
    history.tags.Clear();
    std::string tagBytes, why;
    if (!tagName.empty() && ReadSmallFile(folder_.Get(), tagName.c_str(), kMaxTagBytes, tagBytes, why) &&
        !DecodeTags(tagBytes, history.tags))
        return fail("damaged tags");
    for (int64_t i = first; i <= last; ++i)
        history.states.push_back(states[i]);
    for (int64_t i = first; i < last; ++i) {
        EditHistory::Step step = steps[i];
        step.before = states[i];
        step.after = states[i + 1];
        history.steps.push_back(std::move(step));
    }
    history.position = size_t(offered - first);
    if (saved >= first && saved <= last)
        history.saved = size_t(saved - first);
    highestFile_ = reader.highestFile;
    referenced_.clear();
    for (const auto& [number, entry] : reader.stores)
        referenced_.insert(StoreFolder::FileName(entry.description.file, entry.description.kind));
    return 1;
}

std::unique_ptr<Session> OrphanSession::Adopt(std::string& reason)
{
    // What no record names (an edit's store the crash caught half-written) is only in the way: new
    // stores are numbered above every file there is.
    uint64_t highest = highestFile_;
    // A descriptor of its own: a dup would share (and leave at the end) the folder's read position.
    if (DIR* dir = ::fdopendir(::openat(folder_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
        std::vector<std::string> strays;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const size_t dot = name.find('.');
            // Tags that no journal names: a rewrite killed before it could delete its predecessor's.
            if (name.rfind(kTags, 0) == 0 && name != kTags + std::to_string(generation_)) {
                strays.push_back(name);
                continue;
            }
            if (dot == std::string::npos || dot == 0 || (name.substr(dot) != ".f32" && name.substr(dot) != ".pcm"))
                continue;
            highest = std::max<uint64_t>(highest, std::strtoull(name.c_str(), nullptr, 10));
            if (!referenced_.count(name))
                strays.push_back(name);
        }
        ::closedir(dir);
        for (const std::string& name : strays)
            ::unlinkat(folder_.Get(), name.c_str(), 0);
    }
    stores_->UseIdsAbove(highest);
    std::unique_ptr<Session> session(new Session);
    if (!session->Open(std::move(folder_), std::move(lock_), path_, stores_)) {
        reason = session->failure_;
        return nullptr;
    }
    session->generation_ = generation_;
    return session;
}

void OrphanSession::Delete()
{
    if (!folder_.IsValid())
        return;
    RemoveSessionFolder(path_, folder_, lock_);
}

std::vector<OrphanSession> ClaimOrphanSessions(const std::filesystem::path& stateFolder)
{
    std::vector<OrphanSession> found;
    if (stateFolder.empty())
        return found;
    UniqueFd parent(::open(stateFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.IsValid())
        return found;
    std::vector<std::string> names;
    if (DIR* dir = ::fdopendir(::dup(parent.Get()))) {
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strncmp(entry->d_name, kPrefix, std::strlen(kPrefix)) == 0)
                names.push_back(entry->d_name);
            if (names.size() > 10000)
                break;
        }
        ::closedir(dir);
    }
    std::vector<std::pair<int64_t, OrphanSession>> claimed;
    for (const std::string& name : names) {
        UniqueFd folder(::openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (!folder.IsValid() || ::fstat(folder.Get(), &info) != 0 || info.st_uid != ::geteuid())
            continue;  // a link, or not ours: never touched
        UniqueFd lock(::openat(folder.Get(), kLock, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        struct stat lockInfo {};
        if (!lock.IsValid() || ::fstat(lock.Get(), &lockInfo) != 0 || !S_ISREG(lockInfo.st_mode) ||
            lockInfo.st_uid != ::geteuid() || !TakeLock(lock.Get()))
            continue;  // a live editor's, or not a lock we may use
        OrphanSession orphan;
        orphan.path_ = stateFolder / name;
        orphan.stores_ = StoreFolder::Open(orphan.path_);
        if (!orphan.stores_)
            continue;
        orphan.folder_ = std::move(folder);
        orphan.lock_ = std::move(lock);
        // A half-written rewrite is never the journal: the rename made it.
        ::unlinkat(orphan.folder_.Get(), kFresh, 0);
        struct stat journal {};
        const bool hasJournal = ::fstatat(orphan.folder_.Get(), kJournal, &journal, AT_SYMLINK_NOFOLLOW) == 0;
        claimed.emplace_back(hasJournal ? int64_t(journal.st_mtim.tv_sec) : 0, std::move(orphan));
    }
    std::stable_sort(claimed.begin(), claimed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : claimed)
        found.push_back(std::move(entry.second));
    return found;
}

}  // namespace brindle
