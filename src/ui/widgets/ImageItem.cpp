#include "ui/widgets/ImageItem.h"

#include "overlays/BoundedImageLoader.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGraphicsSceneMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QPointer>
#include <QThreadPool>

namespace {

constexpr qreal kFrameWidth = 3.0;

} // namespace

ImageItem::ImageItem(const QString &path, QGraphicsItem *parent)
    : QGraphicsPixmapItem(parent), path_(path) {
    setFlag(ItemIsSelectable);
    setFlag(ItemSendsScenePositionChanges);
    setAcceptHoverEvents(true);

    QPixmap placeholder(kThumbnailSize, kThumbnailSize);
    placeholder.fill(QColor(32, 32, 32, 255));
    setPixmap(placeholder);
    startLoading();
}

void ImageItem::startLoading() {
    QPointer<ImageItem> self(this);
    const QString file = path_;
    QThreadPool::globalInstance()->start([self, file] {
        QImage image = BoundedImageLoader::load(file, kLoadLimit, true);
        // The weak reference is only read on the GUI thread, where the item may be deleted.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, image = std::move(image)] {
                if (self)
                    self->applyThumbnail(image);
            },
            Qt::QueuedConnection);
    });
}

void ImageItem::setHighlighted(bool on) {
    if (highlighted_ == on)
        return;
    highlighted_ = on;
    update();
}

QRectF ImageItem::boundingRect() const {
    // Room for the highlight frame, which is drawn half outside the picture.
    const qreal m = kFrameWidth / 2;
    return QGraphicsPixmapItem::boundingRect().adjusted(-m, -m, m, m);
}

void ImageItem::paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) {
    QGraphicsPixmapItem::paint(painter, option, widget);
    if (!highlighted_)
        return;
    painter->save();
    painter->setPen(
        QPen(QColor(Qt::blue), kFrameWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(QGraphicsPixmapItem::boundingRect());
    painter->restore();
}

void ImageItem::applyThumbnail(QImage img) {
    if (img.isNull())
        return;
    prepareGeometryChange();
    setPixmap(QPixmap::fromImage(
        img.scaled(kThumbnailSize, kThumbnailSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void ImageItem::mousePressEvent(QGraphicsSceneMouseEvent *event) {
    QGraphicsPixmapItem::mousePressEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    dragging_ = true;
    pressPos_ = event->pos();
    // Above its neighbours while it travels, so the drop target stays visible beneath.
    setZValue(1);
    emit startDrag(this);
    emit selectedChanged(this, !highlighted_, event->modifiers().testFlag(Qt::ShiftModifier));
}

void ImageItem::mouseMoveEvent(QGraphicsSceneMouseEvent *event) {
    if (!dragging_)
        return;
    const QPointF newPos = pos() + (event->scenePos() - mapToScene(pressPos_));
    setPos(newPos);
    emit moveDrag(this, newPos);
}

void ImageItem::mouseReleaseEvent(QGraphicsSceneMouseEvent *event) {
    QGraphicsPixmapItem::mouseReleaseEvent(event);
    if (!dragging_)
        return;
    dragging_ = false;
    setZValue(0);
    emit endDrag(this);
}

void ImageItem::hoverEnterEvent(QGraphicsSceneHoverEvent *event) {
    setToolTip(QFileInfo(path_).fileName());
    QGraphicsPixmapItem::hoverEnterEvent(event);
}
