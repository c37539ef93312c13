#include "app/main_frame.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <thread>

#include "app/app_texts.h"
#include "app/command_ids.h"
#include "app/device_events.h"
#include "app/document_view.h"
#include "app/edit_button_panel.h"
#include "app/keys_window.h"
#include "app/progress_window.h"
#include "app/start_panel.h"
#include "app/status_panes.h"
#include "app/times_dialog.h"
#include "app/web_links.h"
#include "playback/alsa_wave_out.h"
#include "view/time_format.h"
#include "view/waveform_view.h"

namespace brindle {
namespace {

// The X server tells a client that someone else destroyed its window (a window manager that crashed,
// "xdotool windowclose") only with DestroyNotify, and the xcb plugin passes that by without a word to
// the QWindow: no close, hide or surface event, and the widget still counts as shown. So the window
// watches the raw events for it. The layout is the X protocol's (xcb_destroy_notify_event_t).
class DestroyNotifyWatch final : public QAbstractNativeEventFilter {
public:
    explicit DestroyNotifyWatch(std::function<void(WId)> destroyed) : destroyed_(std::move(destroyed)) {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        struct DestroyNotify {
            uint8_t responseType;
            uint8_t pad;
            uint16_t sequence;
            uint32_t event;
            uint32_t window;
        };
        constexpr uint8_t kDestroyNotify = 17;
        if (eventType != "xcb_generic_event_t" || !message)
            return false;
        const auto* notify = static_cast<const DestroyNotify*>(message);
        // With the top bit set it would be a copy another client sent, not the server's word.
        if (notify->responseType == kDestroyNotify)
            destroyed_(WId(notify->window));
        return false;
    }

private:
    std::function<void(WId)> destroyed_;
};

QIcon ToolIcon(const char* name)
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/%1.png").arg(QLatin1String(name)), QSize(24, 24));
    icon.addFile(QStringLiteral(":/icons/%1@2x.png").arg(QLatin1String(name)), QSize(48, 48));
    return icon;
}

}  // namespace

MainFrame::MainFrame(Prompts prompts, QString settingsFile, QWidget* parent)
    : QMainWindow(parent), prompts_(std::move(prompts)), settingsFile_(std::move(settingsFile))
{
    snapToFrames_ = ReadRemembered(settingsFile_).snapToMp3Frames;
    setObjectName(QStringLiteral("MainFrame"));
    setWindowTitle(Texts::Caption());
    setWindowIcon(QIcon(QStringLiteral(":/brindle.png")));
    // An hour of stereo takes half a second to summarise: the load's worker does it, not this thread.
    document_.SetPreparesPeaks(true);

    BuildCommands();
    BuildMenus();
    BuildToolBar();

    panes_ = new QStackedWidget(this);
    startPanel_ = new StartPanel(panes_);
    view_ = new DocumentView(document_, engine_, panes_);
    panes_->addWidget(startPanel_);
    panes_->addWidget(view_);
    setCentralWidget(panes_);
    connect(startPanel_, &StartPanel::openRequested, this, [this] { commands_.Run(kCmdOpen); });
    connect(view_->EditPanel(), &EditButtonPanel::commandRequested, this, [this](int id) { commands_.Run(id); });
    // Mouse moves do not start the idle step: a drag refreshes the time read-outs itself.
    connect(view_, &DocumentView::selectionDragged, this, [this] { status_->UpdateTimes(document_, engine_); });
    connect(view_->Waveform(), &WaveformView::edgeSnapped, this, [this](qint64 shift) { ReportSnap({shift}); });
    ShowDocumentPane(false);

    status_ = new StatusPanes(*statusBar());
    statusBar()->setSizeGripEnabled(true);
    SetUpPlayback();

    // The first size is also the smallest: the layout below never has to squeeze.
    resize(kFirstWidth, kFirstHeight);
    setMinimumSize(kFirstWidth, kFirstHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(kFirstWidth / 2, kFirstHeight / 2));
    // Where the user left it. Qt checks the bytes and moves a window whose screen is gone onto one
    // that is there; anything it refuses leaves the first place.
    if (const QByteArray geometry = ReadRemembered(settingsFile_).geometry; !geometry.isEmpty())
        restoreGeometry(geometry);
    setAcceptDrops(true);

    destroyWatch_ = std::make_unique<DestroyNotifyWatch>([this](WId window) { NativeWindowDestroyed(window); });
    QCoreApplication::instance()->installNativeEventFilter(destroyWatch_.get());

#if QT_CONFIG(sessionmanager)
    // Qt does nothing of its own when the session ends; unanswered, the sound would go unasked.
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
        if (!QueryEndSession([&manager] { return manager.allowsInteraction(); }))
            manager.cancel();
    });
#endif

    // The idle step: whenever the event loop is about to wait, bring the window in step with the state.
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        idleConnection_ = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (!taskRunning_)
                RefreshUiState();
        });
    RefreshUiState();
}

MainFrame::~MainFrame()
{
    disconnect(idleConnection_);
    // Not a normal close (that ends the session first): what the sound holds is left for a recovery.
    if (session_)
        session_->Keep();
    // The device goes first, while everything it could still report to exists; its destructor ends
    // its thread (or leaves one stuck in a write behind, holding only the device's own copies).
    if (engine_.isOpen && !engine_.isStopping)
        engine_.Stop();
    engine_.AttachDevice(nullptr, nullptr);
    device_.reset();
}

EditButtonPanel* MainFrame::EditPanel() const { return view_->EditPanel(); }

bool MainFrame::IsShowingDocument() const { return panes_->currentWidget() == view_; }

