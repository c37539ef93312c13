// The main window's part in surviving a crash: the session that keeps the sound and its history on
// disk, and the recovery it offers at start-up from the sessions of editors that are gone.
#include "app/app_texts.h"
#include "app/document_view.h"
#include "app/main_frame.h"

namespace brindle {

void MainFrame::UseSessions(const std::filesystem::path& stateFolder) { stateFolder_ = stateFolder; }

void MainFrame::Start(const std::filesystem::path& file)
{
    OfferRecovery();
    StartSession();
    if (file.empty())
        return;
    if (document_.IsEmpty())
        OpenFile(file);
    else
        OpenInPlace(file);  // the recovered sound first gets the save question
}

void MainFrame::StartSession()
{
    if (session_ || stateFolder_.empty())
        return;
    std::string reason;
    session_ = Session::Create(stateFolder_, reason);
    if (!session_) {
        // Editing goes on without it; the user must know that a crash would now cost the changes.
        qWarning("cannot keep a session in %s: %s", stateFolder_.c_str(), reason.c_str());
        if (prompts_.showError)
            prompts_.showError(this, Texts::SessionFailed(QString::fromStdString(reason)));
        return;
    }
    document_.SetSession(session_.get());
}

void MainFrame::EndSession()
{
    document_.SetSession(nullptr);
    if (session_)
        session_->Remove();
    session_.reset();
}

void MainFrame::ReportSessionFailure()
{
    std::string reason;
    if (session_ && session_->TakeFailure(reason)) {
        qWarning("cannot keep the session in %s: %s", session_->Path().c_str(), reason.c_str());
        if (prompts_.showError)
            prompts_.showError(this, Texts::SessionFailed(QString::fromStdString(reason)));
    }
}

int MainFrame::OfferRecovery()
{
    if (stateFolder_.empty() || session_)
        return 0;
    for (OrphanSession& orphan : ClaimOrphanSessions(stateFolder_)) {
        const QString sessionName = QString::fromStdString(orphan.Path().string());
        RecoveredHistory history;
        std::string reason;
        if (!orphan.Read(history, reason)) {
            ShowFailure(Texts::JournalRefused(), "refused the session", sessionName, reason);
            orphan.Delete();
            continue;
        }
        // Nothing unsaved: the sound is on disk as it was.
        if (history.states.empty() || history.saved == history.position) {
            orphan.Delete();
            continue;
        }
        const std::filesystem::path& shown = history.names.target.empty() ? history.names.source : history.names.target;
        const QString name = QString::fromStdString(shown.filename().string());
        if (!prompts_.askRecover || !prompts_.askRecover(this, Texts::AskRecover(name))) {
            orphan.Delete();
            continue;
        }
        if (!history.refused.empty())
            qWarning("recovering %s as it was before its newest change: %s", shown.c_str(), history.refused.c_str());
        // The recovery goes on in the dead editor's folder: killed midway, it leaves that one session.
        session_ = orphan.Adopt(reason);
        if (!session_) {
            ShowFailure(Texts::JournalRefused(), "refused the session", sessionName, reason);
            continue;
        }
        document_.SetSession(session_.get());
        document_.SetPendingRecovery(std::move(history));
        const int result = RunTask(TaskMode::Recover);
        if (result != 1) {
            // Cancelled: let go of the folder as it is, for the next start to offer again.
            document_.SetSession(nullptr);
            session_.reset();
            DiscardDocument();
            RefreshUiState();
            return 0;
        }
        ReportSessionFailure();
        engine_.Clear();
        view_->Refresh(true);
        RefreshUiState();
        // One sound at a time: the sessions not yet asked about wait for the next start.
        return result == 1;
    }
    return 0;
}

}  // namespace brindle
