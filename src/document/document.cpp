#include "document/document.h"

#include <algorithm>
#include <memory>
#include <cctype>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "edit/edit_kernels.h"
#include "edit/paste.h"
#include "edit/sound_edits.h"
#include "formats/wav_file.h"
#include "formats/xiph_file.h"
#include "storage/replacing_file.h"
#include "storage/source_file.h"
#include "storage/temp_files.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

std::string LowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// Splits a file name at its last "." the way the save proposal does: "a.b.mp3" -> "a.b", "mp3".
void SplitAtLastDot(const std::string& fileName, std::string& stem, std::string& extension)
{
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) {
        stem = fileName;
        extension.clear();
    } else {
        stem = fileName.substr(0, dot);
        extension = fileName.substr(dot + 1);
    }
}


// Refuses what is not a regular file before anything opens it: opening a FIFO with no writer blocks,
// and reading a device never ends. Notes the reason.
bool IsRegularFile(const std::filesystem::path& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        NoteSystemFailure();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        NoteFailure({FailureKind::Format, S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file"});
        return false;
    }
    return true;
}

// The reason noted on this thread, else cancellation, else fallback.
FailureReason ReasonOf(const Progress* progress, const char* fallback)
{
    if (IsCancelled(progress))
        return {FailureKind::Cancelled, "cancelled"};
    if (LastFailure().IsSet())
        return LastFailure();
    return {FailureKind::Format, fallback};
}

}  // namespace

FileType FileKind(const std::filesystem::path& path)
{
    std::string stem, extension;
    SplitAtLastDot(path.filename().string(), stem, extension);
    if (stem.size() == path.filename().string().size())
        return FileType::Unknown;  // no dot at all
    extension = LowerCase(extension);
    if (extension == "mp3")
        return FileType::Mp3;
    if (extension == "wav")
        return FileType::Wav;
    if (extension == "flac")
        return FileType::Flac;
    if (extension == "ogg" || extension == "oga")
        return FileType::Ogg;
    if (extension == "opus")
        return FileType::Opus;
    return FileType::Unknown;
}

bool Document::IsEmpty() const { return ActiveBuffer().IsEmpty(); }

void Document::Reset()
{
    // Closing or discarding: the unsaved changes are given up. The worker of the next save or edit
    // flushes the folder; a reset on the window's thread does not wait for the disk.
    if (session_)
        session_->Clear(false);
    history_.Clear();
    DropPreparedEdit();
    peaks_.Clear();
    mp3_.Reset();
    mp3_.tags.Clear();
    plain_.Clear();
    sourcePath_.clear();
    targetPath_.clear();
    pendingTarget_.clear();
    modified_ = false;
}

int Document::Load(const std::filesystem::path& given, Progress* progress)
{
    ClearLastFailure();
    const int result = LoadFile(given.empty() ? sourcePath_ : given, progress);
    lastFailure_ = result ? FailureReason{} : ReasonOf(progress, "cannot read this file");
    return result;
}