void MainFrame::SetUpPlayback()
{
    deviceEvents_ = new DeviceEvents(engine_, this);
    cursorTimer_ = new QTimer(this);
    cursorTimer_->setObjectName(QStringLiteral("cursorTimer"));
    connect(cursorTimer_, &QTimer::timeout, this, [this] {
        if (engine_.IsCursorTimerActive() && !engine_.isPaused)
            view_->Waveform()->RepaintCursor();
    });
    engine_.SetSoundSource([this]() -> const ChannelSet* {
        return document_.IsEmpty() ? nullptr : &document_.ActiveBuffer().channels;
    });
    PlaybackEngine::Hooks hooks;
    // Zoomed, the cursor crosses a pixel sooner: its period is that of the whole sound at this zoom.
    hooks.waveformWidth = [this] { return view_->Waveform()->WidthAcrossSound(); };
    connect(view_->Waveform(), &WaveformView::visibleRangeChanged, this, [this] {
        if (engine_.isOpen && engine_.IsCursorTimerActive())
            engine_.RestartCursorTimer();
    });
    hooks.startCursorTimer = [this](int period) { cursorTimer_->start(std::max(period, 10)); };
    hooks.stopCursorTimer = [this] { cursorTimer_->stop(); };
    hooks.repaintWaveform = [this] { view_->Waveform()->RepaintNow(); };
    engine_.SetHooks(std::move(hooks));
    SetOutputDevice(std::make_unique<AlsaWaveOut>());
}

void MainFrame::SetOutputDevice(std::unique_ptr<WaveOutDevice> device)
{
    StopPlayback();
    std::unique_ptr<WaveOutDevice> old = std::move(device_);
    engine_.AttachDevice(device.get(), deviceEvents_);
    device_ = std::move(device);
    // A device too slow to close in time posts nothing once it is gone: what it posted before goes
    // to the engine now, and its "closed", which will never come, is taken as given.
    old.reset();
    deviceEvents_->DeliverPosted();
    if (engine_.isOpen)
        engine_.OnDeviceClose();
}

