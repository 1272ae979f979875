#include "pipeline/VulkanCompositor.h"

#include "core/FramePool.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/TextSpriteCache.h"

#include <QDebug>
#include <QImage>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QOpenGLPaintDevice>
#include <QPainter>
#include <QSurfaceFormat>

#include <algorithm>
#include <cmath>
#include <cstring>

struct VulkanCompositor::GpuState {
    // Declared in this order so that the framebuffer goes before the context it lives in.
    std::unique_ptr<QOpenGLContext> context = std::make_unique<QOpenGLContext>();
    std::unique_ptr<QOffscreenSurface> surface = std::make_unique<QOffscreenSurface>();
    std::unique_ptr<QOpenGLFramebufferObject> framebuffer;
    int fbWidth = 0;
    int fbHeight = 0;
    bool ready = false;
    int framebufferCreations = 0;
};

namespace {

constexpr double kSceneWidth = OverlayManager::kSceneWidth;
constexpr double kSceneHeight = OverlayManager::kSceneHeight;

// Makes sure `out` owns at least `bytes` writable bytes: pool buffers grow, never shrink.
bool prepareBuffer(FrameToken &out, qsizetype bytes) {
    if (out.data.size() < bytes)
        out.data.resize(bytes);
    out.data.detach();
    return out.data.size() >= bytes;
}

QImage wrapToken(FrameToken &token, QImage::Format format) {
    return QImage(reinterpret_cast<uchar *>(token.data.data()), token.width, token.height,
                  token.stride, format);
}

QImage wrapTokenReadOnly(const FrameToken &token) {
    return QImage(reinterpret_cast<const uchar *>(token.data.constData()), token.width,
                  token.height, token.stride, QImage::Format_RGBA8888);
}

// Adds `r` (in coordinates that `toDevice` maps to the device's pixels) to `painted`, one pixel
// wider all round for smoothed edges. A rectangle overlapping another joins it when their union
// covers no more than the two did; past a handful the bounding box stands for them all.
void notePainted(QList<QRect> *painted, const QPainter &painter, const QRectF &r,
                 const QTransform &toDevice) {
    if (!painted || r.isEmpty())
        return;
    const QRect device = toDevice.mapRect(r).toAlignedRect().adjusted(-1, -1, 1, 1);
    QRect add = device & QRect(0, 0, painter.device()->width(), painter.device()->height());
    if (add.isEmpty())
        return;
    const auto area = [](const QRect &a) { return qint64(a.width()) * a.height(); };
    for (qsizetype i = 0; i < painted->size();) {
        const QRect &old = painted->at(i);
        const QRect joined = old | add;
        if (old.intersects(add) && area(joined) <= area(old) + area(add)) {
            add = joined;
            painted->removeAt(i);
            i = 0; // the larger rectangle may now join one passed over
        } else {
            ++i;
        }
    }
    painted->append(add);
    constexpr qsizetype kMaxRects = 8;
    if (painted->size() > kMaxRects) {
        QRect all;
        for (const QRect &p : std::as_const(*painted))
            all |= p;
        *painted = {all};
    }
}

// One text overlay: background box, then shadow, outline and text, all at the overlay's
// opacity. The glyph layers are pre-rendered sprites placed on whole pixels.
void drawTextOverlay(QPainter &painter, const TextOverlayData &t, OverlayManager *overlays,
                     qreal scaleX, qreal scaleY, bool swapRedBlue, QList<QRect> *painted) {
    painter.setOpacity(std::clamp(t.opacity / 255.0, 0.0, 1.0));
    const QPaintDevice *device = painter.device();
    const bool scrolls = t.scrollable && t.scrollDirection != TextOverlayData::kScrollNone;
    const double y = t.pos.y();
    const double yPixel = y * scaleY;
    // A fixed text keeps its sub-pixel position; a moving one steps by whole pixels so that
    // one rendering serves every frame.
    const QPointF phase(scrolls ? 0.0 : t.pos.x() * scaleX - std::floor(t.pos.x() * scaleX),
                        yPixel - std::floor(yPixel));
    const TextSpriteCache::Target target{
        scaleX, scaleY, device->logicalDpiX(), device->logicalDpiY(), phase, swapRedBlue};
    const TextSpriteCache::Sprites &sprites = overlays->textSprites().sprites(t, target);
    const qreal advance = sprites.advance;
    const qreal textHeight = sprites.textHeight;
    const qreal pad = t.backgroundPadding;

    double x = t.pos.x();
    QRectF clip;
    if (scrolls) {
        const double elapsed = double(overlays->scrollElapsedUs(t.id)) / 1e6;
        const double speed = t.scrollStep < 2 ? 20.0 : t.scrollStep * 20.0;
        const int passes = std::max(1, t.scrollTimes);
        const double travelled = elapsed * speed;
        const double start = std::clamp(double(t.pos.x()), 0.0, kSceneWidth);
        double band = textHeight + (t.backgroundEnabled ? 2.0 * pad : 0.0);
        if (t.scrollViewportHeight > 0)
            band = t.scrollViewportHeight;
        // After its last pass the text is parked beyond the scene edge. It is then not drawn
        // at all: its padding or shadow would otherwise leave a stripe at the edge for good.
        if (t.scrollDirection == TextOverlayData::kScrollRightToLeft) {
            const double path = std::max(advance + start, 0.001);
            if (travelled >= passes * path)
                return;
            clip = QRectF(0, y, std::clamp(advance + start, 1.0, kSceneWidth), band);
            x = start - std::fmod(travelled, path);
        } else {
            const double path = std::max(kSceneWidth - start, 0.001);
            if (travelled >= passes * path)
                return;
            clip = QRectF(start, y, std::max(kSceneWidth - start, 1.0), band);
            x = start + std::fmod(travelled, path);
        }
        x = std::round(x * scaleX) / scaleX;
        painter.save();
        painter.setClipRect(clip, Qt::ReplaceClip);
    }

    if (t.backgroundEnabled) {
        const QRectF box(x - pad, y - pad, advance + 2 * pad, textHeight + 2 * pad);
        painter.fillRect(box, TextSpriteCache::deviceColor(t.backgroundColor, swapRedBlue));
        notePainted(painted, painter, box, painter.transform());
    }
    const QPoint boxPixel(int(std::floor(x * scaleX + 1e-9)), int(std::floor(yPixel + 1e-9)));
    for (const TextSpriteCache::Layer *layer : {&sprites.shadow, &sprites.outline, &sprites.fill}) {
        TextSpriteCache::drawLayer(painter, *layer, boxPixel);
        // Sprites go on device pixels, whatever the painter's scale.
        if (!layer->image.isNull())
            notePainted(painted, painter, QRect(boxPixel + layer->offset, layer->image.size()),
                        QTransform());
    }
    if (scrolls)
        painter.restore();
}

} // namespace

