#include "arrangement/ProgramArrangement.h"

#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// The ranges of the text effect dialog; the engine cannot include the dialog, so they live here.
constexpr int kMinPointSize = 6;
constexpr int kMaxPointSize = 200;
constexpr int kMinOutlineWidth = 1;
constexpr int kMaxOutlineWidth = 10;
constexpr int kMaxTextOpacity = 255;
constexpr int kMinScrollTimes = 1;
constexpr int kMaxScrollTimes = 100;
constexpr int kMinScrollStep = 1;
constexpr int kMaxScrollStep = 50;
// Positions, offsets and sizes the dialog does not edit: far beyond any scene, yet small enough
// that arithmetic on them cannot overflow.
constexpr int kMaxSceneUnits = 100000;

constexpr int kMaxChannel = 3;
constexpr int kMinIntervalMs = 200;
constexpr int kMaxIntervalMs = 120000;

constexpr QChar kPathSeparator = u'|';

// A whole number held to [lo, hi]; anything else (wrong type, fraction) is the default. The
// clamp happens on the double, so huge values never reach the cast.
int wholeInt(const QJsonValue &value, int fallback, int lo, int hi) {
    if (!value.isDouble())
        return fallback;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d))
        return fallback;
    return static_cast<int>(std::clamp(d, double(lo), double(hi)));
}

double boundedReal(const QJsonValue &value, double fallback, double lo, double hi) {
    if (!value.isDouble())
        return fallback;
    const double d = value.toDouble();
    return std::isnan(d) ? fallback : std::clamp(d, lo, hi);
}

int64_t timeMs(const QJsonValue &value) {
    constexpr double limit = double(ArrangementJson::kMaxTimeMs);
    // The conversion truncates the fraction toward zero.
    return static_cast<int64_t>(boundedReal(value, 0.0, -limit, limit));
}

QString sceneKindName(int kind) {
    switch (kind) {
    case SceneClip::ImagePlay:
        return QStringLiteral("imagePlay");
    case SceneClip::SceneVideo:
        return QStringLiteral("sceneVideo");
    default:
        return QStringLiteral("channel");
    }
}

QString overlayKindName(int kind) {
    switch (kind) {
    case OverlayClip::Text:
        return QStringLiteral("text");
    case OverlayClip::Video:
        return QStringLiteral("video");
    default:
        return QStringLiteral("image");
    }
}

int overlayKindFromString(const QString &kind) {
    if (kind == QLatin1String("text"))
        return OverlayClip::Text;
    if (kind == QLatin1String("video"))
        return OverlayClip::Video;
    return OverlayClip::Image;
}

QJsonObject sceneClipToJson(const SceneClip &clip) {
    QJsonObject o;
    o.insert(QStringLiteral("id"), clip.id);
    o.insert(QStringLiteral("startMs"), qint64(clip.startMs));
    o.insert(QStringLiteral("endMs"), qint64(clip.endMs));
    o.insert(QStringLiteral("kind"), sceneKindName(clip.kind));
    o.insert(QStringLiteral("channel"), clip.channel);
    o.insert(QStringLiteral("paths"), clip.paths.join(kPathSeparator));
    o.insert(QStringLiteral("intervalMs"), clip.intervalMs);
    o.insert(QStringLiteral("imageLoop"), clip.imageLoop);
    o.insert(QStringLiteral("sceneVideoPath"), clip.sceneVideoPath);
    o.insert(QStringLiteral("imageDirectory"), clip.imageDirectory);
    return o;
}

SceneClip sceneClipFromJson(const QJsonObject &o) {
    SceneClip clip;
    clip.id = o.value(QStringLiteral("id")).toString();
    clip.startMs = timeMs(o.value(QStringLiteral("startMs")));
    clip.endMs = timeMs(o.value(QStringLiteral("endMs")));
    clip.kind = sceneKindFromString(o.value(QStringLiteral("kind")).toString());
    clip.channel = wholeInt(o.value(QStringLiteral("channel")), 0, 0, kMaxChannel);
    clip.paths =
        o.value(QStringLiteral("paths")).toString().split(kPathSeparator, Qt::SkipEmptyParts);
    clip.intervalMs =
        wholeInt(o.value(QStringLiteral("intervalMs")), 2000, kMinIntervalMs, kMaxIntervalMs);
    clip.imageLoop = o.value(QStringLiteral("imageLoop")).toBool(true);
    clip.sceneVideoPath = o.value(QStringLiteral("sceneVideoPath")).toString();
    clip.imageDirectory = o.value(QStringLiteral("imageDirectory")).toString();
    // Plans may name only the folder; its pictures are taken at reading time.
    if (clip.kind == SceneClip::ImagePlay && clip.paths.isEmpty() && !clip.imageDirectory.isEmpty())
        clip.paths = imagesInDirectory(clip.imageDirectory);
    return clip;
}

