#pragma once

#include <QRectF>
#include <QString>

#include <cstdint>

// One image or video overlay as the overlay store holds it. The rectangle is in scene units
// (the 640 x 360 program scene).
struct MediaOverlayEntry {
    static constexpr int kImage = 0;
    static constexpr int kVideo = 1; // other kinds are stored but never drawn

    int id = -1; // >= 0; the key of the picture caches
    int kind = kImage;
    QString filePath;
    QRectF rectInScene;
    bool enabled = true;
    int zOrder = 0;         // ascending drawing order
    double opacity = 1.0;   // clamped to 0 ... 1 when drawn
    int64_t positionMs = 0; // video: position the editor reported when applied
    bool isPlaying = false; // video: playing when applied

    bool operator==(const MediaOverlayEntry &) const = default;
};
