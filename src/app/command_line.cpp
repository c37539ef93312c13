#include "app/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstring>
#include <string_view>

namespace brindle {
namespace {

void Print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString UsageLine(const QString& program)
{
    return QCoreApplication::translate("brindle::CommandLine", "Использование: %1 [--help] [--version] [ФАЙЛ]\n")
        .arg(program);
}

bool IsKnownOption(const QString& argument)
{
    for (const char* option : {"-h", "--help", "-v", "--version"}) {
        if (argument == QLatin1String(option))
            return true;
    }
    return false;
}

}  // namespace

bool AsksOnlyForText(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--") == 0)
            return false;
        for (const char* option : {"-h", "--help", "-v", "--version"}) {
            if (std::strcmp(argument, option) == 0)
                return true;
        }
    }
    return false;
}

bool NamesNoDisplay(int argc, char** argv)
{
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        if (!qEnvironmentVariableIsEmpty(variable))
            return false;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--")
            break;
        if (argument == "-platform" || argument == "--platform")
            return false;
    }
    return true;
}

void PrintNoDisplay(std::FILE* error)
{
    Print(error, QCoreApplication::translate("brindle::CommandLine",
                                             "%1: нет дисплея для окна: не заданы DISPLAY и WAYLAND_DISPLAY\n")
                     .arg(QStringLiteral("brindle")));
}

StartRequest ReadCommandLine(int argc, char** argv, std::FILE* out, std::FILE* error)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString program = QStringLiteral("brindle");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QCoreApplication::translate("brindle::CommandLine", "Звуковой редактор файлов MP3 и WAV."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QCoreApplication::translate("brindle::CommandLine", "Показать эту справку и выйти."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QCoreApplication::translate("brindle::CommandLine", "Показать версию и выйти."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addPositionalArgument(
        QCoreApplication::translate("brindle::CommandLine", "ФАЙЛ"),
        QCoreApplication::translate("brindle::CommandLine", "Файл MP3, WAV, FLAC, Ogg или Opus, который открыть."),
        QCoreApplication::translate("brindle::CommandLine", "[ФАЙЛ]"));

    StartRequest request;
    if (!parser.parse(arguments)) {
        QString text = QStringLiteral("%1: %2\n").arg(program, parser.errorText());
        // "-song.wav" reads as the options -s, -o, -n...: say how such a name is given.
        for (qsizetype i = 1; i < arguments.size() && arguments[i] != QLatin1String("--"); ++i) {
            const QString& argument = arguments[i];
            const bool looksLikeName = argument.size() > 2 && !argument.startsWith(QLatin1String("--"));
            if (argument.startsWith(QLatin1Char('-')) && !IsKnownOption(argument) &&
                (looksLikeName || QFileInfo::exists(argument))) {
                text += QCoreApplication::translate("brindle::CommandLine",
                                                    "Имя файла, начинающееся с «-», ставится после «--»: %1 -- %2\n")
                            .arg(program, argument);
                break;
            }
        }
        Print(error, text + UsageLine(program));
        request.exitCode = 2;
        return request;
    }
    if (parser.isSet(help)) {
        // Qt's first line names the program by the path it was started with.
        const QString text = parser.helpText();
        Print(out, UsageLine(program) + text.mid(text.indexOf(QLatin1Char('\n')) + 1));
        request.exitCode = 0;
        return request;
    }
    if (parser.isSet(version)) {
        Print(out, QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                  QCoreApplication::applicationVersion()));
        request.exitCode = 0;
        return request;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        Print(error, QCoreApplication::translate("brindle::CommandLine", "%1: один файл за раз\n").arg(program) +
                         UsageLine(program));
        request.exitCode = 2;
        return request;
    }
    if (files.isEmpty())
        return request;
    // The name reaches the file system byte for byte: one that is not UTF-8 (an old archive's
    // Latin-1, say) would not survive the trip through QString.
    for (int i = argc - 1; i > 0; --i) {
        if (arguments[i] == files.constFirst()) {
            request.file = std::filesystem::path(std::string(argv[i], std::strlen(argv[i])));
            break;
        }
    }
    return request;
}

}  // namespace brindle
