#pragma once

#include "ui/widgets/OverlayItemGeometry.h"

#include <QGraphicsObject>
#include <QImage>

class QGraphicsPixmapItem;
class QGraphicsProxyWidget;
class QPushButton;
class QSlider;

// A video overlay on the editing stage: the file's latest frame in a movable, resizable box and
// a control bar under it (play/pause, stop, position, local volume, loop, attach, remove).
// It only reports what the operator asked for; the main window drives the overlay's decoder and
// feeds the frames back through setFrame.
//
// Threads: the GUI thread only.
class VideoOverlayWidget : public QGraphicsObject {
    Q_OBJECT
public:
    static constexpr qreal kDefaultWidth = 320;
    static constexpr qreal kDefaultHeight = 180;
    static constexpr qreal kControlBarHeight = 28;
    static constexpr int kDefaultVolume = 20;

    VideoOverlayWidget(int mediaId, const QString &filePath, QGraphicsItem *parent = nullptr);

    int mediaId() const { return mediaId_; }
    QString filePath() const { return filePath_; }
    QRectF rectInScene() const;
    QSizeF size() const { return size_; }
    // Stays inside the scene, control bar included.
    void setRectInScene(const QRectF &rect);

    // No signal: checks the attach button silently; its tool tip follows.
    void setAttached(bool attached);
    bool isAttached() const { return attached_; }
    // As the attach button does: playing from where it stands, asked onto the program.
    void attachToProgram();
    void setDurationMs(int64_t ms);
    int64_t durationMs() const { return durationMs_; }
    void setFrame(const QImage &frame, qint64 positionMs);
    // The file ended without loop: paused, position kept.
    void playbackFinished();
    // Stopped at 0, no picture, not attached. No signal.
    void reset();
    int64_t positionMs() const { return positionMs_; }
    bool isPlaying() const { return playing_; }
    bool isLoop() const;
    int volume() const;
    void setChineseUi(bool chinese);
    // While false the frames are only kept, not scaled for the preview.
    void setPreviewActive(bool active);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

signals:
    void geometryChanged(QRectF rect);
    void removeRequested();
    void overlayApplyRequested(VideoOverlayWidget *self, QString filePath, QRectF rectInScene,
                               qint64 positionMs, bool isPlaying);
    void overlayLoopToggled(bool enabled);
    void overlayDetachFromProgramRequested();
    void overlayDecoderSyncRequested(qint64 positionMs, bool playing);
    void overlayLocalVolumeChanged();

protected:
    void hoverMoveEvent(QGraphicsSceneHoverEvent *event) override;
    void hoverLeaveEvent(QGraphicsSceneHoverEvent *event) override;
    void mousePressEvent(QGraphicsSceneMouseEvent *event) override;
    void mouseMoveEvent(QGraphicsSceneMouseEvent *event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent *event) override;

private:
    QRectF localRect() const { return {QPointF(0, 0), size_}; }
    void setBox(const QRectF &box);
    void setPlaying(bool playing);
    void togglePlay();
    void stop();
    void seekFromSlider();
    void attachToggled(bool checked);
    void refreshAttachTip();
    void refreshPreview();
    void clearPreview();

    const int mediaId_;
    const QString filePath_;
    QSizeF size_{kDefaultWidth, kDefaultHeight};
    QGraphicsPixmapItem *preview_;
    QGraphicsProxyWidget *barProxy_;
    QPushButton *play_, *stop_, *loop_, *attach_, *remove_;
    QSlider *position_, *volume_;

    int64_t positionMs_ = 0;
    int64_t durationMs_ = 0;
    bool playing_ = false;
    bool attached_ = false;
    bool chinese_ = true;
    bool previewActive_ = true;
    QImage frame_;

    OverlayItemGeometry::Drag drag_;
};
