#pragma once

// Pictures and overlay set-ups shared by the overlay store and compositor tests.

#include "core/FramePool.h"
#include "core/FrameToken.h"
#include "pipeline/OverlayManager.h"

#include <QColor>
#include <QImage>
#include <QString>
#include <QTest>

#include <cstring>
#include <memory>

namespace overlays {

// A standalone (not pooled) base frame filled with one opaque colour.
inline FrameTokenPtr solidBase(int width, int height, QColor color) {
    auto token = std::make_shared<FrameToken>();
    token->width = width;
    token->height = height;
    token->stride = width * 4;
    token->data.resize(qsizetype(token->stride) * height);
    const uint8_t px[4] = {uint8_t(color.red()), uint8_t(color.green()), uint8_t(color.blue()),
                           255};
    for (qsizetype i = 0; i < token->data.size(); i += 4)
        std::memcpy(token->data.data() + i, px, 4);
    return token;
}

// A frame of the pool's size filled with one colour, as a decoder would deliver it.
inline FrameTokenPtr pooledFrame(FramePool &pool, QColor color, int64_t ptsUs) {
    FrameTokenPtr f = pool.acquire();
    f->width = pool.width();
    f->height = pool.height();
    f->stride = f->width * 4;
    f->ptsUs = ptsUs;
    f->data.resize(qsizetype(f->stride) * f->height);
    QImage view(reinterpret_cast<uchar *>(f->data.data()), f->width, f->height, f->stride,
                QImage::Format_RGBA8888);
    view.fill(color);
    return f;
}

inline QImage wrap(const FrameTokenPtr &t) {
    return QImage(reinterpret_cast<const uchar *>(t->data.constData()), t->width, t->height,
                  t->stride, QImage::Format_RGBA8888);
}

// Colour of one pixel of a frame, alpha included.
inline QColor pixel(const FrameTokenPtr &t, int x, int y) {
    const auto *p = reinterpret_cast<const uint8_t *>(t->data.constData()) +
                    qsizetype(y) * t->stride + qsizetype(x) * 4;
    return QColor(p[0], p[1], p[2], p[3]);
}

inline QImage solidImage(int width, int height, QColor color) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

// Writes a solid PNG into `dir` and returns its path.
inline QString writePng(const QString &dir, const QString &name, int width, int height,
                        QColor color) {
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    solidImage(width, height, color).save(path, "PNG");
    return path;
}

inline MediaOverlayEntry mediaEntry(int id, int kind, const QString &path, QRectF rect, int z = 0,
                                    double opacity = 1.0) {
    MediaOverlayEntry e;
    e.id = id;
    e.kind = kind;
    e.filePath = path;
    e.rectInScene = rect;
    e.zOrder = z;
    e.opacity = opacity;
    return e;
}

// Applies an image overlay and waits until its picture has loaded in the background.
inline bool applyLoadedImage(OverlayManager &m, const MediaOverlayEntry &e) {
    m.setMediaOverlay(e);
    return QTest::qWaitFor([&] { return !m.cachedImage(e.id).isNull(); }, 5000);
}

inline bool near(QColor a, QColor b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

} // namespace overlays
