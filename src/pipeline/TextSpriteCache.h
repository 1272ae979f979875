#pragma once

#include "core/TextOverlayData.h"

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

    // The sprites of `t` drawn `scaleX` x `scaleY` pixels per scene unit on a device of `dpi`
    // logical dots per inch, with the text box's top-left at `phase` (0 <= phase < 1) within
    // its pixel. Re-rendered only when any of these or the text's look changed.
    const Sprites &sprites(const TextOverlayData &t, qreal scaleX, qreal scaleY, int dpiX, int dpiY,
                           QPointF phase);

    void remove(int id) { entries_.remove(id); }
    void clear() { entries_.clear(); }
    int renderCount() const { return renderCount_; }

    // Blends one layer with its top-left pixel at `boxPixel` + the layer's offset, on a
    // painter whose transform is then restored.
    static void drawLayer(QPainter &painter, const Layer &layer, QPoint boxPixel);

private:
    struct Entry {
        TextOverlayData look;
        qreal scaleX = 0, scaleY = 0;
        int dpiX = 0, dpiY = 0;
        QPointF phase;
        Sprites sprites;
    };

    static bool sameLook(const TextOverlayData &a, const TextOverlayData &b);
    static Sprites render(const TextOverlayData &t, qreal scaleX, qreal scaleY, int dpiX, int dpiY,
                          QPointF phase);

    QHash<int, Entry> entries_;
    int renderCount_ = 0;
};