int Document::LoadFile(const std::filesystem::path& path, Progress* progress)
{
    ReleaseOldClips();
    // Opened once, here: everything the load reads, it reads from this descriptor, so a file renamed,
    // replaced or rewritten meanwhile cannot mix into it.
    auto source = std::make_shared<SourceFile>();
    // The look first only for its words ("is a folder"); the open refuses what is not a regular file
    // all the same, whatever the name is by then.
    const bool opened = IsRegularFile(path) && source->Open(path);
    KeepClip();
    // The steps are edits of the sound this load replaces; their stores go with them.
    if (session_)
        session_->Clear();
    history_.Clear();
    DropPreparedEdit();
    peaks_.Clear();
    mp3_.Reset();
    // A sound's tags are the file's it came from: a WAV opened after an MP3 must not save with them.
    mp3_.tags.Clear();
    plain_.Clear();
    modified_ = true;
    int result = 0;
    if (opened) {
        switch (FileKind(path)) {
        case FileType::Wav:
            // The peaks are made while the private copy of the samples is: the two halve the open.
            // A cancel there is the load's; the pass below then has nothing left to do.
            result = LoadWav(plain_, *source, progress, [&] {
                if (preparesPeaks_)
                    peaks_.Build(plain_.channels, progress);
            });
            break;
        case FileType::Mp3: result = mp3_.LoadMp3(source, progress); break;
        case FileType::Flac:
        case FileType::Ogg:
        case FileType::Opus:
            // Tags that cannot be read do not stop the open, as for an MP3.
            result = LoadXiph(plain_, *source, progress);
            if (result)
                mp3_.tags.ReadXiphTags(*source, progress);
            break;
        default: NoteFailure({FailureKind::Format, "not an .mp3, .wav, .flac, .ogg or .opus file"}); break;
        }
        if (result && FileKind(path) != FileType::Mp3)
            plainKind_ = FileKind(path);
    }
    if (!result) {
        mp3_.Reset();
        plain_.Clear();
        modified_ = true;
        return 0;
    }
    // The stores are complete: every later copy of the piece lists only reads them.
    ActiveBuffer().channels.Seal();
    // A failed pass leaves it empty, and the view makes its own. A cancel during it cancels the load:
    // the user pressed Cancel while the window still offered it.
    if (preparesPeaks_ && !peaks_.Build(ActiveBuffer().channels, progress) && IsCancelled(progress)) {
        mp3_.Reset();
        plain_.Clear();
        modified_ = true;
        return 0;
    }
    modified_ = false;
    sourcePath_ = path;
    targetPath_.clear();
    // A session that cannot be written is said by the window; the sound is open all the same.
    if (session_)
        session_->Snapshot(history_, ActiveBuffer(), Names(), mp3_.tags);
    return 1;
}

SessionNames Document::Names() const
{
    std::error_code error;
    const std::filesystem::path source = std::filesystem::absolute(sourcePath_, error).lexically_normal();
    const std::filesystem::path target =
        targetPath_.empty() ? targetPath_ : std::filesystem::absolute(targetPath_, error).lexically_normal();
    const FileType kind = Kind();
    return {source, target, uint8_t(kind == FileType::Mp3 || kind == FileType::Unknown ? 0 : 1)};
}

int Document::Recover(RecoveredHistory&& recovered, Progress* progress)
{
    KeepClip();
    // The session holds the history being taken: nothing of it is cleared until it is recorded anew.
    Session* const session = std::exchange(session_, nullptr);
    Reset();
    session_ = session;
    SoundBuffer& side = recovered.names.kind == 1 ? plain_ : mp3_.buffer;
    side.CopyFrom(*recovered.states[recovered.position]);
    mp3_.tags = std::move(recovered.tags);
    history_.Restore(std::move(recovered.steps), recovered.position, recovered.saved);
    sourcePath_ = recovered.names.source;
    targetPath_ = recovered.names.target;
    // The plain side's format is the one its name last had.
    plainKind_ = FileType::Wav;
    for (const std::filesystem::path* name : {&sourcePath_, &targetPath_}) {
        const FileType kind = FileKind(*name);
        if (kind != FileType::Mp3 && kind != FileType::Unknown)
            plainKind_ = kind;
    }
    // Sound that was never saved anywhere has nothing on disk to be the same as.
    modified_ = !recovered.saved;
    if (preparesPeaks_ && !peaks_.Build(ActiveBuffer().channels, progress) && IsCancelled(progress)) {
        session_ = nullptr;
        Reset();
        session_ = session;
        return 0;
    }
    if (session_)
        session_->Snapshot(history_, ActiveBuffer(), Names(), mp3_.tags);
    return FinishProgress(progress, 1);
}

