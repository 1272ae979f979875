#pragma once

#include "core/TextOverlayData.h"

#include <QColor>
#include <QHash>

#include <QImage>
#include <QPoint>
#include <QRect>

class QPainter;

// Pre-rendered layers of the text overlays at the program's pixel scale. Rasterising large
// glyphs costs milliseconds per text and frame; a text that keeps its look is rendered once
// and then only blended, which also makes every frame's glyphs identical.
//
// Each layer (shadow, outline, text) is its own sprite so that an overlay's opacity applies
// to every layer separately, exactly as drawing the layers one after another would. The
// background box is a plain fill and is not cached.
//
// Threads: the thread that composes (the GUI thread) only.
class TextSpriteCache {
public:
    struct Layer {
        QImage image;  // premultiplied ARGB, empty when the text has no such layer
        QPoint offset; // of the image's top-left from the text box's top-left pixel
    };
    struct Sprites {
        // Scene units, measured with the text's own font on the target's resolution.
        qreal advance = 0;
        qreal textHeight = 0;
        Layer shadow, outline, fill;
    };

    // How the sprites are to be drawn: `scaleX` x `scaleY` pixels per scene unit on a device
    // of dpiX x dpiY logical dots per inch, the text box's top-left at `phase` (0 <= phase < 1)
    // within its pixel, and red and blue traded when the device reads RGBA bytes as ARGB.
    struct Target {
        qreal scaleX = 1, scaleY = 1;
        int dpiX = 96, dpiY = 96;
        QPointF phase;
        bool swapRedBlue = false;
        bool operator==(const Target &) const = default;
    };

    // The sprites of `t` for `target`, rendered again only when the target or the text's look
    // changed.
    const Sprites &sprites(const TextOverlayData &t, const Target &target);

    // A colour as it must be given to a device that has red and blue traded.
    static QColor deviceColor(const QColor &color, bool swapRedBlue) {
        return swapRedBlue ? QColor(color.blue(), color.green(), color.red(), color.alpha())
                           : color;
    }

    void remove(int id) { entries_.remove(id); }
    void clear() { entries_.clear(); }
    int renderCount() const { return renderCount_; }

    // Blends one layer with its top-left pixel at `boxPixel` + the layer's offset, on a
    // painter whose transform is then restored.
    static void drawLayer(QPainter &painter, const Layer &layer, QPoint boxPixel);

private:
    struct Entry {
        TextOverlayData look;
        Target target;
        Sprites sprites;
    };

    static bool sameLook(const TextOverlayData &a, const TextOverlayData &b);
    static Sprites render(const TextOverlayData &t, const Target &target);

    QHash<int, Entry> entries_;
    int renderCount_ = 0;
};
