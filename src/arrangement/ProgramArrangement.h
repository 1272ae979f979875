#pragma once

#include "core/TextOverlayData.h"

#include <QByteArray>
#include <QColor>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <cstdint>

// A timed plan for the program: base clips say what the program shows when (a channel, a
// sequence of pictures or a video file), overlay clips what lies over it when. Times are in
// milliseconds from the plan's base time; an end of 0 or less is an open end.
struct SceneClip {
    enum Kind { Channel = 0, ImagePlay = 1, SceneVideo = 2 };

    QString id;
    int64_t startMs = 0;
    int64_t endMs = 0;
    int kind = Channel;
    int channel = 0; // 0-3
    QStringList paths;
    int intervalMs = 2000;
    bool imageLoop = true;
    QString sceneVideoPath;
    QString imageDirectory;

    bool operator==(const SceneClip &) const = default;
};

struct OverlayClip {
    enum Kind { Text = 0, Video = 1, Image = 2 };

    QString id;
    int64_t startMs = 0;
    int64_t endMs = 0;
    int kind = Image;
    QString path;
    QString imageDirectory;      // carried through, not drawn
    QRectF rect{0, 0, 320, 180}; // scene units
    double opacity = 1.0;
    TextOverlayData textData; // kind Text

    bool operator==(const OverlayClip &) const = default;
};

struct ProgramArrangement {
    int version = 2;
    QString timelineZero; // "yyyy-MM-dd HH:mm:ss", local time; may be empty
    QList<SceneClip> sceneClips;
    QList<OverlayClip> overlayClips;

    bool isEmpty() const { return sceneClips.isEmpty() && overlayClips.isEmpty(); }
    bool operator==(const ProgramArrangement &) const = default;
};

// The JSON document. Reading is lenient: a key that is missing or of the wrong type takes its
// default, and numbers are held to their field's range; only a syntax error, a top level that
// is not an object, or a wrong format tag reject a file.
namespace ArrangementJson {

inline constexpr char kFormatTag[] = "quorvi_program_arrangement";
// Times beyond this (about a century) are clamped, so plan arithmetic cannot overflow.
inline constexpr int64_t kMaxTimeMs = int64_t(100) * 366 * 24 * 3600 * 1000;

} // namespace ArrangementJson

QByteArray arrangementToJson(const ProgramArrangement &arrangement);
// On failure the result is empty and *error holds the reason; on success *error is cleared.
ProgramArrangement arrangementFromJson(const QByteArray &bytes, QString *error);

QJsonObject textOverlayToJson(const TextOverlayData &data);
TextOverlayData textOverlayFromJson(const QJsonObject &object);
QJsonObject colorToJson(const QColor &color);
QColor colorFromJson(const QJsonValue &value);
int sceneKindFromString(const QString &kind);
// The picture files of a folder (no sub-folders), by name, as absolute paths; empty when the
// folder does not exist.
QStringList imagesInDirectory(const QString &directory);