int Document::SaveInto(const std::filesystem::path& file, FileType kind, Progress* progress)
{
    savedLossless_ = false;
    if (kind != FileType::Mp3) {
        if (mp3_.buffer.HasSound() && !plain_.HasSound())
            plain_.TakeFrom(mp3_.buffer);
        switch (kind) {
        case FileType::Flac: return SaveXiph(plain_, file, XiphFormat::Flac, &mp3_.tags, progress);
        case FileType::Ogg: return SaveXiph(plain_, file, XiphFormat::Vorbis, &mp3_.tags, progress);
        case FileType::Opus: return SaveXiph(plain_, file, XiphFormat::Opus, &mp3_.tags, progress);
        default: return SaveWav(plain_, file, progress);
        }
    }
    if (plain_.HasSound() && !mp3_.buffer.HasSound())
        mp3_.buffer.TakeFrom(plain_);
    const int result = mp3_.SaveMp3(file, progress);
    savedLossless_ = result && mp3_.LastSaveWasLossless();
    return result;
}

int Document::Save(const std::filesystem::path& given, Progress* progress)
{
    ClearLastFailure();
    ReleaseOldClips();
    const int result = SaveFile(given, progress);
    lastFailure_ = result ? FailureReason{} : ReasonOf(progress, "cannot write the file");
    return result;
}

int Document::SaveFile(const std::filesystem::path& given, Progress* progress)
{
    const std::filesystem::path target = given.empty() ? targetPath_ : given;
    const FileType kind = FileKind(target);
    if (target.empty() || kind == FileType::Unknown) {
        NoteFailure({FailureKind::Format, "the name must end in .mp3, .wav, .flac, .ogg or .opus"});
        return 0;
    }
    // Saving over a link writes the file it points to, as the user would expect; the file is written
    // beside that one and takes its place only when complete and on disk.
    const int saved = Guarded([&] {
        ReplacingFile file;
        file.Open(target);
        if (!SaveInto(file.Path(), kind, progress))
            return false;
        if (IsCancelled(progress))
            ThrowCancelled();
        file.Commit();
        return true;
    });
    if (!saved) {
        if (progress)
            progress->Fail();
        return 0;
    }
    modified_ = false;
    history_.MarkSaved();
    targetPath_ = given.empty() ? targetPath_ : given;
    if (kind != FileType::Mp3)
        plainKind_ = kind;
    if (session_) {
        if (session_->NeedsSnapshot())
            session_->Snapshot(history_, ActiveBuffer(), Names(), mp3_.tags);
        else
            session_->Saved(history_.Position(), Names());
    }
    return 1;
}

std::string Document::DisplayName() const
{
    if (sourcePath_.empty())
        return {};
    return (targetPath_.empty() ? sourcePath_ : targetPath_).filename().string();
}

std::filesystem::path Document::ProposeSaveName() const
{
    if (sourcePath_.empty())
        return "Untitled";
    std::string stem, extension;
    SplitAtLastDot(sourcePath_.filename().string(), stem, extension);
    const std::filesystem::path folder = sourcePath_.parent_path();
    for (unsigned n = 1;; ++n) {
        const std::filesystem::path candidate =
            (folder / (stem + " (" + std::to_string(n) + ")." + extension)).lexically_normal();
        if (!ExistsFile(candidate))
            return candidate;
    }
}

namespace {

// The bytes of new stores an edit writes: volume and fades a float store for their range on every
// channel, mono one for the whole sound; cuts and stereo only share what is there.
uint64_t NewStoreBytes(const Document::EditRequest& request, const SoundBuffer& sound)
{
    const int64_t n = sound.channels.FrameCount();
    int64_t start = request.start, end = request.end;
    if (request.start == -1 && request.end == -1)
        start = 0, end = n;
    start = std::clamp<int64_t>(start, 0, n);
    end = std::clamp<int64_t>(end, 0, n);
    if (start == end)
        start = 0, end = n;
    const uint64_t range = uint64_t(std::max<int64_t>(end - start, 0)) * sound.channels.ChannelCount() * sizeof(float);
    // A gain the pieces carry writes nothing.
    bool carried = GainsAsPieces();
    for (int c = 0; c < sound.channels.ChannelCount() && carried; ++c)
        carried = end <= start || sound.channels.Channel(c).GainFits(start, end);
    switch (request.kind) {
    case EditKind::ChangeVolume:
    case EditKind::IncreaseVolume:
    case EditKind::FadeIn:
    case EditKind::FadeOut: return carried ? 0 : range;
    case EditKind::ToMono: return uint64_t(n) * sizeof(float);
    case EditKind::InsertSilence: return uint64_t(request.frames) * sizeof(float);
    default: return 0;
    }
}

// At most what a paste of clip writes: the clip as floats at the sound's rate and channel count.
uint64_t PasteBytes(const SoundBuffer& clip, const SoundBuffer& sound)
{
    const ChannelSet& c = clip.channels;
    if (c.SampleRate() == 0)
        return 0;
    const double frames = double(c.FrameCount()) * sound.channels.SampleRate() / c.SampleRate();
    return uint64_t(frames + 1) * std::max(c.ChannelCount(), sound.channels.ChannelCount()) * sizeof(float);
}

}  // namespace

