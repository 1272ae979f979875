#pragma once

#include <QRectF>
#include <QString>

// What a running schedule drives besides the program time line and the overlay store: the
// channel inputs and the media overlay editors. The window implements it with its panels and
// editors; the playout command without widgets.
//
// Threads: the GUI thread only.
class ArrangementTargets {
public:
    virtual ~ArrangementTargets() = default;

    // Loads a video file into channel 0-3 as the operator would, playing from its start.
    virtual void loadChannelSource(int channel, const QString &path) = 0;
    // Puts a media overlay on the program: a video playing from its start, or a picture.
    // Returns a handle (> 0) for removing it, 0 when it could not be shown.
    virtual int addVideoOverlay(const QString &path, const QRectF &rect) = 0;
    virtual int addImageOverlay(const QString &path, const QRectF &rect, double opacity) = 0;
    // Takes it off the program; a handle whose editor has gone meanwhile is ignored.
    virtual void removeMediaOverlay(int handle) = 0;
};
