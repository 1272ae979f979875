#include "ui/widgets/LevelMeter.h"

#include <QPainter>
#include <QTimer>

#include <algorithm>

namespace {

constexpr float kYellowDb = -9.0f;
constexpr float kRedDb = -3.0f;
constexpr float kTicksDb[] = {-20.0f, -9.0f};

} // namespace

LevelMeter::LevelMeter(QWidget *parent) : QWidget(parent), timer_(new QTimer(this)) {
    setFixedWidth(8);
    setMinimumHeight(200);
    clock_.start();
    timer_->setInterval(kPollMs);
    connect(timer_, &QTimer::timeout, this, &LevelMeter::poll);
}

void LevelMeter::setPeakSource(std::function<float()> source) {
    source_ = std::move(source);
    ballistics_.reset();
    update();
}

bool LevelMeter::isPolling() const {
    return timer_->isActive();
}

void LevelMeter::poll() {
    const float level = levelDb(), hold = holdDb();
    ballistics_.update(source_ ? source_() : 0.0f, clock_.elapsed());
    // A silent or steady meter costs the GUI thread no repaint.
    if (levelDb() != level || holdDb() != hold)
        update();
}

void LevelMeter::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    const QRectF area = rect();
    const double h = area.height();
    const auto yOf = [h](float db) {
        return h * double(-db) / double(-LevelMeterBallistics::kFloorDb);
    };
    painter.fillRect(area, QColor(10, 10, 10));

    // The lit bar in its three bands, each cut at the level.
    const double top = yOf(levelDb());
    const struct {
        float fromDb, toDb;
        QColor colour;
    } bands[] = {{LevelMeterBallistics::kFloorDb, kYellowDb, QColor(0, 210, 0)},
                 {kYellowDb, kRedDb, QColor(235, 210, 0)},
                 {kRedDb, 0.0f, QColor(235, 0, 0)}};
    for (const auto &band : bands) {
        const double bandTop = std::max(top, yOf(band.toDb));
        const double bandBottom = yOf(band.fromDb);
        if (bandTop < bandBottom)
            painter.fillRect(QRectF(0, bandTop, area.width(), bandBottom - bandTop), band.colour);
    }

    painter.setPen(QColor(140, 140, 140));
    for (float db : kTicksDb)
        painter.drawLine(QPointF(0, yOf(db)), QPointF(area.width(), yOf(db)));

    if (holdDb() > LevelMeterBallistics::kFloorDb)
        painter.fillRect(QRectF(0, yOf(holdDb()), area.width(), 2), QColor(235, 235, 235));
}

// Hidden meters do not poll; what piled up at the source meanwhile is stale and dropped.
void LevelMeter::showEvent(QShowEvent *) {
    if (source_)
        source_();
    ballistics_.reset();
    timer_->start();
}

void LevelMeter::hideEvent(QHideEvent *) {
    timer_->stop();
}