bool Document::MakeRoom(uint64_t bytes)
{
    if (bytes == 0)
        return true;
    uint64_t available = 0, reserve = 0;
    if (availableForTesting_) {
        available = availableForTesting_();
        reserve = reserveForTesting_;
    } else {
        struct statvfs fs {};
        const std::shared_ptr<StoreFolder> stores = CurrentStoreFolder();
        if (::statvfs((stores ? stores->Path() : TempDirectory()).c_str(), &fs) != 0)
            return true;  // no figure to go by: the edit's own writes will say if the disk is full
        const uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
        available = uint64_t(fs.f_bavail) * unit;
        reserve = std::min(kTempReserve, uint64_t(fs.f_blocks) * unit / 20);
    }
    if (available >= bytes + reserve)
        return true;
    // Decided before anything goes, so that an edit that cannot fit costs the history nothing.
    const std::optional<EditHistory::Drops> drops = history_.PlanDrops(ActiveBuffer(), bytes + reserve - available);
    if (!drops) {
        NoteSystemFailure(ENOSPC);
        return false;
    }
    // A dropped step gives its space back when its last store closes, which happens here, before the
    // edit writes. So what goes here stays gone even when the edit then fails (a write error, a
    // cancel): its disk is what the edit was given. That is why the redo steps go first: committing the
    // edit discards them all anyway, and undo steps are dropped only when the redo steps cannot make
    // the room.
    for (size_t k = 0; k < drops->redo; ++k)
        history_.DropNewest();
    if (session_ && drops->redo > 0)
        session_->Move(history_.Position(), true);
    for (size_t k = 0; k < drops->undo; ++k)
        history_.DropOldest();
    if (session_ && drops->undo > 0)
        session_->Dropped(drops->undo);
    return true;
}

int Document::RunEdit(const EditRequest& request, SoundBuffer& sound, Progress* progress)
{
    switch (request.kind) {
    case EditKind::DeleteSelected: return sound.DeleteRange(request.start, request.end, true);
    case EditKind::DeleteUnselected: return sound.DeleteRange(request.start, request.end, false);
    case EditKind::ChangeVolume:
        // 100 % changes nothing, but is still an edit the user asked for.
        return brindle::ChangeVolume(sound, request.start, request.end, request.percent, progress);
    case EditKind::IncreaseVolume:
        return brindle::IncreaseVolume(sound, request.start, request.end, progress, preparesPeaks_ ? &peaks_ : nullptr);
    case EditKind::FadeIn: return brindle::FadeIn(sound, request.start, request.end, progress);
    case EditKind::FadeOut: return brindle::FadeOut(sound, request.start, request.end, progress);
    case EditKind::ToMono: return brindle::ToMono(sound, progress);
    case EditKind::ToStereo: return brindle::ToStereo(sound, progress);
    case EditKind::Paste: return PasteClip(sound, request.start, request.end, progress);
    case EditKind::InsertSilence:
        return brindle::InsertSilence(sound, request.start, request.end, request.frames, progress);
    case EditKind::Cut: return sound.DeleteRange(request.start, request.end, true);
    }
    return 0;
}

