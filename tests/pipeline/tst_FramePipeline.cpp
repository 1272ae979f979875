// The frame pipeline's routing as the panels, the program view and the output see it.

#include "core/FramePool.h"
#include "core/MetaTypes.h"
#include "input/FFmpegVideoDecoder.h"
#include "output/OutputRouter.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OverlayManager.h"

#include "common/EncodedFrames.h"
#include "common/MediaFixtures.h"
#include "common/OverlayFixtures.h"
#include "common/SlowCloseSink.h"
#include "common/SlowFactor.h"

#include <QDir>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <thread>

namespace fx = overlays;
using overlays::pooledFrame;

namespace {

ProgramState sourceState(int programSource) {
    ProgramState s;
    s.programSource = programSource;
    return s;
}

// True once `spy` has `n` signals and no more come (a second queued flush would have run).
bool settlesAt(const QSignalSpy &spy, int n) {
    (void)QTest::qWaitFor([&] { return spy.size() >= n; }, 5000);
    QTest::qWait(50);
    return spy.size() == n;
}

int countEntries(const QString &dir) {
    return int(QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

} // namespace

class TestFramePipeline : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void burstsCoalesceToTheNewestPicture();
    void onlyTheBaseChannelReachesTheProgram();
    void stillImageIsFittedOnBlack();
    void blankBaseCarriesOverlays();
    void badChannelAudioIsSilence();
    void transportFailureStopsTheOutput();
    void stopReturnsAtOnceAndTheCloseIsSignalled();
    void changingOneSourceLeavesTheOthersDecoding();
    void channelsOffTheProgramComeAsThumbnails();
    void overlaysAreDrawnOnTheBaseItself();
    void programPicturesKeepTheirDecodedSource();
    void aPictureSentIsNeverDrawnOn();
    void slotTableRules();
    void asynchronousReleaseAndDeferredRegistration();
    void overlayFramesFollowTheManager();
    void outputCyclesLeaveNothingBehind();
    void destroyedWhileEverythingRuns();

private:
    media::FixtureSet fixtures_;
    QStringList clips_; // red, lime, blue, white, yellow
};

void TestFramePipeline::initTestCase() {
    registerQuorviMetaTypes();
    QVERIFY(fixtures_.isValid());
    // Made before any engine thread exists: forking later upsets ThreadSanitizer.
    for (const QString colour : {"red", "lime", "blue", "white", "yellow"}) {
        fixtures_.define(
            colour + ".mp4",
            media::lavfi(QStringLiteral("color=c=%1:s=320x180:r=30:d=20").arg(colour)) +
                QStringList{"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                            // B-pictures no picture refers to, which thumbnails may skip
                            "-x264-params", "bframes=3:b-adapt=0:b-pyramid=none"});
        clips_ << fixtures_.path(colour + ".mp4");
        QVERIFY2(!clips_.back().isEmpty(), qPrintable(fixtures_.lastError()));
    }
    for (const auto &[name, size, rate] :
         {std::tuple{"red1080.mp4", "1920x1080", 30}, std::tuple{"red1fps.mp4", "320x180", 1}}) {
        fixtures_.define(
            name,
            media::lavfi(
                QStringLiteral("color=c=red:s=%1:r=%2:d=3").arg(QLatin1String(size)).arg(rate)) +
                QStringList{"-c:v", "libx264", "-preset", "ultrafast"});
        QVERIFY2(!fixtures_.path(name).isEmpty(), qPrintable(fixtures_.lastError()));
    }
}

void TestFramePipeline::burstsCoalesceToTheNewestPicture() {
    FramePipeline p;
    OverlayManager overlays;
    p.setProgramState(sourceState(1), &overlays);
    QSignalSpy previews(&p, &FramePipeline::channelFrameReady);
    QSignalSpy bases(&p, &FramePipeline::baseFrameReady);
    QSignalSpy programs(&p, &FramePipeline::programFrameReady);

    // Ten pictures from a decoder thread before the GUI thread gets to run.
    FramePool pool(12, 64, 36);
    std::vector<FrameTokenPtr> sent;
    for (int i = 0; i < 10; ++i)
        sent.push_back(pooledFrame(pool, Qt::gray, i * 33000));
    std::thread decoder([&] {
        for (const FrameTokenPtr &f : sent)
            p.onChannelFrame(0, f);
    });
    decoder.join();
    QCOMPARE(previews.size(), 0); // nothing is delivered on the decoder thread

    QVERIFY(settlesAt(previews, 1));
    QCOMPARE(previews[0][0].toInt(), 0);
    QCOMPARE(previews[0][1].value<FrameTokenPtr>(), sent.back());
    QCOMPARE(bases.size(), 1);
    QCOMPARE(bases[0][0].value<FrameTokenPtr>(), sent.back());
    QCOMPARE(programs.size(), 1);
    // No overlay: the base itself is the program frame, no pixel copied.
    QCOMPARE(programs[0][0].value<FrameTokenPtr>(), sent.back());

    // Pictures of several channels in one burst: one flush, channels in order.
    previews.clear();
    p.onChannelFrame(3, sent[1]);
    p.onChannelFrame(2, sent[2]);
    p.onChannelFrame(2, sent[3]);
    p.onChannelFrame(-1, sent[4]);
    p.onChannelFrame(4, sent[4]);
    p.onChannelFrame(1, nullptr);
    QVERIFY(settlesAt(previews, 2));
    QCOMPARE(previews[0][0].toInt(), 2);
    QCOMPARE(previews[0][1].value<FrameTokenPtr>(), sent[3]);
    QCOMPARE(previews[1][0].toInt(), 3);

    // A picture that arrives while the flush emits goes out in a flush of its own.
    previews.clear();
    connect(&p, &FramePipeline::channelFrameReady, this, [&](int channel, FrameTokenPtr) {
        if (channel == 0 && previews.size() == 1)
            p.onChannelFrame(1, sent[5]);
    });
    p.onChannelFrame(0, sent[6]);
    QTRY_COMPARE(previews.size(), 2);
    QCOMPARE(previews[1][1].value<FrameTokenPtr>(), sent[5]);
}

void TestFramePipeline::onlyTheBaseChannelReachesTheProgram() {
    FramePipeline p;
    OverlayManager overlays;
    FramePool pool(4, 64, 36);
    const FrameTokenPtr frame = pooledFrame(pool, Qt::gray, 0);
    QSignalSpy previews(&p, &FramePipeline::channelFrameReady);
    QSignalSpy programs(&p, &FramePipeline::programFrameReady);

    p.setProgramState(sourceState(1), &overlays);
    QCOMPARE(p.baseChannel(), 0);
    p.onChannelFrame(1, frame);
    QVERIFY(settlesAt(previews, 1) && programs.isEmpty());

    for (int source : {0, 5, 6, -1}) {
        p.setProgramState(sourceState(source), &overlays);
        QCOMPARE(p.baseChannel(), -1);
        p.onChannelFrame(0, frame);
        p.recomposeFromLatestBase();
    }
    QVERIFY(settlesAt(previews, 2) && programs.isEmpty()); // channel 1's four were one burst

    p.setProgramState(sourceState(4), &overlays);
    QCOMPARE(p.baseChannel(), 3);
    p.onChannelFrame(3, frame);
    QTRY_COMPARE(programs.size(), 1);
    // A paused base is refreshed from the channel's latest picture, without a base signal.
    QSignalSpy bases(&p, &FramePipeline::baseFrameReady);
    p.recomposeFromLatestBase();
    QCOMPARE(programs.size(), 2);
    QCOMPARE(bases.size(), 0);
    p.setProgramState(sourceState(4), nullptr);
    p.recomposeFromLatestBase(); // no overlay manager: nothing
    QCOMPARE(programs.size(), 2);

    // A picture of the old base still waiting for its flush stays off the program after a
    // switch: it would follow the new base's first picture.
    p.setProgramState(sourceState(4), &overlays);
    p.onChannelFrame(3, frame);
    p.setProgramState(sourceState(2), &overlays);
    QTest::qWait(50);
    QCOMPARE(programs.size(), 2);
}

void TestFramePipeline::stillImageIsFittedOnBlack() {
    FramePipeline p;
    QSignalSpy programs(&p, &FramePipeline::programFrameReady);
    QImage tall(400, 1000, QImage::Format_RGB32);
    tall.fill(Qt::white);
    p.submitImageBase(tall, 123456789);
    QCOMPARE(programs.size(), 1);
    const FrameTokenPtr f = programs[0][0].value<FrameTokenPtr>();
    QCOMPARE(f->width, 1920);
    QCOMPARE(f->height, 1080);
    QCOMPARE(f->ptsUs, int64_t(123456789));
    for (int y : {0, 540, 1079}) // 400 x 1000 fits as 432 x 1080 at x = 744
        for (int x : {743, 745, 1174, 1176})
            QCOMPARE(fx::pixel(f, x, y), QColor(x == 743 || x == 1176 ? Qt::black : Qt::white));

    QImage wide(3840, 400, QImage::Format_ARGB32);
    wide.fill(Qt::blue);
    p.submitImageBaseMs(wide, 42);
    QCOMPARE(programs.size(), 2);
    const FrameTokenPtr g = programs[1][0].value<FrameTokenPtr>();
    QCOMPARE(g->ptsUs, int64_t(42000));
    for (int y : {438, 442, 638, 641}) // a 1920 x 200 band at y = 440
        QCOMPARE(fx::pixel(g, 960, y), QColor(y == 438 || y == 641 ? Qt::black : Qt::blue));

    p.submitImageBase(QImage(), 0);
    QCOMPARE(programs.size(), 2);
}

void TestFramePipeline::blankBaseCarriesOverlays() {
    FramePipeline p;
    OverlayManager overlays;
    p.setProgramState(sourceState(0), &overlays);
    QSignalSpy programs(&p, &FramePipeline::programFrameReady);

    p.composeBlankBase(1500);
    QCOMPARE(programs.size(), 1);
    FrameTokenPtr f = programs[0][0].value<FrameTokenPtr>();
    QCOMPARE(f->ptsUs, int64_t(1500000));
    QCOMPARE(fx::pixel(f, 0, 0), QColor(0, 0, 0, 0));
    QCOMPARE(fx::pixel(f, 1919, 1079), QColor(0, 0, 0, 0));

    // Recycled tokens hold old pictures: the blank must be blank again.
    FrameTokenPtr dirty = p.mainPool()->acquire();
    dirty.reset();
    QTemporaryDir dir;
    const QString png = fx::writePng(dir.path(), "g.png", 8, 8, Qt::green);
    QVERIFY(fx::applyLoadedImage(
        overlays, fx::mediaEntry(1, MediaOverlayEntry::kImage, png, QRectF(0, 0, 320, 180))));
    programs.clear();
    f.reset();
    p.composeBlankBase(0);
    QCOMPARE(programs.size(), 1);
    f = programs[0][0].value<FrameTokenPtr>();
    QVERIFY(fx::near(fx::pixel(f, 480, 270), Qt::green, 2));
    QCOMPARE(fx::pixel(f, 1440, 810).rgb() & 0xffffff, 0u);
}

void TestFramePipeline::badChannelAudioIsSilence() {
    // Bad channels and slots, and a channel without a source: silence, only where asked for.
    FramePipeline p;
    std::vector<float> buffer(600, 1.0f);
    const auto pulledSilence = [&](auto pull, int index, int frames) {
        std::fill(buffer.begin(), buffer.end(), 1.0f);
        (p.*pull)(index, buffer.data(), frames);
        return std::count(buffer.begin(), buffer.end(), 0.0f) == 2 * frames &&
               std::all_of(buffer.begin(), buffer.begin() + 2 * frames,
                           [](float v) { return v == 0; });
    };
    QVERIFY(pulledSilence(&FramePipeline::pullChannelAudio, 7, 256));
    QVERIFY(pulledSilence(&FramePipeline::pullChannelAudio, -3, 0));
    QVERIFY(pulledSilence(&FramePipeline::pullChannelAudio, 0, 256));
    QVERIFY(pulledSilence(&FramePipeline::pullOverlayAudio, -1, 100));
    p.pullChannelAudio(0, nullptr, 256);
}

void TestFramePipeline::transportFailureStopsTheOutput() {
    FramePipeline p;
    QTemporaryDir dir;
    p.setOutputFile(dir.filePath("out.mkv"));
    p.setOutputSize(320, 180);
    QVERIFY(p.startOutputs());
    QVERIFY(p.isOutputRunning());
    QSignalSpy failed(&p, &FramePipeline::programOutputTransportFailed);
    QMetaObject::invokeMethod(&p, "onEncodeTransportFailed", Qt::QueuedConnection);
    QTRY_COMPARE(failed.size(), 1);
    QVERIFY(!p.isOutputRunning());
    QCOMPARE(failed[0][0].toString(),
             QString::fromUtf8("输出已停止：本地录制写入失败，或 RTMP "
                               "在多次自动重连后仍无法恢复（服务器关闭、超时或网络中断）。"));
}

// The GUI thread composes the program: stopping may not wait for the encoder's flush and
// trailer. The close is reported once, and then the recording is complete.
void TestFramePipeline::stopReturnsAtOnceAndTheCloseIsSignalled() {
    QTemporaryDir dir;
    FramePipeline p;
    OverlayManager overlays;
    p.setProgramState(sourceState(0), &overlays);
    p.setOutputSize(320, 180);
    auto sink = std::make_shared<SlowCloseSink>(700);
    p.router()->setSinkFactory([sink] { return sink; });
    const QString file = dir.filePath("slow.mkv");
    p.setOutputFile(file);
    QVERIFY(p.startOutputs());
    for (int n = 0; n < 20; ++n, QTest::qWait(10))
        p.composeBlankBase(n * 33);
    QTRY_VERIFY(p.router()->queuedFrames() == 0);
    QSignalSpy closed(&p, &FramePipeline::outputClosed);
    sink->arm();
    QElapsedTimer t;
    t.start();
    p.stopOutputs();
    const qint64 stopMs = t.elapsed();
    if (kSlow == 1)
        QVERIFY2(stopMs < 50, qPrintable(QString::number(stopMs)));
    QVERIFY(!p.isOutputRunning());
    QVERIFY(p.isOutputClosing());
    const OutputRunStatus closing = p.outputStatus();
    QVERIFY(!closing.running && closing.closing);
    QVERIFY(closing.encodedVideoFrames >= 10);
    QCOMPARE(closed.size(), 0);

    QVERIFY(p.waitOutputsClosed(10000 * kSlow));
    QVERIFY(!p.isOutputClosing());
    QTRY_COMPARE(closed.size(), 1);
    QTest::qWait(100);
    QCOMPARE(closed.size(), 1);
    const media::ProbeInfo info = media::probe(file);
    QVERIFY2(info.durationS > 0.3, qPrintable(QString::number(info.durationS)));
}

void TestFramePipeline::changingOneSourceLeavesTheOthersDecoding() {
    const QStringList &paths = clips_;
    FramePipeline p;
    std::array<QList<qint64>, 4> arrivals; // ms since start, per channel
    std::array<QColor, 4> lastColour;
    QElapsedTimer clock;
    clock.start();
    connect(&p, &FramePipeline::channelFrameReady, this, [&](int k, FrameTokenPtr f) {
        arrivals[size_t(k)] << clock.elapsed();
        lastColour[size_t(k)] = fx::pixel(f, f->width / 2, f->height / 2);
    });
    p.setChannelSources(paths[0], paths[1], paths[2], paths[3]);
    for (int k = 0; k < 4; ++k)
        p.setChannelPlayback(k, 0, true);
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(arrivals.begin(), arrivals.end(),
                                         [](const QList<qint64> &a) { return a.size() >= 10; }),
                             15000);
    const qint64 switchAt = clock.elapsed();
    p.setChannelSources(paths[0], paths[4], paths[2], paths[3]);
    p.setChannelPlayback(1, 0, true);
    QTRY_VERIFY_WITH_TIMEOUT(fx::near(lastColour[1], Qt::yellow, 40), 10000);
    QTest::qWait(1000 * kSlow);
    const qint64 endAt = clock.elapsed();

