#include "pipeline/OverlayManager.h"

#include "overlays/BoundedImageLoader.h"

#include <QDebug>
#include <QThreadPool>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool withinJitter(const QRectF &a, const QRectF &b) {
    const double j = OverlayManager::kLayoutJitter;
    return std::abs(a.x() - b.x()) <= j && std::abs(a.y() - b.y()) <= j &&
           std::abs(a.width() - b.width()) <= j && std::abs(a.height() - b.height()) <= j;
}

// Alpha-multiplies one RGBA pixel (bytes R, G, B, A in memory).
inline uint32_t premultiplyRgba(uint32_t p) {
    const uint32_t a = p >> 24;
    if (a == 255)
        return p;
    const auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
    return (a << 24) | (mul((p >> 16) & 0xff) << 16) | (mul((p >> 8) & 0xff) << 8) | mul(p & 0xff);
}

// Nearest-neighbour scale of a 32-bit picture into `dst`, reusing dst's memory when it already
// has the size and format. Sampling at pixel centres, as Qt's fast transformation does.
// Straight RGBA comes out premultiplied, the form painters blend fastest; decoded video is
// opaque, so that costs one compare per pixel.
void scaleNearestInto(const QImage &src, QImage &dst, QSize size) {
    if (src.depth() != 32) {
        dst = src.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        return;
    }
    const bool premultiply = src.format() == QImage::Format_RGBA8888;
    const QImage::Format format =
        premultiply ? QImage::Format_RGBA8888_Premultiplied : src.format();
    if (dst.size() != size || dst.format() != format)
        dst = QImage(size, format);
    if (dst.isNull())
        return;
    const int sw = src.width(), sh = src.height();
    const int dw = size.width(), dh = size.height();
    std::vector<int> columns(size_t(dw), 0);
    for (int x = 0; x < dw; ++x)
        columns[x] = int((int64_t(2 * x + 1) * sw) / (2 * int64_t(dw)));
    for (int y = 0; y < dh; ++y) {
        const int sy = int((int64_t(2 * y + 1) * sh) / (2 * int64_t(dh)));
        const auto *in = reinterpret_cast<const uint32_t *>(src.constScanLine(sy));
        auto *out = reinterpret_cast<uint32_t *>(dst.scanLine(y));
        if (premultiply) {
            for (int x = 0; x < dw; ++x)
                out[x] = premultiplyRgba(in[columns[x]]);
        } else if (dw == sw) {
            std::memcpy(out, in, size_t(dw) * 4);
        } else {
            for (int x = 0; x < dw; ++x)
                out[x] = in[columns[x]];
        }
    }
}

// Rectangles (in 32-pixel bands, merged along each band) that cover every pixel with any
// alpha. The drawing is usually a few strokes on a transparent sheet.
QList<QRect> visibleTiles(const QImage &premultiplied) {
    constexpr int kTile = 32;
    QList<QRect> tiles;
    const int w = premultiplied.width(), h = premultiplied.height();
    for (int y0 = 0; y0 < h; y0 += kTile) {
        const int rows = std::min(kTile, h - y0);
        int runStart = -1;
        for (int x0 = 0; x0 <= w; x0 += kTile) {
            bool visible = false;
            if (x0 < w) {
                const int cols = std::min(kTile, w - x0);
                for (int y = y0; y < y0 + rows && !visible; ++y) {
                    const auto *row =
                        reinterpret_cast<const QRgb *>(premultiplied.constScanLine(y));
                    for (int x = x0; x < x0 + cols; ++x) {
                        if (qAlpha(row[x]) != 0) {
                            visible = true;
                            break;
                        }
                    }
                }
            }
            if (visible && runStart < 0)
                runStart = x0;
            if (!visible && runStart >= 0) {
                tiles << QRect(runStart, y0, std::min(x0, w) - runStart, rows);
                runStart = -1;
            }
        }
    }
    return tiles;
}

template <typename T> bool drawsBefore(const T &a, const T &b, int za, int zb) {
    return za != zb ? za < zb : a.id < b.id;
}

} // namespace

