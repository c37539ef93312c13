// The main window's part in surviving a crash: the journal it keeps of the sound's edits, and the
// recovery it offers at start-up from the journals of editors that are gone.
#include <QFileInfo>

#include "app/app_texts.h"
#include "app/document_view.h"
#include "app/main_frame.h"

namespace brindle {
namespace {

QString FromPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

int MainFrame::UseJournal(const std::filesystem::path& folder)
{
    journalFolder_ = folder;
    if (!journal_.IsOpen() && !journal_.Open(folder)) {
        qWarning("cannot keep a journal of unsaved changes in %s", folder.c_str());
        return 0;
    }
    document_.SetJournal(&journal_);
    return 1;
}

void MainFrame::Start(const std::filesystem::path& file)
{
    OfferRecovery();
    if (file.empty())
        return;
    if (document_.IsEmpty())
        OpenFile(file);
    else
        OpenInPlace(file);  // the recovered sound first gets the save question
}

int MainFrame::OfferRecovery()
{
    if (journalFolder_.empty())
        return 0;
    for (OrphanJournal& orphan : ClaimOrphanJournals(journalFolder_)) {
        const QString journalName = FromPath(orphan.Path());
        JournalRecord record;
        std::string reason;
        if (!orphan.Read(record, reason)) {
            ShowFailure(Texts::JournalRefused(), "refused the journal", journalName, reason);
            orphan.Delete();
            continue;
        }
        const QString name = FromPath(record.source.filename());
        const SourceCheck check = CheckSource(record.source, record.identity, reason);
        if (check == SourceCheck::NotRegular) {
            // Only a hostile journal names a device or a FIFO: nothing of it is read.
            ShowFailure(Texts::JournalRefused(), "refused the journal", journalName,
                        FromPath(record.source).toStdString() + ": " + reason);
            orphan.Delete();
            continue;
        }
        if (check != SourceCheck::Same) {
            qWarning("cannot recover %s: %s", record.source.c_str(), reason.c_str());
            if (prompts_.tellRecoveryImpossible)
                prompts_.tellRecoveryImpossible(this, Texts::RecoveryImpossible(name) + QLatin1Char('\n') +
                                                          QString::fromStdString(reason));
            orphan.Delete();
            continue;
        }
        if (record.edits.empty()) {
            orphan.Delete();
            continue;
        }
        if (!prompts_.askRecover || !prompts_.askRecover(this, Texts::AskRecover(name))) {
            orphan.Delete();
            continue;
        }
        // One sound at a time: the journals not yet asked about wait for the next start.
        return Recover(orphan, record);
    }
    return 0;
}

int MainFrame::Recover(OrphanJournal& orphan, const JournalRecord& record)
{
    // A failed or cancelled open has said why; the journal stays for the next start.
    if (!OpenFile(record.source))
        return 0;
    std::string reason;
    const SoundBuffer& sound = document_.ActiveBuffer();
    // The file as loaded, not as it was a moment ago when asked about.
    const std::optional<SourceIdentity>& loaded = document_.SourceIdentityRead();
    if (!loaded || !loaded->Matches(record.identity))
        reason = "the file changed while it was being opened";
    else
        CheckEdits(record.edits, sound.FrameCount(), sound.channels.ChannelCount(), reason);
    if (!reason.empty()) {
        ShowFailure(Texts::JournalRefused(), "refused the journal", FromPath(orphan.Path()), reason);
        orphan.Delete();
        DiscardDocument();
        RefreshUiState();
        return 0;
    }
    for (const EditRequest& edit : record.edits) {
        const EditMarks marks{edit.start, edit.end, std::max<int64_t>(edit.start, 0)};
        document_.SetPendingEdit(edit);
        const int result = RunTask(TaskMode::Edit);
        if (result != 1) {
            // Cancelled, or out of room: nothing is lost, the journal is offered again next time.
            document_.DropPreparedEdit();
            if (result != 2)
                ShowFailure(Texts::EditFailed(), "cannot change", FromPath(record.source),
                            document_.LastFailure().IsSet() ? document_.LastFailure().text : "reason unknown");
            DiscardDocument();
            RefreshUiState();
            return 0;
        }
        document_.CommitEdit(marks);
        document_.SetMarksAfterEdit({-1, -1, marks.position});
    }
    // This editor's own journal now holds the same edits.
    orphan.Delete();
    engine_.Clear();
    view_->Refresh(true);
    RefreshUiState();
    return 1;
}

}  // namespace brindle
