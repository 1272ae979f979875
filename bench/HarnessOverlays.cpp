#include "HarnessOverlays.h"

#include "core/MediaOverlayEntry.h"
#include "core/TextOverlayData.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OverlayManager.h"

#include <QPoint>
#include <QRectF>

namespace {

// Scene units (640 x 360; x3 at 1080p): image 384x216 at (48,48), PiP 480x270 at (1380,750),
// text at (72,888) in the CLI's pixels.
const QRectF kImageRect(16, 16, 128, 72);
const QRectF kPipRect(460, 250, 160, 90);
const QPoint kTextPos(24, 296);

} // namespace

void HarnessOverlays::place(FramePipeline *pipeline, OverlayManager *overlays, const QString &text,
                            const QString &image, const QString &pip, int firstId) {
    if (!text.isEmpty()) {
        TextOverlayData t;
        t.id = firstId;
        t.text = text;
        t.pos = kTextPos;
        overlays->setTextOverlay(t);
    }
    if (!image.isEmpty()) {
        MediaOverlayEntry e;
        e.id = firstId;
        e.kind = MediaOverlayEntry::kImage;
        e.filePath = image;
        e.rectInScene = kImageRect;
        e.zOrder = 0;
        overlays->setMediaOverlay(e); // loads the picture on the thread pool
    }
    if (!pip.isEmpty()) {
        // As the media overlay control attaches a video: its decoder slot first, then the entry.
        const int id = firstId + 1;
        pipeline->registerOverlayVideo(id, pip);
        MediaOverlayEntry e;
        e.id = id;
        e.kind = MediaOverlayEntry::kVideo;
        e.filePath = pip;
        e.rectInScene = kPipRect;
        e.zOrder = 1;
        e.isPlaying = true;
        overlays->setMediaOverlay(e);
        pipeline->setOverlayLoop(id, true);
        pipeline->setOverlayPlayback(id, 0, true);
    }
}
