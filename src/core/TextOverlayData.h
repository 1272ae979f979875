#pragma once

#include <QColor>
#include <QFont>
#include <QMetaType>
#include <QPoint>
#include <QString>

// One text overlay as the text panel edits it, the overlay store keeps it and the compositor
// draws it. Positions and sizes are in scene units (the 640 x 360 program scene). The member
// defaults are those of a new panel row; forNewRow() fills in the two that depend on the panel.
struct TextOverlayData {
    static constexpr int kScrollNone = 0;
    static constexpr int kScrollLeftToRight = 1;
    static constexpr int kScrollRightToLeft = 2;

    int id = 1;
    bool enabled = true;
    QString text;
    QFont font = defaultFont();
    QPoint pos{12, 12};
    QColor fontColor{Qt::red};
    QColor backgroundColor{Qt::black};
    QColor shadowColor{Qt::black};
    QColor outlineColor{Qt::black};
    int opacity = 255; // 0 transparent ... 255 opaque
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    bool backgroundEnabled = false;
    int backgroundPadding = 6;
    bool shadow = false;
    QPoint shadowOffset{2, 2};
    bool outline = false;
    int outlineWidth = 1;
    bool scrollable = false;
    int scrollDirection = kScrollNone;
    int scrollTimes = 1;          // below 1 counts as 1
    int scrollStep = 2;           // 20 scene units per second per step, at least 20
    int scrollViewportWidth = 0;  // carried through documents; not used for drawing
    int scrollViewportHeight = 0; // 0: the text height (+ padding)
    int zIndex = 0;

    // The record a new panel row starts with: the panel's next id, stacked below the rows it
    // already holds.
    static TextOverlayData forNewRow(int id, int rowsAlready) {
        TextOverlayData d;
        d.id = id;
        d.pos = QPoint(12, 12 + 26 * rowsAlready);
        return d;
    }

    static QFont defaultFont() { return QFont(QStringLiteral("Arial"), 28); }

    bool operator==(const TextOverlayData &) const = default;
};

Q_DECLARE_METATYPE(TextOverlayData)
