#pragma once

#include "ui/widgets/OverlayItemGeometry.h"

#include <QGraphicsObject>
#include <QImage>

class QGraphicsProxyWidget;
class QPushButton;
class QSlider;

// An image overlay on the editing stage: the picture in a movable, resizable box with an
// opacity slider, an apply button and a remove button along its bottom. The editor's copy of
// the picture is decoded in the background and kept small; the program loads its own copy.
//
// Threads: the GUI thread only.
class ImageOverlayWidget : public QGraphicsObject {
    Q_OBJECT
public:
    static constexpr qreal kDefaultWidth = 320;
    static constexpr qreal kDefaultHeight = 180;
    static constexpr int kEditorPictureLimit = 1536;

    ImageOverlayWidget(int mediaId, const QString &filePath, QGraphicsItem *parent = nullptr);

    int mediaId() const { return mediaId_; }
    QString filePath() const { return filePath_; }
    QRectF rectInScene() const;
    // Stays inside the scene.
    void setRectInScene(const QRectF &rect);
    double opacityValue() const;
    void setOpacityValue(double opacity); // 0 ... 1
    // As the apply button does.
    void applyToProgram();
    // The editor's own copy has loaded.
    bool hasPicture() const { return !picture_.isNull(); }
    void setChineseUi(bool chinese);

    QRectF boundingRect() const override;
    QPainterPath shape() const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

signals:
    void geometryChanged(QRectF rect);
    void removeRequested();
    void overlayApplyRequested(ImageOverlayWidget *self, QString filePath, QRectF rectInScene,
                               double opacity);

protected:
    void hoverMoveEvent(QGraphicsSceneHoverEvent *event) override;
    void hoverLeaveEvent(QGraphicsSceneHoverEvent *event) override;
    void mousePressEvent(QGraphicsSceneMouseEvent *event) override;
    void mouseMoveEvent(QGraphicsSceneMouseEvent *event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent *event) override;

private:
    QRectF localRect() const { return {QPointF(0, 0), size_}; }
    void setBox(const QRectF &box);
    void placeControls();
    void startAsyncEditorImageLoad();

    const int mediaId_;
    const QString filePath_;
    QSizeF size_{kDefaultWidth, kDefaultHeight};
    QImage picture_;
    QGraphicsProxyWidget *barProxy_;
    QSlider *opacity_;
    QPushButton *apply_, *remove_;
    bool chinese_ = true;

    OverlayItemGeometry::Drag drag_;
};
