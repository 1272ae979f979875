// The program time line against a real engine session, fake panels and a clock the test moves.

#include "common/OverlayFixtures.h"
#include "common/SlowFactor.h"
#include "pipeline/CompositionController.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/ImageSlideshow.h"
#include "pipeline/ProgramChannel.h"
#include "pipeline/ProgramTimeline.h"

#include <QtTest>

using namespace overlays;

namespace {

struct FakeChannel : ProgramChannel {
    QString source = QStringLiteral("/none/clip.mp4"); // missing: never decodes
    int64_t position = 0;
    bool playing = false, switchOn = false;
    QString programSource() const override { return source; }
    int64_t positionMs() const override { return position; }
    bool isPlaying() const override { return playing; }
    bool loopEnabled() const override { return false; }
    int volumePercent() const override { return 100; }
    void setPreviewSwitch(bool on) override { switchOn = on; }
    void setDurationMs(int64_t) override { ++durationsGiven; }
    int durationsGiven = 0;
};

enum Base { NoBase, Paused, Playing, Delivering }; // Delivering: a picture every tick
using Case = std::tuple<Base, bool, bool, bool, int>;

struct Rig {
    int64_t nowMs = 1000;
    EngineSession session{EngineSession::AudioPlayback::Off};
    std::array<FakeChannel, 3> panels;
    ProgramTimeline timeline{session, nullptr, [this] { return nowMs; }};
    QSignalSpy programs{session.pipeline(), &FramePipeline::programFrameReady};
    Rig() {
        panels[2].source.clear(); // channels 1 and 2 have media, 3 has none
        for (int k = 0; k < 3; ++k)
            timeline.setChannel(k, &panels[size_t(k)]);
        timeline.start();
        timeline.findChild<QTimer *>()->stop();
    }
    FramePipeline &pipeline() { return *session.pipeline(); }
    int programSource() const { return session.controller()->snapshot().programSource; }
    void addText(bool scrolling) {
        TextOverlayData t{.text = "Q", .backgroundColor = Qt::darkCyan, .backgroundEnabled = true};
        t.scrollable = scrolling;
        t.scrollDirection = TextOverlayData::kScrollLeftToRight;
        session.overlays()->setTextOverlay(t);
    }
};

// Pictures of one colour each, larger than the program, with an unreadable file after the
// first.
QStringList writePictures(const QTemporaryDir &dir, const QList<QColor> &colours) {
    QStringList paths;
    for (const QColor &colour : colours) {
        QImage picture(2400, 1800, QImage::Format_RGB32);
        picture.fill(colour);
        paths << dir.filePath(QStringLiteral("p%1.png").arg(paths.size()));
        picture.save(paths.last());
        if (paths.size() == 1) {
            paths << dir.filePath(QStringLiteral("broken.png"));
            QFile broken(paths.last());
            broken.open(QIODevice::WriteOnly);
            broken.write("not a picture");
        }
    }
    return paths;
}

} // namespace
Q_DECLARE_METATYPE(Case)

class TestProgramTimeline : public QObject {
    Q_OBJECT
private slots:
    void switchesMoveTheBase() {
        Rig r;
        QSignalSpy cleared(&r.timeline, &ProgramTimeline::programCleared);
        r.panels[0].playing = true;
        r.timeline.onPreviewSwitchToggled(0, true);
        r.panels[1].position = 4200;
        r.timeline.onPreviewSwitchToggled(1, true); // the clock takes the new base's time and pause
        QVERIFY(!r.panels[0].switchOn && r.panels[1].switchOn && r.programSource() == 2);
        QVERIFY(r.timeline.clock().positionMs() == 4200 && !r.timeline.clock().isRunning());
        r.pipeline().onBaseFrameDecoded(pooledFrame(*r.pipeline().mainPool(), Qt::gray, 5000000));
        QCOMPARE(r.timeline.clock().positionMs(), 5000);
        r.timeline.onPreviewSwitchToggled(1, false);
        QVERIFY(cleared.size() == 1 && !r.panels[1].switchOn && r.timeline.clock().isRunning());
        QCOMPARE(r.programSource(), 0);
        r.timeline.onPreviewSwitchToggled(0, true);
        r.timeline.onPreviewSwitchToggled(2, true); // no media: feeds nothing, not channel 1
        QCOMPARE(r.programSource(), 0);
    }

    // A source without a duration yet is asked again, until it has another source.
    void durationIsAskedUntilKnown() {
        Rig r;
        r.timeline.onChannelMediaChanged(0);
        QTRY_VERIFY_WITH_TIMEOUT(r.panels[0].durationsGiven >= 3, 2000);
        r.panels[0].source = QStringLiteral("/none/other.mp4");
        const int given = r.panels[0].durationsGiven;
        QTest::qWait(ProgramTimeline::kDurationRetryMs * 2);
        QCOMPARE(r.panels[0].durationsGiven, given);
    }

    void composesWhenNeeded_data() {
        QTest::addColumn<Case>("c");
        QTest::newRow("tick, no base: blank, clock runs") << Case{NoBase, false, false, false, 9};
        QTest::newRow("tick, output, playing: keep-alive") << Case{Playing, true, false, false, 2};
        QTest::newRow("tick, output, delivering: no keep-alive")
            << Case{Delivering, true, false, false, 9};
        QTest::newRow("tick, output, paused") << Case{Paused, true, false, false, 9};
        QTest::newRow("tick, paused, scrolling text") << Case{Paused, false, true, false, 9};
        QTest::newRow("tick, paused, still text") << Case{Paused, false, false, false, 0};
        QTest::newRow("tick, playing, scrolling text") << Case{Playing, false, true, false, 0};
        QTest::newRow("burst, paused") << Case{Paused, false, false, true, 1};
        QTest::newRow("burst, playing: next frame has it") << Case{Playing, false, false, true, 0};
    }

