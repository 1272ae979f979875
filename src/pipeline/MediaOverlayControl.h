#pragma once

#include <QObject>
#include <QRectF>
#include <QSet>
#include <QString>

#include <cstdint>

class EngineSession;
class ProgramTimeline;

// Turns the media overlay editors' requests into overlay store entries and overlay video
// slots. A video is bound to one of the four slots when it is first attached; detaching pauses
// its slot and takes it off the program, so attaching again is quick; removing takes it off the
// program first and then releases its slot without waiting for its decoder. An image overlay is
// a store entry only.
//
// Editors are known by their media ids, which the editor panel hands out and never reuses.
//
// Threads: the GUI thread only.
class MediaOverlayControl : public QObject {
    Q_OBJECT
public:
    static constexpr int kVideoSlots = 4;

    MediaOverlayControl(EngineSession &session, ProgramTimeline &timeline,
                        QObject *parent = nullptr);

    // False with *message when the video cannot be decoded (every slot taken); then nothing
    // of it is on the program or bound.
    bool attachVideo(int id, const QString &path, const QRectF &rect, int64_t positionMs,
                     bool playing, QString *message = nullptr, bool chinese = false);
    void syncVideo(int id, int64_t positionMs, bool playing);
    void setVideoLoop(int id, bool loop);
    void setVideoVolume(int id, int percent);
    // An attached video follows its editor on the stage.
    void moveVideo(int id, const QRectF &rect);
    void detachVideo(int id);
    void removeVideo(int id);
    bool isAttached(int id) const { return attached_.contains(id); }
    int64_t videoDurationMs(int id) const;

    void applyImage(int id, const QString &path, const QRectF &rect, double opacity);
    void removeImage(int id);

signals:
    // The editor of `id` shows this picture (a small preview copy).
    void videoFrameReady(int id, qint64 positionMs, QImage image);
    void videoFinished(int id);
    // Known once the slot's decoder has opened the file; asked a few times after attaching.
    void videoDurationKnown(int id, qint64 durationMs);

private:
    void askDuration(int id, int triesLeft);
    void putOnProgram(int id, const QString &path, const QRectF &rect, int64_t positionMs,
                      bool playing);

    EngineSession &session_;
    ProgramTimeline &timeline_;
    QSet<int> attached_;
};
