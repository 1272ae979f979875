// The schedule player against a real engine session, with fake channel and editor targets and
// a plan clock the test moves.

#include "arrangement/ArrangementPlayer.h"
#include "arrangement/ArrangementTargets.h"
#include "pipeline/EngineSession.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/ProgramTimeline.h"

#include <QtTest>

namespace {

// Every call, in order, as "verb arg".
struct FakeTargets : ArrangementTargets {
    QStringList log;
    int nextHandle = 1;
    void loadChannelSource(int channel, const QString &path) override {
        log << QStringLiteral("load %1 %2").arg(channel).arg(path);
    }
    int addVideoOverlay(const QString &path, const QRectF &) override {
        log << QStringLiteral("video %1").arg(QFileInfo(path).fileName());
        return nextHandle++;
    }
    int addImageOverlay(const QString &path, const QRectF &, double) override {
        log << QStringLiteral("image %1").arg(QFileInfo(path).fileName());
        return nextHandle++;
    }
    void removeMediaOverlay(int handle) override { log << QStringLiteral("remove %1").arg(handle); }
};

SceneClip scene(const char *id, int64_t start, int64_t end, int channel) {
    SceneClip c;
    c.id = QString::fromLatin1(id);
    c.startMs = start;
    c.endMs = end;
    c.channel = channel;
    c.sceneVideoPath = QStringLiteral("/clips/%1.mp4").arg(c.id);
    return c;
}

OverlayClip overlay(const char *id, int64_t start, int64_t end, int kind,
                    const QString &path = {}) {
    OverlayClip c;
    c.id = QString::fromLatin1(id);
    c.startMs = start;
    c.endMs = end;
    c.kind = kind;
    c.path = path;
    c.textData.text = c.id;
    return c;
}

struct Rig {
    int64_t nowMs = 0;
    EngineSession session{EngineSession::AudioPlayback::Off};
    ProgramTimeline timeline{session};
    FakeTargets targets;
    ArrangementPlayer player{timeline, *session.overlays(), targets, nullptr,
                             [this] { return nowMs; }};
    QStringList scenes;

    Rig() {
        QObject::connect(&player, &ArrangementPlayer::sceneClipStarted,
                         [this](const QString &id) { scenes << id; });
        QObject::connect(&player, &ArrangementPlayer::overlayClipApplied,
                         [this](const QString &id) { targets.log << "on " + id; });
        QObject::connect(&player, &ArrangementPlayer::overlayClipRemoved,
                         [this](const QString &id) { targets.log << "off " + id; });
    }
    void at(int64_t ms) {
        nowMs = ms;
        player.step();
    }
    QStringList texts() const {
        QStringList out;
        for (const TextOverlayData &t : session.overlays()->textOverlays())
            out << QStringLiteral("%1@%2").arg(t.text).arg(t.id);
        return out;
    }
};

} // namespace

class TestArrangementPlayer : public QObject {
    Q_OBJECT
private slots:
    // A later base clip pre-empts an earlier one that still runs, which comes back when it
    // ends; after the last end the program keeps what it shows.
    void baseClipsPreemptAndReturn() {
        Rig rig;
        ProgramArrangement plan;
        plan.sceneClips = {scene("A", 0, 10000, 0), scene("B", 5000, 8000, 1)};
        rig.player.startArrangement(plan);
        QCOMPARE(rig.timeline.baseChannel(), 0);
        for (int64_t t : {4999, 5000, 7999, 8000, 9999, 10000, 60000})
            rig.at(t);
        QCOMPARE(rig.scenes, QStringList({"A", "B", "A"}));
        QCOMPARE(rig.timeline.baseChannel(), 0);
        QCOMPARE(rig.targets.log, QStringList({"load 0 /clips/A.mp4", "load 1 /clips/B.mp4",
                                               "load 0 /clips/A.mp4"}));
        QCOMPARE(rig.player.endMs(), 10000);
    }

