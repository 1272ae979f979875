#include "overlays/DoodleCanvas.h"

#include "pipeline/OverlayManager.h"

#include <QBuffer>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <QSaveFile>

#include <cmath>

namespace {

QImage blankCanvas() {
    QImage image(DoodleCanvas::kWidth, DoodleCanvas::kHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

} // namespace

DoodleCanvas::DoodleCanvas(OverlayManager *target, QObject *parent)
    : QObject(parent), target_(target) {
    if (target_) {
        history_.append(blankCanvas());
        target_->setDoodleImage(history_.last());
    }
}

void DoodleCanvas::setTool(int tool) {
    if (tool < None || tool > Eraser)
        return;
    tool_ = tool;
    if (tool_ != Polygon)
        polygonPoints_.clear();
}

void DoodleCanvas::setPenColor(const QColor &color) {
    if (color.isValid())
        penColor_ = color;
}

void DoodleCanvas::setPenWidth(int width) {
    penWidth_ = qBound(kMinPenWidth, width, kMaxPenWidth);
}

void DoodleCanvas::setViewSize(QSize size) {
    if (size.width() > 0 && size.height() > 0)
        viewSize_ = size;
}

QPoint DoodleCanvas::toCanvas(QPoint viewPos) const {
    if (viewSize_.width() <= 0 || viewSize_.height() <= 0)
        return viewPos;
    // The picture keeps its aspect in the view and sits in the middle; the bars around it are
    // not part of the drawing, and points there are not clamped, so a stroke that leaves the
    // picture keeps heading towards its edge.
    const double scale =
        std::min(double(viewSize_.width()) / kWidth, double(viewSize_.height()) / kHeight);
    const double left = (viewSize_.width() - kWidth * scale) / 2;
    const double top = (viewSize_.height() - kHeight * scale) / 2;
    return QPoint(int(std::lround((viewPos.x() - left) / scale)),
                  int(std::lround((viewPos.y() - top) / scale)));
}

void DoodleCanvas::press(QPoint viewPos) {
    if (!target_ || tool_ == None)
        return;
    startPoint_ = lastPoint_ = toCanvas(viewPos);
    if (tool_ == Polygon)
        polygonPoints_.append(startPoint_);
    // The manager's picture is what the operator sees; fall back to ours should it hold none.
    const QImage &shown = target_->doodleImage();
    const bool usable = shown.size() == QSize(kWidth, kHeight) &&
                        shown.format() == QImage::Format_ARGB32_Premultiplied;
    push(usable ? shown : history_.isEmpty() ? blankCanvas() : history_.last());
}

void DoodleCanvas::move(QPoint viewPos) {
    if (!drawing())
        return;
    const QPoint point = toCanvas(viewPos);
    QImage next = history_.last();
    if (tool_ == Pen || tool_ == Eraser) {
        QPainter painter(&next);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(penColor_, penWidth_, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        if (tool_ == Eraser) {
            painter.setCompositionMode(QPainter::CompositionMode_Clear);
            painter.setBrush(Qt::transparent);
        }
        painter.drawLine(lastPoint_, point);
    }
    lastPoint_ = point;
    history_.last() = next;
    commit();
}

void DoodleCanvas::release(QPoint viewPos) {
    if (!drawing())
        return;
    const QPoint point = toCanvas(viewPos);
    QImage next = history_.last();
    {
        QPainter painter(&next);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(penColor_, penWidth_, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        switch (tool_) {
        case Line:
            painter.drawLine(startPoint_, point);
            break;
        case Rectangle:
            painter.drawRect(QRect(startPoint_, point).normalized());
            break;
        case Ellipse:
            painter.drawEllipse(QRect(startPoint_, point).normalized());
            break;
        case Polygon:
            if (polygonPoints_.size() > 1)
                painter.drawPolygon(QPolygon(polygonPoints_), Qt::OddEvenFill);
            break;
        case Curve: {
            QPainterPath path(startPoint_);
            path.quadTo(QPoint((startPoint_.x() + point.x()) / 2, startPoint_.y() - 80), point);
            painter.drawPath(path);
            break;
        }
        default: // the pen and the eraser drew while moving
            break;
        }
    }
    history_.last() = next;
    commit();
}

void DoodleCanvas::undo() {
    if (!target_ || history_.size() <= 1)
        return;
    history_.removeLast();
    commit();
}

void DoodleCanvas::clear() {
    if (!target_)
        return;
    push(blankCanvas());
    commit();
}

bool DoodleCanvas::savePng(const QString &path, QString *error) const {
    const auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    if (history_.isEmpty())
        return fail(tr("There is no drawing to save."));
    // Encoded in memory first: the PNG writer does not notice a short write (a full disk), so
    // the byte count is checked here before the old file is replaced.
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!history_.last().save(&buffer, "PNG"))
        return fail(tr("The picture could not be encoded."));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(file.errorString());
    if (file.write(png) != png.size()) {
        const QString reason = file.error() != QFileDevice::NoError
                                   ? file.errorString()
                                   : tr("The file could not be written completely.");
        file.cancelWriting();
        return fail(reason);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

QImage DoodleCanvas::image() const {
    return history_.isEmpty() ? QImage() : history_.last();
}

void DoodleCanvas::push(const QImage &image) {
    history_.append(image);
    // The first entry is the state before the oldest undoable drawing.
    while (history_.size() > kHistoryLimit + 1)
        history_.removeFirst();
}

void DoodleCanvas::commit() {
    target_->setDoodleImage(history_.last());
    emit canvasChanged();
}
