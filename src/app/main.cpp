// The editor: one window, several copies may run side by side. The command line may name a file to
// open (Qt's own options, such as -platform, still work); the window keeps its place, the recent
// files and the last folder in Qt's settings, and a journal of the unsaved edits in the state folder,
// which a later start offers to recover. A normal run ends with exit code 1.
#include <QApplication>

#include "app/application_setup.h"
#include "app/command_line.h"
#include "app/editor_settings.h"
#include "app/main_frame.h"

int main(int argc, char* argv[])
{
    // A QApplication needs a display unless told otherwise; help and version need none.
    if (brindle::AsksOnlyForText(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    brindle::SetUpApplication(application);
    const brindle::StartRequest request = brindle::ReadCommandLine(argc, argv);
    if (request.exitCode)
        return *request.exitCode;

    brindle::MainFrame frame(brindle::DefaultPrompts(), brindle::DefaultSettingsFile());
    frame.UseJournal(brindle::JournalFolder());
    QObject::connect(&frame, &brindle::MainFrame::closed, &application, [] { QApplication::exit(1); });
    frame.show();
    // Once the loop runs, so the window is up under the progress window and any question or error box.
    QMetaObject::invokeMethod(&frame, [&frame, &request] { frame.Start(request.file); }, Qt::QueuedConnection);
    return QApplication::exec();
}
