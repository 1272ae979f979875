#pragma once

#include "core/FrameToken.h"

#include <QImage>
#include <QWidget>

class DoodleInput;
class OverlayManager;
class QLabel;

// Shows the program picture scaled into the widget, aspect ratio kept, on black: the newest
// composed frame or, instead, a still image. A transparent layer on top hands mouse strokes to
// the drawing canvas; the doodle itself reaches the screen inside the composed frame.
//
// Frames may arrive faster than the GUI can scale them: only the newest one waiting is
// converted, at most one per turn of the event loop. The frame shown is held (and with it a
// pool buffer) until a newer frame, an image or clearProgram() replaces it.
//
// Threads: the GUI thread only; frames come in through queued connections.
class PreviewWidget : public QWidget {
    Q_OBJECT
public:
    class DoodleLayer;

    explicit PreviewWidget(QWidget *parent = nullptr);
    ~PreviewWidget() override;

    // Neither is owned; either may be null.
    void setOverlayManager(OverlayManager *manager);
    void setDoodleCanvas(DoodleInput *canvas);

public slots:
    void setProgramFrame(FrameTokenPtr frame);
    void setProgramImage(QImage img);
    void clearProgram();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyPendingFrame();
    void queueApply();
    void refreshDisplay();

    QLabel *display_ = nullptr;
    DoodleLayer *doodleLayer_ = nullptr;
    OverlayManager *overlayManager_ = nullptr;
    DoodleInput *doodleCanvas_ = nullptr;
    QImage programImage_;
    FrameTokenPtr currentFrame_;
    FrameTokenPtr pendingFrame_;
    bool refreshScheduled_ = false;
};
