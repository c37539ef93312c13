// Unsaved edits outlive the editor. The editor's window and start-up run in a child process
// (journal_driver) that is killed with SIGKILL and started again; what it recovers and saves must equal,
// byte for byte, what an editor that was never killed saved. Journals that are damaged or hostile, and
// sources changed after the crash, are met by windows in this process.
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
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
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

    static QStringList Journals(const QString& stateHome)
    {
        return QDir(stateHome + QStringLiteral("/brindle")).entryList({QStringLiteral("*.journal")}, QDir::Files);
    }

    static QByteArray Contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QString Step(int id) { return QStringLiteral("edit:%1").arg(id); }

    // An orphan journal in its own state folder, and a window that looks at it.
    struct Orphan {
        QString folder;
        QString journal;
    };
    static Orphan PlaceJournal(const QString& caseName, const QByteArray& bytes)
    {
        Orphan orphan;
        orphan.folder = Scratch(QStringLiteral("hostile/") + caseName + QStringLiteral("/brindle"));
        orphan.journal = orphan.folder + QStringLiteral("/4242-0.journal");
        QFile file(orphan.journal);
        if (!bytes.isNull() && file.open(QIODevice::WriteOnly))
            file.write(bytes);
        return orphan;
    }

    static QByteArray Encoded(const QString& source, std::vector<EditRequest> edits)
    {
        JournalRecord record;
        record.source = source.toStdString();
        std::string reason;
        ReadSourceIdentity(record.source, record.identity, reason);
        record.edits = std::move(edits);
        return QByteArray::fromStdString(EncodeJournal(record));
    }

