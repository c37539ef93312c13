// A stand-in for the selection bar under the waveform until it lands in src/view: a 9-pixel strip
// with the selection as a green band. Display only.
#pragma once

#include <QWidget>

namespace brindle {

class PlaybackEngine;
class WaveformPlaceholder;

class SelectionBarPlaceholder : public QWidget {
    Q_OBJECT

public:
    SelectionBarPlaceholder(const PlaybackEngine& engine, const WaveformPlaceholder& waveform,
                            QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const PlaybackEngine& engine_;
    const WaveformPlaceholder& waveform_;
};

}  // namespace brindle
