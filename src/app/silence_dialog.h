// "Вставить тишину": how long a silence to insert, typed in seconds (to the millisecond).
#pragma once

#include <QDialog>

class QDoubleSpinBox;
class QPushButton;

namespace brindle {

class SilenceDialog : public QDialog {
    Q_OBJECT
public:
    explicit SilenceDialog(QWidget* owner = nullptr);
    // The seconds the entry shows (0.001 to 36000).
    double Seconds() const;
    QDoubleSpinBox* Entry() const { return entry_; }
    QPushButton* OkButton() const { return ok_; }

private:
    QDoubleSpinBox* entry_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace brindle