QJsonObject overlayClipToJson(const OverlayClip &clip) {
    QJsonObject o;
    o.insert(QStringLiteral("id"), clip.id);
    o.insert(QStringLiteral("startMs"), qint64(clip.startMs));
    o.insert(QStringLiteral("endMs"), qint64(clip.endMs));
    o.insert(QStringLiteral("path"), clip.path);
    o.insert(QStringLiteral("imageDirectory"), clip.imageDirectory);
    const QString kind = overlayKindName(clip.kind);
    o.insert(QStringLiteral("overlayKind"), kind);
    o.insert(QStringLiteral("mediaType"), kind);
    o.insert(QStringLiteral("x"), clip.rect.x());
    o.insert(QStringLiteral("y"), clip.rect.y());
    o.insert(QStringLiteral("w"), clip.rect.width());
    o.insert(QStringLiteral("h"), clip.rect.height());
    o.insert(QStringLiteral("opacity"), clip.opacity);
    if (clip.kind == OverlayClip::Text)
        o.insert(QStringLiteral("textData"), textOverlayToJson(clip.textData));
    return o;
}

OverlayClip overlayClipFromJson(const QJsonObject &o) {
    OverlayClip clip;
    clip.id = o.value(QStringLiteral("id")).toString();
    clip.startMs = timeMs(o.value(QStringLiteral("startMs")));
    clip.endMs = timeMs(o.value(QStringLiteral("endMs")));
    clip.path = o.value(QStringLiteral("path")).toString();
    clip.imageDirectory = o.value(QStringLiteral("imageDirectory")).toString();
    // Older plans name the kind only in "mediaType".
    QString kind = o.value(QStringLiteral("overlayKind")).toString();
    if (kind.isEmpty())
        kind = o.value(QStringLiteral("mediaType")).toString();
    clip.kind = overlayKindFromString(kind);
    constexpr double bound = kMaxSceneUnits;
    clip.rect = QRectF(boundedReal(o.value(QStringLiteral("x")), 0, -bound, bound),
                       boundedReal(o.value(QStringLiteral("y")), 0, -bound, bound),
                       boundedReal(o.value(QStringLiteral("w")), 320, -bound, bound),
                       boundedReal(o.value(QStringLiteral("h")), 180, -bound, bound));
    clip.opacity = boundedReal(o.value(QStringLiteral("opacity")), 1.0, 0.0, 1.0);
    const QJsonValue textData = o.value(QStringLiteral("textData"));
    if (textData.isObject())
        clip.textData = textOverlayFromJson(textData.toObject());
    if (clip.kind == OverlayClip::Text && clip.textData.text.isEmpty()) {
        const QString legacy = o.value(QStringLiteral("overlayText")).toString();
        clip.textData.text = legacy.isEmpty() ? QStringLiteral("字幕") : legacy;
    }
    return clip;
}

} // namespace

