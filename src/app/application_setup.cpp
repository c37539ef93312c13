#include "app/application_setup.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/main_frame.h"
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
    QApplication::setApplicationVersion(QString::fromUtf8(config::kVersion));
    QApplication::setDesktopFileName(QStringLiteral("brindle"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/brindle.png")));

    // With a core to spare the window keeps the processor because the scheduler prefers it to a
    // load's or save's threads, not because the work pauses: the pauses cost a save a third of its
    // time while the other core idled. On one core the work still pauses.
    if (UsableCores() > 1) {
        YieldPacer::SetPausing(false);
        WorkerThread::SetBackgroundNice(WorkerThread::kBackgroundNice);
    }

    InstallTranslations(application, QLocale::system());
}

void InstallTranslations(QCoreApplication& application, const QLocale& locale)
{
    const QString marker = QStringLiteral("brindleTranslator");
    for (QTranslator* old : application.findChildren<QTranslator*>(marker, Qt::FindDirectChildrenOnly)) {
        QCoreApplication::removeTranslator(old);
        delete old;
    }
    auto install = [&application, &marker](const QString& name, const QString& folder) {
        auto* translator = new QTranslator(&application);
        translator->setObjectName(marker);
        if (translator->load(name, folder))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    };
    // The texts are written in Russian; everyone else (German, C and POSIX included) reads English.
    const bool english = locale.language() != QLocale::Russian;
    if (english)
        install(QStringLiteral("brindle_en"), QStringLiteral(":/i18n"));
    // Qt's Да, Нет, Отмена beside Russian texts, its English ones (or qtbase_en's) beside English. A
    // missing file leaves Qt's English; nothing else changes.
    install(english ? QStringLiteral("qtbase_en") : QStringLiteral("qtbase_ru"),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

int RunEditor(MainFrame& frame, const std::filesystem::path& file)
{
    // A close is the ordinary end: every shell, launcher and session manager reads non-zero as failure.
    const QMetaObject::Connection ending =
        QObject::connect(&frame, &MainFrame::closed, &frame, [] { QApplication::exit(0); });
    frame.show();
    QMetaObject::invokeMethod(&frame, [&frame, file] { frame.Start(file); }, Qt::QueuedConnection);
    const int status = QApplication::exec();
    QObject::disconnect(ending);
    return status;
}

}  // namespace brindle
