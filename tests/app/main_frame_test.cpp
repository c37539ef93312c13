// The main window driven as a person would, with real progress windows and the dialogs answered by FakeDialogs.
#include <QAbstractEventDispatcher>
#include <QAccessible>
#include <QAction>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>

#include <atomic>
#include <csignal>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "app/application_setup.h"
#include "app/command_ids.h"
#include "app/command_line.h"
#include "app/document_view.h"
#include "app/edit_button_panel.h"
#include "app/progress_window.h"
#include "app/status_panes.h"
#include "app/wait_cursor.h"
#include "build_config.h"
#include "edit/edit_kernels.h"
#include "gui_test_support.h"
#include "playback/alsa_wave_out.h"
#include "playback/paced_card.h"
#include "view/selection_bar.h"
#include "view/time_format.h"
#include "view/time_ruler.h"
#include "view/waveform_view.h"

namespace brindle {
namespace {

// Slow reads while `slow` holds: an edit on it outlasts the progress window's delay on any machine.
class SlowStore final : public SampleStore {
public:
    SlowStore(std::shared_ptr<const SampleStore> inner, std::shared_ptr<std::atomic<bool>> slow)
        : inner_(std::move(inner)), slow_(std::move(slow))
    {
    }
    StoreDescription Describe() const override { return inner_->Describe(); }
    uint32_t Length() const override { return inner_->Length(); }
    int ReadSamples(uint32_t position, float* destination, uint32_t count) const override
    {
        if (*slow_)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return inner_->ReadSamples(position, destination, count);
    }

private:
    std::shared_ptr<const SampleStore> inner_;
    std::shared_ptr<std::atomic<bool>> slow_;
};

std::vector<float> Samples(const ChannelStore& channel)
{
    std::vector<float> samples(channel.StoredLength());
    if (!channel.ReadSamples(0, samples.data(), uint32_t(samples.size())))
        samples.clear();
    return samples;
}

// Counts the progress windows that were shown.
class ShowCounter final : public QObject {
public:
    int shown = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        shown += event->type() == QEvent::Show && qobject_cast<ProgressWindow*>(watched);
        return false;
    }
};

QString Scratch(const QString& name) { return test::ScratchDir() + QLatin1Char('/') + name; }
QString OpenError(const QString& path, const QString& why) { return QStringLiteral("Ошибка открытия:\n%1\n%2").arg(path, why); }

// The tests' own real-time card (tests/playback/paced_pcm_plugin.cpp) in place of the machine's.
struct PacedCardInUse {
    PacedCardInUse() : oldConfig(qgetenv("ALSA_CONFIG_PATH"))
    {
        card.Reset();
        test::PacedCard::UseConfiguration(Scratch(QStringLiteral("asound.conf")).toStdString());
    }
    ~PacedCardInUse()
    {
        card.Reset();
        if (oldConfig.isNull())
            qunsetenv("ALSA_CONFIG_PATH");
        else
            qputenv("ALSA_CONFIG_PATH", oldConfig);
    }
    bool Attach(MainFrame& frame, const char* name)
    {
        if (card.Loaded())
            frame.SetOutputDevice(std::make_unique<AlsaWaveOut>(AlsaWaveOut::Options{name, true}));
        return card.Loaded();
    }
    test::PacedCard card;
    QByteArray oldConfig;
};

// What the xcb plugin hands the native event filters for a window someone else destroyed (DestroyNotify).
void DeliverDestroyNotify(WId window)
{
    struct {
        uint8_t responseType = 17, pad = 0;
        uint16_t sequence = 0;
        uint32_t event = 0, window = 0;
    } notify;
    notify.event = notify.window = uint32_t(window);
    qintptr result = 0;
    QAbstractEventDispatcher::instance()->filterNativeEvent(QByteArrayLiteral("xcb_generic_event_t"), &notify, &result);
}

// A window whose progress windows are real and run `watch` on their bar's every value.
Prompts WithProgressWatch(Prompts prompts, std::function<void(ProgressWindow&, int)> watch, int* result = nullptr)
{
    prompts.runProgress = [watch, result](QWidget* owner, Document& document, TaskMode mode) {
        ProgressWindow window(document, mode, owner);
        QObject::connect(window.Bar(), &QProgressBar::valueChanged, &window, [&](int value) { watch(window, value); });
        const int code = window.Run();
        return result ? *result = code : code;
    };
    return prompts;
}

}  // namespace

class MainFrameTest : public QObject, protected test::WindowFixture {
    Q_OBJECT

private:
    QString stereo_, mono_;  // 1 s tones, 44100 frames

    void OpenStereo()
    {
        QVERIFY(frame_->OpenFile(stereo_));
        frame_->RefreshUiState();
    }
    QString UndoText() const { return MenuAction(kCmdUndo)->text(); }
    QString SourcePath() { return QString::fromStdString(frame_->GetDocument().SourcePath().string()); }
    const ChannelSet& Channels() { return frame_->GetDocument().ActiveBuffer().channels; }

    // The toolbar's buttons (+ enabled, - disabled, . hidden), then the panel's edits in their order.
    QString Controls() const
    {
        QString shown;
        for (int id : {kCmdOpen, kCmdSave, kCmdPlay, kCmdPause, kCmdStop, kCmdSetStart, kCmdSetEnd, kCmdSelectAll,
                       kCmdDeselect, kCmdSite})
            shown += !ToolVisible(id) ? '.' : ToolEnabled(id) ? '+' : '-';
        shown += ' ';
        for (int id = kCmdDeleteSelected; id <= kCmdToStereo; ++id)
            shown += EditEnabled(id) ? '+' : '-';
        return shown;
    }

    // A settings file of its own for one test, none there yet.
    static QString FreshSettingsFile(const QString& name)
    {
        const QString folder = Scratch(QStringLiteral("settings-") + name);
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        return folder + QStringLiteral("/Brindle.conf");
    }

    // The status bar's message pane: the label that shows the message (no time looks like one).
    QLabel* MessagePane() const
    {
        for (QLabel* label : frame_->statusBar()->findChildren<QLabel*>()) {
            if (label->text() == frame_->Status().Message())
                return label;
        }
        return nullptr;
    }

    // The Файл menu's items as shown after it opened, separators as "|".
    QStringList FileMenuTexts()
    {
        emit frame_->FileMenu()->aboutToShow();
        QStringList texts;
        for (const QAction* action : frame_->FileMenu()->actions())
            texts << (action->isSeparator() ? QStringLiteral("|") : action->text());
        return texts;
    }
    void ChooseFromFileMenu(const QString& text)
    {
        emit frame_->FileMenu()->aboutToShow();
        for (QAction* action : frame_->FileMenu()->actions()) {
            if (action->text() == text)
                return action->trigger();
        }
        QFAIL(qPrintable(QStringLiteral("no menu item ") + text));
    }

    // Files dragged from a file manager onto the window; the load follows from the event loop.
    bool Drop(const QList<QUrl>& urls)
    {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(frame_.get(), &enter);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(frame_.get(), &drop);
        return enter.isAccepted() && drop.isAccepted();
    }

private slots:
    void initTestCase()
    {
        stereo_ = test::MakeTone(QStringLiteral("stereo.wav"), 1, 2);
        mono_ = test::MakeTone(QStringLiteral("mono.wav"), 1, 1);
        QVERIFY(!stereo_.isEmpty() && !mono_.isEmpty());
    }
    void init() { FreshWindow(); }
    void cleanup() { StopWindow(); }

    // Exit, as the program's own loop sees it: the ordinary end, status 0 to every shell and launcher.
    void firstSizeIsTheMinimumAndExitEndsWithStatus0()
    {
        QCOMPARE(frame_->size(), QSize(MainFrame::kFirstWidth, MainFrame::kFirstHeight));
        QCOMPARE(frame_->minimumSize(), QSize(MainFrame::kFirstWidth, MainFrame::kFirstHeight));
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        QTimer::singleShot(50, frame_.get(), [this] { frame_->Commands().Run(kCmdExit); });
        QCOMPARE(RunEditor(*frame_, {}), 0);
        QCOMPARE(closed.count(), 1);
    }

    // However a command is reached (menu, key, a queued click), it runs exactly when its controls are enabled.
    void controlsFollowTheStateAndADisabledCommandDoesNothing()
    {
        FakeWaveOut& device = UseFakeDevice();
        dialogs_.volumeAnswer = 50;
        dialogs_.stereoAnswer = 1;
        PlaybackEngine& engine = frame_->Engine();
        auto fingerprint = [&] {
            const Document& document = frame_->GetDocument();
            const bool empty = document.IsEmpty();
            return QList<qint64>{empty, empty ? 0 : document.ActiveBuffer().FrameCount(),
                                 empty ? 0 : document.ActiveBuffer().channels.ChannelCount(), document.Modified(),
                                 engine.selectionStart, engine.selectionEnd, engine.GetPosition(), engine.isOpen,
                                 engine.isPaused, device.opens, dialogs_.saveDialogs, dialogs_.saveQuestions,
                                 dialogs_.errors.size()};
        };
        const struct {
            const char* state;
            std::function<void()> enter;
            QString controls;
        } states[] = {
            {"nothing open", [&] { QVERIFY(!frame_->IsShowingDocument()); }, "+--.-----+ --------"},
            {"a sound just opened", [&] { OpenStereo(); }, "+-+.-+++-+ --+++++-"},
            {"a part selected", [&] { engine.selectionStart = 1000; engine.selectionEnd = 2000; }, "+-+.-+++++ +++++++-"},
            {"all selected", [&] { frame_->Commands().Run(kCmdSelectAll); }, "+-+.-+++++ --+++++-"},
            {"playing", [&] { frame_->Commands().Run(kCmdPlay); }, "+-.+++++++ --------"},
            {"paused", [&] { frame_->Commands().Run(kCmdPause); }, "+-+.++++++ --------"},
        };
        for (const auto& state : states) {
            state.enter();
            frame_->RefreshUiState();
            QCOMPARE(Controls() + QLatin1Char(' ') + state.state, state.controls + QLatin1Char(' ') + state.state);
            for (const Command& command : frame_->Commands().All()) {
                const bool onPanel = command.id >= kCmdDeleteSelected && command.id <= kCmdToStereo;
                if ((!command.toolAction && !onPanel) ||
                    (command.toolAction ? command.toolAction->isEnabled() : EditEnabled(command.id)))
                    continue;
                const QList<qint64> before = fingerprint();
                frame_->Commands().Run(command.id);
                QVERIFY2(fingerprint() == before, qPrintable(QStringLiteral("%1 in %2").arg(command.id).arg(state.state)));
            }
        }
        QCOMPARE(engine.selectionEnd, 44100);
        QVERIFY(frame_->IsShowingDocument());
        QCOMPARE(frame_->Status().TimeText(1), QStringLiteral("00:01.000"));
    }

