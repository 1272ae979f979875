// Output control: recording file names, stream targets, the check that a source is not one of
// the program's own outputs, the status lines, and starting a real engine's output.

#include "core/StreamAddressMask.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OutputPlan.h"
#include "pipeline/OutputStatusTracker.h"
#include "pipeline/ProgramOutput.h"
#include "pipeline/ProgramTimeline.h"

#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <set>

namespace {

using State = OutputTargetStatus::State;
using Level = OutputStatusLine::Level;

const QDateTime kNewYearEve(QDate(2025, 1, 1), QTime(20, 30, 0));

OutputSettings fileTarget(const QString &path) {
    OutputSettings s;
    s.fileEnabled = true;
    s.filePath = path;
    return s;
}

OutputTargetStatus target(bool stream, const QString &url, State state, int64_t bytes = 0) {
    OutputTargetStatus t;
    t.isStream = stream;
    t.url = url;
    t.state = state;
    t.bytesWritten = bytes;
    return t;
}

OutputRunStatus snapshot(int64_t atMs, std::vector<OutputTargetStatus> targets,
                         int64_t frames = 0) {
    OutputRunStatus s;
    s.running = true;
    s.takenAtMs = atMs;
    s.encodedVideoFrames = frames;
    s.targets = std::move(targets);
    return s;
}

QStringList texts(const std::vector<OutputStatusLine> &lines, std::vector<Level> *levels) {
    QStringList out;
    for (const OutputStatusLine &l : lines) {
        out << l.text;
        levels->push_back(l.level);
    }
    return out;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<OutputRunStatus>)
Q_DECLARE_METATYPE(std::vector<Level>)

class TestProgramOutput : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        QVERIFY(QDir(dir_.path()).mkpath("real"));
        QVERIFY(QFile::link(dir_.filePath("real"), dir_.filePath("link")));
        QFile f(dir_.filePath("real/show.mp4"));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

