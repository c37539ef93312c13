// A test's stand-in for a person at the editor: its window and start-up, driven by a script on the
// command line, announcing each step ("begin N", then "done N") so a test that kills it knows how far
// it got. It takes back what a session left.  journal_driver STEP...  with STEP one of: start[:FILE]
// select:START:END deselect edit:ID volume:PERCENT undo redo saveas:FILE remove:FILE move:FROM:TO, or
// last wait (forever: the test kills it), exit (the end without a close) or quit (a normal close).
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
    const QStringList steps = application.arguments().mid(1);

    QString saveAnswer;
    int volume = 100;
    brindle::Prompts prompts = brindle::DefaultPrompts();
    prompts.askRecover = [](QWidget*, const QString& text) { return Say("asked", 0, text), true; };
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
            const QStringList words = steps[i].split(':');
            const QString rest = words.mid(1).join(':');
            auto is = [&words](const char* verb) { return words[0] == QLatin1String(verb); };
            Say("begin", i + 1, steps[i]);
            const brindle::Document& document = frame.GetDocument();
            auto frames = [&document] { return document.IsEmpty() ? 0u : document.ActiveBuffer().FrameCount(); };
            QString detail;
            if (is("start"))
                frame.Start(std::filesystem::path(rest.toStdString()));
            if (is("select") || is("deselect"))
                frame.Engine().Deselect();
            if (is("select")) {
                frame.Engine().SetSelectionStart(words.value(1).toLongLong(), frames());
                frame.Engine().SetSelectionEnd(words.value(2).toLongLong(), frames());
            }
            if (is("volume"))
                volume = rest.toInt();
            if (is("edit"))
                frame.RunEditCommand(rest.toInt());
            if (is("undo") || is("redo"))
                frame.Commands().Run(is("undo") ? brindle::kCmdUndo : brindle::kCmdRedo);
            if (is("remove") || is("move"))
                detail = QString::number(int(is("remove") ? QFile::remove(rest) : QFile::rename(words[1], words.value(2))));
            if (is("saveas"))
                detail = QString::number((saveAnswer = rest, frame.SaveAs()));
            if (is("wait") || is("exit")) {
                Say("done", i + 1);
                while (is("wait"))
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                break;  // exit: the program ends with the window, but without a close
            }
            if (is("quit")) {
                frame.EndSession();
                break;
            }
            Say("done", i + 1, detail + QString(" frames=%1 modified=%2 undo=%3").arg(frames()).arg(int(document.Modified()))
                                            .arg(int(document.History().CanUndo())));
        }
        QApplication::exit(0);
    });
    return QApplication::exec();
}
