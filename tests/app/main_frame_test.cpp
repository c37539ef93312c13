// The main window driven as a person would: commands, rules, file commands, drops and the caption,
// with the real progress window and the dialogs answered by FakeDialogs.
#include <algorithm>
#include <cmath>
#include <QAbstractEventDispatcher>
#include <QAccessible>
#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QDialog>
#include <QScrollBar>
#include <QToolButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QWindow>

#include <QElapsedTimer>
#include <QProgressBar>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <functional>
#include <memory>
#include <random>
#include <sys/resource.h>

#include "edit/edit_kernels.h"
#include "app/command_ids.h"
#include "app/application_setup.h"
#include "app/command_line.h"
#include "app/document_view.h"
#include "app/edit_button_panel.h"
#include "app/main_frame.h"
#include "app/progress_window.h"
#include "app/status_panes.h"
#include "app/wait_cursor.h"
#include "edit/edit_kernels.h"
#include "build_config.h"
#include "gui_test_support.h"
#include "playback/alsa_wave_out.h"
#include "playback/fake_wave_out.h"
#include "playback/paced_card.h"
#include "storage/channel_set.h"
#include "storage/sample_store.h"
#include "view/selection_bar.h"
#include "view/time_format.h"
#include "view/time_ruler.h"
#include "view/waveform_view.h"

namespace brindle {

namespace {

// A store that takes its time over each read while `slow` holds: an edit on it outlasts the progress
// window's delay whatever the machine.
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
        if (event->type() == QEvent::Show && qobject_cast<ProgressWindow*>(watched))
            ++shown;
        return false;
    }
};

}  // namespace

class MainFrameTest : public QObject {
    Q_OBJECT

private:
    test::FakeDialogs dialogs_;
    std::unique_ptr<MainFrame> frame_;
    QString stereo_;  // 1 s stereo tone, 44100 frames
    QString mono_;

    bool ToolEnabled(int id) { return frame_->Commands().Find(id)->toolAction->isEnabled(); }
    bool ToolVisible(int id) { return frame_->Commands().Find(id)->toolAction->isVisible(); }
    bool EditEnabled(int id) { return frame_->EditPanel()->Button(id)->isEnabled(); }
    void OpenStereo()
    {
        QVERIFY(frame_->OpenFile(stereo_));
        frame_->RefreshUiState();
    }

    // The fake device in place of ALSA; its notifications still travel as posted events.
    FakeWaveOut& UseFakeDevice()
    {
        auto device = std::make_unique<FakeWaveOut>(size_t(1) << 22);
        FakeWaveOut& fake = *device;
        frame_->SetOutputDevice(std::move(device));
        return fake;
    }

    // The tests' own real-time card (tests/playback/paced_pcm_plugin.cpp) in place of the machine's,
    // for as long as this lives.
    struct PacedCardInUse {
        PacedCardInUse() : oldConfig(qgetenv("ALSA_CONFIG_PATH"))
        {
            card.Reset();
            test::PacedCard::UseConfiguration((test::ScratchDir() + QStringLiteral("/asound.conf")).toStdString());
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
            if (!card.Loaded())
                return false;
            frame.SetOutputDevice(std::make_unique<AlsaWaveOut>(AlsaWaveOut::Options{name, true}));
            return true;
        }
        test::PacedCard card;
        QByteArray oldConfig;
    };

    // A settings file of its own for one test, none there yet.
    static QString FreshSettingsFile(const QString& name)
    {
        const QString folder = test::ScratchDir() + QStringLiteral("/settings-") + name;
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        return folder + QStringLiteral("/Brindle.conf");
    }

    // A new run of the editor with this settings file: the old window goes first.
    // The status bar's message pane: the label that shows the message (no time looks like one).
    QLabel* MessagePane() const
    {
        for (QLabel* label : frame_->statusBar()->findChildren<QLabel*>()) {
            if (label->text() == frame_->Status().Message())
                return label;
        }
        return nullptr;
    }

    void StartWithSettings(const QString& settings)
    {
        if (frame_)
            frame_->GetDocument().Reset();
        frame_.reset();
        dialogs_.errors.clear();
        frame_ = std::make_unique<MainFrame>(dialogs_.MakePrompts(), settings);
        frame_->show();
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

    QAction* FileMenuAction(const QString& text)
    {
        for (QAction* action : frame_->FileMenu()->actions()) {
            if (action->text() == text)
                return action;
        }
        qFatal("no menu item %s", qPrintable(text));
    }

private slots:
    void initTestCase()
    {
        stereo_ = test::MakeTone(QStringLiteral("stereo.wav"), 1, 2);
        mono_ = test::MakeTone(QStringLiteral("mono.wav"), 1, 1);
        QVERIFY(!stereo_.isEmpty() && !mono_.isEmpty());
    }

    void init()
    {
        dialogs_ = test::FakeDialogs();
        frame_ = std::make_unique<MainFrame>(dialogs_.MakePrompts());
        frame_->show();
    }

    void cleanup()
    {
        if (frame_)
            frame_->GetDocument().Reset();
        frame_.reset();
    }

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

    void enabledRulesFollowTheSoundPlaybackAndSelection()
    {
        frame_->RefreshUiState();
        for (int id : {kCmdSave, kCmdPlay, kCmdStop, kCmdSetStart, kCmdSetEnd, kCmdSelectAll, kCmdDeselect})
            QVERIFY2(!ToolEnabled(id), qPrintable(QString::number(id)));
        QVERIFY(ToolEnabled(kCmdOpen) && ToolEnabled(kCmdSite));
        for (int id = kCmdDeleteSelected; id <= kCmdToStereo; ++id)
            QVERIFY(!EditEnabled(id));
        QVERIFY(!frame_->IsShowingDocument());

        OpenStereo();
        QVERIFY(frame_->IsShowingDocument());
        QVERIFY(!ToolEnabled(kCmdSave) && !ToolEnabled(kCmdStop) && !ToolEnabled(kCmdDeselect));
        QVERIFY(ToolEnabled(kCmdPlay) && ToolEnabled(kCmdSetStart) && ToolEnabled(kCmdSelectAll));
        QVERIFY(!EditEnabled(kCmdDeleteSelected) && !EditEnabled(kCmdDeleteUnselected));
        QVERIFY(EditEnabled(kCmdFadeIn) && EditEnabled(kCmdChangeVolume) && EditEnabled(kCmdToMono));
        QVERIFY(!EditEnabled(kCmdToStereo));
        QCOMPARE(frame_->Status().TimeText(1), QStringLiteral("00:01.000"));

        PlaybackEngine& engine = frame_->Engine();
        engine.selectionStart = 1000;
        engine.selectionEnd = 2000;
        frame_->RefreshUiState();
        QVERIFY(EditEnabled(kCmdDeleteSelected) && EditEnabled(kCmdDeleteUnselected) && ToolEnabled(kCmdDeselect));

        engine.isOpen = true;  // playing
        frame_->RefreshUiState();
        QVERIFY(!ToolVisible(kCmdPlay) && ToolVisible(kCmdPause) && ToolEnabled(kCmdStop));
        for (int id = kCmdDeleteSelected; id <= kCmdToStereo; ++id)
            QVERIFY(!EditEnabled(id));
        engine.isPaused = true;
        frame_->RefreshUiState();
        QVERIFY(ToolVisible(kCmdPlay) && !ToolVisible(kCmdPause));
        engine.isOpen = engine.isPaused = false;

        frame_->Commands().Run(kCmdSelectAll);
        frame_->RefreshUiState();
        QCOMPARE(engine.selectionEnd, 44100);
        QVERIFY(!EditEnabled(kCmdDeleteSelected) && !EditEnabled(kCmdDeleteUnselected));
        QVERIFY(EditEnabled(kCmdFadeOut));
    }

    void editFlowGuardsDialogsAndCursor()
    {
        OpenStereo();
        Document& document = frame_->GetDocument();
        const int cursorsBefore = WaitCursor::ShownCount();
        dialogs_.volumeAnswer = 100;
        frame_->Commands().Run(kCmdChangeVolume);
        QCOMPARE(WaitCursor::ShownCount(), cursorsBefore);  // not even the wait cursor
        QVERIFY(!document.Modified());
        dialogs_.volumeAnswer.reset();  // cancelled
        frame_->Commands().Run(kCmdChangeVolume);
        QVERIFY(!document.Modified());

        // Delete with no real selection is refused by its guard.
        frame_->Commands().Run(kCmdDeleteSelected);
        QCOMPARE(document.ActiveBuffer().FrameCount(), 44100u);

        PlaybackEngine& engine = frame_->Engine();
        engine.selectionStart = 1000;
        engine.selectionEnd = 2000;
        frame_->Commands().Run(kCmdDeleteSelected);
        QCOMPARE(document.ActiveBuffer().FrameCount(), 43100u);
        QCOMPARE(engine.GetPosition(), 1000);
        QCOMPARE(engine.selectionStart, -1);
        QCOMPARE(engine.selectionEnd, -1);
        QVERIFY(document.Modified());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);

        engine.isOpen = true;  // edits are refused while playing
        frame_->Commands().Run(kCmdToMono);
        QVERIFY(document.ActiveBuffer().IsStereo());
        engine.isOpen = false;
        frame_->Commands().Run(kCmdToMono);
        QVERIFY(document.ActiveBuffer().IsMono());
        dialogs_.stereoAnswer = 2;
        frame_->Commands().Run(kCmdToStereo);
        QVERIFY(document.ActiveBuffer().IsMono());
        dialogs_.stereoAnswer = 1;
        frame_->Commands().Run(kCmdToStereo);
        QVERIFY(document.ActiveBuffer().IsStereo());
    }

