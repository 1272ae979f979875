#pragma once

// Program frames that carry their own number through an encoder, read back with the ffmpeg
// CLI: a 16x9 grid of blocks, the counter (16 bits) on top, its complement below and a fixed
// pattern after, so a misread frame is seen as one. Also stream timings, tones and a log
// recorder.

#include "MediaFixtures.h"
#include "core/FrameToken.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <numbers>

namespace encoded {

constexpr int kColumns = 16;
constexpr int kRows = 9;
constexpr int64_t kFrameUs = 33333; // 30 fps

inline bool cellIsWhite(int counter, int column, int row) {
    const bool bit = (counter >> (kColumns - 1 - column)) & 1;
    if (row == 0)
        return bit;
    if (row == 1)
        return !bit;
    return (column * 5 + row * 3) % 7 < 3;
}

// An RGBA program frame showing `counter` (0..65535).
inline FrameTokenPtr programFrame(int counter, int width, int height, int64_t ptsUs) {
    auto frame = std::make_shared<FrameToken>();
    frame->ptsUs = ptsUs;
    frame->width = width;
    frame->height = height;
    frame->stride = width * 4;
    frame->data = QByteArray(qsizetype(frame->stride) * height, Qt::Uninitialized);
    for (int y = 0; y < height; ++y) {
        char *line = frame->data.data() + qsizetype(y) * frame->stride;
        if (y > 0 && y * kRows / height == (y - 1) * kRows / height) {
            std::memcpy(line, line - frame->stride, size_t(frame->stride));
            continue;
        }
        for (int x = 0; x < width; ++x) {
            const bool white = cellIsWhite(counter, x * kColumns / width, y * kRows / height);
            std::memset(line + x * 4, white ? 255 : 0, 3);
            line[x * 4 + 3] = char(255);
        }
    }
    return frame;
}

// The counter shown by one 16x9 grey picture, or -1 when the picture is not a program frame.
inline int readCounter(const uchar *cells) {
    int counter = 0;
    for (int c = 0; c < kColumns; ++c)
        counter = (counter << 1) | (cells[c] >= 128 ? 1 : 0);
    for (int r = 1; r < kRows; ++r)
        for (int c = 0; c < kColumns; ++c)
            if ((cells[r * kColumns + c] >= 128) != cellIsWhite(counter, c, r))
                return -1;
    return counter;
}

struct Decoded {
    QList<int> counters; // in presentation order; -1 for a frame that does not read
    QByteArray errors;   // what ffmpeg said
};

// Decodes the first video stream of a file and reads every frame's counter.
inline Decoded decodeCounters(const QString &path) {
    const media::ToolResult r =
        media::runTool("ffmpeg",
                       {"-hide_banner", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0",
                        "-vf", "scale=16:9:flags=area", "-fps_mode", "passthrough", "-f",
                        "rawvideo", "-pix_fmt", "gray", "-"},
                       120000, true);
    const QByteArray &pictures = r.output;
    Decoded d;
    d.errors = r.errors;
    for (qsizetype at = 0; at + kColumns * kRows <= pictures.size(); at += kColumns * kRows)
        d.counters << readCounter(reinterpret_cast<const uchar *>(pictures.constData()) + at);
    return d;
}

// Empty when the counters run without a gap from `first` to `last` (-1: any); otherwise says
// where they do not.
inline QString gapReport(const QList<int> &counters, int first = -1, int last = -1) {
    if (counters.isEmpty())
        return QStringLiteral("no frames");
    QStringList problems;
    for (qsizetype i = 0; i < counters.size() && problems.size() < 5; ++i) {
        if (counters[i] < 0)
            problems << QStringLiteral("frame %1 does not read").arg(i);
        else if (i > 0 && counters[i - 1] >= 0 && counters[i] != counters[i - 1] + 1)
            problems << QStringLiteral("frame %1 shows %2 after %3")
                            .arg(i)
                            .arg(counters[i])
                            .arg(counters[i - 1]);
    }
    if (first >= 0 && counters.first() != first)
        problems << QStringLiteral("starts at %1, not %2").arg(counters.first()).arg(first);
    if (last >= 0 && counters.last() != last)
        problems << QStringLiteral("ends at %1, not %2").arg(counters.last()).arg(last);
    return problems.isEmpty() ? QString()
                              : QStringLiteral("%1 frames %2..%3: ")
                                        .arg(counters.size())
                                        .arg(counters.first())
                                        .arg(counters.last()) +
                                    problems.join("; ");
}

// When each stream of a file starts and ends (from its packets), and the video frames' times
// in display order.
struct Timing {
    static constexpr double kNone = std::numeric_limits<double>::infinity();
    double videoStartS = kNone, videoEndS = -kNone;
    double audioStartS = kNone, audioEndS = -kNone;
    QList<double> frameTimesS;
    double videoDurationS() const { return videoEndS - videoStartS; }
    double audioDurationS() const { return audioEndS - audioStartS; }
};

inline Timing timing(const QString &path, bool withFrames) {
    Timing t;
    const QJsonObject packets = media::ffprobe(
        {"-show_entries", "stream=index,codec_type:packet=stream_index,pts_time,duration_time",
         path});
    QList<QString> types;
    for (const QJsonValue &s : packets.value("streams").toArray())
        types << s.toObject().value("codec_type").toString();
    for (const QJsonValue &v : packets.value("packets").toArray()) {
        const QJsonObject pk = v.toObject();
        const int index = pk.value("stream_index").toInt();
        bool ok = false;
        const double pts = pk.value("pts_time").toString().toDouble(&ok);
        if (!ok || index < 0 || index >= types.size())
            continue;
        const bool video = types[index] == QLatin1String("video");
        double &start = video ? t.videoStartS : t.audioStartS;
        double &last = video ? t.videoEndS : t.audioEndS;
        start = std::min(start, pts);
        last = std::max(last, pts + pk.value("duration_time").toString().toDouble());
    }
    if (withFrames) {
        const QJsonObject frames = media::ffprobe(
            {"-select_streams", "v:0", "-show_entries", "frame=best_effort_timestamp_time", path});
        for (const QJsonValue &v : frames.value("frames").toArray()) {
            bool ok = false;
            const double s =
                v.toObject().value("best_effort_timestamp_time").toString().toDouble(&ok);
            t.frameTimesS << (ok ? s : std::nan(""));
        }
    }
    return t;
}

// The amplitude of one frequency in a 48 kHz block (1.0 for a full-scale sine): a Goertzel
// filter over a Hann window, so that neighbouring tones do not leak in.
inline double toneAmplitude(const float *x, int n, double hz) {
    const double coeff = 2 * std::cos(2 * std::numbers::pi * hz / 48000);
    double s1 = 0, s2 = 0, windowSum = 0;
    for (int i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / (n - 1));
        const double s = x[i] * w + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
        windowSum += w;
    }
    return 2 * std::sqrt(std::max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0.0)) / windowSum;
}

