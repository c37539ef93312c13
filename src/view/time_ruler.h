// The time ruler above the waveform: ticks and labels for the frames the waveform shows, following
// its zoom and scroll. It reads the waveform's visible range and the sound's rate, nothing else.
#pragma once

#include <QWidget>

namespace brindle {

class WaveformView;

class TimeRuler : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHeight = 17;
    // Labelled ticks lie at least this far apart.
    static constexpr int kLabelSpacing = 80;

    explicit TimeRuler(const WaveformView& waveform, QWidget* parent = nullptr);

    // The rate of the sound shown; 0 when there is none (or while a task holds the Document).
    void SetSampleRate(uint32_t sampleRate);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const WaveformView& waveform_;
    uint32_t sampleRate_ = 0;
};

}  // namespace brindle
