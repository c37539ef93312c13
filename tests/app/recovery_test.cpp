// Unsaved edits outlive the editor: a child editor (journal_driver) is killed with SIGKILL and started
// again, and what it recovers and saves must equal, byte for byte, what an editor never killed saved,
// whatever became of the file the sound came from.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>

#include "app/app_texts.h"
#include "app/command_ids.h"
#include "gui_test_support.h"

namespace brindle {
namespace {

QString Scratch(const QString& name)
{
    const QString path = test::ScratchDir() + '/' + name;
    QDir().mkpath(path);
    return path;
}

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A child editor in a clean environment: nothing of the caller's home, locale, display or temporary
// folder, and Russian, the language of the texts compared with.
struct Driver {
    QProcess process;
    QByteArray out;

    Driver(const QString& stateHome, const QStringList& steps)
    {
        QProcessEnvironment environment;
        const std::pair<QString, QString> variables[] = {
            {"PATH", "/usr/bin:/bin"}, {"HOME", Scratch("child-home")}, {"LC_ALL", "ru_RU.UTF-8"},
            {"QT_QPA_PLATFORM", "offscreen"}, {"TMPDIR", Scratch("child-tmp")}, {"XDG_CONFIG_HOME", Scratch("child-config")},
            {"XDG_RUNTIME_DIR", qEnvironmentVariable("XDG_RUNTIME_DIR")}, {"XDG_STATE_HOME", stateHome}};
        for (const auto& [name, value] : variables)
            environment.insert(name, value);
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(BRINDLE_JOURNAL_DRIVER), steps);
    }
    // Reads the output until it holds line or the child ends; true when it holds it.
    bool WaitFor(const QByteArray& line)
    {
        QElapsedTimer clock;
        clock.start();
        while (!out.contains(line) && clock.elapsed() < 120000 && process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(100);
            out += process.readAllStandardOutput();
        }
        return out.contains(line);
    }
    // The whole output once the child has ended, killed first when asked.
    QByteArray Finish(bool kill = false)
    {
        if (kill)
            ::kill(pid_t(process.processId()), SIGKILL);
        const bool ended = process.waitForFinished(300000);
        out += process.readAllStandardOutput();
        if (!kill && (!ended || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0))
            qWarning("driver %s ended badly:\n%s", qUtf8Printable(process.arguments().join(' ')), out.constData());
        return out;
    }
};

QByteArray Run(const QString& stateHome, const QStringList& steps) { return Driver(stateHome, steps).Finish(); }

// The sessions in the state folder that hold a sound to recover.
int Sessions(const QString& stateHome)
{
    const QDir folder(stateHome + "/brindle");
    int found = 0;
    for (const QString& session : folder.entryList({"session-*"}, QDir::Dirs))
        found += QFileInfo::exists(folder.filePath(session) + "/journal");
    return found;
}

QString Step(int id) { return QString("edit:%1").arg(id); }

}  // namespace