OverlayManager::OverlayManager(QObject *parent)
    : QObject(parent), monotonicClock_(steadyNowNs), commitLink_(std::make_shared<CommitLink>()) {
    commitLink_->manager = this;
}

OverlayManager::~OverlayManager() {
    // A load finishing now must not post to a dying object; later ones find the link empty.
    std::lock_guard lock(commitLink_->mutex);
    commitLink_->manager = nullptr;
}

void OverlayManager::setMonotonicClock(MonotonicClock clock) {
    monotonicClock_ = clock ? std::move(clock) : MonotonicClock(steadyNowNs);
}

uint OverlayManager::scrollSignature(const TextOverlayData &d) {
    const size_t h =
        qHashMulti(0, d.text, d.scrollable, d.scrollDirection, d.scrollTimes, d.scrollStep,
                   d.pos.x(), d.font.pointSize(), d.font.family(), d.bold, d.italic);
    return uint(h ^ (uint64_t(h) >> 32));
}

int OverlayManager::textIndex(int id) const {
    for (int i = 0; i < textOverlays_.size(); ++i)
        if (textOverlays_[i].id == id)
            return i;
    return -1;
}

int OverlayManager::mediaIndex(int id) const {
    for (int i = 0; i < mediaOverlays_.size(); ++i)
        if (mediaOverlays_[i].id == id)
            return i;
    return -1;
}

void OverlayManager::rebuildTextDrawOrder() {
    textDrawOrder_ = textOverlays_;
    std::stable_sort(textDrawOrder_.begin(), textDrawOrder_.end(),
                     [](const TextOverlayData &a, const TextOverlayData &b) {
                         return drawsBefore(a, b, a.zIndex, b.zIndex);
                     });
}

void OverlayManager::rebuildMediaDrawOrder() {
    mediaDrawOrder_ = mediaOverlays_;
    std::stable_sort(mediaDrawOrder_.begin(), mediaDrawOrder_.end(),
                     [](const MediaOverlayEntry &a, const MediaOverlayEntry &b) {
                         return drawsBefore(a, b, a.zOrder, b.zOrder);
                     });
}

void OverlayManager::restartScrollClock(int id, uint signature) {
    scrollClocks_.insert(id, monotonicClock_());
    scrollSignatures_.insert(id, signature);
}

void OverlayManager::setTextOverlay(const TextOverlayData &data) {
    if (data.id < 0)
        return;
    const uint sig = scrollSignature(data);
    const int i = textIndex(data.id);
    if (i >= 0) {
        textOverlays_[i] = data;
        if (sig != scrollSignatures_.value(data.id, 0))
            restartScrollClock(data.id, sig);
    } else {
        if (textOverlays_.size() >= kMaxTextOverlays) {
            qWarning() << "OverlayManager: max" << kMaxTextOverlays << "text overlays"
                       << "— ignoring id" << data.id;
            return;
        }
        textOverlays_.append(data);
        restartScrollClock(data.id, sig);
    }
    rebuildTextDrawOrder();
    emit textOverlaysChanged();
    emit overlayChanged();
}

void OverlayManager::removeTextOverlay(int id) {
    const int i = textIndex(id);
    if (i < 0)
        return;
    textOverlays_.removeAt(i);
    textSprites_.remove(id);
    scrollClocks_.remove(id);
    scrollSignatures_.remove(id);
    rebuildTextDrawOrder();
    emit textOverlaysChanged();
    emit overlayChanged();
}

void OverlayManager::clearTextOverlays() {
    textOverlays_.clear();
    textDrawOrder_.clear();
    textSprites_.clear();
    scrollClocks_.clear();
    scrollSignatures_.clear();
    emit textOverlaysChanged();
    emit overlayChanged();
}

