// The pane shown while no sound is open: one large button that opens a file.
#pragma once

#include <QWidget>

class QPushButton;

namespace brindle {

class StartPanel : public QWidget {
    Q_OBJECT

public:
    explicit StartPanel(QWidget* parent = nullptr);
    QPushButton* OpenButton() const { return openButton_; }

signals:
    // The user asked to open a file (the Open command).
    void openRequested();

private:
    QPushButton* openButton_ = nullptr;
};

}  // namespace brindle
