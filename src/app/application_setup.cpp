#include "app/application_setup.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/version_text.h"
#include "build_config.h"

namespace brindle {

void SetUpApplication(QApplication& application)
{
    // Together they name the settings file: Brindle/Brindle.conf in the user's configuration folder.
    QApplication::setOrganizationName(QStringLiteral("Brindle"));
    QApplication::setApplicationName(QStringLiteral("Brindle"));
    QApplication::setApplicationVersion(VersionLine(QString::fromUtf8(config::kProductVersion), true));
    QApplication::setDesktopFileName(QStringLiteral("brindle"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/brindle.png")));

    // The editor's own texts are Russian whatever the locale, so Qt's buttons (Да, Нет, Отмена)
    // are too. A missing translation leaves Qt's English ones; nothing else changes.
    auto* translator = new QTranslator(&application);
    if (translator->load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
    else
        delete translator;
}

}  // namespace brindle
