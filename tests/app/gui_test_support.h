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
#include <optional>

#include "app/prompts.h"

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
