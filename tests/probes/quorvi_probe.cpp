// A small program the tests run as a child process to watch logging and signal handling from
// the outside, the way the real program uses them. Usage: quorvi_probe <mode> [count | path].
// It prints "LOG <path>" once logging is up. Modes: lines N (N numbered info lines of about 100
// bytes); stderr-partial ("abc" without a line end on standard error, then "APPEARED <ms>" once
// it is in the log); stderr-crlf ("a\r\nb\n", then "tail" without a line end, and exit at once);
// av (an FFmpeg info and a warning message); fatal N, abort N, double-free N (N lines, then a
// fatal Qt message, abort(), or a double free the C library aborts on from inside the
// allocator); hang-on-quit ("READY"; on the first quit signal "QUIT <n>", never returning to the
// event loop); encode-forever PATH (numbered 640x360 frames with a tone recorded to the MP4 file
// PATH in real time, "FRAMES <n>" every second, until killed).

#include "../common/EncodedFrames.h"
#include "core/Logging.h"
#include "core/PosixUtil.h"
#include "output/FfmpegEncoderSink.h"
#include "platform/QuitSignals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {

void out(const QByteArray &text) {
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void logLines(int count) {
    const QByteArray filler(80, 'x');
    for (int i = 0; i < count; ++i)
        qInfo("probe line %06d %s", i, filler.constData());
}

bool logContains(const QByteArray &needle) {
    QFile f(logFilePath());
    return f.open(QIODevice::ReadOnly) && f.readAll().contains(needle);
}

} // namespace

int main(int argc, char **argv) {
    ensureStandardDescriptors();
    QCoreApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray("lines");
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;

    initLogging();
    out("LOG " + logFilePath().toUtf8());

    if (mode == "lines") {
        logLines(count);
    } else if (mode == "stderr-partial") {
        (void)!write(STDERR_FILENO, "abc", 3);
        QElapsedTimer timer;
        timer.start();
        while (!logContains("\nabc\n") && timer.elapsed() < 3000)
            QThread::msleep(5);
        out("APPEARED " + QByteArray::number(timer.elapsed()));
    } else if (mode == "stderr-crlf") {
        (void)!write(STDERR_FILENO, "a\r\nb\n", 5);
        (void)!write(STDERR_FILENO, "tail", 4);
    } else if (mode == "av") {
        av_log(nullptr, AV_LOG_INFO, "probe ffmpeg info message\n");
        av_log(nullptr, AV_LOG_WARNING, "probe ffmpeg warning message\n");
    } else if (mode == "fatal") {
        logLines(count);
        qFatal("probe fatal message");
    } else if (mode == "abort") {
        logLines(count);
        std::abort();
    } else if (mode == "double-free") {
        logLines(count);
        void *volatile block = std::malloc(4000); // past the per-thread cache: checked on free
        std::free(block);
        std::free(block);
        out("survived");
    } else if (mode == "hang-on-quit") {
        QuitSignals signals_;
        QObject::connect(&signals_, &QuitSignals::quitRequested, &app, [](int n) {
            out("QUIT " + QByteArray::number(n));
            for (;;)
                QThread::sleep(1);
        });
        out("READY");
        return QCoreApplication::exec();
    } else if (mode == "encode-forever" && argc > 2) {
        FfmpegEncoderSink sink;
        encoded::Sine sine;
        std::vector<int16_t> pcm(2 * 1600);
        if (!sink.configure(QString::fromLocal8Bit(argv[2]), {}, 30)) {
            out("cannot configure");
            return 2;
        }
        QElapsedTimer clock;
        clock.start();
        for (int i = 0;; ++i) {
            const int64_t dueUs = i * encoded::kFrameUs;
            const int64_t waitUs = dueUs - clock.nsecsElapsed() / 1000;
            if (waitUs > 0)
                QThread::usleep(uint64_t(waitUs));
            sine.fill(pcm.data(), 1600);
            sink.writeFrame(encoded::programFrame(i, 640, 360, dueUs), pcm.data(), 1600);
            if ((i + 1) % 30 == 0)
                out("FRAMES " + QByteArray::number(i + 1));
        }
    } else {
        out("unknown mode");
        return 2;
    }
    shutdownLogging();
    return 0;
}
