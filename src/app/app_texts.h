// The editor's fixed texts, in one place. They are the Russian texts the editor has always shown, and
// the source of the translations (resources/translations); the file-type filters and a few dialog texts
// are English in both.
#pragma once

#include <cstdint>

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include "document/edit_history.h"

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
// How an MP3 was saved: nothing but the seams of its copied frames encoded anew, or that share of the
// sound in whole percent rounded up (100 when it was encoded whole; Document::ReencodedPercent).
inline QString SavedLossless() { return QCoreApplication::translate("brindle::Texts", "Сохранено без перекодирования"); }
inline QString SavedReencoded(uint32_t percent)
{
    return QCoreApplication::translate("brindle::Texts", "Сохранено, перекодировано %1 % звука").arg(percent);
}
inline QString OpenFailed(const QString& path)
{
    return QCoreApplication::translate("brindle::Texts", "Ошибка открытия:\n%1").arg(path);
}
inline QString SaveFailed(const QString& path)
{
    return QCoreApplication::translate("brindle::Texts", "Ошибка сохранения \"%1\"!").arg(path);
}
// The caption of an edit's progress window.
inline QString Processing() { return QCoreApplication::translate("brindle::Texts", "Обрабатываем"); }
// The save question names the sound's file; a sound without one gets the plain question.
inline QString AskSave(const QString& name)
{
    return name.isEmpty() ? QCoreApplication::translate("brindle::Texts", "Хотите сохранить изменения?")
                          : QCoreApplication::translate("brindle::Texts", "Сохранить изменения в %1?").arg(name);
}
// How far the snapping rule moved the edges just set (or the play position), as a signed whole number
// of milliseconds each ("−39", "+12"). Both fit the message pane at the window's first size.
inline QString SnappedEdges(const QStringList& shifts)
{
    return shifts.size() == 1
               ? QCoreApplication::translate("brindle::Texts", "Граница привязана к кадру MP3: %1 мс").arg(shifts[0])
               : QCoreApplication::translate("brindle::Texts", "Границы привязаны к MP3: %1 и %2 мс")
                     .arg(shifts.value(0), shifts.value(1));
}
// Play found no sound device it could open; the reason is the device's own words.
inline QString DeviceFailed(const QString& reason)
{
    return QCoreApplication::translate("brindle::Texts", "Не удалось открыть звуковое устройство: %1").arg(reason);
}
// An edit that failed; the reason follows on a line of its own, as in the open and save boxes.
inline QString EditFailed() { return QCoreApplication::translate("brindle::Texts", "Ошибка изменения звука"); }
// A link that could not be opened, with its address as LinkText shows it.
inline QString LinkFailed(const QString& address)
{
    return QCoreApplication::translate("brindle::Texts", "Не удалось открыть адрес:\n%1").arg(address);
}

// The question at start-up when an editor that is gone left unsaved changes to the file name.
inline QString AskRecover(const QString& name)
{
    return QCoreApplication::translate("brindle::Texts", "Восстановить несохранённые изменения в %1?").arg(name);
}
// A journal of unsaved changes that could not be used; the reason follows on a line of its own.
inline QString JournalRefused()
{
    return QCoreApplication::translate("brindle::Texts", "Журнал несохранённых изменений испорчен и удалён.");
}
// The session of the open sound could not be written: a crash now would cost the unsaved changes.
inline QString SessionFailed(const QString& reason)
{
    return QCoreApplication::translate("brindle::Texts",
                                       "Не удаётся сохранять несохранённые изменения на случай сбоя: %1")
        .arg(reason);
}

// A paste of a clip of another rate: the status says it was resampled.
inline QString PasteResampled(uint32_t from, uint32_t to)
{
    return QCoreApplication::translate("brindle::Texts", "Вставка пересчитана из %1 Гц в %2 Гц").arg(from).arg(to);
}

// The loudness of a sound too quiet or too short (under 400 ms) to gate.
inline QString TooQuietToMeasure()
{
    return QCoreApplication::translate("brindle::Texts",
                                       "Громкость не измерить: звук слишком тихий или короче 400 мс");
}
inline QString MeasureFailed() { return QCoreApplication::translate("brindle::Texts", "Ошибка измерения громкости"); }

// The rows of «Сведения о звуке»: names, and the units after the figures.
inline QString PropertyFormat() { return QCoreApplication::translate("brindle::Texts", "Формат"); }
inline QString PropertyLength() { return QCoreApplication::translate("brindle::Texts", "Длительность"); }
inline QString PropertyPeak() { return QCoreApplication::translate("brindle::Texts", "Пик"); }
inline QString PropertyLoudness() { return QCoreApplication::translate("brindle::Texts", "Интегральная громкость"); }
inline QString PropertyRange() { return QCoreApplication::translate("brindle::Texts", "Диапазон громкости"); }
inline QString PropertyTruePeak() { return QCoreApplication::translate("brindle::Texts", "Истинный пик"); }
inline QString FormatText(const QString& kind, uint32_t bits, uint32_t rate, uint32_t channels)
{
    return QCoreApplication::translate("brindle::Texts", "%1, %2 бит, %3 Гц, %4")
        .arg(kind)
        .arg(bits)
        .arg(rate)
        .arg(channels == 1 ? QCoreApplication::translate("brindle::Texts", "моно")
                           : QCoreApplication::translate("brindle::Texts", "стерео"));
}

// An edit as the undo and redo items name it: its button's text, in the window's language (the stereo
// button alone keeps its English label in the Russian window).
inline QString EditName(EditKind kind)
{
    switch (kind) {
    case EditKind::DeleteSelected: return QCoreApplication::translate("brindle::Texts", "Удалить выбранное");
    case EditKind::DeleteUnselected: return QCoreApplication::translate("brindle::Texts", "Удалить НЕвыбранное");
    case EditKind::ChangeVolume: return QCoreApplication::translate("brindle::Texts", "Изменить громкость");
    case EditKind::IncreaseVolume: return QCoreApplication::translate("brindle::Texts", "Увеличить громкость");
    case EditKind::FadeIn: return QCoreApplication::translate("brindle::Texts", "Возрастание");
    case EditKind::FadeOut: return QCoreApplication::translate("brindle::Texts", "Затухание");
    case EditKind::ToMono: return QCoreApplication::translate("brindle::Texts", "Конвертировать в Моно");
    case EditKind::ToStereo: return QCoreApplication::translate("brindle::Texts", "Конвертировать в Стерео");
    case EditKind::Paste: return QCoreApplication::translate("brindle::Texts", "Вставить");
    case EditKind::InsertSilence: return QCoreApplication::translate("brindle::Texts", "Вставить тишину");
    case EditKind::Cut: return QCoreApplication::translate("brindle::Texts", "Вырезать");
    }
    return {};
}
// The Правка items: with the edit they act on, or (greyed) without one. Never the bare "Отменить", which
// is the selection's.
inline QString UndoItem(const QString& edit)
{
    return edit.isEmpty() ? QCoreApplication::translate("brindle::Texts", "Отменить действие") : QCoreApplication::translate("brindle::Texts", "Отменить: %1").arg(edit);
}
inline QString RedoItem(const QString& edit)
{
    return edit.isEmpty() ? QCoreApplication::translate("brindle::Texts", "Повторить действие") : QCoreApplication::translate("brindle::Texts", "Повторить: %1").arg(edit);
}

}  // namespace brindle::Texts
