#pragma once

#include <QString>
#include <QUrl>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The grammar of source addresses: what an address names (a camera, a display, a window, a
// network stream or a local file), its query items, and how it maps onto an FFmpeg input.
// Pure functions, callable from any thread.
class SourceAddress {
public:
    enum class Kind { Camera, Display, Window, Network, File };

    // FFmpeg dictionary entries, in the order they are set.
    using Options = std::vector<std::pair<std::string, std::string>>;

    struct DeviceNames {
        QString video; // trimmed; empty when absent
        QString audio; // trimmed; empty when absent
    };

    // The first matching rule decides: "dshow://", "desktop://", "wgc://" (any letter case),
    // then any text containing "://", then a local file.
    static Kind kindOf(const QString &address);

    // The `audioSource` item: query value, UTF-8, percent-decoded and trimmed; empty when none.
    static QString audioSourceOf(const QString &address);
    // The address with every `audioSource` item removed, fully encoded; the address itself
    // when it is not a valid URL.
    static QString withoutAudioSource(const QString &address);

    // The `video` and `audio` items of a "dshow" address.
    static DeviceNames deviceNames(const QString &address);
    // True when `microphone` is a "dshow" address with a non-empty `audio` item.
    static bool isMicrophoneAddress(const QString &microphone);

    // Escapes a device name for a device string: "\" becomes "\\", ":" becomes "\:".
    static QString escapeDeviceName(const QString &name);
    // "video=%1:audio=%2", "video=%1" or "audio=%1" from the escaped names; empty when both
    // names are empty.
    static QString deviceString(const QString &video, const QString &audio);

    // `monitor` of a "desktop" address: missing, not a number or negative gives 0.
    static int monitorIndex(const QString &address);
    // `wgc` of a "desktop" address is "1" or "true" (any letter case).
    static bool usesWindowCaptureLibrary(const QString &address);
    // `hwnd` of a "wgc" address: "0x"/"0X" + hexadecimal, else decimal; 0 when missing,
    // zero or unparsable.
    static uint64_t windowHandle(const QString &address);

    // Open options: the two 30 s time-outs for addresses with "://" that are not "dshow://",
    // plus "rtmp_live" and "buffer_size" for the RTMP family.
    static Options networkOptions(const QString &address);
    // Options for avformat_find_stream_info.
    static Options probeOptions(const QString &address, bool separateMicrophone);
    // "rtbufsize" for a camera input (with or without a separate microphone) or a microphone.
    static Options cameraBufferOptions(bool hasAudioSource);
    static Options microphoneBufferOptions();

    // Live by address alone: the "dshow://", RTMP family, "rtp:", "udp:" and "srtp:" prefixes.
    static bool isLiveByPrefix(const QString &address);
    // Live after opening: by prefix, or a "://" address whose input reports no positive
    // duration (in microseconds; pass a value <= 0 or AV_NOPTS_VALUE when unknown).
    static bool isLive(const QString &address, int64_t durationUs);

    // Addresses as the source dialog writes them, fully encoded. An empty microphone name
    // adds no `audioSource`.
    static QString cameraAddress(const QString &cameraName, const QString &microphoneName = {});
    static QString displayAddress(int monitorIndex, const QString &microphoneName = {});
    static QString windowAddress(uint64_t windowHandle, const QString &microphoneName = {});
    static QString microphoneAddress(const QString &microphoneName);

    // Typed or chosen text as a URL: trimmed; capture addresses parsed strictly; anything else
    // as user input, where text that is not a full URL is a local file relative to
    // `workingDir` (never a web address). Invalid when empty or unparsable.
    static QUrl toUrl(const QString &text, const QString &workingDir);
    // What the decoder opens for a URL: the local path of a local file, else the URL's text.
    static QString decoderAddress(const QUrl &url);
};