int Document::PasteClip(SoundBuffer& sound, int64_t start, int64_t end, Progress* progress)
{
    if (!clip_.HasSound()) {
        NoteFailure({FailureKind::Format, "nothing to paste"});
        return 0;
    }
    const int64_t n = sound.channels.FrameCount();
    if (start < 0 || end < start || end > n) {
        NoteFailure({FailureKind::Format, "the place to paste is outside the sound"});
        return 0;
    }
    SoundBuffer piece;
    if (!piece.CopyFrom(clip_))
        return 0;
    const uint16_t channels = sound.channels.ChannelCount();
    const uint32_t rate = sound.channels.SampleRate();
    // Whether the piece's samples are in stores this edit made: those the journal can name.
    bool written = false;
    if (piece.channels.ChannelCount() > channels) {
        if (!brindle::ToMono(piece, progress))
            return 0;
        written = true;
    }
    if (piece.channels.SampleRate() != rate) {
        if (!Resample(piece, rate, progress))
            return 0;
        written = true;
    }
    if (session_ && !clipShared_ && !written && !CopyIntoNewStores(piece, false, progress))
        return 0;
    if (piece.channels.ChannelCount() < channels && !brindle::ToStereo(piece))
        return 0;
    return SpliceSound(sound, start, end, piece);
}

int Document::Measure(int64_t start, int64_t end, Progress* progress)
{
    ClearLastFailure();
    ReleaseOldClips();
    LoudnessFigures figures;
    if (!MeasureLoudness(ActiveBuffer(), start, end, figures, progress)) {
        lastFailure_ = ReasonOf(progress, "cannot measure the loudness");
        return 0;
    }
    measured_ = figures;
    lastFailure_ = {};
    return 1;
}

int Document::CopyToClip(int64_t start, int64_t end)
{
    if (!SetClip(ActiveBuffer(), start, end))
        return 0;
    clipShared_ = true;
    return 1;
}

int Document::SetClip(const SoundBuffer& source, int64_t start, int64_t end)
{
    SoundBuffer clip;
    if (!source.HasSound() || !clip.CopyFrom(source) || !clip.DeleteRange(start, end, false))
        return 0;
    // The clip it replaces may be the only owner of an hour of samples in files of its own: closing
    // them waits for the file system to free their extents, which the worker does (ReleaseOldClips).
    if (clip_.HasSound()) {
        oldClips_.push_back(std::make_unique<SoundBuffer>());
        oldClips_.back()->TakeFrom(clip_);
    }
    clip_.TakeFrom(clip);
    clipShared_ = false;
    return 1;
}

void Document::ReleaseOldClips() { oldClips_.clear(); }

void Document::KeepClip()
{
    // Without a session nothing deletes the stores under the clip.
    if (!clipShared_ || !session_ || !clip_.HasSound())
        return;
    clipShared_ = false;
    if (!CopyIntoNewStores(clip_, true))
        clip_.Clear();
}

int Document::PrepareEdit(const EditRequest& request, Progress* progress)
{
    ClearLastFailure();
    ReleaseOldClips();
    DropPreparedEdit();
    const SoundBuffer& sound = ActiveBuffer();
    // The samples take most of the bar; the peaks of what they wrote the rest.
    std::unique_ptr<SubProgress> editProgress;
    if (progress)
        editProgress = std::make_unique<SubProgress>(*progress, progress->Range() / 5 * 4);
    const uint64_t bytes = request.kind == EditKind::Paste ? PasteBytes(clip_, sound) : NewStoreBytes(request, sound);
    int result = sound.HasSound() && MakeRoom(bytes) && prepared_.CopyFrom(sound) &&
                 RunEdit(request, prepared_, editProgress.get()) && !IsCancelled(progress);
    prepared_.channels.Seal();
    // The peaks of the stores the edit wrote are part of the edit, on this thread; the stores it kept
    // have theirs already, and a constant gain's follow from them. A fade's need the faded range
    // read: BuildPeaks does that once the edit is the sound, so that the edit never waits for it.
    if (result && preparesPeaks_) {
        preparedPeaks_ = peaks_;
        if (!preparedPeaks_.Build(prepared_.channels, progress, false) && IsCancelled(progress))
            result = 0;
    }
    if (!result) {
        lastFailure_ = ReasonOf(progress, "cannot change the sound");
        DropPreparedEdit();
        if (progress)
            progress->Fail();
        return 0;
    }
    preparedRequest_ = request;
    lastFailure_ = {};
    // Before the window can show the edit; the task ends only after this.
    if (session_) {
        if (session_->NeedsSnapshot())
            session_->Snapshot(history_, ActiveBuffer(), Names(), mp3_.tags);
        session_->Step(history_.Position(), request, ActiveBuffer(), prepared_);
    }
    return FinishProgress(progress, 1);
}