class RecoveryTest : public QObject {
    Q_OBJECT

private slots:
    // Edits with undos between them, then SIGKILL while idle: the next start offers the sound back and
    // saves exactly what an editor never killed saves, with no need of the file it came from. While
    // the killed editor still ran, another one started beside it left its session alone.
    void killedEditorsEditsComeBackByteForByte_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("tail");  // SRC: the source, OTHER: a file beside it
        const QStringList twoMore = {"select:1000:9000", Step(kCmdFadeOut), "select:5000:7000", Step(kCmdDeleteSelected)};
        QTest::newRow("wav") << "kill.wav" << QStringList();
        QTest::newRow("mp3") << "kill.mp3" << QStringList();
        // Not killed: the program ends without a close (its window destroyed from outside, the desktop
        // session over), and what the sound lets go of as it ends must stay.
        QTest::newRow("ended without a close") << "ended.wav" << QStringList{"exit"};
        QTest::newRow("saved over its source, undone, redone") << "over.wav" << QStringList{"saveas:SRC", "undo", "redo"} + twoMore;
        QTest::newRow("saved as, the original deleted") << "deleted.wav" << QStringList{"saveas:OTHER", "remove:SRC"} + twoMore;
        QTest::newRow("source renamed, another file put in its place")
            << "renamed.mp3" << QStringList{"move:SRC:OTHER", "saveas:SRC"} + twoMore;
    }
    void killedEditorsEditsComeBackByteForByte()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, tail);
        const QString tone = test::MakeTone(name, 14, 2), other = name + ".other." + QFileInfo(name).suffix();
        QVERIFY(!tone.isEmpty());
        const bool exits = tail.removeAll("exit") > 0;
        // The uninterrupted editor and the killed one run side by side, each on its own copy.
        auto steps = [&](const QString& copy, const QStringList& last) {
            const QString folder = Scratch(copy) + '/';
            QFile::copy(tone, folder + name);
            QStringList list = {"start:" + folder + name, "select:44100:220500", Step(kCmdFadeIn), "volume:150",
                                "select:300000:500000", Step(kCmdChangeVolume), "undo", "select:100000:150000",
                                Step(kCmdDeleteSelected), "undo", "redo", "deselect", Step(kCmdFadeOut), Step(kCmdToMono),
                                "undo", "select:0:400000", Step(kCmdIncreaseVolume), "select:10000:600000",
                                Step(kCmdDeleteUnselected), "undo"};  // killed right after an undo: the journal leaves it out
            for (QString step : tail)
                list << step.replace("SRC", folder + name).replace("OTHER", folder + other);
            return list + last;
        };
        const QString out = Scratch("out") + '/' + name, state = Scratch("state-kill-" + name);
        Driver reference(Scratch("state-ref-" + name), steps("ref-" + name, {"saveas:" + out + ".ref.wav", "quit"}));
        Driver killed(state, steps("kill-" + name, {exits ? "exit" : "wait"}));
        // The step after the edits ("wait" or "exit") is done once they all are.
        const int last = int(killed.process.arguments().size());
        const QByteArray lastDone = QString("done %1 ").arg(last).toUtf8();
        QVERIFY2(killed.WaitFor(lastDone), killed.out.constData());
        QCOMPARE(Sessions(state), 1);
        if (!exits) {  // one that exited left a session to recover, not a living one
            const QByteArray beside = Run(state, {"start", "quit"});
            QVERIFY2(!beside.contains("asked") && beside.contains("done 1 "), beside.constData());
            QCOMPARE(Sessions(state), 1);
        }
        const QByteArray ended = killed.Finish(!exits);
        QVERIFY(ended.contains(lastDone) && !ended.contains(QString("begin %1 ").arg(last + 1).toUtf8()));
        const QByteArray uninterrupted = reference.Finish();
        QVERIFY2(uninterrupted.contains(QString("done %1 1 ").arg(last).toUtf8()), uninterrupted.constData());

        const QByteArray again = Run(state, {"start", "saveas:" + out + ".rec.wav", "quit"});
        const QString shown = tail.contains("saveas:OTHER") ? other : name;
        QVERIFY2(again.contains(("asked 0 " + Texts::AskRecover(shown)).toUtf8() + '\n'), again.constData());
        QVERIFY2(again.contains("done 1  frames=") && again.contains("modified=1 undo=1"), again.constData());
        QVERIFY2(again.contains("done 2 1 ") && !again.contains("error"), again.constData());
        const QByteArray expected = Contents(out + ".ref.wav");
        QVERIFY(expected.size() > 1000);
        QVERIFY2(Contents(out + ".rec.wav") == expected, "the recovered sound differs from the uninterrupted one");
        // Saved and closed: nothing is left, not even the folder.
        QCOMPARE(QDir(state + "/brindle").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }

    // Killed while a long edit runs: the recovered sound is the one with that edit whole or the one
    // without it, never anything between. The two uninterrupted editors run beside the killed one.
    void killDuringAnEditRecoversItWholeOrNotAtAll()
    {
        const QString source = test::MakeTone("long.wav", 300, 2), out = Scratch("out") + "/long.";
        QVERIFY(!source.isEmpty());
        const QStringList before = {"start:" + source, "select:441000:882000", Step(kCmdFadeIn), "deselect"};
        Driver without(Scratch("state-long-a"), before + QStringList{"saveas:" + out + "without.wav", "quit"});
        Driver with(Scratch("state-long-b"), before + QStringList{Step(kCmdFadeOut), "saveas:" + out + "with.wav", "quit"});
        const QString state = Scratch("state-long-kill");
        Driver killed(state, before + QStringList{Step(kCmdFadeOut), "wait"});
        QVERIFY2(killed.WaitFor("begin 5 "), killed.out.constData());
        QThread::msleep(40);
        // The fade over five minutes of stereo takes far longer than the wait: it was in flight.
        QVERIFY2(!killed.Finish(true).contains("done 5 "), killed.out.constData());
        without.Finish();
        with.Finish();

        const QByteArray again = Run(state, {"start", "saveas:" + out + "rec.wav", "quit"});
        QVERIFY2(again.contains("asked 0 ") && again.contains("done 2 1 "), again.constData());
        const QByteArray result = Contents(out + "rec.wav");
        const bool whole = result == Contents(out + "with.wav");
        QVERIFY2(whole || result == Contents(out + "without.wav"), "the recovered sound is neither before nor after the edit");
        qInfo("the edit in flight was %s", whole ? "recovered whole" : "not recovered");
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::RecoveryTest)
#include "recovery_test.moc"
