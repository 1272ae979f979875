#include "input/SourceAddress.h"

#include <QUrl>
#include <QUrlQuery>

#include <initializer_list>

namespace {

const QString kAudioSource = QStringLiteral("audioSource");
const QString kCaptureHost = QStringLiteral("capture");

bool startsWithAny(const QString &text, std::initializer_list<const char *> prefixes) {
    for (const char *prefix : prefixes) {
        if (text.startsWith(QLatin1String(prefix), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool isCameraPrefix(const QString &address) {
    return address.startsWith(QLatin1String("dshow://"), Qt::CaseInsensitive);
}

bool isRtmpFamily(const QString &address) {
    return startsWithAny(address, {"rtmp://", "rtmps://", "rtmpt://"});
}

bool isUrlText(const QString &address) {
    return address.contains(QLatin1String("://"));
}

// The query of `address` when its scheme is `scheme`; nothing otherwise, so a file path that
// happens to carry the same item names is not read as a capture address.
bool captureQuery(const QString &address, const char *scheme, QUrlQuery *query) {
    const QUrl url(address);
    if (!url.isValid() || url.scheme().compare(QLatin1String(scheme), Qt::CaseInsensitive) != 0)
        return false;
    *query = QUrlQuery(url);
    return true;
}

QString captureItem(const QString &address, const char *scheme, const QString &key) {
    QUrlQuery query;
    if (!captureQuery(address, scheme, &query))
        return {};
    return query.queryItemValue(key, QUrl::FullyDecoded);
}

// Values go in already percent-encoded: given as plain text, QUrlQuery would take a "%26"
// inside a name (or inside a nested microphone address) as an encoded '&' and decode it once
// too often on the way back.
void addEncodedItem(QUrlQuery *query, const QString &key, const QString &value) {
    query->addQueryItem(key, QString::fromLatin1(QUrl::toPercentEncoding(value)));
}

QUrlQuery singleItem(const QString &key, const QString &value) {
    QUrlQuery query;
    addEncodedItem(&query, key, value);
    return query;
}

QUrl captureUrl(const QString &scheme, const QUrlQuery &query) {
    QUrl url;
    url.setScheme(scheme);
    url.setHost(kCaptureHost);
    url.setQuery(query);
    return url;
}

QUrl microphoneUrl(const QString &name) {
    return captureUrl(QStringLiteral("dshow"), singleItem(QStringLiteral("audio"), name));
}

QString buildAddress(const QString &scheme, const QString &key, const QString &value,
                     const QString &microphoneName) {
    QUrlQuery query = singleItem(key, value);
    if (!microphoneName.trimmed().isEmpty())
        addEncodedItem(&query, kAudioSource, microphoneUrl(microphoneName).toString());
    return captureUrl(scheme, query).toString(QUrl::FullyEncoded);
}

} // namespace

SourceAddress::Kind SourceAddress::kindOf(const QString &address) {
    if (isCameraPrefix(address))
        return Kind::Camera;
    if (address.startsWith(QLatin1String("desktop://"), Qt::CaseInsensitive))
        return Kind::Display;
    if (address.startsWith(QLatin1String("wgc://"), Qt::CaseInsensitive))
        return Kind::Window;
    if (isUrlText(address))
        return Kind::Network;
    return Kind::File;
}

QString SourceAddress::audioSourceOf(const QString &address) {
    const QUrlQuery query{QUrl(address)};
    const QByteArray value = query.queryItemValue(kAudioSource).toUtf8();
    return QUrl::fromPercentEncoding(value).trimmed();
}

QString SourceAddress::withoutAudioSource(const QString &address) {
    QUrl url(address);
    if (!url.isValid())
        return address;
    QUrlQuery query(url);
    // Re-encoding an address that has nothing to remove would only risk changing it (a file
    // path with spaces would come back with "%20").
    if (!query.hasQueryItem(kAudioSource))
        return address;
    query.removeAllQueryItems(kAudioSource);
    url.setQuery(query);
    return url.toString(QUrl::FullyEncoded);
}

SourceAddress::DeviceNames SourceAddress::deviceNames(const QString &address) {
    QUrlQuery query;
    if (!captureQuery(address, "dshow", &query))
        return {};
    return {query.queryItemValue(QStringLiteral("video"), QUrl::FullyDecoded).trimmed(),
            query.queryItemValue(QStringLiteral("audio"), QUrl::FullyDecoded).trimmed()};
}

bool SourceAddress::isMicrophoneAddress(const QString &microphone) {
    return !deviceNames(microphone).audio.isEmpty();
}

QString SourceAddress::escapeDeviceName(const QString &name) {
    QString escaped;
    escaped.reserve(name.size());
    for (const QChar c : name) {
        if (c == u'\\' || c == u':')
            escaped += u'\\';
        escaped += c;
    }
    return escaped;
}

QString SourceAddress::deviceString(const QString &video, const QString &audio) {
    if (!video.isEmpty() && !audio.isEmpty()) {
        return QStringLiteral("video=%1:audio=%2")
            .arg(escapeDeviceName(video), escapeDeviceName(audio));
    }
    if (!video.isEmpty())
        return QStringLiteral("video=%1").arg(escapeDeviceName(video));
    if (!audio.isEmpty())
        return QStringLiteral("audio=%1").arg(escapeDeviceName(audio));
    return {};
}

int SourceAddress::monitorIndex(const QString &address) {
    bool ok = false;
    const int index = captureItem(address, "desktop", QStringLiteral("monitor")).toInt(&ok, 10);
    return ok && index > 0 ? index : 0;
}

bool SourceAddress::usesWindowCaptureLibrary(const QString &address) {
    const QString value = captureItem(address, "desktop", QStringLiteral("wgc"));
    return value == QLatin1String("1") ||
           value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

uint64_t SourceAddress::windowHandle(const QString &address) {
    const QString value = captureItem(address, "wgc", QStringLiteral("hwnd")).trimmed();
    bool ok = false;
    qulonglong handle = 0;
    if (value.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        handle = value.mid(2).toULongLong(&ok, 16);
    else
        handle = value.toULongLong(&ok, 10);
    return ok ? handle : 0;
}

SourceAddress::Options SourceAddress::networkOptions(const QString &address) {
    Options options;
    if (!isUrlText(address) || isCameraPrefix(address))
        return options;
    options.emplace_back("rw_timeout", "30000000");
    options.emplace_back("stimeout", "30000000");
    if (isRtmpFamily(address)) {
        options.emplace_back("rtmp_live", "live");
        options.emplace_back("buffer_size", "2097152");
    }
    // This FFmpeg's RTSP input knows the socket time-out as "timeout" ("stimeout" is gone), so
    // without it a stalled RTSP stream would never time out.
    if (address.startsWith(QLatin1String("rtsp://"), Qt::CaseInsensitive))
        options.emplace_back("timeout", "30000000");
    return options;
}

SourceAddress::Options SourceAddress::probeOptions(const QString &address,
                                                   bool separateMicrophone) {
    // A microphone address is itself a "dshow" address, so the flag must win.
    if (separateMicrophone)
        return {{"analyzeduration", "1000000"}, {"probesize", "1000000"}};
    if (isCameraPrefix(address))
        return {{"analyzeduration", "2000000"}, {"probesize", "2000000"}};
    if (isRtmpFamily(address))
        return {{"analyzeduration", "10000000"}, {"probesize", "8000000"}};
    return {};
}

SourceAddress::Options SourceAddress::cameraBufferOptions(bool hasAudioSource) {
    return {{"rtbufsize", hasAudioSource ? "16777216" : "33554432"}};
}

SourceAddress::Options SourceAddress::microphoneBufferOptions() {
    return {{"rtbufsize", "8388608"}};
}

bool SourceAddress::isLiveByPrefix(const QString &address) {
    return startsWithAny(address,
                         {"dshow://", "rtmp://", "rtmps://", "rtmpt://", "rtp:", "udp:", "srtp:"});
}

bool SourceAddress::isLive(const QString &address, int64_t durationUs) {
    return isLiveByPrefix(address) || (isUrlText(address) && durationUs <= 0);
}

QString SourceAddress::cameraAddress(const QString &cameraName, const QString &microphoneName) {
    return buildAddress(QStringLiteral("dshow"), QStringLiteral("video"), cameraName,
                        microphoneName);
}

QString SourceAddress::displayAddress(int monitorIndex, const QString &microphoneName) {
    return buildAddress(QStringLiteral("desktop"), QStringLiteral("monitor"),
                        QString::number(monitorIndex), microphoneName);
}

QString SourceAddress::windowAddress(uint64_t windowHandle, const QString &microphoneName) {
    return buildAddress(QStringLiteral("wgc"), QStringLiteral("hwnd"),
                        QStringLiteral("0x") + QString::number(windowHandle, 16), microphoneName);
}

QString SourceAddress::microphoneAddress(const QString &microphoneName) {
    return microphoneUrl(microphoneName).toString(QUrl::FullyEncoded);
}

QUrl SourceAddress::toUrl(const QString &text, const QString &workingDir) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return {};
    if (startsWithAny(trimmed, {"dshow://", "desktop://", "wgc://"}))
        return QUrl(trimmed, QUrl::StrictMode);
    return QUrl::fromUserInput(trimmed, workingDir, QUrl::AssumeLocalFile);
}

QString SourceAddress::decoderAddress(const QUrl &url) {
    return url.isLocalFile() ? url.toLocalFile() : url.toString();
}
