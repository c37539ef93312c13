#include "app/volume_dialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "controls/named_combo_box.h"
#include "controls/slider_control.h"

namespace brindle {

int PercentFromSlider(int s)
{
    if (s < -100)
        return 0;
    if (s <= 0)
        return 100 + s;
    if (s <= 100)
        return 100 + 4 * s;
    return 500;
}

int SliderFromPercent(int p)
{
    if (p < 0)
        return -100;
    p = std::min(p, 500);
    const int s = p <= 100 ? p - 100 : int(std::floor((p - 100) * 0.25 + 0.5));
    return std::clamp(s, -100, 100);
}

VolumeDialog::VolumeDialog(QWidget* owner) : QDialog(owner)
{
    setWindowTitle(tr("Изменить громкость"));
    setAccessibleName(windowTitle());

    auto* label = new QLabel(tr("Громкость (%):"), this);
    entry_ = new NamedComboBox(this);
    entry_->setEditable(true);
    entry_->setInsertPolicy(QComboBox::NoInsert);
    for (const char* item : {"10", "20", "30", "40", "50", "75", "85", "100", "125", "150", "200", "300", "500"})
        entry_->addItem(QString::fromLatin1(item));
    entry_->lineEdit()->setMaxLength(3);
    entry_->setValidator(new QIntValidator(0, 500, entry_));
    // The list's entries must not complete what is typed: "5" would read as "50" and apply 50 %.
    entry_->setCompleter(nullptr);
    // The box and the line edit inside it are read out separately; both say what the number is.
    entry_->setAccessibleName(tr("Громкость (%)"));
    entry_->lineEdit()->setAccessibleName(entry_->accessibleName());
    label->setBuddy(entry_);

    slider_ = new SliderControl(this);
    slider_->SetRange(-100, 100);
    slider_->SetTrackLength(200);
    slider_->SetFillStyle(SliderControl::FillStyle::Gradient);
    slider_->SetCentreMark(true);
    slider_->setFixedSize(206, 17);
    slider_->setAccessibleName(tr("Ползунок громкости"));

    ok_ = new QPushButton(tr("OK"), this);
    ok_->setDefault(true);
    ok_->setAccessibleName(ok_->text());
    auto* cancel = new QPushButton(tr("Отмена"), this);
    cancel->setAccessibleName(cancel->text());
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* entryRow = new QHBoxLayout;
    entryRow->addWidget(label);
    entryRow->addWidget(entry_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(entryRow);
    layout->addWidget(slider_, 0, Qt::AlignHCenter);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(slider_, &SliderControl::valueChanged, this, &VolumeDialog::OnSliderMoved);
    connect(entry_, &QComboBox::editTextChanged, this, &VolumeDialog::OnEntryChanged);
    entry_->setEditText(QStringLiteral("100"));
    OnEntryChanged(entry_->currentText());
    entry_->setFocus();
    entry_->lineEdit()->selectAll();
}

int VolumeDialog::Percent() const
{
    // What the entry shows is what applies; the slider only follows it (in 4 % steps above 100 %).
    bool number = false;
    const int typed = entry_->currentText().toInt(&number);
    return number ? std::clamp(typed, 0, 500) : PercentFromSlider(slider_->Value());
}

void VolumeDialog::OnSliderMoved(int position)
{
    // A slider set from the entry must not rewrite what the user is typing.
    if (updatingFromEntry_)
        return;
    const int percent = std::clamp(PercentFromSlider(position), 0, 500);
    entry_->setEditText(QString::number(percent));
    entry_->lineEdit()->selectAll();
}

void VolumeDialog::OnEntryChanged(const QString& text)
{
    // Only a whole percentage from 0 to 500 can be applied: anything else ("", "999") keeps OK grey
    // rather than applying some other number than the one shown.
    QString checked = text;
    int at = 0;
    ok_->setEnabled(entry_->validator()->validate(checked, at) == QValidator::Acceptable);
    updatingFromEntry_ = true;
    slider_->SetValue(SliderFromPercent(text.toInt()));
    updatingFromEntry_ = false;
}

}  // namespace brindle