    for (int k : {0, 2, 3}) {
        qint64 previous = switchAt;
        qint64 longestGap = 0;
        for (qint64 t : arrivals[size_t(k)])
            if (t > switchAt) {
                longestGap = std::max(longestGap, t - previous);
                previous = t;
            }
        longestGap = std::max(longestGap, endAt - previous); // a restart would stall a whole open
        QVERIFY2(longestGap < 250 * kSlow,
                 qPrintable(QStringLiteral("channel %1 stalled %2 ms").arg(k).arg(longestGap)));
    }
    QVERIFY(fx::near(lastColour[0], Qt::red, 40));
    QVERIFY(fx::near(lastColour[2], Qt::blue, 40));
    const FrameTokenPtr latest = p.latestChannelFrame(1);
    QVERIFY(fx::near(fx::pixel(latest, latest->width / 2, latest->height / 2), Qt::yellow, 40));

    // An emptied channel forgets its picture, and the program gets nothing more from it.
    OverlayManager overlays;
    p.setProgramState(sourceState(2), &overlays);
    QSignalSpy programs(&p, &FramePipeline::programFrameReady);
    QTRY_VERIFY_WITH_TIMEOUT(programs.size() >= 3, 10000);
    p.setChannelSources(paths[0], {}, paths[2], paths[3]);
    QVERIFY(!p.latestChannelFrame(1));
    const qsizetype before = programs.size();
    QTest::qWait(200);
    p.recomposeFromLatestBase();
    QTest::qWait(50);
    QCOMPARE(programs.size(), before);
}

