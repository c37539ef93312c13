// A horizontal slider of our own: an integer value between a minimum and a maximum, shown as a sunken
// channel filled up to a small image thumb, changed by mouse, wheel or arrow keys.
//
// The control is meant to be trackLength + 6 pixels wide: 3 pixels of margin on each side plus the
// thumb's width less one. All coordinates are client pixels. UI thread only.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

namespace brindle {

class SliderControl : public QWidget {
    Q_OBJECT

public:
    // The event a buddy window receives for every change the user makes (the value in Value()).
    static constexpr int kValueChangedEvent = 33769;

    enum class FillStyle { Flat = 0, Gradient = 1, Vertical = 2 };

    explicit SliderControl(QWidget* parent = nullptr);

    // Minimum must be below maximum; the value is clamped into the new range.
    void SetRange(int minimum, int maximum);
    void SetTrackLength(int pixels);
    void SetFillStyle(FillStyle style);
    void SetCentreMark(bool on);
    // A window that keeps the keyboard focus while the slider is dragged and hears of user changes.
    void SetBuddy(QWidget* buddy) { buddy_ = buddy; }

    int Value() const { return value_; }
    int Minimum() const { return minimum_; }
    int Maximum() const { return maximum_; }
    int TrackLength() const { return trackLength_; }
    // Clamps value; when it differs from the current one, repaints and emits valueChanged. postToBuddy
    // also posts kValueChangedEvent to the buddy (user changes do; settings from outside do not).
    void SetValue(int value, bool postToBuddy = false);

    // The 7 x 13 thumb's rectangle for the current value and the present height.
    QRect ThumbRect() const;
    // The value the thumb takes when the mouse is at client x.
    int ValueAtX(int x) const;
    bool IsHot() const { return isHot_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void valueChanged(int value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Step(int delta);
    void UpdateHot(const QPoint& mouse);
    QImage Render() const;

    bool swallowDoubleClick_ = true;
    bool isHot_ = false;
    bool isDragging_ = false;
    int trackLength_ = 101;
    FillStyle fillStyle_ = FillStyle::Gradient;
    bool centreMark_ = false;
    int minimum_ = 0;
    int maximum_ = 100;
    int value_ = 0;
    QPointer<QWidget> buddy_;
    QPointer<QWidget> focusAtPress_;
    QImage thumbs_;  // normal and hot thumbs side by side, 14 x 13
};

}  // namespace brindle
