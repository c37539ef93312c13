#include "gui_test_support.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

namespace brindle::test {
namespace {

std::unique_ptr<QTemporaryDir>& Scratch()
{
    static std::unique_ptr<QTemporaryDir> dir;
    return dir;
}

}  // namespace

void PrepareGuiEnvironment()
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    Scratch() = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/brindle-gui-XXXXXX"));
    if (!Scratch()->isValid())
        throw std::runtime_error("cannot make a temporary folder");
    const QByteArray runtime = QFile::encodeName(Scratch()->filePath(QStringLiteral("runtime")));
    ::mkdir(runtime.constData(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
    ::setenv("TMPDIR", QFile::encodeName(Scratch()->path()).constData(), 1);
    // Qt's settings, should anything reach for them, land here and not in the caller's home.
    ::setenv("XDG_CONFIG_HOME", QFile::encodeName(Scratch()->filePath(QStringLiteral("config"))).constData(), 1);
    ::setenv("XDG_STATE_HOME", QFile::encodeName(Scratch()->filePath(QStringLiteral("state"))).constData(), 1);
}

QString ScratchDir() { return Scratch()->path(); }

bool RunTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s failed: %s", qUtf8Printable(program), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

QString MakeTone(const QString& name, double seconds, int channels)
{
    const QString path = ScratchDir() + QLatin1Char('/') + name;
    const bool mp3 = name.endsWith(QLatin1String(".mp3"));
    const QString wav = mp3 ? path + QStringLiteral(".src.wav") : path;
    if (!RunTool(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("44100"),
                                         QStringLiteral("-c"), QString::number(channels), QStringLiteral("-b"),
                                         QStringLiteral("16"), wav, QStringLiteral("synth"), QString::number(seconds),
                                         QStringLiteral("sine"), QStringLiteral("440"), QStringLiteral("vol"),
                                         QStringLiteral("0.5")}))
        return {};
    if (mp3 && !RunTool(QStringLiteral("lame"), {QStringLiteral("--quiet"), wav, path}))
        return {};
    return path;
}

long long SoxFrameCount(const QString& path)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("soxi"), {QStringLiteral("-s"), path});
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return -1;
    bool ok = false;
    const long long frames = process.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok ? frames : -1;
}

Prompts FakeDialogs::MakePrompts()
{
    Prompts prompts = DefaultPrompts();
    prompts.openPath = [this](QWidget*, const QString& folder) {
        ++openDialogs;
        lastOpenFolder = folder;
        return openAnswer;
    };
    prompts.savePath = [this](QWidget*, const QString& proposal, int filterIndex) -> std::optional<SaveChoice> {
        ++saveDialogs;
        lastProposal = proposal;
        lastFilterIndex = filterIndex;
        if (saveAnswers.empty())
            return std::nullopt;
        const SaveChoice answer = saveAnswers.front();
        saveAnswers.pop_front();
        if (answer.path.isEmpty())
            return std::nullopt;
        return answer;
    };
    prompts.askSave = [this](QWidget*, const QString& text) {
        ++saveQuestions;
        lastSaveQuestion = text;
        if (saveQuestionAnswers.empty())
            return QMessageBox::Cancel;
        const auto answer = saveQuestionAnswers.front();
        saveQuestionAnswers.pop_front();
        return answer;
    };
    prompts.showError = [this](QWidget*, const QString& text) { errors << text; };
    prompts.askRecover = [this](QWidget*, const QString& text) {
        recoverQuestions << text;
        return recoverAnswer;
    };
    prompts.askVolume = [this](QWidget*) { return volumeAnswer; };
    prompts.askSilence = [this](QWidget*) { return silenceAnswer; };
    prompts.askLoudness = [this](QWidget*, const LoudnessFigures& measured) {
        loudnessShown = measured;
        return loudnessAnswer;
    };
    prompts.showProperties = [this](QWidget*, const PropertyRows& rows) { propertiesShown = rows; };
    prompts.askStereo = [this](QWidget*, const LinkHandler&) { return stereoAnswer; };
    prompts.showAbout = [](QWidget*, const LinkHandler&) {};
    prompts.openUrl = [this](const QUrl& url) {
        openedUrls << url;
        return openUrlAnswer;
    };
    return prompts;
}

}  // namespace brindle::test
