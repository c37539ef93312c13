// The editor's fixed texts, in one place. They are the Russian texts the editor has always shown;
// the file-type filters and a few dialog texts stay English.
#pragma once

#include <QString>

#include "document/edit_history.h"

namespace brindle::Texts {

inline QString Caption() { return QStringLiteral("Brindle"); }
inline QString Ready() { return QStringLiteral("Готов"); }
inline QString Loading() { return QStringLiteral("Загружаем"); }
inline QString Saving() { return QStringLiteral("Сохраняем"); }
// The caption of an edit's progress window.
inline QString Processing() { return QStringLiteral("Обрабатываем"); }
// %.2f seconds.
inline QString LoadedIn(double seconds) { return QString::asprintf("Загружено за %.2f сек.", seconds); }
inline QString OpenFailed(const QString& path) { return QStringLiteral("Ошибка открытия:\n") + path; }
inline QString SaveFailed(const QString& path) { return QStringLiteral("Ошибка сохранения \"%1\"!").arg(path); }
inline QString AskSave() { return QStringLiteral("Хотите сохранить изменения?"); }
// An edit that failed; the reason follows on a line of its own, as in the open and save boxes.
inline QString EditFailed() { return QStringLiteral("Ошибка изменения звука"); }
// A link that could not be opened, with its address as LinkText shows it.
inline QString LinkFailed(const QString& address) { return QStringLiteral("Не удалось открыть адрес:\n") + address; }

// An edit as the undo and redo items name it: its button's text.
inline QString EditName(EditKind kind)
{
    switch (kind) {
    case EditKind::DeleteSelected: return QStringLiteral("Удалить выбранное");
    case EditKind::DeleteUnselected: return QStringLiteral("Удалить НЕвыбранное");
    case EditKind::ChangeVolume: return QStringLiteral("Изменить громкость");
    case EditKind::IncreaseVolume: return QStringLiteral("Увеличить громкость");
    case EditKind::FadeIn: return QStringLiteral("Возрастание");
    case EditKind::FadeOut: return QStringLiteral("Затухание");
    case EditKind::ToMono: return QStringLiteral("Конвертировать в Моно");
    case EditKind::ToStereo: return QStringLiteral("Convert to Stereo");
    }
    return {};
}
// The Правка items: with the edit they act on, or (greyed) without one. Never the bare "Отменить", which
// is the selection's.
inline QString UndoItem(const QString& edit)
{
    return edit.isEmpty() ? QStringLiteral("Отменить действие") : QStringLiteral("Отменить: ") + edit;
}
inline QString RedoItem(const QString& edit)
{
    return edit.isEmpty() ? QStringLiteral("Повторить действие") : QStringLiteral("Повторить: ") + edit;
}

}  // namespace brindle::Texts
