// The one open sound: where it came from, where it was last saved, whether it has unsaved changes.
//
// The sound lives in one of two sides: the MP3 side (with the tags of the file it came from) or the
// plain side used for WAV, FLAC, Ogg Vorbis and Opus. ActiveBuffer() is whichever holds it; a save in a
// format of the other side moves it across without copying samples. Load and save run on the worker thread; everything else on the UI thread.
// This class is part of the core: the editor and brindle-batch share it, and it does not use Qt.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "document/edit_history.h"
#include "document/session.h"
#include "edit/loudness.h"
#include "edit/peak_summary.h"
#include "formats/mp3_document.h"
#include "storage/sound_buffer.h"
#include "tasks/failure.h"

namespace brindle {

class Progress;

enum class FileType : uint8_t { Mp3 = 0, Wav = 1, Flac = 2, Ogg = 3, Opus = 4, Unknown = 255 };

// By the extension after the last "." of the file name, compared in lower case: "mp3", "wav", "flac",
// "ogg" or "oga" (Ogg Vorbis when saved; any Ogg stream opens), "opus", or Unknown for anything else.
FileType FileKind(const std::filesystem::path& path);

class Document {
public:
    Document() = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    bool IsEmpty() const;
    // Empties both sides and the tags, clears both paths and the modified flag.
    void Reset();
    // Loads path, or SourcePath() when path is empty, by its FileKind. On failure both sides are empty
    // and Modified() is set until the caller resets. 1 or 0.
    int Load(const std::filesystem::path& path = {}, Progress* progress = nullptr);
    // Saves to path, or TargetPath() when path is empty, in the format its FileKind names. The file is
    // written beside the target under a temporary name and renamed over it only when complete, so a
    // failed or cancelled save leaves whatever was at the target untouched and no partial file.
    int Save(const std::filesystem::path& path = {}, Progress* progress = nullptr);

    // After a successful Save as MP3: whether nothing but the seams of a copy of the source's frames
    // was encoded anew (false for a WAV); else how much of the sound was, in whole percent rounded up
    // (Mp3Document::LastSaveReencodedPercent: 100 for a sound encoded whole), and why.
    bool SavedWithoutReencoding() const { return savedLossless_ && mp3_.LastSaveReencodedPercent() == 0; }
    uint32_t ReencodedPercent() const { return mp3_.LastSaveReencodedPercent(); }
    const std::string& ReencodeReason() const { return mp3_.LosslessWhyNot(); }
    // Where cuts keep the frames of the MP3 the sound came from copyable (Mp3Document::LosslessGrid);
    // none when the sound is not made of them alone.
    std::optional<Mp3Document::FrameGrid> Mp3FrameGrid() const { return mp3_.LosslessGrid(ActiveBuffer()); }

    // The file name of TargetPath (or SourcePath when there is no target); empty when nothing is open.
    std::string DisplayName() const;
    // "Untitled" when nothing is open; else the source's folder/name " (n)." extension for the first n
    // with no such file.
    std::filesystem::path ProposeSaveName() const;

    // An edit in two halves, so that the long one runs on the worker while the window stays with the
    // sound as it was. PrepareEdit (any thread, while nothing changes the Document) makes the edited
    // sound from a copy of the piece lists, writing new stores only for the samples it changes, and
    // the peaks of those stores when the Document prepares peaks; the sound is untouched. When the
    // temporary folder would keep less than kTempReserve free after the edit, it first drops the
    // fewest steps that give back enough (EditHistory::PlanDrops: redo steps first, then the oldest
    // undo steps); an edit that dropping every step could not fit fails at once with "No space left
    // on device", dropping none. A cancel or a failure leaves nothing but the steps dropped for its
    // room. CommitEdit (the owning thread) makes the
    // prepared sound the sound as one undo step, whose undo restores marksBefore; DropPreparedEdit
    // forgets it. start, end are frames, -1 -1 the whole sound.
    using EditRequest = brindle::EditRequest;
    int PrepareEdit(const EditRequest& request, Progress* progress = nullptr);
    // The edit the next edit task prepares; whoever sets it starts that task.
    const EditRequest& PendingEdit() const { return pendingEdit_; }
    void SetPendingEdit(const EditRequest& request) { pendingEdit_ = request; }
    void CommitEdit(const EditMarks& marksBefore = {});
    void DropPreparedEdit();
    // Both halves at once; sets Modified() when it returns 1.
    int Edit(const EditRequest& request, Progress* progress = nullptr);
    int DeleteRange(int64_t start, int64_t end, bool removeInside)
    {
        return Edit({removeInside ? EditKind::DeleteSelected : EditKind::DeleteUnselected, start, end});
    }
    int ChangeVolume(int64_t start, int64_t end, int32_t percent)
    {
        return Edit({EditKind::ChangeVolume, start, end, percent});
    }
    int IncreaseVolume(int64_t start, int64_t end) { return Edit({EditKind::IncreaseVolume, start, end}); }
    int FadeIn(int64_t start, int64_t end) { return Edit({EditKind::FadeIn, start, end}); }
    int FadeOut(int64_t start, int64_t end) { return Edit({EditKind::FadeOut, start, end}); }
    int ToStereo(Progress* progress = nullptr) { return Edit({EditKind::ToStereo}, progress); }
    int ToMono() { return Edit({EditKind::ToMono}); }
    // The clip in place of [start, end), or inserted at start when start == end; silence the same way.
    int Paste(int64_t start, int64_t end) { return Edit({EditKind::Paste, start, end}); }
    int InsertSilence(int64_t start, int64_t end, uint32_t frames)
    {
        return Edit({EditKind::InsertSilence, start, end, 100, frames});
    }

