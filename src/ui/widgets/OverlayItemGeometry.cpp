#include "ui/widgets/OverlayItemGeometry.h"

#include <QCursor>
#include <QGraphicsItem>
#include <QGraphicsScene>
#include <QGraphicsSceneMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include <algorithm>

namespace {

QRectF square(QPointF centre, qreal size) {
    return {centre.x() - size / 2, centre.y() - size / 2, size, size};
}

struct Handle {
    OverlayItemGeometry::Zone zone;
    QPointF (*at)(const QRectF &);
};

// Corners first so that they win where they overlap an edge handle.
const Handle kHandles[] = {
    {OverlayItemGeometry::TopLeft, [](const QRectF &r) { return r.topLeft(); }},
    {OverlayItemGeometry::TopRight, [](const QRectF &r) { return r.topRight(); }},
    {OverlayItemGeometry::BottomLeft, [](const QRectF &r) { return r.bottomLeft(); }},
    {OverlayItemGeometry::BottomRight, [](const QRectF &r) { return r.bottomRight(); }},
    {OverlayItemGeometry::LeftEdge,
     [](const QRectF &r) { return QPointF(r.left(), r.center().y()); }},
    {OverlayItemGeometry::RightEdge,
     [](const QRectF &r) { return QPointF(r.right(), r.center().y()); }},
    {OverlayItemGeometry::TopEdge,
     [](const QRectF &r) { return QPointF(r.center().x(), r.top()); }},
    {OverlayItemGeometry::BottomEdge,
     [](const QRectF &r) { return QPointF(r.center().x(), r.bottom()); }},
};

} // namespace

OverlayItemGeometry::Zone OverlayItemGeometry::zoneAt(const QRectF &rect, QPointF point) {
    for (const Handle &h : kHandles) {
        if (square(h.at(rect), kHandleHitSize).contains(point))
            return h.zone;
    }
    return rect.contains(point) ? Inside : Outside;
}

Qt::CursorShape OverlayItemGeometry::cursorFor(Zone zone) {
    switch (zone) {
    case Inside:
        return Qt::SizeAllCursor;
    case LeftEdge:
    case RightEdge:
        return Qt::SizeHorCursor;
    case TopEdge:
    case BottomEdge:
        return Qt::SizeVerCursor;
    case TopLeft:
    case BottomRight:
        return Qt::SizeFDiagCursor;
    case TopRight:
    case BottomLeft:
        return Qt::SizeBDiagCursor;
    case Outside:
        break;
    }
    return Qt::ArrowCursor;
}

QRectF OverlayItemGeometry::dragged(const QRectF &start, Zone zone, QPointF delta, QSizeF minSize) {
    if (zone == Inside)
        return start.translated(delta);
    qreal left = start.left(), top = start.top(), right = start.right(), bottom = start.bottom();
    const bool moveLeft = zone == LeftEdge || zone == TopLeft || zone == BottomLeft;
    const bool moveRight = zone == RightEdge || zone == TopRight || zone == BottomRight;
    const bool moveTop = zone == TopEdge || zone == TopLeft || zone == TopRight;
    const bool moveBottom = zone == BottomEdge || zone == BottomLeft || zone == BottomRight;
    // The dragged side stops where the opposite side would leave less than the minimum.
    if (moveLeft)
        left = std::min(left + delta.x(), right - minSize.width());
    if (moveRight)
        right = std::max(right + delta.x(), left + minSize.width());
    if (moveTop)
        top = std::min(top + delta.y(), bottom - minSize.height());
    if (moveBottom)
        bottom = std::max(bottom + delta.y(), top + minSize.height());
    return QRectF(QPointF(left, top), QPointF(right, bottom));
}

QRectF OverlayItemGeometry::clamped(const QRectF &box, Zone zone, const QRectF &scene,
                                    qreal extraBelow) {
    QRectF r = box;
    const qreal sceneBottom = scene.bottom() - extraBelow;
    if (zone != Inside && zone != Outside) {
        r.setLeft(std::max(r.left(), scene.left()));
        r.setTop(std::max(r.top(), scene.top()));
        r.setRight(std::min(r.right(), scene.right()));
        r.setBottom(std::min(r.bottom(), sceneBottom));
    }
    // Right and bottom first, so that an item larger than the stage keeps its top-left on it.
    r.moveLeft(std::min(r.left(), scene.right() - r.width()));
    r.moveTop(std::min(r.top(), sceneBottom - r.height()));
    r.moveLeft(std::max(r.left(), scene.left()));
    r.moveTop(std::max(r.top(), scene.top()));
    return r;
}

QPainterPath OverlayItemGeometry::shape(const QRectF &rect) {
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    path.addRect(rect);
    for (const Handle &h : kHandles)
        path.addRect(square(h.at(rect), kHandleHitSize));
    return path;
}

void OverlayItemGeometry::paintSelection(QPainter *painter, const QRectF &rect) {
    painter->save();
    const QColor accent(0x3d, 0xa5, 0xff);
    painter->setPen(QPen(accent, 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(rect.adjusted(1, 1, -1, -1));
    painter->setPen(QPen(Qt::white, 1));
    painter->setBrush(accent);
    painter->drawEllipse(square(rect.center(), 12));
    for (const Handle &h : kHandles)
        painter->drawRect(square(h.at(rect), kHandleSize));
    painter->restore();
}

void OverlayItemGeometry::updateCursor(QGraphicsItem *item, const QRectF &rect, QPointF pos) {
    const Zone zone = zoneAt(rect, pos);
    if (hasCursor(zone))
        item->setCursor(cursorFor(zone));
    else
        item->unsetCursor();
}

bool OverlayItemGeometry::Drag::press(QGraphicsItem *item, const QRectF &rect,
                                      QGraphicsSceneMouseEvent *event) {
    zone_ = event->button() == Qt::LeftButton ? zoneAt(rect, event->pos()) : Outside;
    if (zone_ == Outside) {
        event->ignore();
        return false;
    }
    if (item->scene() && !(event->modifiers() & Qt::ControlModifier))
        item->scene()->clearSelection();
    item->setSelected(true);
    pressScenePos_ = event->scenePos();
    pressBox_ = item->mapRectToScene(rect);
    event->accept();
    return true;
}

QRectF OverlayItemGeometry::Drag::move(const QGraphicsItem *item, QGraphicsSceneMouseEvent *event,
                                       QSizeF minSize, qreal extraBelow) const {
    if (zone_ == Outside || !item->scene())
        return {};
    const QRectF box = dragged(pressBox_, zone_, event->scenePos() - pressScenePos_, minSize);
    return clamped(box, zone_, item->scene()->sceneRect(), extraBelow);
}

QPushButton *OverlayItemGeometry::barButton(const QString &name, const QString &text,
                                            bool checkable) {
    auto *b = new QPushButton(text);
    b->setObjectName(name);
    b->setCheckable(checkable);
    b->setFixedSize(24, 24);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}
