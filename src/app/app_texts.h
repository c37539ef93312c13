// The editor's fixed texts, in one place. They are the Russian texts the editor has always shown, and
// the source of the translations (resources/translations); the file-type filters and a few dialog texts
// are English in both.
#pragma once

#include <QCoreApplication>
#include <QString>

namespace brindle::Texts {

inline QString Caption() { return QStringLiteral("Brindle"); }
inline QString Ready() { return QCoreApplication::translate("brindle::Texts", "Готов"); }
inline QString Loading() { return QCoreApplication::translate("brindle::Texts", "Загружаем"); }
inline QString Saving() { return QCoreApplication::translate("brindle::Texts", "Сохраняем"); }
// Two decimals, with a point whatever the language.
inline QString LoadedIn(double seconds)
{
    return QCoreApplication::translate("brindle::Texts", "Загружено за %1 сек.").arg(seconds, 0, 'f', 2);
}
inline QString OpenFailed(const QString& path)
{
    return QCoreApplication::translate("brindle::Texts", "Ошибка открытия:\n%1").arg(path);
}
inline QString SaveFailed(const QString& path)
{
    return QCoreApplication::translate("brindle::Texts", "Ошибка сохранения \"%1\"!").arg(path);
}
inline QString AskSave() { return QCoreApplication::translate("brindle::Texts", "Хотите сохранить изменения?"); }
// An edit that failed; the reason follows on a line of its own, as in the open and save boxes.
inline QString EditFailed() { return QCoreApplication::translate("brindle::Texts", "Ошибка изменения звука"); }
// A link that could not be opened, with its address as LinkText shows it.
inline QString LinkFailed(const QString& address)
{
    return QCoreApplication::translate("brindle::Texts", "Не удалось открыть адрес:\n%1").arg(address);
}

}  // namespace brindle::Texts