void TestFramePipeline::channelsOffTheProgramComeAsThumbnails() {
    FramePipeline p;
    OverlayManager overlays;
    std::array<QSize, 4> sizes;
    std::array<int, 4> counts{};
    connect(&p, &FramePipeline::channelFrameReady, this, [&](int k, FrameTokenPtr f) {
        sizes[size_t(k)] = QSize(f->width, f->height);
        ++counts[size_t(k)];
    });
    QSignalSpy programs(&p, &FramePipeline::programFrameReady);
    p.setProgramState(sourceState(1), &overlays);
    p.setChannelSources(clips_[0], clips_[1], clips_[2], {});
    p.setChannelPlayback(0, 0, true);
    p.setChannelPlayback(1, 0, true);
    p.setChannelPlayback(2, 500, false); // paused: one still, then nothing
    // The base's thumbnail comes apart from its whole pictures, at a quarter size as well.
    const QSize whole(1920, 1080), thumbnail(80, 45);
    QTRY_VERIFY_WITH_TIMEOUT(
        sizes[0] == thumbnail && sizes[1] == thumbnail && sizes[2] == thumbnail, 10000);
    // A thumbnail gets 15 pictures a second, even where it skips decoding some; the program
    // all 30.
    QTRY_VERIFY(!programs.isEmpty());
    counts = {};
    programs.clear();
    QTest::qWait(2000);
    QVERIFY2(
        programs.size() >= 50 && counts[0] >= 24 && counts[0] <= 32 && counts[1] >= 24 &&
            counts[1] <= 32,
        qPrintable(QStringLiteral("%1 %2 %3").arg(programs.size()).arg(counts[0]).arg(counts[1])));
    QCOMPARE(programs.constLast()[0].value<FrameTokenPtr>()->width, whole.width());

    // Cut to the paused channel: its still goes on air whole, without a new decode, and never
    // a thumbnail; the old base shrinks.
    p.setProgramState(sourceState(3), &overlays);
    programs.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!programs.isEmpty(), 5000);
    const FrameTokenPtr onAir = programs.constFirst()[0].value<FrameTokenPtr>();
    QCOMPARE(QSize(onAir->width, onAir->height), whole);
    QVERIFY(fx::near(fx::pixel(onAir, 960, 540), Qt::blue, 40));
    QTRY_VERIFY_WITH_TIMEOUT(sizes[0] == thumbnail, 5000);
    QCOMPARE(sizes[2], whole);
    // A paused base is refreshed whole from its latest picture.
    programs.clear();
    p.recomposeFromLatestBase();
    QCOMPARE(programs.size(), 1);
    QCOMPARE(programs[0][0].value<FrameTokenPtr>()->width, 1920);
}

