#pragma once

#include <QHash>
#include <QPointF>
#include <QRectF>
#include <QWidget>

#include <functional>

class ImageOverlayWidget;
class QGraphicsObject;
class QGraphicsScene;
class QGraphicsView;
class QPushButton;
class VideoOverlayWidget;

// The stage on which the operator places video and image overlays over the program's 640 x 360
// scene, so every rectangle here is already in scene units. The items only edit; this panel
// passes their requests on, and the main window turns them into program overlays and decoders.
//
// Threads: the GUI thread only.
class MediaOverlayWidget : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxItems = 8;
    static constexpr qreal kSceneWidth = 640;
    static constexpr qreal kSceneHeight = 360;
    // Each item added by a button lands this much further down-right.
    static constexpr int kCascadeStep = 30;

    // The file name chosen, empty when cancelled.
    using FileChooser =
        std::function<QString(QWidget *parent, const QString &caption, const QString &filter)>;
    // Empty: the standard open-file dialog.
    static void setFileChooser(FileChooser chooser);

    explicit MediaOverlayWidget(QWidget *parent = nullptr);
    ~MediaOverlayWidget() override;

    // Null when the stage is full or the path empty.
    VideoOverlayWidget *addVideoOverlay(const QString &path, QPointF pos);
    ImageOverlayWidget *addImageOverlay(const QString &path, QPointF pos);
    VideoOverlayWidget *videoItem(int mediaId) const;
    ImageOverlayWidget *imageItem(int mediaId) const;
    int itemCount() const { return itemCount_; }
    QGraphicsView *view() const { return view_; }

    void setChineseUi(bool chinese);
    // The main window tells it when its floating window closes: hidden previews are not scaled.
    void setShown(bool shown);

signals:
    void videoOverlayAdded(VideoOverlayWidget *video);
    void imageOverlayAdded(ImageOverlayWidget *image);
    void videoOverlayApplyRequested(VideoOverlayWidget *widget, QString filePath,
                                    QRectF rectInScene, qint64 positionMs, bool isPlaying);
    void imageOverlayApplyRequested(ImageOverlayWidget *widget, QString filePath,
                                    QRectF rectInScene, double opacity);
    void videoOverlayLoopChanged(VideoOverlayWidget *widget, bool loop);
    void videoOverlayDetachRequested(VideoOverlayWidget *widget);
    void videoOverlayRemoveRequested(VideoOverlayWidget *widget);
    void imageOverlayRemoveRequested(ImageOverlayWidget *widget);
    void videoOverlaySyncRequested(VideoOverlayWidget *widget, qint64 positionMs, bool playing);
    void videoOverlayVolumeChanged(VideoOverlayWidget *widget, int volume);
    // So that an attached video follows the stage.
    void videoOverlayGeometryChanged(VideoOverlayWidget *widget, QRectF rectInScene);

private:
    void chooseAndAdd(bool video);
    void takeOut(QGraphicsObject *item);
    void updateAddButtons();
    void applyTexts();

    QGraphicsScene *scene_;
    QGraphicsView *view_;
    QPushButton *addVideo_, *addImage_;
    QHash<int, VideoOverlayWidget *> videos_;
    QHash<int, ImageOverlayWidget *> images_;
    int itemCount_ = 0;
    int cascadeOffset_ = 0;
    int nextMediaId_ = 1;
    bool chinese_ = true;
    bool shown_ = true;
};