bool OverlayManager::setMediaOverlay(const MediaOverlayEntry &entry) {
    if (entry.id < 0)
        return false;
    const bool loadsImage = entry.kind == MediaOverlayEntry::kImage && !entry.filePath.isEmpty();
    const int i = mediaIndex(entry.id);
    if (i < 0) {
        {
            std::lock_guard lock(mediaMutex_);
            mediaOverlays_.append(entry);
        }
        rebuildMediaDrawOrder();
        if (loadsImage)
            scheduleImageOverlayCacheLoad(entry.id, entry.filePath);
        emit mediaOverlaysChanged();
        emit overlayChanged();
        return true;
    }

    const MediaOverlayEntry old = mediaOverlays_.at(i);
    const bool sameSource = old.kind == entry.kind && old.filePath == entry.filePath &&
                            old.positionMs == entry.positionMs &&
                            old.isPlaying == entry.isPlaying && old.enabled == entry.enabled;
    const bool sameLayout = withinJitter(old.rectInScene, entry.rectInScene) &&
                            old.zOrder == entry.zOrder && old.opacity == entry.opacity;
    if (sameSource && sameLayout)
        return false; // editors jitter while dragging: keep the old entry, say nothing
    const bool layoutOnly = sameSource;

    {
        std::lock_guard lock(mediaMutex_);
        mediaOverlays_[i] = entry;
    }
    rebuildMediaDrawOrder();

    if (loadsImage) {
        const bool keepCached =
            old.kind == MediaOverlayEntry::kImage && old.filePath == entry.filePath;
        if (!keepCached) {
            imageCache_.remove(entry.id);
            swappedImages_.remove(entry.id);
            scheduleImageOverlayCacheLoad(entry.id, entry.filePath);
        }
    } else {
        imageCache_.remove(entry.id);
        swappedImages_.remove(entry.id);
    }

    emit mediaOverlaysChanged();
    if (layoutOnly)
        emit overlayLayoutChanged();
    else
        emit overlayChanged();
    return true;
}

void OverlayManager::removeMediaOverlay(int id) {
    const int i = mediaIndex(id);
    if (i < 0)
        return;
    VideoPictures dropped; // freed outside the lock
    {
        std::lock_guard lock(mediaMutex_);
        mediaOverlays_.removeAt(i);
        dropped = videoFrames_.take(id);
    }
    rebuildMediaDrawOrder();
    imageCache_.remove(id);
    swappedImages_.remove(id);
    imageGenerations_.remove(id);
    emit mediaOverlaysChanged();
    emit overlayChanged();
}

bool OverlayManager::hasMediaOverlay(int id) const {
    std::lock_guard lock(mediaMutex_);
    return mediaIndex(id) >= 0;
}

void OverlayManager::setVideoOverlayFrame(int id, const QImage &frame, qreal pixelsPerUnit) {
    if (id < 0 || frame.isNull())
        return;
    const qreal scale = std::clamp<qreal>(pixelsPerUnit, 1, 8);
    QSize size(kSceneWidth, kSceneHeight);
    QImage target;
    int index = -1;
    uint64_t incarnation = 0;
    {
        std::lock_guard lock(mediaMutex_);
        const int i = mediaIndex(id);
        if (i < 0)
            return;
        const MediaOverlayEntry &e = mediaOverlays_.at(i);
        const QRectF &r = e.rectInScene;
        if (e.kind == MediaOverlayEntry::kVideo && r.width() > 0 && r.height() > 0) {
            // In program pixels, so that it is drawn 1:1 rather than blown up from scene
            // units; but no larger than the picture itself, which would only enlarge it.
            const qreal w = std::min<qreal>(r.width(), kSceneWidth);
            const qreal h = std::min<qreal>(r.height(), kSceneHeight);
            const qreal fit =
                std::clamp(std::min(frame.width() / (w * scale), frame.height() / (h * scale)),
                           1 / scale, qreal(1));
            size = QSize(std::max(1, int(std::ceil(w * scale * fit - 1e-6))),
                         std::max(1, int(std::ceil(h * scale * fit - 1e-6))));
        }
        VideoPictures &pictures = videoFrames_[id];
        if (pictures.incarnation == 0)
            pictures.incarnation = nextIncarnation_++;
        // A free buffer of the right size first, else any free one (it is re-made).
        for (bool anySize : {false, true}) {
            for (int b = 0; b < 3 && index < 0; ++b) {
                const VideoBuffer &buffer = pictures.buffers[b];
                if (b != pictures.front && !buffer.writing && buffer.leases == 0 &&
                    (anySize || buffer.image.size() == size))
                    index = b;
            }
        }
        if (index < 0)
            return; // every buffer is in use: this picture is dropped, the next one comes
        VideoBuffer &buffer = pictures.buffers[index];
        target = std::move(buffer.image);
        buffer.image = QImage();
        buffer.writing = true;
        incarnation = pictures.incarnation;
    }

    scaleNearestInto(frame, target, size);

    std::lock_guard lock(mediaMutex_);
    auto it = videoFrames_.find(id);
    if (it == videoFrames_.end() || it->incarnation != incarnation)
        return; // removed while we scaled; `target` is freed after the lock is released
    VideoBuffer &buffer = it->buffers[index];
    buffer.writing = false;
    if (target.isNull())
        return;
    buffer.image = std::move(target);
    it->front = index;
}

