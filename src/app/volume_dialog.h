// "Изменить громкость": a percentage from 0 to 500, typed or picked in an editable list and kept in
// step with a slider from -100 to 100. The slider carries the value: above 100 % it moves in steps
// of 4 %, so the result is the percentage mapped back from the slider (125 gives 124).
#pragma once

#include <QDialog>

class QComboBox;
class QPushButton;

namespace brindle {

class SliderControl;

// Slider position -100..100 to percentage 0..500, and back (nearest, halves up; clamped).
int PercentFromSlider(int position);
int SliderFromPercent(int percent);

class VolumeDialog : public QDialog {
    Q_OBJECT

public:
    explicit VolumeDialog(QWidget* owner = nullptr);

    // The percentage the dialog answers with: exactly the number the entry shows (OK is enabled only
    // for 0 to 500).
    int Percent() const;

    SliderControl* Slider() const { return slider_; }
    QComboBox* Entry() const { return entry_; }
    QPushButton* OkButton() const { return ok_; }

private:
    void OnSliderMoved(int position);
    void OnEntryChanged(const QString& text);

    SliderControl* slider_ = nullptr;
    QComboBox* entry_ = nullptr;
    QPushButton* ok_ = nullptr;
    bool updatingFromEntry_ = false;
};

}  // namespace brindle