void Document::DropPreparedEdit()
{
    preparedRequest_.reset();
    prepared_.Clear();
    preparedPeaks_.Clear();
}

void Document::CommitEdit(const EditMarks& marksBefore)
{
    if (!preparedRequest_)
        return;
    auto before = std::make_shared<SoundBuffer>();
    auto after = std::make_shared<SoundBuffer>();
    before->CopyFrom(ActiveBuffer());
    after->CopyFrom(prepared_);
    history_.Push({*preparedRequest_, std::move(before), after, marksBefore, marksBefore});
    if (session_)
        session_->Marks(history_.Position() - 1, marksBefore, marksBefore);
    Restore(after);
    if (preparesPeaks_)
        peaks_ = std::move(preparedPeaks_);
    DropPreparedEdit();
}

int Document::Edit(const EditRequest& request, Progress* progress)
{
    if (!PrepareEdit(request, progress))
        return 0;
    CommitEdit();
    return 1;
}

void Document::Restore(const SoundState& state)
{
    // The state is shared with the history: the buffer takes its piece lists, never its stores' files.
    SoundBuffer& sound = ActiveBuffer();
    sound.Clear();
    sound.CopyFrom(*state);
}

int Document::Undo(EditMarks& marks)
{
    if (!history_.CanUndo())
        return 0;
    const EditHistory::Step& step = history_.UndoStep();
    Restore(step.before);
    marks = step.marksBefore;
    history_.StepBack();
    return 1;
}

int Document::Redo(EditMarks& marks)
{
    if (!history_.CanRedo())
        return 0;
    const EditHistory::Step& step = history_.RedoStep();
    Restore(step.after);
    marks = step.marksAfter;
    history_.StepForward();
    return 1;
}

void Document::SetMarksAfterEdit(const EditMarks& marks)
{
    history_.SetMarksAfter(marks);
    if (session_ && history_.CanUndo())
        session_->Marks(history_.Position() - 1, history_.UndoStep().marksBefore, marks);
}

int Document::RecordStep(int step)
{
    if (!session_ || (step < 0 && !history_.CanUndo()) || (step > 0 && !history_.CanRedo()))
        return 0;
    if (session_->NeedsSnapshot() && !session_->Snapshot(history_, ActiveBuffer(), Names(), mp3_.tags))
        return 0;
    const size_t position = history_.Position() + size_t(ptrdiff_t(step > 0) - ptrdiff_t(step < 0));
    return session_->Move(position, step == 0);
}

bool Document::NeedsPeaks() const
{
    return preparesPeaks_ && ActiveBuffer().HasSound() && !peaks_.IsBuiltFor(ActiveBuffer().channels);
}

int Document::BuildPeaks(Progress* progress)
{
    if (!ActiveBuffer().HasSound())
        return FinishProgress(progress, 0);
    return FinishProgress(progress, peaks_.Build(ActiveBuffer().channels, progress));
}

bool Document::CanConvertToMono() const { return ActiveBuffer().channels.IsStereo(); }

bool Document::CanConvertToStereo() const { return ActiveBuffer().channels.IsMono(); }

FileType Document::Kind() const
{
    if (mp3_.buffer.HasSound())
        return FileType::Mp3;
    if (plain_.HasSound())
        return plainKind_;
    return FileType::Unknown;
}

SoundBuffer& Document::ActiveBuffer() { return mp3_.buffer.HasSound() ? mp3_.buffer : plain_; }

const SoundBuffer& Document::ActiveBuffer() const { return mp3_.buffer.HasSound() ? mp3_.buffer : plain_; }

}  // namespace brindle
