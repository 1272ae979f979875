#include "ui/widgets/VideoOverlayWidget.h"

#include "ui/BilingualText.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsSceneHoverEvent>
#include <QGraphicsSceneMouseEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

namespace {

using Texts = BilingualText;

const Texts kVolumeTip{u"叠加本地监听音量（与调音台主预览/叠加预览推子独立）",
                       u"Overlay local monitor volume (independent from mixer preview faders)"};
const Texts kLoopTip{u"叠加循环（与通道 ⟲ 不同）", u"Overlay loop (independent from channel loop)"};
const Texts kAttachTip{u"叠加到节目输出", u"Attach to Program Output"};
const Texts kDetachTip{u"取消叠加", u"Detach Overlay"};

const QString kPlayText = QStringLiteral("▶");
const QString kPauseText = QStringLiteral("⏸");

// The control bar needs this much room for its buttons and two usable sliders.
const QSizeF kMinSize(200, 90);

QSlider *barSlider(const QString &name, int maximum, int value) {
    auto *s = new QSlider(Qt::Horizontal);
    s->setObjectName(name);
    s->setRange(0, maximum);
    s->setValue(value);
    s->setMinimumWidth(20);
    s->setFocusPolicy(Qt::NoFocus);
    return s;
}

} // namespace

VideoOverlayWidget::VideoOverlayWidget(int mediaId, const QString &filePath, QGraphicsItem *parent)
    : QGraphicsObject(parent), mediaId_(mediaId), filePath_(filePath) {
    setFlag(ItemIsSelectable);
    setAcceptHoverEvents(true);

    // Behind this item's own painting, so the selection is drawn over the picture.
    preview_ = new QGraphicsPixmapItem(this);
    preview_->setFlag(ItemStacksBehindParent);
    preview_->setAcceptedMouseButtons(Qt::NoButton);

    auto *bar = new QWidget;
    bar->setObjectName(QStringLiteral("videoOverlayControls"));
    bar->setAttribute(Qt::WA_TranslucentBackground);
    bar->setStyleSheet(
        QStringLiteral("QPushButton { background: #333; color: white; border: none; padding: 0; }"
                       "QPushButton:checked { background: #3da5ff; }"));
    auto *layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(2);
    play_ = OverlayItemGeometry::barButton(QStringLiteral("playButton"), kPlayText);
    stop_ = OverlayItemGeometry::barButton(QStringLiteral("stopButton"), QStringLiteral("■"));
    position_ = barSlider(QStringLiteral("positionSlider"), 1000, 0);
    volume_ = barSlider(QStringLiteral("volumeSlider"), 100, kDefaultVolume);
    loop_ = OverlayItemGeometry::barButton(QStringLiteral("loopButton"), QStringLiteral("↻"), true);
    attach_ =
        OverlayItemGeometry::barButton(QStringLiteral("attachButton"), QStringLiteral("📺"), true);
    remove_ = OverlayItemGeometry::barButton(QStringLiteral("removeButton"), QStringLiteral("✕"));
    layout->addWidget(play_);
    layout->addWidget(stop_);
    layout->addWidget(position_, 3);
    layout->addWidget(volume_, 1);
    layout->addWidget(loop_);
    layout->addWidget(attach_);
    layout->addWidget(remove_);

    barProxy_ = new QGraphicsProxyWidget(this);
    barProxy_->setWidget(bar);
    // The bottom handles reach over the bar's top and must win there.
    barProxy_->setFlag(ItemStacksBehindParent);
    barProxy_->setGeometry(QRectF(0, size_.height(), size_.width(), kControlBarHeight));

    QObject::connect(play_, &QPushButton::clicked, this, [this] { togglePlay(); });
    QObject::connect(stop_, &QPushButton::clicked, this, [this] { stop(); });
    QObject::connect(position_, &QSlider::sliderMoved, this, [this] { seekFromSlider(); });
    QObject::connect(position_, &QSlider::sliderReleased, this, [this] { seekFromSlider(); });
    QObject::connect(volume_, &QSlider::valueChanged, this,
                     &VideoOverlayWidget::overlayLocalVolumeChanged);
    QObject::connect(loop_, &QPushButton::toggled, this, &VideoOverlayWidget::overlayLoopToggled);
    QObject::connect(attach_, &QPushButton::toggled, this,
                     [this](bool checked) { attachToggled(checked); });
    QObject::connect(remove_, &QPushButton::clicked, this, &VideoOverlayWidget::removeRequested);

    chinese_ = false; // so that the first call writes the texts
    setChineseUi(true);
}

QRectF VideoOverlayWidget::rectInScene() const {
    return mapRectToScene(localRect());
}

void VideoOverlayWidget::setRectInScene(const QRectF &rect) {
    const QRectF box(rect.topLeft(), rect.size().expandedTo(kMinSize));
    setBox(scene() ? OverlayItemGeometry::clamped(box, OverlayItemGeometry::Inside,
                                                  scene()->sceneRect(), kControlBarHeight)
                   : box);
}

