// What the editor's own command line asks for: a file to open at start-up, or only a text (help,
// version, a usage error) and an exit code. Qt's options (-platform and the like) have been taken
// out by the QApplication before this reads the rest.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>

namespace brindle {

struct StartRequest {
    // Set when the program ends here: 0 after --help or --version, 2 after a usage error.
    std::optional<int> exitCode;
    // The file to open once the window is up, as the bytes it was given; empty when none.
    std::filesystem::path file;
};

// True when argv asks only for --help or --version (before any "--"): then no window will open, and
// the program must answer on a machine without a display too.
bool AsksOnlyForText(int argc, char** argv);

// True when nothing names a display: no QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY in the environment
// and no -platform on the command line. The window cannot open then.
bool NamesNoDisplay(int argc, char** argv);
// The one line that says so, on standard error.
void PrintNoDisplay(std::FILE* error = stderr);

// Reads argv as the QApplication left it (it must exist, for the program's name and version).
// Help and version go to out, usage errors to error.
StartRequest ReadCommandLine(int argc, char** argv, std::FILE* out = stdout, std::FILE* error = stderr);

}  // namespace brindle
