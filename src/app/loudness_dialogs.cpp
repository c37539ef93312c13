#include "app/loudness_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDoubleValidator>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace brindle {

namespace {

QString Db(double value) { return QString::number(value, 'f', 1); }

QPushButton* Button(const QString& text, QWidget* owner)
{
    auto* button = new QPushButton(text, owner);
    button->setAccessibleName(text);
    return button;
}

}  // namespace

LoudnessDialog::LoudnessDialog(const LoudnessFigures& measured, QWidget* owner) : QDialog(owner), measured_(measured)
{
    setWindowTitle(tr("Нормализовать громкость"));
    setAccessibleName(windowTitle());

    auto* now = new QLabel(tr("Сейчас: %1 LUFS, истинный пик %2 dBFS")
                               .arg(Db(measured.integratedLufs), Db(measured.truePeakDbfs)),
                           this);
    now->setAccessibleName(now->text());

    target_ = new QComboBox(this);
    target_->setEditable(true);
    target_->setInsertPolicy(QComboBox::NoInsert);
    // -16 for spoken word, -23 for broadcast, -14 for the streaming services.
    for (const char* item : {"-16", "-23", "-14"})
        target_->addItem(QString::fromLatin1(item));
    auto* validator = new QDoubleValidator(-70.0, 0.0, 1, target_);
    validator->setLocale(QLocale::c());
    target_->setValidator(validator);
    target_->setCompleter(nullptr);
    target_->setAccessibleName(tr("Целевая громкость (LUFS)"));
    target_->lineEdit()->setAccessibleName(target_->accessibleName());

    ceiling_ = new QDoubleSpinBox(this);
    ceiling_->setRange(-20.0, 0.0);
    ceiling_->setDecimals(1);
    ceiling_->setSingleStep(0.5);
    ceiling_->setValue(-1.0);
    ceiling_->setAccessibleName(tr("Потолок истинного пика (dBFS)"));

    verdict_ = new QLabel(this);
    verdict_->setWordWrap(true);
    stop_ = new QCheckBox(this);
    stop_->setChecked(true);

    auto* form = new QFormLayout;
    form->addRow(tr("Целевая громкость (LUFS):"), target_);
    form->addRow(tr("Потолок истинного пика (dBFS):"), ceiling_);

    ok_ = Button(tr("OK"), this);
    ok_->setDefault(true);
    auto* cancel = Button(tr("Отмена"), this);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(now);
    layout->addLayout(form);
    layout->addWidget(verdict_);
    layout->addWidget(stop_);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    setMinimumWidth(420);

    connect(target_, &QComboBox::editTextChanged, this, &LoudnessDialog::Update);
    connect(ceiling_, &QDoubleSpinBox::valueChanged, this, &LoudnessDialog::Update);
    connect(stop_, &QCheckBox::toggled, this, &LoudnessDialog::Update);
    target_->setEditText(QStringLiteral("-16"));
    Update();
    target_->setFocus();
}

bool LoudnessDialog::TargetValue(double& lufs) const
{
    QString text = target_->currentText();
    int at = 0;
    if (target_->validator()->validate(text, at) != QValidator::Acceptable)
        return false;
    bool number = false;
    lufs = QLocale::c().toDouble(text, &number);
    return number;
}

double LoudnessDialog::GainDb() const
{
    double lufs = 0;
    if (!TargetValue(lufs))
        return 0;
    const double gain = GainToTarget(measured_, lufs);
    const double limit = GainToCeiling(measured_, ceiling_->value());
    return gain > limit && stop_->isChecked() ? limit : gain;
}

void LoudnessDialog::Update()
{
    double lufs = 0;
    const bool valid = TargetValue(lufs);
    ok_->setEnabled(valid);
    if (!valid) {
        verdict_->setText(tr("Введите целевую громкость от -70 до 0 LUFS."));
        stop_->hide();
    } else {
        const double gain = GainToTarget(measured_, lufs);
        const double limit = GainToCeiling(measured_, ceiling_->value());
        if (gain > limit) {
            verdict_->setText(tr("Усиление %1 дБ подняло бы истинный пик выше потолка %2 dBFS.")
                                  .arg(Db(gain), Db(ceiling_->value())));
            stop_->setText(tr("Остановиться на потолке: усиление %1 дБ").arg(Db(limit)));
            stop_->setAccessibleName(stop_->text());
            stop_->show();
        } else {
            verdict_->setText(tr("Усиление %1 дБ.").arg(Db(gain)));
            stop_->hide();
        }
    }
    verdict_->setAccessibleName(verdict_->text());
}

SoundPropertiesDialog::SoundPropertiesDialog(const PropertyRows& rows, QWidget* owner) : QDialog(owner)
{
    setWindowTitle(tr("Сведения о звуке"));
    setAccessibleName(windowTitle());
    auto* form = new QFormLayout;
    for (const auto& [name, value] : rows) {
        // A read-only field rather than a label: the keyboard reaches it and a screen reader reads it.
        auto* field = new QLineEdit(value, this);
        field->setReadOnly(true);
        field->setAccessibleName(name);
        field->setMinimumWidth(field->fontMetrics().horizontalAdvance(value) + 24);
        form->addRow(name + QLatin1Char(':'), field);
    }
    auto* close = Button(tr("Закрыть"), this);
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    close->setFocus();
}

}  // namespace brindle
