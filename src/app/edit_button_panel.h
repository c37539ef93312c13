// The eight edit buttons under the waveform. Each sends its command id to the main window, which
// enables and disables the buttons directly (they are not toolbar actions).
#pragma once

#include <QWidget>

#include <map>

class QPushButton;

namespace brindle {

class EditButtonPanel : public QWidget {
    Q_OBJECT

public:
    explicit EditButtonPanel(QWidget* parent = nullptr);
    // The button of command id (1000 to 1007), or null.
    QPushButton* Button(int id) const;
    void SetButtonEnabled(int id, bool enabled);

signals:
    void commandRequested(int id);

private:
    std::map<int, QPushButton*> buttons_;
};

}  // namespace brindle