void VideoOverlayWidget::setBox(const QRectF &box) {
    if (box.size() != size_) {
        prepareGeometryChange();
        size_ = box.size();
        barProxy_->setGeometry(QRectF(0, size_.height(), size_.width(), kControlBarHeight));
        refreshPreview();
    }
    setPos(box.topLeft());
    emit geometryChanged(rectInScene());
}

void VideoOverlayWidget::setAttached(bool attached) {
    attached_ = attached;
    {
        const QSignalBlocker blocker(attach_);
        attach_->setChecked(attached);
    }
    refreshAttachTip();
}

void VideoOverlayWidget::attachToProgram() {
    attach_->setChecked(true);
}

void VideoOverlayWidget::setDurationMs(int64_t ms) {
    durationMs_ = std::max<int64_t>(ms, 0);
}

void VideoOverlayWidget::setFrame(const QImage &frame, qint64 positionMs) {
    if (playing_)
        positionMs_ = positionMs;
    if (!frame.isNull()) {
        frame_ = frame;
        refreshPreview();
    }
    if (durationMs_ >= 1 && !position_->isSliderDown()) {
        const QSignalBlocker blocker(position_);
        position_->setValue(int(std::clamp<int64_t>(positionMs_ * 1000 / durationMs_, 0, 1000)));
    }
}

void VideoOverlayWidget::playbackFinished() {
    setPlaying(false);
}

void VideoOverlayWidget::reset() {
    setPlaying(false);
    positionMs_ = 0;
    {
        const QSignalBlocker blocker(position_);
        position_->setValue(0);
    }
    clearPreview();
    setAttached(false);
}

bool VideoOverlayWidget::isLoop() const {
    return loop_->isChecked();
}

int VideoOverlayWidget::volume() const {
    return volume_->value();
}

void VideoOverlayWidget::setChineseUi(bool chinese) {
    if (chinese == chinese_)
        return;
    chinese_ = chinese;
    volume_->setToolTip(kVolumeTip.in(chinese));
    loop_->setToolTip(kLoopTip.in(chinese));
    refreshAttachTip();
}

void VideoOverlayWidget::setPreviewActive(bool active) {
    if (active == previewActive_)
        return;
    previewActive_ = active;
    refreshPreview();
}

void VideoOverlayWidget::setPlaying(bool playing) {
    playing_ = playing;
    play_->setText(playing ? kPauseText : kPlayText);
}

void VideoOverlayWidget::togglePlay() {
    setPlaying(!playing_);
    emit overlayDecoderSyncRequested(positionMs_, playing_);
}

void VideoOverlayWidget::stop() {
    setPlaying(false);
    positionMs_ = 0;
    clearPreview();
    {
        const QSignalBlocker blocker(position_);
        position_->setValue(0);
    }
    emit overlayDecoderSyncRequested(0, false);
}

void VideoOverlayWidget::seekFromSlider() {
    // Without a known length the slider says nothing about a position.
    if (durationMs_ < 1)
        return;
    positionMs_ = int64_t(position_->sliderPosition()) * durationMs_ / 1000;
    emit overlayDecoderSyncRequested(positionMs_, playing_);
}

void VideoOverlayWidget::attachToggled(bool checked) {
    refreshAttachTip();
    if (!checked) {
        emit overlayDetachFromProgramRequested();
        return;
    }
    if (!playing_)
        setPlaying(true);
    emit overlayApplyRequested(this, filePath_, rectInScene(), positionMs_, playing_);
}

void VideoOverlayWidget::refreshAttachTip() {
    attach_->setToolTip((attach_->isChecked() ? kDetachTip : kAttachTip).in(chinese_));
}

void VideoOverlayWidget::refreshPreview() {
    if (frame_.isNull() || !previewActive_)
        return;
    preview_->setPixmap(QPixmap::fromImage(
        frame_.scaled(size_.toSize(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    update();
}

void VideoOverlayWidget::clearPreview() {
    frame_ = QImage();
    preview_->setPixmap(QPixmap());
    update();
}

QRectF VideoOverlayWidget::boundingRect() const {
    const qreal m = OverlayItemGeometry::margin();
    return localRect().adjusted(-m, -m, m, m);
}

QPainterPath VideoOverlayWidget::shape() const {
    return OverlayItemGeometry::shape(localRect());
}

void VideoOverlayWidget::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *) {
    if (preview_->pixmap().isNull())
        painter->fillRect(localRect(), Qt::black);
    if (isSelected())
        OverlayItemGeometry::paintSelection(painter, localRect());
}

void VideoOverlayWidget::hoverMoveEvent(QGraphicsSceneHoverEvent *event) {
    OverlayItemGeometry::updateCursor(this, localRect(), event->pos());
}

void VideoOverlayWidget::hoverLeaveEvent(QGraphicsSceneHoverEvent *) {
    unsetCursor();
}

void VideoOverlayWidget::mousePressEvent(QGraphicsSceneMouseEvent *event) {
    drag_.press(this, localRect(), event);
}

void VideoOverlayWidget::mouseMoveEvent(QGraphicsSceneMouseEvent *event) {
    const QRectF box = drag_.move(this, event, kMinSize, kControlBarHeight);
    if (!box.isNull())
        setBox(box);
}

void VideoOverlayWidget::mouseReleaseEvent(QGraphicsSceneMouseEvent *) {
    drag_.release();
}
