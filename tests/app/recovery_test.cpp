// Unsaved edits outlive the editor. The editor's window and start-up run in a child process
// (journal_driver) that is killed with SIGKILL and started again; what it recovers and saves must equal,
// byte for byte, what an editor that was never killed saved, whatever became of the file the sound
// came from.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

#include "app/app_texts.h"
#include "app/command_ids.h"
#include "app/main_frame.h"
#include "gui_test_support.h"

namespace brindle {

class RecoveryTest : public QObject {
    Q_OBJECT

private:
    // A child editor: its output so far, and the process.
    struct Driver {
        std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
        QByteArray out;
    };

    static QString Scratch(const QString& name)
    {
        const QString path = test::ScratchDir() + QLatin1Char('/') + name;
        QDir().mkpath(path);
        return path;
    }

    // A clean environment: nothing of the caller's home, locale, display or temporary folder.
    static QProcessEnvironment ChildEnvironment(const QString& stateHome)
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        environment.insert(QStringLiteral("HOME"), Scratch(QStringLiteral("child-home")));
        // Russian, the language of the texts this test compares with.
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("TMPDIR"), Scratch(QStringLiteral("child-tmp")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Scratch(QStringLiteral("child-config")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), qEnvironmentVariable("XDG_RUNTIME_DIR"));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
        return environment;
    }

    static std::unique_ptr<Driver> StartDriver(const QString& stateHome, const QStringList& arguments)
    {
        auto driver = std::make_unique<Driver>();
        driver->process->setProcessEnvironment(ChildEnvironment(stateHome));
        driver->process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        driver->process->start(QStringLiteral(BRINDLE_JOURNAL_DRIVER), arguments);
        return driver;
    }

    // Reads the child's output until it holds line (or the child ends); true when it does.
    static bool WaitFor(Driver& driver, const QByteArray& line, int timeoutMs = 120000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!driver.out.contains(line)) {
            if (clock.elapsed() > timeoutMs || driver.process->state() == QProcess::NotRunning)
                return false;
            driver.process->waitForReadyRead(100);
            driver.out += driver.process->readAllStandardOutput();
        }
        return true;
    }

    // Runs the child to its end: its output, having checked that it ended well.
    static QByteArray RunDriver(const QString& stateHome, const QStringList& arguments)
    {
        std::unique_ptr<Driver> driver = StartDriver(stateHome, arguments);
        const bool ended = driver->process->waitForFinished(300000);
        driver->out += driver->process->readAllStandardOutput();
        if (!ended || driver->process->exitStatus() != QProcess::NormalExit || driver->process->exitCode() != 0)
            qWarning("driver %s ended badly:\n%s", qUtf8Printable(arguments.join(QLatin1Char(' '))),
                     driver->out.constData());
        return driver->out;
    }

    static void Kill(Driver& driver)
    {
        ::kill(pid_t(driver.process->processId()), SIGKILL);
        driver.process->waitForFinished(60000);
        driver.out += driver.process->readAllStandardOutput();
    }

    // The sessions in the state folder that hold a sound to recover.
    static QStringList Sessions(const QString& stateHome)
    {
        QStringList found;
        const QDir folder(stateHome + QStringLiteral("/brindle"));
        for (const QString& session : folder.entryList({QStringLiteral("session-*")}, QDir::Dirs))
            if (QFileInfo::exists(folder.filePath(session) + QStringLiteral("/journal")))
                found << session;
        return found;
    }

    static QByteArray Contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QString Step(int id) { return QStringLiteral("edit:%1").arg(id); }