void TestFramePipeline::overlaysAreDrawnOnTheBaseItself() {
    FramePipeline p;
    OverlayManager overlays;
    QImage doodle(640, 360, QImage::Format_ARGB32_Premultiplied);
    doodle.fill(Qt::transparent);
    QPainter(&doodle).fillRect(QRect(240, 120, 160, 120), QColor(0, 128, 0, 128)); // half green
    overlays.setDoodleImage(doodle);
    QColor thumbnail;
    connect(&p, &FramePipeline::channelFrameReady, this, [&](int k, FrameTokenPtr f) {
        if (k == 0)
            thumbnail = fx::pixel(f, f->width / 2, f->height / 2);
    });
    QSignalSpy programs(&p, &FramePipeline::programFrameReady);
    QSignalSpy ended(&p, &FramePipeline::channelPlaybackEnded);
    p.setProgramState(sourceState(1), &overlays);
    p.setChannelSources(clips_[0], {}, {}, {});
    p.setChannelPlayback(0, 19000, true); // the last second, then the end
    const auto onAir = [&] { return programs.constLast()[0].value<FrameTokenPtr>(); };
    const QColor drawn(128, 64, 0); // half green over red, once
    QTRY_VERIFY_WITH_TIMEOUT(programs.size() >= 5, 10000);
    QVERIFY(onAir()->painted);
    QVERIFY(fx::near(fx::pixel(onAir(), 960, 540), drawn, 12));
    QVERIFY(fx::near(thumbnail, Qt::red, 12));

    // Ended, the base's newest picture has the drawing on it: a redraw starts from the
    // channel's own picture, so the drawing is there once, and gone once taken off.
    QTRY_VERIFY_WITH_TIMEOUT(!ended.isEmpty(), 10000);
    const auto redrawn = [&](QColor colour) {
        return QTest::qWaitFor(
            [&] {
                p.recomposeFromLatestBase();
                return fx::near(fx::pixel(onAir(), 960, 540), colour, 12);
            },
            5000);
    };
    QVERIFY(redrawn(drawn));
    QTest::qWait(100);
    p.recomposeFromLatestBase();
    QVERIFY(fx::near(fx::pixel(onAir(), 960, 540), drawn, 12));
    overlays.setDoodleImage(QImage());
    QVERIFY(redrawn(Qt::red));
    QVERIFY(fx::near(thumbnail, Qt::red, 12));
}

