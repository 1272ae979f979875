// Output control: file names, stream targets, source conflicts, status lines, a real run.

#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/ProgramOutput.h"
#include "pipeline/ProgramTimeline.h"

#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

using State = OutputTargetStatus::State;

const QDateTime kClock(QDate(2025, 1, 1), QTime(20, 30, 0));
const QString kKey = "rtmp://u:pw@h/live/sk_123";

// An unticked row and a ticked one; a small picture for the real run.
OutputSettings settings(const QString &file, const QString &url = {}) {
    std::vector<OutputSettings::StreamRow> rows{{false, "udp://x:1", "UDP"}, {true, url, "UDP"}};
    return {!file.isEmpty(), file, rows, 640, 360};
}

// A stream when the address has a scheme.
OutputTargetStatus target(const QString &url, State state = State::Starting, int attempt = 0) {
    return {url.contains("://"), url, state, attempt, 0, 0, 0, {}};
}

OutputRunStatus poll(int64_t atMs, std::vector<OutputTargetStatus> targets, int64_t frames = 0,
                     const QString &missing = {}, const QString &why = {}) {
    return {true, false, atMs, frames, !missing.isEmpty(), missing, why, std::move(targets)};
}

// One line per status line: the level's letter (Info, Good, Warning, Error) and the text.
QStringList shown(const std::vector<OutputStatusLine> &lines) {
    QStringList out;
    for (const OutputStatusLine &l : lines)
        out << QString("IGWE"[int(l.level)]) + ' ' + l.text;
    return out;
}

} // namespace

Q_DECLARE_METATYPE(OutputSettings)

class TestProgramOutput : public QObject {
    Q_OBJECT
private slots:
    // What a start is given: the time-stamped file and the ticked streams' formats.
    void fileNamesAndStreamTargets() {
        const auto name = [](const QString &path, int taken) { // stamped names that exist
            return OutputPlan::recordingFile(settings(path), kClock, "/work",
                                             [&](const QString &) { return taken-- > 0; });
        };
        QCOMPARE(name("/rec/show", 0), "/rec/show_20250101_203000.mp4");
        QCOMPARE(name(" out/a.b.ts ", 0), "/work/out/a.b_20250101_203000.ts");
        QCOMPARE(name("/rec/a.mkv", 1), "/rec/a_20250101_203000_2.mkv");
        QCOMPARE(name("/rec/", 2), "/rec/output_20250101_203000_3.mp4");
        QVERIFY(OutputPlan::recordingFile(settings({}), kClock, "/work").isEmpty());
        // The playout's exact name: no stamp, even over an existing file; a bare name is MP4.
        for (const auto &[path, expected] :
             {std::pair{"out/show", "/work/out/show.mp4"}, std::pair{"/rec/a.mkv", "/rec/a.mkv"}}) {
            OutputSettings exact = settings(path);
            exact.exactFileName = true;
            QCOMPARE(OutputPlan::recordingFile(exact, kClock, "/work", [](auto &) { return true; }),
                     expected);
        }

        OutputSettings s = settings({}, "udp://c:2");
        s.rows.insert(s.rows.begin(), {{true, " rtmp://a/l/k ", "rtmp"}, {true, " ", "RTMP"}});
        const std::vector<StreamTarget> expected{{"rtmp://a/l/k", "flv"}, {"udp://c:2", "mpegts"}};
        QVERIFY(OutputPlan::streamTargets(s) == expected);
    }

    void sourceConflicts_data() {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<OutputSettings>("settings");
        QTest::addColumn<int>("message"); // which text; -1: no conflict
        const QString d = dir_.path();
        QDir(d).mkpath("real"); // a failure here fails the rows that need them
        QFile::link(d + "/real", d + "/link");
        QFile(d + "/real/show.mp4").open(QIODevice::WriteOnly);
        const auto row = [](const char *name, const QString &candidate, const QString &file,
                            const QString &stream, int message) {
            QTest::newRow(name) << candidate << settings(file, stream) << message;
        };
        row("same file", d + "/show.mp4", d + "/show.mp4", {}, 0);
        row("case differs", d + "/Show.MP4", d + "/show.mp4", {}, -1);
        row("through a link", d + "/link/show.mp4", d + "/real/show.mp4", {}, 0);
        row("relative source", "real/a.mkv", d + "/real/a.mkv", {}, 0);
        row("relative target is no host", d + "/example.com", "example.com", {}, 0);
        row("recording file", d + "/s_1.mp4", d + "/s.mp4", {}, 0);
        row("output address", "rtmp://Host/live/key", "rtmp://host/live/key", {}, 1);
        row("stream file target", d + "/cap.ts", {}, "cap.ts", 2);
        row("stream address", "udp://127.0.0.1:5000#x", {}, " udp://127.0.0.1:5000", 3);
        row("password ignored", "rtmp://u:pw@h/app/k", {}, "rtmp://u@h/app/k", 3);
        row("camera", "dshow://capture?video=cam", "dshow://capture?video=cam", {}, -1);
        row("display", "DESKTOP://0", "desktop://0", {}, -1);
    }
    void sourceConflicts() {
        QFETCH(QString, candidate);
        QFETCH(OutputSettings, settings);
        QFETCH(int, message);
        const QString d = dir_.path(), recording = d + "/s_1.mp4";
        const QStringList tails = {
            "the output file being recorded.", "the output address being recorded.",
            "a ticked stream address (file target).", "a ticked stream address."};
        QString text, zh;
        QCOMPARE(OutputPlan::sourceConflicts(candidate, settings, recording, d, false, &text),
                 message >= 0);
        QCOMPARE(text, message < 0 ? QString()
                                   : "The input source cannot be the same as " + tails[message]);
        OutputPlan::sourceConflicts(candidate, settings, recording, d, true, &zh);
        QCOMPARE(zh.startsWith(QString::fromUtf8("输入源不能与")), message >= 0);
    }

