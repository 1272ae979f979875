#pragma once

#include "core/MediaOverlayEntry.h"
#include "core/TextOverlayData.h"
#include "pipeline/TextSpriteCache.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// The single store of what is drawn over the program picture: text overlays, image and video
// overlays, and the doodle. It also keeps the decoded still images, the newest picture of each
// overlay video and a scroll clock per text. Every change is announced, so the program can be
// composed again and views can refresh.
//
// Threads: everything on the owning (GUI) thread, except hasMediaOverlay(),
// setVideoOverlayFrame() and videoFrame(), which any thread may call: overlay videos deliver
// their pictures from decoder threads. mediaMutex_ guards the media list against those readers
// and the video pictures against concurrent writers; the GUI thread reads the media list
// without it because it is the only writer. Still images load on Qt's global thread pool and
// come back through a queued call.
class OverlayManager : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxTextOverlays = 10;
    static constexpr int kImageLoadLimit = 4096; // pixels on the longer side
    static constexpr double kLayoutJitter = 1.0; // scene units a rectangle may move unnoticed
    static constexpr int kSceneWidth = 640;
    static constexpr int kSceneHeight = 360;

    using MonotonicClock = std::function<int64_t()>; // nanoseconds

    // Holds the newest picture of an overlay video for drawing. While it lives no decoder
    // writes into that picture; keep it no longer than one drawing call. Any thread.
    class VideoFrameLease {
    public:
        VideoFrameLease(const OverlayManager &manager, int id);
        ~VideoFrameLease();
        VideoFrameLease(const VideoFrameLease &) = delete;
        VideoFrameLease &operator=(const VideoFrameLease &) = delete;
        const QImage &image() const { return image_; }

    private:
        const OverlayManager &manager_;
        int id_;
        int index_ = -1;
        uint64_t incarnation_ = 0;
        QImage image_;
    };

    explicit OverlayManager(QObject *parent = nullptr);
    ~OverlayManager() override;

    void setTextOverlay(const TextOverlayData &data);
    void removeTextOverlay(int id);
    void clearTextOverlays();

    // False when nothing was stored: a negative id, or a change within the jitter.
    bool setMediaOverlay(const MediaOverlayEntry &entry);
    void removeMediaOverlay(int id);
    bool hasMediaOverlay(int id) const; // any thread
    // Any thread. Kept at the overlay's size in program pixels (`pixelsPerUnit` of them per
    // scene unit), or the picture's own size where that is smaller.
    void setVideoOverlayFrame(int id, const QImage &frame, qreal pixelsPerUnit = 1);
    bool removeVideoOverlayFrame(int id);

    void setDoodleImage(const QImage &image);
    void scheduleImageOverlayCacheLoad(int id, const QString &path);

    const QList<TextOverlayData> &textOverlays() const { return textOverlays_; }
    const QList<MediaOverlayEntry> &mediaOverlays() const { return mediaOverlays_; }
    // The same lists in drawing order (ascending z-order, ties by id), kept up to date on every
    // change so that composing a frame sorts nothing.
    const QList<TextOverlayData> &textDrawOrder() const { return textDrawOrder_; }
    const QList<MediaOverlayEntry> &mediaDrawOrder() const { return mediaDrawOrder_; }

    const QImage &doodleImage() const { return doodle_; }
    bool doodleVisible() const { return doodleVisible_; }
    // The parts of the doodle that hold visible pixels (in doodle pixels), so that drawing it
    // skips the transparent rest.
    const QList<QRect> &doodleTiles() const { return doodleTiles_; }

    // Pictures as a painter wants them. With `swapRedBlue` the painter's device holds RGBA
    // bytes painted as premultiplied ARGB (the compositor's CPU path), so red and blue trade
    // places; those versions are made once per picture and kept.
    QImage paintableImage(int id, bool swapRedBlue);
    const QImage &paintableDoodle(bool swapRedBlue);
    // The same for a picture held only for one drawing call (no copy where the bytes allow).
    static QImage paintableView(const QImage &image, bool swapRedBlue);
    QImage cachedImage(int id) const; // null when absent
    // A private copy of the newest picture of an overlay video (null when absent), for
    // inspection; drawing goes through a VideoFrameLease and copies nothing. Any thread.
    QImage videoFrame(int id) const;
    int64_t scrollElapsedUs(int id);
    bool hasActiveOverlays() const;
    bool needsPeriodicRefresh() const;
    // Rendered text layers for the compositor; dropped with their text.
    TextSpriteCache &textSprites() { return textSprites_; }

    // Scroll clocks read this clock; tests replace it to put a scroll at a known time.
    void setMonotonicClock(MonotonicClock clock);
    static uint scrollSignature(const TextOverlayData &data);

signals:
    void textOverlaysChanged();
    void mediaOverlaysChanged();
    void doodleOverlayChanged();
    void overlayLayoutChanged();
    void overlayChanged();

public slots:
    void tryCommitImageOverlayCache(int id, QString path, int generation, QImage image);

private:
    // Three buffers per overlay video: the newest picture (front), and spares a decoder scales
    // into. A buffer is written only while nobody leases it, which the mutex decides, so steady
    // playback allocates nothing and a reader's picture never changes under it.
    struct VideoBuffer {
        QImage image;
        int leases = 0;
        bool writing = false;
    };
    struct VideoPictures {
        VideoBuffer buffers[3];
        int front = -1;
        uint64_t incarnation = 0; // tells a re-created entry from the one a lease saw
    };
    // Lets a load task reach the manager only while it exists; the destructor clears it.
    struct CommitLink {
        std::mutex mutex;
        OverlayManager *manager = nullptr; // guarded by mutex
    };

    int textIndex(int id) const;
    int mediaIndex(int id) const; // caller holds mediaMutex_ or is the GUI thread
    void rebuildTextDrawOrder();
    void rebuildMediaDrawOrder();
    void restartScrollClock(int id, uint signature);

    QList<TextOverlayData> textOverlays_;
    QList<TextOverlayData> textDrawOrder_;
    // Written under mediaMutex_; read only through const access (a non-const access may
    // detach the list, which is a write).
    QList<MediaOverlayEntry> mediaOverlays_;
    QList<MediaOverlayEntry> mediaDrawOrder_;
    QImage doodle_;
    bool doodleVisible_ = false;
    QHash<int, QImage> imageCache_;
    QHash<int, QImage> swappedImages_; // made from imageCache_ on demand
    QImage swappedDoodle_;             // made from doodle_ on demand
    QList<QRect> doodleTiles_;
    QHash<int, int> imageGenerations_;
    QHash<int, int64_t> scrollClocks_; // start time on monotonicClock_
    QHash<int, uint> scrollSignatures_;
    TextSpriteCache textSprites_;
    MonotonicClock monotonicClock_;

    mutable std::mutex mediaMutex_;
    mutable QHash<int, VideoPictures> videoFrames_; // guarded by mediaMutex_
    uint64_t nextIncarnation_ = 1;                  // guarded by mediaMutex_

    std::shared_ptr<CommitLink> commitLink_;
};
