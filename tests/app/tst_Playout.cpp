// The playout command end to end: the real program plays a schedule of two coloured clips and a
// caption with no display, and its recording is read back with the ffmpeg tools.

#include "common/ChildProcess.h"
#include "common/EncodedFrames.h"
#include "common/MediaFixtures.h"
#include "common/SlowFactor.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kW = 64, kH = 36; // the recording is read back at a tenth of its size

// What one frame shows: the base colour ('r', 'b' or '?') and whether the caption's black box
// covers the top left corner.
struct Look {
    char base = '?';
    bool box = false;
};

bool strong(int c, int a, int b) {
    return c > 2 * (a + b);
}

QList<Look> looks(const QString &path) {
    const media::ToolResult r =
        media::runTool("ffmpeg",
                       {"-hide_banner", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0",
                        "-vf", QStringLiteral("scale=%1:%2:flags=area").arg(kW).arg(kH),
                        "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
                       60000, true);
    QList<Look> out;
    const auto *px = reinterpret_cast<const uchar *>(r.output.constData());
    for (qsizetype at = 0; at + kW * kH * 3 <= r.output.size(); at += kW * kH * 3) {
        const auto pixel = [&](int x, int y) { return px + at + (y * kW + x) * 3; };
        long sum[3] = {};
        for (int y = kH / 2; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                for (int c = 0; c < 3; ++c)
                    sum[c] += pixel(x, y)[c];
        Look look;
        look.base = strong(sum[0], sum[1], sum[2])   ? 'r'
                    : strong(sum[2], sum[0], sum[1]) ? 'b'
                                                     : '?';
        // Inside the box (scene 30..280 x 30..80): black and white letters, no base colour.
        int plain = 0, all = 0;
        for (int y = 3; y <= 8; ++y)
            for (int x = 3; x <= 28; ++x, ++all) {
                const uchar *p = pixel(x, y);
                plain += !strong(p[0], p[1], p[2]) && !strong(p[2], p[0], p[1]);
            }
        look.box = look.base != '?' && plain * 10 >= all * 8; // not a blank frame
        out << look;
    }
    return out;
}

} // namespace

class TestPlayout : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (kSlow > 1)
            QSKIP("real-time run: the plain build only");
        if (!media::haveTool("ffmpeg") || !media::haveTool("ffprobe"))
            QSKIP("the ffmpeg and ffprobe CLIs are missing");
        for (const char *colour : {"red", "blue"})
            fixtures_.define(
                QString::fromLatin1(colour) + ".mp4",
                media::lavfi(QStringLiteral("color=c=%1:s=320x180:r=30:d=3").arg(colour)) +
                    media::lavfi("anullsrc=r=48000:cl=stereo") +
                    QStringList{"-t", "3", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                                "yuv420p", "-c:a", "aac"});
    }

    void playsTheScheduleIntoTheFile() {
        const QString red = fixtures_.path("red.mp4"), blue = fixtures_.path("blue.mp4");
        QVERIFY2(!red.isEmpty() && !blue.isEmpty(), qPrintable(fixtures_.lastError()));
        // Relative names: the files are found from the working folder.
        const QByteArray schedule = R"({"format": "quorvi_program_arrangement", "sceneClips": [
            {"id": "s0", "startMs": 0, "endMs": 2000, "kind": "channel", "channel": 0,
             "sceneVideoPath": "red.mp4"},
            {"id": "s1", "startMs": 2000, "endMs": 4000, "kind": "channel", "channel": 1,
             "sceneVideoPath": "blue.mp4"}],
          "overlayClips": [{"id": "o0", "startMs": 1000, "endMs": 3000, "overlayKind": "text",
            "textData": {"text": "PLAYOUT", "fontPointSize": 48, "posX": 20, "posY": 20,
              "fontColor": {"rgba": -1}, "backgroundColor": {"rgba": -16777216},
              "backgroundEnabled": true}}]})";
        QVERIFY(!fixtures_.write("show.json", schedule).isEmpty());

        QTemporaryDir appDir, runtimeDir; // the log lands beside the copied program
        QProcess p;
        p.setWorkingDirectory(fixtures_.dir());
        p.setProcessEnvironment(
            testutil::environmentWith({"XDG_RUNTIME_DIR=" + runtimeDir.path()}));
        p.start(testutil::copyExecutable(QUORVI_BINARY, appDir.path()),
                {"--play", "show.json", "--record", "out.mp4", "--size", "640x360"});
        QVERIFY(p.waitForFinished(20000));
        const QByteArray printed = p.readAllStandardOutput();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
                 p.readAllStandardError().constData());

        // One line per event, at its plan time.
        QHash<QString, int> at;
        static const QRegularExpression line(QStringLiteral(R"(^\[00:00:(\d\d)\.(\d{3})\] (.*)$)"));
        for (const QByteArray &l : testutil::lines(printed))
            if (const auto m = line.match(QString::fromUtf8(l)); m.hasMatch())
                at.insert(m.captured(3), m.captured(1).toInt() * 1000 + m.captured(2).toInt());
        for (const auto &[event, ms] : {std::pair{"base s0: channel 1 " + red, 0},
                                        std::pair{"base s1: channel 2 " + blue, 2000},
                                        std::pair{QStringLiteral("overlay o0 on"), 1000},
                                        std::pair{QStringLiteral("overlay o0 off"), 3000}})
            QVERIFY2(at.contains(event) && std::abs(at.value(event) - ms) <= 100,
                     qPrintable(event + " in:\n" + printed));

        const QString file = fixtures_.dir() + "/out.mp4";
        const QList<Look> frames = looks(file);
        const QList<double> times = encoded::timing(file, true).frameTimesS;
        QVERIFY2(
            !frames.isEmpty() && frames.size() == times.size(),
            qPrintable(QStringLiteral("%1 frames, %2 times").arg(frames.size()).arg(times.size())));
        const auto firstMs = [&](const std::function<bool(const Look &)> &seen, double afterS) {
            for (qsizetype i = 0; i < frames.size(); ++i)
                if (times[i] >= afterS && seen(frames[i]))
                    return qRound(times[i] * 1000);
            return -1;
        };
        const int redMs = firstMs([](const Look &l) { return l.base == 'r'; }, 0);
        const int blueMs = firstMs([](const Look &l) { return l.base == 'b'; }, 0);
        const int boxOnMs = firstMs([](const Look &l) { return l.box; }, 0);
        const int boxOffMs =
            firstMs([](const Look &l) { return l.base != '?' && !l.box; }, boxOnMs / 1000.0);
        const double lengthS = media::probe(file).durationS;
        qInfo("recorded: red from %d ms, blue from %d ms, caption %d-%d ms, %.3f s long", redMs,
              blueMs, boxOnMs, boxOffMs, lengthS);
        QVERIFY(redMs >= 0 && redMs <= 300);
        QVERIFY(std::abs(blueMs - 2000) <= 300);
        QVERIFY(boxOnMs >= 0 && std::abs(boxOnMs - 1000) <= 300);
        QVERIFY(boxOffMs > boxOnMs && std::abs(boxOffMs - 3000) <= 300);
        QVERIFY(lengthS >= 3.7 && lengthS <= 4.5);
    }

private:
    media::FixtureSet fixtures_;
};

QTEST_GUILESS_MAIN(TestPlayout)
#include "tst_Playout.moc"
