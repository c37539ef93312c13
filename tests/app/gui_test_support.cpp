#include "gui_test_support.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>

#include <cstdlib>
#include <stdexcept>
#include <sys/stat.h>

#include "app/document_view.h"
#include "app/edit_button_panel.h"
#include "view/waveform_view.h"

namespace brindle::test {
namespace {

std::unique_ptr<QTemporaryDir>& Scratch()
{
    static std::unique_ptr<QTemporaryDir> dir;
    return dir;
}

// The tools' messages and numbers must not follow the caller's locale.
bool RunInCLocale(QProcess& process, const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    return process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
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
    if (RunInCLocale(process, program, arguments, 120000))
        return true;
    qWarning("%s failed: %s", qUtf8Printable(program), process.readAllStandardError().constData());
    return false;
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
    if (!RunInCLocale(process, QStringLiteral("soxi"), {QStringLiteral("-s"), path}, 60000))
        return -1;
    bool ok = false;
    const long long frames = process.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok ? frames : -1;
}

Prompts FakeDialogs::MakePrompts()
{
    // Takes the next answer of a queue, or `none` when it is empty.
    auto next = [](auto& queue, auto none) {
        if (queue.empty())
            return none;
        auto answer = queue.front();
        queue.pop_front();
        return decltype(none)(answer);
    };
    Prompts prompts = DefaultPrompts();
    prompts.openPath = [this](QWidget*, const QString& folder) {
        ++openDialogs;
        lastOpenFolder = folder;
        return openAnswer;
    };
    prompts.savePath = [this, next](QWidget*, const QString& proposal, int filterIndex) {
        ++saveDialogs;
        lastProposal = proposal;
        lastFilterIndex = filterIndex;
        const auto answer = next(saveAnswers, std::optional<SaveChoice>());
        return answer && !answer->path.isEmpty() ? answer : std::nullopt;
    };
    prompts.askSave = [this, next](QWidget*, const QString& text) {
        ++saveQuestions;
        lastSaveQuestion = text;
        return next(saveQuestionAnswers, QMessageBox::Cancel);
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

void WindowFixture::StartWindow(const QString& settings)
{
    StopWindow();
    dialogs_.errors.clear();
    frame_ = std::make_unique<MainFrame>(dialogs_.MakePrompts(), settings);
    frame_->show();
}

void WindowFixture::StopWindow()
{
    if (frame_)
        frame_->GetDocument().Reset();
    frame_.reset();
}

bool WindowFixture::EditEnabled(int id) const { return frame_->EditPanel()->Button(id)->isEnabled(); }

bool WindowFixture::OpenAndFocus(const QString& path)
{
    if (!frame_->OpenFile(path))
        return false;
    frame_->RefreshUiState();
    if (!Activate())
        return false;
    frame_->View()->Waveform()->setFocus();
    return true;
}

bool WindowFixture::Activate()
{
    frame_->activateWindow();
    return QTest::qWaitFor([this] { return QApplication::activeWindow() == frame_.get(); });
}

void WindowFixture::Press(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    QVERIFY2(Activate(), "the window did not become active");
    QTest::keyClick(frame_->View()->Waveform(), key, modifiers);
}

FakeWaveOut& WindowFixture::UseFakeDevice(size_t samples)
{
    auto device = std::make_unique<FakeWaveOut>(samples);
    FakeWaveOut& fake = *device;
    frame_->SetOutputDevice(std::move(device));
    return fake;
}

QList<qint64> WindowFixture::Marks() const
{
    const PlaybackEngine& engine = frame_->Engine();
    return {engine.selectionStart, engine.selectionEnd, engine.GetPosition()};
}

}  // namespace brindle::test