void MainFrame::BuildCommands()
{
    // While a load or save runs its worker owns the Document: no command may touch it.
    auto idle = [this] { return !taskRunning_; };
    auto has = [this] { return !taskRunning_ && HasSound(); };
    commands_.Add(kCmdOpen, [this] { Open(); }).canRun = idle;
    commands_.Add(kCmdSave, [this] { Save(); }).canRun = [this] {
        return !taskRunning_ && HasSound() && document_.Modified();
    };
    commands_.Add(kCmdSaveAs, [this] { SaveAs(); }).canRun = has;
    commands_.Add(kCmdClose, [this] {
        if (!CloseDocument())
            return;
        engine_.Clear();
        RefreshUiState();
    }).canRun = has;
    commands_.Add(kCmdExit, [this] { close(); }).canRun = idle;

    // A device still closing after a stop cannot start again until it has closed.
    Command& play = commands_.Add(kCmdPlay, [this] {
        if (engine_.Play() || !device_ || engine_.isOpen)
            return;
        // No device took the sound: say so, rather than sit there as if playing had begun.
        const std::string reason = device_->OpenFailure();
        if (!reason.empty() && prompts_.showError)
            prompts_.showError(this, Texts::DeviceFailed(QString::fromStdString(reason)));
    });
    play.canRun = [this] { return !taskRunning_ && HasSound() && !(engine_.isOpen && engine_.isStopping); };
    // Play and Pause share one place on the toolbar.
    play.isVisible = [this] { return !(HasSound() && engine_.isOpen && !engine_.isPaused); };
    Command& pause = commands_.Add(kCmdPause, [this] { engine_.Pause(); });
    pause.canRun = [this] { return HasSound() && engine_.isOpen && !engine_.isPaused && !engine_.isStopping; };
    pause.isVisible = [this] { return HasSound() && engine_.isOpen && !engine_.isPaused; };
    commands_.Add(kCmdStop, [this] { engine_.Stop(); }).canRun = [this] {
        return HasSound() && engine_.isOpen && !engine_.isStopping;
    };
    // A mode of playing, not an action on the sound: it may change at any time, playing or not.
    commands_.Add(kCmdLoopSelection, [this] {
        const int32_t position = engine_.GetPosition();
        engine_.loop = !engine_.loop;
        commands_.Find(kCmdLoopSelection)->menuAction->setChecked(engine_.loop);
        // The blocks in flight were filled for the old mode: the run goes on from where it is now.
        if (engine_.isOpen && !engine_.isStopping)
            engine_.StartAt(position);
    });

    auto selection = [this](auto change) {
        return [this, change] {
            change();
            view_->Refresh(false);
        };
    };
    commands_.Add(kCmdSetStart, selection([this] { SetEdges(engine_.GetPosition(), -1); }))
        .canRun = has;
    commands_.Add(kCmdSetEnd, selection([this] { SetEdges(-1, engine_.GetPosition()); }))
        .canRun = has;
    commands_.Add(kCmdSelectAll, selection([this] { engine_.SelectAll(FrameCount()); })).canRun = has;
    commands_.Add(kCmdSetSelection, [this] { AskTimes(true); }).canRun = has;
    commands_.Add(kCmdGoTo, [this] { AskTimes(false); }).canRun = has;
    commands_.Add(kCmdDeselect, selection([this] { engine_.Deselect(); })).canRun = [this] {
        return !taskRunning_ && HasSound() && (engine_.selectionStart != -1 || engine_.selectionEnd != -1);
    };
    // A preference, not an action on the sound: it may change at any time, and only later edges move.
    commands_.Add(kCmdSnapToFrames, [this] {
        snapToFrames_ = !snapToFrames_;
        if (QAction* action = commands_.Find(kCmdSnapToFrames)->menuAction)
            action->setChecked(snapToFrames_);
        Remember([this](RememberedState& state) { state.snapToMp3Frames = snapToFrames_; });
        RefreshSelectionGrid();
    });

    // Zoom and scroll read the samples of the visible range: never while a task owns the Document.
    auto zoom = [this](int steps) {
        return [this, steps] { view_->Waveform()->ZoomAtFrame(steps, engine_.GetPosition()); };
    };
    commands_.Add(kCmdZoomIn, zoom(1)).canRun = has;
    commands_.Add(kCmdZoomOut, zoom(-1)).canRun = has;
    commands_.Add(kCmdZoomWhole, [this] { view_->Waveform()->ShowWholeSound(); }).canRun = [this] {
        return !taskRunning_ && HasSound() && (view_->Waveform()->IsZoomed() || view_->Waveform()->VerticalZoom() > 0);
    };
    // The picture's height alone: the peaks are not read again, so no rule about tasks.
    commands_.Add(kCmdZoomInVertical, [this] { view_->Waveform()->ZoomVertically(1); }).canRun = [this] {
        return HasSound() && view_->Waveform()->VerticalZoom() < WaveformView::kMaxVerticalZoom;
    };
    commands_.Add(kCmdZoomOutVertical, [this] { view_->Waveform()->ZoomVertically(-1); }).canRun = [this] {
        return HasSound() && view_->Waveform()->VerticalZoom() > 0;
    };

    commands_.Add(kCmdKeys, [this] { ShowKeys(); });
    commands_.Add(kCmdSite, [this] { OpenLink(SiteUrl(true)); });
    commands_.Add(kCmdTessaly, [this] { OpenLink(TessalyUrl(true)); });
    commands_.Add(kCmdAbout, [this] {
        if (prompts_.showAbout)
            prompts_.showAbout(this, [this](const QUrl& url) { OpenLink(url); });
    });

    // The edits: a sound, no playback (the device was opened for the sound as it is), no task.
    auto ready = [this] { return !taskRunning_ && HasSound() && !engine_.isOpen; };
    for (int id = kCmdDeleteSelected; id <= kCmdToStereo; ++id)
        commands_.Add(id, [this, id] { RunEditCommand(id); }).canRun = ready;
    auto partial = [this, ready] { return ready() && engine_.IsPartialSelection(FrameCount()); };
    commands_.Find(kCmdDeleteSelected)->canRun = partial;
    commands_.Find(kCmdDeleteUnselected)->canRun = partial;
    commands_.Find(kCmdToMono)->canRun = [this, ready] { return ready() && document_.CanConvertToMono(); };
    commands_.Find(kCmdToStereo)->canRun = [this, ready] { return ready() && document_.CanConvertToStereo(); };
    // The clipboard: copying reads only the piece lists, so it may go on while the sound plays.
    commands_.Add(kCmdCopy, [this] {
        if (engine_.HasSelection() && document_.CopyToClip(engine_.selectionStart, engine_.selectionEnd))
            RefreshUiState();
    }).canRun = [this, has] { return has() && engine_.HasSelection(); };
    commands_.Add(kCmdCut, [this] { RunEditCommand(kCmdCut); }).canRun = partial;
    commands_.Add(kCmdPaste, [this] { RunEditCommand(kCmdPaste); }).canRun = [this, ready] {
        return ready() && document_.HasClip();
    };
    commands_.Add(kCmdInsertSilence, [this] { RunEditCommand(kCmdInsertSilence); }).canRun = ready;
    // Measuring reads the sound on the worker, as an edit does, under the same rule.
    commands_.Add(kCmdNormalizeLoudness, [this] { NormalizeLoudness(); }).canRun = ready;
    commands_.Add(kCmdSoundProperties, [this] { ShowSoundProperties(); }).canRun = ready;
    // Undo and redo change the sound as an edit does, under the same rule.
    commands_.Add(kCmdUndo, [this] { StepHistory(true); }).canRun = [this, ready] {
        return ready() && document_.History().CanUndo();
    };
    commands_.Add(kCmdRedo, [this] { StepHistory(false); }).canRun = [this, ready] {
        return ready() && document_.History().CanRedo();
    };
}

