#include "HarnessOptions.h"

#include "output/FfmpegEncoderSink.h"
#include "pipeline/FramePipeline.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

namespace {

QString guessStreamFormat(const QString &url) {
    if (FfmpegEncoderSink::isRtmpAddress(url))
        return QStringLiteral("flv");
    for (const char *scheme : {"udp://", "rtp://", "srt://", "tcp://", "http://", "https://"})
        if (url.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            return QStringLiteral("mpegts");
    return {};
}

} // namespace

bool HarnessOptions::parse(const QStringList &arguments) {
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Runs the engine headless for a fixed time and prints frame, drop, CPU, memory and "
        "latency figures (lines 'metric <name> <value>', then a summary)."));
    p.addHelpOption();
    const QCommandLineOption durationOpt(QStringLiteral("duration"),
                                         QStringLiteral("Seconds to run after the first program "
                                                        "frame (default 60)."),
                                         QStringLiteral("seconds"), QStringLiteral("60"));
    const QCommandLineOption inputOpt(QStringLiteral("input"),
                                      QStringLiteral("Channel input file, 1 to 4 times (looped)."),
                                      QStringLiteral("path"));
    const QCommandLineOption baseOpt(QStringLiteral("base"),
                                     QStringLiteral("Channel (1-4) that is the program's base "
                                                    "(default 1)."),
                                     QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption textOpt(QStringLiteral("text"), QStringLiteral("Text overlay."),
                                     QStringLiteral("text"));
    const QCommandLineOption imageOpt(QStringLiteral("image"),
                                      QStringLiteral("Image overlay (drawn 128x72 scene units)."),
                                      QStringLiteral("path"));
    const QCommandLineOption pipOpt(QStringLiteral("pip"),
                                    QStringLiteral("Picture-in-picture video overlay (looped)."),
                                    QStringLiteral("path"));
    const QCommandLineOption fileOpt(QStringLiteral("file"), QStringLiteral("Recording file."),
                                     QStringLiteral("path"));
    const QCommandLineOption streamOpt(QStringLiteral("stream"),
                                       QStringLiteral("Stream URL, any number of times."),
                                       QStringLiteral("url"));
    const QCommandLineOption streamFormatOpt(
        QStringLiteral("stream-format"),
        QStringLiteral("Muxer of the stream given at the same position (default: mpegts for "
                       "udp/srt/tcp/http, flv for rtmp)."),
        QStringLiteral("format"));
    const QCommandLineOption sizeOpt(QStringLiteral("size"),
                                     QStringLiteral("Output size (default 1920x1080)."),
                                     QStringLiteral("WxH"), QStringLiteral("1920x1080"));
    const QCommandLineOption fpsOpt(QStringLiteral("fps"),
                                    QStringLiteral("Program frame rate (default 30)."),
                                    QStringLiteral("fps"), QStringLiteral("30"));
    const QCommandLineOption rssCsvOpt(QStringLiteral("rss-csv"),
                                       QStringLiteral("Write the resident size over time here."),
                                       QStringLiteral("path"));
    const QCommandLineOption rssIntervalOpt(QStringLiteral("rss-interval"),
                                            QStringLiteral("Seconds between RSS samples (default "
                                                           "1)."),
                                            QStringLiteral("seconds"), QStringLiteral("1"));
    const QCommandLineOption latencyCsvOpt(QStringLiteral("latency-csv"),
                                           QStringLiteral("Write each frame's latency here."),
                                           QStringLiteral("path"));
    p.addOptions({durationOpt, inputOpt, baseOpt, textOpt, imageOpt, pipOpt, fileOpt, streamOpt,
                  streamFormatOpt, sizeOpt, fpsOpt, rssCsvOpt, rssIntervalOpt, latencyCsvOpt});
    p.process(arguments);

    bool ok = true;
    seconds = p.value(durationOpt).toInt(&ok);
    if (!ok || seconds < 1) {
        std::fprintf(stderr, "quorvi_harness: --duration must be a positive whole number\n");
        return false;
    }
    fps = p.value(fpsOpt).toDouble(&ok);
    if (!ok || fps < 1.0 || fps > 120.0) {
        std::fprintf(stderr, "quorvi_harness: --fps must be 1 to 120\n");
        return false;
    }
    const QStringList wh = p.value(sizeOpt).split(QLatin1Char('x'));
    if (wh.size() != 2 || wh[0].toInt() < 16 || wh[1].toInt() < 16) {
        std::fprintf(stderr, "quorvi_harness: --size must be WxH\n");
        return false;
    }
    size = QSize(wh[0].toInt(), wh[1].toInt());
    inputs = p.values(inputOpt);
    if (inputs.isEmpty() || inputs.size() > FramePipeline::kChannels) {
        std::fprintf(stderr, "quorvi_harness: give 1 to 4 --input files\n");
        return false;
    }
    for (const QString &path : inputs) {
        if (!QFileInfo::exists(path)) {
            std::fprintf(stderr, "quorvi_harness: no such input: %s\n", qPrintable(path));
            return false;
        }
    }
    base = p.value(baseOpt).toInt(&ok);
    if (!ok || base < 1 || base > inputs.size()) {
        std::fprintf(stderr, "quorvi_harness: --base must name one of the inputs (1-%lld)\n",
                     static_cast<long long>(inputs.size()));
        return false;
    }
    text = p.value(textOpt);
    image = p.value(imageOpt);
    pip = p.value(pipOpt);
    for (const QString *path : {&image, &pip}) {
        if (!path->isEmpty() && !QFileInfo::exists(*path)) {
            std::fprintf(stderr, "quorvi_harness: no such overlay file: %s\n", qPrintable(*path));
            return false;
        }
    }
    file = p.value(fileOpt);
    const QStringList urls = p.values(streamOpt);
    const QStringList formats = p.values(streamFormatOpt);
    for (qsizetype i = 0; i < urls.size(); ++i)
        streams.push_back({urls[i], i < formats.size() ? formats[i] : guessStreamFormat(urls[i])});
    if (file.isEmpty() && streams.empty()) {
        std::fprintf(stderr, "quorvi_harness: give --file and/or --stream\n");
        return false;
    }
    rssCsv = p.value(rssCsvOpt);
    rssIntervalS = std::max(0.1, p.value(rssIntervalOpt).toDouble());
    latencyCsv = p.value(latencyCsvOpt);
    return true;
}
