#include "app/silence_dialog.h"

#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brindle {

SilenceDialog::SilenceDialog(QWidget* owner) : QDialog(owner)
{
    setWindowTitle(tr("Вставить тишину"));
    setAccessibleName(windowTitle());

    auto* label = new QLabel(tr("Длительность (с):"), this);
    entry_ = new QDoubleSpinBox(this);
    // Ten hours: far beyond any use, well within what one sound may hold at common rates.
    entry_->setRange(0.001, 36000.0);
    entry_->setDecimals(3);
    entry_->setValue(1.0);
    entry_->setAccessibleName(tr("Длительность (с)"));
    label->setBuddy(entry_);

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
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    entry_->setFocus();
    entry_->selectAll();
}

double SilenceDialog::Seconds() const { return entry_->value(); }

}  // namespace brindle
