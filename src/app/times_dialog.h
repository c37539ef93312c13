// «Задать выделение» and «Перейти к»: the selection's start, end and length, or the play position,
// typed as times (ParseTimeEntry's forms). In the selection dialog the two fields edited last decide
// the third, which follows as they are typed; untouched, the start and the end decide. OK with a
// field that cannot be read, or that falls outside the sound, keeps the dialog open with that field
// marked (its text selected, the reason under the fields and as its accessible description).
#pragma once

#include <QDialog>

#include <array>
#include <cstdint>

class QLabel;
class QLineEdit;

namespace brindle {

class TimesDialog : public QDialog {
    Q_OBJECT

public:
    enum Field { kStart, kEnd, kLength, kPosition };

    // A selection dialog showing start..end, or (position) a play position dialog showing start.
    TimesDialog(bool selection, int64_t start, int64_t end, int64_t frameCount, uint32_t sampleRate,
                QWidget* owner = nullptr);

    // What was accepted: start and end (start <= end), or the position in Start().
    int64_t Start() const { return frames_[kStart]; }
    int64_t End() const { return frames_[kEnd]; }
    QLineEdit* Entry(Field field) const { return entries_[field]; }
    // The field marked as refused, or -1.
    int MarkedField() const { return marked_; }

    void accept() override;

private:
    // Reads field into frames_; false (and the field marked) when it is refused.
    bool Read(Field field);
    void Mark(int field, const QString& reason);
    void OnEdited(Field field);
    // The field the other two decide, with its text brought in step; false when they cannot.
    bool Derive();

    bool selection_;
    int64_t frameCount_;
    uint32_t sampleRate_;
    std::array<QLineEdit*, 4> entries_{};
    std::array<int64_t, 4> frames_{};
    std::array<bool, 4> edited_{};
    // Most recently edited first: the first two decide the third.
    std::array<Field, 3> order_{kStart, kEnd, kLength};
    QLabel* reason_ = nullptr;
    int marked_ = -1;
};

}  // namespace brindle