QByteArray arrangementToJson(const ProgramArrangement &arrangement) {
    QJsonObject root;
    root.insert(QStringLiteral("format"), QLatin1String(ArrangementJson::kFormatTag));
    root.insert(QStringLiteral("version"), arrangement.version);
    if (!arrangement.timelineZero.isEmpty())
        root.insert(QStringLiteral("timelineZero"), arrangement.timelineZero);
    QJsonArray scenes;
    for (const SceneClip &clip : arrangement.sceneClips)
        scenes.append(sceneClipToJson(clip));
    root.insert(QStringLiteral("sceneClips"), scenes);
    QJsonArray overlays;
    for (const OverlayClip &clip : arrangement.overlayClips)
        overlays.append(overlayClipToJson(clip));
    root.insert(QStringLiteral("overlayClips"), overlays);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

ProgramArrangement arrangementFromJson(const QByteArray &bytes, QString *error) {
    QString ignored;
    QString &message = error ? *error : ignored;
    message.clear();

    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError) {
        message = parse.errorString();
        return {};
    }
    if (!document.isObject()) {
        message = QStringLiteral("文件内容不是 JSON 对象");
        return {};
    }
    const QJsonObject root = document.object();
    const QJsonValue tag = root.value(QStringLiteral("format"));
    if (!tag.isString() || tag.toString() != QLatin1String(ArrangementJson::kFormatTag)) {
        message = QStringLiteral("不是有效的节目编排文件");
        return {};
    }

    ProgramArrangement arrangement;
    arrangement.version = wholeInt(root.value(QStringLiteral("version")), 2, 0, INT_MAX);
    arrangement.timelineZero = root.value(QStringLiteral("timelineZero")).toString();
    for (const QJsonValue &v : root.value(QStringLiteral("sceneClips")).toArray()) {
        if (v.isObject())
            arrangement.sceneClips.append(sceneClipFromJson(v.toObject()));
    }
    for (const QJsonValue &v : root.value(QStringLiteral("overlayClips")).toArray()) {
        if (v.isObject())
            arrangement.overlayClips.append(overlayClipFromJson(v.toObject()));
    }
    return arrangement;
}

QJsonObject textOverlayToJson(const TextOverlayData &d) {
    QJsonObject o;
    o.insert(QStringLiteral("text"), d.text);
    o.insert(QStringLiteral("enabled"), d.enabled);
    o.insert(QStringLiteral("fontFamily"), d.font.family());
    o.insert(QStringLiteral("fontPointSize"), d.font.pointSize());
    o.insert(QStringLiteral("bold"), d.bold);
    o.insert(QStringLiteral("italic"), d.italic);
    o.insert(QStringLiteral("underline"), d.underline);
    o.insert(QStringLiteral("strikeOut"), d.strikeOut);
    o.insert(QStringLiteral("posX"), d.pos.x());
    o.insert(QStringLiteral("posY"), d.pos.y());
    o.insert(QStringLiteral("fontColor"), colorToJson(d.fontColor));
    o.insert(QStringLiteral("backgroundColor"), colorToJson(d.backgroundColor));
    o.insert(QStringLiteral("shadowColor"), colorToJson(d.shadowColor));
    o.insert(QStringLiteral("outlineColor"), colorToJson(d.outlineColor));
    o.insert(QStringLiteral("opacity"), d.opacity);
    o.insert(QStringLiteral("backgroundEnabled"), d.backgroundEnabled);
    o.insert(QStringLiteral("backgroundPadding"), d.backgroundPadding);
    o.insert(QStringLiteral("shadow"), d.shadow);
    o.insert(QStringLiteral("shadowOffsetX"), d.shadowOffset.x());
    o.insert(QStringLiteral("shadowOffsetY"), d.shadowOffset.y());
    o.insert(QStringLiteral("outline"), d.outline);
    o.insert(QStringLiteral("outlineWidth"), d.outlineWidth);
    o.insert(QStringLiteral("scrollable"), d.scrollable);
    o.insert(QStringLiteral("scrollDirection"), d.scrollDirection);
    o.insert(QStringLiteral("scrollTimes"), d.scrollTimes);
    o.insert(QStringLiteral("scrollStep"), d.scrollStep);
    o.insert(QStringLiteral("scrollViewportWidth"), d.scrollViewportWidth);
    o.insert(QStringLiteral("scrollViewportHeight"), d.scrollViewportHeight);
    o.insert(QStringLiteral("zIndex"), d.zIndex);
    return o;
}

