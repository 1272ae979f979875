#include "ui/MainWindow.h"

#include "arrangement/ArrangementPlayer.h"
#include "audio/PreviewAudioMixer.h"
#include "core/UiLanguage.h"
#include "overlays/DoodleCanvas.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/MediaOverlayControl.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/ProgramOutput.h"
#include "pipeline/ProgramTimeline.h"
#include "ui/LanguageWalker.h"
#include "ui/PanelArrangementTargets.h"
#include "ui/Theme.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/AboutDialog.h"
#include "ui/dialogs/ProgramArrangementWindow.h"
#include "ui/dialogs/SourceDialog.h"
#include "ui/dialogs/TextEffectDialog.h"
#include "ui/panels/ImagePlaybackPanel.h"
#include "ui/panels/MediaOverlayWidget.h"
#include "ui/panels/OutputSettingsWidget.h"
#include "ui/panels/TextPanel.h"
#include "ui/panels/VideoInputPanel.h"
#include "ui/panels/VolumeCtrlWidget.h"
#include "ui/widgets/DrawingToolBar.h"
#include "ui/widgets/FloatablePanel.h"
#include "ui/widgets/ImageOverlayWidget.h"
#include "ui/widgets/PreviewWidget.h"
#include "ui/widgets/VideoOverlayWidget.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QVBoxLayout>

namespace {

const QString kProduct = QStringLiteral("Quorvi Pro");
// Four thumbnails scaled smoothly at the full rate would take most of each frame period on the
// thread that composes the program (see bench_window); the program picture keeps its rate.
constexpr int kThumbnailRepaintsPerSecond = 15;

void restoreTopRowStretch(QSplitter *row) {
    row->setStretchFactor(0, 3);
    row->setStretchFactor(1, 4);
    row->setStretchFactor(2, 3);
}

} // namespace

MainWindow::MainWindow(QWidget *parent, EngineSession::AudioPlayback playback)
    : QMainWindow(parent) {
    loadUiLanguage();
    session_ = std::make_unique<EngineSession>(playback);
    timeline_ = std::make_unique<ProgramTimeline>(*session_);
    output_ = std::make_unique<ProgramOutput>(*session_, *timeline_);
    mediaControl_ = std::make_unique<MediaOverlayControl>(*session_, *timeline_);
    buildInterface();
    connectEngine();
    connectChannels();
    connectOutput();
    connectOverlayEditors();
    connectMediaOverlays();
    // A schedule plays through the same panels and editors as the operator.
    arrangementTargets_ = std::make_unique<PanelArrangementTargets>(channels_, mediaPanel_);
    player_ = std::make_unique<ArrangementPlayer>(*timeline_, *session_->overlays(),
                                                  *arrangementTargets_);
    timeline_->start();
    applyLanguage();
    qApp->installEventFilter(this);
}

MainWindow::~MainWindow() {
    qApp->removeEventFilter(this);
    delete arrangementWindow_; // it points at the player
    player_.reset();
    arrangementTargets_.reset();
    mediaControl_.reset();
    output_.reset();
    timeline_.reset();
    // Panels hold pointers into the session: they go first, then the session stops the output
    // and the mixer and joins their threads.
    for (FloatablePanel *panel : floatables_)
        delete panel;
    for (QDockWidget *dock : findChildren<QDockWidget *>(Qt::FindDirectChildrenOnly))
        delete dock;
    delete takeCentralWidget();
    session_.reset();
}

void MainWindow::bringToFront() {
    raise();
    activateWindow();
}

void MainWindow::buildInterface() {
    setWindowTitle(kProduct);
    setDockNestingEnabled(true);
    Theme::apply(this);

    auto *central = new QWidget(this);
    auto *rows = new QVBoxLayout(central);
    rows->setSpacing(0);
    rows->setContentsMargins(10, 1, 10, 2);
    rows->addWidget(buildTopRow());
    rows->addWidget(buildChannelRow(), 1);
    rows->addWidget(buildOverlayRow(), 1);
    setCentralWidget(central);
    buildMenus();

    setMinimumSize(960, 540);
    // Without a window manager (a bare X server) the maximised state alone does nothing.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        setGeometry(screen->availableGeometry());
    setWindowState(windowState() | Qt::WindowMaximized);
}

