#include "app/application_setup.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/version_text.h"
#include "build_config.h"
#include "tasks/worker_crew.h"
#include "tasks/worker_thread.h"
#include "tasks/yield_pacer.h"

namespace brindle {

void SetUpApplication(QApplication& application)
{
    // Together they name the settings file: Brindle/Brindle.conf in the user's configuration folder.
    QApplication::setOrganizationName(QStringLiteral("Brindle"));
    QApplication::setApplicationName(QStringLiteral("Brindle"));
    QApplication::setApplicationVersion(VersionLine(QString::fromUtf8(config::kProductVersion), true));
    QApplication::setDesktopFileName(QStringLiteral("brindle"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/brindle.png")));

    // With a core to spare the window keeps the processor because the scheduler prefers it to a
    // load's or save's threads, not because the work pauses: the pauses cost a save a third of its
    // time while the other core idled. On one core the work still pauses.
    if (UsableCores() > 1) {
        YieldPacer::SetPausing(false);
        WorkerThread::SetBackgroundNice(WorkerThread::kBackgroundNice);
    }

    // The editor's own texts are Russian whatever the locale, so Qt's buttons (Да, Нет, Отмена)
    // are too. A missing translation leaves Qt's English ones; nothing else changes.
    auto* translator = new QTranslator(&application);
    if (translator->load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
    else
        delete translator;
}

}  // namespace brindle
