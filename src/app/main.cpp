// The editor: one window, no command-line arguments of its own (Qt's, such as -platform, still work),
// no settings kept, several copies may run side by side. A normal run ends with exit code 1.
#include <QApplication>

#include "app/application_setup.h"
#include "app/main_frame.h"

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    brindle::SetUpApplication(application);

    brindle::MainFrame frame;
    QObject::connect(&frame, &brindle::MainFrame::closed, &application, [] { QApplication::exit(1); });
    frame.show();
    return QApplication::exec();
}
