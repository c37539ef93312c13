#include "controls/slider_control.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace brindle {
namespace {

constexpr int kMargin = 3;
constexpr int kChannelHeight = 9;
constexpr int kThumbWidth = 7;
constexpr int kThumbHeight = 13;

enum class Curve { Linear, Quadratic };

// Fills rect with 255 slices stepping from start towards end (the end colour itself is never
// reached); whatever the slices leave at the far side takes the last slice's colour.
void FillGradient(QImage& image, const QRect& rect, QColor start, QColor end, Qt::Orientation direction,
                  Curve curve)
{
    if (rect.isEmpty())
        return;
    const int length = direction == Qt::Horizontal ? rect.width() : rect.height();
    const double step = length * double(1.0f / 255.0f);
    const double factor = curve == Curve::Linear ? double(1.0f / 255.0f) : double(1.0f / (255.0f * 255.0f));
    QPainter painter(&image);
    auto slice = [&](int from, int to, QColor colour) {
        if (to <= from)
            return;
        if (direction == Qt::Horizontal)
            painter.fillRect(QRect(rect.left() + from, rect.top(), to - from, rect.height()), colour);
        else
            painter.fillRect(QRect(rect.left(), rect.top() + from, rect.width(), to - from), colour);
    };
    auto mix = [](int a, int b, double k) { return int(a + k * (b - a)); };
    QColor last = start;
    for (int h = 0; h < 255; ++h) {
        const double k = curve == Curve::Linear ? h * factor : double(h) * h * factor;
        last = QColor(mix(start.red(), end.red(), k), mix(start.green(), end.green(), k),
                      mix(start.blue(), end.blue(), k));
        slice(int(h * step), int((h + 1) * step), last);
    }
    slice(int(255 * step), length, last);
}

void SetCorners(QImage& image, const QRect& rect, QColor colour)
{
    for (const QPoint& corner : {rect.topLeft(), rect.topRight(), rect.bottomLeft(), rect.bottomRight()}) {
        if (image.rect().contains(corner))
            image.setPixelColor(corner, colour);
    }
}

// Screen readers see a slider with a value, not an anonymous client area.
class SliderAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit SliderAccessible(SliderControl* slider) : QAccessibleWidget(slider, QAccessible::Slider) {}
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return QString::number(Slider()->Value());
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return Slider()->Value(); }
    void setCurrentValue(const QVariant& value) override { Slider()->SetValue(value.toInt(), true); }
    QVariant maximumValue() const override { return Slider()->Maximum(); }
    QVariant minimumValue() const override { return Slider()->Minimum(); }
    QVariant minimumStepSize() const override { return 1; }

private:
    SliderControl* Slider() const { return static_cast<SliderControl*>(widget()); }
};

QAccessibleInterface* SliderAccessibleFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("brindle::SliderControl") && object && object->isWidgetType())
        return new SliderAccessible(static_cast<SliderControl*>(object));
    return nullptr;
}

}  // namespace

SliderControl::SliderControl(QWidget* parent) : QWidget(parent)
{
    static const bool factoryInstalled = (QAccessible::installFactory(SliderAccessibleFactory), true);
    (void)factoryInstalled;
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    thumbs_ = QImage(QStringLiteral(":/controls/slider_thumbs.png")).convertToFormat(QImage::Format_RGB32);
}

void SliderControl::SetRange(int minimum, int maximum)
{
    minimum_ = minimum;
    maximum_ = std::max(maximum, minimum + 1);
    value_ = std::clamp(value_, minimum_, maximum_);
    update();
}

void SliderControl::SetTrackLength(int pixels)
{
    trackLength_ = std::max(1, pixels);
    updateGeometry();
    update();
}

void SliderControl::SetFillStyle(FillStyle style)
{
    fillStyle_ = style;
    update();
}

void SliderControl::SetCentreMark(bool on)
{
    centreMark_ = on;
    update();
}

void SliderControl::SetValue(int value, bool postToBuddy)
{
    value = std::clamp(value, minimum_, maximum_);
    const int old = value_;
    value_ = value;
    if (underMouse() && !isDragging_)
        UpdateHot(mapFromGlobal(QCursor::pos()));
    if (value == old)
        return;
    repaint();
    if (postToBuddy && buddy_)
        QCoreApplication::postEvent(buddy_, new QEvent(QEvent::Type(kValueChangedEvent)));
    emit valueChanged(value);
    QAccessibleValueChangeEvent accessibleEvent(this, value);
    QAccessible::updateAccessibility(&accessibleEvent);
}

QRect SliderControl::ThumbRect() const
{
    const double span = double(maximum_ - minimum_ + 1);
    const int x = int(double(value_ - minimum_) * trackLength_ / span + 0.5);
    return {x, (height() - kThumbHeight) / 2, kThumbWidth, kThumbHeight};
}

int SliderControl::ValueAtX(int x) const
{
    if (x <= kMargin)
        return minimum_;
    if (x >= trackLength_ + kMargin)
        return maximum_;
    return int(double(maximum_ - minimum_) * (x - kMargin) / trackLength_ + minimum_ + 0.5);
}

QSize SliderControl::sizeHint() const { return {trackLength_ + 2 * kMargin, kThumbHeight + 4}; }
QSize SliderControl::minimumSizeHint() const { return {trackLength_ + 2 * kMargin, kThumbHeight}; }