    // The clipboard: audio copied or cut from this or an earlier sound, which outlives the sound it
    // came from, so audio moves between files. Copying shares the sound's stores (no sample is copied,
    // whatever the length). When a load or a recovery replaces the sound, the clip's samples are copied
    // on that worker into unnamed files of the clipboard's own, for the session folder of the sound
    // they came from goes with it; a paste of such a clip copies them again into the stores of the
    // sound it goes into (the session's folder), so that the journal rebuilds every state from that
    // folder alone. A paste of a clip of this sound is pieces only. A clip of another channel count is
    // made to fit by the rules of the mono and stereo edits, one of another rate is resampled with
    // libsoxr at its high quality.
    // CopyToClip takes [start, end) of the sound (clamped; an empty range fails), SetClip of source
    // (another document's, whose stores must outlive the paste). UI thread, instant.
    int CopyToClip(int64_t start, int64_t end);
    int SetClip(const SoundBuffer& source, int64_t start, int64_t end);
    bool HasClip() const { return clip_.HasSound(); }
    const SoundBuffer& Clip() const { return clip_; }

    // The loudness (EBU R128) of [start, end) of the sound, -1 -1 the whole sound, read block by block
    // on the worker into Measured(). 1, or 0 (a cancel, a failed read) leaving Measured() as it was.
    int Measure(int64_t start, int64_t end, Progress* progress = nullptr);
    const LoudnessFigures& Measured() const { return measured_; }
    // The range the next measure task measures; whoever sets it starts that task.
    std::pair<int64_t, int64_t> PendingMeasure() const { return pendingMeasure_; }
    void SetPendingMeasure(int64_t start, int64_t end) { pendingMeasure_ = {start, end}; }

    // The free space an edit leaves in the temporary folder, at least: 1 GB, or 5 % of the folder's
    // file system when that is smaller.
    static constexpr uint64_t kTempReserve = uint64_t(1) << 30;

    // Undo and redo of whole edits, any number of steps. Each puts the sound back as it was before
    // (after) the step, sharing its stores, with its peaks; marks receives the window's marks of that
    // state. 1, or 0 when there is nothing to undo (redo). A load, a reset or a failed load empties
    // the history; a save keeps it, and the state saved counts as unmodified whenever it is current.
    const EditHistory& History() const { return history_; }
    int Undo(EditMarks& marks);
    int Redo(EditMarks& marks);
    // The marks the window shows after the newest edit, for its redo.
    void SetMarksAfterEdit(const EditMarks& marks);
    // Where the sound and its history are kept for a recovery after a crash (the editor's; brindle-batch
    // sets none). A load writes it anew, PrepareEdit records the step on the worker before the edit can
    // be committed, RecordStep before an undo or redo, a save names the saved state; a reset clears it.
    // A record that cannot be written leaves the session stale (see Session) and the Document as it
    // is: the edit, the undo or the save goes on.
    void SetSession(Session* session) { session_ = session; }
    Session* GetSession() const { return session_; }
    // The state the next journal task records: after an undo (-1), a redo (+1), or as it is (0, after
    // an edit cancelled once its step was recorded). Whoever sets it starts that task and then makes
    // the step.
    void SetPendingStep(int step) { pendingStep_ = step; }
    int PendingStep() const { return pendingStep_; }
    // Records the history as it will be after that step. 1, or 0 when it could not be written.
    int RecordStep(int step);
    // Takes a history read back from a session: its newest whole state becomes the sound, with every
    // undo and redo step, names and tags, and the session records it anew. Builds the peaks as a load
    // does. 1, or 0 (a cancel) leaving the document empty.
    int Recover(RecoveredHistory&& recovered, Progress* progress = nullptr);
    // The recovery the next recover task makes; whoever sets it starts that task.
    void SetPendingRecovery(RecoveredHistory recovered) { pendingRecovery_ = std::move(recovered); }
    int RecoverPending(Progress* progress)
    {
        if (!pendingRecovery_)
            return 0;
        RecoveredHistory recovered = std::move(*pendingRecovery_);
        pendingRecovery_.reset();
        return Recover(std::move(recovered), progress);
    }

