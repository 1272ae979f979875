#pragma once

#include "pipeline/EngineSession.h"

#include <QMainWindow>

#include <array>
#include <memory>

class ArrangementPlayer;
class DoodleCanvas;
class DrawingToolBar;
class FloatablePanel;
class ImagePlaybackPanel;
class MediaOverlayControl;
class MediaOverlayWidget;
class OutputSettingsWidget;
class PanelArrangementTargets;
class ProgramArrangementWindow;
class PreviewWidget;
class ProgramOutput;
class ProgramTimeline;
class QAction;
class QGroupBox;
class QSplitter;
class TextPanel;
class VideoInputPanel;
class VolumeCtrlWidget;

// The operator's single window. It owns one engine session and the program time line, lays out
// the panels and connects them to the engine; the panels and the time line do the work.
//
// Construction: the language is read, the session made, the interface built, the engine's
// signals wired, the program tick started, then the language applied. Destruction: the output
// control, the time line and every panel (they hold pointers into the session) go before the
// session, which then ends a running output, stops the mixer on its thread and joins it.
//
// Threads: the GUI thread only; nothing here waits on another thread while the program runs.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // The groups whose content can float into a window of its own.
    enum class Floatable { TextOverlay, VideoOverlay, ImagePlayback, OutputPreview };

    explicit MainWindow(QWidget *parent = nullptr,
                        EngineSession::AudioPlayback playback = EngineSession::AudioPlayback::On);
    ~MainWindow() override;

    // Brings the window to the front for another start of the program; a minimised window
    // stays minimised.
    void bringToFront();

    void loadUiLanguage();
    void setUiLanguage(bool chinese);
    QString translateUiText(const QString &text) const;
    void applyLanguage();
    bool chineseUi() const { return chineseUi_; }

    EngineSession &session() const { return *session_; }
    ProgramTimeline &timeline() const { return *timeline_; }
    ProgramOutput &output() const { return *output_; }
    PreviewWidget *preview() const { return preview_; }
    VolumeCtrlWidget *volumePanel() const { return volumePanel_; }
    FloatablePanel *floatable(Floatable which) const { return floatables_[size_t(which)]; }
    VideoInputPanel *channelPanel(int channel) const { return channels_[size_t(channel)]; }
    OutputSettingsWidget *outputSettings() const { return outputSettings_; }
    TextPanel *textPanel() const { return textPanel_; }
    ImagePlaybackPanel *imagePanel() const { return imagePanel_; }
    MediaOverlayWidget *mediaPanel() const { return mediaPanel_; }
    DrawingToolBar *drawingToolBar() const { return drawingToolBar_; }
    DoodleCanvas *doodleCanvas() const { return doodleCanvas_; }
    ArrangementPlayer *arrangementPlayer() const { return player_.get(); }
    // Made on first use and kept when closed; null until then.
    ProgramArrangementWindow *arrangementWindow() const { return arrangementWindow_; }
    void showArrangementWindow();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildInterface();
    QWidget *buildTopRow();
    QWidget *buildChannelRow();
    QWidget *buildOverlayRow();
    void buildMenus();
    void connectEngine();
    void connectChannels();
    void connectOutput();
    void connectOverlayEditors();
    void connectMediaOverlays();
    void showAbout();

    std::unique_ptr<EngineSession> session_;
    std::unique_ptr<ProgramTimeline> timeline_;
    std::unique_ptr<ProgramOutput> output_;
    std::unique_ptr<MediaOverlayControl> mediaControl_;
    std::unique_ptr<PanelArrangementTargets> arrangementTargets_;
    std::unique_ptr<ArrangementPlayer> player_;
    bool chineseUi_ = false;

    QSplitter *topRow_ = nullptr;
    QGroupBox *outputSettingsGroup_ = nullptr;
    OutputSettingsWidget *outputSettings_ = nullptr;
    QGroupBox *audioGroup_ = nullptr;
    PreviewWidget *preview_ = nullptr;
    VolumeCtrlWidget *volumePanel_ = nullptr;
    std::array<FloatablePanel *, 4> floatables_{};
    std::array<VideoInputPanel *, 4> channels_{};
    TextPanel *textPanel_ = nullptr;
    ImagePlaybackPanel *imagePanel_ = nullptr;
    MediaOverlayWidget *mediaPanel_ = nullptr;
    DoodleCanvas *doodleCanvas_ = nullptr;
    DrawingToolBar *drawingToolBar_ = nullptr;
    ProgramArrangementWindow *arrangementWindow_ = nullptr;

    struct OwnText {
        QObject *object; // a QMenu or a QAction
        QString chinese;
        QString english;
    };
    std::vector<OwnText> ownTexts_;
    QAction *englishAction_ = nullptr;
    QAction *chineseAction_ = nullptr;
};
