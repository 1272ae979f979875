#include "arrangement/ArrangementPlayer.h"

#include "arrangement/ArrangementTargets.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/ProgramTimeline.h"

#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>
#include <vector>

namespace {

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool overlayActive(const OverlayClip &clip, int64_t t) {
    return clip.startMs <= t && (clip.endMs <= 0 || t < clip.endMs);
}

template <typename Clip> void sortByStart(QList<Clip> &clips) {
    // Equal starts keep the file's order, so a plan always plays the same way.
    std::stable_sort(clips.begin(), clips.end(),
                     [](const Clip &a, const Clip &b) { return a.startMs < b.startMs; });
}

} // namespace

ArrangementPlayer::ArrangementPlayer(ProgramTimeline &timeline, OverlayManager &overlays,
                                     ArrangementTargets &targets, QObject *parent, MonotonicMs now)
    : QObject(parent), timeline_(timeline), overlays_(overlays), targets_(targets),
      now_(now ? std::move(now) : MonotonicMs(steadyMs)), boundaryTimer_(this) {
    boundaryTimer_.setSingleShot(true);
    boundaryTimer_.setTimerType(Qt::PreciseTimer);
    connect(&boundaryTimer_, &QTimer::timeout, this, &ArrangementPlayer::step);
    // Program frames and ticks step the plan as well; the boundary timer alone would do, but
    // this keeps a plan in step when the GUI thread was held up past a boundary.
    connect(&timeline_, &ProgramTimeline::clockStepped, this, &ArrangementPlayer::step);
}

// The editors and panels may already be gone when the player is: nothing is taken off here.
ArrangementPlayer::~ArrangementPlayer() = default;

void ArrangementPlayer::startArrangement(const ProgramArrangement &arrangement) {
    stopArrangement();
    plan_ = arrangement;
    sortByStart(plan_.sceneClips);
    sortByStart(plan_.overlayClips);
    running_ = true;
    currentSceneId_.clear();
    startedAtMs_ = now_();
    emit runningChanged(true);
    updateArrangement(0);
}

void ArrangementPlayer::stopArrangement() {
    boundaryTimer_.stop();
    const int64_t t = positionMs();
    // Taken out first: a removal may reach code that asks what is still on. In plan order,
    // so a stop always does the same.
    const QHash<QString, Applied> active = std::exchange(activeOverlays_, {});
    std::vector<std::pair<QString, Applied>> byClip;
    for (auto it = active.cbegin(); it != active.cend(); ++it)
        byClip.emplace_back(it.key(), it.value());
    std::sort(byClip.begin(), byClip.end(),
              [](const auto &a, const auto &b) { return a.second.clipIndex < b.second.clipIndex; });
    for (const auto &[id, applied] : byClip)
        removeOverlayClip(id, applied, t);
    const bool was = running_;
    running_ = false;
    currentSceneId_.clear();
    plan_ = ProgramArrangement();
    if (was)
        emit runningChanged(false);
}

int64_t ArrangementPlayer::positionMs() const {
    return running_ ? now_() - startedAtMs_ : 0;
}

void ArrangementPlayer::step() {
    if (running_)
        updateArrangement(positionMs());
}

std::optional<SceneClip> ArrangementPlayer::findActiveSceneClip(int64_t t) const {
    const SceneClip *best = nullptr;
    for (const SceneClip &clip : plan_.sceneClips) {
        if (clip.startMs > t || (clip.endMs >= 1 && clip.endMs <= t))
            continue;
        // The later start wins; among equal starts the later one in the plan.
        if (!best || clip.startMs >= best->startMs)
            best = &clip;
    }
    if (!best)
        return std::nullopt;
    return *best;
}

