// What the editor sets up on its QApplication before the first window: names, the icon, the language
// of its texts and of Qt's own (standard buttons, file dialogs, context menus), and how loads and saves
// leave the processor to the window.
#pragma once

#include <filesystem>

class QApplication;
class QCoreApplication;
class QLocale;

namespace brindle {

class MainFrame;

void SetUpApplication(QApplication& application);

// The window's texts are Russian (their source) for Russian; every other language (C and POSIX
// included) gets the English translation built into the program; Qt's own texts follow in the same language from Qt's shipped
// translations when they are installed. Replaces what an earlier call installed, so a window made after
// it shows the new language.
void InstallTranslations(QCoreApplication& application, const QLocale& locale);

// Shows frame, opens file (when not empty) once the loop turns, so that the window is up under the
// progress window and any question or error box, and runs the loop until the window closes. Returns
// the program's exit status: 0 after the window closed as the user asked.
int RunEditor(MainFrame& frame, const std::filesystem::path& file);

}  // namespace brindle
