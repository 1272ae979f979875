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

MediaOverlayEntry entry(int id, int kind, const QString &path, const QRectF &rect, int zOrder) {
    MediaOverlayEntry e;
    e.id = id;
    e.kind = kind;
    e.filePath = path;
    e.rectInScene = rect;
    e.zOrder = zOrder;
    return e;
}

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
    if (!image.isEmpty()) // loads the picture on the thread pool
        overlays->setMediaOverlay(entry(firstId, MediaOverlayEntry::kImage, image, kImageRect, 0));
    if (!pip.isEmpty()) {
        // As the media overlay control attaches a video: its decoder slot first, then the entry.
        const int id = firstId + 1;
        pipeline->registerOverlayVideo(id, pip);
        MediaOverlayEntry e = entry(id, MediaOverlayEntry::kVideo, pip, kPipRect, 1);
        e.isPlaying = true;
        overlays->setMediaOverlay(e);
        pipeline->setOverlayLoop(id, true);
        pipeline->setOverlayPlayback(id, 0, true);
    }
}