    // For tests: the free space PrepareEdit goes by, in place of the temporary folder's, and the reserve
    // it keeps, in place of kTempReserve (an empty function restores both).
    void SetTempSpaceForTesting(std::function<uint64_t()> available, uint64_t reserve)
    {
        availableForTesting_ = std::move(available);
        reserveForTesting_ = reserve;
    }
    bool CanConvertToMono() const;
    bool CanConvertToStereo() const;

    // Mp3 when the MP3 side holds the sound; when the plain side does, the format it was opened from
    // or last saved in; Unknown when nothing is open (it preselects the save filter).
    FileType Kind() const;
    SoundBuffer& ActiveBuffer();
    const SoundBuffer& ActiveBuffer() const;
    const FileTags& Tags() const { return mp3_.tags; }

    // The waveform's summary of ActiveBuffer(): the buckets of the stores its pieces use (see
    // PeakSummary). With SetPreparesPeaks(true) (the editor) a successful Load builds it before
    // returning, so that pass over every sample runs on the load's worker thread rather than after it
    // on the window's, and an edit adds the buckets of the stores it writes on the edit's worker; a
    // cut, an undo or a redo needs none. brindle-batch never draws and does not pay for it.
    PeakSummary& Peaks() const { return peaks_; }
    void SetPreparesPeaks(bool prepares) { preparesPeaks_ = prepares; }
    // An edit commits before the peaks of a fade's range are read (PrepareEdit): whether the summary
    // still lacks some for the sound, and the pass that makes them (the worker's, while nothing
    // changes the Document). 1, or 0 for a failed read or a cancel.
    bool NeedsPeaks() const;
    int BuildPeaks(Progress* progress = nullptr);

    // Why the last Load, Save or edit returned 0 (kind None after a success). Read it on the thread
    // that owns the Document once the task that ran the Load or Save has ended.
    const FailureReason& LastFailure() const { return lastFailure_; }

    bool Modified() const { return modified_ || !history_.AtSaved(); }
    const std::filesystem::path& SourcePath() const { return sourcePath_; }
    const std::filesystem::path& TargetPath() const { return targetPath_; }
    void SetSourcePath(std::filesystem::path path) { sourcePath_ = std::move(path); }
    void SetTargetPath(std::filesystem::path path) { targetPath_ = std::move(path); }
    // A name chosen for the next save but not yet the document's: the save task writes there instead
    // of TargetPath(), and only a successful save makes it the TargetPath. Whoever sets it clears it
    // once the save is over; Reset() clears it too.
    const std::filesystem::path& PendingTarget() const { return pendingTarget_; }
    void SetPendingTarget(std::filesystem::path path) { pendingTarget_ = std::move(path); }

private:
    int SaveInto(const std::filesystem::path& file, FileType kind, Progress* progress);
    int RunEdit(const EditRequest& request, SoundBuffer& sound, Progress* progress);
    int PasteClip(SoundBuffer& sound, int64_t start, int64_t end, Progress* progress);
    // Before the sound is replaced: the clip takes its samples out of the sound's stores.
    void KeepClip();
    // Frees the clips the clipboard let go of; on a worker.
    void ReleaseOldClips();
    // Drops the steps that make bytes fit above the reserve; false (with the reason noted, nothing
    // dropped) when they cannot.
    bool MakeRoom(uint64_t bytes);
    // Puts state in ActiveBuffer(), sharing its stores.
    void Restore(const SoundState& state);

    int LoadFile(const std::filesystem::path& path, Progress* progress);
    int SaveFile(const std::filesystem::path& given, Progress* progress);

    // Changed outside the history: a failed load leaves an empty document that is not the file.
    bool modified_ = false;
    bool savedLossless_ = false;
    EditHistory history_;
    std::function<uint64_t()> availableForTesting_;
    uint64_t reserveForTesting_ = 0;
    EditRequest pendingEdit_;
    // The prepared edit, until it is committed or dropped.
    std::optional<EditRequest> preparedRequest_;
    SoundBuffer prepared_;
    PeakSummary preparedPeaks_;
    bool preparesPeaks_ = false;
    // A cache of what the samples hold, not part of the document's state: mutable.
    mutable PeakSummary peaks_;
    FailureReason lastFailure_;
    std::filesystem::path sourcePath_;
    std::filesystem::path targetPath_;
    std::filesystem::path pendingTarget_;
    Mp3Document mp3_;
    SoundBuffer plain_;
    // What the plain side's sound was opened from or last saved as.
    FileType plainKind_ = FileType::Wav;

    SessionNames Names() const;

    LoudnessFigures measured_;
    std::pair<int64_t, int64_t> pendingMeasure_{-1, -1};
    SoundBuffer clip_;
    // Clips replaced on the window's thread, freed by the next worker task.
    std::vector<std::unique_ptr<SoundBuffer>> oldClips_;
    // The clip shares the stores of the sound's session (a copy of this sound, not yet replaced).
    bool clipShared_ = false;

    Session* session_ = nullptr;
    int pendingStep_ = 0;
    std::optional<RecoveredHistory> pendingRecovery_;
};

}  // namespace brindle
