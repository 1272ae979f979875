#include "ui/panels/VideoInputPanel.h"

#include "core/ClockText.h"
#include "input/SourceAddress.h"
#include "ui/UserPrompts.h"
#include "ui/widgets/LevelMeter.h"

#include <QDir>
#include <QEvent>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString kPlayText = QStringLiteral("▶");
const QString kPauseText = QStringLiteral("⏸");
constexpr int kTitleRefreshMs = 300;
constexpr int kSliderScale = 1000; // per mille of the duration

// The border is always there and only changes colour, so highlighting never moves the layout.
const QString kPanelStyle = QStringLiteral(
    "VideoInputPanel { background:#202020; border:2px solid #202020; }"
    "VideoInputPanel[highlighted=\"true\"] { border:2px solid #d4af37; }"
    "QWidget { background:#202020; color:white; }"
    "QLabel { color:#ccc; font-weight:bold; }"
    "QPushButton { background:#333; color:white; border:none; border-radius:4px;"
    " padding:2px 4px; }"
    "QPushButton:hover { background:#444; }"
    "QPushButton:checked { background:#666; }"
    "QSlider::groove:horizontal { height:6px; background:#3a3a3a; border-radius:3px; }"
    "QSlider::handle:horizontal { width:12px; height:12px; margin:-3px 0; background:#666;"
    " border-radius:6px; }");

const QString kPlayButtonStyle =
    QStringLiteral("QPushButton { background:#333; color:white; padding:0px; border-radius:4px; }"
                   "QPushButton:hover { background:#444; }");

QPushButton *makeButton(const QString &text, const char *name, bool checkable) {
    auto *button = new QPushButton(text);
    button->setObjectName(QLatin1String(name));
    button->setCheckable(checkable);
    button->setFocusPolicy(Qt::NoFocus);
    // One size for the whole row (no min-width in the sheet: it would override this on polish).
    button->setFixedSize(28, 28);
    return button;
}

} // namespace

