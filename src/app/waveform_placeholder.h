// A stand-in for the waveform view until it lands in src/view: it shows the channels' lanes, the
// selection and the play cursor, but no samples. It reads the Document and the PlaybackEngine only
// when it paints.
#pragma once

#include <QWidget>

namespace brindle {

class Document;
class PlaybackEngine;

class WaveformPlaceholder : public QWidget {
    Q_OBJECT

public:
    WaveformPlaceholder(const Document& document, const PlaybackEngine& engine, QWidget* parent = nullptr);
    // The column of a frame across the present width; -1 for an unset frame or no sound.
    int FrameToPixel(int64_t frame) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const Document& document_;
    const PlaybackEngine& engine_;
};

}  // namespace brindle
