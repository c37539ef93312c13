// The window's language: the Russian source for a Russian locale, English for every other, with
// Qt's own buttons in the same language; and the program picking it from the environment.
#include <QAction>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>

#include "app/app_texts.h"
#include "app/application_setup.h"
#include "app/command_ids.h"
#include "app/main_frame.h"
#include "gui_test_support.h"

namespace brindle {

class TranslationsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { InstallTranslations(*QCoreApplication::instance(), QLocale(QLocale::Russian)); }

    // Each locale after one in the other language, so each must take the last one's texts back. Every
    // text a person or a screen reader meets in the window is gathered: captions, buttons, labels, menu
    // items, toolbar labels, tooltips and status tips.
    void everyLocaleButRussianShowsEveryTextInEnglish()
    {
        const QStringList english = {"&File", "&Edit", "&Play", "&Selection", "&View", "Effe&cts", "&Tools", "&Help"};
        const QStringList russian = {"&Файл", "&Правка", "&Воспроизвести", "В&ыбор", "Ви&д", "&Эффекты", "&Инструменты", "&Справка"};
        const QLocale locales[] = {QLocale(QLocale::English, QLocale::UnitedKingdom), QLocale(QLocale::Russian, QLocale::Russia),
                                   QLocale(QLocale::German, QLocale::Germany), QLocale::c()};
        const QRegularExpression cyrillic(QStringLiteral("[\\x{0400}-\\x{04ff}]"));
        for (const QLocale& locale : locales) {
            InstallTranslations(*QCoreApplication::instance(), locale);
            const bool ru = locale.language() == QLocale::Russian;
            test::FakeDialogs dialogs;
            MainFrame frame(dialogs.MakePrompts());
            frame.show();
            QStringList titles, texts{frame.windowTitle()};
            for (const QAction* action : frame.menuBar()->actions())
                titles << action->text();
            QCOMPARE(titles, ru ? russian : english);
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
            QDialogButtonBox box(QDialogButtonBox::Cancel);  // Qt's own, from its shipped translations
            QCOMPARE(box.button(QDialogButtonBox::Cancel)->text(), ru ? QStringLiteral("Отмена") : QStringLiteral("Cancel"));
            // The undo item names every edit in the window's language, the stereo conversion included.
            for (int kind = 0; kind <= int(EditKind::ToStereo); ++kind)
                QVERIFY2(Texts::EditName(EditKind(kind)).contains(cyrillic) == ru, qUtf8Printable(Texts::EditName(EditKind(kind))));
            if (ru) {
                QVERIFY(texts.contains(QStringLiteral("Удалить НЕвыбранное")) && texts.contains(QStringLiteral("Готов")));
                QVERIFY(!texts.contains(QStringLiteral("Ready")));
                // The toolbar's deselect button does not read like undo.
                QCOMPARE(frame.Commands().Find(kCmdDeselect)->toolAction->iconText(), QStringLiteral("Снять выделение"));
                continue;
            }
            QCOMPARE(frame.menuBar()->actions().constFirst()->menu()->actions().constFirst()->text(), QStringLiteral("Open..."));
            for (const char* text : {"Delete Unselected", "Whole Track", "Ready", "Deselect", "Message"})
                QVERIFY2(texts.contains(QLatin1String(text)), text);
            QCOMPARE(Texts::SavedReencoded(34), QStringLiteral("Saved; 34 % of the sound re-encoded"));
            for (const QString& text : texts)
                QVERIFY2(!text.contains(cyrillic), qUtf8Printable(text));
        }
    }

    // The program takes the language from the environment as a desktop session sets it; LC_ALL and
    // LC_MESSAGES come before LANG.
    void theProgramSpeaksTheLanguageOfItsEnvironment()
    {
        const std::pair<QStringList, bool> rows[] = {
            {{"LANG=en_US.UTF-8"}, false},  {{"LANG=en_GB.UTF-8", "LC_MESSAGES=ru_RU.UTF-8"}, true},
            {{"LANG=ru_RU.UTF-8", "LC_ALL=en_AU.UTF-8"}, false}, {{"LANG=ru_RU.UTF-8"}, true},
            {{"LANG=de_DE.UTF-8"}, false}, {{"LC_ALL=C.UTF-8"}, false}, {{}, false}};
        for (const auto& [environment, russian] : rows) {
            QProcess process;
            process.setEnvironment(environment + QStringList{QStringLiteral("PATH=") + qEnvironmentVariable("PATH"),
                                                             QStringLiteral("HOME=") + test::ScratchDir()});
            process.start(QStringLiteral(BRINDLE_EXECUTABLE), {QStringLiteral("--help")});
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.exitCode(), 0);
            const QString usage = russian ? QStringLiteral("Использование: brindle [--help] [--version] [ФАЙЛ]")
                                          : QStringLiteral("Usage: brindle [--help] [--version] [FILE]");
            QCOMPARE(environment.join(' ') + ": " + QString::fromUtf8(process.readAllStandardOutput()).section('\n', 0, 0),
                     environment.join(' ') + ": " + usage);
        }
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::TranslationsTest)
#include "translations_test.moc"
