#pragma once

#include <QGraphicsPixmapItem>
#include <QImage>
#include <QObject>
#include <QPointF>
#include <QString>

// One thumbnail of the image playback grid. It starts as a grey placeholder; the picture is
// decoded on Qt's global thread pool and handed back to applyThumbnail on the item's thread,
// unless the item was deleted meanwhile. The item reports presses and drags; the panel decides
// what they mean (highlight, reordering).
//
// Threads: the GUI thread only (the background load touches no member).
class ImageItem : public QObject, public QGraphicsPixmapItem {
    Q_OBJECT
public:
    // Side of the square the thumbnail is fitted into.
    static constexpr int kThumbnailSize = 100;
    // Longer side the picture is decoded to; larger pictures are scaled down while decoding.
    static constexpr int kLoadLimit = 160;

    explicit ImageItem(const QString &path, QGraphicsItem *parent = nullptr);

    QString path() const { return path_; }
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(bool on);

    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;
    QRectF boundingRect() const override;

signals:
    void selectedChanged(ImageItem *item, bool selected, bool shiftPressed);
    void startDrag(ImageItem *item);
    void moveDrag(ImageItem *item, QPointF pos);
    void endDrag(ImageItem *item);

public slots:
    void applyThumbnail(QImage img);

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent *event) override;
    void mouseMoveEvent(QGraphicsSceneMouseEvent *event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent *event) override;
    void hoverEnterEvent(QGraphicsSceneHoverEvent *event) override;

private:
    void startLoading();

    QString path_;
    bool highlighted_ = false;
    bool dragging_ = false;
    QPointF pressPos_;
};
