#include "app/keys_window.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace brindle {
namespace {

QString Plain(QString text) { return text.remove(QLatin1Char('&')); }

// The keys the window handles itself (not menu shortcuts: those would take Space from a focused
// button, and the arrows from the waveform's own use).
struct OwnKey {
    const char* keys;
    const char* action;
};
constexpr OwnKey kOwnKeys[] = {
    {"Home, End", QT_TRANSLATE_NOOP("brindle::KeysWindow", "Позиция в начало, в конец")},
    {"Left, Right", QT_TRANSLATE_NOOP("brindle::KeysWindow", "Позиция на столбец волны влево, вправо")},
    {"Shift+Home, Shift+End", QT_TRANSLATE_NOOP("brindle::KeysWindow", "Выделить до начала, до конца")},
    {"Shift+Left, Shift+Right", QT_TRANSLATE_NOOP("brindle::KeysWindow", "Выделять по столбцу волны")},
    {"Esc", QT_TRANSLATE_NOOP("brindle::KeysWindow", "Остановить и снять выделение")},
    {"Ctrl+Wheel", QT_TRANSLATE_NOOP("brindle::KeysWindow", "Увеличить или уменьшить около указателя")},
    {"Ctrl+Shift+Wheel", QT_TRANSLATE_NOOP("brindle::KeysWindow", "Увеличить или уменьшить по вертикали")},
    {"Wheel, Shift+Wheel", QT_TRANSLATE_NOOP("brindle::KeysWindow", "Прокрутить увеличенную волну")},
};

}  // namespace

KeysWindow::KeysWindow(const QMenuBar& menus, QWidget* owner) : QDialog(owner), menus_(menus)
{
    setWindowTitle(tr("Клавиши"));
    setAccessibleName(windowTitle());
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("keys"));
    list_->setAccessibleName(windowTitle());
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({tr("Клавиши"), tr("Команда")});
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setAccessibleName(buttons->button(QDialogButtonBox::Close)->text());
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(buttons);
    resize(520, 480);
}

void KeysWindow::showEvent(QShowEvent* event)
{
    // The language or a menu may have changed since the last time.
    Fill();
    QDialog::showEvent(event);
    list_->setFocus();
}

void KeysWindow::Fill()
{
    list_->clear();
    auto add = [this](const QString& keys, const QString& action) {
        auto* item = new QTreeWidgetItem(list_, {keys, action});
        // One line for a screen reader: the keys, then what they do.
        item->setData(0, Qt::AccessibleTextRole, keys + QStringLiteral(": ") + action);
    };
    for (const QAction* top : menus_.actions()) {
        const QMenu* menu = top->menu();
        if (!menu)
            continue;
        for (const QAction* action : menu->actions()) {
            // A key the window handles itself is written after a tab in the item's text.
            const QStringList parts = action->text().split(QLatin1Char('\t'));
            QStringList keys;
            for (const QKeySequence& shortcut : action->shortcuts())
                keys << shortcut.toString(QKeySequence::NativeText);
            if (parts.size() > 1)
                keys << parts[1];
            if (!action->isSeparator() && !keys.isEmpty())
                add(keys.join(QStringLiteral(", ")), Plain(menu->title()) + QStringLiteral(" → ") + Plain(parts[0]));
        }
    }
    for (const OwnKey& key : kOwnKeys)
        add(QString::fromLatin1(key.keys), tr(key.action));
}

}  // namespace brindle
