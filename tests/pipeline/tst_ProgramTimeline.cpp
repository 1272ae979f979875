// The program time line against a real engine session, with fake channel panels and a clock
// the test moves.

#include "core/MetaTypes.h"
#include "pipeline/CompositionController.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/ProgramChannel.h"
#include "pipeline/ProgramTimeline.h"

#include "common/OverlayFixtures.h"

#include <QSignalSpy>
#include <QtTest>

namespace fx = overlays;

namespace {

struct FakeChannel : ProgramChannel {
    QString source;
    int64_t position = 0, duration = -2; // -2: never told
    bool playing = false, switchOn = false;
    QString programSource() const override { return source; }
    int64_t positionMs() const override { return position; }
    bool isPlaying() const override { return playing; }
    bool loopEnabled() const override { return false; }
    int volumePercent() const override { return 100; }
    void setPreviewSwitch(bool on) override { switchOn = on; }
    void setDurationMs(int64_t ms) override { duration = ms; }
};

enum Base { NoBase, Paused, Playing };
const QColor kTextBox(230, 120, 20);

// Four panels; channels 1 and 2 have a (missing) file, 3 and 4 nothing.
struct Rig {
    int64_t nowMs = 1000;
    EngineSession session{EngineSession::AudioPlayback::Off};
    std::array<FakeChannel, 4> panels;
    ProgramTimeline timeline{session, nullptr, [this] { return nowMs; }};
    QSignalSpy programs{session.pipeline(), &FramePipeline::programFrameReady};

    Rig() {
        for (int k = 0; k < 4; ++k) {
            panels[size_t(k)].source = k < 2 ? QStringLiteral("/none/ch%1.mp4").arg(k) : QString();
            timeline.setChannel(k, &panels[size_t(k)]);
        }
        timeline.start();
        timeline.findChild<QTimer *>()->stop(); // the test ticks itself
    }
    FramePipeline &pipeline() { return *session.pipeline(); }
    ProgramState state() const { return session.controller()->snapshot(); }
    bool lastShowsText() const { // text box on a blank (transparent black) or the base
        const FrameTokenPtr f = programs.back()[0].value<FrameTokenPtr>();
        return fx::near(fx::pixel(f, 90, 135), kTextBox, 2) && fx::pixel(f, 1440, 810).blue() == 0;
    }
    void addText(bool scrolling) {
        TextOverlayData text = TextOverlayData::forNewRow(1, 0);
        text.text = QStringLiteral("QUORVI");
        text.pos = QPoint(40, 40);
        text.backgroundEnabled = true;
        text.backgroundColor = kTextBox;
        text.backgroundPadding = 20;
        text.scrollable = scrolling;
        text.scrollDirection = scrolling ? TextOverlayData::kScrollLeftToRight : 0;
        session.overlays()->setTextOverlay(text);
    }
    // Channel 1 as the base, a decoded picture of it delivered and composed.
    bool setBase(Base base) {
        if (base == NoBase)
            return true;
        panels[0].playing = base == Playing;
        timeline.onPreviewSwitchToggled(0, true);
        const qsizetype before = programs.size();
        pipeline().onChannelFrame(0, fx::pooledFrame(*pipeline().mainPool(), Qt::darkRed, 0));
        return QTest::qWaitFor([&] { return programs.size() > before; }, 5000);
    }
};

} // namespace

class TestProgramTimeline : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { registerQuorviMetaTypes(); }
    void switchesMoveTheBase();
    void composesWhenNeeded_data();
    void composesWhenNeeded();
};

