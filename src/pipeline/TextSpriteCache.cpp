#include "pipeline/TextSpriteCache.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include <cmath>

namespace {

// Glyphs that reach past the measured box (a fallback font for Chinese lowers the baseline,
// italics overhang) are drawn whole rather than cut at the box.
constexpr int kTextFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip;

QFont styledFont(const TextOverlayData &t) {
    QFont font = t.font;
    font.setWeight(t.bold ? QFont::Bold : QFont::Normal);
    font.setStyle(t.italic ? QFont::StyleItalic : QFont::StyleNormal);
    font.setUnderline(t.underline);
    font.setStrikeOut(t.strikeOut);
    return font;
}

// Fonts are sized by the device's resolution: give the sprite the target's.
void setResolution(QImage &image, int dpiX, int dpiY) {
    image.setDotsPerMeterX(qRound(dpiX / 0.0254));
    image.setDotsPerMeterY(qRound(dpiY / 0.0254));
}

} // namespace

bool TextSpriteCache::sameLook(const TextOverlayData &a, const TextOverlayData &b) {
    return a.text == b.text && a.font == b.font && a.bold == b.bold && a.italic == b.italic &&
           a.underline == b.underline && a.strikeOut == b.strikeOut && a.fontColor == b.fontColor &&
           a.shadow == b.shadow && a.shadowColor == b.shadowColor &&
           a.shadowOffset == b.shadowOffset && a.outline == b.outline &&
           a.outlineColor == b.outlineColor && a.outlineWidth == b.outlineWidth;
}

const TextSpriteCache::Sprites &TextSpriteCache::sprites(const TextOverlayData &t,
                                                         const Target &target) {
    auto it = entries_.find(t.id);
    if (it != entries_.end() && it->target == target && sameLook(it->look, t))
        return it->sprites;
    Entry entry{t, target, render(t, target)};
    ++renderCount_;
    return entries_.insert(t.id, std::move(entry))->sprites;
}

TextSpriteCache::Sprites TextSpriteCache::render(const TextOverlayData &t, const Target &target) {
    const qreal scaleX = target.scaleX, scaleY = target.scaleY;
    const int dpiX = target.dpiX, dpiY = target.dpiY;
    const QPointF phase = target.phase;
    const auto color = [&](const QColor &c) { return deviceColor(c, target.swapRedBlue); };
    Sprites s;
    const QFont font = styledFont(t);
    QImage probe(1, 1, QImage::Format_ARGB32_Premultiplied);
    setResolution(probe, dpiX, dpiY);
    const QFontMetricsF metrics(font, &probe);
    s.advance = metrics.horizontalAdvance(t.text);
    s.textHeight = metrics.height();

    // Where drawText puts the baseline: a line mixing scripts takes its ascent from the
    // tallest fallback font, which lowers the text below the font's own ascent.
    qreal baseline = metrics.ascent();
    {
        QTextLayout layout(t.text, font, &probe);
        layout.beginLayout();
        const QTextLine line = layout.createLine();
        layout.endLayout();
        if (line.isValid())
            baseline = line.ascent();
    }

    // Everything a layer may touch, in scene units from the text box's top-left: the box,
    // the glyphs' ink, the decoration lines below the baseline, the outline's half width.
    QRectF area = QRectF(0, 0, s.advance, s.textHeight)
                      .united(metrics.boundingRect(t.text).translated(0, baseline))
                      .united(QRectF(0, baseline - metrics.ascent(), s.advance,
                                     metrics.ascent() + metrics.descent() + metrics.lineWidth()));
    const qreal margin = 2.0 + (t.outline ? qMax(0, t.outlineWidth) : 0);
    area.adjust(-margin, -margin, margin, margin);

    const QRectF box(0, 0, s.advance, s.textHeight);
    auto renderLayer = [&](QPointF shift, const auto &paint) {
        const QRect pixels = QRectF((area.left() + shift.x()) * scaleX + phase.x(),
                                    (area.top() + shift.y()) * scaleY + phase.y(),
                                    area.width() * scaleX, area.height() * scaleY)
                                 .toAlignedRect();
        Layer layer;
        layer.image = QImage(pixels.size(), QImage::Format_ARGB32_Premultiplied);
        if (layer.image.isNull())
            return Layer();
        layer.offset = pixels.topLeft();
        setResolution(layer.image, dpiX, dpiY);
        layer.image.fill(Qt::transparent);
        QPainter p(&layer.image);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.translate(-pixels.left() + phase.x(), -pixels.top() + phase.y());
        p.scale(scaleX, scaleY);
        paint(p);
        return layer;
    };

    if (t.shadow) {
        const QPointF shift = t.shadowOffset;
        s.shadow = renderLayer(shift, [&](QPainter &p) {
            p.setFont(font);
            p.setPen(color(t.shadowColor));
            p.drawText(box.translated(shift), kTextFlags, t.text);
        });
    }
    if (t.outline) {
        s.outline = renderLayer(QPointF(), [&](QPainter &p) {
            QPainterPath path;
            path.addText(QPointF(0, baseline), font, t.text);
            QPen pen(color(t.outlineColor));
            pen.setWidthF(t.outlineWidth);
            p.strokePath(path, pen); // stroke only: the glyphs are not filled
        });
    }
    s.fill = renderLayer(QPointF(), [&](QPainter &p) {
        p.setFont(font);
        p.setPen(color(t.fontColor));
        p.drawText(box, kTextFlags, t.text);
    });
    return s;
}

void TextSpriteCache::drawLayer(QPainter &painter, const Layer &layer, QPoint boxPixel) {
    if (layer.image.isNull())
        return;
    painter.save();
    painter.resetTransform(); // the clip stays where it was set
    painter.drawImage(boxPixel + layer.offset, layer.image);
    painter.restore();
}
