#pragma once

#include <QWidget>

class QTimer;

// A vertical 0 … 100 slider drawn as a column of LED segments (green, then yellow, then red
// toward the top). A click or drag sets the value in steps of 5; the lit column glides to it
// and breathes slowly.
//
// Threads: the GUI thread only.
class LedSlider : public QWidget {
    Q_OBJECT
public:
    explicit LedSlider(QWidget *parent = nullptr);

    int value() const { return value_; }
    // What the column shows now; follows value() by animation.
    int displayValue() const { return displayValue_; }
    int segments() const { return segments_; }
    // Limited to 0 … 100; no signal (the program setting it already knows).
    void setValue(int value);

signals:
    // From the mouse only, also when the value stays the same.
    void valueChanged(int value);

public slots:
    // One 16 ms animation frame.
    void animateStep();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void setFromPointer(double y);

    int value_ = 50;
    int displayValue_ = 50;
    int segments_ = 20;
    float phase_ = 0.0f; // -1 … 1
    int phaseStep_ = 1;  // +1 or -1
    QTimer *animationTimer_;
};
