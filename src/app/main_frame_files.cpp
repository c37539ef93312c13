// The file commands of the main window: open, save, save as, the save prompt, closing, drops and the
// caption.
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include <cerrno>
#include <cstring>
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

// The first local file among dropped URLs, as the bytes of its path: a name that is not UTF-8 (an
// old archive's Latin-1, say) arrives percent-encoded and must reach the file system byte for byte,
// which QUrl::toLocalFile cannot promise. Empty when there is none.
std::filesystem::path FirstLocalFile(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls())
        return {};
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile())
            return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
    }
    return {};
}

// Why path cannot be opened before anything is tried; empty when it may be.
std::string CannotOpen(const std::filesystem::path& path)
{
    struct stat info {};
    if (path.empty())
        return std::strerror(ENOENT);
    if (::stat(path.c_str(), &info) != 0)
        return std::strerror(errno);
    if (S_ISDIR(info.st_mode))
        return "is a folder";
    if (FileKind(path) == FileType::Unknown)
        return "the name ends in none of .mp3, .wav, .flac, .ogg, .oga, .opus";
    return {};
}

QString WithReason(const QString& text, const std::string& reason)
{
    return reason.empty() ? text : text + QLatin1Char('\n') + QString::fromStdString(reason);
}

std::string ReasonText(const FailureReason& reason) { return reason.IsSet() ? reason.text : "reason unknown"; }

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
    ReportSessionFailure();
    return result;
}

void MainFrame::ShowFailure(const QString& text, const char* what, const QString& path, const std::string& reason)
{
    qWarning("%s %s: %s", what, qUtf8Printable(path), reason.c_str());
    if (prompts_.showError)
        prompts_.showError(this, WithReason(text, reason));
}

int MainFrame::OpenFile(const QString& given) { return OpenFile(ToPath(given)); }

int MainFrame::OpenFile(const std::filesystem::path& given)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(given, error);
    if (error)
        path = given;
    const QString shown = FromPath(path);
    if (const std::string reason = CannotOpen(path); !reason.empty()) {
        ShowFailure(Texts::OpenFailed(shown), "cannot open", shown, reason);
        return 0;
    }
    // The load replaces the sound the device would be refilled from.
    StopPlayback();

    const QString remembered = status_->Message();
    status_->SetMessage(Texts::Loading());
    QElapsedTimer stopwatch;
    stopwatch.start();

    {
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
    }

    if (!document_.IsEmpty()) {
        const qint64 elapsedMs = stopwatch.elapsed();
        if (elapsedMs < 50)
            status_->SetMessage(remembered);
        else
            status_->ShowTimedMessage(Texts::LoadedIn(double(float(elapsedMs) * 0.001f)), 4000);
        RememberFile(path);
        return 1;
    }
    status_->SetMessage(remembered);
    ShowFailure(Texts::OpenFailed(shown), "cannot open", shown, ReasonText(document_.LastFailure()));
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
        RememberFile(document_.TargetPath());
        if (FileKind(document_.TargetPath()) == FileType::Mp3)
            status_->ShowTimedMessage(document_.SavedWithoutReencoding()
                                          ? Texts::SavedLossless()
                                          : Texts::SavedReencoded(document_.ReencodedPercent()),
                                      4000);
        return 1;
    }
    const std::filesystem::path& pending = document_.PendingTarget();
    const QString target = FromPath(pending.empty() ? document_.TargetPath() : pending);
    ShowFailure(Texts::SaveFailed(target), "cannot save", target, ReasonText(document_.LastFailure()));
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
    // The save filters follow FileType's order: MP3, WAV, FLAC, Ogg Vorbis, Opus.
    const FileType kind = document_.Kind();
    const int filterIndex = kind == FileType::Unknown ? 2 : int(kind) + 1;
    QString proposal = FromPath(document_.ProposeSaveName());
    if (const QString folder = StartFolder(); !folder.isEmpty())
        proposal = QDir(folder).filePath(QFileInfo(proposal).fileName());
    const std::optional<SaveChoice> choice = prompts_.savePath(this, proposal, filterIndex);
    // The dialog ran an event loop of its own.
    if (!choice || choice->path.isEmpty() || !commands_.CanRun(kCmdSaveAs))
        return 0;
    // A typed ending of a known format decides the format, whatever type the dialog showed; only a
    // name without one takes the chosen type's ending.
    QString path = choice->path;
    if (FileKind(ToPath(path)) == FileType::Unknown)
        path += QLatin1Char('.') + FilterExtension(choice->filterIndex);
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
    // The first run, or a folder since removed: the home folder, where a person's files are.
    const QString folder = StartFolder().isEmpty() ? QDir::homePath() : StartFolder();
    const QString path = prompts_.openPath ? prompts_.openPath(this, folder) : QString();
    if (!path.isEmpty() && commands_.CanRun(kCmdOpen))
        OpenFile(path);
}

