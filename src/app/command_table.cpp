#include "app/command_table.h"

#include <QAction>
#include <QCoreApplication>

#include "app/command_ids.h"

namespace brindle {
namespace {

struct CommandString {
    int id;
    const char* text;  // "status prompt\ntooltip"
};

constexpr CommandString kStrings[] = {
    {kCmdOpen, QT_TRANSLATE_NOOP("brindle::Commands", "Открыть существующий файл\nОткрыть")},
    {kCmdSave, QT_TRANSLATE_NOOP("brindle::Commands", "Сохранить активный файл с текущим именем\nСохранить")},
    {kCmdClose, QT_TRANSLATE_NOOP("brindle::Commands", "Закрыть звук, сохранив изменения по желанию\nЗакрыть")},
    {kCmdSaveAs, QT_TRANSLATE_NOOP("brindle::Commands", "Сохранить активный файл с новым именем\nСохранить как")},
    {kCmdExit, QT_TRANSLATE_NOOP("brindle::Commands", "Выход из приложения\nВыход")},
    {kCmdPlay, QT_TRANSLATE_NOOP("brindle::Commands", "Воспроизведение\nВоспроизведение")},
    {kCmdPause, QT_TRANSLATE_NOOP("brindle::Commands", "Пауза\nПауза")},
    {kCmdStop, QT_TRANSLATE_NOOP("brindle::Commands", "Остановить\nСтоп")},
    {kCmdSetStart, QT_TRANSLATE_NOOP("brindle::Commands", "Выбрать начало\nВыбрать начало")},
    {kCmdSetEnd, QT_TRANSLATE_NOOP("brindle::Commands", "Выбрать окончание\nВыбрать окончание")},
    {kCmdSelectAll, QT_TRANSLATE_NOOP("brindle::Commands", "Выбрать всё\nВыбрать всё")},
    {kCmdDeselect, QT_TRANSLATE_NOOP("brindle::Commands", "Отменить\nОтменить любой текущий выбор")},
    {kCmdZoomIn, QT_TRANSLATE_NOOP("brindle::Commands", "Увеличить масштаб около позиции воспроизведения\nУвеличить")},
    {kCmdZoomOut, QT_TRANSLATE_NOOP("brindle::Commands", "Уменьшить масштаб около позиции воспроизведения\nУменьшить")},
    {kCmdZoomWhole, QT_TRANSLATE_NOOP("brindle::Commands", "Показать весь файл\nВесь файл")},
    {kCmdSnapToFrames,
     QT_TRANSLATE_NOOP("brindle::Commands",
                       "Ставить края выделения туда, где MP3 сохраняется без перекодирования\nПривязать к кадрам MP3")},
    {kCmdCut, QT_TRANSLATE_NOOP("brindle::Commands", "Вырезать выделение в буфер обмена\nВырезать")},
    {kCmdCopy, QT_TRANSLATE_NOOP("brindle::Commands", "Копировать выделение в буфер обмена\nКопировать")},
    {kCmdPaste,
     QT_TRANSLATE_NOOP("brindle::Commands",
                       "Вставить буфер обмена вместо выделения или в позицию воспроизведения\nВставить")},
    {kCmdInsertSilence,
     QT_TRANSLATE_NOOP("brindle::Commands",
                       "Вставить тишину вместо выделения или в позицию воспроизведения\nВставить тишину")},
    {kCmdNormalizeLoudness,
     QT_TRANSLATE_NOOP("brindle::Commands",
                       "Привести громкость выделения или всего звука к целевой (EBU R128)\nНормализовать громкость")},
    {kCmdSoundProperties,
     QT_TRANSLATE_NOOP("brindle::Commands", "Формат, длительность, пики и громкость звука\nСведения о звуке")},
    {kCmdSetSelection,
     QT_TRANSLATE_NOOP("brindle::Commands", "Ввести начало, конец или длительность выделения\nЗадать выделение")},
    {kCmdGoTo, QT_TRANSLATE_NOOP("brindle::Commands", "Ввести позицию воспроизведения\nПерейти к")},
    {kCmdLoopSelection,
     QT_TRANSLATE_NOOP("brindle::Commands", "Воспроизводить выделение снова и снова\nПовторять выделение")},
    {kCmdZoomInVertical, QT_TRANSLATE_NOOP("brindle::Commands", "Растянуть картину по высоте\nУвеличить по вертикали")},
    {kCmdZoomOutVertical, QT_TRANSLATE_NOOP("brindle::Commands", "Сжать картину по высоте\nУменьшить по вертикали")},
    {kCmdKeys, QT_TRANSLATE_NOOP("brindle::Commands", "Показать все клавиши редактора\nКлавиши")},
    {kCmdSite, QT_TRANSLATE_NOOP("brindle::Commands", "Посетите сайт приложения\nПосетить официальный сайт")},
    {kCmdAbout,
     QT_TRANSLATE_NOOP("brindle::Commands",
                       "Отобразить информацию о программе, номер версии и авторское право\nОбзор")},
};

QString CommandString(int id, bool tooltip)
{
    for (const auto& entry : kStrings) {
        if (entry.id != id)
            continue;
        const QString text = QCoreApplication::translate("brindle::Commands", entry.text);
        const qsizetype newline = text.indexOf(QLatin1Char('\n'));
        if (newline < 0)
            return tooltip ? QString() : text;
        // Tooltips are cut to what the toolbar could ever hold.
        return tooltip ? text.mid(newline + 1).left(79) : text.left(newline);
    }
    return {};
}

}  // namespace

QString CommandPrompt(int id) { return CommandString(id, false); }
QString CommandTooltip(int id) { return CommandString(id, true); }

Command& CommandTable::Add(int id, std::function<void()> handler)
{
    Command command;
    command.id = id;
    command.handler = std::move(handler);
    commands_.push_back(std::move(command));
    return commands_.back();
}

Command* CommandTable::Find(int id)
{
    for (auto& command : commands_) {
        if (command.id == id)
            return &command;
    }
    return nullptr;
}

bool CommandTable::Run(int id)
{
    Command* command = Find(id);
    if (!command)
        return false;
    if (command->handler && (!command->canRun || command->canRun()))
        command->handler();
    return true;
}

bool CommandTable::CanRun(int id)
{
    const Command* command = Find(id);
    return command && (!command->canRun || command->canRun());
}

void CommandTable::Refresh()
{
    for (auto& command : commands_) {
        const bool enabled = !command.canRun || command.canRun();
        // A menu item is greyed by the same rule as its button; its shortcut then does nothing, as
        // running it would do nothing.
        if (command.menuAction)
            command.menuAction->setEnabled(enabled);
        if (!command.toolAction)
            continue;
        command.toolAction->setEnabled(enabled);
        command.toolAction->setVisible(!command.isVisible || command.isVisible());
    }
}

}  // namespace brindle
