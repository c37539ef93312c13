#include "app/link_label.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>

namespace brindle {

LinkLabel::LinkLabel(const QString& text, const QUrl& target, Underline underline, QWidget* parent)
    : QLabel(text, parent), target_(target), underline_(underline)
{
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(text);
    setAccessibleDescription(target.toString());
    opener_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    Restyle(false);
}

void LinkLabel::Activate()
{
    visited_ = true;
    Restyle(hovered_);
    if (opener_ && target_.isValid())
        opener_(target_);
}

void LinkLabel::Restyle(bool hovered)
{
    hovered_ = hovered;
    QFont f = font();
    f.setUnderline(underline_ == Underline::Always || hovered || hasFocus());
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, p.color(visited_ ? QPalette::LinkVisited : QPalette::Link));
    setPalette(p);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Activate();
}

void LinkLabel::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space) {
        Activate();
        return;
    }
    QLabel::keyPressEvent(event);
}

void LinkLabel::enterEvent(QEnterEvent*) { Restyle(true); }
void LinkLabel::leaveEvent(QEvent*) { Restyle(false); }
void LinkLabel::focusInEvent(QFocusEvent* event)
{
    QLabel::focusInEvent(event);
    Restyle(hovered_);
}
void LinkLabel::focusOutEvent(QFocusEvent* event)
{
    QLabel::focusOutEvent(event);
    Restyle(hovered_);
}

}  // namespace brindle