    void editFlowGuardsDialogsAndCursor()
    {
        OpenStereo();
        Document& document = frame_->GetDocument();
        const int cursorsBefore = WaitCursor::ShownCount();
        dialogs_.volumeAnswer = 100;
        frame_->Commands().Run(kCmdChangeVolume);
        QCOMPARE(WaitCursor::ShownCount(), cursorsBefore);  // not even the wait cursor
        dialogs_.volumeAnswer.reset();  // cancelled
        frame_->Commands().Run(kCmdChangeVolume);
        frame_->Commands().Run(kCmdDeleteSelected);  // no real selection: refused by its guard
        QVERIFY(!document.Modified());
        QCOMPARE(document.ActiveBuffer().FrameCount(), 44100u);

        frame_->Engine().selectionStart = 1000;
        frame_->Engine().selectionEnd = 2000;
        frame_->Commands().Run(kCmdDeleteSelected);
        QCOMPARE(document.ActiveBuffer().FrameCount(), 43100u);
        QCOMPARE(Marks(), (QList<qint64>{-1, -1, 1000}));
        QVERIFY(document.Modified() && QGuiApplication::overrideCursor() == nullptr);
        frame_->Commands().Run(kCmdToMono);
        QVERIFY(document.ActiveBuffer().IsMono());
        for (const int answer : {2, 1}) {  // cancelled, then mono to both sides
            dialogs_.stereoAnswer = answer;
            frame_->Commands().Run(kCmdToStereo);
            QCOMPARE(document.ActiveBuffer().IsStereo(), answer == 1);
        }
    }

