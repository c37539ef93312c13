#include "app/edit_button_panel.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
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
        int row;  // -1: not on the panel
    };
    // The stereo button has never been on the visible panel; its command still works when sent.
    static constexpr Entry kEntries[] = {
        {kCmdDeleteSelected, "Удалить выбранное", 0},    {kCmdDeleteUnselected, "Удалить НЕвыбранное", 0},
        {kCmdChangeVolume, "Изменить громкость...", 1},  {kCmdIncreaseVolume, "Увеличить громкость", 1},
        {kCmdFadeIn, "Возрастание", 1},                  {kCmdFadeOut, "Затухание", 1},
        {kCmdToStereo, "Convert to Stereo", -1},         {kCmdToMono, "Конвертировать в Моно", 0},
    };
    // Two rows, each as wide as its texts need, so no Russian label is cut at the first window size.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);
    QHBoxLayout* rows[2] = {new QHBoxLayout, new QHBoxLayout};
    for (QHBoxLayout* row : rows) {
        row->setSpacing(4);
        layout->addLayout(row);
    }
    for (const Entry& entry : kEntries) {
        auto* button = new QPushButton(QString::fromUtf8(entry.text), this);
        button->setAccessibleName(button->text());
        button->setObjectName(QStringLiteral("edit%1").arg(entry.id));
        button->setAutoDefault(false);
        // Tab reaches the buttons, a click leaves the focus where it was: a button focused by its click
        // would take the next Space, the key players bind to playing, and repeat its edit.
        button->setFocusPolicy(Qt::TabFocus);
        const int id = entry.id;
        connect(button, &QPushButton::clicked, this, [this, id] { emit commandRequested(id); });
        if (entry.row < 0)
            button->hide();
        else
            rows[entry.row]->addWidget(button, 1);
        buttons_[id] = button;
    }
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