// A base decoded at the program's size carries its decoded picture for the encoder to copy;
// thumbnails carry none, as nothing encodes them.
void TestFramePipeline::programPicturesKeepTheirDecodedSource() {
    FramePipeline p;
    OverlayManager overlays;
    int thumbnailsWithSource = 0, programs = 0, withSource = 0;
    connect(&p, &FramePipeline::channelFrameReady, this,
            [&](int, FrameTokenPtr f) { thumbnailsWithSource += f->source != nullptr; });
    connect(&p, &FramePipeline::programFrameReady, this, [&](FrameTokenPtr f) {
        ++programs; // untagged HD reads as BT.709, as the encoder writes it
        withSource += f->source && f->sourceBt709;
    });
    p.setProgramState(sourceState(1), &overlays);
    p.setChannelSources(fixtures_.path(QStringLiteral("red1080.mp4")), {}, {}, {});
    p.setChannelPlayback(0, 0, true);
    QTRY_VERIFY_WITH_TIMEOUT(programs >= 20, 10000);
    // A decoder lends only a few pictures at a time: a slow moment sends some without.
    QVERIFY2(withSource >= programs / 2, qPrintable(QString::number(withSource)));
    QCOMPARE(thumbnailsWithSource, 0);
}

// A base that went out without overlays may still be read by the encoder: an overlay switched
// on before the next picture is drawn on a copy, never on what was sent.
void TestFramePipeline::aPictureSentIsNeverDrawnOn() {
    FramePipeline p;
    OverlayManager overlays;
    QSignalSpy programs(&p, &FramePipeline::programFrameReady);
    p.setProgramState(sourceState(1), &overlays);
    p.setChannelSources(fixtures_.path(QStringLiteral("red1fps.mp4")), {}, {}, {});
    p.setChannelPlayback(0, 0, true);
    QTRY_VERIFY_WITH_TIMEOUT(!programs.isEmpty(), 10000);
    const FrameTokenPtr sent = programs.constLast()[0].value<FrameTokenPtr>();
    QImage doodle(640, 360, QImage::Format_ARGB32_Premultiplied);
    doodle.fill(QColor(0, 0, 255));
    overlays.setDoodleImage(doodle);
    p.recomposeFromLatestBase(); // a second before the next picture
    const FrameTokenPtr redrawn = programs.constLast()[0].value<FrameTokenPtr>();
    QVERIFY(redrawn != sent);
    QVERIFY(fx::near(fx::pixel(redrawn, 10, 10), Qt::blue, 12));
    QVERIFY(fx::near(fx::pixel(sent, 10, 10), Qt::red, 12));
}

