#include "pipeline/MediaOverlayControl.h"

#include "audio/PreviewAudioMixer.h"
#include "core/MediaOverlayEntry.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/ProgramTimeline.h"

#include <QTimer>

#include <algorithm>

namespace {

// As for channels: the decoder knows the duration only after opening the file.
constexpr int kDurationRetryMs = 250;
constexpr int kDurationTries = 20;

} // namespace

MediaOverlayControl::MediaOverlayControl(EngineSession &session, ProgramTimeline &timeline,
                                         QObject *parent)
    : QObject(parent), session_(session), timeline_(timeline) {
    FramePipeline *pipeline = session_.pipeline();
    connect(pipeline, &FramePipeline::overlayFrameReady, this,
            [this](int id, qint64 positionMs, const QImage &image) {
                emit videoFrameReady(id, positionMs, image);
                timeline_.onOverlayFrameReady();
            });
    connect(pipeline, &FramePipeline::overlayPlaybackFinished, this,
            &MediaOverlayControl::videoFinished);
}

bool MediaOverlayControl::attachVideo(int id, const QString &path, const QRectF &rect,
                                      int64_t positionMs, bool playing, QString *message,
                                      bool chinese) {
    FramePipeline *pipeline = session_.pipeline();
    if (id < 0 || path.isEmpty())
        return false;
    if (pipeline->overlaySlotOf(id) < 0) {
        pipeline->registerOverlayVideo(id, path);
        if (pipeline->overlaySlotOf(id) < 0) {
            if (message)
                *message = chinese
                               ? QStringLiteral("%1 个叠加视频槽都已占用。请先移除一个视频叠加。")
                                     .arg(kVideoSlots)
                               : QStringLiteral("All %1 overlay video slots are in use. "
                                                "Remove a video overlay first.")
                                     .arg(kVideoSlots);
            return false;
        }
    }
    putOnProgram(id, path, rect, positionMs, playing);
    pipeline->setOverlayPlayback(id, positionMs, playing);
    if (PreviewAudioMixer *mixer = session_.mixer())
        mixer->setOverlayInPreview(pipeline->overlaySlotOf(id), true);
    attached_.insert(id);
    askDuration(id, kDurationTries);
    return true;
}

void MediaOverlayControl::askDuration(int id, int triesLeft) {
    QTimer::singleShot(kDurationRetryMs, this, [this, id, triesLeft] {
        FramePipeline *pipeline = session_.pipeline();
        const int64_t duration = pipeline->overlayDurationMs(id);
        if (duration > 0)
            emit videoDurationKnown(id, duration);
        else if (pipeline->overlaySlotOf(id) >= 0 && triesLeft > 1)
            askDuration(id, triesLeft - 1); // not while released
    });
}

void MediaOverlayControl::putOnProgram(int id, const QString &path, const QRectF &rect,
                                       int64_t positionMs, bool playing) {
    MediaOverlayEntry entry;
    entry.id = id;
    entry.kind = MediaOverlayEntry::kVideo;
    entry.filePath = path;
    entry.rectInScene = rect;
    entry.positionMs = positionMs;
    entry.isPlaying = playing;
    session_.overlays()->setMediaOverlay(entry);
}

void MediaOverlayControl::syncVideo(int id, int64_t positionMs, bool playing) {
    session_.pipeline()->setOverlayPlayback(id, positionMs, playing); // unbound: nothing
}

void MediaOverlayControl::setVideoLoop(int id, bool loop) {
    session_.pipeline()->setOverlayLoop(id, loop);
}

void MediaOverlayControl::setVideoVolume(int id, int percent) {
    const int slot = session_.pipeline()->overlaySlotOf(id);
    if (slot >= 0 && session_.mixer())
        session_.mixer()->setOverlayLocalGain(slot, float(std::clamp(percent, 0, 100)) / 100.0f);
}

void MediaOverlayControl::moveVideo(int id, const QRectF &rect) {
    if (!attached_.contains(id))
        return;
    const QList<MediaOverlayEntry> &entries = session_.overlays()->mediaOverlays();
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [id](const MediaOverlayEntry &e) { return e.id == id; });
    if (it == entries.end())
        return;
    MediaOverlayEntry moved = *it;
    moved.rectInScene = rect;
    session_.overlays()->setMediaOverlay(moved);
}

void MediaOverlayControl::detachVideo(int id) {
    FramePipeline *pipeline = session_.pipeline();
    // Off the program first; the slot stays bound for a quick return.
    session_.overlays()->removeMediaOverlay(id);
    attached_.remove(id);
    const int slot = pipeline->overlaySlotOf(id);
    if (slot < 0)
        return;
    pipeline->setOverlayPlayback(id, 0, false);
    if (PreviewAudioMixer *mixer = session_.mixer())
        mixer->setOverlayInPreview(slot, false);
}

void MediaOverlayControl::removeVideo(int id) {
    detachVideo(id);
    // Joining a decoder could take longer than a frame: the release runs on the thread pool.
    if (session_.pipeline()->overlaySlotOf(id) >= 0)
        session_.pipeline()->runUnregisterOverlayVideoAsync(id);
}

int64_t MediaOverlayControl::videoDurationMs(int id) const {
    return session_.pipeline()->overlayDurationMs(id);
}

void MediaOverlayControl::applyImage(int id, const QString &path, const QRectF &rect,
                                     double opacity) {
    MediaOverlayEntry entry;
    entry.id = id;
    entry.kind = MediaOverlayEntry::kImage;
    entry.filePath = path;
    entry.rectInScene = rect;
    entry.opacity = std::clamp(opacity, 0.0, 1.0);
    session_.overlays()->setMediaOverlay(entry);
}

void MediaOverlayControl::removeImage(int id) {
    session_.overlays()->removeMediaOverlay(id);
}
