#include "ui/panels/MediaOverlayWidget.h"

#include "ui/BilingualText.h"
#include "ui/widgets/ImageOverlayWidget.h"
#include "ui/widgets/VideoOverlayWidget.h"

#include <QFileDialog>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

using Texts = BilingualText;

const Texts kAddVideo{u"添加视频", u"Add Video"};
const Texts kAddImage{u"添加图片", u"Add Image"};
const Texts kSelectVideo{u"选择视频", u"Select Video"};
const Texts kSelectImage{u"选择图片", u"Select Image"};
const Texts kVideoFilter{u"视频 (*.mp4 *.avi *.mov)", u"Video (*.mp4 *.avi *.mov)"};
const Texts kImageFilter{u"图片 (*.png *.jpg *.bmp)", u"Image (*.png *.jpg *.bmp)"};

MediaOverlayWidget::FileChooser &fileChooser() {
    static MediaOverlayWidget::FileChooser chooser;
    return chooser;
}

} // namespace

void MediaOverlayWidget::setFileChooser(FileChooser chooser) {
    fileChooser() = std::move(chooser);
}

MediaOverlayWidget::MediaOverlayWidget(QWidget *parent) : QWidget(parent) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    auto *buttons = new QHBoxLayout;
    addVideo_ = new QPushButton;
    addVideo_->setObjectName(QStringLiteral("addVideoButton"));
    addImage_ = new QPushButton;
    addImage_->setObjectName(QStringLiteral("addImageButton"));
    buttons->addWidget(addVideo_);
    buttons->addWidget(addImage_);
    buttons->addStretch();
    layout->addLayout(buttons);

    scene_ = new QGraphicsScene(0, 0, kSceneWidth, kSceneHeight, this);
    view_ = new QGraphicsView(scene_);
    view_->setObjectName(QStringLiteral("mediaOverlayView"));
    view_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    view_->setMinimumSize(int(kSceneWidth), int(kSceneHeight));
    view_->setStyleSheet(
        QStringLiteral("QGraphicsView { border: 1px solid #8c7a4b; background: #17191d; }"));
    layout->addWidget(view_, 1);

    connect(addVideo_, &QPushButton::clicked, this, [this] { chooseAndAdd(true); });
    connect(addImage_, &QPushButton::clicked, this, [this] { chooseAndAdd(false); });
    applyTexts();
}

MediaOverlayWidget::~MediaOverlayWidget() = default;

void MediaOverlayWidget::chooseAndAdd(bool video) {
    const QString caption = (video ? kSelectVideo : kSelectImage).in(chinese_);
    const QString filter = (video ? kVideoFilter : kImageFilter).in(chinese_);
    const QString path = fileChooser()
                             ? fileChooser()(this, caption, filter)
                             : QFileDialog::getOpenFileName(this, caption, QString(), filter);
    if (path.isEmpty())
        return;
    const QPointF at(cascadeOffset_ + 10, cascadeOffset_ + 10);
    const bool added =
        video ? addVideoOverlay(path, at) != nullptr : addImageOverlay(path, at) != nullptr;
    if (added)
        cascadeOffset_ += kCascadeStep;
}

VideoOverlayWidget *MediaOverlayWidget::addVideoOverlay(const QString &path, QPointF pos) {
    if (itemCount_ >= kMaxItems || path.isEmpty())
        return nullptr;
    auto *item = new VideoOverlayWidget(nextMediaId_++, path);
    item->setChineseUi(chinese_);
    item->setPreviewActive(shown_);
    scene_->addItem(item);
    item->setRectInScene(
        QRectF(pos, QSizeF(VideoOverlayWidget::kDefaultWidth, VideoOverlayWidget::kDefaultHeight)));
    videos_.insert(item->mediaId(), item);

    connect(item, &VideoOverlayWidget::overlayApplyRequested, this,
            &MediaOverlayWidget::videoOverlayApplyRequested);
    connect(item, &VideoOverlayWidget::overlayLoopToggled, this,
            [this, item](bool on) { emit videoOverlayLoopChanged(item, on); });
    connect(item, &VideoOverlayWidget::overlayDetachFromProgramRequested, this,
            [this, item] { emit videoOverlayDetachRequested(item); });
    connect(item, &VideoOverlayWidget::overlayDecoderSyncRequested, this,
            [this, item](qint64 positionMs, bool playing) {
                emit videoOverlaySyncRequested(item, positionMs, playing);
            });
    connect(item, &VideoOverlayWidget::overlayLocalVolumeChanged, this,
            [this, item] { emit videoOverlayVolumeChanged(item, item->volume()); });
    connect(item, &VideoOverlayWidget::geometryChanged, this,
            [this, item](QRectF rect) { emit videoOverlayGeometryChanged(item, rect); });
    connect(item, &VideoOverlayWidget::removeRequested, this, [this, item] {
        // The window detaches the overlay and frees its decoder before the item goes.
        emit videoOverlayRemoveRequested(item);
        videos_.remove(item->mediaId());
        takeOut(item);
    });

    ++itemCount_;
    emit videoOverlayAdded(item);
    updateAddButtons();
    return item;
}

ImageOverlayWidget *MediaOverlayWidget::addImageOverlay(const QString &path, QPointF pos) {
    if (itemCount_ >= kMaxItems || path.isEmpty())
        return nullptr;
    auto *item = new ImageOverlayWidget(nextMediaId_++, path);
    item->setChineseUi(chinese_);
    scene_->addItem(item);
    item->setRectInScene(
        QRectF(pos, QSizeF(ImageOverlayWidget::kDefaultWidth, ImageOverlayWidget::kDefaultHeight)));
    images_.insert(item->mediaId(), item);

    connect(item, &ImageOverlayWidget::overlayApplyRequested, this,
            &MediaOverlayWidget::imageOverlayApplyRequested);
    connect(item, &ImageOverlayWidget::removeRequested, this, [this, item] {
        emit imageOverlayRemoveRequested(item);
        images_.remove(item->mediaId());
        takeOut(item);
    });

    ++itemCount_;
    emit imageOverlayAdded(item);
    updateAddButtons();
    return item;
}

void MediaOverlayWidget::takeOut(QGraphicsObject *item) {
    item->disconnect(this);
    scene_->removeItem(item);
    // Later: the request may come from a button inside the item.
    item->deleteLater();
    itemCount_ = std::max(itemCount_ - 1, 0);
    updateAddButtons();
}

VideoOverlayWidget *MediaOverlayWidget::videoItem(int mediaId) const {
    return videos_.value(mediaId);
}

ImageOverlayWidget *MediaOverlayWidget::imageItem(int mediaId) const {
    return images_.value(mediaId);
}

void MediaOverlayWidget::updateAddButtons() {
    const bool room = itemCount_ < kMaxItems;
    addVideo_->setEnabled(room);
    addImage_->setEnabled(room);
}

void MediaOverlayWidget::setChineseUi(bool chinese) {
    if (chinese == chinese_)
        return;
    chinese_ = chinese;
    applyTexts();
}

void MediaOverlayWidget::applyTexts() {
    addVideo_->setText(kAddVideo.in(chinese_));
    addImage_->setText(kAddImage.in(chinese_));
    for (VideoOverlayWidget *v : std::as_const(videos_))
        v->setChineseUi(chinese_);
    for (ImageOverlayWidget *i : std::as_const(images_))
        i->setChineseUi(chinese_);
}

void MediaOverlayWidget::setShown(bool shown) {
    shown_ = shown;
    for (VideoOverlayWidget *v : std::as_const(videos_))
        v->setPreviewActive(shown);
}