void TestFramePipeline::slotTableRules() {
    const QStringList &paths = clips_;
    FramePipeline p;
    encoded::LogCapture log;
    for (int id = 10; id < 15; ++id)
        p.registerOverlayVideo(id, paths[id - 10]);
    for (int id = 10; id < 14; ++id)
        QCOMPARE(p.overlaySlotOf(id), id - 10);
    QCOMPARE(p.overlaySlotOf(14), -1);
    QCOMPARE(log.matching("^FramePipeline: overlay video slots full \\(max 4\\)$").size(), 1);

    // The same id and path again: nothing happens to the running decoder.
    const uint64_t generation = p.overlayDecoder(1)->sourceGeneration();
    p.registerOverlayVideo(11, paths[1]);
    QCOMPARE(p.overlayDecoder(1)->sourceGeneration(), generation);
    // Another path for a bound id: rebound in place.
    p.registerOverlayVideo(11, paths[4]);
    QCOMPARE(p.overlaySlotOf(11), 1);
    QTRY_COMPARE(p.overlayDecoder(1)->source(), paths[4]);

    // Bad arguments and unknown ids change nothing.
    p.registerOverlayVideo(-1, paths[0]);
    p.registerOverlayVideo(20, QString());
    p.unregisterOverlayVideo(99);
    p.setOverlayPlayback(99, 0, true);
    QCOMPARE(p.overlayDurationMs(99), int64_t(-1));
    QCOMPARE(p.overlaySlotOf(-1), -1);

    // A synchronous release frees the slot at once; the next registration takes the lowest.
    p.unregisterOverlayVideo(12);
    QCOMPARE(p.overlaySlotOf(12), -1);
    p.registerOverlayVideo(14, paths[4]);
    QCOMPARE(p.overlaySlotOf(14), 2);
    QTRY_VERIFY_WITH_TIMEOUT(p.overlayDurationMs(14) > 0, 5000 * kSlow);
}

