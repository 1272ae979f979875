#include "ui/widgets/ImageOverlayWidget.h"

#include "overlays/BoundedImageLoader.h"
#include "ui/BilingualText.h"

#include <QFutureWatcher>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsSceneHoverEvent>
#include <QGraphicsSceneMouseEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>

namespace {

using Texts = BilingualText;

const Texts kOpacityTip{u"图片叠加透明度", u"Image overlay opacity"};
const Texts kApplyTip{u"应用图片叠加", u"Apply Image Overlay"};
const Texts kRemoveTip{u"移除图片叠加", u"Remove Image Overlay"};

constexpr qreal kBarHeight = 24;
// Room for the two buttons and a usable slider.
const QSizeF kMinSize(120, 60);

} // namespace

ImageOverlayWidget::ImageOverlayWidget(int mediaId, const QString &filePath, QGraphicsItem *parent)
    : QGraphicsObject(parent), mediaId_(mediaId), filePath_(filePath) {
    setFlag(ItemIsSelectable);
    setAcceptHoverEvents(true);

    auto *bar = new QWidget;
    bar->setObjectName(QStringLiteral("imageOverlayControls"));
    bar->setAttribute(Qt::WA_TranslucentBackground);
    bar->setStyleSheet(QStringLiteral(
        "QPushButton { background: #333; color: white; border: none; padding: 0; }"));
    auto *layout = new QHBoxLayout(bar);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(2);
    opacity_ = new QSlider(Qt::Horizontal);
    opacity_->setObjectName(QStringLiteral("opacitySlider"));
    opacity_->setRange(0, 100);
    opacity_->setValue(100);
    opacity_->setFocusPolicy(Qt::NoFocus);
    apply_ = OverlayItemGeometry::barButton(QStringLiteral("applyButton"), QStringLiteral("✔"));
    remove_ = OverlayItemGeometry::barButton(QStringLiteral("removeButton"), QStringLiteral("✕"));
    layout->addWidget(opacity_, 1);
    layout->addWidget(apply_);
    layout->addWidget(remove_);
    barProxy_ = new QGraphicsProxyWidget(this);
    barProxy_->setWidget(bar);
    placeControls();

    QObject::connect(opacity_, &QSlider::valueChanged, this, [this] { update(); });
    QObject::connect(apply_, &QPushButton::clicked, this, [this] {
        emit overlayApplyRequested(this, filePath_, rectInScene(), opacityValue());
    });
    QObject::connect(remove_, &QPushButton::clicked, this, &ImageOverlayWidget::removeRequested);

    chinese_ = false; // so that the first call writes the texts
    setChineseUi(true);
    startAsyncEditorImageLoad();
}

void ImageOverlayWidget::startAsyncEditorImageLoad() {
    if (filePath_.isEmpty())
        return;
    // A large photo takes longer to decode than a frame period: never on the GUI thread.
    auto *watcher = new QFutureWatcher<QImage>(this);
    const QPointer<ImageOverlayWidget> self(this);
    QObject::connect(watcher, &QFutureWatcher<QImage>::finished, watcher, [self, watcher] {
        watcher->deleteLater();
        if (!self)
            return;
        self->picture_ = watcher->result();
        self->update();
    });
    const QString path = filePath_;
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [path] {
        return BoundedImageLoader::load(path, kEditorPictureLimit, true);
    }));
}

QRectF ImageOverlayWidget::rectInScene() const {
    return mapRectToScene(localRect());
}

void ImageOverlayWidget::setRectInScene(const QRectF &rect) {
    const QRectF box(rect.topLeft(), rect.size().expandedTo(kMinSize));
    setBox(scene() ? OverlayItemGeometry::clamped(box, OverlayItemGeometry::Inside,
                                                  scene()->sceneRect(), 0)
                   : box);
}

double ImageOverlayWidget::opacityValue() const {
    return opacity_->value() / 100.0;
}

void ImageOverlayWidget::setOpacityValue(double opacity) {
    opacity_->setValue(int(std::lround(std::clamp(opacity, 0.0, 1.0) * 100)));
}

void ImageOverlayWidget::applyToProgram() {
    apply_->click();
}

void ImageOverlayWidget::setChineseUi(bool chinese) {
    if (chinese == chinese_)
        return;
    chinese_ = chinese;
    opacity_->setToolTip(kOpacityTip.in(chinese));
    apply_->setToolTip(kApplyTip.in(chinese));
    remove_->setToolTip(kRemoveTip.in(chinese));
}

void ImageOverlayWidget::setBox(const QRectF &box) {
    if (box.size() != size_) {
        prepareGeometryChange();
        size_ = box.size();
        placeControls();
    }
    setPos(box.topLeft());
    emit geometryChanged(rectInScene());
}

void ImageOverlayWidget::placeControls() {
    // Inside the picture along its bottom, clear of the bottom handles.
    barProxy_->setGeometry(QRectF(OverlayItemGeometry::kHandleHitSize,
                                  size_.height() - kBarHeight - OverlayItemGeometry::margin(),
                                  size_.width() - 2 * OverlayItemGeometry::kHandleHitSize,
                                  kBarHeight));
}

QRectF ImageOverlayWidget::boundingRect() const {
    const qreal m = OverlayItemGeometry::margin();
    return localRect().adjusted(-m, -m, m, m);
}

QPainterPath ImageOverlayWidget::shape() const {
    return OverlayItemGeometry::shape(localRect());
}

void ImageOverlayWidget::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *) {
    if (picture_.isNull()) {
        painter->fillRect(localRect(), QColor(0x2a, 0x2d, 0x33));
    } else {
        painter->save();
        painter->setOpacity(opacityValue());
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->drawImage(localRect(), picture_);
        painter->restore();
    }
    if (isSelected())
        OverlayItemGeometry::paintSelection(painter, localRect());
}

void ImageOverlayWidget::hoverMoveEvent(QGraphicsSceneHoverEvent *event) {
    OverlayItemGeometry::updateCursor(this, localRect(), event->pos());
}

void ImageOverlayWidget::hoverLeaveEvent(QGraphicsSceneHoverEvent *) {
    unsetCursor();
}

void ImageOverlayWidget::mousePressEvent(QGraphicsSceneMouseEvent *event) {
    drag_.press(this, localRect(), event);
}

void ImageOverlayWidget::mouseMoveEvent(QGraphicsSceneMouseEvent *event) {
    const QRectF box = drag_.move(this, event, kMinSize, 0);
    if (!box.isNull())
        setBox(box);
}

void ImageOverlayWidget::mouseReleaseEvent(QGraphicsSceneMouseEvent *) {
    drag_.release();
}
