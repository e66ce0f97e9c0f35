#pragma once
// The longest gap between two turns of the GUI thread's event loop, from start() (or the
// construction) to stopMs().

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

class StallMeter {
public:
    StallMeter() {
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
        start();
    }
    void start() {
        clock_.start();
        last_ = 0;
        longest_ = 0;
        timer_.start();
    }
    double stopMs() {
        longest_ = std::max(longest_, clock_.nsecsElapsed() - last_);
        timer_.stop();
        return static_cast<double>(longest_) / 1e6;
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
};
