#include "ui/widgets/LedSlider.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>

LedSlider::LedSlider(QWidget *parent) : QWidget(parent), animationTimer_(new QTimer(this)) {
    setFixedWidth(25);
    setMinimumHeight(200);
    animationTimer_->setInterval(16);
    connect(animationTimer_, &QTimer::timeout, this, &LedSlider::animateStep);
}

void LedSlider::setValue(int value) {
    value_ = std::clamp(value, 0, 100);
}

void LedSlider::animateStep() {
    if (displayValue_ < value_)
        displayValue_ = std::min(displayValue_ + 2, value_);
    else if (displayValue_ > value_)
        displayValue_ = std::max(displayValue_ - 2, value_);
    phase_ += float(phaseStep_) * 0.02f;
    if (phase_ > 1.0f)
        phaseStep_ = -1;
    else if (phase_ < -1.0f)
        phaseStep_ = 1;
    update();
}

void LedSlider::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(10, 10, 10));
    const int n = segments_;
    const int h = height();
    const int s = h / n;
    const int lit = std::clamp(displayValue_ / 5, 0, n);
    const int breath = int(std::trunc(phase_ * 30.0f));
    for (int i = 0; i < n; ++i) {
        QColor colour(50, 50, 50);
        if (i < lit) {
            // Position f = (i + 1) / n: green up to 0.6, yellow up to 0.85, red above.
            const int percent = (i + 1) * 100;
            if (percent <= 60 * n)
                colour = QColor(0, 255, 0);
            else if (percent <= 85 * n)
                colour = QColor(255, 255, 0);
            else
                colour = QColor(255, 0, 0);
            colour.setAlpha(std::clamp(std::min((i + 1) * 75 / lit + 180, 255) + breath, 0, 255));
        }
        painter.fillRect(0, h - (i + 1) * s, width(), s - 2, colour);
    }
}

void LedSlider::setFromPointer(double y) {
    const int h = height();
    if (h <= 0)
        return;
    const int v = std::clamp((h - int(std::lround(y))) * 100 / h / 5 * 5, 0, 100);
    value_ = v;
    emit valueChanged(v);
}

void LedSlider::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        setFromPointer(event->position().y());
}

void LedSlider::mouseMoveEvent(QMouseEvent *event) {
    if (event->buttons() & Qt::LeftButton)
        setFromPointer(event->position().y());
}

// A hidden slider needs no animation frames.
void LedSlider::showEvent(QShowEvent *) {
    animationTimer_->start();
}

void LedSlider::hideEvent(QHideEvent *) {
    animationTimer_->stop();
}