    // Equal starts keep the file's order: the later base clip wins, overlays go on in order.
    void equalStartsKeepFileOrder() {
        QTemporaryDir dir;
        const QString picture = dir.filePath(QStringLiteral("p.png"));
        QImage(8, 8, QImage::Format_RGB32).save(picture);
        Rig rig;
        ProgramArrangement plan;
        plan.sceneClips = {scene("late", 100, 0, 2), scene("X", 0, 0, 0), scene("Y", 0, 0, 1)};
        plan.overlayClips = {overlay("i", 0, 0, OverlayClip::Image, picture),
                             overlay("v", 0, 0, OverlayClip::Video, picture),
                             overlay("t", 0, 0, OverlayClip::Text)};
        rig.player.startArrangement(plan);
        QCOMPARE(rig.scenes, QStringList{"Y"});
        QCOMPARE(rig.targets.log, QStringList({"load 1 /clips/Y.mp4", "image p.png", "on i",
                                               "video p.png", "on v", "on t"}));
        QCOMPARE(rig.player.endMs(), -1); // open ends: the plan never ends by itself
    }

    // The plan keeps its own time: program frames that restart at 0 (a new file on the base)
    // step it, but never take it back to an earlier clip.
    void planClockIgnoresProgramClock() {
        Rig rig;
        ProgramArrangement plan;
        plan.sceneClips = {scene("A", 0, 2000, 0), scene("B", 2000, 4000, 1)};
        rig.player.startArrangement(plan);
        rig.nowMs = 2500;
        for (int i = 0; i < 5; ++i)
            rig.timeline.tick(); // steps the plan through the time line's clock signal
        QCOMPARE(rig.scenes, QStringList({"A", "B"}));
        QCOMPARE(rig.player.positionMs(), 2500);
    }

    // Overlays: text ids from 50000, an open end stays until stop, a missing picture never shows
    // and raises nothing, a second clip with the same id waits for the first to end, and a new
    // start clears the old run first.
    void overlaysComeAndGo() {
        Rig rig;
        ProgramArrangement plan;
        plan.overlayClips = {overlay("t", 0, 1000, OverlayClip::Text),
                             overlay("open", 500, 0, OverlayClip::Text),
                             overlay("gone", 0, 0, OverlayClip::Image, "/none/x.png"),
                             overlay("t", 300, 3000, OverlayClip::Text)};
        rig.player.startArrangement(plan);
        QCOMPARE(rig.texts(), QStringList{"t@50000"});
        rig.at(700);
        QCOMPARE(rig.texts(), QStringList({"t@50000", "open@50001"}));
        rig.at(1000); // the first "t" ends; the second takes over the id
        QCOMPARE(rig.texts(), QStringList({"open@50001", "t@50002"}));
        rig.at(2000);
        rig.at(3000);
        rig.at(999999);
        QCOMPARE(rig.texts(), QStringList{"open@50001"});
        QCOMPARE(rig.targets.log,
                 QStringList({"on t", "on gone", "on open", "off t", "on t", "off t"}));
        // A second start takes the first run's overlays off before the new plan begins.
        ProgramArrangement next;
        next.overlayClips = {overlay("n", 0, 0, OverlayClip::Text)};
        rig.player.startArrangement(next);
        QCOMPARE(rig.targets.log.mid(6), QStringList({"off gone", "off open", "on n"}));
        QCOMPARE(rig.texts(), QStringList{"n@50003"});
        rig.player.stopArrangement();
        QVERIFY(rig.texts().isEmpty());
        QVERIFY(!rig.player.isRunning());
    }

    // With the real clock the player reaches a boundary by itself, with no program frames.
    void stepsAtBoundariesByItself() {
        EngineSession session{EngineSession::AudioPlayback::Off};
        ProgramTimeline timeline{session};
        FakeTargets targets;
        ArrangementPlayer player{timeline, *session.overlays(), targets};
        ProgramArrangement plan;
        plan.overlayClips = {overlay("t", 150, 300, OverlayClip::Text)};
        player.startArrangement(plan);
        QVERIFY(session.overlays()->textOverlays().isEmpty());
        QTRY_COMPARE(session.overlays()->textOverlays().size(), 1);
        QTRY_VERIFY(session.overlays()->textOverlays().isEmpty());
    }
};

QTEST_MAIN(TestArrangementPlayer)
#include "tst_ArrangementPlayer.moc"