int MainFrame::QuerySave()
{
    StopPlayback();
    if (!document_.Modified())
        return 1;
    const QMessageBox::StandardButton answer =
        prompts_.askSave ? prompts_.askSave(this, Texts::AskSave(QString::fromStdString(document_.DisplayName()))) : QMessageBox::Cancel;
    if (answer == QMessageBox::Yes)
        return Save();
    if (answer != QMessageBox::No)
        return 0;
    // The changes are given up whatever follows (a close, an open, the session's end).
    if (session_)
        session_->Clear(false);
    return 1;
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
    if (!taskRunning_ && !FirstLocalFile(event->mimeData()).empty())
        event->acceptProposedAction();
}

void MainFrame::dropEvent(QDropEvent* event)
{
    // Only one sound is open at a time: of several dropped files the first is taken.
    const std::filesystem::path name = FirstLocalFile(event->mimeData());
    if (name.empty() || !commands_.CanRun(kCmdOpen))
        return;
    event->acceptProposedAction();
    // The drag source waits until this returns (a file manager holds still meanwhile): the save
    // question and the load run afterwards, from the event loop.
    QMetaObject::invokeMethod(this, [this, name] { OpenDropped(name); }, Qt::QueuedConnection);
}

void MainFrame::OpenDropped(const std::filesystem::path& name)
{
    if (!commands_.CanRun(kCmdOpen))
        return;
    if (!isActiveWindow()) {
        raise();
        activateWindow();
    }
    OpenInPlace(name);
}

int MainFrame::OpenInPlace(const std::filesystem::path& name)
{
    // Before the sound is put away: a file that cannot be opened keeps it, and says why.
    if (const std::string reason = CannotOpen(name); !reason.empty()) {
        ShowFailure(Texts::OpenFailed(FromPath(name)), "cannot open", FromPath(name), reason);
        return 0;
    }
    if (!QuerySave())
        return 0;
    DiscardDocument();
    RefreshUiState();
    return OpenFile(name);
}

void MainFrame::OpenRecent(const std::filesystem::path& name)
{
    if (!commands_.CanRun(kCmdOpen))
        return;
    std::error_code error;
    if (OpenInPlace(name) || std::filesystem::exists(name, error) || error)
        return;
    // Gone for good, as far as anyone can tell: offering it again would only fail again. A broken
    // file stays, as it may be mended.
    Remember([&name](RememberedState& state) { std::erase(state.recent, name); });
    RefreshRecentMenu();
}

void MainFrame::Remember(const std::function<void(RememberedState&)>& change)
{
    if (settingsFile_.isEmpty())
        return;
    RememberedState state = ReadRemembered(settingsFile_);
    change(state);
    WriteRemembered(settingsFile_, state);
}

void MainFrame::RememberFile(const std::filesystem::path& given)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(given, error);
    if (error)
        path = given;
    path = path.lexically_normal();
    Remember([&path](RememberedState& state) {
        AddRecent(state, path);
        state.folder = FromPath(path.parent_path());
    });
    RefreshRecentMenu();
}

QString MainFrame::StartFolder() const
{
    const QString folder = ReadRemembered(settingsFile_).folder;
    return !folder.isEmpty() && QDir(folder).exists() ? folder : QString();
}

}  // namespace brindle