VideoInputPanel::VideoInputPanel(int channel, QWidget *parent)
    : QWidget(parent), channel_(channel), title_(new QLabel), previewStack_(new QStackedWidget),
      thumbnail_(new QLabel), meter_(new LevelMeter),
      open_(makeButton(QStringLiteral("📂"), "openButton", false)),
      play_(makeButton(kPlayText, "playButton", false)),
      unload_(makeButton(QStringLiteral("■"), "unloadButton", false)),
      loop_(makeButton(QStringLiteral("⟲"), "loopButton", true)),
      highlight_(makeButton(QStringLiteral("★"), "highlightButton", true)),
      output_(makeButton(QStringLiteral("🖥"), "outputButton", true)),
      position_(new QSlider(Qt::Horizontal)), volume_(new QSlider(Qt::Horizontal)),
      titleTimer_(new QTimer(this)), thumbnailTimer_(new QTimer(this)) {
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(kPanelStyle);

    title_->setObjectName(QStringLiteral("titleLabel"));
    thumbnail_->setObjectName(QStringLiteral("thumbnailLabel"));
    thumbnail_->setMinimumSize(320, 180);
    // Its pixmap must not hold the panel at the size it was painted for.
    thumbnail_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    thumbnail_->setStyleSheet(QStringLiteral("background:#000;"));
    thumbnail_->setAlignment(Qt::AlignCenter);
    thumbnail_->installEventFilter(this);
    previewStack_->addWidget(thumbnail_);

    meter_->setObjectName(QStringLiteral("channelMeter"));
    meter_->setMinimumHeight(40);

    play_->setStyleSheet(kPlayButtonStyle);
    position_->setObjectName(QStringLiteral("positionSlider"));
    position_->setRange(0, kSliderScale);
    position_->setFocusPolicy(Qt::NoFocus);
    position_->setMinimumWidth(60);
    volume_->setObjectName(QStringLiteral("volumeSlider"));
    volume_->setRange(0, 100);
    volume_->setValue(10);
    volume_->setFocusPolicy(Qt::NoFocus);
    volume_->setFixedWidth(64);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    layout->addWidget(title_);
    auto *picture = new QHBoxLayout;
    picture->setSpacing(2);
    picture->addWidget(previewStack_, 1);
    picture->addWidget(meter_);
    layout->addLayout(picture, 1);
    auto *controls = new QHBoxLayout;
    controls->setSpacing(3);
    for (QWidget *w : {open_, play_, unload_, loop_, highlight_})
        controls->addWidget(w);
    controls->addWidget(position_, 1);
    controls->addSpacing(6); // two sliders side by side must not read as one
    controls->addWidget(volume_);
    controls->addWidget(output_);
    layout->addLayout(controls);

    connect(open_, &QPushButton::clicked, this, &VideoInputPanel::chooseSource);
    connect(play_, &QPushButton::clicked, this, &VideoInputPanel::togglePlay);
    connect(unload_, &QPushButton::clicked, this, &VideoInputPanel::unload);
    connect(loop_, &QPushButton::toggled, this, [this] { emit channelMediaChanged(channel_); });
    connect(highlight_, &QPushButton::toggled, this, &VideoInputPanel::showHighlight);
    connect(output_, &QPushButton::toggled, this, &VideoInputPanel::outputToPreviewToggled);
    connect(position_, &QSlider::sliderMoved, this, &VideoInputPanel::seekFromSlider);
    connect(position_, &QSlider::sliderReleased, this,
            [this] { seekFromSlider(position_->value()); });
    connect(volume_, &QSlider::valueChanged, this, &VideoInputPanel::localChannelVolumeChanged);

    titleTimer_->setInterval(kTitleRefreshMs);
    connect(titleTimer_, &QTimer::timeout, this, &VideoInputPanel::refreshTitle);
    titleTimer_->start();
    thumbnailTimer_->setSingleShot(true);
    connect(thumbnailTimer_, &QTimer::timeout, this, &VideoInputPanel::paintThumbnail);

    setChineseUi(true);
    refreshTitle();
}

bool VideoInputPanel::isLoopChecked() const {
    return loop_->isChecked();
}

int VideoInputPanel::volume() const {
    return volume_->value();
}

QString VideoInputPanel::programSource() const {
    return SourceAddress::decoderAddress(source_);
}

void VideoInputPanel::setDurationMs(int64_t ms) {
    durationMs_ = ms;
    refreshTitle();
}

void VideoInputPanel::setOutputToPreviewChecked(bool on) {
    const QSignalBlocker blocker(output_);
    output_->setChecked(on);
}

void VideoInputPanel::setSourceText(const QString &text) {
    acceptSource(text);
}

void VideoInputPanel::setPositionMs(int64_t ms) {
    positionFrozen_ = false;
    ms = durationMs_ > 0 ? std::clamp<int64_t>(ms, 0, durationMs_ - 1) : std::max<int64_t>(ms, 0);
    positionMs_ = lastSeekMs_ = ms;
    refreshTitle();
}

void VideoInputPanel::setChineseUi(bool chinese) {
    chinese_ = chinese;
    const struct {
        QWidget *widget;
        const char *chinese, *english;
    } tips[] = {
        {open_, "选择文件或URL", "Choose a file or URL"},
        {play_, "播放/暂停", "Play/Pause"},
        {unload_, "停止并卸载：停止播放并清空媒体（释放缓冲），需重新选择文件才能再播",
         "Stop and unload: stops playback and clears the media (frees its buffers); choose a "
         "source again to play"},
        {loop_, "循环播放", "Loop"},
        {highlight_, "高亮当前通道", "Highlight this channel"},
        {position_, "播放进度", "Playback position"},
        {volume_, "音量", "Volume"},
        {output_, "输出到主预览", "Send to output preview"},
    };
    for (const auto &tip : tips)
        tip.widget->setToolTip(QString::fromUtf8(chinese ? tip.chinese : tip.english));
}

