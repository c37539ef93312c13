// The editor: one window, several copies may run side by side. The command line may name a file to
// open (Qt's own options, such as -platform, still work); the window keeps its place, the recent
// files and the last folder in Qt's settings, and a journal of the unsaved edits in the state folder,
// which a later start offers to recover. A normal close ends with exit status 0.
#include <QApplication>

#include <cstdio>

#include "app/application_setup.h"
#include "app/command_line.h"
#include "app/editor_settings.h"
#include "app/main_frame.h"

int main(int argc, char* argv[])
{
    // A QApplication needs a display unless told otherwise. Help, version and a usage error need none,
    // and without any display the program must still answer with words and an exit status rather
    // than Qt's abort.
    const bool noDisplay = brindle::NamesNoDisplay(argc, argv);
    if ((noDisplay || brindle::AsksOnlyForText(argc, argv)) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    brindle::SetUpApplication(application);
    const brindle::StartRequest request = brindle::ReadCommandLine(argc, argv);
    if (request.exitCode)
        return *request.exitCode;
    if (noDisplay) {
        brindle::PrintNoDisplay();
        return 1;
    }

    brindle::MainFrame frame(brindle::DefaultPrompts(), brindle::DefaultSettingsFile());
    frame.UseSessions(brindle::StateFolder());
    return brindle::RunEditor(frame, request.file);
}