VulkanCompositor::VulkanCompositor(FramePool *pool, GpuMode mode) : pool_(pool) {
    if (mode != GpuMode::Off)
        setUpGpu(mode == GpuMode::EvenSoftware);
}

VulkanCompositor::~VulkanCompositor() {
    if (gpu_ && gpu_->ready && gpu_->context->makeCurrent(gpu_->surface.get())) {
        gpu_->framebuffer.reset();
        gpu_->context->doneCurrent();
    }
    gpu_.reset();
}

void VulkanCompositor::setUpGpu(bool evenSoftware) {
    auto state = std::make_unique<GpuState>();
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(2, 1);
    format.setDepthBufferSize(0);
    format.setStencilBufferSize(0);
    format.setSamples(0);
    state->context->setFormat(format);
    if (!state->context->create()) {
        qWarning("VulkanCompositor: QOpenGLContext::create failed, using CPU composition");
        return;
    }
    state->surface->setFormat(state->context->format());
    state->surface->create();
    if (!state->surface->isValid()) {
        qWarning("VulkanCompositor: QOffscreenSurface invalid, using CPU composition");
        return;
    }
    if (!state->context->makeCurrent(state->surface.get())) {
        qWarning("VulkanCompositor: OpenGL makeCurrent failed, using CPU composition");
        return;
    }
    // A software rasteriser composes several times slower than QPainter on the CPU and
    // still has to read every frame back.
    const auto *renderer =
        reinterpret_cast<const char *>(state->context->functions()->glGetString(GL_RENDERER));
    const QString rendererName = QString::fromLatin1(renderer ? renderer : "");
    const bool software = rendererName.contains(QLatin1String("llvmpipe")) ||
                          rendererName.contains(QLatin1String("softpipe")) ||
                          rendererName.contains(QLatin1String("Software Rasterizer")) ||
                          rendererName.contains(QLatin1String("SwiftShader"));
    state->context->doneCurrent();
    if (software && !evenSoftware) {
        qInfo().noquote() << "VulkanCompositor: OpenGL renderer" << rendererName
                          << "is a software rasteriser, using CPU composition";
        return;
    }
    state->ready = true;
    gpu_ = std::move(state);
    qInfo("VulkanCompositor: OpenGL offscreen GPU path ready (falls back to CPU on errors)");
}

