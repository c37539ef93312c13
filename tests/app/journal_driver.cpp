// A test's stand-in for a person at the editor: the editor's window and start-up, as the program has
// them, driven by a script on the command line. The recovery tests start it as a child process, kill
// it with SIGKILL at a chosen step and start it again. Each step is announced on stdout ("begin N",
// then "done N") so the test knows what had happened when it killed.
//
//   journal_driver [--recover=yes|no] STEP...
//   STEP: start[:FILE]  select:START:END  deselect  edit:ID  volume:PERCENT  undo  redo  save  saveas:FILE
//         remove:FILE  move:FROM:TO
//         wait (forever: the test kills it)  exit (the end without a close)  quit (a normal close)
#include <QApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <thread>

#include "app/application_setup.h"
#include "app/command_ids.h"
#include "app/main_frame.h"

namespace {

void Say(const char* what, int step, const QString& detail = {})
{
    std::printf("%s %d %s\n", what, step, qUtf8Printable(detail));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    brindle::SetUpApplication(application);
    QStringList steps = application.arguments().mid(1);
    bool recover = true;
    if (!steps.isEmpty() && steps.constFirst().startsWith(QLatin1String("--recover="))) {
        recover = steps.takeFirst().endsWith(QLatin1String("yes"));
    }

    QString saveAnswer;
    int volume = 100;
    brindle::Prompts prompts = brindle::DefaultPrompts();
    prompts.askRecover = [recover](QWidget*, const QString& text) {
        Say("asked", 0, text);
        return recover;
    };
    prompts.showError = [](QWidget*, const QString& text) { Say("error", 0, text); };
    prompts.askSave = [](QWidget*, const QString&) { return QMessageBox::No; };
    prompts.savePath = [&saveAnswer](QWidget*, const QString&, int) -> std::optional<brindle::SaveChoice> {
        return brindle::SaveChoice{saveAnswer, saveAnswer.endsWith(QLatin1String(".mp3")) ? 1 : 2};
    };
    prompts.askVolume = [&volume](QWidget*) -> std::optional<int> { return volume; };
    prompts.askStereo = [](QWidget*, const brindle::LinkHandler&) { return 1; };

    brindle::MainFrame frame(prompts);
    frame.UseSessions(brindle::StateFolder());
    frame.show();
    QTimer::singleShot(0, &frame, [&] {
        for (int i = 0; i < steps.size(); ++i) {
            const QStringList words = steps[i].split(QLatin1Char(':'));
            const QString& verb = words[0];
            Say("begin", i + 1, steps[i]);
            QString detail;
            const uint32_t frames =
                frame.GetDocument().IsEmpty() ? 0 : frame.GetDocument().ActiveBuffer().FrameCount();
            if (verb == QLatin1String("start")) {
                frame.Start(words.size() > 1 ? std::filesystem::path(words.mid(1).join(QLatin1Char(':')).toStdString())
                                             : std::filesystem::path());
            } else if (verb == QLatin1String("select")) {
                frame.Engine().Deselect();
                frame.Engine().SetSelectionStart(words.value(1).toLongLong(), frames);
                frame.Engine().SetSelectionEnd(words.value(2).toLongLong(), frames);
            } else if (verb == QLatin1String("deselect")) {
                frame.Engine().Deselect();
            } else if (verb == QLatin1String("volume")) {
                volume = words.value(1).toInt();
            } else if (verb == QLatin1String("edit")) {
                frame.RunEditCommand(words.value(1).toInt());
            } else if (verb == QLatin1String("undo") || verb == QLatin1String("redo")) {
                frame.Commands().Run(verb == QLatin1String("undo") ? brindle::kCmdUndo : brindle::kCmdRedo);
            } else if (verb == QLatin1String("remove")) {
                detail = QString::number(int(QFile::remove(words.value(1))));
            } else if (verb == QLatin1String("move")) {
                detail = QString::number(int(QFile::rename(words.value(1), words.value(2))));
            } else if (verb == QLatin1String("save")) {
                detail = QString::number(frame.Save());
            } else if (verb == QLatin1String("saveas")) {
                saveAnswer = words.mid(1).join(QLatin1Char(':'));
                detail = QString::number(frame.SaveAs());
            } else if (verb == QLatin1String("wait")) {
                Say("done", i + 1);
                for (;;)
                    std::this_thread::sleep_for(std::chrono::seconds(1));
            } else if (verb == QLatin1String("exit")) {
                Say("done", i + 1);
                break;  // the program ends with the window, but without a close
            } else if (verb == QLatin1String("quit")) {
                frame.EndSession();
                break;
            }
            const brindle::Document& document = frame.GetDocument();
            Say("done", i + 1,
                detail + QStringLiteral(" frames=%1 modified=%2 undo=%3")
                             .arg(document.IsEmpty() ? 0 : document.ActiveBuffer().FrameCount())
                             .arg(int(document.Modified()))
                             .arg(int(document.History().CanUndo())));
        }
        QApplication::exit(0);
    });
    return QApplication::exec();
}
