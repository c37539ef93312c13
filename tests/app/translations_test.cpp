// The window's language: the Russian source for a Russian locale, English for every other, with
// Qt's own buttons in the same language; and the program picking it from the environment.
#include <QAction>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>

#include "app/app_texts.h"
#include "app/command_ids.h"
#include "app/application_setup.h"
#include "app/main_frame.h"
#include "gui_test_support.h"

namespace brindle {
namespace {

bool HasCyrillic(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x0400 && c.unicode() <= 0x04ff)
            return true;
    }
    return false;
}

QStringList MenuTitles(MainFrame& frame)
{
    QStringList titles;
    for (const QAction* action : frame.menuBar()->actions())
        titles << action->text();
    return titles;
}

// Every text a person or a screen reader meets in the window: captions, buttons, labels, menu items,
// toolbar labels, tooltips and status tips.
QStringList WindowTexts(MainFrame& frame)
{
    QStringList texts{frame.windowTitle()};
    for (const QWidget* widget : frame.findChildren<QWidget*>()) {
        texts << widget->accessibleName() << widget->accessibleDescription() << widget->toolTip() << widget->windowTitle();
        if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
            texts << button->text();
        if (const auto* label = qobject_cast<const QLabel*>(widget))
            texts << label->text();
    }
    for (const QAction* action : frame.findChildren<QAction*>()) {
        texts << action->text() << action->iconText() << action->toolTip() << action->statusTip();
        if (action->menu())
            texts << action->menu()->title() << action->menu()->accessibleName();
    }
    texts.removeAll(QString());
    return texts;
}

QString QtCancelText()
{
    QDialogButtonBox box(QDialogButtonBox::Cancel);
    return box.button(QDialogButtonBox::Cancel)->text();
}

}  // namespace

class TranslationsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { InstallTranslations(*QCoreApplication::instance(), QLocale(QLocale::Russian)); }

    void everyLocaleButRussianShowsEveryTextInEnglish_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::newRow("en_GB") << QLocale(QLocale::English, QLocale::UnitedKingdom);
        QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany);
        QTest::newRow("C") << QLocale::c();
    }

    void everyLocaleButRussianShowsEveryTextInEnglish()
    {
        QFETCH(QLocale, locale);
        InstallTranslations(*QCoreApplication::instance(), locale);
        test::FakeDialogs dialogs;
        MainFrame frame(dialogs.MakePrompts());
        frame.show();
        QCOMPARE(MenuTitles(frame), (QStringList{QStringLiteral("&File"), QStringLiteral("&Edit"), QStringLiteral("&Play"),
                                                 QStringLiteral("&Selection"), QStringLiteral("&View"),
                                                 QStringLiteral("Effe&cts"), QStringLiteral("&Tools"), QStringLiteral("&Help")}));
        QCOMPARE(frame.menuBar()->actions().constFirst()->menu()->actions().constFirst()->text(),
                 QStringLiteral("Open..."));
        const QStringList texts = WindowTexts(frame);
        QVERIFY(texts.contains(QStringLiteral("Delete Unselected")));
        QVERIFY(texts.contains(QStringLiteral("Whole Track")));
        QVERIFY(texts.contains(QStringLiteral("Ready")));
        QVERIFY(texts.contains(QStringLiteral("Deselect")));
        QVERIFY(texts.contains(QStringLiteral("Message")));
        QCOMPARE(Texts::SavedReencoded(34), QStringLiteral("Saved; 34 % of the sound re-encoded"));
        for (const QString& text : texts)
            QVERIFY2(!HasCyrillic(text), qUtf8Printable(text));
        for (int kind = 0; kind <= int(EditKind::ToStereo); ++kind)
            QVERIFY2(!HasCyrillic(Texts::EditName(EditKind(kind))), qUtf8Printable(Texts::EditName(EditKind(kind))));
        QCOMPARE(QtCancelText(), QStringLiteral("Cancel"));
    }

    void aRussianLocaleShowsTheRussianTexts()
    {
        // English first, so what follows must take it back.
        InstallTranslations(*QCoreApplication::instance(), QLocale(QLocale::English, QLocale::UnitedStates));
        InstallTranslations(*QCoreApplication::instance(), QLocale(QLocale::Russian, QLocale::Russia));
        test::FakeDialogs dialogs;
        MainFrame frame(dialogs.MakePrompts());
        frame.show();
        QCOMPARE(MenuTitles(frame), (QStringList{QStringLiteral("&Файл"), QStringLiteral("&Правка"),
                                                 QStringLiteral("&Воспроизвести"), QStringLiteral("В&ыбор"),
                                                 QStringLiteral("Ви&д"), QStringLiteral("&Эффекты"),
                                                 QStringLiteral("&Инструменты"),
                                                 QStringLiteral("&Справка")}));
        const QStringList texts = WindowTexts(frame);
        QVERIFY(texts.contains(QStringLiteral("Удалить НЕвыбранное")));
        QVERIFY(texts.contains(QStringLiteral("Готов")));
        QVERIFY(!texts.contains(QStringLiteral("Ready")));
        // The undo item names every edit in the window's language, the stereo conversion included;
        // the toolbar's deselect button does not read like undo.
        for (int kind = 0; kind <= int(EditKind::ToStereo); ++kind)
            QVERIFY2(HasCyrillic(Texts::EditName(EditKind(kind))), qUtf8Printable(Texts::EditName(EditKind(kind))));
        QCOMPARE(frame.Commands().Find(kCmdDeselect)->toolAction->iconText(), QStringLiteral("Снять выделение"));
        // Qt's own buttons from its shipped translations (scripts/install-deps installs them).
        QCOMPARE(QtCancelText(), QStringLiteral("Отмена"));
    }

    // The program takes the language from the environment as a desktop session sets it; LC_ALL and
    // LC_MESSAGES come before LANG.
    void theProgramSpeaksTheLanguageOfItsEnvironment_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QByteArray>("usage");
        const QByteArray english = "Usage: brindle [--help] [--version] [FILE]\n";
        const QByteArray russian = "Использование: brindle [--help] [--version] [ФАЙЛ]\n";
        QTest::newRow("LANG=en_US") << QStringList{QStringLiteral("LANG=en_US.UTF-8")} << english;
        QTest::newRow("LANG=en_GB, LC_MESSAGES=ru_RU")
            << QStringList{QStringLiteral("LANG=en_GB.UTF-8"), QStringLiteral("LC_MESSAGES=ru_RU.UTF-8")} << russian;
        QTest::newRow("LANG=ru_RU, LC_ALL=en_AU")
            << QStringList{QStringLiteral("LANG=ru_RU.UTF-8"), QStringLiteral("LC_ALL=en_AU.UTF-8")} << english;
        QTest::newRow("LANG=ru_RU") << QStringList{QStringLiteral("LANG=ru_RU.UTF-8")} << russian;
        QTest::newRow("LANG=de_DE") << QStringList{QStringLiteral("LANG=de_DE.UTF-8")} << english;
        QTest::newRow("LC_ALL=C.UTF-8") << QStringList{QStringLiteral("LC_ALL=C.UTF-8")} << english;
        QTest::newRow("nothing set") << QStringList{} << english;
    }

    void theProgramSpeaksTheLanguageOfItsEnvironment()
    {
        QFETCH(QStringList, environment);
        QFETCH(QByteArray, usage);
        QProcess process;
        environment << QStringLiteral("PATH=") + qEnvironmentVariable("PATH")
                    << QStringLiteral("HOME=") + test::ScratchDir();
        process.setEnvironment(environment);
        process.start(QStringLiteral(BRINDLE_EXECUTABLE), {QStringLiteral("--help")});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY2(out.startsWith(usage), out.constData());
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::TranslationsTest)
#include "translations_test.moc"
