#pragma once

#include "arrangement/ProgramArrangement.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>

class ArrangementTargets;
class OverlayManager;
class ProgramTimeline;

// Plays a program arrangement: at every moment of the plan it decides which base clip is the
// program source and which overlay clips lie on the program, switching sources and adding or
// removing overlays as clips begin and end.
//
// The plan runs on its own clock (monotonic time since the start), not on the base frames'
// timestamps: a new file starts its timestamps at 0, and a channel far into its file would
// throw the plan ahead. The player steps when the program time line moves and at each clip
// boundary.
//
// Threads: the GUI thread only.
class ArrangementPlayer : public QObject {
    Q_OBJECT
public:
    static constexpr int kFirstTextId = 50000;
    using MonotonicMs = std::function<int64_t()>;

    // `now` is the plan clock's source; a monotonic clock by default.
    ArrangementPlayer(ProgramTimeline &timeline, OverlayManager &overlays,
                      ArrangementTargets &targets, QObject *parent = nullptr, MonotonicMs now = {});
    ~ArrangementPlayer() override;

    // Stops a running plan (its overlays come off) and plays this one from 0.
    void startArrangement(const ProgramArrangement &arrangement);
    // Takes the plan's overlays off; the program source stays as it is.
    void stopArrangement();
    // Evaluates the plan at t ms; nothing while stopped.
    void updateArrangement(int64_t t);
    // Evaluates the plan at the plan clock's position.
    void step();
    std::optional<SceneClip> findActiveSceneClip(int64_t t) const;

    bool isRunning() const { return running_; }
    int64_t positionMs() const;
    // The latest end of the plan's clips; -1 when a clip has an open end or there is none.
    int64_t endMs() const;
    QString currentSceneId() const { return currentSceneId_; }
    QStringList activeOverlayIds() const;

signals:
    void runningChanged(bool running);
    void sceneClipStarted(const QString &id, qint64 atMs);
    void overlayClipApplied(const QString &id, qint64 atMs);
    void overlayClipRemoved(const QString &id, qint64 atMs);

private:
    struct Applied {
        int kind = OverlayClip::Image;
        int clipIndex = -1; // in the sorted plan: the clip that put it on
        int textId = -1;    // text clips
        int handle = 0;     // media clips; 0: not shown
    };

    void applySceneClip(const SceneClip &clip);
    Applied applyOverlayClip(const OverlayClip &clip);
    void removeOverlayClip(const QString &id, const Applied &applied, int64_t t);
    void scheduleNextBoundary(int64_t t);

    ProgramTimeline &timeline_;
    OverlayManager &overlays_;
    ArrangementTargets &targets_;
    MonotonicMs now_;
    QTimer boundaryTimer_;
    bool running_ = false;
    bool updating_ = false; // applying a clip may step the time line again
    int64_t startedAtMs_ = 0;
    ProgramArrangement plan_;
    QString currentSceneId_;
    QHash<QString, Applied> activeOverlays_;
    int nextTextId_ = kFirstTextId;
};