void VideoInputPanel::setMeterSource(std::function<float()> takePeak) {
    meter_->setPeakSource(std::move(takePeak));
}

void VideoInputPanel::setThumbnailPolicy(int maxRepaintsPerSecond, bool smooth) {
    maxRepaintsPerSecond_ = std::max(0, maxRepaintsPerSecond);
    smoothThumbnail_ = smooth;
    if (maxRepaintsPerSecond_ == 0 && thumbnailTimer_->isActive()) {
        thumbnailTimer_->stop();
        paintThumbnail();
    }
}

void VideoInputPanel::onChannelFrame(FrameTokenPtr frame, qint64 positionMs) {
    // A frame still queued when the channel was unloaded.
    if (source_.isEmpty())
        return;
    if (!positionFrozen_ || playing_)
        positionMs_ = lastSeekMs_ = positionMs;
    if (frame && frame->hasPicture()) {
        heldFrame_ = std::move(frame);
        requestThumbnail();
    }
    // With a repaint limit the title and its slider follow the thumbnail's repaints: four
    // styled sliders repainted at the full frame rate cost the program thread as much as the
    // pictures.
    if (maxRepaintsPerSecond_ <= 0 || !heldFrame_)
        refreshTitle();
}

void VideoInputPanel::onPlaybackEnded() {
    if (!playing_)
        return;
    setPlaying(false);
    if (durationMs_ > 0)
        positionMs_ = std::min(positionMs_, durationMs_);
    lastSeekMs_ = positionMs_;
    positionFrozen_ = true;
    refreshTitle();
    emit playbackStateChanged(false);
}

bool VideoInputPanel::eventFilter(QObject *watched, QEvent *event) {
    if (watched == thumbnail_ && event->type() == QEvent::Resize && heldFrame_)
        paintThumbnail();
    return QWidget::eventFilter(watched, event);
}

void VideoInputPanel::chooseSource() {
    if (!picker_)
        return;
    // The picker may run a modal loop in which anything can happen, this panel's end included.
    const QPointer<VideoInputPanel> self(this);
    const QString text = picker_(this, chinese_);
    if (self)
        acceptSource(text);
}

bool VideoInputPanel::acceptSource(const QString &text) {
    const QUrl url = SourceAddress::toUrl(text, QDir::currentPath());
    if (!url.isValid())
        return false;
    // The check sees what the decoder would open (a relative path made absolute).
    if (sourceCheck_) {
        QString message;
        if (!sourceCheck_(SourceAddress::decoderAddress(url), &message)) {
            if (!message.isEmpty())
                UserPrompts::warning(this,
                                     chinese_ ? QStringLiteral("无法使用该源")
                                              : QStringLiteral("Cannot use this source"),
                                     message);
            return false;
        }
    }
    source_ = url;
    positionMs_ = 0;
    durationMs_ = -1;
    lastSeekMs_ = 0;
    positionFrozen_ = false;
    {
        const QSignalBlocker blocker(position_);
        position_->setValue(0);
    }
    refreshTitle();
    setPlaying(true);
    emit channelMediaChanged(channel_);
    emit playbackStateChanged(true);
    return true;
}

void VideoInputPanel::togglePlay() {
    positionFrozen_ = false;
    setPlaying(!playing_);
    emit playbackStateChanged(playing_);
}

void VideoInputPanel::seekFromSlider(int value) {
    if (durationMs_ <= 0) {
        // Nothing to seek in: the handle goes back once let go.
        if (!position_->isSliderDown()) {
            const QSignalBlocker blocker(position_);
            position_->setValue(0);
        }
        return;
    }
    positionFrozen_ = false;
    positionMs_ = lastSeekMs_ = int64_t(value) * durationMs_ / kSliderScale;
    emit programSeekRequested(positionMs_);
    refreshTitle();
}

