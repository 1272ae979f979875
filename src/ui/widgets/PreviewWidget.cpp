#include "ui/widgets/PreviewWidget.h"

#include "overlays/DoodleInput.h"
#include "pipeline/OverlayManager.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// Rounded to the nearest integer, halves away from zero, limited to the range of int.
int roundToInt(double v) {
    if (std::isnan(v))
        return 0;
    return int(std::clamp(std::round(v), double(INT_MIN), double(INT_MAX)));
}

QPoint layerPoint(const QMouseEvent *event) {
    const QPointF p = event->position();
    return QPoint(roundToInt(p.x()), roundToInt(p.y()));
}

// The frame's bytes as an image without a copy; null when the buffer cannot hold the picture.
// The image must not outlive the frame. Program frames are opaque, so their RGBA bytes are read
// as RGBX: smooth scaling takes that format as it is, where RGBA would first be converted to
// premultiplied ARGB at full size, which costs about twice the scaling itself.
QImage wrapFrame(const FrameToken &frame) {
    if (frame.width < 1 || frame.height < 1 || frame.stride < qsizetype(frame.width) * 4 ||
        frame.data.size() < qsizetype(frame.stride) * frame.height)
        return {};
    return QImage(reinterpret_cast<const uchar *>(frame.data.constData()), frame.width,
                  frame.height, frame.stride, QImage::Format_RGBX8888);
}

} // namespace

// Catches the mouse over the picture for the drawing canvas and paints nothing.
class PreviewWidget::DoodleLayer : public QWidget {
public:
    explicit DoodleLayer(PreviewWidget *owner) : QWidget(owner), owner_(owner) {
        setObjectName(QStringLiteral("doodleLayer"));
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_NoSystemBackground);
        setAttribute(Qt::WA_MouseTracking);
    }

protected:
    void mousePressEvent(QMouseEvent *event) override {
        if (DoodleInput *canvas = owner_->doodleCanvas_)
            canvas->beginStroke(layerPoint(event));
        event->accept();
    }
    void mouseReleaseEvent(QMouseEvent *event) override {
        if (DoodleInput *canvas = owner_->doodleCanvas_)
            canvas->endStroke(layerPoint(event));
        event->accept();
    }
    void mouseMoveEvent(QMouseEvent *event) override {
        // Mouse tracking delivers moves without a button too; those draw nothing.
        DoodleInput *canvas = owner_->doodleCanvas_;
        if (canvas && (event->buttons() & Qt::LeftButton))
            canvas->continueStroke(layerPoint(event));
        event->accept();
    }
    void paintEvent(QPaintEvent *) override {}

private:
    PreviewWidget *owner_;
};

PreviewWidget::PreviewWidget(QWidget *parent) : QWidget(parent) {
    setMinimumSize(640, 360);
    setAttribute(Qt::WA_MouseTracking);
    setStyleSheet(QStringLiteral("background:black;"));

    display_ = new QLabel(this);
    display_->setObjectName(QStringLiteral("display"));
    display_->setAlignment(Qt::AlignCenter);
    display_->setScaledContents(false);

    doodleLayer_ = new DoodleLayer(this);
    doodleLayer_->raise();
}

PreviewWidget::~PreviewWidget() = default;

void PreviewWidget::setOverlayManager(OverlayManager *manager) {
    if (overlayManager_)
        disconnect(overlayManager_, &OverlayManager::doodleOverlayChanged, this, nullptr);
    overlayManager_ = manager;
    if (overlayManager_ && doodleLayer_) {
        DoodleLayer *layer = doodleLayer_;
        connect(overlayManager_, &OverlayManager::doodleOverlayChanged, this,
                [layer] { layer->update(); });
    }
}

void PreviewWidget::setDoodleCanvas(DoodleInput *canvas) {
    doodleCanvas_ = canvas;
    if (doodleCanvas_ && doodleLayer_)
        doodleCanvas_->setViewSize(doodleLayer_->size());
}

void PreviewWidget::setProgramFrame(FrameTokenPtr frame) {
    // An older frame still waiting is dropped unseen.
    pendingFrame_ = std::move(frame);
    if (!refreshScheduled_) {
        refreshScheduled_ = true;
        queueApply();
    }
}

void PreviewWidget::setProgramImage(QImage img) {
    currentFrame_.reset();
    programImage_ = std::move(img);
    refreshDisplay();
}

void PreviewWidget::clearProgram() {
    pendingFrame_.reset();
    refreshScheduled_ = false;
    currentFrame_.reset();
    programImage_ = QImage();
    display_->clear();
}

void PreviewWidget::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    const QRect all(0, 0, width(), height());
    display_->setGeometry(all);
    doodleLayer_->setGeometry(all);
    if (doodleCanvas_)
        doodleCanvas_->setViewSize(all.size());
    refreshDisplay();
}

void PreviewWidget::queueApply() {
    QTimer::singleShot(0, this, &PreviewWidget::applyPendingFrame);
}

void PreviewWidget::applyPendingFrame() {
    // clearProgram() cancelled this pass; a later frame has queued its own.
    if (!refreshScheduled_)
        return;
    FrameTokenPtr frame = std::move(pendingFrame_);
    pendingFrame_.reset();
    programImage_ = QImage();
    if (frame && frame->hasPicture())
        currentFrame_ = std::move(frame);
    else
        currentFrame_.reset();
    refreshDisplay();
    if (pendingFrame_)
        queueApply();
    else
        refreshScheduled_ = false;
}

void PreviewWidget::refreshDisplay() {
    const QSize area = display_->size();
    if (area.width() <= 0 || area.height() <= 0)
        return;
    const qreal dpr = std::max<qreal>(1.0, devicePixelRatio());
    const QSize target(roundToInt(area.width() * dpr), roundToInt(area.height() * dpr));

    QImage source;
    if (currentFrame_ && currentFrame_->hasPicture()) {
        source = wrapFrame(*currentFrame_);
        if (source.isNull()) {
            display_->setPixmap(QPixmap());
            return;
        }
    } else if (programImage_.isNull()) {
        display_->clear();
        return;
    } else {
        source = programImage_;
    }
    QImage scaled = source.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // At the same size scaling hands back the frame's own bytes; the pixmap must not keep them,
    // they go back to the pool with the frame.
    if (scaled.constBits() == source.constBits())
        scaled = scaled.copy();
    QPixmap pixmap = QPixmap::fromImage(std::move(scaled));
    pixmap.setDevicePixelRatio(dpr);
    display_->setPixmap(pixmap);
}