bool VulkanCompositor::gpuReady() const {
    return gpu_ && gpu_->ready;
}

int VulkanCompositor::framebufferCreations() const {
    return gpu_ ? gpu_->framebufferCreations : 0;
}

FrameTokenPtr VulkanCompositor::compose(OverlayManager *overlays, const FrameTokenPtr &base) {
    lastPath_ = Path::PassedThrough;
    // A base without a whole picture passes through: there is nothing to draw on.
    if (!base || !base->hasPicture() || !overlays ||
        qsizetype(base->stride) * base->height > base->data.size() ||
        base->stride < base->width * 4)
        return base;
    if (!overlays->hasActiveOverlays() || !pool_)
        return base;
    if (base->programOnly && !base->painted && !gpuReady()) {
        // Nothing else shows this picture: drawing on it spares copying the whole frame.
        paintOn(*base, overlays);
        base->painted = true;
        lastPath_ = Path::Cpu;
        return base;
    }
    // Never without overlays on air: when the encoder's backlog holds the pool's tokens, the
    // pool makes one more (it is freed again on return once the pool is full).
    FrameTokenPtr out = pool_->acquire();

    if (gpuReady() && composeOnGpu(overlays, *base, *out)) {
        out->ptsUs = base->ptsUs;
        lastPath_ = Path::Gpu;
        return out;
    }

    const qsizetype n = qsizetype(base->stride) * base->height;
    out->width = base->width;
    out->height = base->height;
    out->valid = true;
    out->stride = base->stride;
    if (!prepareBuffer(*out, n))
        return base;
    std::memcpy(out->data.data(), base->data.constData(), size_t(n));
    paintOn(*out, overlays);
    out->ptsUs = base->ptsUs;
    lastPath_ = Path::Cpu;
    return out;
}

