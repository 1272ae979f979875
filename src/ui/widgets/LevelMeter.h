#pragma once

#include "audio/LevelMeterBallistics.h"

#include <QElapsedTimer>
#include <QWidget>

#include <functional>

class QTimer;

// A narrow vertical peak meter, -60 … 0 dBFS from bottom to top: green, yellow from -9 dB,
// red from -3 dB, tick marks at -20 and -9 dB and a peak-hold line. While visible it polls
// its peak source (highest linear |sample| since the previous call, e.g. the mixer's take)
// about 30 times a second; without a source it shows silence.
//
// Threads: the GUI thread; the source is called there and must not block.
class LevelMeter : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPollMs = 33;

    explicit LevelMeter(QWidget *parent = nullptr);

    void setPeakSource(std::function<float()> source);
    float levelDb() const { return ballistics_.levelDb(); }
    float holdDb() const { return ballistics_.holdDb(); }
    bool isPolling() const;

public slots:
    // One reading of the source; the timer calls it.
    void poll();

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    std::function<float()> source_;
    LevelMeterBallistics ballistics_;
    QElapsedTimer clock_;
    QTimer *timer_;
};