    // One run: a live stream, one reconnecting, one that failed and came back, no recording;
    // stopped by a transport failure. Keys, queries and passwords never show.
    void trackerLines() {
        const QString udp = "udp://h:9?pkt=1316";
        // {stream, url, state, attempt, bytes, dropped, live since (ms), reason}
        const OutputTargetStatus live{true, kKey, State::Live, 0, 500000, 4, 1000, {}};
        const OutputTargetStatus failed{true, udp, State::Failed, 0, 0, 0, 0, udp + ": refused"};
        OutputStatusTracker tracker;
        tracker.begin(500);
        tracker.update(poll(1000, {target(kKey, State::Live), target("udp://h:8"), failed}));
        tracker.update(poll(3000,
                            {target("/ro/a.mp4", State::Failed), live,
                             target("udp://h:8", State::Reconnecting, 3), target(udp, State::Live)},
                            60, "/ro/a.mp4", "Permission denied")); // rates over the last 2 s
        const QStringList kept = {
            "E Stream 3 udp://h:9?•••• · failed: udp://h:9?••••: refused · dropped 0",
            "E File /ro/a.mp4 · not recorded: Permission denied"};
        const QString stream1 = "Stream 1 rtmp://u:••••@h/live/•••• · ";
        QCOMPARE(shown(tracker.lines(false)),
                 (QStringList{"G " + stream1 + "live · 2.00 Mb/s · dropped 4 · on air 0:00:02",
                              "W Stream 2 udp://h:8 · reconnecting (try 3) · dropped 0"} +
                  kept + QStringList{"I Program encoded 30.0 fps"}));
        tracker.update(OutputRunStatus{}); // closed
        tracker.noteStopped("lost " + kKey);
        QCOMPARE(shown(tracker.lines(false)),
                 (QStringList{"I " + stream1 + "stopped · dropped 4 · on air 0:00:02",
                              "I Stream 2 udp://h:8 · stopped · dropped 0"} +
                  kept +
                  QStringList{"I Program encoded 30.0 fps",
                              "E Output stopped: lost rtmp://u:••••@h/live/••••"}));
        QVERIFY(!shown(tracker.lines(true)).join(' ').contains(QRegularExpression("sk_|pkt|pw")));
        tracker.begin(9000); // the next run starts clean
        QVERIFY(tracker.lines(false).empty());
    }

    // Refused without a target, started, stopped with a complete file, restarted beside it,
    // then ended by a transport failure.
    void outputRun() {
        EngineSession session{EngineSession::AudioPlayback::Off};
        ProgramTimeline timeline{session};
        ProgramOutput output{session, timeline, nullptr, [] { return kClock; }};
        QSignalSpy warnings{&output, &ProgramOutput::warningRaised};
        QSignalSpy running{&output, &ProgramOutput::runningChanged};
        FramePipeline *pipeline = session.pipeline();
        output.setSettings(settings("  ", "  "));
        QVERIFY(!output.start() && !pipeline->isOutputRunning() && running.isEmpty());
        QVERIFY(warnings.size() == 1 &&
                warnings.takeFirst()[1].toString().startsWith(QString::fromUtf8("请填写输出")));

        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        const QString udp = QString("udp://127.0.0.1:%1").arg(peer.localPort());
        output.setSettings(settings(dir_.filePath("live.mkv"), udp));
        QVERIFY(output.start() && running.size() == 1 && running[0][0].toBool());
        QCOMPARE(output.recordingFile(), dir_.filePath("live_20250101_203000.mkv"));
        QVERIFY(output.sourceConflicts(output.recordingFile(), nullptr));
        // The targets of the running output still count after the fields change.
        output.setSettings(settings(dir_.filePath("live.mkv")));
        QVERIFY(output.sourceConflicts(udp, nullptr));
        timeline.start();
        QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), 10000);
        output.stop();
        QVERIFY(running.size() == 2 && !running[1][0].toBool() && !output.isRunning());
        QVERIFY(pipeline->waitOutputsClosed(10000));
        QVERIFY(QFileInfo(output.recordingFile()).size() > 0);
        QVERIFY(!output.sourceConflicts(output.recordingFile(), nullptr));
        QVERIFY(output.start()); // the same second: a new file beside the first
        QCOMPARE(output.recordingFile(), dir_.filePath("live_20250101_203000_2.mkv"));

        QTest::ignoreMessage(QtWarningMsg, "programOutputTransportFailed: disk full");
        emit pipeline->programOutputTransportFailed("disk full");
        QVERIFY(!output.isRunning() && !running.last()[0].toBool() && warnings.isEmpty());
        QCOMPARE(shown(output.statusLines()).last(), QString::fromUtf8("E 输出已停止：disk full"));
        pipeline->stopOutputs();
    }

private:
    QTemporaryDir dir_;
};

QTEST_MAIN(TestProgramOutput)
#include "tst_ProgramOutput.moc"