private slots:
    // Several edits with undos between them, then SIGKILL while idle: the next start offers the sound
    // back and saves exactly what an editor never killed saves. While the killed editor still ran,
    // another one started beside it left its journal alone.
    void killedEditorsEditsComeBackByteForByte_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("wav") << QStringLiteral("kill.wav");
        QTest::newRow("mp3") << QStringLiteral("kill.mp3");
    }
    void killedEditorsEditsComeBackByteForByte()
    {
        QFETCH(QString, name);
        const QString source = test::MakeTone(name, 20, 2);
        QVERIFY(!source.isEmpty());
        const QStringList edits = {QStringLiteral("start:") + source,
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
        const QString reference = Scratch(QStringLiteral("out")) + QLatin1Char('/') + name + QStringLiteral(".ref.wav");
        const QString recovered = Scratch(QStringLiteral("out")) + QLatin1Char('/') + name + QStringLiteral(".rec.wav");

        const QByteArray uninterrupted =
            RunDriver(Scratch(QStringLiteral("state-ref-") + name),
                      QStringList(edits) << QStringLiteral("saveas:") + reference << QStringLiteral("quit"));
        QVERIFY2(uninterrupted.contains("done 21 1 "), uninterrupted.constData());

        const QString state = Scratch(QStringLiteral("state-kill-") + name);
        std::unique_ptr<Driver> killed = StartDriver(state, QStringList(edits) << QStringLiteral("wait"));
        QVERIFY2(WaitFor(*killed, "done 21 "), killed->out.constData());
        QCOMPARE(Journals(state).size(), 1);

        const QByteArray beside = RunDriver(state, {QStringLiteral("start"), QStringLiteral("quit")});
        QVERIFY2(!beside.contains("asked") && beside.contains("done 1 "), beside.constData());
        QCOMPARE(Journals(state).size(), 1);

        Kill(*killed);
        QVERIFY(killed->out.contains("done 21 ") && !killed->out.contains("begin 22"));
        const QByteArray again =
            RunDriver(state, {QStringLiteral("--recover=yes"), QStringLiteral("start"),
                              QStringLiteral("saveas:") + recovered, QStringLiteral("quit")});
        QVERIFY2(again.contains(("asked 0 " + Texts::AskRecover(name)).toUtf8() + '\n'), again.constData());
        QVERIFY2(again.contains("done 1  frames=") && again.contains("modified=1 undo=1"), again.constData());
        QVERIFY2(again.contains("done 2 1 "), again.constData());
        QVERIFY2(!again.contains("error"), again.constData());

        const QByteArray expected = Contents(reference);
        QVERIFY(expected.size() > 1000);
        QVERIFY2(Contents(recovered) == expected, "the recovered sound differs from the uninterrupted one");
        // Saved: nothing is left to recover, and the original stays as it was.
        QCOMPARE(Journals(state), QStringList());
        QCOMPARE(QDir(state + QStringLiteral("/brindle")).entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    }

    // Killed while a long edit runs: the recovered sound is the one with that edit whole or the one
    // without it, never anything between.
    void killDuringAnEditReplaysItWholeOrNotAtAll()
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
        qInfo("the edit in flight was %s", whole ? "replayed whole" : "not replayed");
    }

    // Each damaged or hostile journal is refused with its reason and deleted: nothing is asked (except
    // for ranges, which only the sound can refute), nothing opened, nothing blocks.
    void hostileJournalsAreRefusedAndDeleted_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("asked");
        const QString source = test::MakeTone(QStringLiteral("hostile.wav"), 1, 2);
        const QByteArray valid = Encoded(source, {{EditKind::FadeIn, 0, 1000}, {EditKind::ToMono}});
        QTest::newRow("truncated") << valid.left(valid.size() / 2) << "truncated" << false;
        QByteArray damaged = valid;
        damaged[damaged.indexOf("fade-in 0 1000") + 11] = '7';
        QTest::newRow("damaged") << damaged << "check does not match" << false;
        QTest::newRow("oversized") << valid + QByteArray(int(kMaxJournalBytes), '\n') << "too large" << false;
        QByteArray huge = valid;
        huge.replace("edits 2\n", "edits 4000000000\n");
        QTest::newRow("huge count") << huge << "edit count is impossible" << false;
        QTest::newRow("range past the end")
            << Encoded(source, {{EditKind::FadeIn, 0, 1000}, {EditKind::DeleteSelected, 100, 44000},
                                {EditKind::FadeOut, 0, 400}})
            << "edit 3: its range lies outside the sound" << true;
        QTest::newRow("cut to nothing") << Encoded(source, {{EditKind::DeleteSelected, 0, 44100}})
                                        << "edit 1: a cut must leave part of the sound" << true;
        const QString fifo = Scratch(QStringLiteral("hostile")) + QStringLiteral("/source.fifo");
        ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
        // Well formed, with a right check: only what it names is hostile.
        JournalRecord record;
        record.source = fifo.toStdString();
        record.edits = {{EditKind::FadeIn}};
        QTest::newRow("source is a FIFO") << QByteArray::fromStdString(EncodeJournal(record)) << "not a regular file"
                                          << false;
        record.source = "/dev/zero";
        QTest::newRow("source is a device") << QByteArray::fromStdString(EncodeJournal(record))
                                            << "not a regular file" << false;
        QTest::newRow("journal is a FIFO") << QByteArray() << "not a regular file" << false;
    }
    void hostileJournalsAreRefusedAndDeleted()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QFETCH(bool, asked);
        const Orphan orphan = PlaceJournal(QString::fromUtf8(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')), bytes);
        if (bytes.isNull())
            QCOMPARE(::mkfifo(QFile::encodeName(orphan.journal).constData(), 0600), 0);
        test::FakeDialogs dialogs;
        dialogs.recoverAnswer = true;
        MainFrame frame(dialogs.MakePrompts());
        QVERIFY(frame.UseJournal(orphan.folder.toStdString()));
        QCOMPARE(frame.OfferRecovery(), 0);
        QCOMPARE(dialogs.recoverQuestions.size(), asked ? 1 : 0);
        QCOMPARE(dialogs.errors.size(), 1);
        QVERIFY2(dialogs.errors[0].startsWith(Texts::JournalRefused() + QLatin1Char('\n')) &&
                     dialogs.errors[0].contains(reason),
                 qUtf8Printable(dialogs.errors[0]));
        QVERIFY(!QFileInfo::exists(orphan.journal) && !QFileInfo(orphan.journal).isSymLink());
        QVERIFY(frame.GetDocument().IsEmpty());
        QVERIFY(!frame.GetDocument().Modified());
        // Nothing of it is left for the next start either.
        QCOMPARE(QDir(orphan.folder).entryList({QStringLiteral("4242-*")}, QDir::AllEntries | QDir::System),
                 QStringList());
    }

    // A journal left by a window that is gone, over a source changed or removed since: the window says
    // so, offers only to discard it, and opens nothing. An unchanged one is asked about, and a live
    // window's journal is never touched.
    void changedSourceOffersOnlyDiscarding_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("reason");
        QTest::newRow("grown") << QStringLiteral("grow") << QStringLiteral("its size has changed");
        QTest::newRow("rewritten, same size and time") << QStringLiteral("rewrite")
                                                       << QStringLiteral("its contents have changed");
        QTest::newRow("removed") << QStringLiteral("remove") << QStringLiteral("No such file or directory");
        QTest::newRow("unchanged") << QString() << QString();
    }
    void changedSourceOffersOnlyDiscarding()
    {
        QFETCH(QString, change);
        QFETCH(QString, reason);
        const QString tag = QString::fromUtf8(QTest::currentDataTag()).section(QLatin1Char(','), 0, 0);
        const QString source = test::MakeTone(QStringLiteral("changed-%1.wav").arg(tag), 2, 2);
        const QString folder = Scratch(QStringLiteral("changed/") + tag + QStringLiteral("/brindle"));
        {
            test::FakeDialogs dialogs;
            MainFrame frame(dialogs.MakePrompts());
            QVERIFY(frame.UseJournal(folder.toStdString()));
            QVERIFY(frame.OpenFile(source));
            frame.Engine().SetSelectionStart(1000, 88200);
            frame.Engine().SetSelectionEnd(30000, 88200);
            frame.RunEditCommand(kCmdFadeOut);
            QVERIFY(frame.GetDocument().Modified());
            QCOMPARE(QDir(folder).entryList({QStringLiteral("*.journal")}).size(), 1);

            test::FakeDialogs besideDialogs;
            besideDialogs.recoverAnswer = true;
            MainFrame beside(besideDialogs.MakePrompts());
            QVERIFY(beside.UseJournal(folder.toStdString()));
            QCOMPARE(beside.OfferRecovery(), 0);
            QCOMPARE(besideDialogs.recoverQuestions.size() + besideDialogs.recoveryImpossible.size(), 0);
            // The window goes without a word, as a crash would take it: its journal stays.
        }
        QCOMPARE(QDir(folder).entryList({QStringLiteral("*.journal")}).size(), 1);
        if (change == QLatin1String("grow") || change == QLatin1String("rewrite")) {
            struct stat before {};
            QCOMPARE(::stat(QFile::encodeName(source).constData(), &before), 0);
            QFile file(source);
            QVERIFY(file.open(QIODevice::ReadWrite));
            if (change == QLatin1String("grow")) {
                QVERIFY(file.seek(file.size()));
                file.write("x", 1);
            } else {
                QVERIFY(file.seek(file.size() / 2));
                file.write("\x7f\x7f", 2);
            }
            file.close();
            // The old time back: only the contents (or the size) tell.
            const std::array<timespec, 2> times{before.st_atim, before.st_mtim};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(source).constData(), times.data(), 0), 0);
        } else if (change == QLatin1String("remove")) {
            QVERIFY(QFile::remove(source));
        }

        test::FakeDialogs dialogs;
        MainFrame frame(dialogs.MakePrompts());
        QVERIFY(frame.UseJournal(folder.toStdString()));
        QCOMPARE(frame.OfferRecovery(), 0);
        const QString name = QFileInfo(source).fileName();
        if (change.isEmpty()) {
            QCOMPARE(dialogs.recoverQuestions, QStringList{Texts::AskRecover(name)});
            QCOMPARE(dialogs.recoveryImpossible, QStringList());
        } else {
            QCOMPARE(dialogs.recoverQuestions, QStringList());
            QCOMPARE(dialogs.recoveryImpossible, QStringList{Texts::RecoveryImpossible(name) + QLatin1Char('\n') + reason});
        }
        QVERIFY(dialogs.errors.isEmpty());
        QVERIFY(frame.GetDocument().IsEmpty());
        // Нет, or the only button: either way the journal is gone.
        QCOMPARE(QDir(folder).entryList({QStringLiteral("*.journal")}), QStringList());
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::RecoveryTest)
#include "recovery_test.moc"
