#include "app/version_text.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

#include "build_config.h"

namespace brindle {

QString VersionLine(const QString& productVersion, bool shortForm)
{
    static const QRegularExpression separators(QStringLiteral("\\.|,"));
    const QStringList parts = productVersion.split(separators);
    if (parts.size() != 4)
        return {};
    int numbers[4] = {};
    for (int i = 0; i < 4; ++i)
        numbers[i] = parts[i].trimmed().toInt();  // like a C decimal read: junk reads as 0
    if (shortForm)
        return QString::asprintf("%d.%d.%d.%d", numbers[0], numbers[1], numbers[2], numbers[3]);
    return QCoreApplication::translate("brindle::AboutBox", "Version %1.%2.%3  (Build %4)")
        .arg(numbers[0])
        .arg(numbers[1])
        .arg(numbers[2])
        .arg(numbers[3]);
}

QString ProgramVersionLine() { return VersionLine(QString::fromUtf8(config::kProductVersion)); }

}  // namespace brindle
