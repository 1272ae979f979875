#include "ui/panels/ImagePlaybackPanel.h"

#include "ui/widgets/ImageItem.h"

#include <QDir>
#include <QFileDialog>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

ImagePlaybackPanel::DirectoryChooser &directoryChooser() {
    static ImagePlaybackPanel::DirectoryChooser chooser;
    return chooser;
}

const QString kLabelStyle =
    QStringLiteral("QLabel { color:#d4af37; font-weight:bold; font-size:13px; }");
const QString kSpinStyle = QStringLiteral(
    "QSpinBox { background:#2b2d33; color:#d4af37; border:1px solid #50535f; padding:2px; }"
    "QSpinBox:disabled { background:#3c3f48; color:#50535f; }");
const QString kToolStyle =
    QStringLiteral("QToolButton { background:#2b2d33; color:#d4af37; border:1px solid #50535f;"
                   " border-radius:3px; }"
                   "QToolButton:hover { background:#3c3f48; }"
                   "QToolButton:checked { background:#50535f; border-color:#d4af37; }"
                   "QToolButton:disabled { color:#50535f; }");
const QString kViewStyle =
    QStringLiteral("QGraphicsView { border:1px solid #8c7a4b; background:#17191d; }");

struct Text {
    const char16_t *chinese, *english;
};
QString pick(bool chinese, const Text &t) {
    return QString::fromUtf16(chinese ? t.chinese : t.english);
}

const Text kFolderLabel{u"图片目录", u"Image Folder"};
const Text kBrowse{u"浏览目录", u"Browse"};
const Text kIntervalTip{u"每张图片显示时长：200–10000 ms）", u"Duration per image: 200-10000 ms"};
const Text kPlay{u"播放图片", u"Play Images"};
const Text kStop{u"停止播放", u"Stop Playback"};
const Text kPlayTip{u"按间隔轮播列表中的图片；再次点击停止",
                    u"Play images in list by interval; click again to stop"};
const Text kStopTip{u"结束图片轮播并恢复无基底画面",
                    u"Stop image playback and return to no-base scene"};
const Text kLoopOnTip{
    u"循环：开 — 轮播结束后从首张继续；再点此按钮可关闭",
    u"Loop ON - continue from first image after last one; click again to disable"};
const Text kLoopOffTip{u"循环：关 — 播完最后一张后自动停止；再点此按钮可开启",
                       u"Loop OFF - stop automatically after last image; click again to enable"};
const Text kViewTip{u"拖动缩略图调整播放顺序；右键或 Delete 键删除选中的图片",
                    u"Drag a thumbnail to change the play order; right-click or Delete removes "
                    u"the selected images"};
const Text kDialogCaption{u"选择图片目录", u"Select image folder"};

} // namespace

ImagePlaybackPanel::ImagePlaybackPanel(QWidget *parent)
    : QWidget(parent), folderLabel_(new QLabel), folderPath_(new QLineEdit),
      browse_(new QPushButton), interval_(new QSpinBox), loop_(new QToolButton),
      play_(new QPushButton), view_(new QGraphicsView), scene_(new QGraphicsScene(this)) {
    folderLabel_->setObjectName(QStringLiteral("imageFolderLabel"));
    folderLabel_->setStyleSheet(kLabelStyle);
    folderPath_->setObjectName(QStringLiteral("imageFolderPath"));
    folderPath_->setProperty("userContent", true);
    browse_->setObjectName(QStringLiteral("imageBrowseButton"));

    interval_->setObjectName(QStringLiteral("imageIntervalSpin"));
    interval_->setRange(200, 10000);
    interval_->setValue(2000);
    interval_->setSuffix(QStringLiteral(" ms"));
    interval_->setFixedWidth(100);
    interval_->setStyleSheet(kSpinStyle);

    loop_->setObjectName(QStringLiteral("imageLoopButton"));
    loop_->setAccessibleName(QStringLiteral("imageSequenceLoop"));
    loop_->setText(QStringLiteral("↻"));
    loop_->setCheckable(true);
    loop_->setChecked(true);
    loop_->setFixedSize(30, 28);
    loop_->setStyleSheet(kToolStyle);

    play_->setObjectName(QStringLiteral("imagePlayButton"));

    view_->setObjectName(QStringLiteral("imageView"));
    view_->setScene(scene_);
    view_->setDragMode(QGraphicsView::RubberBandDrag);
    view_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    view_->setStyleSheet(kViewStyle);
    view_->installEventFilter(this);
    view_->viewport()->installEventFilter(this);

    auto *layout = new QVBoxLayout(this);
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(folderLabel_);
    folderRow->addWidget(folderPath_, 1);
    folderRow->addWidget(browse_);
    layout->addLayout(folderRow);
    auto *playRow = new QHBoxLayout;
    playRow->addWidget(interval_);
    playRow->addWidget(loop_);
    playRow->addWidget(play_, 1);
    layout->addLayout(playRow);
    layout->addWidget(view_, 1);

    connect(browse_, &QPushButton::clicked, this,
            qOverload<>(&ImagePlaybackPanel::addImagesFromDirectory));
    connect(play_, &QPushButton::clicked, this, &ImagePlaybackPanel::onPlayClicked);
    connect(loop_, &QToolButton::toggled, this, &ImagePlaybackPanel::refreshTexts);

    setChineseUi(true);
}

