// The editor's only top-level window. It owns the Document and the PlaybackEngine, arranges the menu
// bar, toolbar, start panel or document view and status bar, routes every command to its handler,
// keeps the toolbar and edit panel in step with the state (the idle refresh) and runs the file
// commands with their prompts.
//
// Everything here runs on the UI thread. While a load or save runs under the modal progress window,
// the worker owns the Document: the idle refresh leaves it alone and no command's rule lets it run
// until the window has closed.
#pragma once

#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/command_table.h"
#include "app/editor_settings.h"
#include "document/document.h"
#include "app/prompts.h"
#include "playback/playback_engine.h"

class QAbstractNativeEventFilter;
class QMenu;
class QStackedWidget;
class QTimer;
class QToolBar;

namespace brindle {

class DeviceEvents;
class DocumentView;
class EditButtonPanel;
class KeysWindow;
class StartPanel;
class StatusPanes;

class MainFrame : public QMainWindow {
    Q_OBJECT

public:
    // The first client size, which is also the smallest the window can be made.
    static constexpr int kFirstWidth = 600;
    static constexpr int kFirstHeight = 355;
    // How long the status bar says that snapping moved an edge.
    static constexpr int kSnapMessageMs = 6000;

    // settingsFile: where the window's place, the last folder and the recent files are kept between
    // runs (DefaultSettingsFile() for the editor); empty keeps nothing, as tools and tests want.
    explicit MainFrame(Prompts prompts = DefaultPrompts(), QString settingsFile = {}, QWidget* parent = nullptr);
    ~MainFrame() override;

    Document& GetDocument() { return document_; }
    PlaybackEngine& Engine() { return engine_; }
    Prompts& GetPrompts() { return prompts_; }
    CommandTable& Commands() { return commands_; }
    StartPanel* GetStartPanel() const { return startPanel_; }
    DocumentView* View() const { return view_; }
    EditButtonPanel* EditPanel() const;
    StatusPanes& Status() const { return *status_; }
    QToolBar* ToolBar() const { return toolBar_; }
    QMenu* FileMenu() const { return fileMenu_; }
    // True while the document view (not the start panel) is the client pane.
    bool IsShowingDocument() const;
    // The device playback goes to (ALSA unless replaced, as tests do). Stops playback first.
    void SetOutputDevice(std::unique_ptr<WaveOutDevice> device);
    QTimer* CursorTimer() const { return cursorTimer_; }

    // The file commands. Each returns nonzero on success (for QuerySave and CloseDocument: the sound
    // may be, or was, discarded).
    int OpenFile(const QString& path);
    // The same by the path's bytes, which need not be UTF-8.
    int OpenFile(const std::filesystem::path& path);
    int SaveDocument();
    int Save();
    int SaveAs();
    void Open();
    int QuerySave();
    int CloseDocument();
    void UpdateTitle();
    // The desktop session is ending (logout, shutdown): nonzero lets it end. Unsaved changes get the
    // save question, as a close would, when allowsInteraction() (the session manager's permission,
    // asked only then) allows it; when it does not, or the user cancels, or a load or save is under
    // way, the session is held up rather than the sound dropped unasked.
    int QueryEndSession(const std::function<bool()>& allowsInteraction);

    // Keeps the sound and its history in a session in stateFolder (StateFolder() for the editor), so a
    // later start can recover them; without it (tools, most tests) nothing is kept.
    void UseSessions(const std::filesystem::path& stateFolder);
    // What the editor does once its window is up: offers to recover what editors that are gone left
    // in the state folder, one sound at most, starts its own session unless it took over the one
    // recovered, then opens file (when not empty).
    void Start(const std::filesystem::path& file);
    // Asks about each session no running editor owns, oldest first, until one is recovered: the
    // history is read back from the session's folder alone, under the progress window, and the
    // editor goes on in that folder. A session that cannot be used says why and is deleted. 1 when a
    // sound was recovered.
    int OfferRecovery();
    // The normal end: the session's folder goes with everything in it.
    void EndSession();