QWidget *MainWindow::buildTopRow() {
    topRow_ = new QSplitter(Qt::Horizontal);
    topRow_->setFixedHeight(380);
    topRow_->setChildrenCollapsible(false);

    outputSettingsGroup_ = new QGroupBox(QStringLiteral("输出设置"));
    outputSettingsGroup_->setMinimumWidth(360);
    outputSettings_ = new OutputSettingsWidget;
    (new QVBoxLayout(outputSettingsGroup_))->addWidget(outputSettings_);

    auto *previewPanel =
        new FloatablePanel({QStringLiteral("输出预览"), QStringLiteral("Output Preview")},
                           QSize(720, 400), QSize(960, 540), this);
    floatables_[size_t(Floatable::OutputPreview)] = previewPanel;
    preview_ = new PreviewWidget;
    preview_->setOverlayManager(session_->overlays());
    previewPanel->contentLayout()->addWidget(preview_);
    previewPanel->group()->setMinimumSize(640, 360);
    connect(previewPanel, &FloatablePanel::contentReturned, this, [this] {
        preview_->setMinimumSize(640, 360);
        restoreTopRowStretch(topRow_);
    });

    audioGroup_ = new QGroupBox(QStringLiteral("调音台"));
    audioGroup_->setMinimumWidth(360);
    volumePanel_ = new VolumeCtrlWidget;
    (new QVBoxLayout(audioGroup_))->addWidget(volumePanel_);

    topRow_->addWidget(outputSettingsGroup_);
    topRow_->addWidget(previewPanel->group());
    topRow_->addWidget(audioGroup_);
    restoreTopRowStretch(topRow_);
    topRow_->setSizes({3000, 4000, 3000}); // scaled to the row: 3 : 4 : 3 from the start
    return topRow_;
}

QWidget *MainWindow::buildChannelRow() {
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 6, 0, 6);
    for (int c = 0; c < 4; ++c) {
        auto *panel = new VideoInputPanel(c);
        panel->setObjectName(QStringLiteral("channel%1").arg(c + 1));
        channels_[size_t(c)] = panel;
        layout->addWidget(panel, 1);
    }
    return row;
}

QWidget *MainWindow::buildOverlayRow() {
    struct Spec {
        Floatable which;
        FloatablePanel::Titles titles;
        QSize minimum, initial;
    };
    const Spec specs[] = {
        {Floatable::TextOverlay,
         {QStringLiteral("文字叠加"), QStringLiteral("Text Overlay")},
         {480, 360},
         {600, 400}},
        {Floatable::VideoOverlay,
         {QStringLiteral("视频叠加"), QStringLiteral("Video Overlay")},
         {480, 360},
         {650, 400}},
        {Floatable::ImagePlayback,
         {QStringLiteral("图片播放"), QStringLiteral("Image Playback")},
         {480, 360},
         {600, 400}},
    };
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    for (const Spec &spec : specs) {
        auto *panel = new FloatablePanel(spec.titles, spec.minimum, spec.initial, this);
        floatables_[size_t(spec.which)] = panel;
        layout->addWidget(panel->group(), 1);
    }
    textPanel_ = new TextPanel;
    textPanel_->setObjectName(QStringLiteral("textPanel"));
    floatable(Floatable::TextOverlay)->contentLayout()->addWidget(textPanel_);
    mediaPanel_ = new MediaOverlayWidget;
    mediaPanel_->setObjectName(QStringLiteral("mediaPanel"));
    floatable(Floatable::VideoOverlay)->contentLayout()->addWidget(mediaPanel_);
    imagePanel_ = new ImagePlaybackPanel;
    imagePanel_->setObjectName(QStringLiteral("imagePanel"));
    floatable(Floatable::ImagePlayback)->contentLayout()->addWidget(imagePanel_);
    // The media overlay panel learns from this when its floating window is gone.
    FloatablePanel *video = floatable(Floatable::VideoOverlay);
    connect(video, &FloatablePanel::contentReturned, this,
            [video] { qDebug("%s 关闭或隐藏", qUtf8Printable(video->dock()->windowTitle())); });
    return row;
}

