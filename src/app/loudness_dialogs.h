// "Нормализовать громкость": the target loudness and the ceiling for the one gain that brings the
// measured sound there; when that gain would push the true peak over the ceiling the dialog says so
// and offers the gain that stops at it. "Сведения о звуке": the sound's figures, each in a read-only
// field a screen reader reads with its name.
#pragma once

#include <QDialog>
#include <QString>
#include <utility>
#include <vector>

#include "edit/loudness.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;

namespace brindle {

class LoudnessDialog : public QDialog {
    Q_OBJECT
public:
    LoudnessDialog(const LoudnessFigures& measured, QWidget* owner = nullptr);
    // The gain in dB the dialog answers with: to the target, or to the ceiling when that is lower and
    // the user keeps to it.
    double GainDb() const;
    QComboBox* Target() const { return target_; }
    QDoubleSpinBox* Ceiling() const { return ceiling_; }
    QCheckBox* StopAtCeiling() const { return stop_; }
    QLabel* Verdict() const { return verdict_; }
    QPushButton* OkButton() const { return ok_; }

private:
    void Update();
    bool TargetValue(double& lufs) const;

    LoudnessFigures measured_;
    QComboBox* target_ = nullptr;
    QDoubleSpinBox* ceiling_ = nullptr;
    QCheckBox* stop_ = nullptr;
    QLabel* verdict_ = nullptr;
    QPushButton* ok_ = nullptr;
};

// Rows of a name and its value.
using PropertyRows = std::vector<std::pair<QString, QString>>;

class SoundPropertiesDialog : public QDialog {
    Q_OBJECT
public:
    SoundPropertiesDialog(const PropertyRows& rows, QWidget* owner = nullptr);
};

}  // namespace brindle