    // Runs the edit command id (1000 to 1007) with its guards and dialogs, as a task on the worker
    // under the progress window; the edit becomes the sound, as one undo step, once it has finished.
    // presetPercent: the volume edit's percentage, given rather than asked for.
    void RunEditCommand(int id, std::optional<int> presetPercent = std::nullopt);
    // Measures [start, end) (-1 -1 the whole sound) on the worker; 1, or 0 after a cancel or a failure
    // (said).
    int MeasureLoudness(int64_t start, int64_t end);
    void NormalizeLoudness();
    void ShowSoundProperties();
    // Caption, toolbar rules, edit panel rules and the time panes. The idle step calls this.
    void RefreshUiState();
    // The recent files in the Файл menu, as the settings file now holds them (another copy of the
    // editor may have added some). Runs whenever the menu opens.
    void RefreshRecentMenu();

signals:
    // The window was closed for good (the user allowed it, or its native window was destroyed from
    // outside): the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    // The keys of a sound open in the window (Space, Home, End, Left, Right, Shift with the last four,
    // Escape), which reach here whenever the focused control does not take them itself.
    void keyPressEvent(QKeyEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void StartSession();
    // Says once, in the window, that the session could not be written.
    void ReportSessionFailure();
    void BuildCommands();
    void BuildMenus();
    void BuildToolBar();
    void RefreshEditPanel();
    // Undo (back) or redo one step, with the selection and position it had.
    void StepHistory(bool back);
    // The Правка items name the edit they would undo or redo.
    void RefreshHistoryItems();
    EditMarks Marks() const;
    void ShowDocumentPane(bool showDocument);
    // What CloseDocument does after its question.
    void DiscardDocument();
    // A dropped file, once the drop itself has returned.
    void OpenDropped(const std::filesystem::path& name);
    // A file chosen without the open dialog (dropped, or from the recent files): one that cannot be
    // opened says why and keeps the sound; otherwise the save question, then the load.
    int OpenInPlace(const std::filesystem::path& name);
    void OpenRecent(const std::filesystem::path& name);
    // Reads the settings file, lets change alter what it holds and writes it back.
    void Remember(const std::function<void(RememberedState&)>& change);
    // Gives the engine the grid selection edges snap to: the MP3 frames' when the option is on.
    void RefreshSelectionGrid();
    // A file just opened or saved: first among the recent files, its folder the dialogs' start.
    void RememberFile(const std::filesystem::path& path);
    // The remembered folder when it is still there; empty otherwise.
    QString StartFolder() const;
    // An error box: text, then the reason on a line of its own; the same on stderr.
    void ShowFailure(const QString& text, const char* what, const QString& path, const std::string& reason);
    int RunTask(TaskMode mode);
    void ShowEditedPeaks();
    // Opens url through the prompts, or says that it could not.
    void OpenLink(const QUrl& url);
    void SetUpPlayback();
    // Stops playback, handing the device's notifications to the engine for a moment so that a device
    // that answers has closed on return. A load or a save may follow even when it has not: a stopping
    // engine never reads the sound again.
    void StopPlayback();
    // The X server reported the native window `window` destroyed; when it is this one, cancels the
    // load or save under way and ends the program.
    void NativeWindowDestroyed(WId window);
    // What keyPressEvent does with a key; false when it is not one of the window's.
    bool HandleKey(int key, Qt::KeyboardModifiers modifiers);
    // Moves the play position to frame; with extend, moves the selection's edge that sits at the
    // position (or starts a selection there) along with it.
    void MoveByKey(int64_t frame, bool extend);

    // «Задать выделение» (selection) or «Перейти к»: the dialog, then the edges or the position through
    // the snapping rule.
    void AskTimes(bool selection);
    // Sets the selection's start and end (a negative frame leaves that edge as it is) through the
    // snapping rule, and says in the status bar how far it moved them.
    void SetEdges(int64_t start, int64_t end);
    // «Граница привязана к кадру MP3: −39 мс» for the shifts that are not 0, in frames; nothing else.
    void ReportSnap(const std::vector<int64_t>& shifts);
    void ShowKeys();

    bool HasSound() const { return !document_.IsEmpty(); }
    uint32_t FrameCount() const { return document_.IsEmpty() ? 0 : document_.ActiveBuffer().FrameCount(); }

    Prompts prompts_;
    // Before the Document, which writes to it.
    std::unique_ptr<Session> session_;
    std::filesystem::path stateFolder_;
    Document document_;
    PlaybackEngine engine_;
    // Declared after the engine, so it is destroyed first: its thread never outlives the engine. It
    // copies every block it is given, so nothing of the engine is read once the window is gone.
    std::unique_ptr<WaveOutDevice> device_;
    CommandTable commands_;
    bool taskRunning_ = false;
    bool snapToFrames_ = true;  // «Привязать к кадрам MP3», as remembered
    QString settingsFile_;

    QToolBar* toolBar_ = nullptr;
    QMenu* fileMenu_ = nullptr;
    QAction* exitAction_ = nullptr;
    std::vector<QAction*> recentActions_;  // the recent files and the separator after them
    QStackedWidget* panes_ = nullptr;
    StartPanel* startPanel_ = nullptr;
    DocumentView* view_ = nullptr;
    StatusPanes* status_ = nullptr;
    DeviceEvents* deviceEvents_ = nullptr;
    KeysWindow* keysWindow_ = nullptr;  // made when first asked for, then kept
    QTimer* cursorTimer_ = nullptr;
    QMetaObject::Connection idleConnection_;
    bool windowGone_ = false;
    // Last, so it is gone before anything it reports to: its destructor removes it from the application.
    std::unique_ptr<QAbstractNativeEventFilter> destroyWatch_;
};

}  // namespace brindle
