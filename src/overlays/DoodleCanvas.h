#pragma once

#include "overlays/DoodleInput.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>

class OverlayManager;

// The drawing the operator makes over the program picture with the mouse. Strokes and shapes
// are painted into a transparent 640 x 360 image, which goes to the overlay manager after every
// change and is composed over the program there. Each press and each clear starts a new history
// entry, so one undo takes back one stroke, one shape or one polygon corner.
//
// Points arrive in view pixels (the preview); the picture is shown letter-boxed in the view, so
// they are mapped through the 16:9 rectangle fitted and centred in it.
//
// Without a target the canvas does nothing and holds no drawing.
//
// Threads: the GUI thread only.
class DoodleCanvas : public QObject, public DoodleInput {
    Q_OBJECT
public:
    enum Tool { None = 0, Pen, Line, Rectangle, Ellipse, Polygon, Curve, Eraser };
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 360;
    // Drawings kept undoable; older ones are dropped so that memory stays bounded.
    static constexpr int kHistoryLimit = 100;
    static constexpr int kMinPenWidth = 1;
    static constexpr int kMaxPenWidth = 20;

    explicit DoodleCanvas(OverlayManager *target, QObject *parent = nullptr);

    // Values outside the tool list are refused; leaving the polygon tool ends the polygon.
    void setTool(int tool);
    int tool() const { return tool_; }
    void setPenColor(const QColor &color); // an invalid colour is ignored
    QColor penColor() const { return penColor_; }
    void setPenWidth(int width); // limited to 1..20
    int penWidth() const { return penWidth_; }

    void press(QPoint viewPos);
    void move(QPoint viewPos);
    void release(QPoint viewPos);
    void undo();
    void clear();

    // Writes the drawing as PNG without ever leaving a half-written file: on failure the file
    // already at the path stays as it was, and *error says why.
    bool savePng(const QString &path, QString *error = nullptr) const;

    QImage image() const; // the current drawing; null without a target
    int historySize() const { return int(history_.size()); }

    void setViewSize(QSize size) override;
    void beginStroke(QPoint pos) override { press(pos); }
    void continueStroke(QPoint pos) override { move(pos); }
    void endStroke(QPoint pos) override { release(pos); }

signals:
    void canvasChanged();

private:
    QPoint toCanvas(QPoint viewPos) const;
    bool drawing() const { return target_ && !history_.isEmpty() && tool_ != None; }
    void push(const QImage &image);
    void commit();

    OverlayManager *target_;
    QSize viewSize_{kWidth, kHeight};
    QColor penColor_{Qt::red};
    int penWidth_ = 3;
    int tool_ = None;
    QPoint startPoint_;
    QPoint lastPoint_;
    QList<QPoint> polygonPoints_;
    QList<QImage> history_; // the last entry is the current drawing
};
