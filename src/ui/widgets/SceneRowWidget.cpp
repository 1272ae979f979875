#include "ui/widgets/SceneRowWidget.h"

#include "core/UiLanguage.h"
#include "ui/UserPrompts.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {

QString inLanguage(const QString &chinese, bool toChinese) {
    return toChinese ? chinese : UiLanguage::translate(chinese, false);
}

QComboBox *sourceBox(QWidget *row) {
    auto *box = new QComboBox(row);
    box->setObjectName(QStringLiteral("source"));
    for (int channel = 0; channel < 4; ++channel)
        box->addItem(QStringLiteral(u"通道%1").arg(channel + 1), channel);
    box->addItem(QStringLiteral(u"图片"), SceneRowWidget::kImagePlay);
    return box;
}

} // namespace

SceneRowWidget::SceneRowWidget(const QString &id, const QDateTime &start, QWidget *parent)
    : QWidget(parent), source_(sourceBox(this)), head_(this, id, start, source_) {
    intervalLabel_ = new QLabel(QStringLiteral(u"间隔"), this);
    interval_ = new QSpinBox(this);
    interval_->setObjectName(QStringLiteral("interval"));
    interval_->setRange(200, 10000);
    interval_->setSingleStep(100);
    interval_->setValue(2000);
    interval_->setSuffix(QStringLiteral("ms"));

    folderButton_ = new QPushButton(QStringLiteral(u"目录"), this);
    folderButton_->setObjectName(QStringLiteral("folder"));
    videoButton_ = new QPushButton(QStringLiteral(u"视频"), this);
    videoButton_->setObjectName(QStringLiteral("video"));
    choice_ = new QLabel(this);
    choice_->setObjectName(QStringLiteral("choice"));
    choice_->setProperty("userContent", true);
    // A long path is cut rather than widening the window.
    choice_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto *bottom = new QHBoxLayout;
    bottom->addSpacing(66); // under the source box
    bottom->addWidget(videoButton_);
    bottom->addWidget(folderButton_);
    bottom->addWidget(intervalLabel_);
    bottom->addWidget(interval_);
    bottom->addWidget(choice_, 1);
    head_.stackOver(bottom);

    connect(source_, &QComboBox::currentIndexChanged, this, &SceneRowWidget::onKindUserChanged);
    connect(folderButton_, &QPushButton::clicked, this, &SceneRowWidget::onBrowseDirectory);
    connect(videoButton_, &QPushButton::clicked, this, &SceneRowWidget::onBrowseSceneVideo);
    connect(head_.deleteButton(), &QPushButton::clicked, this,
            [this] { emit deleteRequested(this); });
    connect(&listing_, &QFutureWatcher<QStringList>::finished, this, [this] {
        images_ = listing_.result();
        listed_ = true;
        listingPending_ = false;
        folderButton_->setEnabled(true);
        showChoice();
    });
    setChineseUi(true);
    onKindUserChanged(source_->currentIndex());
}

void SceneRowWidget::setClip(const SceneClip &clip, const QDateTime &baseTime) {
    head_.setId(clip.id);
    head_.setTimes(baseTime, clip.startMs, clip.endMs);
    interval_->setValue(clip.intervalMs);
    if (clip.kind == SceneClip::ImagePlay) {
        source_->setCurrentIndex(source_->findData(kImagePlay));
        setDirectory(clip.imageDirectory, clip.paths);
        if (clip.paths.isEmpty() && !clip.imageDirectory.isEmpty())
            listDirectory();
    } else {
        // A file's video clip plays in the channel it names, like a channel clip.
        source_->setCurrentIndex(qBound(0, clip.channel, 3));
        videoPath_ = clip.sceneVideoPath;
    }
    showChoice();
}

SceneClip SceneRowWidget::toClip(const QDateTime &baseTime) const {
    SceneClip clip;
    clip.id = rowId();
    clip.startMs = head_.startMs(baseTime);
    clip.endMs = head_.endMs(baseTime);
    if (isImagePlay()) {
        clip.kind = SceneClip::ImagePlay;
        clip.imageDirectory = directory_;
        // The folder was listed off this thread when it was chosen.
        clip.paths = images_;
        clip.intervalMs = interval_->value();
        clip.imageLoop = head_.isOpenEnd();
    } else {
        clip.kind = SceneClip::Channel;
        clip.channel = source_->currentData().toInt();
        clip.sceneVideoPath = videoPath_;
    }
    return clip;
}

QString SceneRowWidget::problem() const {
    if (head_.endsBeforeStart())
        return QStringLiteral(u"结束时间必须大于开始时间");
    if (!isImagePlay() && videoPath_.isEmpty())
        return QStringLiteral(u"通道必须选择视频");
    if (isImagePlay() && directory_.isEmpty())
        return QStringLiteral(u"播放图片必须选择目录");
    return {};
}

QString SceneRowWidget::rowId() const {
    return head_.rowId();
}

void SceneRowWidget::setChineseUi(bool chinese) {
    chinese_ = chinese;
    // The language walk leaves the tool tips of spin boxes alone.
    interval_->setToolTip(inLanguage(QStringLiteral(u"每张图片显示时长：200–10000 ms）"), chinese));
    showChoice();
}

void SceneRowWidget::onKindUserChanged(int) {
    const bool images = isImagePlay();
    folderButton_->setVisible(images);
    // The interval only means something for pictures.
    intervalLabel_->setVisible(images);
    interval_->setVisible(images);
    videoButton_->setVisible(!images);
    showChoice();
}

void SceneRowWidget::onBrowseDirectory() {
    const QString directory =
        UserPrompts::chooseDirectory(this, inLanguage(QStringLiteral(u"选择图片目录"), chinese_));
    if (directory.isEmpty())
        return;
    setDirectory(directory, {});
    listDirectory();
}

void SceneRowWidget::onBrowseSceneVideo() {
    const QString path = UserPrompts::chooseOpenFile(
        this, inLanguage(QStringLiteral(u"选择视频文件"), chinese_),
        inLanguage(QStringLiteral(u"视频 (*.mp4 *.avi *.mov *.mkv);;所有文件 (*)"), chinese_));
    if (path.isEmpty())
        return;
    videoPath_ = path;
    showChoice();
}

void SceneRowWidget::setDirectory(const QString &directory, const QStringList &images) {
    directory_ = directory;
    images_ = images;
    listed_ = !images.isEmpty();
    showChoice();
}

void SceneRowWidget::listDirectory() {
    folderButton_->setEnabled(false);
    listingPending_ = true;
    listing_.setFuture(QtConcurrent::run(&imagesInDirectory, directory_));
}

void SceneRowWidget::showChoice() {
    QString text;
    QString tip;
    if (!isImagePlay()) {
        text = QFileInfo(videoPath_).fileName();
        tip = QDir::toNativeSeparators(videoPath_);
    } else if (!directory_.isEmpty()) {
        const QString folder = QDir::toNativeSeparators(directory_);
        if (!listed_)
            text = folder;
        else if (images_.isEmpty())
            text = inLanguage(QStringLiteral(u"%1（旧版目录，无可用图片）").arg(folder), chinese_);
        else
            text = inLanguage(QStringLiteral(u"%1（%2 张）").arg(folder).arg(images_.size()),
                              chinese_);
        tip = text;
    }
    choice_->setText(text);
    choice_->setToolTip(tip);
}

bool SceneRowWidget::isImagePlay() const {
    return source_->currentData().toInt() == kImagePlay;
}