void TestFramePipeline::asynchronousReleaseAndDeferredRegistration() {
    const QString &red = clips_[0], &blue = clips_[2], &white = clips_[3];
    FramePipeline p;
    p.registerOverlayVideo(5, red);
    p.setOverlayPlayback(5, 0, true);
    QTRY_VERIFY_WITH_TIMEOUT(p.overlayDurationMs(5) > 0, 5000 * kSlow);

    // Released without waiting; a registration meanwhile is carried out afterwards, with the
    // last path given.
    p.runUnregisterOverlayVideoAsync(5);
    QVERIFY(p.overlayReleasePending(0));
    QCOMPARE(p.overlaySlotOf(5), 0);
    p.registerOverlayVideo(5, blue);
    p.registerOverlayVideo(5, white);
    QTRY_VERIFY(!p.overlayReleasePending(0));
    QCOMPARE(p.overlaySlotOf(5), 0);
    QTRY_COMPARE(p.overlayDecoder(0)->source(), white);

    // Plain asynchronous release.
    p.runUnregisterOverlayVideoAsync(5);
    QTRY_COMPARE(p.overlaySlotOf(5), -1);
    QVERIFY(!p.overlayReleasePending(0));

    // A completion for an older generation (the slot was given a new source since) frees
    // nothing.
    p.registerOverlayVideo(6, red);
    const uint64_t stale = p.overlayDecoder(0)->sourceGeneration() - 1;
    p.finishOverlayAsyncUnregisterSlot(0, 6, stale);
    QCOMPARE(p.overlaySlotOf(6), 0);
    p.finishOverlayAsyncUnregisterSlot(0, 7, p.overlayDecoder(0)->sourceGeneration());
    QCOMPARE(p.overlaySlotOf(6), 0);
    p.finishOverlayAsyncUnregisterSlot(9, 6, 0);
    QCOMPARE(p.overlaySlotOf(6), 0);

    // The release task leaves a decoder alone that was given a new source after it looked.
    FFmpegVideoDecoder *d = p.overlayDecoder(0);
    const uint64_t g = d->sourceGeneration();
    d->setSource(blue);
    QVERIFY(!d->stopAndJoinIfGeneration(g));
    QTRY_VERIFY_WITH_TIMEOUT(d->durationMs() > 0, 5000 * kSlow);
    QVERIFY(d->stopAndJoinIfGeneration(d->sourceGeneration()));
}

void TestFramePipeline::overlayFramesFollowTheManager() {
    const QString &red = clips_[0];
    FramePipeline p;
    OverlayManager overlays;
    p.setProgramState(sourceState(0), &overlays);
    QSignalSpy previews(&p, &FramePipeline::overlayFrameReady);
    p.registerOverlayVideo(3, red);
    p.overlayDecoder(0)->stopAndJoin(); // the slot stays bound; pictures come from the test

    // Not (yet) an overlay of the manager: neither a stored picture nor a preview.
    FrameTokenPtr f = pooledFrame(*p.previewPool(), Qt::red, 2500999);
    p.onOverlayFrame(0, f);
    QVERIFY(settlesAt(previews, 0));
    QVERIFY(overlays.videoFrame(3).isNull());

    QVERIFY(overlays.setMediaOverlay(
        fx::mediaEntry(3, MediaOverlayEntry::kVideo, red, QRectF(0, 0, 64, 36))));
    p.onOverlayFrame(0, f);
    p.onOverlayFrame(1, f); // slot 1 is free
    p.onOverlayFrame(0, f);
    QVERIFY(settlesAt(previews, 1));
    QCOMPARE(previews[0][0].toInt(), 3);
    QCOMPARE(previews[0][1].toLongLong(), 2500);
    const QImage preview = previews[0][2].value<QImage>();
    QCOMPARE(preview.size(), QSize(320, 180));
    QCOMPARE(preview.pixelColor(10, 10).rgb(), QColor(Qt::red).rgb());
    // Scaled to its rectangle in program pixels (1080p: three per scene unit).
    QCOMPARE(overlays.videoFrame(3).size(), QSize(192, 108));

    // A malformed token is refused instead of being read past its end.
    FrameTokenPtr bad = pooledFrame(*p.previewPool(), Qt::blue, 0);
    bad->stride = 100;
    p.onOverlayFrame(0, bad);
    QVERIFY(settlesAt(previews, 1));

    overlays.removeMediaOverlay(3);
    p.onOverlayFrame(0, f);
    QVERIFY(settlesAt(previews, 1));
}