void ImagePlaybackPanel::setDirectoryChooser(DirectoryChooser chooser) {
    directoryChooser() = std::move(chooser);
}

QStringList ImagePlaybackPanel::paths() const {
    QStringList list;
    list.reserve(items_.size());
    for (const ImageItem *item : items_)
        list << item->path();
    return list;
}

void ImagePlaybackPanel::setPlaying(bool playing) {
    playing_ = playing;
    interval_->setEnabled(!playing);
    loop_->setEnabled(!playing);
    refreshTexts();
}

void ImagePlaybackPanel::setChineseUi(bool chinese) {
    chinese_ = chinese;
    folderLabel_->setText(pick(chinese, kFolderLabel));
    browse_->setText(pick(chinese, kBrowse));
    interval_->setToolTip(pick(chinese, kIntervalTip));
    view_->setToolTip(pick(chinese, kViewTip));
    refreshTexts();
}

void ImagePlaybackPanel::refreshTexts() {
    play_->setText(pick(chinese_, playing_ ? kStop : kPlay));
    play_->setToolTip(pick(chinese_, playing_ ? kStopTip : kPlayTip));
    loop_->setToolTip(pick(chinese_, loop_->isChecked() ? kLoopOnTip : kLoopOffTip));
}

void ImagePlaybackPanel::addImagesFromDirectory() {
    const QString caption = pick(chinese_, kDialogCaption);
    const DirectoryChooser &chooser = directoryChooser();
    const QString folder =
        chooser ? chooser(this, caption)
                : QFileDialog::getExistingDirectory(this, caption, folderPath_->text(),
                                                    QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    addImagesFromDirectory(folder);
}

void ImagePlaybackPanel::addImagesFromDirectory(const QString &folder) {
    folderPath_->setText(folder);
    const QStringList filters{QStringLiteral("*.png"), QStringLiteral("*.jpg"),
                              QStringLiteral("*.jpeg"), QStringLiteral("*.bmp"),
                              QStringLiteral("*.gif")};
    const QFileInfoList files =
        QDir(folder).entryInfoList(filters, QDir::Files, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &file : files) {
        auto *item = new ImageItem(file.absoluteFilePath());
        scene_->addItem(item);
        items_.append(item);
        connect(item, &ImageItem::selectedChanged, this,
                &ImagePlaybackPanel::onItemSelectedChanged);
        connect(item, &ImageItem::endDrag, this, &ImagePlaybackPanel::onItemReleased);
    }
    layoutItems();
}

void ImagePlaybackPanel::removeSelectedImages() {
    const QList<QGraphicsItem *> selected = scene_->selectedItems();
    if (selected.isEmpty())
        return;
    for (QGraphicsItem *graphicsItem : selected) {
        auto *item = static_cast<ImageItem *>(graphicsItem);
        items_.removeOne(item);
        delete item;
    }
    layoutItems();
}

void ImagePlaybackPanel::onItemReleased(ImageItem *item) {
    const qsizetype from = items_.indexOf(item);
    if (from < 0)
        return;
    // The nearest cell of the grid, so a drop beside or above it never indexes outside the list.
    const QPointF centre = item->mapToScene(item->QGraphicsPixmapItem::boundingRect().center());
    const int column =
        std::clamp(static_cast<int>(std::floor(centre.x() / kCellSize)), 0, kColumns - 1);
    const int row = std::max(0, static_cast<int>(std::floor(centre.y() / kCellSize)));
    const qsizetype target =
        std::min<qsizetype>(qsizetype(row) * kColumns + column, items_.size() - 1);
    if (target != from)
        items_.move(from, target);
    layoutItems();
}

void ImagePlaybackPanel::layoutItems() {
    for (qsizetype i = 0; i < items_.size(); ++i)
        items_[i]->setPos(QPointF((i % kColumns) * kCellSize, (i / kColumns) * kCellSize));
    // The grid, not the items: a thumbnail dragged outside must not shift the view.
    const qsizetype rows = (items_.size() + kColumns - 1) / kColumns;
    scene_->setSceneRect(0, 0, kColumns * kCellSize, qreal(rows) * kCellSize);
}

void ImagePlaybackPanel::onItemSelectedChanged(ImageItem *item, bool selected, bool shiftPressed) {
    if (!shiftPressed) {
        for (ImageItem *other : std::as_const(items_))
            if (other != item)
                other->setHighlighted(false);
    }
    item->setHighlighted(selected);
}

void ImagePlaybackPanel::onPlayClicked() {
    if (playing_) {
        emit imagePlayStopRequested();
        return;
    }
    if (items_.isEmpty())
        return;
    emit imagePlayRequested(paths(), interval_->value(), loop_->isChecked());
}

bool ImagePlaybackPanel::eventFilter(QObject *watched, QEvent *event) {
    if (watched == view_->viewport() && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent *>(event)->button() == Qt::RightButton) {
        removeSelectedImages();
        return true;
    }
    if (watched == view_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Delete) {
        removeSelectedImages();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