    // Space and Enter, the keys players bind to playing, never repeat an edit whose button was only
    // clicked: a click leaves no focus on the button, and a click in the waveform or its bar takes it.
    // Tab still reaches the buttons, and from the keyboard they work.
    void keysAfterAClickedEditButtonAndAClickInTheWaveformEditNothing()
    {
        OpenStereo();
        frame_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frame_.get()));
        const Document& document = frame_->GetDocument();
        auto samples = [&document] {
            const ChannelSet& channels = document.ActiveBuffer().channels;
            std::vector<float> all(size_t(channels.FrameCount()) * 2);
            for (int c = 0; c < 2; ++c)
                channels.Channel(c).ReadSamples(0, all.data() + c * channels.FrameCount(), channels.FrameCount());
            return all;
        };
        QPushButton* fadeOut = frame_->EditPanel()->Button(kCmdFadeOut);
        const QPoint middle(frame_->View()->Waveform()->width() / 2, 20);
        for (QWidget* clicked : {static_cast<QWidget*>(frame_->View()->Waveform()), static_cast<QWidget*>(frame_->View()->Bar())}) {
            const std::vector<float> before = samples();
            QTest::mouseClick(fadeOut, Qt::LeftButton);
            const std::vector<float> faded = samples();
            QVERIFY(faded != before);
            auto pressPlayKeys = [] {
                for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter})
                    QTest::keyClick(QApplication::focusWidget(), key);
            };
            pressPlayKeys();
            QVERIFY(samples() == faded);
            QTest::mouseClick(clicked, Qt::LeftButton, {}, QPoint(middle.x(), clicked->height() / 2));
            pressPlayKeys();
            QVERIFY2(samples() == faded, qPrintable(clicked->objectName()));
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
        // Playing from the moment the device took the open, before its "opened" arrives: an edit
        // queued right behind Play (clicks that waited while the window was busy) is refused.
        QVERIFY(engine.isOpen);
        frame_->Commands().Run(kCmdToMono);
        frame_->Commands().Run(kCmdFadeIn);
        QVERIFY(frame_->GetDocument().ActiveBuffer().IsStereo() && !frame_->GetDocument().Modified());
        QCoreApplication::sendPostedEvents();
        QVERIFY(engine.isOpen);
        frame_->RefreshUiState();
        QVERIFY(!ToolVisible(kCmdPlay) && ToolVisible(kCmdPause) && ToolEnabled(kCmdStop));
        QVERIFY(!EditEnabled(kCmdFadeIn));
        QVERIFY(frame_->CursorTimer()->isActive());
        QCOMPARE(frame_->CursorTimer()->interval(), 50);  // one second across the view: the floor

        // Set start takes the frame being heard.
        device.Advance(4410);
        frame_->Commands().Run(kCmdSetStart);
        QCOMPARE(engine.selectionStart, 4410);

        frame_->Commands().Run(kCmdPause);
        frame_->RefreshUiState();
        QVERIFY(ToolVisible(kCmdPlay) && !ToolVisible(kCmdPause) && ToolEnabled(kCmdStop));
        QCOMPARE(device.Advance(1000), 0u);
        frame_->Commands().Run(kCmdPlay);
        while (device.Advance(10000) > 0)
            QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
        QVERIFY(!engine.isOpen && !device.IsOpen());
        QVERIFY(!frame_->CursorTimer()->isActive());
        QCOMPARE(engine.GetPosition(), 0);
        QCOMPARE(device.played.size(), size_t(44100 * 2));
        frame_->RefreshUiState();
        QVERIFY(ToolVisible(kCmdPlay) && !ToolEnabled(kCmdStop));
    }

    // Over a card that plays in real time from a thread of its own (the tests' alsa-lib plugin), so
    // the notifications reach the window as events posted from another thread.
    void playsThroughARealDeviceAndStopsItBeforeALoad()
    {
        test::PacedCard card;
        QVERIFY2(card.Loaded(), dlerror());
        card.Reset();
        const QByteArray oldConfig = qgetenv("ALSA_CONFIG_PATH");
        test::PacedCard::UseConfiguration((test::ScratchDir() + QStringLiteral("/asound.conf")).toStdString());
        frame_->SetOutputDevice(std::make_unique<AlsaWaveOut>(AlsaWaveOut::Options{"paced", true}));
        const QString raw = test::ScratchDir() + QStringLiteral("/stereo.raw");
        QVERIFY(test::RunTool(QStringLiteral("sox"), {stereo_, QStringLiteral("-t"), QStringLiteral("raw"),
                                                      QStringLiteral("-e"), QStringLiteral("signed"), QStringLiteral("-b"),
                                                      QStringLiteral("16"), QStringLiteral("-L"), raw}));
        QFile rawFile(raw);
        QVERIFY(rawFile.open(QIODevice::ReadOnly));
        const QByteArray expected = rawFile.readAll();

        OpenStereo();
        PlaybackEngine& engine = frame_->Engine();
        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY_WITH_TIMEOUT(card.PlayedFrames() > 4410, 10000);
        QVERIFY(engine.isOpen && frame_->CursorTimer()->isActive());
        frame_->Commands().Run(kCmdPause);
        QTest::qWait(50);  // the device's thread takes the request at its next look
        const uint64_t heldAt = card.PlayedFrames();
        QTest::qWait(200);
        QCOMPARE(card.PlayedFrames(), heldAt);
        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY_WITH_TIMEOUT(!engine.isOpen, 10000);
        QCOMPARE(engine.GetPosition(), 0);
        QVERIFY(!frame_->CursorTimer()->isActive());
        const std::vector<unsigned char> played = card.Recording();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(played.data()), qsizetype(played.size())), expected);

        // A load while the card plays stops it and waits for it to close; the new sound then plays.
        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY_WITH_TIMEOUT(engine.isOpen && engine.GetPosition() > 4410, 10000);
        QVERIFY(frame_->OpenFile(mono_));
        QVERIFY(!engine.isOpen);
        QCOMPARE(engine.GetPosition(), 0);
        card.Reset();
        frame_->Commands().Run(kCmdPlay);
        QTRY_COMPARE_WITH_TIMEOUT(card.PlayedFrames(), uint64_t(44100), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!engine.isOpen, 10000);

        frame_->SetOutputDevice(std::make_unique<FakeWaveOut>(size_t(1) << 22));
        if (oldConfig.isNull())
            qunsetenv("ALSA_CONFIG_PATH");
        else
            qputenv("ALSA_CONFIG_PATH", oldConfig);
    }

    void cursorPeriodFollowsTheWidthAndFileCommandsStopPlayingFirst()
    {
        FakeWaveOut& device = UseFakeDevice();
        PlaybackEngine& engine = frame_->Engine();
        // A minute at 8 kHz: one pixel of cursor travel takes longer than 50 ms.
        const QString minute = test::ScratchDir() + QStringLiteral("/minute.wav");
        QVERIFY(test::RunTool(QStringLiteral("sox"), {QStringLiteral("-r"), QStringLiteral("8000"), QStringLiteral("-c"),
                                                      QStringLiteral("1"), QStringLiteral("-n"), QStringLiteral("-b"),
                                                      QStringLiteral("16"), minute, QStringLiteral("synth"),
                                                      QStringLiteral("60"), QStringLiteral("sine"), QStringLiteral("300")}));
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

        // A save right behind Play, before the device's "opened" arrives: the save's worker owns the
        // sound, and the player writes nothing while it runs.
        frame_->Commands().Run(kCmdPlay);
        QVERIFY(engine.isOpen);
        const size_t blocksBeforeSave = device.writtenBytes.size();
        const QString saved = test::ScratchDir() + QStringLiteral("/played-while-saved.wav");
        dialogs_.saveAnswers.push_back(SaveChoice{saved, 2});
        frame_->Commands().Run(kCmdSaveAs);
        QCOMPARE(device.writtenBytes.size(), blocksBeforeSave);
        QVERIFY(!engine.isOpen && !device.IsOpen());
        QCOMPARE(test::SoxFrameCount(saved), 44100LL);

        frame_->Commands().Run(kCmdPlay);
        QCoreApplication::sendPostedEvents();
        QVERIFY(engine.isOpen);
        QVERIFY(frame_->CloseDocument());
        QVERIFY(!engine.isOpen && !device.IsOpen());
        QCOMPARE(device.opens, 3);
    }

    void saveAsNamesCaptionsAndFilters()
    {
        OpenStereo();
        frame_->RefreshUiState();
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [stereo.wav]"));
        frame_->Commands().Run(kCmdFadeIn);
        frame_->RefreshUiState();
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [stereo.wav *]"));
        QVERIFY(ToolEnabled(kCmdSave));

        // The first Save after an open asks for a name, proposing "stereo (1).wav" under the WAV filter.
        // A typed ending decides the format, whatever type was chosen: x.wav under the MP3 type is a WAV.
        const QString chosen = test::ScratchDir() + QStringLiteral("/x.wav");
        dialogs_.saveAnswers.push_back(SaveChoice{chosen, 1});
        frame_->Commands().Run(kCmdSave);
        QCOMPARE(dialogs_.saveDialogs, 1);
        QCOMPARE(dialogs_.lastProposal, test::ScratchDir() + QStringLiteral("/stereo (1).wav"));
        QCOMPARE(dialogs_.lastFilterIndex, 2);
        QVERIFY2(!QFile::exists(chosen + QStringLiteral(".mp3")), "the MP3 type and the name x.wav saved x.wav.mp3");
        QCOMPARE(test::SoxFrameCount(chosen), 44100);
        QVERIFY(frame_->GetDocument().Kind() == FileType::Wav);
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [x.wav]"));

        // A name without a known ending takes the chosen type's.
        frame_->Commands().Run(kCmdFadeOut);
        const QString mp3 = test::ScratchDir() + QStringLiteral("/b");
        dialogs_.saveAnswers.push_back(SaveChoice{mp3, 1});
        QVERIFY(frame_->SaveAs());
        QVERIFY(QFile::exists(mp3 + QStringLiteral(".mp3")));
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [b.mp3]"));
        QCOMPARE(dialogs_.lastFilterIndex, 2);  // still a WAV-kind document when the dialog opened
        QVERIFY(frame_->GetDocument().Kind() == FileType::Mp3);
    }

    void answeringYesThenCancellingSaveAsKeepsTheSound()
    {
        OpenStereo();
        frame_->Commands().Run(kCmdIncreaseVolume);
        QVERIFY(frame_->GetDocument().Modified());
        dialogs_.saveQuestionAnswers.push_back(QMessageBox::Yes);  // then the save dialog is cancelled
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        QVERIFY(!frame_->close());
        QCOMPARE(closed.count(), 0);
        QCOMPARE(dialogs_.saveQuestions, 1);
        QCOMPARE(dialogs_.saveDialogs, 1);
        QVERIFY(frame_->GetDocument().Modified());
        QVERIFY(!frame_->GetDocument().IsEmpty());

        dialogs_.saveQuestionAnswers.push_back(QMessageBox::No);
        QVERIFY(frame_->close());
        QCOMPARE(closed.count(), 1);
    }

    void theEndOfTheSessionAsksAboutUnsavedChangesOrHoldsItUp()
    {
        int permissionsAsked = 0;
        auto allowed = [&permissionsAsked] {
            ++permissionsAsked;
            return true;
        };
        QVERIFY(frame_->QueryEndSession(allowed));
        OpenStereo();
        QVERIFY(frame_->QueryEndSession(allowed));
        QCOMPARE(permissionsAsked, 0);  // nothing to ask about, so no permission sought

        Document& document = frame_->GetDocument();
        frame_->Commands().Run(kCmdFadeIn);
        QVERIFY(!frame_->QueryEndSession([] { return false; }));
        QCOMPARE(dialogs_.saveQuestions, 0);
        dialogs_.saveQuestionAnswers = {QMessageBox::Cancel};
        QVERIFY(!frame_->QueryEndSession(allowed));
        QCOMPARE(dialogs_.saveQuestions, 1);
        QVERIFY(document.Modified());

        const QString saved = test::ScratchDir() + QStringLiteral("/at-logout.wav");
        dialogs_.saveQuestionAnswers = {QMessageBox::Yes};
        dialogs_.saveAnswers.push_back(SaveChoice{saved, 2});
        QVERIFY(frame_->QueryEndSession(allowed));
        QCOMPARE(test::SoxFrameCount(saved), 44100);
        QVERIFY(!document.Modified());

        frame_->Commands().Run(kCmdFadeOut);
        dialogs_.saveQuestionAnswers = {QMessageBox::No};
        QVERIFY(frame_->QueryEndSession(allowed));
        QCOMPARE(dialogs_.saveQuestions, 3);
        QCOMPARE(permissionsAsked, 3);
    }

    // What the xcb plugin shows the native event filters when the X server reports a window destroyed
    // by someone else: the X protocol's DestroyNotify, laid out as xcb_destroy_notify_event_t.
    static void DeliverDestroyNotify(WId window)
    {
        struct {
            uint8_t responseType = 17;
            uint8_t pad = 0;
            uint16_t sequence = 0;
            uint32_t event = 0;
            uint32_t window = 0;
        } notify;
        notify.event = notify.window = uint32_t(window);
        qintptr result = 0;
        QAbstractEventDispatcher::instance()->filterNativeEvent(QByteArrayLiteral("xcb_generic_event_t"), &notify,
                                                                &result);
    }

    void aWindowDestroyedFromOutsideCancelsTheLoadAndEndsTheProgram()
    {
        int progressResult = 0;
        Prompts prompts = dialogs_.MakePrompts();
        prompts.runProgress = [this, &progressResult](QWidget* owner, Document& document, TaskMode mode) {
            ProgressWindow window(document, mode, owner);
            // Destroyed as soon as the bar first moves, so the worker is certainly under way.
            bool destroyed = false;
            connect(window.Bar(), &QProgressBar::valueChanged, &window, [this, &destroyed](int value) {
                if (value > 0 && !destroyed) {
                    destroyed = true;
                    DeliverDestroyNotify(frame_->winId());
                }
            });
            return progressResult = window.Run();
        };
        frame_ = std::make_unique<MainFrame>(prompts);
        frame_->show();
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        DeliverDestroyNotify(frame_->winId() + 1);  // some other window
        QCOMPARE(closed.count(), 0);

        QVERIFY(!frame_->OpenFile(test::MakeTone(QStringLiteral("ten seconds.wav"), 10, 2)));
        QCOMPARE(progressResult, 2);
        QCOMPARE(closed.count(), 1);
    }

    void droppingThreeFilesOpensTheFirst()
    {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(mono_), QUrl::fromLocalFile(stereo_), QUrl::fromLocalFile(mono_)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(frame_.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(frame_.get(), &drop);
        // The drop returns to the drag source at once; the load follows from the event loop.
        QVERIFY(drop.isAccepted());
        QVERIFY(frame_->GetDocument().IsEmpty());
        QTRY_COMPARE(QString::fromStdString(frame_->GetDocument().SourcePath().string()), mono_);
        QVERIFY(frame_->GetDocument().ActiveBuffer().IsMono());
        QVERIFY(frame_->IsShowingDocument());
    }

    // A name that is not UTF-8 (Latin-1 bytes) reaches the file system byte for byte; a drop that
    // cannot open says why and keeps the sound that was open.
    void aDroppedNameIsTakenByItsBytesAndAFailedDropKeepsTheSound()
    {
        const QByteArray latin1 = QFile::encodeName(test::ScratchDir()) + "/caf\xe9.wav";
        QVERIFY(QFile::copy(stereo_, QStringLiteral("%1/cafe.wav").arg(test::ScratchDir())));
        QCOMPARE(::rename(QFile::encodeName(test::ScratchDir() + QStringLiteral("/cafe.wav")).constData(), latin1.constData()), 0);
        auto drop = [this](const QUrl& url) {
            QMimeData mime;
            mime.setUrls({url});
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(frame_.get(), &enter);
            QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(frame_.get(), &event);
            QTest::qWait(50);
        };
        drop(QUrl::fromEncoded("file://" + latin1.toPercentEncoding("/")));
        QVERIFY2(dialogs_.errors.isEmpty(), qPrintable(dialogs_.errors.join(QLatin1Char('|'))));
        QCOMPARE(QByteArray::fromStdString(frame_->GetDocument().SourcePath().string()), latin1);
        QVERIFY(frame_->GetDocument().ActiveBuffer().IsStereo());
        QVERIFY(dialogs_.errors.isEmpty());

        frame_->Commands().Run(kCmdFadeIn);
        drop(QUrl::fromLocalFile(test::ScratchDir() + QStringLiteral("/gone.wav")));
        QCOMPARE(dialogs_.saveQuestions, 0);
        QCOMPARE(dialogs_.errors.size(), 1);
        QVERIFY2(dialogs_.errors.last().endsWith(QStringLiteral("gone.wav\nNo such file or directory")),
                 qPrintable(dialogs_.errors.last()));
        QCOMPARE(QByteArray::fromStdString(frame_->GetDocument().SourcePath().string()), latin1);
        QVERIFY(frame_->GetDocument().Modified());
    }

    // Every failure box says the designed text and then, on a line of its own, why.
    void failedOpenSaveAndEditShowTheirMessagesWithTheReason()
    {
        const QString text = test::ScratchDir() + QStringLiteral("/notes.txt");
        QFile(text).open(QIODevice::WriteOnly);
        QVERIFY(!frame_->OpenFile(text));
        QCOMPARE(dialogs_.errors, QStringList{QStringLiteral("Ошибка открытия:\n%1\nthe name ends in none of .mp3, .wav, .flac, .ogg, .oga, .opus").arg(text)});
        QVERIFY(!frame_->IsShowingDocument());

        const QString bad = test::ScratchDir() + QStringLiteral("/bad.wav");
        QFile badFile(bad);
        QVERIFY(badFile.open(QIODevice::WriteOnly));
        badFile.write(QByteArray(200, 'x'));
        badFile.close();
        QVERIFY(!frame_->OpenFile(bad));
        QCOMPARE(dialogs_.errors.last(), QStringLiteral("Ошибка открытия:\n%1\nnot a WAV file (no RIFF header)").arg(bad));
        QVERIFY(frame_->IsShowingDocument());  // the views switched before the importer failed
        QVERIFY(frame_->GetDocument().IsEmpty());
        QCOMPARE(frame_->Status().Message(), QStringLiteral("Готов"));

        const QString missing = test::ScratchDir() + QStringLiteral("/missing.wav");
        QVERIFY(!frame_->OpenFile(missing));
        QCOMPARE(dialogs_.errors.last(), QStringLiteral("Ошибка открытия:\n%1\nNo such file or directory").arg(missing));
        const QString sixChannels = test::ScratchDir() + QStringLiteral("/six.wav");
        QVERIFY(test::RunTool(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("8000"),
                                                      QStringLiteral("-c"), QStringLiteral("6"), sixChannels,
                                                      QStringLiteral("trim"), QStringLiteral("0"), QStringLiteral("0.01")}));
        QVERIFY(!frame_->OpenFile(sixChannels));
        QVERIFY2(dialogs_.errors.last().endsWith(QStringLiteral("\n6 channels (only mono and stereo open)")),
                 qPrintable(dialogs_.errors.last()));

        // An edit that fails (here: no room for the faded samples) says so and why, and leaves the
        // sound as it was.
        QVERIFY(frame_->OpenFile(mono_));
        {
            struct rlimit old {};
            QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit tight = old;
            tight.rlim_cur = 4096;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tight), 0);
            // A fade the pieces carry writes nothing: this one is written, as past the gains a piece
            // carries.
            SetGainsAsPieces(false);
            frame_->Commands().Run(kCmdFadeIn);
            SetGainsAsPieces(true);
            ::setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldHandler);
        }
        QCOMPARE(dialogs_.errors.last(), QStringLiteral("Ошибка изменения звука\nFile too large"));
        QVERIFY(frame_->GetDocument().ActiveBuffer().IsMono() && !frame_->GetDocument().Modified());

        OpenStereo();
        frame_->Commands().Run(kCmdFadeIn);
        const QString target = test::ScratchDir() + QStringLiteral("/no such folder/out.wav");
        dialogs_.saveAnswers.push_back(SaveChoice{target, 2});
        QVERIFY(!frame_->Save());
        QCOMPARE(dialogs_.errors.last(), QStringLiteral("Ошибка сохранения \"%1\"!\nNo such file or directory").arg(target));
        QVERIFY(frame_->GetDocument().Modified());
        QVERIFY(!QFile::exists(target));

        // The name that could not be written is not adopted: the caption keeps the old one and Save
        // asks again; after a later failed Save As, Save writes to the last saved file without asking.
        frame_->RefreshUiState();
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [stereo.wav *]"));
        const QString kept = test::ScratchDir() + QStringLiteral("/kept.wav");
        dialogs_.saveAnswers.push_back(SaveChoice{kept, 2});
        const int dialogsBefore = dialogs_.saveDialogs;
        QVERIFY(frame_->Save());
        QCOMPARE(dialogs_.saveDialogs, dialogsBefore + 1);
        frame_->Commands().Run(kCmdFadeOut);
        dialogs_.saveAnswers.push_back(SaveChoice{target, 2});
        QVERIFY(!frame_->SaveAs());
        QVERIFY(dialogs_.errors.last().startsWith(QStringLiteral("Ошибка сохранения \"%1\"!\n").arg(target)));
        frame_->RefreshUiState();
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [kept.wav *]"));
        QVERIFY(frame_->Save());
        QCOMPARE(dialogs_.saveDialogs, dialogsBefore + 2);
        QVERIFY(!frame_->GetDocument().Modified());
    }

    // As main() does it: the request read from what the QApplication left of the command line, then
    // the window's OpenFile. Relative and non-UTF-8 names reach their files; a missing or broken one
    // gets the open error box with its reason, and the window stays.
    void aFileNamedOnTheCommandLineOpensAsTheOpenCommandWould()
    {
        QSignalSpy closed(frame_.get(), &MainFrame::closed);
        auto start = [this](const QByteArray& name) {
            QByteArray program("brindle");
            QByteArray file = name;
            char* argv[] = {program.data(), file.data(), nullptr};
            const StartRequest request = ReadCommandLine(2, argv);
            if (request.exitCode || request.file.empty())
                return -1;
            return frame_->OpenFile(request.file);
        };

        const QString oldCurrent = QDir::currentPath();
        QVERIFY(QDir::setCurrent(test::ScratchDir()));
        const int relative = start("stereo.wav");
        QDir::setCurrent(oldCurrent);
        QCOMPARE(relative, 1);
        QVERIFY(frame_->IsShowingDocument());
        QCOMPARE(QString::fromStdString(frame_->GetDocument().SourcePath().string()), stereo_);
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle - [stereo.wav]"));

        const QByteArray latin1 = QFile::encodeName(test::ScratchDir()) + "/start-caf\xe9.wav";
        QVERIFY(QFile::copy(mono_, test::ScratchDir() + QStringLiteral("/start-cafe.wav")));
        QCOMPARE(::rename(QFile::encodeName(test::ScratchDir() + QStringLiteral("/start-cafe.wav")).constData(),
                          latin1.constData()),
                 0);
        QCOMPARE(start(latin1), 1);
        QCOMPARE(QByteArray::fromStdString(frame_->GetDocument().SourcePath().string()), latin1);
        QVERIFY2(dialogs_.errors.isEmpty(), qPrintable(dialogs_.errors.join(QLatin1Char('|'))));

        const QString missing = test::ScratchDir() + QStringLiteral("/not here.mp3");
        QCOMPARE(start(QFile::encodeName(missing)), 0);
        QCOMPARE(dialogs_.errors, QStringList{QStringLiteral("Ошибка открытия:\n%1\nNo such file or directory").arg(missing)});

        const QString broken = test::ScratchDir() + QStringLiteral("/broken.mp3");
        QFile brokenFile(broken);
        QVERIFY(brokenFile.open(QIODevice::WriteOnly));
        brokenFile.write(QByteArray(4000, '\x5a'));
        brokenFile.close();
        QCOMPARE(start(QFile::encodeName(broken)), 0);
        QCOMPARE(dialogs_.errors.size(), 2);
        QVERIFY2(dialogs_.errors.last().startsWith(QStringLiteral("Ошибка открытия:\n%1\n").arg(broken)),
                 qPrintable(dialogs_.errors.last()));
        QVERIFY(dialogs_.errors.last().section(QLatin1Char('\n'), 2).size() > 0);
        QVERIFY(frame_->isVisible());
        QCOMPARE(closed.count(), 0);
    }

    // The real program, as a file manager or a shell starts it: help and version on standard output
    // with exit code 0, a usage error on standard error with 2, and Qt's own options left to Qt.
    void theProgramAnswersHelpVersionAndUsageErrorsWithTheirExitCodes()
    {
        const QString home = test::ScratchDir() + QStringLiteral("/child-home");
        QVERIFY(QDir().mkpath(home));
        struct Run {
            int code = -1;
            QByteArray out, error;
        };
        // No display at all unless offscreen: help and version must answer on a machine without one.
        auto run = [&home](const QStringList& arguments, bool offscreen = true) {
            QProcess process;
            QProcessEnvironment environment;
            environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
            if (offscreen)
                environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            // The Russian texts, which the checks below read.
            environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8"));
            environment.insert(QStringLiteral("HOME"), home);
            environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), qEnvironmentVariable("XDG_RUNTIME_DIR"));
            process.setProcessEnvironment(environment);
            process.start(QStringLiteral(BRINDLE_EXECUTABLE), arguments);
            Run result;
            if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
                result.code = process.exitCode();
            result.out = process.readAllStandardOutput();
            result.error = process.readAllStandardError();
            return result;
        };

        const Run help = run({QStringLiteral("--help")}, false);
        QCOMPARE(help.code, 0);
        QVERIFY2(help.out.startsWith("Использование: brindle [--help] [--version] [ФАЙЛ]\n"), help.out.constData());
        QVERIFY(help.out.contains("--version"));

        // The package's version, as the manual pages and the package give it.
        const QByteArray version = "Brindle " + QByteArray(config::kVersion) + '\n';
        QVERIFY(QByteArray(config::kProductVersion).startsWith(QByteArray(config::kVersion) + '.'));
        const Run shown = run({QStringLiteral("--version")}, false);
        QCOMPARE(shown.code, 0);
        QCOMPARE(shown.out, version);
        const Run qtOption = run({QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("-v")});
        QCOMPARE(qtOption.code, 0);
        QCOMPARE(qtOption.out, version);

        // Usage errors answer without a display too; a name that begins with '-' is told how to pass.
        const QByteArray dashHint = "Имя файла, начинающееся с «-», ставится после «--»: brindle -- -dash.wav\n";
        for (const QStringList& wrong : {QStringList{QStringLiteral("--no-such-option")},
                                         QStringList{stereo_, mono_}, QStringList{QStringLiteral("-dash.wav")}}) {
            const Run usage = run(wrong, false);
            QCOMPARE(usage.code, 2);
            QCOMPARE(usage.out, QByteArray());
            QVERIFY2(usage.error.contains("Использование: brindle [--help] [--version] [ФАЙЛ]\n"), usage.error.constData());
            QCOMPARE(usage.error.contains(dashHint), wrong.constFirst() == QStringLiteral("-dash.wav"));
        }
        // A file to open with no display at all: one line that says so, not Qt's abort.
        const Run headless = run({stereo_}, false);
        QCOMPARE(headless.code, 1);
        QVERIFY2(headless.error.startsWith("brindle: нет дисплея"), headless.error.constData());
        // Nothing of the user's was written for any of these.
        QVERIFY(!QFileInfo::exists(home + QStringLiteral("/config")));
    }

    // The Файл menu lists the ten files opened or saved last, newest first, between Save As and Exit;
    // so does the next run. One that has vanished says so when chosen, keeps the sound open and
    // leaves the list.
    void recentFilesComeNewestFirstAndAVanishedOneLeavesTheList()
    {
        const QString settings = FreshSettingsFile(QStringLiteral("recent"));
        StartWithSettings(settings);
        QStringList files;
        for (int i = 0; i < 11; ++i) {
            const QString path = test::ScratchDir() + QStringLiteral("/recent-%1.wav").arg(i);
            QVERIFY(QFile::copy(mono_, path));
            QVERIFY(frame_->OpenFile(path));
            files.prepend(path);
        }
        files.removeLast();
        QStringList expected{QStringLiteral("Открыть..."), QStringLiteral("Закрыть"), QStringLiteral("|"),
                             QStringLiteral("Сохранить"), QStringLiteral("Сохранить как..."), QStringLiteral("|"),
                             QStringLiteral("Сведения о звуке"), QStringLiteral("|")};
        for (int i = 0; i < 10; ++i)
            expected << (i < 9 ? QStringLiteral("&%1 %2").arg(i + 1) : QStringLiteral("1&0 %2")).arg(files[i]);
        expected << QStringLiteral("|") << QStringLiteral("Выход");
        QCOMPARE(FileMenuTexts(), expected);

        // The next run, with a sound of its own open.
        StartWithSettings(settings);
        QCOMPARE(FileMenuTexts(), expected);
        QVERIFY(frame_->OpenFile(stereo_));
        QCOMPARE(FileMenuTexts().at(8), QStringLiteral("&1 %1").arg(stereo_));

        const QString gone = files[3];
        QVERIFY(QFile::remove(gone));
        emit frame_->FileMenu()->aboutToShow();
        FileMenuAction(QStringLiteral("&5 %1").arg(gone))->trigger();
        QCOMPARE(dialogs_.errors, QStringList{QStringLiteral("Ошибка открытия:\n%1\nNo such file or directory").arg(gone)});
        QCOMPARE(QString::fromStdString(frame_->GetDocument().SourcePath().string()), stereo_);
        QVERIFY(!frame_->GetDocument().IsEmpty());
        QVERIFY(!FileMenuTexts().join(QLatin1Char('\n')).contains(gone));
        // Stereo pushed the oldest out, and the vanished one went.
        QCOMPARE(FileMenuTexts().size(), expected.size() - 1);
        QCOMPARE(int(ReadRemembered(settings).recent.size()), 9);

        // One that is there opens from the menu and comes first.
        emit frame_->FileMenu()->aboutToShow();
        FileMenuAction(QStringLiteral("&3 %1").arg(files[1]))->trigger();
        QCOMPARE(QString::fromStdString(frame_->GetDocument().SourcePath().string()), files[1]);
        QCOMPARE(FileMenuTexts().at(8), QStringLiteral("&1 %1").arg(files[1]));
    }

    // The next run opens where the window was left, at its size, and both file dialogs start in the
    // folder of the last file opened or saved.
    void theWindowKeepsItsPlaceAndTheDialogsStartInTheLastFolder()
    {
        const QString settings = FreshSettingsFile(QStringLiteral("place"));
        StartWithSettings(settings);
        const QString first = test::ScratchDir() + QStringLiteral("/place-a");
        const QString second = test::ScratchDir() + QStringLiteral("/place-b");
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

        StartWithSettings(settings);
        QCOMPARE(frame_->geometry(), place);
        frame_->Open();
        QCOMPARE(dialogs_.lastOpenFolder, second);
        QVERIFY(frame_->OpenFile(first + QStringLiteral("/tone.wav")));
        dialogs_.saveAnswers.push_back(SaveChoice{second + QStringLiteral("/again.wav"), 2});
        QVERIFY(frame_->SaveAs());
        frame_->Commands().Run(kCmdFadeOut);
        QVERIFY(!frame_->SaveAs());  // cancelled
        QCOMPARE(dialogs_.lastProposal, second + QStringLiteral("/tone (1).wav"));

        // Without a settings file (tools, the other tests) nothing is remembered.
        dialogs_.saveQuestionAnswers.push_back(QMessageBox::No);
        StartWithSettings(QString());
        QCOMPARE(frame_->size(), QSize(MainFrame::kFirstWidth, MainFrame::kFirstHeight));
        frame_->Open();
        QCOMPARE(dialogs_.lastOpenFolder, QDir::homePath());
    }

    // A settings file full of garbage, or written for another layout, is no reason not to start: it is
    // ignored, and the next change writes a good one in its place.
    void aDamagedOrForeignSettingsFileIsIgnored()
    {
        const QString settings = FreshSettingsFile(QStringLiteral("damaged"));
        std::mt19937 random(20240611);
        QByteArray garbage;
        for (int i = 0; i < 4096; ++i)
            garbage += char(random() & 0xff);
        // Lines that look like ours, damaged.
        garbage += "\n[window]\ngeometry=@ByteArray(\x01\xd9\xd0\xcb\x00\x03\x00\x00\n[files]\nfolder=" +
                   QFile::encodeName(test::ScratchDir()) + "\nrecent=@Variant(\x00\x00\x00\x09\xff\xff)\n[format\n";
        for (const QByteArray& content :
             {garbage, "[format]\nversion=2\n[files]\nfolder=" + QFile::encodeName(test::ScratchDir()) +
                           "\nrecent=@ByteArray(" + QFile::encodeName(stereo_) + ")\n"}) {
            QFile file(settings);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(content);
            file.close();

            StartWithSettings(settings);
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

    // The links lead to the address the build was given, with its query, or, where it was given
    // none, to a README that is there: never to a file that is missing.
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

        // An address nothing takes, or a file that is missing (never handed over), is told to the
        // user; so is one from a dialog's link, which goes through the window's prompts too.
        auto failure = [](const QUrl& url) {
            return QStringLiteral("Не удалось открыть адрес:\n") + (url.isLocalFile() ? url.toLocalFile() : url.toString());
        };
        dialogs_.openUrlAnswer = false;
        frame_->Commands().Run(kCmdTessaly);
        QCOMPARE(dialogs_.errors, QStringList{failure(dialogs_.openedUrls.last())});
        const QUrl missing = QUrl::fromLocalFile(test::ScratchDir() + QStringLiteral("/gone/README.md"));
        frame_->GetPrompts().showAbout = [missing](QWidget*, const LinkHandler& openLink) { openLink(missing); };
        dialogs_.openUrlAnswer = true;
        frame_->Commands().Run(kCmdAbout);
        QCOMPARE(dialogs_.openedUrls.size(), 3);
        QCOMPARE(dialogs_.errors.size(), 2);
        QCOMPARE(dialogs_.errors.last(), failure(missing));
    }

    void theDocumentPaneLaysOutItsPartsAndADragShowsInThePanesAtOnce()
    {
        OpenStereo();
        DocumentView* view = frame_->View();
        WaveformView* waveform = view->Waveform();
        for (const QSize size : {QSize(MainFrame::kFirstWidth, MainFrame::kFirstHeight), QSize(811, 500)}) {
            frame_->resize(size);
            QCoreApplication::processEvents();
            const QRect inner = view->rect().adjusted(1, 1, -1, -1);
            const QRect panel = frame_->EditPanel()->geometry();
            const QRect wave = waveform->geometry();
            QCOMPARE(panel.bottom(), inner.bottom());
            QVERIFY(std::abs(panel.center().x() - inner.center().x()) <= 1);
            // The time ruler above, as wide as the waveform.
            QCOMPARE(view->Ruler()->geometry(), QRect(inner.left() + 7, inner.top(), inner.width() - 14, 17));
            QCOMPARE(wave, QRect(inner.left() + 7, inner.top() + 17, inner.width() - 14, wave.height()));
            QVERIFY2(wave.height() % 2 == 1, "an odd height puts the separator on one middle row");
            QVERIFY(panel.top() - wave.bottom() - 1 == 9 || panel.top() - wave.bottom() - 1 == 10);
            QCOMPARE(view->Bar()->geometry(), QRect(inner.left(), wave.bottom() + 1, inner.width(), 9));

            // The panel's grid: three columns of two (delete, volume, fade), each pair one above the
            // other, and the mono button to their right, midway between the two rows.
            QVERIFY(inner.contains(panel));
            EditButtonPanel* buttons = frame_->EditPanel();
            auto at = [&](int id) { return buttons->Button(id)->geometry(); };
            const int pairs[3][2] = {{kCmdDeleteSelected, kCmdDeleteUnselected},
                                     {kCmdChangeVolume, kCmdIncreaseVolume},
                                     {kCmdFadeIn, kCmdFadeOut}};
            int right = -1;
            for (const auto& pair : pairs) {
                const QRect top = at(pair[0]);
                const QRect bottom = at(pair[1]);
                QVERIFY2(top.left() > right, "the columns follow each other without overlap");
                QCOMPARE(bottom.left(), top.left());
                QCOMPARE(bottom.width(), top.width());
                QVERIFY(bottom.top() > top.bottom());
                QCOMPARE(top.top(), at(kCmdDeleteSelected).top());
                QCOMPARE(bottom.top(), at(kCmdDeleteUnselected).top());
                QVERIFY(buttons->rect().contains(top) && buttons->rect().contains(bottom));
                QVERIFY2(top.width() >= buttons->Button(pair[0])->sizeHint().width() &&
                             bottom.width() >= buttons->Button(pair[1])->sizeHint().width(),
                         "no text is cut");
                right = top.right();
            }
            const QRect mono = at(kCmdToMono);
            QVERIFY(mono.left() > right);
            QVERIFY(buttons->rect().contains(mono));
            const int rowsMiddle = (at(kCmdDeleteSelected).center().y() + at(kCmdDeleteUnselected).center().y()) / 2;
            QVERIFY2(std::abs(mono.center().y() - rowsMiddle) <= 1, "mono sits midway between the rows");
            QVERIFY(buttons->Button(kCmdToStereo)->isHidden());
        }
        // Tab walks down each column, then to the mono button.
        QList<int> order;
        for (QWidget* w = frame_->EditPanel()->nextInFocusChain(); w != frame_->EditPanel(); w = w->nextInFocusChain())
            if (auto* button = qobject_cast<QPushButton*>(w);
                button && frame_->EditPanel()->isAncestorOf(button) && !button->isHidden())
                order << button->objectName().mid(4).toInt();
        QCOMPARE(order, (QList<int>{kCmdDeleteSelected, kCmdDeleteUnselected, kCmdChangeVolume, kCmdIncreaseVolume,
                                    kCmdFadeIn, kCmdFadeOut, kCmdToMono}));

        // Mouse moves do not start the idle step: the drag itself brings the panes up to date.
        QTest::mousePress(waveform, Qt::LeftButton, {}, QPoint(waveform->width() / 2, 20));
        QTest::mouseMove(waveform, QPoint(waveform->width() / 4, 20));
        const PlaybackEngine& engine = frame_->Engine();
        auto text = [](int32_t frame) { return QString::fromStdString(FormatTime(frame * 1000.0 / 44100)); };
        QVERIFY(engine.HasSelection());
        QCOMPARE(frame_->Status().TimeText(2), text(engine.GetPosition()));
        QCOMPARE(frame_->Status().TimeText(3), text(engine.selectionStart));
        QCOMPARE(frame_->Status().TimeText(4), text(engine.selectionEnd));
        QCOMPARE(engine.selectionEnd, int32_t(waveform->PixelToFrame(waveform->width() / 2)));
        QTest::mouseRelease(waveform, Qt::LeftButton, {}, QPoint(waveform->width() / 4, 20));

        // Set end before the start exchanges them; deselect clears both panes at the idle step.
        frame_->Commands().Run(kCmdDeselect);
        frame_->Engine().SetPosition(30000, 44100);
        frame_->Commands().Run(kCmdSetStart);
        frame_->Engine().SetPosition(10000, 44100);
        frame_->Commands().Run(kCmdSetEnd);
        QCOMPARE(engine.selectionStart, 10000);
        QCOMPARE(engine.selectionEnd, 30000);
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

    // What a screen reader reads: the window by its caption, the message pane by the message, each
    // time pane by its name with the time it shows. (Qt announces each change as it is set;
    // offscreen no bridge listens.)
    void screenReadersReadTheCaptionTheMessageAndTheTimes()
    {
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

    void everyCommandSurfaceHasAnAccessibleName()
    {
        for (QAction* action : frame_->ToolBar()->actions()) {
            if (action->isSeparator())
                continue;
            QWidget* button = frame_->ToolBar()->widgetForAction(action);
            QVERIFY(button && !button->accessibleName().isEmpty());
        }
        for (int id = kCmdDeleteSelected; id <= kCmdToStereo; ++id)
            QVERIFY(!frame_->EditPanel()->Button(id)->accessibleName().isEmpty());
        for (const Command& command : frame_->Commands().All())
            QVERIFY2(command.menuAction || (command.id >= kCmdDeleteSelected && command.id <= kCmdToStereo),
                     qPrintable(QString::number(command.id)));
    }

    // In the configuration the editor runs (the summary of the waveform made on the load's worker,
    // the real progress window): a Cancel the window accepts, even once the bar is full, opens nothing.
    void aCancelOnceTheBarIsFullOpensNothing()
    {
        Prompts prompts = dialogs_.MakePrompts();
        prompts.runProgress = [](QWidget* owner, Document& document, TaskMode mode) {
            ProgressWindow window(document, mode, owner);
            QObject::connect(window.Bar(), &QProgressBar::valueChanged, &window, [&window](int value) {
                if (value == window.Bar()->maximum())
                    window.CancelButton()->click();
            });
            return window.Run();
        };
        frame_ = std::make_unique<MainFrame>(prompts);
        frame_->show();
        QVERIFY(!frame_->OpenFile(stereo_));
        frame_->RefreshUiState();
        QVERIFY(frame_->GetDocument().IsEmpty());
        QVERIFY(!frame_->IsShowingDocument());
        QCOMPARE(frame_->windowTitle(), QStringLiteral("Brindle"));
        QVERIFY(!ToolEnabled(kCmdPlay));
        QVERIFY(dialogs_.errors.isEmpty());  // cancelling is not failing
    }

    // However a command is reached (a menu, a shortcut, a click that waited in the queue), it runs
    // exactly when its controls are enabled.
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

        ShowCounter shows;
        qApp->installEventFilter(&shows);
        // A fade that reads and writes every sample, as past the gains a piece carries.
        SetGainsAsPieces(false);
        // Cancel as the platform delivers input: to the progress window's own QWindow, which hands a
        // click to the button under the pointer and a key to the one in focus.
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
                // Keys go to the window that has the focus, as a person sees it; a busy machine may
                // activate it a moment after it shows.
                if (way == Way::Click || window->CancelButton()->hasFocus()) {
                    QCOMPARE(window->windowTitle(), QStringLiteral("Обрабатываем"));
                    cancelledAt = clock.elapsed();
                    *slow = false;  // what the window draws next reads at full speed
                    QWindow* handle = window->windowHandle();
                    QPushButton* cancel = window->CancelButton();
                    if (way == Way::Click)
                        QTest::mouseClick(handle, Qt::LeftButton, {}, cancel->mapTo(window, cancel->rect().center()));
                    else
                        QTest::keyClick(handle, way == Way::Escape ? Qt::Key_Escape : Qt::Key_Space);
                }
            });
            watcher.start(5);
            clock.start();
            frame_->Commands().Run(kCmdFadeIn);  // eight slow reads: four blocks a channel
            const qint64 ended = clock.elapsed();
            watcher.stop();
            QVERIFY2(shownAt >= ProgressWindow::kEditShowDelayMs - 20, qPrintable(QString::number(shownAt)));
            QVERIFY2(ticks >= shownAt / 10 / 2, qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(shownAt)));
            QVERIFY2(ended - cancelledAt < 250,
                     qPrintable(QStringLiteral("way %1: the edit ended %2 ms after Cancel").arg(int(way)).arg(ended - cancelledAt)));
            QVERIFY(dialogs_.errors.isEmpty());
            QVERIFY2(Samples(set.Channel(0)) == left && Samples(set.Channel(1)) == right,
                     qPrintable(QStringLiteral("way %1 did not cancel").arg(int(way))));
            QVERIFY(!frame_->GetDocument().Modified());
            QVERIFY(!frame_->Commands().CanRun(kCmdUndo));
            QCOMPARE(frame_->Commands().Find(kCmdUndo)->menuAction->text(), QStringLiteral("Отменить действие"));
        }

        SetGainsAsPieces(true);
        // A quick edit never shows the window (nor does the read of its faded range for the picture);
        // its step is named in the Правка menu and undone by Ctrl+Z.
        shows.shown = 0;
        frame_->Commands().Run(kCmdFadeOut);
        QCOMPARE(shows.shown, 0);
        frame_->RefreshUiState();
        QVERIFY(frame_->GetDocument().Modified());
        QCOMPARE(frame_->Commands().Find(kCmdUndo)->menuAction->text(), QStringLiteral("Отменить: Затухание"));
        QVERIFY(!frame_->Commands().Find(kCmdRedo)->menuAction->isEnabled());
        QAction* undo = frame_->Commands().Find(kCmdUndo)->menuAction;
        QAction* redo = frame_->Commands().Find(kCmdRedo)->menuAction;
        QCOMPARE(undo->shortcuts(), QList<QKeySequence>{QKeySequence(QStringLiteral("Ctrl+Z"))});
        QCOMPARE(redo->shortcuts(), (QList<QKeySequence>{QKeySequence(QStringLiteral("Ctrl+Shift+Z")),
                                                        QKeySequence(QStringLiteral("Ctrl+Y"))}));
        undo->trigger();
        frame_->RefreshUiState();
        QVERIFY(Samples(set.Channel(0)) == left);
        QVERIFY(!frame_->GetDocument().Modified());
        QCOMPARE(frame_->Commands().Find(kCmdRedo)->menuAction->text(), QStringLiteral("Повторить: Затухание"));
        redo->trigger();
        frame_->RefreshUiState();
        QVERIFY(frame_->GetDocument().Modified());
        QVERIFY(Samples(set.Channel(0)) != left);

        // Delete takes the selection away; its undo brings back the sound, the selection and the
        // position, and its redo the cut and the position it left.
        PlaybackEngine& engine = frame_->Engine();
        engine.SetSelectionStart(1000, set.FrameCount());
        engine.SetSelectionEnd(5000, set.FrameCount());
        engine.SetPosition(3000, set.FrameCount());
        frame_->RefreshUiState();
        QTest::keyClick(frame_.get(), Qt::Key_Delete);
        QCOMPARE(set.FrameCount(), uint32_t(20 * 44100 - 4000));
        QVERIFY(!engine.HasSelection());
        QCOMPARE(engine.GetPosition(), 1000);
        frame_->RefreshUiState();
        QCOMPARE(undo->text(), QStringLiteral("Отменить: Удалить выбранное"));
        undo->trigger();
        QCOMPARE(set.FrameCount(), uint32_t(20 * 44100));
        QCOMPARE(engine.selectionStart, 1000);
        QCOMPARE(engine.selectionEnd, 5000);
        QCOMPARE(engine.GetPosition(), 3000);
        frame_->RefreshUiState();
        redo->trigger();
        QCOMPARE(set.FrameCount(), uint32_t(20 * 44100 - 4000));
        QVERIFY(!engine.HasSelection());
        QCOMPARE(engine.GetPosition(), 1000);
        qApp->removeEventFilter(&shows);
    }

    void aCommandRunsOnlyWhenItsControlsAreEnabled()
    {
        FakeWaveOut& device = UseFakeDevice();
        dialogs_.volumeAnswer = 50;
        dialogs_.stereoAnswer = 1;
        PlaybackEngine& engine = frame_->Engine();
        auto fingerprint = [&] {
            const Document& document = frame_->GetDocument();
            const bool empty = document.IsEmpty();
            return QList<qint64>{empty,
                                 empty ? 0 : document.ActiveBuffer().FrameCount(),
                                 empty ? 0 : document.ActiveBuffer().channels.ChannelCount(),
                                 document.Modified(),
                                 engine.selectionStart,
                                 engine.selectionEnd,
                                 engine.GetPosition(),
                                 engine.isOpen,
                                 engine.isPaused,
                                 device.opens,
                                 dialogs_.saveDialogs,
                                 dialogs_.saveQuestions,
                                 dialogs_.errors.size()};
        };
        const std::function<void()> states[] = {
            [] {},                                       // nothing open
            [&] { OpenStereo(); },                       // a sound just opened: nothing to save
            [&] { engine.SelectAll(44100); },            // all of it selected
            [&] { frame_->Commands().Run(kCmdPlay); },   // playing
            [&] { frame_->Commands().Run(kCmdPause); },  // paused
        };
        for (const auto& enter : states) {
            enter();
            frame_->RefreshUiState();
            for (const Command& command : frame_->Commands().All()) {
                const bool onPanel = command.id >= kCmdDeleteSelected && command.id <= kCmdToStereo;
                if (!command.toolAction && !onPanel)
                    continue;
                if (command.toolAction ? command.toolAction->isEnabled() : EditEnabled(command.id))
                    continue;
                const QList<qint64> before = fingerprint();
                frame_->Commands().Run(command.id);
                QVERIFY2(fingerprint() == before, qPrintable(QString::number(command.id)));
            }
        }
    }

    // The last quarter second plays out after the last block went to the device; a click meanwhile
    // seeks, as anywhere else.
    void aClickWhileTheLastFramesPlayOutSeeks()
    {
        PacedCardInUse paced;
        QVERIFY(paced.Attach(*frame_, "paced"));
        OpenStereo();
        PlaybackEngine& engine = frame_->Engine();
        frame_->Commands().Run(kCmdPlay);
        QTRY_VERIFY(engine.isOpen);
        QElapsedTimer clock;
        clock.start();
        // The whole second went out as one block: past 0.8 s the device holds the last of it.
        while (engine.isOpen && engine.GetPosition() < 35280 && clock.elapsed() < 10000)
            QTest::qWait(2);
        QVERIFY(engine.isOpen && engine.GetPosition() < 44100);
        WaveformView* waveform = frame_->View()->Waveform();
        QTest::mouseClick(waveform, Qt::LeftButton, {}, QPoint(waveform->width() / 10, 20));
        QTest::qWait(100);
        QVERIFY(engine.isOpen);
        QVERIFY2(engine.GetPosition() > 4410 && engine.GetPosition() < 35280, qPrintable(QString::number(engine.GetPosition())));
        QTRY_VERIFY_WITH_TIMEOUT(!engine.isOpen, 10000);
    }

    // Closing while a device holds its write for 200 ms at a time, at random moments, or destroying
    // the window outright (as a session's end does): nothing is freed under the device's thread
    // (AddressSanitizer watches in CI) and the window always goes.
    void closingWhilePlayingFreesNothingTheDeviceReads()
    {
        PacedCardInUse paced;
        paced.card.StallWrites(200);
        paced.card.DelayClose(100);
        std::mt19937 random(std::random_device{}());
        for (int round = 0; round < 20; ++round) {
            auto frame = std::make_unique<MainFrame>(dialogs_.MakePrompts());
            QVERIFY(paced.Attach(*frame, round % 4 < 2 ? "paced" : "paced_nopause"));
            frame->show();
            QVERIFY(frame->OpenFile(stereo_));
            frame->Commands().Run(kCmdPlay);
            QTRY_VERIFY(frame->Engine().isOpen);
            const int waitMs = int(random() % 400);
            QTest::qWait(waitMs);
            if (round % 2 == 0) {
                QSignalSpy closed(frame.get(), &MainFrame::closed);
                QVERIFY2(frame->close(), qPrintable(QString::number(waitMs)));
                QCOMPARE(closed.count(), 1);
            }
            frame.reset();
        }
    }

    // A device whose every write stalls for a second (a sound server that stopped answering): the
    // window keeps answering, and closing it while it plays ends at once.
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
        qint64 last = 0;
        qint64 worstGap = 0;
        QTimer ticker;
        ticker.setInterval(20);
        connect(&ticker, &QTimer::timeout, this, [&] {
            const qint64 now = clock.elapsed();
            worstGap = std::max(worstGap, now - last);
            last = now;
        });
        ticker.start();
        QTimer::singleShot(800, this, [this] { frame_->Commands().Run(kCmdPause); });
        QTimer::singleShot(1300, this, [this] { frame_->Commands().Run(kCmdPlay); });
        QTest::qWait(2500);
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

    // Ctrl+C, Ctrl+V and Ctrl+X as the window receives them: audio goes from one file into another
    // (mono into stereo, doubled), what went in is selected and named in the undo item; silence goes
    // in at the play position from the Эффекты menu.
    void cutCopyPasteAndSilenceMoveAudioBetweenFiles()
    {
        QVERIFY(frame_->OpenFile(mono_));
        PlaybackEngine& engine = frame_->Engine();
        WaveformView* waveform = frame_->View()->Waveform();
        frame_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frame_.get()));
        waveform->setFocus();
        QCOMPARE(frame_->Commands().Find(kCmdPaste)->menuAction->isEnabled(), false);
        engine.SetSelectionStart(1000, 44100);
        engine.SetSelectionEnd(5000, 44100);
        frame_->RefreshUiState();
        const std::vector<float> mono = Samples(frame_->GetDocument().ActiveBuffer().channels.Channel(0));
        QTest::keyClick(waveform, Qt::Key_C, Qt::ControlModifier);
        QVERIFY(frame_->GetDocument().HasClip());

        QVERIFY(frame_->OpenFile(stereo_));
        const ChannelSet& set = frame_->GetDocument().ActiveBuffer().channels;
        engine.SetPosition(2000, set.FrameCount());
        frame_->RefreshUiState();
        frame_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frame_.get()));
        waveform->setFocus();
        QVERIFY(frame_->Commands().Find(kCmdPaste)->menuAction->isEnabled());
        QTest::keyClick(waveform, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(set.FrameCount(), uint32_t(44100 + 4000));
        QCOMPARE(engine.selectionStart, 2000);
        QCOMPARE(engine.selectionEnd, 6000);
        const std::vector<float> expected(mono.begin() + 1000, mono.begin() + 5000);
        for (int c = 0; c < 2; ++c) {
            const std::vector<float> pasted = Samples(set.Channel(c));
            QVERIFY(std::vector<float>(pasted.begin() + 2000, pasted.begin() + 6000) == expected);
        }
        frame_->RefreshUiState();
        QCOMPARE(frame_->Commands().Find(kCmdUndo)->menuAction->text(), QStringLiteral("Отменить: Вставить"));

        QTest::keyClick(waveform, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(set.FrameCount(), uint32_t(44100));
        QVERIFY(!engine.HasSelection());
        frame_->RefreshUiState();
        QCOMPARE(frame_->Commands().Find(kCmdUndo)->menuAction->text(), QStringLiteral("Отменить: Вырезать"));

        dialogs_.silenceAnswer = 0.5;
        engine.SetPosition(100, set.FrameCount());
        frame_->RefreshUiState();
        frame_->Commands().Find(kCmdInsertSilence)->menuAction->trigger();
        QCOMPARE(set.FrameCount(), uint32_t(44100 + 22050));
        QCOMPARE(engine.selectionStart, 100);
        QCOMPARE(engine.selectionEnd, 100 + 22050);
        const std::vector<float> silent = Samples(set.Channel(1));
        QVERIFY(std::all_of(silent.begin() + 100, silent.begin() + 100 + 22050, [](float x) { return x == 0.0f; }));
    }

    // Нормализовать громкость measures the selection on the worker and applies the dialog's gain
    // through the volume edit; Сведения о звуке shows the whole sound's figures.
    void loudnessIsMeasuredAndOneGainApplied()
    {
        OpenStereo();
        PlaybackEngine& engine = frame_->Engine();
        const ChannelSet& set = frame_->GetDocument().ActiveBuffer().channels;
        const std::vector<float> before = Samples(set.Channel(0));
        engine.SetSelectionStart(0, set.FrameCount());
        engine.SetSelectionEnd(22050, set.FrameCount());
        frame_->RefreshUiState();
        dialogs_.loudnessAnswer = 6.0206;
        frame_->Commands().Find(kCmdNormalizeLoudness)->menuAction->trigger();
        QVERIFY(dialogs_.loudnessShown);
        QVERIFY(std::isfinite(dialogs_.loudnessShown->integratedLufs));
        const std::vector<float> after = Samples(set.Channel(0));
        QCOMPARE(after[1000], StoreSample(200.0 * double(before[1000]) * double(0.01f)));
        QCOMPARE(after[30000], before[30000]);
        frame_->RefreshUiState();
        QCOMPARE(frame_->Commands().Find(kCmdUndo)->menuAction->text(), QStringLiteral("Отменить: Изменить громкость"));

        frame_->Commands().Find(kCmdSoundProperties)->menuAction->trigger();
        QCOMPARE(dialogs_.propertiesShown.size(), size_t(6));
        QCOMPARE(dialogs_.propertiesShown[0].first, QStringLiteral("Формат"));
        QCOMPARE(dialogs_.propertiesShown[0].second, QStringLiteral("WAV, 16 бит, 44100 Гц, стерео"));
        QCOMPARE(dialogs_.propertiesShown[3].second,
                 QString::number(frame_->GetDocument().Measured().integratedLufs, 'f', 1) + QStringLiteral(" LUFS"));
    }

    // The window's keys each do their one thing while the waveform (or any control that has no use
    // for them) holds the focus; the menu shows them beside their items.
    void theKeysMoveSelectPlayAndClear()
    {
        FakeWaveOut& device = UseFakeDevice();
        OpenStereo();
        PlaybackEngine& engine = frame_->Engine();
        WaveformView* waveform = frame_->View()->Waveform();
        waveform->setFocus();
        auto key = [waveform](Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QTest::keyClick(waveform, k, modifiers);
        };
        key(Qt::Key_End);
        QCOMPARE(engine.GetPosition(), 44100);
        key(Qt::Key_Home);
        QCOMPARE(engine.GetPosition(), 0);
        // One column of the waveform per press.
        key(Qt::Key_Right);
        const int32_t column = engine.GetPosition();
        QVERIFY2(column > 0 && column <= 44100 / waveform->width() + 1, qPrintable(QString::number(column)));
        key(Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(engine.selectionStart, column);
        QCOMPARE(engine.selectionEnd, engine.GetPosition());
        QVERIFY(engine.selectionEnd > column);
        // The edge at the position follows it, across the other edge too.
        key(Qt::Key_Home, Qt::ShiftModifier);
        QCOMPARE(engine.selectionStart, 0);
        QCOMPARE(engine.selectionEnd, column);
        QCOMPARE(engine.GetPosition(), 0);
        key(Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(engine.selectionStart, column);
        QCOMPARE(engine.selectionEnd, 44100);
        QCOMPARE(frame_->Status().TimeText(4), QStringLiteral("00:01.000"));
        key(Qt::Key_Escape);
        QVERIFY(!engine.HasSelection());

        key(Qt::Key_Home);
        key(Qt::Key_Space);
        QVERIFY(engine.isOpen && !engine.isPaused);
        device.Advance(4410);
        QCoreApplication::sendPostedEvents();
        key(Qt::Key_Space);
        QVERIFY(engine.isPaused);
        key(Qt::Key_Space);
        QVERIFY(!engine.isPaused);
        engine.SelectAll(44100);
        key(Qt::Key_Escape);
        QVERIFY(!engine.HasSelection());
        QTRY_VERIFY(!engine.isOpen);
        QCOMPARE(device.played.size(), size_t(4410 * 2));

        auto menuText = [this](int id) { return frame_->Commands().Find(id)->menuAction->text(); };
        QVERIFY(menuText(kCmdPlay).endsWith(QStringLiteral("\tSpace")));
        QVERIFY(menuText(kCmdPause).endsWith(QStringLiteral("\tSpace")));
        QVERIFY(menuText(kCmdDeselect).endsWith(QStringLiteral("\tEsc")));
        QCOMPARE(frame_->Commands().Find(kCmdSelectAll)->menuAction->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_A));
    }

    // A sound opened from an MP3 snaps selection edges to where its frames can be kept (the option in
    // Выбор, on unless turned off, remembered); a save says whether it copied them or encoded anew.
    void anMp3SnapsSelectionEdgesAndASaveSaysHowItWasWritten()
    {
        const QString settings = FreshSettingsFile(QStringLiteral("snap"));
        StartWithSettings(settings);
        const QString mp3 = test::ScratchDir() + QStringLiteral("/tone.mp3");
        OpenStereo();
        QVERIFY(frame_->GetDocument().Save(mp3.toStdString()));
        QVERIFY(frame_->OpenFile(mp3));
        frame_->RefreshUiState();
        QAction* snap = frame_->Commands().Find(kCmdSnapToFrames)->menuAction;
        QVERIFY(snap->isCheckable() && snap->isChecked());
        QCOMPARE(snap->text(), QStringLiteral("Привязать к кадрам MP3"));

        Document& document = frame_->GetDocument();
        const auto grid = document.Mp3FrameGrid();
        QVERIFY(grid.has_value());
        QCOMPARE(grid->step, 4608u);
        PlaybackEngine& engine = frame_->Engine();
        const uint32_t frames = document.ActiveBuffer().FrameCount();
        engine.SetPosition(10000, frames);
        frame_->Commands().Run(kCmdSetStart);
        engine.SetPosition(21000, frames);
        frame_->Commands().Run(kCmdSetEnd);
        QCOMPARE(uint32_t(engine.selectionStart) % grid->step, grid->phase);
        QCOMPARE(uint32_t(engine.selectionEnd) % grid->step, grid->phase);
        QVERIFY(std::abs(engine.selectionStart - 10000) <= 2304 && std::abs(engine.selectionEnd - 21000) <= 2304);
        // Near the ends, the ends themselves.
        engine.SetSelectionEnd(frames - 5, frames);
        QCOMPARE(engine.selectionEnd, int32_t(frames));
        engine.SetSelectionEnd(21000, frames);

        frame_->Commands().Run(kCmdDeleteSelected);
        const QString out = test::ScratchDir() + QStringLiteral("/cut.mp3");
        dialogs_.saveAnswers.push_back(SaveChoice{out, 1});
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
        QVERIFY(!snap->isChecked());
        QVERIFY(!ReadRemembered(settings).snapToMp3Frames);
        engine.SetSelectionStart(10001, frames);
        QCOMPARE(engine.selectionStart, 10001);
        StartWithSettings(settings);
        QVERIFY(!frame_->Commands().Find(kCmdSnapToFrames)->menuAction->isChecked());
        frame_->Commands().Find(kCmdSnapToFrames)->menuAction->trigger();
        QVERIFY(ReadRemembered(settings).snapToMp3Frames);
        // A WAV has no frames to keep.
        OpenStereo();
        frame_->Engine().SetSelectionStart(10001, 44100);
        QCOMPARE(frame_->Engine().selectionStart, 10001);
    }

    // Ctrl+= and Ctrl+- zoom around the play position, Ctrl+0 and the toolbar button show the whole
    // sound again; the scroll bar shows while zoomed; keys that move the position past the view turn
    // its page, and so does playing. A modal dialog keeps the keys from the window.
    void theZoomKeysEachDoTheirOneThing()
    {
        FakeWaveOut& device = UseFakeDevice();
        OpenStereo();
        PlaybackEngine& engine = frame_->Engine();
        WaveformView* waveform = frame_->View()->Waveform();
        QScrollBar* scrollBar = frame_->View()->ScrollBar();
        frame_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frame_.get()));
        waveform->setFocus();
        auto key = [waveform](Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
            QTest::keyClick(waveform, k, modifiers);
        };
        QVERIFY(!waveform->IsZoomed());
        QVERIFY(scrollBar->isHidden());
        QVERIFY(!ToolEnabled(kCmdZoomWhole));
        engine.SetPosition(30000, 44100);
        engine.SelectAll(44100);
        const int cursorX = waveform->FrameToPixel(30000);

        key(Qt::Key_Equal);
        QCOMPARE(waveform->VisibleRange().count, 22050);
        QVERIFY(std::abs(waveform->FrameToPixel(30000) - cursorX) <= 1);
        QCOMPARE(engine.GetPosition(), 30000);
        QCOMPARE(engine.selectionEnd, 44100);
        QVERIFY(!scrollBar->isHidden());
        QCOMPARE(scrollBar->value(), int(waveform->VisibleRange().first));
        QCOMPARE(scrollBar->maximum(), 44100 - 22050);
        QCOMPARE(scrollBar->y(), waveform->geometry().bottom() + 1);
        QCOMPARE(frame_->View()->Bar()->y(), scrollBar->geometry().bottom() + 1);
        frame_->RefreshUiState();
        QVERIFY(ToolEnabled(kCmdZoomWhole));
        key(Qt::Key_Minus);
        QVERIFY(!waveform->IsZoomed());
        QVERIFY(scrollBar->isHidden());
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

        auto menuAction = [this](int id) { return frame_->Commands().Find(id)->menuAction; };
        QCOMPARE(menuAction(kCmdZoomIn)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Equal));
        QCOMPARE(menuAction(kCmdZoomOut)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Minus));
        QCOMPARE(menuAction(kCmdZoomWhole)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_0));
        QCOMPARE(menuAction(kCmdZoomWhole)->text(), QStringLiteral("Весь файл"));

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
