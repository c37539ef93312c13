// The editor's fixed texts, in one place. They are the Russian texts the editor has always shown;
// the file-type filters and a few dialog texts stay English.
#pragma once

#include <QString>

namespace brindle::Texts {

inline QString Caption() { return QStringLiteral("Brindle"); }
inline QString Ready() { return QStringLiteral("Готов"); }
inline QString Loading() { return QStringLiteral("Загружаем"); }
inline QString Saving() { return QStringLiteral("Сохраняем"); }
// %.2f seconds.
inline QString LoadedIn(double seconds) { return QString::asprintf("Загружено за %.2f сек.", seconds); }
inline QString OpenFailed(const QString& path) { return QStringLiteral("Ошибка открытия:\n") + path; }
inline QString SaveFailed(const QString& path) { return QStringLiteral("Ошибка сохранения \"%1\"!").arg(path); }
inline QString AskSave() { return QStringLiteral("Хотите сохранить изменения?"); }
// An edit that failed; the reason follows on a line of its own, as in the open and save boxes.
inline QString EditFailed() { return QStringLiteral("Ошибка изменения звука"); }
// A link that could not be opened, with its address as LinkText shows it.
inline QString LinkFailed(const QString& address) { return QStringLiteral("Не удалось открыть адрес:\n") + address; }

}  // namespace brindle::Texts
