#pragma once

#include "core/FrameToken.h"
#include "pipeline/ProgramChannel.h"

#include <QElapsedTimer>
#include <QUrl>
#include <QWidget>

#include <functional>

class LevelMeter;
class QLabel;
class QPushButton;
class QSlider;
class QStackedWidget;
class QTimer;

// The panel of one input channel: a title line with the channel and its play time, a live
// thumbnail, a level meter of the channel's sound, and the controls to choose, play, unload,
// loop, highlight, seek, set the local volume and send the channel to the program preview.
// It never decodes; it keeps the channel's user-facing state and tells the main window what the
// operator asked for.
//
// Threads: the GUI thread only; the source check, picker and meter source are called there.
class VideoInputPanel : public QWidget, public ProgramChannel {
    Q_OBJECT
public:
    // Returns false to refuse an address; may fill the message shown to the operator.
    using SourceCheck = std::function<bool(const QString &address, QString *message)>;
    // Asks the operator for an address (typically a modal dialog); empty = cancelled.
    using SourcePicker = std::function<QString(QWidget *parent, bool chinese)>;

    explicit VideoInputPanel(int channel, QWidget *parent = nullptr);

    int channel() const { return channel_; }
    QUrl source() const { return source_; }
    int64_t positionMs() const override { return positionMs_; }
    bool isPlaying() const override { return playing_; }
    bool isLoopChecked() const;
    int volume() const;

    // ProgramChannel
    QString programSource() const override;
    int volumePercent() const override { return volume(); }
    bool loopEnabled() const override { return isLoopChecked(); }
    void setPreviewSwitch(bool on) override { setOutputToPreviewChecked(on); }
    void setDurationMs(int64_t ms) override;

    // No signal.
    void setOutputToPreviewChecked(bool on);
    void setSourceCheck(SourceCheck check) { sourceCheck_ = std::move(check); }
    void setSourcePicker(SourcePicker picker) { picker_ = std::move(picker); }
    // As if the address had been chosen with the open button (check included).
    void setSourceText(const QString &text);
    // A jump: unfreezes, limited to the known duration, shown at once.
    void setPositionMs(int64_t ms);
    void setChineseUi(bool chinese);
    // Highest |sample| since the previous call; empty = a silent meter.
    void setMeterSource(std::function<float()> takePeak);
    // 0 repaints the thumbnail for every frame. A limit repaints at most that often; frames in
    // between only update the held frame, position and title, and the last one is painted once
    // the interval is over. `smooth` = area-averaged scaling, else nearest pixels.
    void setThumbnailPolicy(int maxRepaintsPerSecond, bool smooth);

public slots:
    void onChannelFrame(FrameTokenPtr frame, qint64 positionMs);
    // The decoder reached the end of the media.
    void onPlaybackEnded();

signals:
    void outputToPreviewToggled(bool enabled);
    void programSeekRequested(qint64 positionMs);
    void mediaSourceUnloaded(int channel);
    void channelMediaChanged(int channel);
    void playbackStateChanged(bool playing);
    void localChannelVolumeChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void chooseSource();
    bool acceptSource(const QString &text);
    void togglePlay();
    void seekFromSlider(int value);
    void unload();
    void setPlaying(bool playing);
    void refreshTitle();
    void requestThumbnail();
    void paintThumbnail();
    void showHighlight(bool on);

    const int channel_;
    QLabel *title_;
    QStackedWidget *previewStack_;
    QLabel *thumbnail_;
    LevelMeter *meter_;
    QPushButton *open_, *play_, *unload_, *loop_, *highlight_, *output_;
    QSlider *position_, *volume_;
    QTimer *titleTimer_, *thumbnailTimer_;

    bool playing_ = false;
    QUrl source_;
    int64_t positionMs_ = 0;
    int64_t durationMs_ = -1;
    int64_t lastSeekMs_ = 0;
    bool positionFrozen_ = false;
    FrameTokenPtr heldFrame_;
    SourceCheck sourceCheck_;
    SourcePicker picker_;
    bool chinese_ = true;

    int maxRepaintsPerSecond_ = 0;
    bool smoothThumbnail_ = true;
    QElapsedTimer lastRepaint_;
};
