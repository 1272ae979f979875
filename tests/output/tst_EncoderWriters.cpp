// The encoder's threads against each other: the encoding thread, one writer per stream, a
// status reader and an abort from elsewhere; small pictures and file streams keep it quick.

#include "core/StderrCapture.h"
#include "output/FfmpegEncoderSink.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

FrameTokenPtr frame(int i) {
    auto f = std::make_shared<FrameToken>();
    f->width = 320;
    f->height = 180;
    f->stride = 320 * 4;
    f->data = QByteArray(f->stride * f->height, char(i * 7));
    f->ptsUs = int64_t(i) * 33333 + 1;
    return f;
}

} // namespace

class TestEncoderWriters : public QObject {
    Q_OBJECT

private slots:
    void writersStatusAndAbort() {
        QTemporaryDir dir;
        const QString file = dir.filePath("program.mp4");
        const std::vector<StreamTarget> streams = {{dir.filePath("one.flv"), "flv"},
                                                   {dir.filePath("two.ts"), "mpegts"},
                                                   {dir.filePath("three.ts"), "mpegts"}};

        for (bool abortMidway : {false, true}) {
            FfmpegEncoderSink sink;
            QVERIFY(sink.configure(file, streams, 30));
            QVERIFY(sink.isLiveMode());
            std::atomic<bool> stop{false};
            std::atomic<int64_t> polls{0};
            std::thread reader([&] {
                while (!stop.load()) {
                    for (const auto &s : sink.outputStatus())
                        polls.fetch_add(s.packetsWritten >= 0 ? 1 : 0);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            std::thread aborter;
            for (int i = 0; i < 90; ++i) {
                sink.writeFrame(frame(i), nullptr, 0);
                if (abortMidway && i == 45)
                    aborter = std::thread([&] { sink.requestAbort(); });
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            if (aborter.joinable())
                aborter.join();
            const auto status = sink.outputStatus();
            sink.close();
            stop.store(true);
            reader.join();

            QCOMPARE(int(status.size()), 4);
            QVERIFY(polls.load() > 0);
            // Without an abort every stream opened at once and took packets from its own
            // writer; the recording is finished either way (flat pictures: a few kilobytes).
            for (const auto &s : status)
                QVERIFY2(abortMidway || (s.open && s.packetsWritten > 30), qPrintable(s.url));
            QVERIFY2(QFileInfo(file).size() > 4000, qPrintable(file));
            for (const StreamTarget &s : streams)
                QVERIFY2(abortMidway || QFileInfo(s.url).size() > 4000, qPrintable(s.url));
        }
    }

    void openFailuresSayWhy() {
        // An operator reads which call failed and FFmpeg's reason for it.
        QTemporaryDir dir;
        const std::pair<QString, QString> cases[] = {
            {dir.filePath("missing/program.mp4"), "avio_open failed: No such file or directory"},
            {dir.filePath("program.nosuchformat"),
             "avformat_alloc_output_context2 failed: Invalid argument"},
        };
        for (const auto &[file, expected] : cases) {
            FfmpegEncoderSink sink;
            QVERIFY(sink.open(file, 30));
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QRegularExpression::escape(expected)));
            sink.writeFrame(frame(0), nullptr, 0);
            QVERIFY(!sink.isStarted());
        }
    }

    void hardwareProbeOncePerProcess() {
        // Hardware H.264 is tried first; where there is none, FFmpeg complains at most once.
        QTemporaryDir dir;
        int noisyLines[2] = {0, 0};
        for (int run = 0; run < 2; ++run) {
            std::mutex mutex;
            StderrCapture capture;
            QVERIFY(capture.start([&](QByteArray line) {
                line = line.toLower();
                std::lock_guard lock(mutex);
                noisyLines[run] += line.contains("nvenc") || line.contains("cuda") ? 1 : 0;
            }));
            FfmpegEncoderSink sink;
            QVERIFY(sink.open(dir.filePath(QString("run%1.mp4").arg(run)), 30));
            for (int i = 0; i < 5; ++i)
                sink.writeFrame(frame(i), nullptr, 0);
            const bool started = sink.isStarted();
            sink.close();
            capture.stop();
            QVERIFY(started);
        }
        QCOMPARE(noisyLines[1], 0);
    }
};

QTEST_GUILESS_MAIN(TestEncoderWriters)
#include "tst_EncoderWriters.moc"