    void recordingFileNames_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("taken");
        QTest::addColumn<QString>("expected");
        const QStringList none;
        QTest::newRow("base and suffix")
            << "/rec/show.mkv" << none << "/rec/show_20250101_203000.mkv";
        QTest::newRow("folder only") << "/rec/" << none << "/rec/output_20250101_203000.mp4";
        QTest::newRow("suffix only") << "/rec/.avi" << none << "/rec/output_20250101_203000.avi";
        QTest::newRow("no suffix records mp4")
            << "/rec/show" << none << "/rec/show_20250101_203000.mp4";
        QTest::newRow("trimmed, relative")
            << "  out/a.b.mp4 " << none << "/work/out/a.b_20250101_203000.mp4";
        QTest::newRow("same second twice")
            << "/rec/show.mkv" << QStringList{"/rec/show_20250101_203000.mkv"}
            << "/rec/show_20250101_203000_2.mkv";
        QTest::newRow("third in the second")
            << "/rec/"
            << QStringList{"/rec/output_20250101_203000.mp4", "/rec/output_20250101_203000_2.mp4"}
            << "/rec/output_20250101_203000_3.mp4";
    }
    void recordingFileNames() {
        QFETCH(QString, path);
        QFETCH(QStringList, taken);
        QFETCH(QString, expected);
        const auto exists = [&](const QString &f) { return taken.contains(f); };
        QCOMPARE(OutputPlan::recordingFile(fileTarget(path), kNewYearEve, "/work", exists),
                 expected);
        OutputSettings off = fileTarget(path);
        off.fileEnabled = false;
        QVERIFY(OutputPlan::recordingFile(off, kNewYearEve, "/work", exists).isEmpty());
    }

    void streamTargetsFollowTheRows() {
        OutputSettings s;
        s.rows = {{true, " rtmp://a/live/k ", "rtmp"},
                  {false, "udp://b:1", "UDP"},
                  {true, "   ", "RTMP"},
                  {true, "udp://c:2", "UDP"},
                  {true, "http://d:3/x", "HTTP"},
                  {true, "rtmp://e/l/k", "RTMP"}};
        const std::vector<StreamTarget> expected = {{"rtmp://a/live/k", "flv"},
                                                    {"udp://c:2", "mpegts"},
                                                    {"http://d:3/x", "mpegts"},
                                                    {"rtmp://e/l/k", "flv"}};
        QVERIFY(OutputPlan::streamTargets(s) == expected);
    }

    void sourceConflicts_data() {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("filePath");  // empty: file target off
        QTest::addColumn<QString>("streamUrl"); // empty: no ticked row
        QTest::addColumn<QString>("recording"); // the file being written
        QTest::addColumn<int>("message");       // -1: no conflict
        const QString d = dir_.path();
        QTest::newRow("same file") << d + "/show.mp4" << d + "/show.mp4"
                                   << ""
                                   << "" << 0;
        QTest::newRow("case differs") << d + "/Show.MP4" << d + "/show.mp4"
                                      << ""
                                      << "" << -1;
        QTest::newRow("through a link") << d + "/link/show.mp4" << d + "/real/show.mp4"
                                        << ""
                                        << "" << 0;
        QTest::newRow("dotted path") << d + "/real/../show.mp4" << d + "/show.mp4"
                                     << ""
                                     << "" << 0;
        QTest::newRow("relative source") << "real/a.mkv" << d + "/real/a.mkv"
                                         << ""
                                         << "" << 0;
        QTest::newRow("relative target is no host") << d + "/example.com"
                                                    << "example.com"
                                                    << ""
                                                    << "" << 0;
        QTest::newRow("recording file") << d + "/show_20250101_203000.mp4" << d + "/show.mp4"
                                        << "" << d + "/show_20250101_203000.mp4" << 0;
        QTest::newRow("output address") << "rtmp://Host/live/key"
                                        << "rtmp://host/live/key"
                                        << ""
                                        << "" << 1;
        QTest::newRow("stream file target") << d + "/cap.ts"
                                            << ""
                                            << "cap.ts"
                                            << "" << 2;
        QTest::newRow("stream file case") << d + "/CAP.ts"
                                          << "" << d + "/cap.ts"
                                          << "" << -1;
        QTest::newRow("stream address") << "udp://127.0.0.1:5000#x"
                                        << ""
                                        << " udp://127.0.0.1:5000"
                                        << "" << 3;
        QTest::newRow("password ignored") << "rtmp://u:secret@h/app/k"
                                          << ""
                                          << "rtmp://u@h/app/k"
                                          << "" << 3;
        QTest::newRow("other stream") << "udp://127.0.0.1:5001"
                                      << ""
                                      << "udp://127.0.0.1:5000"
                                      << "" << -1;
        QTest::newRow("camera") << "dshow://capture?video=cam"
                                << "dshow://capture?video=cam"
                                << ""
                                << "" << -1;
        QTest::newRow("display") << "DESKTOP://0"
                                 << "desktop://0"
                                 << ""
                                 << "" << -1;
        QTest::newRow("empty source") << "  " << d + "/show.mp4"
                                      << ""
                                      << "" << -1;
    }
    void sourceConflicts() {
        QFETCH(QString, candidate);
        QFETCH(QString, filePath);
        QFETCH(QString, streamUrl);
        QFETCH(QString, recording);
        QFETCH(int, message);
        OutputSettings s = fileTarget(filePath);
        s.fileEnabled = !filePath.isEmpty();
        if (!streamUrl.isEmpty())
            s.rows = {{false, candidate, "UDP"}, {true, streamUrl, "UDP"}};
        const std::array<QString, 4> english = {
            "The input source cannot be the same as the output file being recorded.",
            "The input source cannot be the same as the output address being recorded.",
            "The input source cannot be the same as a ticked stream address (file target).",
            "The input source cannot be the same as a ticked stream address."};
        QString text = "untouched";
        const bool hit =
            OutputPlan::sourceConflicts(candidate, s, recording, dir_.path(), false, &text);
        QCOMPARE(hit, message >= 0);
        QCOMPARE(text, hit ? english[size_t(message)] : QString("untouched"));
        if (hit) { // the Chinese texts differ from each other and from the English ones
            QString zh;
            OutputPlan::sourceConflicts(candidate, s, recording, dir_.path(), true, &zh);
            QVERIFY(zh.startsWith(QString::fromUtf8("输入源不能与")) && zh != text);
        }
    }

    void trackerLines_data() {
        QTest::addColumn<std::vector<OutputRunStatus>>("polls");
        QTest::addColumn<QString>("stopReason");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<std::vector<Level>>("levels");
        const QString key = "rtmp://h/live/sk_123";
        auto reconnecting = target(true, key, State::Reconnecting, 10);
        reconnecting.attempt = 3;
        auto failed = target(true, "udp://h:9?pkt=1316", State::Failed, 10);
        failed.reason = "udp://h:9?pkt=1316: refused";
        auto live = target(false, "/rec/a.mp4", State::Live, 500000);
        live.liveSinceMs = 1000;
        live.packetsDropped = 4;
        OutputRunStatus closed;
        closed.takenAtMs = 8000;
        OutputRunStatus missing = snapshot(3000, {target(true, key, State::Live, 0)});
        missing.fileMissing = true;
        missing.fileMissingPath = "/ro/a.mp4";
        missing.fileMissingReason = "Permission denied";

        QTest::newRow("bitrate over 2 s")
            << std::vector{snapshot(1000, {target(false, "/rec/a.mp4", State::Live, 0)}, 0),
                           snapshot(3000, {live}, 60)}
            << ""
            << QStringList{"File /rec/a.mp4 · live · 2.00 Mb/s · dropped 4 · on air 0:00:02",
                           "Program encoded 30.0 fps"}
            << std::vector{Level::Good, Level::Info};
        QTest::newRow("reconnecting, key masked")
            << std::vector{snapshot(1000, {target(true, key, State::Starting)}),
                           snapshot(1500, {reconnecting}, 5)}
            << ""
            << QStringList{"Stream 1 rtmp://h/live/•••• · reconnecting (try 3) · dropped 0",
                           "Program encoded 5.0 fps"}
            << std::vector{Level::Warning, Level::Info};
        QTest::newRow("failed stays")
            << std::vector{snapshot(1000, {failed}), snapshot(2000, {})} << ""
            << QStringList{"Stream 1 udp://h:9?•••• · failed: udp://h:9?••••: refused",
                           "Program encoded 0.0 fps"}
            << std::vector{Level::Error, Level::Info};
        QTest::newRow("normal stop") << std::vector{snapshot(1000, {live}), closed} << ""
                                     << QStringList{"File /rec/a.mp4 · stopped", "Program encoded"}
                                     << std::vector{Level::Info, Level::Info};
        QTest::newRow("recording missing")
            << std::vector{missing} << ""
            << QStringList{"Stream 1 rtmp://h/live/•••• · live",
                           "File /ro/a.mp4 · not recorded: Permission denied", "Program encoded"}
            << std::vector{Level::Good, Level::Error, Level::Info};
        QTest::newRow("transport failure")
            << std::vector{snapshot(1000, {target(true, key, State::Live)}), closed}
            << "lost " + key
            << QStringList{"Stream 1 rtmp://h/live/•••• · stopped", "Program encoded",
                           "Output stopped: lost rtmp://h/live/••••"}
            << std::vector{Level::Info, Level::Info, Level::Error};
    }
    void trackerLines() {
        QFETCH(std::vector<OutputRunStatus>, polls);
        QFETCH(QString, stopReason);
        QFETCH(QStringList, expected);
        QFETCH(std::vector<Level>, levels);
        OutputStatusTracker tracker;
        tracker.begin(500);
        for (const OutputRunStatus &s : polls)
            tracker.update(s);
        if (!stopReason.isEmpty())
            tracker.noteStopped(stopReason);
        std::vector<Level> gotLevels;
        const QStringList got = texts(tracker.lines(false), &gotLevels);
        QCOMPARE(got.size(), expected.size());
        for (int i = 0; i < got.size(); ++i)
            QVERIFY2(got[i].startsWith(expected[i]), qPrintable(got[i]));
        QVERIFY(gotLevels == levels);
        for (const OutputStatusLine &l : tracker.lines(true))
            QVERIFY(!l.text.contains("sk_123") && !l.text.contains("pkt"));
        tracker.begin(9000); // the next run forgets everything
        QVERIFY(tracker.lines(false).empty());
    }

    void addressMask_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("shown");
        QTest::newRow("rtmp key") << "rtmp://h:1935/live/abc123"
                                  << "rtmp://h:1935/live/••••";
        QTest::newRow("key and query") << "rtmp://h/live/abc?t=9"
                                       << "rtmp://h/live/••••?••••";
        QTest::newRow("udp query") << "udp://127.0.0.1:5000?pkt_size=1316"
                                   << "udp://127.0.0.1:5000?••••";
        QTest::newRow("password") << "rtmp://user:pw@h/app/k"
                                  << "rtmp://user:••••@h/app/••••";
        QTest::newRow("no path") << "udp://127.0.0.1:5000"
                                 << "udp://127.0.0.1:5000";
        QTest::newRow("local file") << "/rec/a?b.mp4"
                                    << "/rec/a?b.mp4";
    }
    void addressMask() {
        QFETCH(QString, address);
        QFETCH(QString, shown);
        QCOMPARE(StreamAddressMask::mask(address), shown);
    }

    void startNeedsATarget() {
        Rig r;
        OutputSettings s = fileTarget("   ");
        s.rows = {{true, "udp://127.0.0.1:9", "UDP"}};
        s.rows[0].enabled = false;
        r.output.setSettings(s);
        QVERIFY(!r.output.start());
        QCOMPARE(r.warnings.size(), 1);
        QCOMPARE(r.warnings[0][0].toString(), QString::fromUtf8("输出"));
        QVERIFY(r.warnings[0][1].toString().startsWith(QString::fromUtf8("请填写输出文件路径")));
        QVERIFY(r.running.isEmpty() && !r.output.isRunning());
        QVERIFY(!r.session.pipeline()->isOutputRunning());
    }

    void startsAndStopsARealOutput() {
        Rig r;
        r.output.setChinese(false);
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        const QString udp = QString("udp://127.0.0.1:%1").arg(peer.localPort());
        OutputSettings s = fileTarget(dir_.filePath("live.mkv"));
        s.rows = {{true, udp, "UDP"}};
        s.width = 640;
        s.height = 360;
        r.output.setSettings(s);
        QVERIFY(r.output.start());
        QVERIFY(r.warnings.isEmpty());
        QCOMPARE(r.running.size(), 1);
        QVERIFY(r.running[0][0].toBool() && r.output.isRunning());
        QCOMPARE(r.output.recordingFile(), dir_.filePath("live_20250101_203000.mkv"));
        QString why;
        QVERIFY(r.output.sourceConflicts(r.output.recordingFile(), &why));
        QVERIFY(why.contains("being recorded"));
        QVERIFY(r.output.sourceConflicts(udp, nullptr));

        s.rows.clear(); // a running output keeps its targets, and they still count as outputs
        r.output.setSettings(s);
        QVERIFY(r.output.sourceConflicts(udp, nullptr));
        r.timeline.start(); // blank program frames every tick
        QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), 10000); // the first frame went out

        r.output.stop();
        QCOMPARE(r.running.size(), 2);
        QVERIFY(!r.running[1][0].toBool() && !r.output.isRunning());
        QVERIFY(r.session.pipeline()->waitOutputsClosed(10000));
        QVERIFY(QFileInfo(r.output.recordingFile()).size() > 0);
        QVERIFY(!r.output.sourceConflicts(r.output.recordingFile(), nullptr));
        QVERIFY(r.output.start()); // the same second: a new file beside the first
        QCOMPARE(r.output.recordingFile(), dir_.filePath("live_20250101_203000_2.mkv"));
        r.output.stop();
    }

    void transportFailureUnlocksWithoutABox() {
        Rig r;
        r.output.setSettings(fileTarget(dir_.filePath("t.mkv")));
        QVERIFY(r.output.start());
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^programOutputTransportFailed: disk full$"));
        emit r.session.pipeline()->programOutputTransportFailed("disk full");
        QVERIFY(!r.output.isRunning() && r.warnings.isEmpty());
        QVERIFY(!r.running.last()[0].toBool());
        const auto lines = r.output.statusLines();
        QVERIFY(!lines.empty() && lines.back().level == Level::Error);
        QVERIFY(lines.back().text.endsWith(QString::fromUtf8("输出已停止：disk full")));
        r.session.pipeline()->stopOutputs();
    }

private:
    struct Rig {
        EngineSession session{EngineSession::AudioPlayback::Off};
        ProgramTimeline timeline{session};
        ProgramOutput output{session, timeline, nullptr, [] { return kNewYearEve; }};
        QSignalSpy warnings{&output, &ProgramOutput::warningRaised};
        QSignalSpy running{&output, &ProgramOutput::runningChanged};
    };

    QTemporaryDir dir_;
};

QTEST_MAIN(TestProgramOutput)
#include "tst_ProgramOutput.moc"
