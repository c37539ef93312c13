#include "app/status_panes.h"

#include <QFontMetrics>
#include <QLabel>
#include <QStatusBar>

#include "app/app_texts.h"
#include "document/document.h"
#include "playback/playback_engine.h"
#include "view/time_format.h"

namespace brindle {

namespace {

QString TimeString(double milliseconds) { return QString::fromStdString(FormatTime(milliseconds)); }

// A pane's accessible name says what it shows (QT_TR_NOOP("Длина")), which hides the label's text from screen
// readers: the time goes into the description as well, and setting that announces the change.
void SetPaneText(QLabel& pane, const QString& text)
{
    pane.setText(text);
    pane.setAccessibleDescription(text);
}

}  // namespace

StatusPanes::StatusPanes(QStatusBar& bar) : QObject(&bar)
{
    message_ = new QLabel(Texts::Ready(), &bar);
    // Unlike a time, a message speaks for itself: it stays the label's accessible name (a set name would
    // hide it from screen readers, and only a change of the text itself is announced), and the
    // description says what the pane is.
    message_->setAccessibleDescription(tr("Сообщение"));
    bar.addWidget(message_, 1);

    static const char* const kNames[4] = {QT_TR_NOOP("Длина"), QT_TR_NOOP("Позиция"), QT_TR_NOOP("Начало выделения"),
                                          QT_TR_NOOP("Конец выделения")};
    for (int i = 0; i < 4; ++i) {
        auto* pane = new QLabel(&bar);
        SetPaneText(*pane, QStringLiteral("0:00:00.000"));
        pane->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        pane->setFrameShape(QFrame::StyledPanel);
        pane->setFrameShadow(QFrame::Sunken);
        pane->setAccessibleName(tr(kNames[i]));
        pane->setToolTip(pane->accessibleName());
        bar.addPermanentWidget(pane);
        times_[size_t(i)] = pane;
    }
    FitTimes(QStringLiteral("0:00:00.000"));

    // While the bar shows a menu's status tip in place of the panes, the message is out of sight: the
    // timer keeps running and tries again at its next tick.
    connect(&timer_, &QTimer::timeout, this, [this, &bar] {
        if (!bar.currentMessage().isEmpty())
            return;
        timer_.stop();
        message_->setText(Texts::Ready());
    });
}

QString StatusPanes::Message() const { return message_->text(); }

void StatusPanes::SetMessage(const QString& text)
{
    timer_.stop();
    message_->setText(text);
}

void StatusPanes::ShowTimedMessage(const QString& text, int durationMs)
{
    message_->setText(text);
    timer_.start(std::max(durationMs, 10));
}

void StatusPanes::UpdateTimes(const Document& document, const PlaybackEngine& engine)
{
    const SoundBuffer& buffer = document.ActiveBuffer();
    std::array<QString, 4> texts;
    if (!document.IsEmpty()) {
        const double rate = buffer.HasSound() ? double(buffer.format.samplesPerSecond) : 0.0;
        auto ms = [rate](double frames) { return rate > 0 ? frames * 1000.0 / rate : 0.0; };
        texts[0] = TimeString(ms(buffer.FrameCount()));
        texts[1] = TimeString(ms(double(uint32_t(engine.GetPosition()))));
        texts[2] = engine.selectionStart < 0 ? QString() : TimeString(ms(engine.selectionStart));
        texts[3] = engine.selectionEnd < 0 ? QString() : TimeString(ms(engine.selectionEnd));
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        if (times_[i]->text() != texts[i])
            SetPaneText(*times_[i], texts[i]);
    }
    FitTimes(texts[0]);
}

void StatusPanes::FitTimes(const QString& widest)
{
    // The widest time a pane shows is the length, and below an hour it has no hour field: panes as
    // wide as that leave the message room for its longest texts at the window's first size. Digits
    // count as 0 so that the panes keep their width while the times change.
    QString shape = widest.isEmpty() ? QStringLiteral("00:00.000") : widest;
    for (QChar& c : shape) {
        if (c.isDigit())
            c = QLatin1Char('0');
    }
    if (shape == timeShape_)
        return;
    timeShape_ = shape;
    const int width = QFontMetrics(times_[0]->font()).horizontalAdvance(shape) + 6;
    for (QLabel* pane : times_)
        pane->setMinimumWidth(width);
}

QString StatusPanes::TimeText(int pane) const
{
    return pane >= 1 && pane <= 4 ? times_[size_t(pane - 1)]->text() : QString();
}

}  // namespace brindle