void MainFrame::BuildMenus()
{
    struct Item {
        int id;  // 0: a separator
        const char* text;
        QKeySequence shortcut;
    };
    struct Popup {
        const char* title;
        std::vector<Item> items;
    };
    const Popup popups[] = {
        {QT_TR_NOOP("&Файл"),
         {{kCmdOpen, QT_TR_NOOP("Открыть..."), QKeySequence(Qt::CTRL | Qt::Key_O)},
          {kCmdClose, QT_TR_NOOP("Закрыть"), QKeySequence(Qt::CTRL | Qt::Key_W)},
          {0, nullptr, {}},
          {kCmdSave, QT_TR_NOOP("Сохранить"), QKeySequence(Qt::CTRL | Qt::Key_S)},
          {kCmdSaveAs, QT_TR_NOOP("Сохранить как..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)},
          {0, nullptr, {}},
          {kCmdSoundProperties, QT_TR_NOOP("Сведения о звуке"), {}},
          {0, nullptr, {}},
          {kCmdExit, QT_TR_NOOP("Выход"), QKeySequence(Qt::CTRL | Qt::Key_Q)}}},
        // Delete is the window's own key, like Space.
        {QT_TR_NOOP("&Правка"),
         {{kCmdUndo, QT_TR_NOOP("Отменить действие"), QKeySequence(Qt::CTRL | Qt::Key_Z)},
          {kCmdRedo, QT_TR_NOOP("Повторить действие"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)},
          {0, nullptr, {}},
          {kCmdCut, QT_TR_NOOP("Вырезать"), QKeySequence(Qt::CTRL | Qt::Key_X)},
          {kCmdCopy, QT_TR_NOOP("Копировать"), QKeySequence(Qt::CTRL | Qt::Key_C)},
          {kCmdPaste, QT_TR_NOOP("Вставить"), QKeySequence(Qt::CTRL | Qt::Key_V)},
          {kCmdDeleteSelected, QT_TR_NOOP("&Удалить выбранное\tDel"), {}},
          {kCmdDeleteUnselected, QT_TR_NOOP("Удалить &НЕвыбранное"), {}}}},
        // Space and Esc are the window's own keys (keyPressEvent), shown beside their items: as real
        // shortcuts they would take Space from a button that has the focus, and Esc only deselects.
        {QT_TR_NOOP("&Воспроизвести"),
         {{kCmdPlay, QT_TR_NOOP("Воспроизведение\tSpace"), {}},
          {kCmdPause, QT_TR_NOOP("Пауза\tSpace"), {}},
          {kCmdStop, QT_TR_NOOP("Стоп"), {}},
          {0, nullptr, {}},
          {kCmdLoopSelection, QT_TR_NOOP("Повторять выделение"), QKeySequence(Qt::Key_L)}}},
        {QT_TR_NOOP("В&ыбор"),
         {{kCmdSetStart, QT_TR_NOOP("Установить Начало"), {}},
          {kCmdSetEnd, QT_TR_NOOP("Установить Конец"), {}},
          {kCmdSelectAll, QT_TR_NOOP("Выбрать всё"), QKeySequence(Qt::CTRL | Qt::Key_A)},
          {kCmdDeselect, QT_TR_NOOP("Снять выделение\tEsc"), {}},
          {0, nullptr, {}},
          {kCmdSetSelection, QT_TR_NOOP("Задать выделение…"), QKeySequence(Qt::CTRL | Qt::Key_E)},
          {kCmdGoTo, QT_TR_NOOP("Перейти к…"), QKeySequence(Qt::CTRL | Qt::Key_G)},
          {0, nullptr, {}},
          {kCmdSnapToFrames, QT_TR_NOOP("Привязать к кадрам MP3"), {}}}},
        {QT_TR_NOOP("Ви&д"),
         {{kCmdZoomIn, QT_TR_NOOP("Увеличить"), QKeySequence(Qt::CTRL | Qt::Key_Equal)},
          {kCmdZoomOut, QT_TR_NOOP("Уменьшить"), QKeySequence(Qt::CTRL | Qt::Key_Minus)},
          {0, nullptr, {}},
          {kCmdZoomInVertical, QT_TR_NOOP("Увеличить по вертикали"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Up)},
          {kCmdZoomOutVertical, QT_TR_NOOP("Уменьшить по вертикали"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Down)},
          {0, nullptr, {}},
          {kCmdZoomWhole, QT_TR_NOOP("Весь файл"), QKeySequence(Qt::CTRL | Qt::Key_0)}}},
        // The edits that change the sound, by their buttons' names; the deletes are in Правка. A new
        // edit joins by one line here (and its command in BuildCommands).
        {QT_TR_NOOP("&Эффекты"),
         {{kCmdChangeVolume, QT_TR_NOOP("&Изменить громкость..."), {}},
          {kCmdIncreaseVolume, QT_TR_NOOP("&Увеличить громкость"), {}},
          {kCmdFadeIn, QT_TR_NOOP("&Возрастание"), {}},
          {kCmdFadeOut, QT_TR_NOOP("&Затухание"), {}},
          {kCmdToMono, QT_TR_NOOP("Конвертировать в &Моно"), {}},
          {kCmdToStereo, QT_TR_NOOP("Convert to &Stereo"), {}},
          {0, nullptr, {}},
          {kCmdInsertSilence, QT_TR_NOOP("Вставить &тишину..."), {}},
          {kCmdNormalizeLoudness, QT_TR_NOOP("&Нормализовать громкость..."), {}}}},
        {QT_TR_NOOP("&Инструменты"), {{kCmdTessaly, QT_TR_NOOP("Tessaly"), {}}}},
        {QT_TR_NOOP("&Справка"),
         {{kCmdKeys, QT_TR_NOOP("Клавиши"), QKeySequence(Qt::Key_F1)},
          {kCmdSite, QT_TR_NOOP("Сайт"), {}},
          {0, nullptr, {}},
          {kCmdAbout, QT_TR_NOOP("О программе"), {}}}},
    };
    for (const Popup& popup : popups) {
        QMenu* menu = menuBar()->addMenu(tr(popup.title));
        if (!fileMenu_)
            fileMenu_ = menu;
        menu->setAccessibleName(tr(popup.title).remove(QLatin1Char('&')));
        for (const Item& item : popup.items) {
            if (item.id == 0) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(tr(item.text));
            action->setShortcut(item.shortcut);
            action->setStatusTip(CommandPrompt(item.id));
            const int id = item.id;
            connect(action, &QAction::triggered, this, [this, id] { commands_.Run(id); });
            commands_.Find(id)->menuAction = action;
            if (id == kCmdExit)
                exitAction_ = action;
            if (id == kCmdRedo)
                action->setShortcuts({item.shortcut, QKeySequence(Qt::CTRL | Qt::Key_Y)});
        }
    }
    // Ctrl+= is shown; Ctrl++ (the same key with Shift on most layouts) and the keypad's keys also zoom.
    commands_.Find(kCmdZoomIn)->menuAction->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Equal), QKeySequence(Qt::CTRL | Qt::Key_Plus),
         QKeySequence(Qt::ControlModifier | Qt::KeypadModifier | Qt::Key_Plus)});
    commands_.Find(kCmdZoomOut)->menuAction->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Minus), QKeySequence(Qt::ControlModifier | Qt::KeypadModifier | Qt::Key_Minus)});
    QAction* loop = commands_.Find(kCmdLoopSelection)->menuAction;
    loop->setCheckable(true);
    loop->setChecked(engine_.loop);
    QAction* snap = commands_.Find(kCmdSnapToFrames)->menuAction;
    snap->setCheckable(true);
    snap->setChecked(snapToFrames_);
    connect(fileMenu_, &QMenu::aboutToShow, this, &MainFrame::RefreshRecentMenu);
    RefreshRecentMenu();
}