void MainWindow::buildMenus() {
    auto addMenu = [this](const QString &zh, const QString &en) {
        QMenu *menu = menuBar()->addMenu(zh);
        ownTexts_.push_back({menu, zh, en});
        return menu;
    };
    auto addAction = [this](QMenu *menu, const QString &zh, const QString &en) {
        QAction *action = menu->addAction(zh);
        ownTexts_.push_back({action, zh, en});
        return action;
    };

    QMenu *file = addMenu(QStringLiteral("文件"), QStringLiteral("File"));
    // The drawing lies over the program picture; the preview hands it the mouse.
    doodleCanvas_ = new DoodleCanvas(session_->overlays(), this);
    preview_->setDoodleCanvas(doodleCanvas_);
    drawingToolBar_ = new DrawingToolBar(doodleCanvas_, this);
    connect(addAction(file, QStringLiteral("保存PNG"), QStringLiteral("Save PNG")),
            &QAction::triggered, drawingToolBar_, &DrawingToolBar::saveDrawing);
    file->addSeparator();
    connect(addAction(file, QStringLiteral("退出"), QStringLiteral("Exit")), &QAction::triggered,
            this, &QWidget::close);

    addToolBar(drawingToolBar_);
    QMenu *view = addMenu(QStringLiteral("视图"), QStringLiteral("View"));
    QAction *drawing = addAction(view, QStringLiteral("画板工具"), QStringLiteral("Drawing Tools"));
    drawing->setCheckable(true);
    drawing->setChecked(true);
    connect(drawing, &QAction::toggled, drawingToolBar_, &QWidget::setVisible);

    QMenu *tools = addMenu(QStringLiteral("工具"), QStringLiteral("Tools"));
    connect(addAction(tools, QStringLiteral("节目编排"), QStringLiteral("Program Scheduling")),
            &QAction::triggered, this, &MainWindow::showArrangementWindow);

    QMenu *help = addMenu(QStringLiteral("帮助"), QStringLiteral("Help"));
    connect(addAction(help, QStringLiteral("关于 %1").arg(kProduct),
                      QStringLiteral("About %1").arg(kProduct)),
            &QAction::triggered, this, &MainWindow::showAbout);

    QMenu *language = addMenu(QStringLiteral("语言切换"), QStringLiteral("Language"));
    auto *group = new QActionGroup(this);
    group->setExclusive(true);
    englishAction_ = language->addAction(QStringLiteral("English"));
    chineseAction_ = language->addAction(QStringLiteral("中文"));
    for (QAction *action : {englishAction_, chineseAction_}) {
        action->setCheckable(true);
        group->addAction(action);
    }
    connect(englishAction_, &QAction::triggered, this, [this] { setUiLanguage(false); });
    connect(chineseAction_, &QAction::triggered, this, [this] { setUiLanguage(true); });
}

void MainWindow::connectEngine() {
    FramePipeline *pipeline = session_->pipeline();
    PreviewAudioMixer *mixer = session_->mixer();
    connect(pipeline, &FramePipeline::programFrameReady, preview_, &PreviewWidget::setProgramFrame,
            Qt::QueuedConnection);
    connect(timeline_.get(), &ProgramTimeline::programCleared, preview_,
            &PreviewWidget::clearProgram);
    // A decoder's trouble shows in its channel (no pictures); a box would interrupt the show.
    connect(pipeline, &FramePipeline::errorOccurred, this,
            [](const QString &message) { qDebug("FramePipeline: %s", qUtf8Printable(message)); });

    connect(volumePanel_, &VolumeCtrlWidget::inputVolumeChanged, this,
            [mixer](int slot, int volume) { mixer->setOverlayPreviewGain(slot, volume / 100.0f); });
    connect(volumePanel_, &VolumeCtrlWidget::previewVolumeChanged, this,
            [mixer](int volume) { mixer->setPreviewGain(volume / 100.0f); });
    for (int slot = 0; slot < 4; ++slot)
        mixer->setOverlayPreviewGain(slot, volumePanel_->inputVolume(slot) / 100.0f);
    mixer->setPreviewGain(volumePanel_->previewVolume() / 100.0f);
    // The meters read the mixer's atomics; the mixer outlives the panel.
    volumePanel_->setMeterSources([mixer](int slot) { return mixer->takeOverlayPeak(slot); },
                                  [mixer] { return mixer->takeProgramPeak(); });
}