// Interleaved 16-bit stereo sine, continuous across calls: program sound for a pull callback.
struct Sine {
    double phase = 0;
    double hz = 440;
    void fill(int16_t *out, int frames) {
        for (int i = 0; i < frames; ++i) {
            const auto v = int16_t(std::lround(8000 * std::sin(phase)));
            out[2 * i] = out[2 * i + 1] = v;
            phase += 2 * std::numbers::pi * hz / 48000;
        }
        phase = std::fmod(phase, 2 * std::numbers::pi);
    }
};

// Keeps every message logged while it lives (from any thread) and passes them on.
class LogCapture {
public:
    LogCapture() {
        previous_ = qInstallMessageHandler(&LogCapture::handle);
        instance().store(this);
    }
    ~LogCapture() {
        instance().store(nullptr);
        qInstallMessageHandler(previous_);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    QStringList matching(const QString &pattern) const {
        return messages().filter(QRegularExpression(pattern));
    }
    // Called on the logging thread with each message.
    std::function<void(const QString &)> onMessage;

private:
    static std::atomic<LogCapture *> &instance() {
        static std::atomic<LogCapture *> current{nullptr};
        return current;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text) {
        LogCapture *self = instance().load();
        if (!self)
            return;
        if (self->onMessage)
            self->onMessage(text);
        std::unique_lock lock(self->mutex_);
        self->messages_ << text;
        lock.unlock();
        if (self->previous_)
            self->previous_(type, context, text);
    }

    mutable std::mutex mutex_;
    QStringList messages_;
    QtMessageHandler previous_ = nullptr;
};

} // namespace encoded