void SliderControl::Step(int delta) { SetValue(value_ + delta, true); }

void SliderControl::UpdateHot(const QPoint& mouse)
{
    const bool hot = !isDragging_ && ThumbRect().contains(mouse);
    if (hot != isHot_) {
        isHot_ = hot;
        update();
    }
}

QImage SliderControl::Render() const
{
    const QColor face = palette().color(QPalette::Window);
    const QColor shadow = palette().color(QPalette::Dark);
    const QColor light = palette().color(QPalette::Light);
    QImage image(size(), QImage::Format_RGB32);
    image.fill(face);

    const QRect channel(kMargin, (height() - kChannelHeight) / 2, width() - 2 * kMargin, kChannelHeight);
    {
        QPainter painter(&image);
        painter.setPen(shadow);
        painter.drawLine(channel.topLeft(), channel.topRight());
        painter.drawLine(channel.topLeft(), channel.bottomLeft());
        painter.setPen(light);
        painter.drawLine(channel.bottomLeft(), channel.bottomRight());
        painter.drawLine(channel.topRight(), channel.bottomRight());
    }
    SetCorners(image, channel, face);

    const QRect inner = channel.adjusted(1, 1, -1, -1);
    const QRect thumb = ThumbRect();
    const int level = 170 + face.red() / 3;
    const QColor fill(std::min(level, 255), std::min(level, 255), std::min(level, 255));
    const QRect beforeThumb(inner.left(), inner.top(), std::max(0, thumb.left() - inner.left()), inner.height());
    const QRect afterThumb(thumb.right() + 1, inner.top(), std::max(0, inner.right() - thumb.right()), inner.height());
    switch (fillStyle_) {
    case FillStyle::Flat:
        QPainter(&image).fillRect(beforeThumb, fill);
        QPainter(&image).fillRect(afterThumb, face);
        break;
    case FillStyle::Gradient:
        FillGradient(image, beforeThumb, face, Qt::white, Qt::Horizontal, Curve::Quadratic);
        QPainter(&image).fillRect(afterThumb, face);
        break;
    case FillStyle::Vertical:
        FillGradient(image, inner, face, fill, Qt::Vertical, Curve::Linear);
        break;
    }

    if (centreMark_)
        QPainter(&image).fillRect(QRect(trackLength_ / 2 + kMargin, inner.top(), 1, inner.height()), shadow);

    if (!thumbs_.isNull()) {
        QPainter(&image).drawImage(thumb.topLeft(), thumbs_, QRect(isHot_ ? kThumbWidth : 0, 0, kThumbWidth, kThumbHeight));
        SetCorners(image, thumb, face);
    }

    if (!isEnabled()) {
        // Halfway towards the face colour, rounded down, so the value still shows.
        for (int y = 0; y < image.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                auto wash = [](int from, int to) { return from + int(std::floor(128.0 * (to - from) / 256.0)); };
                const QRgb pixel = row[x];
                row[x] = qRgb(wash(qRed(pixel), face.red()), wash(qGreen(pixel), face.green()),
                              wash(qBlue(pixel), face.blue()));
            }
        }
    }
    return image;
}

void SliderControl::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawImage(0, 0, Render());
    if (hasFocus()) {
        QPen pen(palette().color(QPalette::Highlight), 1, Qt::DotLine);
        painter.setPen(pen);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void SliderControl::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    isDragging_ = true;
    isHot_ = false;
    focusAtPress_ = QApplication::focusWidget();
    if (buddy_ && focusAtPress_ == buddy_)
        setFocus(Qt::MouseFocusReason);
    SetValue(ValueAtX(int(event->position().x())), true);
    update();
}

void SliderControl::mouseMoveEvent(QMouseEvent* event)
{
    if (isDragging_) {
        if (event->buttons() == Qt::LeftButton)
            SetValue(ValueAtX(int(event->position().x())), true);
        return;
    }
    UpdateHot(event->position().toPoint());
}

void SliderControl::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !isDragging_)
        return;
    isDragging_ = false;
    if (buddy_ && focusAtPress_ == buddy_)
        buddy_->setFocus(Qt::MouseFocusReason);
    UpdateHot(event->position().toPoint());
}

void SliderControl::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (!swallowDoubleClick_)
        mousePressEvent(event);
}

void SliderControl::leaveEvent(QEvent*)
{
    if (isHot_) {
        isHot_ = false;
        update();
    }
}

void SliderControl::wheelEvent(QWheelEvent* event)
{
    // A touchpad ends a scroll with an event that moves neither way; it must not count as a step down.
    const QPoint delta = event->angleDelta().isNull() ? event->pixelDelta() : event->angleDelta();
    const int amount = delta.y() != 0 ? delta.y() : delta.x();
    if (amount == 0) {
        event->ignore();
        return;
    }
    Step(amount > 0 ? 1 : -1);
}

void SliderControl::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down:
        Step(-1);
        break;
    case Qt::Key_Right:
    case Qt::Key_Up:
        Step(1);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        // The dialog's default and cancel buttons answer these.
        event->ignore();
        return;
    default:
        break;
    }
    event->accept();
}

void SliderControl::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange)
        update();
    QWidget::changeEvent(event);
}

}  // namespace brindle