void ArrangementPlayer::updateArrangement(int64_t t) {
    if (!running_ || updating_)
        return;
    updating_ = true;
    // Applying a clip reaches the panels and the engine; the plan is read from a copy so that
    // a stop from there cannot pull it away under the loop.
    const ProgramArrangement plan = plan_;
    if (const std::optional<SceneClip> scene = findActiveSceneClip(t);
        scene && scene->id != currentSceneId_) {
        currentSceneId_ = scene->id;
        applySceneClip(*scene);
        emit sceneClipStarted(scene->id, t);
    }
    for (int i = 0; i < plan.overlayClips.size() && running_; ++i) {
        const OverlayClip &clip = plan.overlayClips[i];
        const bool active = overlayActive(clip, t);
        const auto found = activeOverlays_.constFind(clip.id);
        if (found == activeOverlays_.cend()) {
            if (!active)
                continue;
            Applied applied = applyOverlayClip(clip);
            applied.clipIndex = i;
            activeOverlays_.insert(clip.id, applied);
            emit overlayClipApplied(clip.id, t);
        } else if (!active && found->clipIndex == i) {
            // Only the clip that put it on takes it off: a second clip with the same id must
            // not pull the first one's overlay while that one still runs.
            const Applied applied = *found;
            activeOverlays_.erase(found);
            removeOverlayClip(clip.id, applied, t);
        }
    }
    updating_ = false;
    if (running_)
        scheduleNextBoundary(t);
}

void ArrangementPlayer::scheduleNextBoundary(int64_t t) {
    int64_t next = INT64_MAX;
    auto consider = [&](int64_t at) {
        if (at > t)
            next = std::min(next, at);
    };
    for (const SceneClip &clip : plan_.sceneClips) {
        consider(clip.startMs);
        if (clip.endMs > 0)
            consider(clip.endMs);
    }
    for (const OverlayClip &clip : plan_.overlayClips) {
        consider(clip.startMs);
        if (clip.endMs > 0)
            consider(clip.endMs);
    }
    if (next == INT64_MAX) {
        boundaryTimer_.stop();
        return;
    }
    // A timer fires at most every 2^31 ms; a boundary further away is approached in steps.
    boundaryTimer_.start(int(std::clamp<int64_t>(next - t, 1, INT_MAX)));
}

void ArrangementPlayer::applySceneClip(const SceneClip &clip) {
    if (clip.kind == SceneClip::ImagePlay) {
        // The plan keeps its clock; only the pictures change.
        timeline_.startImagePlayback(clip.paths, clip.intervalMs, clip.imageLoop, false);
        return;
    }
    const int channel = std::clamp(clip.channel, 0, ProgramTimeline::kChannels - 1);
    const QString path = clip.sceneVideoPath.trimmed();
    if (!path.isEmpty())
        targets_.loadChannelSource(channel, path);
    timeline_.selectBase(channel, true);
}

ArrangementPlayer::Applied ArrangementPlayer::applyOverlayClip(const OverlayClip &clip) {
    Applied applied;
    applied.kind = clip.kind;
    if (clip.kind == OverlayClip::Text) {
        TextOverlayData data = clip.textData;
        data.id = nextTextId_++;
        data.enabled = true;
        applied.textId = data.id;
        overlays_.setTextOverlay(data);
        return applied;
    }
    // A missing file is simply not shown: the plan goes on without it.
    if (clip.path.isEmpty() || !QFileInfo::exists(clip.path))
        return applied;
    applied.handle = clip.kind == OverlayClip::Video
                         ? targets_.addVideoOverlay(clip.path, clip.rect)
                         : targets_.addImageOverlay(clip.path.trimmed(), clip.rect, clip.opacity);
    return applied;
}

void ArrangementPlayer::removeOverlayClip(const QString &id, const Applied &applied, int64_t t) {
    if (applied.kind == OverlayClip::Text)
        overlays_.removeTextOverlay(applied.textId);
    else if (applied.handle > 0)
        targets_.removeMediaOverlay(applied.handle);
    emit overlayClipRemoved(id, t);
}

QStringList ArrangementPlayer::activeOverlayIds() const {
    QStringList ids = activeOverlays_.keys();
    ids.sort();
    return ids;
}

int64_t ArrangementPlayer::endMs() const {
    if (plan_.isEmpty())
        return -1;
    int64_t end = 0;
    auto consider = [&](int64_t clipEnd) {
        if (clipEnd <= 0)
            return false;
        end = std::max(end, clipEnd);
        return true;
    };
    for (const SceneClip &clip : plan_.sceneClips)
        if (!consider(clip.endMs))
            return -1;
    for (const OverlayClip &clip : plan_.overlayClips)
        if (!consider(clip.endMs))
            return -1;
    return end;
}