bool OverlayManager::removeVideoOverlayFrame(int id) {
    VideoPictures dropped; // freed outside the lock
    std::lock_guard lock(mediaMutex_);
    auto it = videoFrames_.find(id);
    if (it == videoFrames_.end())
        return false;
    dropped = std::move(*it);
    videoFrames_.erase(it);
    return dropped.front >= 0;
}

QImage OverlayManager::videoFrame(int id) const {
    const VideoFrameLease lease(*this, id);
    return lease.image().copy();
}

OverlayManager::VideoFrameLease::VideoFrameLease(const OverlayManager &manager, int id)
    : manager_(manager), id_(id) {
    std::lock_guard lock(manager_.mediaMutex_);
    auto it = manager_.videoFrames_.find(id);
    if (it == manager_.videoFrames_.end() || it->front < 0)
        return;
    index_ = it->front;
    incarnation_ = it->incarnation;
    VideoBuffer &buffer = it->buffers[index_];
    ++buffer.leases;
    image_ = buffer.image;
}

OverlayManager::VideoFrameLease::~VideoFrameLease() {
    if (index_ < 0)
        return;
    image_ = QImage(); // let go of the pixels before a decoder may reuse them
    std::lock_guard lock(manager_.mediaMutex_);
    auto it = manager_.videoFrames_.find(id_);
    if (it != manager_.videoFrames_.end() && it->incarnation == incarnation_)
        --it->buffers[index_].leases;
}

QImage OverlayManager::cachedImage(int id) const {
    return imageCache_.value(id);
}

void OverlayManager::setDoodleImage(const QImage &image) {
    doodle_ = image;
    doodleVisible_ = false;
    swappedDoodle_ = QImage();
    doodleTiles_.clear();
    if (!image.isNull() && image.width() >= 1 && image.height() >= 1) {
        const QImage probe = image.format() == QImage::Format_ARGB32_Premultiplied
                                 ? image
                                 : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        // Every pixel: a stroke thinner than a sampling grid would slip between its rows. A
        // row whose pixels OR to no alpha at all (premultiplied: fully transparent) is skipped
        // in one pass the compiler vectorises; only rows with some alpha are looked at closely.
        const int width = probe.width();
        for (int y = 0; y < probe.height() && !doodleVisible_; ++y) {
            const auto *row = reinterpret_cast<const QRgb *>(probe.constScanLine(y));
            QRgb any = 0;
            for (int x = 0; x < width; ++x)
                any |= row[x];
            if (qAlpha(any) == 0)
                continue;
            for (int x = 0; x < width; ++x) {
                if (qAlpha(row[x]) > 2) {
                    doodleVisible_ = true;
                    break;
                }
            }
        }
        if (doodleVisible_)
            doodleTiles_ = visibleTiles(probe);
    }
    emit doodleOverlayChanged();
    emit overlayChanged();
}

QImage OverlayManager::paintableImage(int id, bool swapRedBlue) {
    const QImage image = imageCache_.value(id);
    if (!swapRedBlue || image.isNull())
        return image;
    auto it = swappedImages_.find(id);
    if (it == swappedImages_.end())
        it = swappedImages_.insert(
            id, image.convertToFormat(QImage::Format_ARGB32_Premultiplied).rgbSwapped());
    return *it;
}

const QImage &OverlayManager::paintableDoodle(bool swapRedBlue) {
    if (!swapRedBlue || doodle_.isNull())
        return doodle_;
    if (swappedDoodle_.isNull())
        swappedDoodle_ = doodle_.convertToFormat(QImage::Format_ARGB32_Premultiplied).rgbSwapped();
    return swappedDoodle_;
}

