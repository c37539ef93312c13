// The status bar's panes: the message pane (idle text "Готов", timed messages) and the four time
// read-outs (length, play position, selection start, selection end).
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>

class QLabel;
class QStatusBar;

namespace brindle {

class Document;
class PlaybackEngine;

class StatusPanes : public QObject {
    Q_OBJECT

public:
    // Adds the panes to bar, which keeps owning them.
    explicit StatusPanes(QStatusBar& bar);

    QString Message() const;
    // Sets the message pane until something else replaces it; stops a pending timed message.
    void SetMessage(const QString& text);
    // Shows text for durationMs (at least 10 ms), then the idle text again; while a menu's status tip
    // covers the panes, the idle text waits for another durationMs.
    void ShowTimedMessage(const QString& text, int durationMs);
    bool HasTimedMessage() const { return timer_.isActive(); }

    // Empty panes when nothing is loaded, else the four times.
    void UpdateTimes(const Document& document, const PlaybackEngine& engine);
    QString TimeText(int pane) const;  // pane 1 to 4

private:
    // Makes the time panes as wide as the text widest, with every digit a 0 ("00:00.000" for none).
    void FitTimes(const QString& widest);

    QLabel* message_ = nullptr;
    QString timeShape_;
    std::array<QLabel*, 4> times_{};
    QTimer timer_;
};

}  // namespace brindle