void MainWindow::connectChannels() {
    FramePipeline *pipeline = session_->pipeline();
    PreviewAudioMixer *mixer = session_->mixer();
    ProgramTimeline *timeline = timeline_.get();
    for (int c = 0; c < 4; ++c) {
        VideoInputPanel *panel = channels_[size_t(c)];
        timeline->setChannel(c, panel);
        // Modal, but its event loop keeps the program composing.
        panel->setSourcePicker([](QWidget *parent, bool chinese) {
            SourceDialog dialog(chinese, parent);
            return dialog.exec() == QDialog::Accepted ? dialog.address() : QString();
        });
        panel->setSourceCheck([this](const QString &source, QString *message) {
            return !output_->sourceConflicts(source, message);
        });
        panel->setMeterSource([mixer, c] { return mixer->takeChannelPeak(c); });
        panel->setThumbnailPolicy(kThumbnailRepaintsPerSecond, false);

        connect(panel, &VideoInputPanel::outputToPreviewToggled, timeline,
                [timeline, c](bool on) { timeline->onPreviewSwitchToggled(c, on); });
        connect(panel, &VideoInputPanel::programSeekRequested, timeline,
                [timeline, c](qint64 ms) { timeline->onProgramSeekRequested(c, ms); });
        connect(panel, &VideoInputPanel::mediaSourceUnloaded, timeline,
                &ProgramTimeline::onMediaSourceUnloaded);
        connect(panel, &VideoInputPanel::channelMediaChanged, timeline,
                &ProgramTimeline::onChannelMediaChanged);
        connect(panel, &VideoInputPanel::playbackStateChanged, timeline,
                [timeline, c](bool playing) { timeline->onPlaybackStateChanged(c, playing); });
        connect(panel, &VideoInputPanel::localChannelVolumeChanged, this, [mixer, panel, c] {
            mixer->setChannelLocalGain(c, float(panel->volume()) / 100.0f);
        });
    }
    connect(pipeline, &FramePipeline::channelFrameReady, this,
            [this](int c, const FrameTokenPtr &frame) {
                if (c >= 0 && c < 4 && frame)
                    channels_[size_t(c)]->onChannelFrame(frame, frame->ptsUs / 1000);
            });
    connect(pipeline, &FramePipeline::channelPlaybackEnded, this, [this](int c) {
        if (c >= 0 && c < 4)
            channels_[size_t(c)]->onPlaybackEnded();
    });
}

void MainWindow::connectOutput() {
    FramePipeline *pipeline = session_->pipeline();
    PreviewAudioMixer *mixer = session_->mixer();
    OutputSettingsWidget *panel = outputSettings_;
    ProgramOutput *output = output_.get();
    auto apply = [output, panel] { output->setSettings(panel->settings()); };
    connect(panel, &OutputSettingsWidget::outputFileChanged, output, apply);
    connect(panel, &OutputSettingsWidget::streamSettingsChanged, output, apply);
    connect(panel, &OutputSettingsWidget::outputTargetsChanged, output, apply);
    connect(panel, &OutputSettingsWidget::outputDimensionsChanged, output,
            [pipeline, apply](int width, int height) {
                pipeline->setOutputSize(width, height);
                apply();
            });
    connect(panel, &OutputSettingsWidget::programRecordLinearGainChanged, this,
            [mixer](float gain) { mixer->setRecordGain(gain); });
    connect(panel, &OutputSettingsWidget::startOutputRequested, output, [output, apply] {
        apply(); // a field still being edited counts
        output->start();
    });
    connect(panel, &OutputSettingsWidget::stopOutputRequested, output, &ProgramOutput::stop);
    connect(output, &ProgramOutput::runningChanged, panel, &OutputSettingsWidget::setOutputRunning);
    connect(output, &ProgramOutput::statusChanged, panel,
            [output, panel] { panel->setStatusLines(output->statusLines()); });
    connect(output, &ProgramOutput::warningRaised, this,
            [this](const QString &title, const QString &text) {
                UserPrompts::warning(this, title, text);
            });
    apply();
    pipeline->setOutputSize(panel->outputWidth(), panel->outputHeight());
    mixer->setRecordGain(panel->recordLinearGain());
}