QImage OverlayManager::paintableView(const QImage &image, bool swapRedBlue) {
    if (!swapRedBlue || image.isNull())
        return image;
    // RGBA bytes read as ARGB are the picture with red and blue traded: a view, no copy.
    QImage::Format view = QImage::Format_Invalid;
    switch (image.format()) {
    case QImage::Format_RGBA8888:
        view = QImage::Format_ARGB32;
        break;
    case QImage::Format_RGBA8888_Premultiplied:
        view = QImage::Format_ARGB32_Premultiplied;
        break;
    case QImage::Format_RGBX8888:
        view = QImage::Format_RGB32;
        break;
    default:
        return image.convertToFormat(QImage::Format_ARGB32_Premultiplied).rgbSwapped();
    }
    return QImage(image.constBits(), image.width(), image.height(), image.bytesPerLine(), view);
}

void OverlayManager::scheduleImageOverlayCacheLoad(int id, const QString &path) {
    if (id < 0 || path.isEmpty())
        return;
    const int generation = imageGenerations_.value(id, 0) + 1;
    imageGenerations_.insert(id, generation);
    QThreadPool::globalInstance()->start([link = commitLink_, id, path, generation] {
        {
            std::lock_guard lock(link->mutex);
            if (!link->manager)
                return;
        }
        const QImage image = BoundedImageLoader::load(path, kImageLoadLimit, true);
        std::lock_guard lock(link->mutex);
        if (OverlayManager *manager = link->manager) {
            QMetaObject::invokeMethod(
                manager,
                [manager, id, path, generation, image] {
                    manager->tryCommitImageOverlayCache(id, path, generation, image);
                },
                Qt::QueuedConnection);
        }
    });
}

void OverlayManager::tryCommitImageOverlayCache(int id, QString path, int generation,
                                                QImage image) {
    if (image.isNull() || imageGenerations_.value(id, -1) != generation)
        return;
    const int i = mediaIndex(id);
    if (i < 0 || mediaOverlays_.at(i).kind != MediaOverlayEntry::kImage ||
        mediaOverlays_.at(i).filePath != path)
        return;
    imageCache_.insert(id, image);
    swappedImages_.remove(id);
    emit overlayChanged();
}

int64_t OverlayManager::scrollElapsedUs(int id) {
    const int i = textIndex(id);
    if (i < 0)
        return 0;
    const TextOverlayData &t = textOverlays_[i];
    if (!t.scrollable || t.scrollDirection == TextOverlayData::kScrollNone)
        return 0;
    const int64_t now = monotonicClock_();
    auto it = scrollClocks_.constFind(id);
    if (it == scrollClocks_.cend()) {
        restartScrollClock(id, scrollSignature(t));
        return 0;
    }
    return (now - *it) / 1000;
}

bool OverlayManager::hasActiveOverlays() const {
    if (doodleVisible_)
        return true;
    for (const TextOverlayData &t : textOverlays_)
        if (t.enabled && !t.text.isEmpty())
            return true;
    std::lock_guard lock(mediaMutex_);
    for (const MediaOverlayEntry &e : mediaOverlays_) {
        if (!e.enabled || e.filePath.isEmpty())
            continue;
        if (e.kind == MediaOverlayEntry::kImage && !imageCache_.value(e.id).isNull())
            return true;
        if (e.kind == MediaOverlayEntry::kVideo) {
            auto it = videoFrames_.constFind(e.id);
            if (it != videoFrames_.cend() && it->front >= 0)
                return true;
        }
    }
    return false;
}

bool OverlayManager::needsPeriodicRefresh() const {
    if (doodleVisible_)
        return true;
    for (const TextOverlayData &t : textOverlays_)
        if (t.enabled && !t.text.isEmpty() && t.scrollable &&
            t.scrollDirection != TextOverlayData::kScrollNone)
            return true;
    for (const MediaOverlayEntry &e : mediaOverlays_)
        if (e.enabled && e.kind == MediaOverlayEntry::kVideo)
            return true;
    return false;
}
