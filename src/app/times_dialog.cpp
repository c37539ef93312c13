#include "app/times_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "view/time_entry.h"
#include "view/time_format.h"

namespace brindle {
namespace {

QString TimeText(int64_t frame, uint32_t sampleRate)
{
    return QString::fromStdString(FormatTime(double(frame) * 1000.0 / sampleRate));
}

}  // namespace

TimesDialog::TimesDialog(bool selection, int64_t start, int64_t end, int64_t frameCount, uint32_t sampleRate,
                         QWidget* owner)
    : QDialog(owner), selection_(selection), frameCount_(frameCount), sampleRate_(std::max<uint32_t>(sampleRate, 1))
{
    setWindowTitle(selection ? tr("Задать выделение") : tr("Перейти к"));
    setAccessibleName(windowTitle());
    frames_ = {start, end, end - start, start};

    auto* form = new QFormLayout;
    const char* labels[] = {QT_TR_NOOP("&Начало:"), QT_TR_NOOP("&Конец:"), QT_TR_NOOP("&Длительность:"),
                            QT_TR_NOOP("&Позиция:")};
    const char* names[] = {"start", "end", "length", "position"};
    for (int field = kStart; field <= kPosition; ++field) {
        if (selection != (field != kPosition))
            continue;
        auto* entry = new QLineEdit(TimeText(frames_[field], sampleRate_), this);
        entry->setObjectName(QLatin1String(names[field]));
        const QString label = tr(labels[field]);
        entry->setAccessibleName(QString(label).remove(QLatin1Char('&')).remove(QLatin1Char(':')));
        entry->setToolTip(tr("ч:мм:сс.ммм, мм:сс.ммм, секунды или число отсчётов («551250 отсч»); "
                             "со знаком «−» — от конца"));
        entry->setMinimumWidth(entry->fontMetrics().horizontalAdvance(QStringLiteral("0:00:00.000000")));
        form->addRow(label, entry);
        entries_[field] = entry;
        connect(entry, &QLineEdit::textEdited, this, [this, field] { OnEdited(Field(field)); });
    }
    auto* hint = new QLabel(tr("Например 1:02:03.5, 12:30, 12.5, 551250 отсч; «−5» — за 5 секунд до конца"), this);
    hint->setWordWrap(true);
    reason_ = new QLabel(this);
    reason_->setObjectName(QStringLiteral("reason"));
    reason_->setStyleSheet(QStringLiteral("color: #c00000"));
    reason_->hide();

    auto* ok = new QPushButton(tr("OK"), this);
    ok->setDefault(true);
    ok->setAccessibleName(ok->text());
    auto* cancel = new QPushButton(tr("Отмена"), this);
    cancel->setAccessibleName(cancel->text());
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(hint);
    layout->addWidget(reason_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    hint->setFixedWidth(form->sizeHint().width() + 80);

    QLineEdit* first = entries_[selection ? kStart : kPosition];
    first->setFocus();
    first->selectAll();
}

bool TimesDialog::Read(Field field)
{
    // A field left as shown keeps its exact frame: its text is rounded to the millisecond.
    if (!edited_[field])
        return true;
    const TimeEntry entry =
        ParseTimeEntry(entries_[field]->text().toStdString(), sampleRate_, frameCount_, field != kLength);
    if (!entry.Ok()) {
        Mark(field, entry.error == TimeEntryError::Malformed ? tr("Время не распознано") : tr("За пределами звука"));
        return false;
    }
    frames_[field] = entry.frame;
    return true;
}

void TimesDialog::Mark(int field, const QString& reason)
{
    for (QLineEdit* entry : entries_) {
        if (entry) {
            entry->setStyleSheet(QString());
            entry->setAccessibleDescription(QString());
        }
    }
    marked_ = field;
    if (field < 0) {
        reason_->hide();
        return;
    }
    QLineEdit* entry = entries_[field];
    entry->setStyleSheet(QStringLiteral("QLineEdit { border: 2px solid #c00000; }"));
    entry->setAccessibleDescription(reason);
    reason_->setText(QStringLiteral("%1: %2").arg(entry->accessibleName(), reason));
    reason_->show();
    entry->setFocus();
    entry->selectAll();
}

void TimesDialog::OnEdited(Field field)
{
    edited_[field] = true;
    if (marked_ == field)
        Mark(-1, {});
    if (!selection_)
        return;
    auto at = std::find(order_.begin(), order_.end(), field);
    std::rotate(order_.begin(), at, at + 1);
    // While typing, the third field follows quietly; only OK marks what cannot be read.
    const std::array<int64_t, 4> frames = frames_;
    if (!Derive())
        frames_ = frames;
}

bool TimesDialog::Derive()
{
    for (int i = 0; i < 2; ++i) {
        if (!edited_[order_[i]])
            continue;
        const TimeEntry entry = ParseTimeEntry(entries_[order_[i]]->text().toStdString(), sampleRate_, frameCount_,
                                               order_[i] != kLength);
        if (!entry.Ok())
            return false;
        frames_[order_[i]] = entry.frame;
    }
    const Field derived = order_[2];
    int64_t& start = frames_[kStart];
    int64_t& end = frames_[kEnd];
    int64_t& length = frames_[kLength];
    if (derived == kLength)
        length = end - start;
    else if (derived == kEnd)
        end = start + length;
    else
        start = end - length;
    if (start < 0 || end > frameCount_ || start > end)
        return false;
    entries_[derived]->setText(TimeText(frames_[derived], sampleRate_));
    edited_[derived] = false;
    return true;
}

void TimesDialog::accept()
{
    if (!selection_) {
        if (!Read(kPosition))
            return;
        frames_[kStart] = frames_[kEnd] = frames_[kPosition];
        QDialog::accept();
        return;
    }
    if (!Read(order_[0]) || !Read(order_[1]))
        return;
    const std::array<int64_t, 4> before = frames_;
    if (!Derive()) {
        frames_ = before;
        // The later of the two deciding fields is the one that went too far.
        const Field culprit = order_[0];
        Mark(culprit, frames_[kStart] > frames_[kEnd] && order_[2] == kLength ? tr("Конец раньше начала")
                                                                              : tr("За пределами звука"));
        return;
    }
    QDialog::accept();
}

}  // namespace brindle