void MainFrame::RefreshRecentMenu()
{
    // One of these may be the action being triggered right now.
    for (QAction* action : recentActions_) {
        fileMenu_->removeAction(action);
        action->deleteLater();
    }
    recentActions_.clear();
    const std::vector<std::filesystem::path> recent = ReadRemembered(settingsFile_).recent;
    for (size_t i = 0; i < recent.size(); ++i) {
        const std::filesystem::path path = recent[i];
        const QString shown = QString::fromStdString(path.string());
        const QString number = i < 9 ? QStringLiteral("&%1").arg(i + 1) : QStringLiteral("1&0");
        QString text = shown;
        auto* action = new QAction(number + QLatin1Char(' ') + text.replace(QLatin1Char('&'), QStringLiteral("&&")),
                                   fileMenu_);
        action->setStatusTip(shown);
        connect(action, &QAction::triggered, this, [this, path] { OpenRecent(path); });
        fileMenu_->insertAction(exitAction_, action);
        recentActions_.push_back(action);
    }
    if (!recentActions_.empty())
        recentActions_.push_back(fileMenu_->insertSeparator(exitAction_));
}

void MainFrame::BuildToolBar()
{
    toolBar_ = new QToolBar(tr("Панель инструментов"), this);
    toolBar_->setObjectName(QStringLiteral("VeMainBar"));
    toolBar_->setAccessibleName(toolBar_->windowTitle());
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(24, 24));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar_->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, toolBar_);

    struct Button {
        int id;  // 0: a separator
        const char* icon;
        const char* label;  // shown beside the icon; null for an icon alone
    };
    static constexpr Button kButtons[] = {
        {kCmdOpen, "open", nullptr},
        {kCmdSave, "save", nullptr},
        {0, nullptr, nullptr},
        {kCmdPlay, "play", nullptr},
        {kCmdPause, "pause", nullptr},
        {kCmdStop, "stop", nullptr},
        {0, nullptr, nullptr},
        {kCmdSetStart, "set-start", QT_TR_NOOP("Начало")},
        {kCmdSetEnd, "set-end", QT_TR_NOOP("Конец")},
        {kCmdSelectAll, "select-all", QT_TR_NOOP("Весь трек")},
        {kCmdDeselect, "deselect", QT_TR_NOOP("Снять выделение")},
        {0, nullptr, nullptr},
        {kCmdZoomWhole, "zoom-whole", nullptr},
        {0, nullptr, nullptr},
        {kCmdSite, "site", nullptr},
    };
    for (const Button& button : kButtons) {
        if (button.id == 0) {
            toolBar_->addSeparator();
            continue;
        }
        const QString tooltip = CommandTooltip(button.id);
        QAction* action = toolBar_->addAction(ToolIcon(button.icon), tooltip);
        if (button.label)
            action->setIconText(tr(button.label));
        action->setToolTip(tooltip);
        action->setStatusTip(CommandPrompt(button.id));
        const int id = button.id;
        connect(action, &QAction::triggered, this, [this, id] { commands_.Run(id); });
        commands_.Find(id)->toolAction = action;
        if (auto* widget = qobject_cast<QToolButton*>(toolBar_->widgetForAction(action))) {
            widget->setAccessibleName(tooltip);
            widget->setObjectName(QStringLiteral("tool%1").arg(id));
            if (button.label)
                widget->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        }
    }
}

void MainFrame::RefreshSelectionGrid()
{
    // The grid walks the piece lists, which the worker may be changing during a task.
    if (taskRunning_)
        return;
    const auto grid = snapToFrames_ ? document_.Mp3FrameGrid() : std::nullopt;
    engine_.SetSelectionGrid(grid ? grid->step : 0, grid ? grid->phase : 0);
    view_->Waveform()->SetFrameGrid(grid ? grid->step : 0, grid ? grid->phase : 0);
}

void MainFrame::RefreshUiState()
{
    RefreshSelectionGrid();
    UpdateTitle();
    RefreshHistoryItems();
    commands_.Refresh();
    RefreshEditPanel();
    status_->UpdateTimes(document_, engine_);
}

void MainFrame::RefreshEditPanel()
{
    EditButtonPanel* panel = view_->EditPanel();
    for (int id = kCmdDeleteSelected; id <= kCmdToStereo; ++id)
        panel->SetButtonEnabled(id, commands_.CanRun(id));
}

int MainFrame::MeasureLoudness(int64_t start, int64_t end)
{
    document_.SetPendingMeasure(start, end);
    const int result = RunTask(TaskMode::Measure);
    if (result == 3) {
        const FailureReason& reason = document_.LastFailure();
        ShowFailure(Texts::MeasureFailed(), "cannot measure", QString::fromStdString(document_.DisplayName()),
                    reason.IsSet() ? reason.text : "reason unknown");
    }
    RefreshUiState();
    return result == 1;
}

