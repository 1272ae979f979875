#pragma once

#include <QPoint>
#include <QSize>

// What the preview's mouse layer drives: the drawing canvas. Points are in preview pixels over
// the whole preview; the canvas maps them through the letter-boxed picture inside it, so a point
// in the black bars lies outside the drawing.
//
// Threads: the GUI thread only.
class DoodleInput {
public:
    virtual ~DoodleInput() = default;

    // The size of the surface the points come from. Implementers ignore a size whose width or
    // height is 0 or less.
    virtual void setViewSize(QSize size) = 0;
    virtual void beginStroke(QPoint pos) = 0;
    virtual void continueStroke(QPoint pos) = 0;
    virtual void endStroke(QPoint pos) = 0;
};