void VulkanCompositor::paintOn(FrameToken &token, OverlayManager *overlays) {
    // Program frames are opaque, so their RGBA bytes are also valid premultiplied ARGB with
    // red and blue traded: painting in that format keeps Qt on its fast paths.
    QImage image = wrapToken(token, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    // Where the picture no longer matches its source, should it have one.
    token.paintedRects.clear();
    paintOverlays(painter, image.width(), image.height(), overlays, true,
                  token.source ? &token.paintedRects : nullptr);
}

bool VulkanCompositor::ensureFramebuffer(int width, int height) {
    if (width <= 0 || height <= 0)
        return false;
    GpuState &gpu = *gpu_;
    if (gpu.framebuffer && gpu.fbWidth == width && gpu.fbHeight == height)
        return gpu.framebuffer->isValid();
    if (!gpu.context->makeCurrent(gpu.surface.get()))
        return false;
    gpu.framebuffer.reset();
    QOpenGLFramebufferObjectFormat format;
    format.setAttachment(QOpenGLFramebufferObject::CombinedDepthStencil);
    auto fbo = std::make_unique<QOpenGLFramebufferObject>(width, height, format);
    ++gpu.framebufferCreations;
    const bool ok = fbo->isValid();
    if (ok) {
        gpu.framebuffer = std::move(fbo);
        gpu.fbWidth = width;
        gpu.fbHeight = height;
    } else {
        fbo.reset();
        gpu.fbWidth = gpu.fbHeight = 0;
    }
    gpu.context->doneCurrent();
    return ok;
}

bool VulkanCompositor::composeOnGpu(OverlayManager *overlays, const FrameToken &base,
                                    FrameToken &out) {
    const int w = base.width, h = base.height;
    if (!gpuReady() || !ensureFramebuffer(w, h))
        return false;
    GpuState &gpu = *gpu_;
    if (!gpu.framebuffer || !gpu.context->makeCurrent(gpu.surface.get()))
        return false;
    const int stride = w * 4;
    if (!prepareBuffer(out, qsizetype(stride) * h)) {
        gpu.context->doneCurrent();
        return false;
    }
    gpu.framebuffer->bind();
    {
        // Painted top row first, so the read-back rows come out in the token's order.
        QOpenGLPaintDevice device(w, h);
        device.setPaintFlipped(true);
        QPainter painter(&device);
        if (!painter.isActive()) {
            gpu.framebuffer->release();
            gpu.context->doneCurrent();
            return false;
        }
        painter.drawImage(QPointF(0, 0), wrapTokenReadOnly(base));
        paintOverlays(painter, w, h, overlays);
        painter.end();
    }
    // Read straight into the token: no intermediate picture, no conversion.
    QOpenGLFunctions *gl = gpu.context->functions();
    while (gl->glGetError() != GL_NO_ERROR) {
    }
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, out.data.data());
    const bool readOk = gl->glGetError() == GL_NO_ERROR;
    gpu.framebuffer->release();
    gpu.context->doneCurrent();
    if (!readOk)
        return false;
    out.width = w;
    out.height = h;
    out.valid = true;
    out.stride = stride;
    return true;
}

void VulkanCompositor::paintOverlays(QPainter &painter, int width, int height,
                                     OverlayManager *overlays, bool swapRedBlue,
                                     QList<QRect> *painted) {
    if (!overlays)
        return;
    // Every drawing below notes where it went (notePainted): outside those rectangles the
    // encoder takes the base's decoded picture instead of these pixels.
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.scale(width / kSceneWidth, height / kSceneHeight);

    for (const MediaOverlayEntry &e : overlays->mediaDrawOrder()) {
        if (!e.enabled || e.filePath.isEmpty())
            continue;
        const auto draw = [&](const QImage &picture) {
            if (picture.isNull())
                return;
            painter.setOpacity(std::clamp(e.opacity, 0.0, 1.0));
            painter.drawImage(e.rectInScene, picture,
                              QRectF(0, 0, picture.width(), picture.height()));
            notePainted(painted, painter, e.rectInScene, painter.transform());
        };
        if (e.kind == MediaOverlayEntry::kImage) {
            draw(overlays->paintableImage(e.id, swapRedBlue));
        } else if (e.kind == MediaOverlayEntry::kVideo) {
            const OverlayManager::VideoFrameLease lease(*overlays, e.id);
            draw(OverlayManager::paintableView(lease.image(), swapRedBlue));
        }
    }
    painter.setOpacity(1.0);

    const QList<TextOverlayData> &texts = overlays->textDrawOrder();
    if (!texts.isEmpty())
        painter.setRenderHint(QPainter::Antialiasing, true);
    for (const TextOverlayData &t : texts)
        if (t.enabled && !t.text.isEmpty())
            drawTextOverlay(painter, t, overlays, width / kSceneWidth, height / kSceneHeight,
                            swapRedBlue, painted);

    // The doodle lies over everything, stretched over the whole scene, whatever the texts'
    // opacity was.
    if (overlays->doodleVisible()) {
        const QImage &doodle = overlays->paintableDoodle(swapRedBlue);
        const qreal toSceneX = kSceneWidth / doodle.width();
        const qreal toSceneY = kSceneHeight / doodle.height();
        painter.setOpacity(1.0);
        for (const QRect &tile : overlays->doodleTiles()) {
            const QRectF inScene(tile.x() * toSceneX, tile.y() * toSceneY, tile.width() * toSceneX,
                                 tile.height() * toSceneY);
            painter.drawImage(inScene, doodle, QRectF(tile));
            notePainted(painted, painter, inScene, painter.transform());
        }
    }
}
