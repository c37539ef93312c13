// Shared set-up for the editor's widget tests (Qt Test): an offscreen platform, a private runtime
// folder, a private temporary folder for the sample files, sounds made by sox and lame, and a set of
// prompts that answer the editor's dialogs instead of a person.
#pragma once

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>
#include <optional>

#include "app/main_frame.h"
#include "app/prompts.h"
#include "playback/fake_wave_out.h"

namespace brindle::test {

// Before the QApplication exists: offscreen platform (unless the caller chose one), a 0700 runtime
// folder, TMPDIR pointing at a fresh folder so every "~Ve" file lands there, and XDG_CONFIG_HOME and
// XDG_STATE_HOME at others inside it.
void PrepareGuiEnvironment();
// The folder PrepareGuiEnvironment made; files the tests make go here too.
QString ScratchDir();
// Runs a tool with LC_ALL=C.UTF-8; fails the calling test on a non-zero exit.
bool RunTool(const QString& program, const QStringList& arguments);
// A sine tone made by sox: 44.1 kHz 16-bit, channels 1 or 2. A ".mp3" name is encoded by lame.
QString MakeTone(const QString& name, double seconds, int channels);
// Frames in a WAV file, as sox reports them; -1 when sox cannot read it.
long long SoxFrameCount(const QString& path);

// Answers for the editor's dialogs, recorded as they are asked.
struct FakeDialogs {
    QString openAnswer;
    std::deque<SaveChoice> saveAnswers;  // an empty path, or none left: cancelled
    std::deque<QMessageBox::StandardButton> saveQuestionAnswers;
    std::optional<int> volumeAnswer;
    std::optional<double> silenceAnswer;
    std::optional<double> loudnessAnswer;
    // What the loudness dialog was shown, and the rows of the last properties shown.
    std::optional<LoudnessFigures> loudnessShown;
    PropertyRows propertiesShown;
    int stereoAnswer = 2;
    bool openUrlAnswer = true;  // whether the desktop took an address
    bool recoverAnswer = false;

    QStringList recoverQuestions;

    int openDialogs = 0;
    QString lastOpenFolder;
    int saveDialogs = 0;
    int saveQuestions = 0;
    QString lastSaveQuestion;
    QString lastProposal;
    int lastFilterIndex = 0;
    QStringList errors;
    QList<QUrl> openedUrls;

    // Real progress windows; every other dialog answered from the fields above.
    Prompts MakePrompts();
};

// A test class's window: a fresh one for each test (init: StartWindow, cleanup: StopWindow).
class WindowFixture {
protected:
    FakeDialogs dialogs_;
    std::unique_ptr<MainFrame> frame_;

    // A new run of the editor with this settings file (none: nothing remembered); the old one goes first.
    void StartWindow(const QString& settings = {});
    void StopWindow();
    void FreshWindow() { dialogs_ = FakeDialogs(); StartWindow(); }
    bool ToolEnabled(int id) const { return frame_->Commands().Find(id)->toolAction->isEnabled(); }
    bool ToolVisible(int id) const { return frame_->Commands().Find(id)->toolAction->isVisible(); }
    bool EditEnabled(int id) const;
    QAction* MenuAction(int id) const { return frame_->Commands().Find(id)->menuAction; }
    // Opens the file, brings the window's state up to date, activates it and focuses the waveform.
    bool OpenAndFocus(const QString& path);
    // A window manager gives the activation back when a dialog closes; offscreen, the test does.
    bool Activate();
    // A key to the waveform of the active window.
    void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // The fake device in place of ALSA; its notifications still travel as posted events.
    FakeWaveOut& UseFakeDevice(size_t samples = size_t(1) << 22);
    // The selection's edges and the play position.
    QList<qint64> Marks() const;
};

}  // namespace brindle::test

#define BRINDLE_GUI_TEST_MAIN(TestClass)                          \
    int main(int argc, char** argv)                               \
    {                                                             \
        brindle::test::PrepareGuiEnvironment();                   \
        QApplication application(argc, argv);                     \
        application.setAttribute(Qt::AA_Use96Dpi, true);          \
        TestClass test;                                           \
        return QTest::qExec(&test, argc, argv);                   \
    }
