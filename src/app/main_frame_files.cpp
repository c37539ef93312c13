// The file commands of the main window: open, save, save as, the save prompt, closing, drops and the
// caption.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QUrl>

#include <filesystem>
#include <sys/stat.h>

#include "app/app_texts.h"
#include "app/command_ids.h"
#include "app/document_view.h"
#include "app/main_frame.h"
#include "app/status_panes.h"

namespace brindle {
namespace {

std::filesystem::path ToPath(const QString& path) { return std::filesystem::path(path.toStdString()); }
QString FromPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// The first local file among dropped URLs; empty when there is none.
QString FirstLocalFile(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls())
        return {};
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return {};
}

void LogFailure(const char* what, const QString& path, const FailureReason& reason)
{
    qWarning("%s %s: %s", what, qUtf8Printable(path), reason.IsSet() ? reason.text.c_str() : "reason unknown");
}

}  // namespace

void MainFrame::UpdateTitle()
{
    const QString name = QString::fromStdString(document_.DisplayName());
    QString shown = Texts::Caption();
    if (!name.isEmpty())
        shown += QStringLiteral(" - [%1%2]").arg(name, document_.Modified() ? QStringLiteral(" *") : QString());
    // "[*]" is Qt's placeholder for the modified mark; a file name may hold it literally.
    QString title = shown;
    title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    if (windowTitle() != title)
        setWindowTitle(title);
    // Screen readers name the window by this, not by the title bar; setting it announces the change.
    if (accessibleName() != shown)
        setAccessibleName(shown);
}

int MainFrame::RunTask(TaskMode mode)
{
    if (!prompts_.runProgress)
        return 3;
    taskRunning_ = true;
    view_->SetDocumentBusy(true);
    const int result = prompts_.runProgress(this, document_, mode);
    view_->SetDocumentBusy(false);
    taskRunning_ = false;
    return result;
}

int MainFrame::OpenFile(const QString& given)
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(ToPath(given), error);
    struct stat info {};
    if (error || ::stat(path.c_str(), &info) != 0)
        return 0;
    const QString shown = FromPath(path);
    // Shortcut files are not followed.
    if (QString::fromStdString(path.extension().string()).toLower() == QLatin1String(".lnk"))
        return 0;
    // The load replaces the sound the device would be refilled from.
    StopPlayback();

    const QString remembered = status_->Message();
    status_->SetMessage(Texts::Loading());
    QElapsedTimer stopwatch;
    stopwatch.start();

    bool switched = false;
    if (FileKind(path) != FileType::Unknown) {
        // The peaks describe the samples the load is about to replace.
        view_->ClearPeaks();
        document_.SetSourcePath(path);
        if (RunTask(TaskMode::Load) == 2) {
            // The window accepted the cancel: honoured whatever stage the load had reached, even
            // when its worker had already finished.
            DiscardDocument();
            engine_.Clear();
            RefreshUiState();
            status_->SetMessage(remembered);
            return 0;
        }
        // Success or not, the window now shows what the load left: the sound, or an empty document.
        engine_.Clear();
        ShowDocumentPane(true);
        // Before the window repaints: a paint would otherwise make the same pass over the samples.
        view_->RebuildPeaks();
        repaint();
        RefreshUiState();
        switched = true;
    }

    if (switched && !document_.IsEmpty()) {
        const qint64 elapsedMs = stopwatch.elapsed();
        if (elapsedMs < 50)
            status_->SetMessage(remembered);
        else
            status_->ShowTimedMessage(Texts::LoadedIn(double(float(elapsedMs) * 0.001f)), 4000);
        return 1;
    }
    status_->SetMessage(remembered);
    if (switched)
        LogFailure("cannot open", shown, document_.LastFailure());
    else
        qWarning("cannot open %s: the name ends in neither .mp3 nor .wav", qUtf8Printable(shown));
    if (prompts_.showError)
        prompts_.showError(this, Texts::OpenFailed(shown));
    return 0;
}

