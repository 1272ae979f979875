#pragma once

#include <QPoint>
#include <QSize>

// What the preview's mouse layer drives: the drawing canvas. Points are in preview pixels, and
// the canvas covers the whole preview, not only the letter-boxed picture.
//
// Threads: the GUI thread only.
class DoodleInput {
public:
    virtual ~DoodleInput() = default;

    // Implementers ignore a size whose width or height is 0 or less.
    virtual void setCanvasSize(QSize size) = 0;
    virtual void beginStroke(QPoint pos) = 0;
    virtual void continueStroke(QPoint pos) = 0;
    virtual void endStroke(QPoint pos) = 0;
};