void VideoInputPanel::unload() {
    const bool wasOnPreview = output_->isChecked();
    source_.clear();
    positionMs_ = 0;
    durationMs_ = -1;
    lastSeekMs_ = 0;
    positionFrozen_ = false;
    heldFrame_.reset();
    thumbnailTimer_->stop();
    setPlaying(false);
    {
        const QSignalBlocker blocker(position_);
        position_->setValue(0);
    }
    refreshTitle();
    thumbnail_->clear();

    emit playbackStateChanged(false);
    if (wasOnPreview) {
        setOutputToPreviewChecked(false);
        emit outputToPreviewToggled(false);
    }
    emit mediaSourceUnloaded(channel_);
    emit channelMediaChanged(channel_);
}

void VideoInputPanel::setPlaying(bool playing) {
    playing_ = playing;
    play_->setText(playing ? kPauseText : kPlayText);
}

void VideoInputPanel::refreshTitle() {
    const QString channel = QString::number(channel_ + 1);
    if (source_.isEmpty()) {
        title_->setText(QStringLiteral("CH%1 | 00:00 / 00:00").arg(channel));
        return;
    }
    const QString duration =
        durationMs_ < 1 ? QStringLiteral("--:--") : ClockText::position(durationMs_);
    title_->setText(
        QStringLiteral("CH%1 | %2 / %3").arg(channel, ClockText::position(positionMs_), duration));
    // The handle stays where the operator holds it.
    if (durationMs_ > 0 && !position_->isSliderDown()) {
        const QSignalBlocker blocker(position_);
        position_->setValue(
            int(std::clamp<int64_t>(positionMs_ * kSliderScale / durationMs_, 0, kSliderScale)));
    }
}

void VideoInputPanel::requestThumbnail() {
    if (maxRepaintsPerSecond_ <= 0) {
        paintThumbnail();
        return;
    }
    const int64_t intervalMs = 1000 / maxRepaintsPerSecond_;
    const int64_t sinceMs = lastRepaint_.isValid() ? lastRepaint_.elapsed() : intervalMs;
    if (sinceMs >= intervalMs) {
        thumbnailTimer_->stop();
        paintThumbnail();
    } else if (!thumbnailTimer_->isActive()) {
        // The newest frame at that time is painted, so the last one is never lost.
        thumbnailTimer_->start(int(intervalMs - sinceMs));
    }
}

void VideoInputPanel::paintThumbnail() {
    lastRepaint_.start();
    if (!heldFrame_ || !heldFrame_->hasPicture())
        return;
    QSize target = thumbnail_->contentsRect().size();
    if (target.width() < 1 || target.height() < 1)
        target = QSize(320, 180);
    QImage canvas(target, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    const FrameToken &frame = *heldFrame_;
    // A view of the token's pixels, no copy. Channel pictures are opaque: read as RGBX, the
    // smooth scaler takes them as they are instead of converting the whole picture first.
    const QImage view(reinterpret_cast<const uchar *>(frame.data.constData()), frame.width,
                      frame.height, frame.stride,
                      smoothThumbnail_ ? QImage::Format_RGBX8888 : QImage::Format_RGBA8888);
    const QImage scaled =
        view.scaled(target, Qt::KeepAspectRatio,
                    smoothThumbnail_ ? Qt::SmoothTransformation : Qt::FastTransformation);
    QPainter painter(&canvas);
    painter.drawImage((target.width() - scaled.width()) / 2,
                      (target.height() - scaled.height()) / 2, scaled);
    painter.end();
    thumbnail_->setPixmap(QPixmap::fromImage(canvas));
    if (maxRepaintsPerSecond_ > 0)
        refreshTitle();
}

void VideoInputPanel::showHighlight(bool on) {
    setProperty("highlighted", on);
    // A property selector is only re-read on a new polish.
    style()->unpolish(this);
    style()->polish(this);
    update();
}
