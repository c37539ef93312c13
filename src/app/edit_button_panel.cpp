#include "app/edit_button_panel.h"

#include <QGridLayout>
#include <QPushButton>

#include "app/command_ids.h"

namespace brindle {

EditButtonPanel::EditButtonPanel(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("editPanel"));
    setAccessibleName(tr("Правка"));
    struct Entry {
        int id;
        const char* text;
        int column;  // -1: not on the panel
        int row;     // -1: both rows, centred between them
    };
    // Three columns of two (delete, volume, fade), and mono beside them; the order is also Tab's.
    // The stereo button has never been on the visible panel; its command still works when sent.
    static constexpr Entry kEntries[] = {
        {kCmdDeleteSelected, QT_TR_NOOP("Удалить выбранное"), 0, 0},
        {kCmdDeleteUnselected, QT_TR_NOOP("Удалить НЕвыбранное"), 0, 1},
        {kCmdChangeVolume, QT_TR_NOOP("Изменить громкость..."), 1, 0},
        {kCmdIncreaseVolume, QT_TR_NOOP("Увеличить громкость"), 1, 1},
        {kCmdFadeIn, QT_TR_NOOP("Возрастание"), 2, 0},
        {kCmdFadeOut, QT_TR_NOOP("Затухание"), 2, 1},
        {kCmdToStereo, QT_TR_NOOP("Convert to Stereo"), -1, 0},
        {kCmdToMono, QT_TR_NOOP("Конвертировать в Моно"), 3, -1},
    };
    // Each column as wide as its longer text, so no Russian label is cut at the first window size;
    // the wider gaps between the columns keep the pairs apart.
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setHorizontalSpacing(8);
    layout->setVerticalSpacing(4);
    for (const Entry& entry : kEntries) {
        auto* button = new QPushButton(tr(entry.text), this);
        button->setAccessibleName(button->text());
        button->setObjectName(QStringLiteral("edit%1").arg(entry.id));
        button->setAutoDefault(false);
        // Tab reaches the buttons, a click leaves the focus where it was: a button focused by its click
        // would take the next Space, the key players bind to playing, and repeat its edit.
        button->setFocusPolicy(Qt::TabFocus);
        const int id = entry.id;
        connect(button, &QPushButton::clicked, this, [this, id] { emit commandRequested(id); });
        if (entry.column < 0)
            button->hide();
        else if (entry.row < 0)
            layout->addWidget(button, 0, entry.column, 2, 1, Qt::AlignVCenter);
        else
            layout->addWidget(button, entry.row, entry.column);
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
