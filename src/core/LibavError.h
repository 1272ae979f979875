#pragma once

// FFmpeg's reason for a failure, for log lines an operator can act on.

extern "C" {
#include <libavutil/error.h>
}

#include <QString>

namespace libav {

// The reason behind an FFmpeg error code, e.g. "Connection refused".
inline QString errorText(int error) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, buffer, sizeof buffer);
    return QString::fromUtf8(buffer);
}

// "<what>: <reason>", e.g. "avio_open failed: No such file or directory".
inline QString errorText(const QString &what, int error) {
    return what + QStringLiteral(": ") + errorText(error);
}

} // namespace libav