void MainWindow::connectOverlayEditors() {
    OverlayManager *overlays = session_->overlays();
    // Modal, but its event loop keeps the program composing.
    textPanel_->setEffectEditor([](QWidget *parent, bool chinese, TextOverlayData &data) {
        TextEffectDialog dialog(chinese, parent);
        dialog.setData(data);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        data = dialog.data();
        return true;
    });
    connect(textPanel_, &TextPanel::textOverlayAdded, overlays, &OverlayManager::setTextOverlay);
    connect(textPanel_, &TextPanel::textOverlayRemoved, overlays,
            &OverlayManager::removeTextOverlay);
    connect(textPanel_, &TextPanel::clearOverlaysRequested, overlays,
            &OverlayManager::clearTextOverlays);

    ProgramTimeline *timeline = timeline_.get();
    connect(imagePanel_, &ImagePlaybackPanel::imagePlayRequested, timeline,
            [timeline](const QStringList &paths, int intervalMs, bool loop) {
                timeline->startImagePlayback(paths, intervalMs, loop);
            });
    connect(imagePanel_, &ImagePlaybackPanel::imagePlayStopRequested, timeline,
            [timeline] { timeline->stopImagePlayback(); });
    connect(timeline, &ProgramTimeline::imagePlaybackChanged, imagePanel_,
            &ImagePlaybackPanel::setPlaying);
    connect(timeline, &ProgramTimeline::imagePlaybackFailed, this, [this] {
        UserPrompts::warning(
            this, chineseUi_ ? QStringLiteral("图片播放") : QStringLiteral("Image Playback"),
            chineseUi_ ? QStringLiteral("列表中没有可以读取的图片。")
                       : QStringLiteral("None of the pictures in the list could be read."));
    });
}

void MainWindow::connectMediaOverlays() {
    MediaOverlayWidget *panel = mediaPanel_;
    MediaOverlayControl *control = mediaControl_.get();
    connect(panel, &MediaOverlayWidget::videoOverlayApplyRequested, this,
            [this, control](VideoOverlayWidget *item, const QString &path, const QRectF &rect,
                            qint64 positionMs, bool playing) {
                QString message;
                const int id = item->mediaId();
                const bool attached =
                    control->attachVideo(id, path, rect, positionMs, playing, &message, chineseUi_);
                item->setAttached(attached);
                if (!attached) {
                    UserPrompts::warning(this,
                                         chineseUi_ ? QStringLiteral("视频叠加")
                                                    : QStringLiteral("Video Overlay"),
                                         message);
                    return;
                }
                control->setVideoLoop(id, item->isLoop());
                control->setVideoVolume(id, item->volume());
            });
    connect(panel, &MediaOverlayWidget::videoOverlayDetachRequested, this,
            [control](VideoOverlayWidget *item) {
                control->detachVideo(item->mediaId());
                item->setAttached(false);
            });
    connect(panel, &MediaOverlayWidget::videoOverlayRemoveRequested, this,
            [control](VideoOverlayWidget *item) { control->removeVideo(item->mediaId()); });
    connect(panel, &MediaOverlayWidget::videoOverlayLoopChanged, this,
            [control](VideoOverlayWidget *item, bool loop) {
                control->setVideoLoop(item->mediaId(), loop);
            });
    connect(panel, &MediaOverlayWidget::videoOverlaySyncRequested, this,
            [control](VideoOverlayWidget *item, qint64 positionMs, bool playing) {
                control->syncVideo(item->mediaId(), positionMs, playing);
            });
    connect(panel, &MediaOverlayWidget::videoOverlayVolumeChanged, this,
            [control](VideoOverlayWidget *item, int volume) {
                control->setVideoVolume(item->mediaId(), volume);
            });
    connect(panel, &MediaOverlayWidget::videoOverlayGeometryChanged, this,
            [control](VideoOverlayWidget *item, const QRectF &rect) {
                control->moveVideo(item->mediaId(), rect);
            });
    connect(
        panel, &MediaOverlayWidget::imageOverlayApplyRequested, this,
        [control](ImageOverlayWidget *item, const QString &path, const QRectF &rect,
                  double opacity) { control->applyImage(item->mediaId(), path, rect, opacity); });
    connect(panel, &MediaOverlayWidget::imageOverlayRemoveRequested, this,
            [control](ImageOverlayWidget *item) { control->removeImage(item->mediaId()); });

    // The editors show what their slots decode.
    connect(control, &MediaOverlayControl::videoFrameReady, this,
            [panel](int id, qint64 positionMs, const QImage &image) {
                if (VideoOverlayWidget *item = panel->videoItem(id))
                    item->setFrame(image, positionMs);
            });
    connect(control, &MediaOverlayControl::videoFinished, this, [panel](int id) {
        if (VideoOverlayWidget *item = panel->videoItem(id))
            item->playbackFinished();
    });
    connect(control, &MediaOverlayControl::videoDurationKnown, this,
            [panel](int id, qint64 durationMs) {
                if (VideoOverlayWidget *item = panel->videoItem(id))
                    item->setDurationMs(durationMs);
            });
}