void TestProgramTimeline::switchesMoveTheBase() {
    Rig r;
    QSignalSpy cleared(&r.timeline, &ProgramTimeline::programCleared);
    r.timeline.onPreviewSwitchToggled(0, true);
    r.panels[1].position = 4200;
    r.panels[1].playing = true;
    r.timeline.clock().setRunning(false);
    r.timeline.onPreviewSwitchToggled(1, true);
    QVERIFY(!r.panels[0].switchOn && r.panels[1].switchOn && r.timeline.clock().isRunning());
    QCOMPARE(r.timeline.baseChannel(), 1);
    QCOMPARE(r.state().programSource, 2);
    QCOMPARE(r.state().programSourcePath, r.panels[1].source);
    QCOMPARE(r.timeline.baseStartPositionMs(), int64_t(4200));
    r.timeline.onPreviewSwitchToggled(0, false); // not the base: nothing happens
    QVERIFY(r.panels[1].switchOn && cleared.isEmpty() && r.state().programSource == 2);

    // Base frames, the base's seeks and pauses move the clock; other channels' do not.
    r.pipeline().onBaseFrameDecoded(fx::pooledFrame(*r.pipeline().mainPool(), Qt::gray, 5000000));
    QCOMPARE(r.timeline.clock().positionMs(), int64_t(5000));
    r.timeline.onProgramSeekRequested(0, 9000);
    r.timeline.onPlaybackStateChanged(0, false);
    QVERIFY(r.timeline.clock().isRunning() && r.timeline.baseStartPositionMs() == 5000);
    r.timeline.onProgramSeekRequested(1, 7000);
    r.timeline.onPlaybackStateChanged(1, false);
    QVERIFY(!r.timeline.clock().isRunning() && r.timeline.baseStartPositionMs() == 7000);
    QCOMPARE(r.timeline.clock().positionMs(), int64_t(7000));

    // A base without media feeds nothing rather than leaving channel 2 on the program.
    r.timeline.onPreviewSwitchToggled(2, true);
    QCOMPARE(r.state().programSource, 0);
    r.timeline.onPreviewSwitchToggled(2, false);
    QVERIFY(cleared.size() == 1 && !r.panels[2].switchOn && r.timeline.clock().isRunning());
    QVERIFY(r.timeline.baseChannel() == -1 && r.timeline.baseStartPositionMs() == -1);

    // The duration is asked for once the decoder had time to open the source, without waiting.
    r.timeline.onChannelMediaChanged(0);
    QCOMPARE(r.panels[0].duration, int64_t(-2));
    QTRY_COMPARE(r.panels[0].duration, int64_t(-1)); // the file is missing: unknown
}

void TestProgramTimeline::composesWhenNeeded_data() {
    QTest::addColumn<int>("base");
    QTest::addColumn<bool>("output");
    QTest::addColumn<bool>("scrolling");
    QTest::addColumn<bool>("burst"); // else 9 ticks over 2.25 s
    QTest::addColumn<int>("composed");
    QTest::newRow("tick, no base: blank frames") << int(NoBase) << false << false << false << 9;
    QTest::newRow("tick, output, playing: keep-alive")
        << int(Playing) << true << false << false << 2;
    QTest::newRow("tick, output, paused") << int(Paused) << true << false << false << 9;
    QTest::newRow("tick, paused, scrolling text") << int(Paused) << false << true << false << 9;
    QTest::newRow("tick, paused, still text") << int(Paused) << false << false << false << 0;
    QTest::newRow("tick, playing, scrolling text") << int(Playing) << false << true << false << 0;
    QTest::newRow("burst, no base") << int(NoBase) << false << false << true << 1;
    QTest::newRow("burst, paused") << int(Paused) << false << false << true << 1;
    QTest::newRow("burst, playing: its next frame carries it")
        << int(Playing) << false << false << true << 0;
}

void TestProgramTimeline::composesWhenNeeded() {
    QFETCH(int, base);
    QFETCH(bool, output);
    QFETCH(bool, scrolling);
    QFETCH(bool, burst);
    QFETCH(int, composed);
    Rig r;
    r.addText(scrolling);
    QVERIFY(r.setBase(Base(base)));
    QTemporaryDir dir;
    r.pipeline().setOutputFile(dir.filePath(QStringLiteral("out.mkv")));
    r.pipeline().setOutputSize(320, 180);
    QVERIFY(!output || r.pipeline().startOutputs());
    QCoreApplication::processEvents(); // the text's own refresh
    r.programs.clear();
    const int64_t clockBefore = r.timeline.clock().positionMs();
    for (int i = 0; i < (burst ? 5 : 9); ++i) {
        r.nowMs += 250;
        if (burst)
            r.addText(false);
        else
            r.timeline.tick();
    }
    QCoreApplication::processEvents();
    QCOMPARE(r.programs.size(), composed);
    QVERIFY(composed == 0 || scrolling || r.lastShowsText());
    // The clock follows real time only without a base, and only on ticks.
    QCOMPARE(r.timeline.clock().positionMs() - clockBefore, base == NoBase && !burst ? 2250 : 0);
    QCOMPARE(r.timeline.keepAliveStampMs() != 0, output && base == Playing);
    r.pipeline().stopOutputs();
}

QTEST_MAIN(TestProgramTimeline)
#include "tst_ProgramTimeline.moc"
