#pragma once

// Watches the composed program for window tests: keeps a copy of the newest frame and counts
// pixels of a colour in a rectangle given in scene units (the 640 x 360 overlay scene).

#include "pipeline/FramePipeline.h"

#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QRect>
#include <QTest>

#include <functional>

class ProgramFrames : public QObject {
public:
    explicit ProgramFrames(FramePipeline *pipeline) {
        connect(pipeline, &FramePipeline::programFrameReady, this, [this](FrameTokenPtr f) {
            if (!f || !f->hasPicture())
                return;
            latest_ = QImage(reinterpret_cast<const uchar *>(f->data.constData()), f->width,
                             f->height, f->stride, QImage::Format_RGBA8888)
                          .copy();
            ++count_;
        });
    }

    const QImage &latest() const { return latest_; }

    // True once a frame composed from now on satisfies `ok`.
    bool waitFor(const std::function<bool(const QImage &)> &ok, int ms) {
        const int start = count_;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            if (count_ > start && ok(latest_))
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    // Pixels within `scene` (scene units) that `match`, sampled every other pixel.
    static int count(const QImage &frame, QRect scene, const std::function<bool(QColor)> &match) {
        if (frame.isNull())
            return 0;
        const double sx = frame.width() / 640.0, sy = frame.height() / 360.0;
        const QRect r = QRect(int(scene.x() * sx), int(scene.y() * sy), int(scene.width() * sx),
                              int(scene.height() * sy))
                            .intersected(frame.rect());
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); y += 2)
            for (int x = r.left(); x <= r.right(); x += 2)
                n += match(frame.pixelColor(x, y));
        return n;
    }

    static bool reddish(QColor c) { return c.red() > 150 && c.green() < 90 && c.blue() < 90; }
    static bool greenish(QColor c) { return c.green() > 150 && c.red() < 90 && c.blue() < 90; }

private:
    QImage latest_;
    int count_ = 0;
};
