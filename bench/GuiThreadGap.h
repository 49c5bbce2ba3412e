// How long the GUI thread is kept busy: a 1 ms precise timer runs on it, and the longest
// gap between two of its ticks bounds the longest stretch in which it handled nothing else.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

class GuiThreadGap {
public:
    GuiThreadGap() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longestNs = std::max(m_longestNs, m_tick.nsecsElapsed());
            m_tick.restart();
        });
    }
    void start() {
        m_longestNs = 0;
        m_tick.start();
        m_timer.start();
    }
    void stop() {
        m_longestNs = std::max(m_longestNs, m_tick.nsecsElapsed());
        m_timer.stop();
    }
    double longestMs() const { return double(m_longestNs) / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_tick;
    qint64 m_longestNs = 0;
};