void TestFramePipeline::outputCyclesLeaveNothingBehind() {
    QTemporaryDir dir;
    FramePipeline p;
    OverlayManager overlays;
    p.setProgramState(sourceState(0), &overlays);
    p.setOutputSize(320, 180);
    auto threads = [] { return countEntries("/proc/self/task"); };
    auto fds = [] { return countEntries("/proc/self/fd"); };

    // One run first, so that lazily created library state is not counted as a leak.
    p.setOutputFile(dir.filePath("warm.mkv"));
    QVERIFY(p.startOutputs());
    p.composeBlankBase(0);
    QTRY_VERIFY(QFileInfo::exists(dir.filePath("warm.mkv")));
    p.stopOutputs();
    QVERIFY(p.waitOutputsClosed(10000 * kSlow));
    QThreadPool::globalInstance()->waitForDone();
    const int threadsBefore = threads();
    const int fdsBefore = fds();

    for (int i = 0; i < 50; ++i) {
        const QString file = dir.filePath(QStringLiteral("run%1.mkv").arg(i));
        p.setOutputFile(file);
        QVERIFY(p.startOutputs());
        for (int n = 0; n < 3; ++n)
            p.composeBlankBase(n * 33);
        QTRY_VERIFY(QFileInfo::exists(file)); // the run got as far as writing
        p.stopOutputs();
        QVERIFY(!p.isOutputRunning());
    }
    QVERIFY(p.waitOutputsClosed(10000 * kSlow));
    QThreadPool::globalInstance()->waitForDone();
    // Idle pool threads may come and go; a leak would leave one per run.
    QVERIFY2(threads() <= threadsBefore, qPrintable(QString::number(threads())));
    QVERIFY2(fds() <= fdsBefore, qPrintable(QString::number(fds())));
    QCOMPARE(p.mainPool()->tokensInUse(), 0);
    QCOMPARE(p.router()->queuedFrames(), 0);
    QCOMPARE(countEntries(dir.path()), 51);
}

void TestFramePipeline::destroyedWhileEverythingRuns() {
    const QString &red = clips_[0], &blue = clips_[2];
    QTemporaryDir dir;
    OverlayManager overlays;
    QVERIFY(overlays.setMediaOverlay(
        fx::mediaEntry(1, MediaOverlayEntry::kVideo, blue, QRectF(0, 0, 64, 36))));
    for (int round = 0; round < 3; ++round) {
        auto p = std::make_unique<FramePipeline>();
        p->setProgramState(sourceState(1), &overlays);
        p->setChannelSources(red, red, blue, {});
        for (int k = 0; k < 3; ++k)
            p->setChannelPlayback(k, 0, true);
        p->registerOverlayVideo(1, blue);
        p->setOverlayPlayback(1, 0, true);
        p->setOutputFile(dir.filePath(QStringLiteral("r%1.mkv").arg(round)));
        p->setOutputSize(320, 180);
        QVERIFY(p->startOutputs());
        QSignalSpy programs(p.get(), &FramePipeline::programFrameReady);
        QTRY_VERIFY_WITH_TIMEOUT(programs.size() >= 5, 15000);
        programs.clear();
        p->runUnregisterOverlayVideoAsync(1); // still joining when the pipeline goes
        QElapsedTimer t;
        t.start();
        p.reset();
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    }
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents(); // queued completions for a dead pipeline are dropped
}

QTEST_MAIN(TestFramePipeline)
#include "tst_FramePipeline.moc"
