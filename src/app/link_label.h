// A line of text that opens a web address when clicked (or activated with Enter or Space): link
// colours from the palette, the hand cursor, and an underline always or only under the mouse.
#pragma once

#include <QLabel>
#include <QUrl>

#include <functional>

namespace brindle {

class LinkLabel : public QLabel {
    Q_OBJECT

public:
    enum class Underline { Always, OnHover };

    LinkLabel(const QString& text, const QUrl& target, Underline underline, QWidget* parent = nullptr);
    const QUrl& Target() const { return target_; }
    // Where a click sends the address (the desktop's handler by default).
    void SetOpener(std::function<void(const QUrl&)> opener) { opener_ = std::move(opener); }
    void Activate();
    bool IsVisited() const { return visited_; }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void Restyle(bool hovered);

    QUrl target_;
    Underline underline_;
    bool visited_ = false;
    bool hovered_ = false;
    std::function<void(const QUrl&)> opener_;
};

}  // namespace brindle