void MainFrame::NormalizeLoudness()
{
    if (!commands_.CanRun(kCmdNormalizeLoudness))
        return;
    const bool selected = engine_.HasSelection();
    if (!MeasureLoudness(selected ? engine_.selectionStart : -1, selected ? engine_.selectionEnd : -1))
        return;
    const LoudnessFigures measured = document_.Measured();
    if (!std::isfinite(measured.integratedLufs)) {
        if (prompts_.showError)
            prompts_.showError(this, Texts::TooQuietToMeasure());
        return;
    }
    const std::optional<double> gain = prompts_.askLoudness ? prompts_.askLoudness(this, measured) : std::nullopt;
    if (!gain)
        return;
    repaint();
    // One gain over the range measured, through the volume edit.
    RunEditCommand(kCmdChangeVolume, GainPercent(*gain));
}

void MainFrame::ShowSoundProperties()
{
    if (!commands_.CanRun(kCmdSoundProperties) || !MeasureLoudness(-1, -1))
        return;
    const LoudnessFigures& m = document_.Measured();
    const SoundBuffer& sound = document_.ActiveBuffer();
    static const char* const kKinds[] = {"MP3", "WAV", "FLAC", "Ogg", "Opus"};
    const int kind = int(document_.Kind());
    auto figure = [](double value, const char* unit) {
        return (std::isfinite(value) ? QString::number(value, 'f', 1) : QStringLiteral("-∞")) + QLatin1Char(' ') +
               QLatin1String(unit);
    };
    const PropertyRows rows = {
        {Texts::PropertyFormat(),
         Texts::FormatText(QLatin1String(kind >= 0 && kind < 5 ? kKinds[kind] : "?"), sound.format.bitsPerSample,
                           sound.channels.SampleRate(), sound.channels.ChannelCount())},
        {Texts::PropertyLength(), QString::fromStdString(FormatTime(sound.DurationSeconds() * 1000.0))},
        {Texts::PropertyPeak(), figure(m.samplePeakDbfs, "dBFS")},
        {Texts::PropertyLoudness(), figure(m.integratedLufs, "LUFS")},
        {Texts::PropertyRange(), figure(m.rangeLu, "LU")},
        {Texts::PropertyTruePeak(), figure(m.truePeakDbfs, "dBFS")},
    };
    if (prompts_.showProperties)
        prompts_.showProperties(this, rows);
}

void MainFrame::RunEditCommand(int id, std::optional<int> presetPercent)
{
    if (!commands_.CanRun(id))
        return;
    const bool deleting = id == kCmdDeleteSelected || id == kCmdDeleteUnselected;

    int percent = 100;
    uint32_t silence = 0;
    if (presetPercent) {
        percent = *presetPercent;
    } else if (id == kCmdInsertSilence) {
        const std::optional<double> seconds = prompts_.askSilence ? prompts_.askSilence(this) : std::nullopt;
        if (!seconds)
            return;
        const double frames = std::floor(*seconds * document_.ActiveBuffer().channels.SampleRate() + 0.5);
        if (!(frames >= 1 && frames <= double(kMaxStoredSamples)))
            return;
        silence = uint32_t(frames);
        repaint();
    } else if (id == kCmdChangeVolume) {
        const std::optional<int> answer = prompts_.askVolume ? prompts_.askVolume(this) : std::nullopt;
        if (!answer || *answer == 100)
            return;
        percent = *answer;
        repaint();
    } else if (id == kCmdToStereo) {
        if (!prompts_.askStereo || prompts_.askStereo(this, [this](const QUrl& url) { OpenLink(url); }) != 1)
            return;
        repaint();
    }
    // The dialog ran an event loop of its own: playing may have started meanwhile.
    if (!commands_.CanRun(id))
        return;

    const bool selected = engine_.HasSelection();
    const EditMarks before = Marks();
    Document::EditRequest request;
    request.start = selected ? engine_.selectionStart : -1;
    request.end = selected ? engine_.selectionEnd : -1;
    request.percent = percent;
    request.frames = silence;
    // What goes in replaces the selection, or goes in at the play position.
    const bool inserting = id == kCmdPaste || id == kCmdInsertSilence;
    if (inserting && !selected)
        request.start = request.end = std::clamp<int64_t>(engine_.GetPosition(), 0, FrameCount());
    const uint32_t framesBefore = FrameCount();
    const uint32_t clipRate = document_.HasClip() ? document_.Clip().channels.SampleRate() : 0;
    const uint32_t soundRate = document_.ActiveBuffer().channels.SampleRate();
    if (id == kCmdCut && !document_.CopyToClip(request.start, request.end))
        return;
    switch (id) {
    case kCmdDeleteSelected: request.kind = EditKind::DeleteSelected; break;
    case kCmdDeleteUnselected: request.kind = EditKind::DeleteUnselected; break;
    case kCmdFadeIn: request.kind = EditKind::FadeIn; break;
    case kCmdFadeOut: request.kind = EditKind::FadeOut; break;
    case kCmdChangeVolume: request.kind = EditKind::ChangeVolume; break;
    case kCmdIncreaseVolume: request.kind = EditKind::IncreaseVolume; break;
    case kCmdToMono: request.kind = EditKind::ToMono; break;
    case kCmdToStereo: request.kind = EditKind::ToStereo; break;
    case kCmdCut: request.kind = EditKind::Cut; break;
    case kCmdPaste: request.kind = EditKind::Paste; break;
    case kCmdInsertSilence: request.kind = EditKind::InsertSilence; break;
    default: return;
    }
    // The worker prepares the edited sound beside the sound; only a finished edit replaces it, here.
    document_.SetPendingEdit(request);
    const int result = RunTask(TaskMode::Edit);
    if (result != 1) {
        document_.DropPreparedEdit();
        // A cancel can come after the worker journalled the edit: the journal goes back to the sound.
        if (result == 2 && document_.GetSession()) {
            document_.SetPendingStep(0);
            RunTask(TaskMode::Journal);
        }
        if (result != 2) {
            // The sound is as it was; the user must hear why, not find out later.
            const QString name = QString::fromStdString(document_.DisplayName());
            const FailureReason& reason = document_.LastFailure();
            ShowFailure(Texts::EditFailed(), "cannot change", name, reason.IsSet() ? reason.text : "reason unknown");
        }
        view_->Refresh(true);
        RefreshUiState();
        return;
    }
    document_.CommitEdit(before);
    if (deleting || id == kCmdCut) {
        engine_.Clear();
        if (id != kCmdDeleteUnselected)
            engine_.SetPosition(before.selectionStart, FrameCount());
    } else if (inserting) {
        // What went in is selected, so that it can be heard, moved on or undone at a glance.
        const uint32_t frames = FrameCount();
        const int64_t inserted = int64_t(frames) - (int64_t(framesBefore) - (request.end - request.start));
        engine_.Clear();
        engine_.SetSelectionStart(request.start, frames);
        engine_.SetSelectionEnd(request.start + inserted, frames);
        engine_.SetPosition(request.start, frames);
        if (id == kCmdPaste && clipRate != soundRate)
            status_->ShowTimedMessage(Texts::PasteResampled(clipRate, soundRate), 4000);
    }
    document_.SetMarksAfterEdit(Marks());
    ShowEditedPeaks();
    view_->Refresh(true);
    RefreshUiState();
}

