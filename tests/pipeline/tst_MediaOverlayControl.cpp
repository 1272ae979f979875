// Video and image overlays from the editors' requests to the overlay store and the video slots,
// against a real engine session and generated clips.

#include "common/MediaFixtures.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/MediaOverlayControl.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/ProgramTimeline.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

QList<int> storedIds(const OverlayManager &overlays) {
    QList<int> ids;
    for (const MediaOverlayEntry &e : overlays.mediaOverlays())
        ids << e.id;
    std::sort(ids.begin(), ids.end());
    return ids;
}

} // namespace

class TestMediaOverlayControl : public QObject {
    Q_OBJECT
private slots:
    // Four videos take the four slots; the fifth is refused whole; removing one frees its slot
    // for the next, detaching keeps it.
    void videosShareFourSlots() {
        media::FixtureSet fixtures;
        fixtures.define("clip.mp4", media::testPatternInput(160, 90, 25) +
                                        QStringList{"-t", "3", "-c:v", "libx264", "-preset",
                                                    "ultrafast", "-pix_fmt", "yuv420p"});
        const QString clip = fixtures.path("clip.mp4");
        QVERIFY2(!clip.isEmpty(), qPrintable(fixtures.lastError()));
        EngineSession session(EngineSession::AudioPlayback::Off);
        ProgramTimeline timeline(session);
        MediaOverlayControl control(session, timeline);
        FramePipeline *pipeline = session.pipeline();
        OverlayManager *overlays = session.overlays();
        QSignalSpy durations(&control, &MediaOverlayControl::videoDurationKnown);
        QSignalSpy frames(&control, &MediaOverlayControl::videoFrameReady);

        const QRectF rect(10, 10, 160, 90);
        for (int id = 1; id <= 4; ++id)
            QVERIFY(control.attachVideo(id, clip, rect, 0, true));
        QString message;
        QVERIFY(!control.attachVideo(5, clip, rect, 0, true, &message));
        QVERIFY(message.contains(QStringLiteral("4")));
        QCOMPARE(storedIds(*overlays), (QList<int>{1, 2, 3, 4}));
        QCOMPARE(pipeline->overlaySlotOf(5), -1);
        QTRY_VERIFY_WITH_TIMEOUT(durations.size() == 4, 10000);
        QVERIFY(durations[0][1].toLongLong() > 2500);
        QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), 10000);

        // Detached: off the program at once, its slot kept for coming back.
        control.detachVideo(2);
        QCOMPARE(storedIds(*overlays), (QList<int>{1, 3, 4}));
        QVERIFY(pipeline->overlaySlotOf(2) >= 0);
        QVERIFY(control.attachVideo(2, clip, rect, 0, true));

        // Removed: off the program at once; the slot frees without the GUI waiting.
        control.removeVideo(3);
        QCOMPARE(storedIds(*overlays), (QList<int>{1, 2, 4}));
        QTRY_VERIFY_WITH_TIMEOUT(
            pipeline->overlaySlotOf(3) < 0 && control.attachVideo(5, clip, rect, 0, false), 10000);
        QCOMPARE(storedIds(*overlays), (QList<int>{1, 2, 4, 5}));

        control.applyImage(9, fixtures.dir() + "/none.png", QRectF(0, 0, 64, 36), 1.7);
        QCOMPARE(overlays->mediaOverlays().last().opacity, 1.0);
        control.removeImage(9);
        QCOMPARE(storedIds(*overlays), (QList<int>{1, 2, 4, 5}));
    }
};

QTEST_MAIN(TestMediaOverlayControl)
#include "tst_MediaOverlayControl.moc"