TextOverlayData textOverlayFromJson(const QJsonObject &o) {
    const auto number = [&o](const char *key, int fallback, int lo, int hi) {
        return wholeInt(o.value(QLatin1String(key)), fallback, lo, hi);
    };
    const auto flag = [&o](const char *key, bool fallback) {
        return o.value(QLatin1String(key)).toBool(fallback);
    };
    constexpr int scene = kMaxSceneUnits;

    // The id is the panel's business; a plan's texts get theirs when they are shown.
    TextOverlayData d = TextOverlayData::forNewRow(-1, 0);
    d.text = o.value(QStringLiteral("text")).toString();
    d.enabled = flag("enabled", true);
    const QString family = o.value(QStringLiteral("fontFamily")).toString();
    if (!family.isEmpty())
        d.font.setFamily(family);
    d.font.setPointSize(number("fontPointSize", 28, kMinPointSize, kMaxPointSize));
    d.bold = flag("bold", false);
    d.italic = flag("italic", false);
    d.underline = flag("underline", false);
    d.strikeOut = flag("strikeOut", false);
    d.pos = QPoint(number("posX", 12, -scene, scene), number("posY", 12, -scene, scene));
    d.fontColor = colorFromJson(o.value(QStringLiteral("fontColor")));
    d.backgroundColor = colorFromJson(o.value(QStringLiteral("backgroundColor")));
    d.shadowColor = colorFromJson(o.value(QStringLiteral("shadowColor")));
    d.outlineColor = colorFromJson(o.value(QStringLiteral("outlineColor")));
    d.opacity = number("opacity", 255, 0, kMaxTextOpacity);
    d.backgroundEnabled = flag("backgroundEnabled", false);
    d.backgroundPadding = number("backgroundPadding", 6, 0, scene);
    d.shadow = flag("shadow", false);
    d.shadowOffset = QPoint(number("shadowOffsetX", 2, -scene, scene),
                            number("shadowOffsetY", 2, -scene, scene));
    d.outline = flag("outline", false);
    d.outlineWidth = number("outlineWidth", 1, kMinOutlineWidth, kMaxOutlineWidth);
    d.scrollable = flag("scrollable", false);
    d.scrollDirection = number("scrollDirection", TextOverlayData::kScrollNone,
                               TextOverlayData::kScrollNone, TextOverlayData::kScrollRightToLeft);
    d.scrollTimes = number("scrollTimes", 1, kMinScrollTimes, kMaxScrollTimes);
    d.scrollStep = number("scrollStep", 2, kMinScrollStep, kMaxScrollStep);
    d.scrollViewportWidth = number("scrollViewportWidth", 0, 0, scene);
    d.scrollViewportHeight = number("scrollViewportHeight", 0, 0, scene);
    d.zIndex = number("zIndex", 0, -scene, scene);
    return d;
}

QJsonObject colorToJson(const QColor &color) {
    // Signed, as the plans written so far have it: opaque colours are negative.
    return QJsonObject{{QStringLiteral("rgba"), qint64(qint32(color.rgba()))}};
}

QColor colorFromJson(const QJsonValue &value) {
    if (value.isObject()) {
        const QJsonValue rgba = value.toObject().value(QStringLiteral("rgba"));
        const double d = rgba.toDouble(std::nan(""));
        // Both the signed and the unsigned reading of the 32 bits are accepted.
        if (d >= double(INT32_MIN) && d <= double(UINT32_MAX) && d == std::trunc(d))
            return QColor::fromRgba(QRgb(uint32_t(int64_t(d))));
    } else if (value.isString()) {
        const QColor color = QColor::fromString(value.toString());
        if (color.isValid())
            return color;
    }
    return QColor(Qt::white);
}

int sceneKindFromString(const QString &kind) {
    if (kind == QLatin1String("imagePlay") || kind == QLatin1String("imageSequence"))
        return SceneClip::ImagePlay;
    if (kind == QLatin1String("sceneVideo"))
        return SceneClip::SceneVideo;
    return SceneClip::Channel;
}

QStringList imagesInDirectory(const QString &directory) {
    const QDir dir(directory);
    if (directory.isEmpty() || !dir.exists())
        return {};
    const QStringList filters{QStringLiteral("*.png"), QStringLiteral("*.jpg"),
                              QStringLiteral("*.jpeg"), QStringLiteral("*.bmp"),
                              QStringLiteral("*.webp")};
    QStringList paths;
    for (const QFileInfo &info : dir.entryInfoList(filters, QDir::Files, QDir::Name))
        paths.append(info.absoluteFilePath());
    return paths;
}