void MainFrame::ShowEditedPeaks()
{
    // The edit is the sound (and undoable) already; a fade's picture needs its range read once, on
    // the worker, and shows when that is done.
    if (document_.NeedsPeaks())
        RunTask(TaskMode::Peaks);
}

EditMarks MainFrame::Marks() const
{
    return {engine_.selectionStart, engine_.selectionEnd, engine_.GetPosition()};
}

void MainFrame::StepHistory(bool back)
{
    if (!commands_.CanRun(back ? kCmdUndo : kCmdRedo))
        return;
    // The journal first, on the worker: a crash after the step is shown must not bring it back undone.
    if (document_.GetSession()) {
        document_.SetPendingStep(back ? -1 : 1);
        RunTask(TaskMode::Journal);
    }
    EditMarks marks;
    if (!(back ? document_.Undo(marks) : document_.Redo(marks)))
        return;
    // The sound's length may have changed: the marks it had are set against it.
    const uint32_t frames = FrameCount();
    engine_.Clear();
    if (marks.selectionStart >= 0 && marks.selectionStart < marks.selectionEnd) {
        engine_.SetSelectionStart(marks.selectionStart, frames);
        engine_.SetSelectionEnd(marks.selectionEnd, frames);
    }
    engine_.SetPosition(marks.position, frames);
    ShowEditedPeaks();
    view_->Refresh(true);
    RefreshUiState();
}

void MainFrame::RefreshHistoryItems()
{
    const EditHistory& history = document_.History();
    if (Command* undo = commands_.Find(kCmdUndo); undo && undo->menuAction)
        undo->menuAction->setText(Texts::UndoItem(history.CanUndo() ? Texts::EditName(history.UndoStep().request.kind) : QString()));
    if (Command* redo = commands_.Find(kCmdRedo); redo && redo->menuAction)
        redo->menuAction->setText(Texts::RedoItem(history.CanRedo() ? Texts::EditName(history.RedoStep().request.kind) : QString()));
}

void MainFrame::ShowDocumentPane(bool showDocument)
{
    QWidget* pane = showDocument ? static_cast<QWidget*>(view_) : startPanel_;
    if (panes_->currentWidget() != pane) {
        panes_->setCurrentWidget(pane);
        setFocusProxy(pane);
        view_->update();
    }
}

void MainFrame::OpenLink(const QUrl& url)
{
    // A link clicked in a modal dialog tells its failure over that dialog.
    QWidget* owner = QApplication::activeModalWidget();
    brindle::OpenLink(prompts_, owner ? owner : this, url);
}