    void composesWhenNeeded() {
        QFETCH(Case, c);
        const auto [base, output, scrolling, burst, composed] = c;
        QTemporaryDir dir; // outlives the output
        Rig r;
        r.addText(scrolling);
        if (base != NoBase) { // channel 1 as the base, one decoded picture of it composed
            r.panels[0].playing = base != Paused;
            r.timeline.onPreviewSwitchToggled(0, true);
            r.pipeline().onChannelFrame(0, pooledFrame(*r.pipeline().mainPool(), Qt::darkRed, 0));
            QTRY_VERIFY(!r.programs.isEmpty());
        }
        r.pipeline().setOutputFile(dir.filePath("out.mkv"));
        r.pipeline().setOutputSize(320, 180);
        QVERIFY(!output || r.pipeline().startOutputs());
        QCoreApplication::processEvents(); // the text's own refresh
        r.programs.clear();
        for (int i = 0; i < (burst ? 5 : 9); ++i, r.nowMs += 250) {
            if (base == Delivering) {
                r.pipeline().onChannelFrame(0, pooledFrame(*r.pipeline().mainPool(), Qt::red, 0));
                QTRY_COMPARE(r.programs.size(), i + 1);
            }
            burst ? r.addText(false) : r.timeline.tick();
        }
        QCoreApplication::processEvents();
        QCOMPARE(r.programs.size(), composed);
        const FrameTokenPtr last = composed ? r.programs.back()[0].value<FrameTokenPtr>() : nullptr;
        QVERIFY(!last || scrolling || near(pixel(last, 24, 24), Qt::darkCyan, 2));
        QCOMPARE(r.timeline.clock().positionMs(), base == NoBase && !burst ? 2000 : 0);
    }

    // Without loop the show ends on its last picture instead of wrapping to the first; an
    // unreadable file is skipped; pictures arrive fitted to the program.
    void slideshowStopsOnItsLastPicture() {
        QTemporaryDir dir;
        const QStringList paths = writePictures(dir, {Qt::red, Qt::green, Qt::blue});
        Rig r;
        r.panels[0].playing = true;
        r.timeline.onPreviewSwitchToggled(0, true); // the slideshow replaces this base
        QSignalSpy playing(&r.timeline, &ProgramTimeline::imagePlaybackChanged);
        QList<int> shown;
        connect(&r.timeline.slideshow(), &ImageSlideshow::pictureChanged, this,
                [&] { shown << r.timeline.slideshow().index(); });
        r.timeline.startImagePlayback(paths, 50, false);
        QCOMPARE(r.timeline.imageIntervalMs(), ProgramTimeline::kMinImageIntervalMs);
        QVERIFY(playing.wait(5000));
        QVERIFY(playing.last()[0].toBool() && !r.panels[0].switchOn);
        QCOMPARE(r.programSource(), int(ProgramState::kImagePlayback));
        QCOMPARE(r.timeline.slideshow().picture().size(), QSize(1440, 1080));
        QVERIFY(playing.wait(5000));
        QVERIFY(!playing.last()[0].toBool());
        QTest::qWait(3 * ProgramTimeline::kMinImageIntervalMs);
        QCOMPARE(shown, (QList<int>{0, 2, 3}));
        QVERIFY(r.timeline.imagePlaybackIsSource());
        QVERIFY(near(pixel(r.programs.back()[0].value<FrameTokenPtr>(), 960, 540), Qt::blue, 2));

        r.timeline.startImagePlayback(paths, 10 * 60 * 1000, true);
        QCOMPARE(r.timeline.imageIntervalMs(), ProgramTimeline::kMaxImageIntervalMs);
        r.timeline.stopImagePlayback();
        QCOMPARE(r.programSource(), int(ProgramState::kNoSource));
        QVERIFY(!r.timeline.imagePlaybackIsSource() && !r.timeline.imagePlaybackStepping());
    }

    // While the output runs the picture is fed again at the output frame rate, every frame
    // later than the one before.
    void slideshowFeedsTheOutput() {
        QTemporaryDir dir;
        Rig r;
        r.timeline.startImagePlayback(writePictures(dir, {Qt::yellow}), 1000, true);
        QTRY_VERIFY_WITH_TIMEOUT(r.timeline.imagePlaybackIsSource(), 5000);
        r.pipeline().setOutputFile(dir.filePath("out.mkv"));
        r.pipeline().setOutputSize(320, 180);
        QVERIFY(r.pipeline().startOutputs());
        r.timeline.onOutputStarted();
        r.programs.clear();
        QTest::qWait(1000);
        r.timeline.onOutputEnded();
        r.pipeline().stopOutputs();
        int64_t last = -1;
        for (const QList<QVariant> &args : std::as_const(r.programs)) {
            const int64_t pts = args[0].value<FrameTokenPtr>()->ptsUs;
            QVERIFY2(pts > last, qPrintable(QString::number(pts)));
            last = pts;
        }
        QVERIFY2(r.programs.size() >= 25 / kSlow && r.programs.size() <= 33,
                 qPrintable(QString::number(r.programs.size())));
        QVERIFY(r.pipeline().waitOutputsClosed(5000));
    }
};

QTEST_MAIN(TestProgramTimeline)
#include "tst_ProgramTimeline.moc"
