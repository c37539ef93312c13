// The about box's version line, from a product version of four numbers.
#pragma once

#include <QString>

namespace brindle {

// Splits productVersion at every "." or ","; with exactly four parts (each trimmed and read as a
// decimal number) the line is "Version 1.2.3  (Build 45)" (two spaces), or "1.2.3.45" in the short
// form. Anything else gives an empty string.
QString VersionLine(const QString& productVersion, bool shortForm = false);
// The line for this build.
QString ProgramVersionLine();

}  // namespace brindle