void MainFrame::StopPlayback()
{
    // A "closed" already posted (the sound ended) must count before anything is decided.
    deviceEvents_->DeliverPosted();
    if (!engine_.isOpen)
        return;
    if (!engine_.isStopping)
        engine_.Stop();
    // The reset hands the blocks back at once and the close follows from their return, so a device
    // that answers closes within a few milliseconds. One that does not (a stalled sound server) is
    // left to close on its own: a stopping engine never reads the sound again, so whatever follows is
    // safe, and the window does not wait for the device.
    for (int round = 0; engine_.isOpen && round < 100; ++round) {
        deviceEvents_->DeliverPosted();
        if (engine_.isOpen)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void MainFrame::NativeWindowDestroyed(WId window)
{
    if (windowGone_ || window == 0 || window != internalWinId())
        return;
    windowGone_ = true;
    // Nothing can be shown or asked any more. A load or save under way is cancelled (a cancelled save
    // leaves the file as it was) and the program ends as after a close.
    if (auto* progress = findChild<ProgressWindow*>())
        progress->reject();
    emit closed();
}

void MainFrame::AskTimes(bool selection)
{
    const uint32_t frames = FrameCount();
    const int64_t position = engine_.GetPosition();
    // Without a selection the dialog offers the position to the end: one field typed is a selection.
    const int64_t start = engine_.HasSelection() ? engine_.selectionStart : position;
    const int64_t end = engine_.HasSelection() ? engine_.selectionEnd : frames;
    TimesDialog dialog(selection, start, end, frames, document_.ActiveBuffer().channels.SampleRate(), this);
    if (dialog.exec() != QDialog::Accepted || !commands_.CanRun(selection ? kCmdSetSelection : kCmdGoTo))
        return;
    if (selection) {
        engine_.Deselect();
        SetEdges(dialog.Start(), dialog.End());
        engine_.SetPosition(engine_.HasSelection() ? engine_.selectionStart : dialog.Start(), frames);
    } else {
        const int64_t snapped = engine_.Snapped(dialog.Start(), frames);
        ReportSnap({snapped - dialog.Start()});
        engine_.SetPosition(snapped, frames);
    }
    view_->Waveform()->RevealFrame(engine_.GetPosition());
    view_->Refresh(false);
    RefreshUiState();
}

void MainFrame::SetEdges(int64_t start, int64_t end)
{
    const uint32_t frames = FrameCount();
    std::vector<int64_t> shifts;
    if (start >= 0) {
        shifts.push_back(engine_.Snapped(start, frames) - start);
        engine_.SetSelectionStart(start, frames);
    }
    if (end >= 0) {
        shifts.push_back(engine_.Snapped(end, frames) - end);
        engine_.SetSelectionEnd(end, frames);
    }
    ReportSnap(shifts);
}

void MainFrame::ReportSnap(const std::vector<int64_t>& shifts)
{
    const uint32_t rate = HasSound() ? document_.ActiveBuffer().channels.SampleRate() : 0;
    QStringList texts;
    for (int64_t shift : shifts) {
        if (shift == 0 || rate == 0)
            continue;
        const long long ms = std::llround(double(shift) * 1000.0 / rate);
        // The typographic minus, as the window writes times counted back.
        texts << (ms < 0 ? QStringLiteral("\u2212%1").arg(-ms) : QStringLiteral("+%1").arg(ms));
    }
    if (!texts.isEmpty())
        status_->ShowTimedMessage(Texts::SnappedEdges(texts), kSnapMessageMs);
}

void MainFrame::ShowKeys()
{
    if (!keysWindow_)
        keysWindow_ = new KeysWindow(*menuBar(), this);
    keysWindow_->show();
    keysWindow_->raise();
    keysWindow_->activateWindow();
}

void MainFrame::keyPressEvent(QKeyEvent* event)
{
    if (HandleKey(event->key(), event->modifiers()))
        event->accept();
    else
        QMainWindow::keyPressEvent(event);
}

bool MainFrame::HandleKey(int key, Qt::KeyboardModifiers modifiers)
{
    if (taskRunning_ || !HasSound() || !IsShowingDocument())
        return false;
    if (modifiers & ~(Qt::ShiftModifier | Qt::KeypadModifier))
        return false;
    const bool shift = modifiers & Qt::ShiftModifier;
    const int64_t position = engine_.GetPosition();
    switch (key) {
    case Qt::Key_Space: {
        const bool playing = engine_.isOpen && !engine_.isPaused && !engine_.isStopping;
        commands_.Run(playing ? kCmdPause : kCmdPlay);
        return true;
    }
    case Qt::Key_Home: MoveByKey(0, shift); return true;
    case Qt::Key_End: MoveByKey(FrameCount(), shift); return true;
    case Qt::Key_Left:
    case Qt::Key_Right: {
        // One column of the waveform, and never less than a frame: the cursor visibly moves.
        const int step = key == Qt::Key_Left ? -1 : 1;
        const WaveformView* waveform = view_->Waveform();
        const int x = waveform->FrameToPixel(position);
        // A position scrolled out of a zoomed view moves by a column's worth of frames, not onto the view.
        const int64_t perColumn = waveform->VisibleRange().count / std::max(waveform->width(), 1);
        int64_t frame = x >= 0 && x <= waveform->width() ? waveform->PixelToFrame(x + step)
                                                         : position + step * std::max<int64_t>(perColumn, 1);
        if (frame == position || (frame - position) * step < 0)
            frame = position + step;
        MoveByKey(std::clamp<int64_t>(frame, 0, FrameCount()), shift);
        return true;
    }
    case Qt::Key_Delete:
        if (shift)
            return false;
        commands_.Run(kCmdDeleteSelected);
        return true;
    case Qt::Key_Escape:
        if (shift)
            return false;
        if (commands_.CanRun(kCmdStop))
            commands_.Run(kCmdStop);
        commands_.Run(kCmdDeselect);
        return true;
    default: return false;
    }
}

void MainFrame::MoveByKey(int64_t frame, bool extend)
{
    const int64_t position = engine_.GetPosition();
    if (extend) {
        if (engine_.HasSelection() && engine_.selectionStart == position)
            SetEdges(frame, -1);
        else if (engine_.HasSelection() && engine_.selectionEnd == position)
            SetEdges(-1, frame);
        else {
            engine_.Deselect();
            SetEdges(std::min(position, frame), std::max(position, frame));
        }
    }
    engine_.SetPosition(frame, FrameCount());
    view_->Waveform()->RevealFrame(engine_.GetPosition());
    view_->Refresh(false);
    status_->UpdateTimes(document_, engine_);
}

void MainFrame::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // The cursor moves one pixel per tick: a new width means a new period.
    if (engine_.isOpen && engine_.IsCursorTimerActive())
        engine_.RestartCursorTimer();
}

void MainFrame::closeEvent(QCloseEvent* event)
{
    if (taskRunning_ || !QuerySave()) {
        event->ignore();
        return;
    }
    event->accept();
    Remember([this](RememberedState& state) { state.geometry = saveGeometry(); });
    // Saved or given up: nothing is left to recover.
    EndSession();
    emit closed();
}

}  // namespace brindle