void MainWindow::loadUiLanguage() {
    chineseUi_ = UiLanguage::loadChinese();
}

void MainWindow::setUiLanguage(bool chinese) {
    if (chinese == chineseUi_)
        return;
    chineseUi_ = chinese;
    UiLanguage::storeChineseInBackground(chinese);
    applyLanguage();
}

QString MainWindow::translateUiText(const QString &text) const {
    return UiLanguage::translate(text, chineseUi_);
}

void MainWindow::applyLanguage() {
    setWindowTitle(kProduct);
    for (const OwnText &own : ownTexts_) {
        const QString &text = chineseUi_ ? own.chinese : own.english;
        if (auto *menu = qobject_cast<QMenu *>(own.object))
            menu->setTitle(text);
        else if (auto *action = qobject_cast<QAction *>(own.object))
            action->setText(text);
    }
    for (FloatablePanel *panel : floatables_)
        panel->setChinese(chineseUi_);
    for (VideoInputPanel *panel : channels_)
        panel->setChineseUi(chineseUi_);
    outputSettings_->setChineseUi(chineseUi_);
    textPanel_->setChineseUi(chineseUi_);
    imagePanel_->setChineseUi(chineseUi_);
    mediaPanel_->setChineseUi(chineseUi_);
    output_->setChinese(chineseUi_);
    drawingToolBar_->setChineseUi(chineseUi_);
    if (arrangementWindow_) {
        arrangementWindow_->setChineseUi(chineseUi_);
        arrangementWindow_->setWindowTitle(translateUiText(QStringLiteral("节目编排")));
    }
    (chineseUi_ ? chineseAction_ : englishAction_)->setChecked(true);
    LanguageWalker::apply(this, chineseUi_); // the docks are children, floating or not
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event) {
    // New windows (dialogs, floating docks) get the language in force when they appear.
    if (event->type() == QEvent::Show || event->type() == QEvent::Polish) {
        // Tool tips are skipped: they show texts their widgets already hold, some of them the
        // operator's own.
        if (auto *widget = qobject_cast<QWidget *>(watched);
            widget && widget->isWindow() && widget->windowType() != Qt::ToolTip)
            LanguageWalker::apply(widget, chineseUi_);
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent *event) {
    // An accidental close must not end a show: ask while the output runs.
    if (session_->pipeline()->isOutputRunning() &&
        !UserPrompts::question(this, kProduct,
                               chineseUi_ ? QStringLiteral("正在输出。停止输出并退出？")
                                          : QStringLiteral("Output is running. Stop it and quit?"),
                               false)) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::showArrangementWindow() {
    if (!arrangementWindow_) {
        arrangementWindow_ = new ProgramArrangementWindow(this);
        arrangementWindow_->setPlayer(player_.get());
    }
    arrangementWindow_->setChineseUi(chineseUi_);
    arrangementWindow_->setWindowTitle(translateUiText(QStringLiteral("节目编排")));
    arrangementWindow_->show();
    arrangementWindow_->raise();
    arrangementWindow_->activateWindow();
}

void MainWindow::showAbout() {
    // Not modal: the program keeps composing behind it.
    auto *dialog = new AboutDialog(chineseUi_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}
