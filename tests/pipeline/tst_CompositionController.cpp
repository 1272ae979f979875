// The program source changes announced once each, and a program clock that follows wall time
// but never jumps over a stall or a pause.

#include "pipeline/CompositionController.h"
#include "pipeline/ProgramClock.h"

#include <QSignalSpy>
#include <QtTest>

class TestCompositionController : public QObject {
    Q_OBJECT

private slots:
    void everyEffectiveChangeIsAnnouncedOnce() {
        CompositionController c;
        QSignalSpy spy(&c, &CompositionController::programStateChanged);
        QCOMPARE(c.snapshot(), ProgramState());

        c.setProgramSource(2, QStringLiteral("/media/a.mp4"));
        c.setProgramSource(2, QStringLiteral("/media/a.mp4"));
        QCOMPARE(spy.count(), 1);
        c.setProgramSource(2, QStringLiteral("rtmp://host/live/b")); // new source, same channel
        QCOMPARE(spy.count(), 2);
        c.setProgramSource(ProgramState::kImagePlayback, QString());
        c.setProgramSource(ProgramState::kNoSource, QString());
        QCOMPARE(spy.count(), 4);
        QCOMPARE(c.snapshot().programSource, ProgramState::kNoSource);
        QVERIFY(c.snapshot().programSourcePath.isEmpty());
    }

    void clockFollowsWallTimeButNotStalls() {
        int64_t now = 1000;
        ProgramClock clock([&] { return now; });
        clock.tick(); // a first tick without a start counts nothing
        QCOMPARE(clock.positionMs(), 0);
        now += 20;
        clock.tick();
        QCOMPARE(clock.positionMs(), 20);
        clock.setPosition(0);
        clock.restartTimer();
        for (int i = 0; i < 30; ++i) { // ticked every 33 ms
            now += 33;
            clock.tick();
        }
        QCOMPARE(clock.positionMs(), 990);

        now += 6000; // the event loop was blocked
        clock.tick();
        QCOMPARE(clock.positionMs(), 990);
        now += 4999;
        clock.tick();
        QCOMPARE(clock.positionMs(), 990 + 4999);
        clock.tick(); // 0 ms
        QCOMPARE(clock.positionMs(), 990 + 4999);

        // Paused time is not counted when the clock runs again.
        clock.setRunning(false);
        now += 2000;
        clock.tick();
        clock.setRunning(true);
        now += 40;
        clock.tick();
        QCOMPARE(clock.positionMs(), 990 + 4999 + 40);

        clock.setPosition(-500);
        QCOMPARE(clock.positionMs(), 0);
        clock.advance(-10);
        clock.advance(250);
        QCOMPARE(clock.positionMs(), 250);
        clock.reset(-1, false);
        QCOMPARE(clock.positionMs(), 0);
        QVERIFY(!clock.isRunning());
        now += 100;
        clock.tick();
        QCOMPARE(clock.positionMs(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCompositionController)
#include "tst_CompositionController.moc"
