#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <Qt>

class QGraphicsItem;
class QGraphicsSceneMouseEvent;
class QPainter;
class QPainterPath;
class QPushButton;

// The move/resize handling shared by the stage's items: which zone of an item a point falls in,
// the cursor for it, how a drag changes the item's box, and how the box is kept on the stage.
// Boxes are in scene units (top-left = the item's position).
class OverlayItemGeometry {
public:
    enum Zone {
        Outside = 0,
        Inside = 1,
        LeftEdge = 2,
        RightEdge = 3,
        TopEdge = 4,
        BottomEdge = 5,
        TopLeft = 6,
        TopRight = 7,
        BottomLeft = 8,
        BottomRight = 9,
    };

    // A 24 x 24 button of an item's bar; it never takes the keyboard focus from the stage.
    static QPushButton *barButton(const QString &name, const QString &text, bool checkable = false);

    static constexpr qreal kHandleSize = 8;     // drawn squares
    static constexpr qreal kHandleHitSize = 10; // a little more forgiving to hit

    // `rect` is the item's own rectangle. Corners win over edges, edges over the inside.
    static Zone zoneAt(const QRectF &rect, QPointF point);
    // False for Outside: the cursor is then unset.
    static bool hasCursor(Zone zone) { return zone != Outside; }
    static Qt::CursorShape cursorFor(Zone zone);

    // The box after dragging `zone` by `delta`, never smaller than `minSize`.
    static QRectF dragged(const QRectF &start, Zone zone, QPointF delta, QSizeF minSize);
    // The box kept inside `scene`, with `extraBelow` units under it that must fit as well
    // (a control bar). Moving keeps the size; resizing gives up size at the scene edges.
    static QRectF clamped(const QRectF &box, Zone zone, const QRectF &scene, qreal extraBelow);

    // A 2-pixel border, a circle at the centre and the handle squares.
    static void paintSelection(QPainter *painter, const QRectF &rect);
    // What of an item takes the mouse: its rectangle and the handles reaching out of it.
    static QPainterPath shape(const QRectF &rect);
    // The cursor over `pos` (item coordinates) of an item whose own rectangle is `rect`.
    static void updateCursor(QGraphicsItem *item, const QRectF &rect, QPointF pos);

    // One press-drag-release on an item whose own rectangle is `rect`.
    class Drag {
    public:
        // Selects the item and starts; false (and the event ignored) when the press misses it.
        bool press(QGraphicsItem *item, const QRectF &rect, QGraphicsSceneMouseEvent *event);
        // The item's new box on the scene, or a null rectangle when no drag is on.
        QRectF move(const QGraphicsItem *item, QGraphicsSceneMouseEvent *event, QSizeF minSize,
                    qreal extraBelow) const;
        void release() { zone_ = Outside; }

    private:
        Zone zone_ = Outside;
        QPointF pressScenePos_;
        QRectF pressBox_;
    };

    // The margin around the item's rectangle that the handles cover.
    static qreal margin() { return kHandleHitSize / 2 + 1; }
};
