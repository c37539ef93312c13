#include "app/edit_button_panel.h"

#include <QGridLayout>
#include <QPushButton>

#include "app/command_ids.h"

namespace brindle {

EditButtonPanel::EditButtonPanel(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("editPanel"));
    setAccessibleName(QStringLiteral("Правка"));
    struct Entry {
        int id;
        const char* text;
        int row, column;
    };
    // The stereo button has never been on the visible panel; its command still works when sent.
    static constexpr Entry kEntries[] = {
        {kCmdDeleteSelected, "Удалить выбранное", 0, 0},    {kCmdDeleteUnselected, "Удалить НЕвыбранное", 0, 1},
        {kCmdChangeVolume, "Изменить громкость...", 0, 2},  {kCmdIncreaseVolume, "Увеличить громкость", 0, 3},
        {kCmdFadeIn, "Возрастание", 1, 0},                  {kCmdFadeOut, "Затухание", 1, 1},
        {kCmdToStereo, "Convert to Stereo", -1, -1},        {kCmdToMono, "Конвертировать в Моно", 1, 2},
    };
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setHorizontalSpacing(4);
    layout->setVerticalSpacing(4);
    for (const Entry& entry : kEntries) {
        auto* button = new QPushButton(QString::fromUtf8(entry.text), this);
        button->setAccessibleName(button->text());
        button->setObjectName(QStringLiteral("edit%1").arg(entry.id));
        button->setAutoDefault(false);
        const int id = entry.id;
        connect(button, &QPushButton::clicked, this, [this, id] { emit commandRequested(id); });
        if (entry.row < 0)
            button->hide();
        else
            layout->addWidget(button, entry.row, entry.column);
        buttons_[id] = button;
    }
    for (int column = 0; column < 4; ++column)
        layout->setColumnStretch(column, 1);
}

QPushButton* EditButtonPanel::Button(int id) const
{
    const auto found = buttons_.find(id);
    return found == buttons_.end() ? nullptr : found->second;
}

void EditButtonPanel::SetButtonEnabled(int id, bool enabled)
{
    if (QPushButton* button = Button(id); button && button->isEnabled() != enabled)
        button->setEnabled(enabled);
}

}  // namespace brindle
