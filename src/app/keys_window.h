// «Клавиши»: every key of the window in one list, read from the menu bar as it is (so a shortcut added
// to a menu shows here by itself) and from the window's own keys, which no menu item holds.
#pragma once

#include <QDialog>

class QMenuBar;
class QTreeWidget;

namespace brindle {

class KeysWindow : public QDialog {
    Q_OBJECT

public:
    KeysWindow(const QMenuBar& menus, QWidget* owner = nullptr);

    QTreeWidget* List() const { return list_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Fill();

    const QMenuBar& menus_;
    QTreeWidget* list_ = nullptr;
};

}  // namespace brindle
