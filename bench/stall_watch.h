// Internal to the measuring programs that drive the window: how long the UI thread could not answer.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

// The gaps between the ticks of a 1 ms timer on the UI thread: what the thread could not answer.
class StallWatch {
public:
    StallWatch()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double now = double(clock_.nsecsElapsed()) / 1e6;
            const double gap = now - last_ - 1.0;
            last_ = now;
            if (gap > longest_) {
                longest_ = gap;
                longestAt_ = now;
            }
            over16_ += gap > 16;
            over50_ += gap > 50;
            ++ticks_;
        });
    }
    void Start()
    {
        longest_ = longestAt_ = 0;
        over16_ = over50_ = ticks_ = 0;
        clock_.start();
        last_ = 0;
        timer_.start();
    }
    // The time since the last tick counts too: work that never let the timer tick at all is one stall.
    void Stop()
    {
        timer_.stop();
        const double gap = double(clock_.nsecsElapsed()) / 1e6 - last_ - 1.0;
        if (gap > longest_) {
            longest_ = gap;
            longestAt_ = last_ + 1.0 + gap;
        }
        over16_ += gap > 16;
        over50_ += gap > 50;
    }
    double Longest() const { return longest_; }
    // When the longest stall ended, in seconds from Start.
    double LongestAt() const { return longestAt_ / 1000.0; }
    int Over16() const { return over16_; }
    int Over50() const { return over50_; }
    int Ticks() const { return ticks_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    double last_ = 0;
    double longest_ = 0;
    double longestAt_ = 0;
    int over16_ = 0;
    int over50_ = 0;
    int ticks_ = 0;
};