int MainFrame::SaveDocument()
{
    if (document_.IsEmpty())
        return 0;
    // The worker reads the same channel stores the player would refill its blocks from.
    StopPlayback();
    const int result = RunTask(TaskMode::Save);
    if (result == 2)
        return 0;
    if (result == 1) {
        RefreshUiState();
        return 1;
    }
    const std::filesystem::path& pending = document_.PendingTarget();
    const QString target = FromPath(pending.empty() ? document_.TargetPath() : pending);
    LogFailure("cannot save", target, document_.LastFailure());
    if (prompts_.showError)
        prompts_.showError(this, Texts::SaveFailed(target));
    return 0;
}

int MainFrame::Save()
{
    if (document_.IsEmpty())
        return 0;
    if (!document_.TargetPath().empty())
        return SaveDocument();
    // Nothing has been saved since the open: ask for a name, so the source is never overwritten
    // unless the user picks it.
    return SaveAs();
}

int MainFrame::SaveAs()
{
    if (document_.IsEmpty() || !prompts_.savePath)
        return 0;
    const int filterIndex = document_.Kind() == FileType::Mp3 ? 1 : 2;
    const std::optional<SaveChoice> choice =
        prompts_.savePath(this, FromPath(document_.ProposeSaveName()), filterIndex);
    // The dialog ran an event loop of its own.
    if (!choice || choice->path.isEmpty() || !commands_.CanRun(kCmdSaveAs))
        return 0;
    const FileType kind = choice->filterIndex == 1 ? FileType::Mp3 : FileType::Wav;
    QString path = choice->path;
    if (FileKind(ToPath(path)) != kind) {
        const QString extension = kind == FileType::Mp3 ? QStringLiteral(".mp3") : QStringLiteral(".wav");
        if (!path.endsWith(extension, Qt::CaseInsensitive))
            path += extension;
    }
    // The name becomes the document's only once the file is written: after a failure the caption
    // and Save still mean the file the sound was last saved to, or ask again.
    document_.SetPendingTarget(ToPath(path));
    const int result = SaveDocument();
    document_.SetPendingTarget({});
    return result;
}

void MainFrame::Open()
{
    if (!CloseDocument())
        return;
    RefreshUiState();
    const QString path = prompts_.openPath ? prompts_.openPath(this) : QString();
    if (!path.isEmpty() && commands_.CanRun(kCmdOpen))
        OpenFile(path);
}

int MainFrame::QuerySave()
{
    StopPlayback();
    if (!document_.Modified())
        return 1;
    const QMessageBox::StandardButton answer =
        prompts_.askSave ? prompts_.askSave(this, Texts::AskSave()) : QMessageBox::Cancel;
    if (answer == QMessageBox::Yes)
        return Save();
    return answer == QMessageBox::No ? 1 : 0;
}

int MainFrame::QueryEndSession(const std::function<bool()>& allowsInteraction)
{
    // The worker owns the Document until the progress window closes: nothing can be asked or saved.
    if (taskRunning_)
        return 0;
    if (!document_.Modified())
        return 1;
    if (!allowsInteraction())
        return 0;
    return QuerySave();
}

void MainFrame::DiscardDocument()
{
    view_->ClearPeaks();
    document_.Reset();
    ShowDocumentPane(false);
}

int MainFrame::CloseDocument()
{
    if (!QuerySave())
        return 0;
    DiscardDocument();
    return 1;
}

void MainFrame::dragEnterEvent(QDragEnterEvent* event)
{
    if (!taskRunning_ && !FirstLocalFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainFrame::dropEvent(QDropEvent* event)
{
    // Only one sound is open at a time: of several dropped files the first is taken.
    const QString name = FirstLocalFile(event->mimeData());
    if (name.isEmpty() || !commands_.CanRun(kCmdOpen))
        return;
    event->acceptProposedAction();
    // The drag source waits until this returns (a file manager holds still meanwhile): the save
    // question and the load run afterwards, from the event loop.
    QMetaObject::invokeMethod(this, [this, name] { OpenDropped(name); }, Qt::QueuedConnection);
}

void MainFrame::OpenDropped(const QString& name)
{
    if (!commands_.CanRun(kCmdOpen))
        return;
    if (!isActiveWindow()) {
        raise();
        activateWindow();
    }
    if (!QuerySave())
        return;
    DiscardDocument();
    RefreshUiState();
    OpenFile(name);
}

}  // namespace brindle