    // Space and Enter (players' keys) never repeat a clicked edit; Tab still reaches the buttons, which then work.
    void keysAfterAClickedEditButtonAndAClickInTheWaveformEditNothing()
    {
        OpenStereo();
        QVERIFY(Activate());
        auto samples = [this] {
            std::vector<float> all = Samples(Channels().Channel(0)), right = Samples(Channels().Channel(1));
            all.insert(all.end(), right.begin(), right.end());
            return all;
        };
        QPushButton* fadeOut = frame_->EditPanel()->Button(kCmdFadeOut);
        for (QWidget* clicked : {static_cast<QWidget*>(frame_->View()->Waveform()), static_cast<QWidget*>(frame_->View()->Bar())}) {
            const std::vector<float> before = samples();
            QTest::mouseClick(fadeOut, Qt::LeftButton);
            const std::vector<float> faded = samples();
            QVERIFY(faded != before);
            for (int round = 0; round < 2; ++round) {
                if (round == 1)
                    QTest::mouseClick(clicked, Qt::LeftButton, {}, QPoint(frame_->View()->Waveform()->width() / 2, clicked->height() / 2));
                for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter})
                    QTest::keyClick(QApplication::focusWidget(), key);
                QVERIFY2(samples() == faded, qPrintable(clicked->objectName()));
            }
            QCOMPARE(QApplication::focusWidget(), clicked);
        }
        for (int tabs = 0; tabs < 10 && QApplication::focusWidget() != fadeOut; ++tabs)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), fadeOut);
        const std::vector<float> before = samples();
        QTest::keyClick(fadeOut, Qt::Key_Space);
        QVERIFY(samples() != before);
    }

    void playbackFollowsTheDeviceWithItsButtonsTimerAndRefusedEdits()
    {
        FakeWaveOut& device = UseFakeDevice();
        OpenStereo();
        PlaybackEngine& engine = frame_->Engine();
        frame_->Commands().Run(kCmdPlay);
        QCOMPARE(device.opens, 1);
        // Playing from the moment the device took the open: an edit queued right behind Play is refused.
        QVERIFY(engine.isOpen);
        frame_->Commands().Run(kCmdToMono);
        frame_->Commands().Run(kCmdFadeIn);
        QVERIFY(frame_->GetDocument().ActiveBuffer().IsStereo() && !frame_->GetDocument().Modified());
        QCoreApplication::sendPostedEvents();
        frame_->RefreshUiState();
        QVERIFY(engine.isOpen && frame_->CursorTimer()->isActive());
        QCOMPARE(Controls(), QStringLiteral("+-.+++++-+ --------"));
        QCOMPARE(frame_->CursorTimer()->interval(), 50);  // one second across the view: the floor
        device.Advance(4410);
        frame_->Commands().Run(kCmdSetStart);  // takes the frame being heard
        QCOMPARE(engine.selectionStart, 4410);

        frame_->Commands().Run(kCmdPause);
        frame_->RefreshUiState();
        QCOMPARE(Controls(), QStringLiteral("+-+.++++++ --------"));
        QCOMPARE(device.Advance(1000), 0u);
        frame_->Commands().Run(kCmdPlay);
        while (device.Advance(10000) > 0)
            QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
        QVERIFY(!engine.isOpen && !device.IsOpen() && !frame_->CursorTimer()->isActive());
        QCOMPARE(engine.GetPosition(), 0);
        QCOMPARE(device.played.size(), size_t(44100 * 2));
        frame_->RefreshUiState();
        QVERIFY(ToolVisible(kCmdPlay) && !ToolEnabled(kCmdStop));
    }

    // A real-time card notifies from its own thread; a load stops it first.
    void playsThroughARealDeviceAndStopsItBeforeALoad()
    {
        PacedCardInUse paced;
        QVERIFY2(paced.Attach(*frame_, "paced"), dlerror());
        const QString raw = Scratch(QStringLiteral("stereo.raw"));
        QVERIFY(test::RunTool("sox", {stereo_, "-t", "raw", "-e", "signed", "-b", "16", "-L", raw}));
        QFile rawFile(raw);
        QVERIFY(rawFile.open(QIODevice::ReadOnly));
        const QString shortTone = test::MakeTone(QStringLiteral("quarter.wav"), 0.25, 1);
        OpenStereo();
        PlaybackEngine& engine = frame_->Engine();
        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY_WITH_TIMEOUT(paced.card.PlayedFrames() > 4410, 10000);
        QVERIFY(engine.isOpen && frame_->CursorTimer()->isActive());
        frame_->Commands().Run(kCmdPause);
        QTest::qWait(50);  // the device's thread takes the request at its next look
        const uint64_t heldAt = paced.card.PlayedFrames();
        QTest::qWait(200);
        QCOMPARE(paced.card.PlayedFrames(), heldAt);
        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY_WITH_TIMEOUT(!engine.isOpen, 10000);
        QVERIFY(engine.GetPosition() == 0 && !frame_->CursorTimer()->isActive());
        const std::vector<unsigned char> played = paced.card.Recording();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(played.data()), qsizetype(played.size())), rawFile.readAll());

        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY_WITH_TIMEOUT(engine.isOpen && engine.GetPosition() > 4410, 10000);
        QVERIFY(frame_->OpenFile(shortTone) && !engine.isOpen && engine.GetPosition() == 0);
        paced.card.Reset();
        frame_->Commands().Run(kCmdPlay);
        QTRY_COMPARE_WITH_TIMEOUT(paced.card.PlayedFrames(), uint64_t(11025), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!engine.isOpen, 10000);
        UseFakeDevice();
    }

    void cursorPeriodFollowsTheWidthAndFileCommandsStopPlayingFirst()
    {
        FakeWaveOut& device = UseFakeDevice();
        PlaybackEngine& engine = frame_->Engine();
        // A minute at 8 kHz: one pixel of cursor travel takes longer than 50 ms.
        const QString minute = Scratch(QStringLiteral("minute.wav"));
        QVERIFY(test::RunTool("sox", {"-r", "8000", "-c", "1", "-n", "-b", "16", minute, "synth", "60", "sine", "300"}));
        QVERIFY(frame_->OpenFile(minute));
        frame_->Commands().Run(kCmdPlay);
        QCoreApplication::sendPostedEvents();
        QWidget* waveform = frame_->View()->Waveform();
        const int width = waveform->width();
        QVERIFY(width > 0 && 60000 / width > 50);
        QCOMPARE(frame_->CursorTimer()->interval(), 60000 / width);
        frame_->resize(MainFrame::kFirstWidth * 2, MainFrame::kFirstHeight);
        QCoreApplication::processEvents();
        QVERIFY(waveform->width() != width);
        QCOMPARE(frame_->CursorTimer()->interval(), std::max(50, 60000 / waveform->width()));

        // Opening a file stops playing before the load; so do a save and a close.
        device.Advance(1000);
        QCoreApplication::sendPostedEvents();
        QVERIFY(frame_->OpenFile(stereo_));
        QVERIFY(!engine.isOpen && !device.IsOpen() && !frame_->CursorTimer()->isActive());
        QCOMPARE(engine.GetPosition(), 0);
        // A save right behind Play: the save's worker owns the sound, and the player writes nothing meanwhile.
        frame_->Commands().Run(kCmdPlay);
        QVERIFY(engine.isOpen);
        const size_t blocksBeforeSave = device.writtenBytes.size();
        const QString saved = Scratch(QStringLiteral("played-while-saved.wav"));
        dialogs_.saveAnswers.push_back(SaveChoice{saved, 2});
        frame_->Commands().Run(kCmdSaveAs);
        QCOMPARE(device.writtenBytes.size(), blocksBeforeSave);
        QVERIFY(!engine.isOpen && !device.IsOpen());
        QCOMPARE(test::SoxFrameCount(saved), 44100LL);
        frame_->Commands().Run(kCmdPlay);
        QCoreApplication::sendPostedEvents();
        QVERIFY(engine.isOpen && frame_->CloseDocument() && !engine.isOpen && !device.IsOpen());
        QCOMPARE(device.opens, 3);
    }

    // A typed ending decides the format whatever type was chosen; a name without one takes the type's.
    void saveAsNamesCaptionsAndFilters()
    {
        OpenStereo();
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [stereo.wav]"));
        frame_->Commands().Run(kCmdFadeIn);
        frame_->RefreshUiState();
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [stereo.wav *]"));
        QVERIFY(ToolEnabled(kCmdSave));
        const QString chosen = Scratch(QStringLiteral("x.wav"));
        dialogs_.saveAnswers.push_back(SaveChoice{chosen, 1});
        frame_->Commands().Run(kCmdSave);
        QCOMPARE(dialogs_.saveDialogs, 1);
        QCOMPARE(dialogs_.lastProposal, Scratch(QStringLiteral("stereo (1).wav")));
        QCOMPARE(dialogs_.lastFilterIndex, 2);
        QVERIFY2(!QFile::exists(chosen + QStringLiteral(".mp3")), "the MP3 type and the name x.wav saved x.wav.mp3");
        QCOMPARE(test::SoxFrameCount(chosen), 44100);
        QVERIFY(frame_->GetDocument().Kind() == FileType::Wav);
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [x.wav]"));

        frame_->Commands().Run(kCmdFadeOut);
        const QString mp3 = Scratch(QStringLiteral("b"));
        dialogs_.saveAnswers.push_back(SaveChoice{mp3, 1});
        QVERIFY(frame_->SaveAs() && QFile::exists(mp3 + QStringLiteral(".mp3")));
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [b.mp3]"));
        QCOMPARE(dialogs_.lastFilterIndex, 2);  // still a WAV-kind document when the dialog opened
        QVERIFY(frame_->GetDocument().Kind() == FileType::Mp3);
    }

    // Closing and the session's end ask about changes; the session's end asks only when allowed to interact.
    void closingOrTheSessionsEndAsksAboutUnsavedChanges()
    {
        int permissionsAsked = 0;
        auto allowed = [&permissionsAsked] { return ++permissionsAsked > 0; };
        QVERIFY(frame_->QueryEndSession(allowed));
        OpenStereo();
        QVERIFY(frame_->QueryEndSession(allowed));
        QCOMPARE(permissionsAsked, 0);  // nothing to ask about, so no permission sought

        Document& document = frame_->GetDocument();
        frame_->Commands().Run(kCmdIncreaseVolume);
        QVERIFY(!frame_->QueryEndSession([] { return false; }));
        QCOMPARE(dialogs_.saveQuestions, 0);
        dialogs_.saveQuestionAnswers = {QMessageBox::Cancel};
        QVERIFY(!frame_->QueryEndSession(allowed));
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        dialogs_.saveQuestionAnswers = {QMessageBox::Yes};  // then the save dialog is cancelled
        QVERIFY(!frame_->close());
        QCOMPARE(closed.count(), 0);
        QCOMPARE(dialogs_.saveQuestions, 2);
        QCOMPARE(dialogs_.saveDialogs, 1);
        QVERIFY(document.Modified() && !document.IsEmpty());

        const QString saved = Scratch(QStringLiteral("at-logout.wav"));
        dialogs_.saveQuestionAnswers = {QMessageBox::Yes};
        dialogs_.saveAnswers.push_back(SaveChoice{saved, 2});
        QVERIFY(frame_->QueryEndSession(allowed));
        QCOMPARE(test::SoxFrameCount(saved), 44100);
        QVERIFY(!document.Modified());
        frame_->Commands().Run(kCmdFadeOut);
        dialogs_.saveQuestionAnswers = {QMessageBox::No};
        QVERIFY(frame_->QueryEndSession(allowed));
        QCOMPARE(dialogs_.saveQuestions, 4);
        QCOMPARE(permissionsAsked, 3);
        frame_->Commands().Run(kCmdFadeIn);
        dialogs_.saveQuestionAnswers = {QMessageBox::No};
        QVERIFY(frame_->close());
        QCOMPARE(closed.count(), 1);
    }

    void aWindowDestroyedFromOutsideCancelsTheLoadAndEndsTheProgram()
    {
        int progressResult = 0;
        bool destroyed = false;  // as soon as the bar first moves, so the worker is certainly under way
        frame_ = std::make_unique<MainFrame>(WithProgressWatch(dialogs_.MakePrompts(), [&](ProgressWindow&, int value) {
            if (value > 0 && !std::exchange(destroyed, true))
                DeliverDestroyNotify(frame_->winId());
        }, &progressResult));
        frame_->show();
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        DeliverDestroyNotify(frame_->winId() + 1);  // some other window
        QCOMPARE(closed.count(), 0);
        QVERIFY(!frame_->OpenFile(test::MakeTone(QStringLiteral("ten seconds.wav"), 10, 2)));
        QCOMPARE(progressResult, 2);
        QCOMPARE(closed.count(), 1);
    }

    // A Cancel the progress window accepts, even once the bar is full, opens nothing.
    void aCancelOnceTheBarIsFullOpensNothing()
    {
        frame_ = std::make_unique<MainFrame>(WithProgressWatch(dialogs_.MakePrompts(), [](ProgressWindow& window, int value) {
            if (value == window.Bar()->maximum())
                window.CancelButton()->click();
        }));
        frame_->show();
        QVERIFY(!frame_->OpenFile(stereo_));
        frame_->RefreshUiState();
        QVERIFY(frame_->GetDocument().IsEmpty() && !frame_->IsShowingDocument() && !ToolEnabled(kCmdPlay));
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle"));
        QVERIFY(dialogs_.errors.isEmpty());  // cancelling is not failing
    }

    // A drop opens the first file by its bytes (Latin-1 here) from the event loop; a failed one keeps the sound.
    void aDropOpensTheFirstFileByItsBytesAndAFailedOneKeepsTheSound()
    {
        QVERIFY(Drop({QUrl::fromLocalFile(mono_), QUrl::fromLocalFile(stereo_), QUrl::fromLocalFile(mono_)}));
        QVERIFY(frame_->GetDocument().IsEmpty());
        QTRY_COMPARE(SourcePath(), mono_);
        QVERIFY(frame_->GetDocument().ActiveBuffer().IsMono() && frame_->IsShowingDocument());

        const QByteArray latin1 = QFile::encodeName(test::ScratchDir()) + "/caf\xe9.wav";
        QVERIFY(QFile::copy(stereo_, Scratch(QStringLiteral("cafe.wav"))));
        QCOMPARE(::rename(QFile::encodeName(Scratch(QStringLiteral("cafe.wav"))).constData(), latin1.constData()), 0);
        QVERIFY(Drop({QUrl::fromEncoded("file://" + latin1.toPercentEncoding("/"))}));
        QTRY_VERIFY(frame_->GetDocument().ActiveBuffer().IsStereo());
        QVERIFY2(dialogs_.errors.isEmpty(), qPrintable(dialogs_.errors.join(QLatin1Char('|'))));
        QCOMPARE(QByteArray::fromStdString(frame_->GetDocument().SourcePath().string()), latin1);

        frame_->Commands().Run(kCmdFadeIn);
        Drop({QUrl::fromLocalFile(Scratch(QStringLiteral("gone.wav")))});
        QTRY_COMPARE(dialogs_.errors, QStringList{OpenError(Scratch(QStringLiteral("gone.wav")), "No such file or directory")});
        QCOMPARE(dialogs_.saveQuestions, 0);
        QCOMPARE(QByteArray::fromStdString(frame_->GetDocument().SourcePath().string()), latin1);
        QVERIFY(frame_->GetDocument().Modified());
        ::unlink(latin1.constData());  // QTemporaryDir cannot remove a name that is not UTF-8
    }

    // Every failure box says the designed text and then, on a line of its own, why.
    void failedOpenSaveAndEditShowTheirMessagesWithTheReason()
    {
        QFile(Scratch(QStringLiteral("notes.txt"))).open(QIODevice::WriteOnly);
        QFile bad(Scratch(QStringLiteral("bad.wav")));
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write(QByteArray(200, 'x')) == 200);
        bad.close();
        QVERIFY(test::RunTool("sox", {"-n", "-r", "8000", "-c", "6", Scratch(QStringLiteral("six.wav")), "trim", "0", "0.01"}));
        const struct {
            const char* name;
            QString why;
            bool showing;  // the views switched before the importer failed
        } opens[] = {
            {"notes.txt", "the name ends in none of .mp3, .wav, .flac, .ogg, .oga, .opus", false},
            {"bad.wav", "not a WAV file (no RIFF header)", true},
            {"missing.wav", "No such file or directory", true},
            {"six.wav", "6 channels (only mono and stereo open)", true},
        };
        for (const auto& open : opens) {
            QVERIFY(!frame_->OpenFile(Scratch(QString::fromLatin1(open.name))));
            QCOMPARE(dialogs_.errors.takeLast(), OpenError(Scratch(QString::fromLatin1(open.name)), open.why));
            QVERIFY(dialogs_.errors.isEmpty() && frame_->GetDocument().IsEmpty());
            QCOMPARE(frame_->IsShowingDocument(), open.showing);
            QCOMPARE(frame_->Status().Message(), QStringLiteral("Готов"));
        }

        // An edit that fails (no room for the faded samples) says why and leaves the sound as it was.
        QVERIFY(frame_->OpenFile(mono_));
        struct rlimit old {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit tight = old;
        tight.rlim_cur = 4096;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tight), 0);
        SetGainsAsPieces(false);  // a fade the pieces carry writes nothing; this one is written
        frame_->Commands().Run(kCmdFadeIn);
        SetGainsAsPieces(true);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(dialogs_.errors.last(), QStringLiteral("Ошибка изменения звука\nFile too large"));
        QVERIFY(frame_->GetDocument().ActiveBuffer().IsMono() && !frame_->GetDocument().Modified());

        OpenStereo();
        frame_->Commands().Run(kCmdFadeIn);
        const QString target = Scratch(QStringLiteral("no such folder/out.wav"));
        dialogs_.saveAnswers.push_back(SaveChoice{target, 2});
        QVERIFY(!frame_->Save());
        QCOMPARE(dialogs_.errors.last(), QStringLiteral("Ошибка сохранения \"%1\"!\nNo such file or directory").arg(target));
        QVERIFY(frame_->GetDocument().Modified() && !QFile::exists(target));
        // A name that could not be written is not adopted: Save asks again, or writes to the last saved file.
        frame_->RefreshUiState();
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [stereo.wav *]"));
        dialogs_.saveAnswers = {SaveChoice{Scratch(QStringLiteral("kept.wav")), 2}, SaveChoice{target, 2}};
        QVERIFY(frame_->Save());
        QCOMPARE(dialogs_.saveDialogs, 2);
        frame_->Commands().Run(kCmdFadeOut);
        QVERIFY(!frame_->SaveAs());
        QVERIFY(dialogs_.errors.last().startsWith(QStringLiteral("Ошибка сохранения \"%1\"!\n").arg(target)));
        frame_->RefreshUiState();
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [kept.wav *]"));
        QVERIFY(frame_->Save() && !frame_->GetDocument().Modified());
        QCOMPARE(dialogs_.saveDialogs, 3);
    }

    // As main() does it: ReadCommandLine then OpenFile, for relative, non-UTF-8 and broken names.
    void aFileNamedOnTheCommandLineOpensAsTheOpenCommandWould()
    {
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        auto start = [this](QByteArray file) {
            QByteArray program("brindle");
            char* argv[] = {program.data(), file.data(), nullptr};
            const StartRequest request = ReadCommandLine(2, argv);
            return request.exitCode || request.file.empty() ? -1 : frame_->OpenFile(request.file);
        };
        const QString oldCurrent = QDir::currentPath();
        QVERIFY(QDir::setCurrent(test::ScratchDir()));
        const int relative = start("stereo.wav");
        QDir::setCurrent(oldCurrent);
        QCOMPARE(relative, 1);
        QVERIFY(frame_->IsShowingDocument());
        QCOMPARE(SourcePath(), stereo_);
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [stereo.wav]"));

        const QByteArray latin1 = QFile::encodeName(test::ScratchDir()) + "/start-caf\xe9.wav";
        QVERIFY(QFile::copy(mono_, Scratch(QStringLiteral("start-cafe.wav"))));
        QCOMPARE(::rename(QFile::encodeName(Scratch(QStringLiteral("start-cafe.wav"))).constData(), latin1.constData()), 0);
        QCOMPARE(start(latin1), 1);
        QCOMPARE(QByteArray::fromStdString(frame_->GetDocument().SourcePath().string()), latin1);

        const QString missing = Scratch(QStringLiteral("not here.mp3"));
        QCOMPARE(start(QFile::encodeName(missing)), 0);
        QCOMPARE(dialogs_.errors, QStringList{OpenError(missing, "No such file or directory")});
        QFile broken(Scratch(QStringLiteral("broken.mp3")));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write(QByteArray(4000, '\x5a')) == 4000);
        broken.close();
        ::unlink(latin1.constData());  // QTemporaryDir cannot remove a name that is not UTF-8
        QCOMPARE(start(QFile::encodeName(broken.fileName())), 0);
        QCOMPARE(dialogs_.errors.size(), 2);
        QVERIFY2(dialogs_.errors.last().startsWith(OpenError(broken.fileName(), {})), qPrintable(dialogs_.errors.last()));
        QVERIFY(dialogs_.errors.last().section(QLatin1Char('\n'), 2).size() > 0 && frame_->isVisible());
        QCOMPARE(closed.count(), 0);
    }

    // The real program, with no display: help, version, Qt's own options and usage errors, with their exit codes.
    void theProgramAnswersHelpVersionAndUsageErrorsWithTheirExitCodes()
    {
        const QString home = Scratch(QStringLiteral("child-home"));
        QVERIFY(QDir().mkpath(home));
        const QByteArray usage = "Использование: brindle [--help] [--version] [ФАЙЛ]\n";
        const QByteArray version = "Brindle " + QByteArray(config::kVersion) + '\n';
        QVERIFY(QByteArray(config::kProductVersion).startsWith(QByteArray(config::kVersion) + '.'));
        const QByteArray dashHint = "Имя файла, начинающееся с «-», ставится после «--»: brindle -- -dash.wav\n";
        const struct {
            QStringList arguments;
            int code;
            QByteArray out, error;  // help's out begins so; a display's absence is told first
        } runs[] = {
            {{"--help"}, 0, usage, {}},
            {{"--version"}, 0, version, {}},
            {{"-platform", "offscreen", "-v"}, 0, version, {}},
            {{"--no-such-option"}, 2, {}, usage},
            {{stereo_, mono_}, 2, {}, usage},
            {{"-dash.wav"}, 2, {}, usage},
            {{stereo_}, 1, {}, "brindle: нет дисплея"},
        };
        for (const auto& run : runs) {
            QProcess process;
            QProcessEnvironment environment;
            environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
            environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8"));  // the texts read below
            environment.insert(QStringLiteral("HOME"), home);
            environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), qEnvironmentVariable("XDG_RUNTIME_DIR"));
            process.setProcessEnvironment(environment);
            process.start(QStringLiteral(BRINDLE_EXECUTABLE), run.arguments);
            QVERIFY(process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit);
            const QByteArray out = process.readAllStandardOutput(), error = process.readAllStandardError();
            const QString what = run.arguments.join(' ');
            QVERIFY2(process.exitCode() == run.code, qPrintable(what));
            QCOMPARE(run.arguments[0] == "--help" ? out.left(usage.size()) : out, run.out);
            QVERIFY2(run.code == 1 ? error.startsWith(run.error) : error.contains(run.error), error.constData());
            QCOMPARE(error.contains(dashHint), run.arguments[0] == "-dash.wav");
        }
        QVERIFY(!QFileInfo::exists(home + QStringLiteral("/config")));
    }

    // Файл lists the last ten files newest first, next run too; a vanished one says so and leaves the list.
    void recentFilesComeNewestFirstAndAVanishedOneLeavesTheList()
    {
        const QString settings = FreshSettingsFile(QStringLiteral("recent"));
        StartWindow(settings);
        QStringList files;
        for (int i = 0; i < 11; ++i) {
            files.prepend(Scratch(QStringLiteral("recent-%1.wav").arg(i)));
            QVERIFY(QFile::copy(mono_, files[0]) && frame_->OpenFile(files[0]));
        }
        files.removeLast();
        QStringList expected{"Открыть...", "Закрыть", "|", "Сохранить", "Сохранить как...", "|", "Сведения о звуке", "|"};
        for (int i = 0; i < 10; ++i)
            expected << (i < 9 ? QStringLiteral("&%1 %2").arg(i + 1) : QStringLiteral("1&0 %2")).arg(files[i]);
        expected << "|" << "Выход";
        QCOMPARE(FileMenuTexts(), expected);
        StartWindow(settings);  // the next run, with a sound of its own open
        QCOMPARE(FileMenuTexts(), expected);
        QVERIFY(frame_->OpenFile(stereo_));
        QCOMPARE(FileMenuTexts().at(8), QStringLiteral("&1 %1").arg(stereo_));

        QVERIFY(QFile::remove(files[3]));
        ChooseFromFileMenu(QStringLiteral("&5 %1").arg(files[3]));
        QCOMPARE(dialogs_.errors, QStringList{OpenError(files[3], "No such file or directory")});
        QVERIFY(SourcePath() == stereo_ && !frame_->GetDocument().IsEmpty());
        QVERIFY(!FileMenuTexts().join(QLatin1Char('\n')).contains(files[3]));
        QCOMPARE(FileMenuTexts().size(), expected.size() - 1);  // stereo pushed the oldest out, and the vanished one went
        QCOMPARE(int(ReadRemembered(settings).recent.size()), 9);
        ChooseFromFileMenu(QStringLiteral("&3 %1").arg(files[1]));  // one that is there opens and comes first
        QCOMPARE(SourcePath(), files[1]);
        QCOMPARE(FileMenuTexts().at(8), QStringLiteral("&1 %1").arg(files[1]));
    }

    // The next run keeps the window's place and the dialogs' last folder; without a settings file nothing.
    void theWindowKeepsItsPlaceAndTheDialogsStartInTheLastFolder()
    {
        const QString settings = FreshSettingsFile(QStringLiteral("place"));
        StartWindow(settings);
        const QString first = Scratch(QStringLiteral("place-a")), second = Scratch(QStringLiteral("place-b"));
        QVERIFY(QDir().mkpath(first) && QDir().mkpath(second));
        QVERIFY(QFile::copy(stereo_, first + QStringLiteral("/tone.wav")));
        QVERIFY(frame_->OpenFile(first + QStringLiteral("/tone.wav")));
        frame_->Commands().Run(kCmdFadeIn);
        dialogs_.saveAnswers.push_back(SaveChoice{second + QStringLiteral("/out.wav"), 2});
        QVERIFY(frame_->Save());
        QCOMPARE(dialogs_.lastProposal, first + QStringLiteral("/tone (1).wav"));
        frame_->Open();
        QCOMPARE(dialogs_.lastOpenFolder, second);
        frame_->resize(MainFrame::kFirstWidth + 130, MainFrame::kFirstHeight + 70);
        frame_->move(40, 30);
        const QRect place = frame_->geometry();
        QVERIFY(frame_->close());

        StartWindow(settings);
        QCOMPARE(frame_->geometry(), place);
        frame_->Open();
        QCOMPARE(dialogs_.lastOpenFolder, second);
        QVERIFY(frame_->OpenFile(first + QStringLiteral("/tone.wav")));
        dialogs_.saveAnswers.push_back(SaveChoice{second + QStringLiteral("/again.wav"), 2});
        QVERIFY(frame_->SaveAs());
        frame_->Commands().Run(kCmdFadeOut);
        QVERIFY(!frame_->SaveAs());  // cancelled
        QCOMPARE(dialogs_.lastProposal, second + QStringLiteral("/tone (1).wav"));

        dialogs_.saveQuestionAnswers.push_back(QMessageBox::No);
        StartWindow();
        QCOMPARE(frame_->size(), QSize(MainFrame::kFirstWidth, MainFrame::kFirstHeight));
        frame_->Open();
        QCOMPARE(dialogs_.lastOpenFolder, QDir::homePath());
    }

    // A damaged or foreign settings file is ignored, and the next change writes a good one.
    void aDamagedOrForeignSettingsFileIsIgnored()
    {
        const QString settings = FreshSettingsFile(QStringLiteral("damaged"));
        std::mt19937 random(20240611);
        QByteArray garbage;
        for (int i = 0; i < 4096; ++i)
            garbage += char(random() & 0xff);
        const QByteArray folder = QFile::encodeName(test::ScratchDir());
        garbage += "\n[window]\ngeometry=@ByteArray(\x01\xd9\xd0\xcb\x00\x03\x00\x00\n[files]\nfolder=" + folder +
                   "\nrecent=@Variant(\x00\x00\x00\x09\xff\xff)\n[format\n";  // lines that look like ours, damaged
        for (const QByteArray& content :
             {garbage, "[format]\nversion=2\n[files]\nfolder=" + folder + "\nrecent=@ByteArray(" + QFile::encodeName(stereo_) + ")\n"}) {
            QFile file(settings);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size());
            file.close();
            StartWindow(settings);
            QCOMPARE(frame_->size(), QSize(MainFrame::kFirstWidth, MainFrame::kFirstHeight));
            QCOMPARE(FileMenuTexts().size(), 9);  // no recent files
            frame_->Open();
            QCOMPARE(dialogs_.lastOpenFolder, QDir::homePath());
            QVERIFY(frame_->OpenFile(mono_));
            QCOMPARE(QSettings(settings, QSettings::IniFormat).status(), QSettings::NoError);
            const RememberedState state = ReadRemembered(settings);
            QCOMPARE(int(state.recent.size()), 1);
            QCOMPARE(QString::fromStdString(state.recent.front().string()), mono_);
            QCOMPARE(state.folder, test::ScratchDir());
            QVERIFY(frame_->close());
        }
    }

    // Links go to the configured address or an existing README; a failure to open one is told to the user.
    void linksLeadToTheConfiguredAddressOrAnExistingReadme()
    {
        frame_->Commands().Run(kCmdSite);
        frame_->Commands().Run(kCmdTessaly);
        QCOMPARE(dialogs_.openedUrls.size(), 2);
        for (const QUrl& url : dialogs_.openedUrls) {
            QVERIFY(url.isValid());
            if (url.scheme().startsWith(QLatin1String("http")))
                QCOMPARE(url.query(), QStringLiteral("ref=kolv"));
            else
                QVERIFY2(url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile(), qPrintable(url.toString()));
        }
        auto failure = [](const QUrl& url) {
            return QStringLiteral("Не удалось открыть адрес:\n") + (url.isLocalFile() ? url.toLocalFile() : url.toString());
        };
        dialogs_.openUrlAnswer = false;
        frame_->Commands().Run(kCmdTessaly);
        QCOMPARE(dialogs_.errors, QStringList{failure(dialogs_.openedUrls.last())});
        const QUrl missing = QUrl::fromLocalFile(Scratch(QStringLiteral("gone/README.md")));
        frame_->GetPrompts().showAbout = [missing](QWidget*, const LinkHandler& openLink) { openLink(missing); };
        dialogs_.openUrlAnswer = true;
        frame_->Commands().Run(kCmdAbout);
        QCOMPARE(dialogs_.openedUrls.size(), 3);
        QCOMPARE(dialogs_.errors, (QStringList{failure(dialogs_.openedUrls[2]), failure(missing)}));
    }

    void theDocumentPaneLaysOutItsPartsAndADragShowsInThePanesAtOnce()
    {
        OpenStereo();
        DocumentView* view = frame_->View();
        WaveformView* waveform = view->Waveform();
        EditButtonPanel* buttons = frame_->EditPanel();
        auto at = [&](int id) { return buttons->Button(id)->geometry(); };
        for (const QSize size : {QSize(MainFrame::kFirstWidth, MainFrame::kFirstHeight), QSize(811, 500)}) {
            frame_->resize(size);
            QCoreApplication::processEvents();
            const QRect inner = view->rect().adjusted(1, 1, -1, -1);
            const QRect panel = buttons->geometry();
            const QRect wave = waveform->geometry();
            QVERIFY(panel.bottom() == inner.bottom() && std::abs(panel.center().x() - inner.center().x()) <= 1);
            // The time ruler above, as wide as the waveform; an odd height puts the separator on one middle row.
            QCOMPARE(view->Ruler()->geometry(), QRect(inner.left() + 7, inner.top(), inner.width() - 14, 17));
            QCOMPARE(wave, QRect(inner.left() + 7, inner.top() + 17, inner.width() - 14, wave.height()));
            QVERIFY(wave.height() % 2 == 1);
            QVERIFY(panel.top() - wave.bottom() - 1 == 9 || panel.top() - wave.bottom() - 1 == 10);
            QCOMPARE(view->Bar()->geometry(), QRect(inner.left(), wave.bottom() + 1, inner.width(), 9));

            // Three columns of two, none cut, and the mono button to their right, midway between the rows.
            QVERIFY(inner.contains(panel));
            int right = -1;
            for (const auto& [upper, lower] : {std::pair{kCmdDeleteSelected, kCmdDeleteUnselected},
                                               std::pair{kCmdChangeVolume, kCmdIncreaseVolume}, std::pair{kCmdFadeIn, kCmdFadeOut}}) {
                const QRect top = at(upper), bottom = at(lower);
                QVERIFY(top.left() > right && bottom.left() == top.left() && bottom.width() == top.width());
                QVERIFY(top.top() == at(kCmdDeleteSelected).top() && bottom.top() == at(kCmdDeleteUnselected).top());
                QVERIFY(bottom.top() > top.bottom() && buttons->rect().contains(top) && buttons->rect().contains(bottom));
                QVERIFY(top.width() >= buttons->Button(upper)->sizeHint().width() &&
                        bottom.width() >= buttons->Button(lower)->sizeHint().width());
                right = top.right();
            }
            const QRect mono = at(kCmdToMono);
            QVERIFY(mono.left() > right && buttons->rect().contains(mono) && buttons->Button(kCmdToStereo)->isHidden());
            QVERIFY(std::abs(mono.center().y() - (at(kCmdDeleteSelected).center().y() + at(kCmdDeleteUnselected).center().y()) / 2) <= 1);
        }
        // Tab walks down each column, then to the mono button.
        QList<int> order;
        for (QWidget* w = buttons->nextInFocusChain(); w != buttons; w = w->nextInFocusChain())
            if (auto* button = qobject_cast<QPushButton*>(w); button && buttons->isAncestorOf(button) && !button->isHidden())
                order << button->objectName().mid(4).toInt();
        QCOMPARE(order, (QList<int>{kCmdDeleteSelected, kCmdDeleteUnselected, kCmdChangeVolume, kCmdIncreaseVolume,
                                    kCmdFadeIn, kCmdFadeOut, kCmdToMono}));

        // Mouse moves do not start the idle step: the drag itself brings the panes up to date.
        QTest::mousePress(waveform, Qt::LeftButton, {}, QPoint(waveform->width() / 2, 20));
        QTest::mouseMove(waveform, QPoint(waveform->width() / 4, 20));
        const PlaybackEngine& engine = frame_->Engine();
        auto text = [](int32_t frame) { return QString::fromStdString(FormatTime(frame * 1000.0 / 44100)); };
        QVERIFY(engine.HasSelection());
        QCOMPARE(engine.selectionEnd, int32_t(waveform->PixelToFrame(waveform->width() / 2)));
        QCOMPARE((QStringList{frame_->Status().TimeText(2), frame_->Status().TimeText(3), frame_->Status().TimeText(4)}),
                 (QStringList{text(engine.GetPosition()), text(engine.selectionStart), text(engine.selectionEnd)}));
        QTest::mouseRelease(waveform, Qt::LeftButton, {}, QPoint(waveform->width() / 4, 20));

        // Set end before the start exchanges them; deselect clears both panes at the idle step.
        frame_->Commands().Run(kCmdDeselect);
        for (const auto& [frame, command] : {std::pair{30000, kCmdSetStart}, std::pair{10000, kCmdSetEnd}}) {
            frame_->Engine().SetPosition(frame, 44100);
            frame_->Commands().Run(command);
        }
        QCOMPARE(Marks(), (QList<qint64>{10000, 30000, 10000}));
        frame_->Commands().Run(kCmdDeselect);
        frame_->RefreshUiState();
        QVERIFY(frame_->Status().TimeText(3).isEmpty() && frame_->Status().TimeText(4).isEmpty());
        QCOMPARE(frame_->Status().TimeText(2), QStringLiteral("00:00.227"));
    }

    void aTimedMessageGivesWayToTheIdleTextButNotUnderAMenuTip()
    {
        StatusPanes& status = frame_->Status();
        status.ShowTimedMessage(QStringLiteral("Загружено за 1.00 сек."), 10);
        frame_->statusBar()->showMessage(QStringLiteral("Открыть существующий документ"));
        QTest::qWait(100);  // several of the timer's ticks
        QCOMPARE(status.Message(), QStringLiteral("Загружено за 1.00 сек."));
        QVERIFY(status.HasTimedMessage());
        frame_->statusBar()->clearMessage();
        QTRY_COMPARE(status.Message(), QStringLiteral("Готов"));
        QVERIFY(!status.HasTimedMessage());
    }

    // What a screen reader reads: every control's name, the caption, the message and the times.
    void screenReadersReadTheControlsTheCaptionTheMessageAndTheTimes()
    {
        for (QAction* action : frame_->ToolBar()->actions()) {
            QWidget* button = frame_->ToolBar()->widgetForAction(action);
            QVERIFY(action->isSeparator() || (button && !button->accessibleName().isEmpty()));
        }
        for (int id = kCmdDeleteSelected; id <= kCmdToStereo; ++id)
            QVERIFY(!frame_->EditPanel()->Button(id)->accessibleName().isEmpty());
        for (const Command& command : frame_->Commands().All())
            QVERIFY2(command.menuAction || (command.id >= kCmdDeleteSelected && command.id <= kCmdToStereo),
                     qPrintable(QString::number(command.id)));

        OpenStereo();
        frame_->Commands().Run(kCmdFadeIn);
        frame_->RefreshUiState();
        QCOMPARE(QAccessible::queryAccessibleInterface(frame_.get())->text(QAccessible::Name),
                 QStringLiteral("Brindle - [stereo.wav *]"));
        auto pane = [this](const QString& name) -> QAccessibleInterface* {
            for (QLabel* label : frame_->statusBar()->findChildren<QLabel*>())
                if (label->accessibleName() == name)
                    return QAccessible::queryAccessibleInterface(label);
            return nullptr;
        };
        QAccessibleInterface* length = pane(QStringLiteral("Длина"));
        QAccessibleInterface* position = pane(QStringLiteral("Позиция"));
        QVERIFY(length && position);
        QCOMPARE(length->text(QAccessible::Name), QStringLiteral("Длина"));
        QCOMPARE(length->text(QAccessible::Description), QStringLiteral("00:01.000"));
        frame_->Engine().SetPosition(22050, 44100);
        frame_->RefreshUiState();
        QCOMPARE(position->text(QAccessible::Description), QStringLiteral("00:00.500"));
        frame_->Status().SetMessage(QStringLiteral("Сохраняем"));
        QVERIFY(MessagePane());
        QAccessibleInterface* message = QAccessible::queryAccessibleInterface(MessagePane());
        for (const QString& text : {QStringLiteral("Готов"), QStringLiteral("Сохранено, перекодировано 7 % звука")}) {
            frame_->Status().SetMessage(text);
            QCOMPARE(message->text(QAccessible::Name), text);
            QCOMPARE(message->text(QAccessible::Description), QStringLiteral("Сообщение"));
        }
    }

    // Cancel as the platform delivers it, to the progress window's QWindow: a click, Escape or Space.
    void aLongEditKeepsTheWindowTurningUntilCancelledAndUndoRedoBringBackTheMarks()
    {
        QVERIFY(frame_->OpenFile(test::MakeTone(QStringLiteral("twenty.wav"), 20, 2)));
        frame_->RefreshUiState();
        ChannelSet& set = frame_->GetDocument().ActiveBuffer().channels;
        const std::vector<float> left = Samples(set.Channel(0)), right = Samples(set.Channel(1));
        auto slow = std::make_shared<std::atomic<bool>>(true);
        ChannelStore slowed[2];
        for (int c = 0; c < 2; ++c) {
            uint32_t pieceStart = 0;
            slowed[c].Assign(std::make_shared<SlowStore>(set.Channel(c).PieceAt(0, pieceStart).store, slow));
        }
        QVERIFY(set.Adopt(2, set.SampleRate(), slowed));
        SetGainsAsPieces(false);  // a fade that reads and writes every sample
        enum class Way { Click, Escape, Space };
        for (const Way way : {Way::Click, Way::Escape, Way::Space}) {
            *slow = true;
            int ticks = 0;
            QTimer ticker;
            connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
            ticker.start(10);
            QElapsedTimer clock;
            qint64 shownAt = -1, cancelledAt = -1;
            QTimer watcher;
            connect(&watcher, &QTimer::timeout, [&] {
                auto* window = qobject_cast<ProgressWindow*>(QApplication::activeModalWidget());
                if (!window || !window->isVisible() || cancelledAt >= 0)
                    return;
                if (shownAt < 0)
                    shownAt = clock.elapsed();
                // Keys go to the window that has the focus; a busy machine may activate it a moment late.
                if (way == Way::Click || window->CancelButton()->hasFocus()) {
                    QCOMPARE(window->windowTitle(), QStringLiteral("Обрабатываем"));
                    cancelledAt = clock.elapsed();
                    *slow = false;  // what the window draws next reads at full speed
                    QPushButton* cancel = window->CancelButton();
                    if (way == Way::Click)
                        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, cancel->mapTo(window, cancel->rect().center()));
                    else
                        QTest::keyClick(window->windowHandle(), way == Way::Escape ? Qt::Key_Escape : Qt::Key_Space);
                }
            });
            watcher.start(5);
            clock.start();
            frame_->Commands().Run(kCmdFadeIn);  // eight slow reads: four blocks a channel
            const qint64 ended = clock.elapsed();
            watcher.stop();
            const QString what = QStringLiteral("way %1: shown at %2 ms, %3 ticks, ended %4 ms after Cancel")
                                     .arg(int(way)).arg(shownAt).arg(ticks).arg(ended - cancelledAt);
            QVERIFY2(shownAt >= ProgressWindow::kEditShowDelayMs - 20 && ticks >= shownAt / 10 / 2, qPrintable(what));
            QVERIFY2(ended - cancelledAt < 250 && dialogs_.errors.isEmpty(), qPrintable(what));
            QVERIFY2(Samples(set.Channel(0)) == left && Samples(set.Channel(1)) == right, qPrintable(what));
            QVERIFY(!frame_->GetDocument().Modified() && !frame_->Commands().CanRun(kCmdUndo));
            QCOMPARE(UndoText(), QStringLiteral("Отменить действие"));
        }
        SetGainsAsPieces(true);

        // A quick edit never shows the window; its step is named in Правка and undone by Ctrl+Z.
        ShowCounter shows;
        qApp->installEventFilter(&shows);
        frame_->Commands().Run(kCmdFadeOut);
        qApp->removeEventFilter(&shows);
        QCOMPARE(shows.shown, 0);
        frame_->RefreshUiState();
        QVERIFY(frame_->GetDocument().Modified() && !MenuAction(kCmdRedo)->isEnabled());
        QCOMPARE(UndoText(), QStringLiteral("Отменить: Затухание"));
        QAction* undo = MenuAction(kCmdUndo);
        QAction* redo = MenuAction(kCmdRedo);
        QCOMPARE(undo->shortcuts(), QList<QKeySequence>{QKeySequence(QStringLiteral("Ctrl+Z"))});
        QCOMPARE(redo->shortcuts(), (QList<QKeySequence>{QKeySequence(QStringLiteral("Ctrl+Shift+Z")), QKeySequence(QStringLiteral("Ctrl+Y"))}));
        undo->trigger();
        frame_->RefreshUiState();
        QVERIFY(Samples(set.Channel(0)) == left && !frame_->GetDocument().Modified());
        QCOMPARE(redo->text(), QStringLiteral("Повторить: Затухание"));
        redo->trigger();
        frame_->RefreshUiState();
        QVERIFY(frame_->GetDocument().Modified() && Samples(set.Channel(0)) != left);

        // Undo of a delete brings back the selection and the position, and its redo the cut's.
        PlaybackEngine& engine = frame_->Engine();
        engine.SetSelectionStart(1000, set.FrameCount());
        engine.SetSelectionEnd(5000, set.FrameCount());
        engine.SetPosition(3000, set.FrameCount());
        frame_->RefreshUiState();
        QTest::keyClick(frame_.get(), Qt::Key_Delete);
        QCOMPARE(set.FrameCount(), uint32_t(20 * 44100 - 4000));
        QCOMPARE(Marks(), (QList<qint64>{-1, -1, 1000}));
        frame_->RefreshUiState();
        QCOMPARE(undo->text(), QStringLiteral("Отменить: Удалить выбранное"));
        undo->trigger();
        QCOMPARE(set.FrameCount(), uint32_t(20 * 44100));
        QCOMPARE(Marks(), (QList<qint64>{1000, 5000, 3000}));
        frame_->RefreshUiState();
        redo->trigger();
        QCOMPARE(set.FrameCount(), uint32_t(20 * 44100 - 4000));
        QCOMPARE(Marks(), (QList<qint64>{-1, -1, 1000}));
    }

    // While the last block plays out on the device, a click still seeks.
    void aClickWhileTheLastFramesPlayOutSeeks()
    {
        PacedCardInUse paced;
        QVERIFY(paced.Attach(*frame_, "paced"));
        OpenStereo();
        PlaybackEngine& engine = frame_->Engine();
        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY(engine.isOpen);
        // The whole second went out as one block: past 0.8 s the device holds the last of it.
        QTRY_VERIFY_WITH_TIMEOUT(!engine.isOpen || engine.GetPosition() >= 35280, 10000);
        QVERIFY(engine.isOpen && engine.GetPosition() < 44100);
        WaveformView* waveform = frame_->View()->Waveform();
        QTest::mouseClick(waveform, Qt::LeftButton, {}, QPoint(waveform->width() / 10, 20));
        QTest::qWait(100);
        QVERIFY(engine.isOpen);
        QVERIFY2(engine.GetPosition() > 4410 && engine.GetPosition() < 35280, qPrintable(QString::number(engine.GetPosition())));
        QTRY_VERIFY_WITH_TIMEOUT(!engine.isOpen, 10000);
    }

    // Closing or destroying the window while a stalling device plays frees nothing under its thread (ASan in CI).
    void closingWhilePlayingFreesNothingTheDeviceReads()
    {
        PacedCardInUse paced;
        paced.card.StallWrites(200);
        paced.card.DelayClose(100);
        std::mt19937 random(std::random_device{}());
        for (int round = 0; round < 8; ++round) {
            auto frame = std::make_unique<MainFrame>(dialogs_.MakePrompts());
            QVERIFY(paced.Attach(*frame, round % 4 < 2 ? "paced" : "paced_nopause"));
            frame->show();
            QVERIFY(frame->OpenFile(stereo_));
            frame->Commands().Run(kCmdPlay);
            QTRY_VERIFY(frame->Engine().isOpen);
            const int waitMs = int(random() % 400);
            QTest::qWait(waitMs);
            QSignalSpy closed(frame.get(), &MainFrame::closed);
            QVERIFY2(round % 2 == 1 || frame->close(), qPrintable(QString::number(waitMs)));
            QCOMPARE(closed.count(), 1 - round % 2);
            frame.reset();
        }
    }

    // A device whose every write stalls a second never holds the window up, nor its closing: a pause
    // in the first write, a play from the pause after it, and a watch past the write that play may wait for.
    void aStalledDeviceNeverHoldsTheWindowUp()
    {
        PacedCardInUse paced;
        QVERIFY(paced.Attach(*frame_, "paced"));
        paced.card.StallWrites(1000);
        OpenStereo();
        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY(frame_->CursorTimer()->isActive());  // it asks the device for the position all along
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0, worstGap = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            worstGap = std::max(worstGap, clock.elapsed() - last);
            last = clock.elapsed();
        });
        ticker.start(20);
        QTimer::singleShot(500, this, [this] { frame_->Commands().Run(kCmdPause); });
        QTimer::singleShot(1100, this, [this] { frame_->Commands().Run(kCmdPlay); });
        QTest::qWait(2300);
        ticker.stop();
        QVERIFY2(worstGap < 500, qPrintable(QStringLiteral("the window stood still for %1 ms").arg(worstGap)));
        QVERIFY(frame_->Engine().isOpen);
        clock.restart();
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        QVERIFY(frame_->close());
        frame_.reset();
        QCOMPARE(closed.count(), 1);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QStringLiteral("closing took %1 ms").arg(clock.elapsed())));
    }

    // Ctrl+C, Ctrl+V, Ctrl+X carry audio between files (mono into stereo); silence goes in at the position.
    void cutCopyPasteAndSilenceMoveAudioBetweenFiles()
    {
        QVERIFY(OpenAndFocus(mono_));
        PlaybackEngine& engine = frame_->Engine();
        QVERIFY(!MenuAction(kCmdPaste)->isEnabled());
        engine.SetSelectionStart(1000, 44100);
        engine.SetSelectionEnd(5000, 44100);
        frame_->RefreshUiState();
        const std::vector<float> mono = Samples(Channels().Channel(0));
        Press(Qt::Key_C, Qt::ControlModifier);
        QVERIFY(frame_->GetDocument().HasClip());

        QVERIFY(OpenAndFocus(stereo_));
        const ChannelSet& set = Channels();
        engine.SetPosition(2000, set.FrameCount());
        frame_->RefreshUiState();
        QVERIFY(MenuAction(kCmdPaste)->isEnabled());
        Press(Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(set.FrameCount(), uint32_t(44100 + 4000));
        QCOMPARE(engine.selectionStart, 2000);
        QCOMPARE(engine.selectionEnd, 6000);
        const std::vector<float> expected(mono.begin() + 1000, mono.begin() + 5000);
        for (int c = 0; c < 2; ++c) {
            const std::vector<float> pasted = Samples(set.Channel(c));
            QVERIFY(std::vector<float>(pasted.begin() + 2000, pasted.begin() + 6000) == expected);
        }
        frame_->RefreshUiState();
        QCOMPARE(UndoText(), QStringLiteral("Отменить: Вставить"));
        Press(Qt::Key_X, Qt::ControlModifier);
        QVERIFY(set.FrameCount() == 44100 && !engine.HasSelection());
        frame_->RefreshUiState();
        QCOMPARE(UndoText(), QStringLiteral("Отменить: Вырезать"));

        dialogs_.silenceAnswer = 0.5;
        engine.SetPosition(100, set.FrameCount());
        frame_->RefreshUiState();
        MenuAction(kCmdInsertSilence)->trigger();
        QCOMPARE(set.FrameCount(), uint32_t(44100 + 22050));
        QCOMPARE(engine.selectionStart, 100);
        QCOMPARE(engine.selectionEnd, 100 + 22050);
        const std::vector<float> silent = Samples(set.Channel(1));
        QVERIFY(std::all_of(silent.begin() + 100, silent.begin() + 100 + 22050, [](float x) { return x == 0.0f; }));
    }

    // Нормализовать громкость measures the selection and applies one gain; Сведения о звуке shows the figures.
    void loudnessIsMeasuredAndOneGainApplied()
    {
        OpenStereo();
        const ChannelSet& set = Channels();
        const std::vector<float> before = Samples(set.Channel(0));
        frame_->Engine().SetSelectionStart(0, set.FrameCount());
        frame_->Engine().SetSelectionEnd(22050, set.FrameCount());
        frame_->RefreshUiState();
        dialogs_.loudnessAnswer = 6.0206;
        MenuAction(kCmdNormalizeLoudness)->trigger();
        QVERIFY(dialogs_.loudnessShown && std::isfinite(dialogs_.loudnessShown->integratedLufs));
        const std::vector<float> after = Samples(set.Channel(0));
        QCOMPARE(after[1000], StoreSample(200.0 * double(before[1000]) * double(0.01f)));
        QCOMPARE(after[30000], before[30000]);
        frame_->RefreshUiState();
        QCOMPARE(UndoText(), QStringLiteral("Отменить: Изменить громкость"));
        MenuAction(kCmdSoundProperties)->trigger();
        QCOMPARE(dialogs_.propertiesShown.size(), size_t(6));
        QCOMPARE(dialogs_.propertiesShown[0], (std::pair{QStringLiteral("Формат"), QStringLiteral("WAV, 16 бит, 44100 Гц, стерео")}));
        QCOMPARE(dialogs_.propertiesShown[3].second,
                 QString::number(frame_->GetDocument().Measured().integratedLufs, 'f', 1) + QStringLiteral(" LUFS"));
    }

    // The window's keys while the waveform holds the focus, and the menu items that show them.
    void theKeysMoveSelectPlayAndClear()
    {
        FakeWaveOut& device = UseFakeDevice();
        QVERIFY(OpenAndFocus(stereo_));
        PlaybackEngine& engine = frame_->Engine();
        Press(Qt::Key_End);
        QCOMPARE(engine.GetPosition(), 44100);
        Press(Qt::Key_Home);
        QCOMPARE(engine.GetPosition(), 0);
        Press(Qt::Key_Right);  // one column of the waveform per press
        const qint64 column = engine.GetPosition();
        QVERIFY2(column > 0 && column <= 44100 / frame_->View()->Waveform()->width() + 1, qPrintable(QString::number(column)));
        Press(Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(Marks(), (QList<qint64>{column, engine.GetPosition(), engine.GetPosition()}));
        QVERIFY(engine.selectionEnd > column);
        // The edge at the position follows it, across the other edge too.
        Press(Qt::Key_Home, Qt::ShiftModifier);
        QCOMPARE(Marks(), (QList<qint64>{0, column, 0}));
        Press(Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(Marks(), (QList<qint64>{column, 44100, 44100}));
        QCOMPARE(frame_->Status().TimeText(4), QStringLiteral("00:01.000"));
        Press(Qt::Key_Escape);
        QVERIFY(!engine.HasSelection());

        Press(Qt::Key_Home);
        Press(Qt::Key_Space);
        QVERIFY(engine.isOpen && !engine.isPaused);
        device.Advance(4410);
        QCoreApplication::sendPostedEvents();
        Press(Qt::Key_Space);
        QVERIFY(engine.isPaused);
        Press(Qt::Key_Space);
        QVERIFY(!engine.isPaused);
        engine.SelectAll(44100);
        Press(Qt::Key_Escape);  // clears the selection first, then stops
        QVERIFY(!engine.HasSelection());
        QTRY_VERIFY(!engine.isOpen);
        QCOMPARE(device.played.size(), size_t(4410 * 2));

        for (const int id : {kCmdPlay, kCmdPause})
            QVERIFY(MenuAction(id)->text().endsWith(QStringLiteral("\tSpace")));
        QVERIFY(MenuAction(kCmdDeselect)->text().endsWith(QStringLiteral("\tEsc")));
        QCOMPARE(MenuAction(kCmdSelectAll)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_A));
    }

    // An MP3 snaps selection edges to its frames (an option, remembered); a save says how it was written.
    void anMp3SnapsSelectionEdgesAndASaveSaysHowItWasWritten()
    {
        const QString settings = FreshSettingsFile(QStringLiteral("snap"));
        StartWindow(settings);
        const QString mp3 = Scratch(QStringLiteral("tone.mp3"));
        OpenStereo();
        QVERIFY(frame_->GetDocument().Save(mp3.toStdString()) && frame_->OpenFile(mp3));
        frame_->RefreshUiState();
        QAction* snap = MenuAction(kCmdSnapToFrames);
        QVERIFY(snap->isCheckable() && snap->isChecked());
        QCOMPARE(snap->text(), QStringLiteral("Привязать к кадрам MP3"));

        Document& document = frame_->GetDocument();
        const auto grid = document.Mp3FrameGrid();
        QVERIFY(grid.has_value());
        QCOMPARE(grid->step, 4608u);
        PlaybackEngine& engine = frame_->Engine();
        const uint32_t frames = document.ActiveBuffer().FrameCount();
        for (const auto& [frame, command] : {std::pair{10000, kCmdSetStart}, std::pair{21000, kCmdSetEnd}}) {
            engine.SetPosition(frame, frames);
            frame_->Commands().Run(command);
        }
        QCOMPARE(uint32_t(engine.selectionStart) % grid->step, grid->phase);
        QCOMPARE(uint32_t(engine.selectionEnd) % grid->step, grid->phase);
        QVERIFY(std::abs(engine.selectionStart - 10000) <= 2304 && std::abs(engine.selectionEnd - 21000) <= 2304);
        engine.SetSelectionEnd(frames - 5, frames);  // near the ends, the ends themselves
        QCOMPARE(engine.selectionEnd, int32_t(frames));
        engine.SetSelectionEnd(21000, frames);

        frame_->Commands().Run(kCmdDeleteSelected);
        dialogs_.saveAnswers.push_back(SaveChoice{Scratch(QStringLiteral("cut.mp3")), 1});
        QVERIFY(frame_->Save());
        QCOMPARE(frame_->Status().Message(), QStringLiteral("Сохранено без перекодирования"));
        frame_->Commands().Run(kCmdFadeIn);
        QVERIFY(frame_->Save());
        QCOMPARE(frame_->Status().Message(), QStringLiteral("Сохранено, перекодировано 100 % звука"));
        // The longest of these messages, whole at the window's first size.
        QCOMPARE(frame_->size(), QSize(MainFrame::kFirstWidth, MainFrame::kFirstHeight));
        QLabel* message = MessagePane();
        QVERIFY(message);
        frame_->statusBar()->layout()->activate();
        QVERIFY2(message->isVisible() && message->width() >= message->sizeHint().width(),
                 qPrintable(QStringLiteral("%1 of %2 pixels shown").arg(message->width()).arg(message->sizeHint().width())));

        // Off: edges stay where they are put, and the next run remembers it.
        snap->trigger();
        QVERIFY(!snap->isChecked() && !ReadRemembered(settings).snapToMp3Frames);
        engine.SetSelectionStart(10001, frames);
        QCOMPARE(engine.selectionStart, 10001);
        StartWindow(settings);
        QVERIFY(!MenuAction(kCmdSnapToFrames)->isChecked());
        MenuAction(kCmdSnapToFrames)->trigger();
        QVERIFY(ReadRemembered(settings).snapToMp3Frames);
        OpenStereo();  // a WAV has no frames to keep
        frame_->Engine().SetSelectionStart(10001, 44100);
        QCOMPARE(frame_->Engine().selectionStart, 10001);
    }

    // Zoom keys and button, the scroll bar, keys and playing turning the page; not behind a modal dialog.
    void theZoomKeysEachDoTheirOneThing()
    {
        FakeWaveOut& device = UseFakeDevice();
        QVERIFY(OpenAndFocus(stereo_));
        PlaybackEngine& engine = frame_->Engine();
        WaveformView* waveform = frame_->View()->Waveform();
        QScrollBar* scrollBar = frame_->View()->ScrollBar();
        auto key = [waveform](Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
            QTest::keyClick(waveform, k, modifiers);
        };
        QVERIFY(!waveform->IsZoomed() && scrollBar->isHidden() && !ToolEnabled(kCmdZoomWhole));
        engine.SetPosition(30000, 44100);
        engine.SelectAll(44100);
        const int cursorX = waveform->FrameToPixel(30000);

        key(Qt::Key_Equal);
        QCOMPARE(waveform->VisibleRange().count, 22050);
        QVERIFY(std::abs(waveform->FrameToPixel(30000) - cursorX) <= 1);
        QCOMPARE(Marks(), (QList<qint64>{0, 44100, 30000}));
        QVERIFY(!scrollBar->isHidden());
        QCOMPARE(scrollBar->value(), int(waveform->VisibleRange().first));
        QCOMPARE(scrollBar->maximum(), 44100 - 22050);
        QCOMPARE(scrollBar->y(), waveform->geometry().bottom() + 1);
        QCOMPARE(frame_->View()->Bar()->y(), scrollBar->geometry().bottom() + 1);
        frame_->RefreshUiState();
        QVERIFY(ToolEnabled(kCmdZoomWhole));
        key(Qt::Key_Minus);
        QVERIFY(!waveform->IsZoomed() && scrollBar->isHidden());
        key(Qt::Key_Equal);
        key(Qt::Key_Equal);
        QCOMPARE(waveform->VisibleRange().count, 11025);
        key(Qt::Key_0);
        QCOMPARE(waveform->VisibleRange(), (FrameRange{0, 44100}));
        key(Qt::Key_Equal);
        frame_->RefreshUiState();
        QTest::mouseClick(frame_->findChild<QToolButton*>(QStringLiteral("tool%1").arg(kCmdZoomWhole)), Qt::LeftButton);
        QVERIFY(!waveform->IsZoomed());

        // The scroll bar moves the view; Left from the view's first frame turns back a page.
        key(Qt::Key_Equal);
        key(Qt::Key_Equal);
        scrollBar->setValue(20000);
        QCOMPARE(waveform->VisibleRange(), (FrameRange{20000, 11025}));
        engine.Deselect();
        engine.SetPosition(20000, 44100);
        key(Qt::Key_Left, Qt::NoModifier);
        QCOMPARE(engine.GetPosition(), 19999);
        QCOMPARE(waveform->VisibleRange().End(), 20000);
        QCOMPARE(scrollBar->value(), 20000 - 11025);
        // From a position scrolled out of view, Right moves a column's worth and brings it into view.
        scrollBar->setValue(scrollBar->maximum());
        key(Qt::Key_Right, Qt::NoModifier);
        QCOMPARE(engine.GetPosition(), 19999 + 11025 / waveform->width());
        QCOMPARE(waveform->VisibleRange().End(), engine.GetPosition() + 1);

        // Playing carries the cursor out of the view: the next tick shows the page it entered.
        key(Qt::Key_Home, Qt::NoModifier);
        QCOMPARE(waveform->VisibleRange().first, 0);
        key(Qt::Key_Space, Qt::NoModifier);
        QVERIFY(engine.isOpen);
        device.Advance(12000);
        QCoreApplication::sendPostedEvents();
        waveform->RepaintCursor();
        QCOMPARE(waveform->VisibleRange().first, engine.GetPosition());
        QVERIFY(engine.GetPosition() >= 12000);
        frame_->Commands().Run(kCmdStop);

        QCOMPARE(MenuAction(kCmdZoomIn)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Equal));
        QCOMPARE(MenuAction(kCmdZoomOut)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Minus));
        QCOMPARE(MenuAction(kCmdZoomWhole)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_0));
        QCOMPARE(MenuAction(kCmdZoomWhole)->text(), QStringLiteral("Весь файл"));

        // Behind a modal dialog the window's keys do nothing.
        const FrameRange before = waveform->VisibleRange();
        QDialog dialog(frame_.get());
        dialog.setModal(true);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        key(Qt::Key_0);
        key(Qt::Key_Equal);
        QCOMPARE(waveform->VisibleRange(), before);
        dialog.close();
        QTRY_VERIFY(QApplication::activeWindow() == frame_.get());
        key(Qt::Key_0);
        QVERIFY(!waveform->IsZoomed());
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::MainFrameTest)
#include "main_frame_test.moc"