private slots:
    // Several edits with undos between them, then SIGKILL while idle: the next start offers the sound
    // back and saves exactly what an editor never killed saves, with no need of the file it came from.
    // While the killed editor still ran, another one started beside it left its session alone.
    void killedEditorsEditsComeBackByteForByte_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("tail");  // SRC: the source, OTHER: a file beside it
        QTest::newRow("wav") << QStringLiteral("kill.wav") << QStringList();
        QTest::newRow("mp3") << QStringLiteral("kill.mp3") << QStringList();
        // Not killed: the program ends without a close (its window destroyed from outside, the desktop
        // session over), and what the sound lets go of as it ends must stay.
        QTest::newRow("ended without a close") << QStringLiteral("ended.wav") << QStringList{QStringLiteral("exit")};
        const QStringList twoMore = {QStringLiteral("select:1000:9000"), Step(kCmdFadeOut),
                                     QStringLiteral("select:5000:7000"), Step(kCmdDeleteSelected)};
        QTest::newRow("saved over its source, undone, redone")
            << QStringLiteral("over.wav")
            << (QStringList{QStringLiteral("saveas:SRC"), QStringLiteral("undo"), QStringLiteral("redo")} + twoMore);
        QTest::newRow("saved as, the original deleted")
            << QStringLiteral("deleted.wav")
            << (QStringList{QStringLiteral("saveas:OTHER"), QStringLiteral("remove:SRC")} + twoMore);
        QTest::newRow("source renamed, then another file put in its place")
            << QStringLiteral("renamed.mp3")
            << (QStringList{QStringLiteral("move:SRC:OTHER"), QStringLiteral("saveas:SRC")} + twoMore);
    }
    void killedEditorsEditsComeBackByteForByte()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, tail);
        const QString source = test::MakeTone(name, 20, 2);
        QVERIFY(!source.isEmpty());
        const QString other = source + QStringLiteral(".other.") + QFileInfo(name).suffix();
        QStringList edits = {QStringLiteral("start:") + source,
                                   QStringLiteral("select:44100:220500"), Step(kCmdFadeIn),
                                   QStringLiteral("volume:150"), QStringLiteral("select:300000:500000"),
                                   Step(kCmdChangeVolume), QStringLiteral("undo"),
                                   QStringLiteral("select:100000:150000"), Step(kCmdDeleteSelected),
                                   QStringLiteral("undo"), QStringLiteral("redo"), QStringLiteral("deselect"),
                                   Step(kCmdFadeOut), Step(kCmdToMono), QStringLiteral("undo"),
                                   QStringLiteral("select:0:400000"), Step(kCmdIncreaseVolume),
                                   QStringLiteral("select:10000:600000"), Step(kCmdDeleteUnselected),
                                   // Killed right after an undo: the journal already leaves it out.
                                   QStringLiteral("undo")};
        const bool exits = tail.contains(QStringLiteral("exit"));
        tail.removeAll(QStringLiteral("exit"));
        for (QString step : tail)
            edits << step.replace(QLatin1String("SRC"), source).replace(QLatin1String("OTHER"), other);
        // The step after the edits ("wait") is done once they all are.
        const QString last = QStringLiteral("done %1 ").arg(edits.size() + 1);
        const QString reference = Scratch(QStringLiteral("out")) + QLatin1Char('/') + name + QStringLiteral(".ref.wav");
        const QString recovered = Scratch(QStringLiteral("out")) + QLatin1Char('/') + name + QStringLiteral(".rec.wav");

        const QString pristine = source + QStringLiteral(".pristine");
        QFile::remove(pristine);
        QVERIFY(QFile::copy(source, pristine));
        const QByteArray uninterrupted =
            RunDriver(Scratch(QStringLiteral("state-ref-") + name),
                      QStringList(edits) << QStringLiteral("saveas:") + reference << QStringLiteral("quit"));
        QVERIFY2(uninterrupted.contains(QStringLiteral("done %1 1 ").arg(edits.size() + 1).toUtf8()),
                 uninterrupted.constData());
        // The same start for the killed editor: its source as the uninterrupted one found it.
        QFile::remove(other);
        QFile::remove(source);
        QVERIFY(QFile::copy(pristine, source));

        const QString state = Scratch(QStringLiteral("state-kill-") + name);
        std::unique_ptr<Driver> killed =
            StartDriver(state, QStringList(edits) << (exits ? QStringLiteral("exit") : QStringLiteral("wait")));
        QVERIFY2(WaitFor(*killed, last.toUtf8()), killed->out.constData());
        QCOMPARE(Sessions(state).size(), 1);

        if (!exits) {
            const QByteArray beside = RunDriver(state, {QStringLiteral("start"), QStringLiteral("quit")});
            QVERIFY2(!beside.contains("asked") && beside.contains("done 1 "), beside.constData());
            QCOMPARE(Sessions(state).size(), 1);
        }

        if (exits)
            QVERIFY(killed->process->waitForFinished(60000));
        else
            Kill(*killed);
        QVERIFY(killed->out.contains(last.toUtf8()) &&
                !killed->out.contains(QStringLiteral("begin %1 ").arg(edits.size() + 2).toUtf8()));
        const QByteArray again =
            RunDriver(state, {QStringLiteral("--recover=yes"), QStringLiteral("start"),
                              QStringLiteral("saveas:") + recovered, QStringLiteral("quit")});
        const QString shown = QFileInfo(tail.join(QLatin1Char(' ')).contains(QLatin1String("saveas:OTHER")) ? other : source).fileName();
        QVERIFY2(again.contains(("asked 0 " + Texts::AskRecover(shown)).toUtf8() + '\n'), again.constData());
        QVERIFY2(again.contains("done 1  frames=") && again.contains("modified=1 undo=1"), again.constData());
        QVERIFY2(again.contains("done 2 1 "), again.constData());
        QVERIFY2(!again.contains("error"), again.constData());

        const QByteArray expected = Contents(reference);
        QVERIFY(expected.size() > 1000);
        QVERIFY2(Contents(recovered) == expected, "the recovered sound differs from the uninterrupted one");
        // Saved and closed: nothing is left, not even the folder.
        QCOMPARE(QDir(state + QStringLiteral("/brindle")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    }

    // Killed while a long edit runs: the recovered sound is the one with that edit whole or the one
    // without it, never anything between.
    void killDuringAnEditRecoversItWholeOrNotAtAll()
    {
        const QString source = test::MakeTone(QStringLiteral("long.wav"), 300, 2);
        QVERIFY(!source.isEmpty());
        const QStringList before = {QStringLiteral("start:") + source, QStringLiteral("select:441000:882000"),
                                    Step(kCmdFadeIn), QStringLiteral("deselect")};
        const QString out = Scratch(QStringLiteral("out"));
        const QString without = out + QStringLiteral("/long.without.wav");
        const QString with = out + QStringLiteral("/long.with.wav");
        const QString recovered = out + QStringLiteral("/long.rec.wav");
        RunDriver(Scratch(QStringLiteral("state-long-a")),
                  QStringList(before) << QStringLiteral("saveas:") + without << QStringLiteral("quit"));
        RunDriver(Scratch(QStringLiteral("state-long-b")), QStringList(before) << Step(kCmdFadeOut)
                                                                                << QStringLiteral("saveas:") + with
                                                                                << QStringLiteral("quit"));

        const QString state = Scratch(QStringLiteral("state-long-kill"));
        std::unique_ptr<Driver> killed =
            StartDriver(state, QStringList(before) << Step(kCmdFadeOut) << QStringLiteral("wait"));
        QVERIFY2(WaitFor(*killed, "begin 5 "), killed->out.constData());
        QThread::msleep(40);
        Kill(*killed);
        // The fade over five minutes of stereo takes far longer than the wait: it was in flight.
        QVERIFY2(!killed->out.contains("done 5 "), killed->out.constData());

        const QByteArray again = RunDriver(state, {QStringLiteral("--recover=yes"), QStringLiteral("start"),
                                                   QStringLiteral("saveas:") + recovered, QStringLiteral("quit")});
        QVERIFY2(again.contains("asked 0 ") && again.contains("done 2 1 "), again.constData());
        const QByteArray result = Contents(recovered);
        const bool whole = result == Contents(with);
        QVERIFY2(whole || result == Contents(without), "the recovered sound is neither before nor after the edit");
        qInfo("the edit in flight was %s", whole ? "recovered whole" : "not recovered");
    }

    // Each damaged or hostile journal is refused with its reason and deleted: nothing is asked (except
    // for ranges, which only the sound can refute), nothing opened, nothing blocks.
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::RecoveryTest)
#include "recovery_test.moc"
