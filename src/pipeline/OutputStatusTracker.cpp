#include "pipeline/OutputStatusTracker.h"

#include "core/StreamAddressMask.h"

#include <algorithm>

namespace {

QString pick(bool chinese, const char *zh, const char *en) {
    return QString::fromUtf8(chinese ? zh : en);
}

QString rateText(double bitsPerSecond) {
    if (bitsPerSecond < 0)
        return QStringLiteral("– kb/s");
    if (bitsPerSecond >= 1e6)
        return QString::number(bitsPerSecond / 1e6, 'f', 2) + QStringLiteral(" Mb/s");
    return QString::number(qRound64(bitsPerSecond / 1e3)) + QStringLiteral(" kb/s");
}

QString durationText(int64_t ms) {
    const int64_t s = std::max<int64_t>(ms, 0) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

bool sameTarget(const OutputTargetStatus &a, const OutputTargetStatus &b) {
    return a.isStream == b.isStream && a.url == b.url;
}

} // namespace

void OutputStatusTracker::begin(int64_t nowMs) {
    *this = OutputStatusTracker();
    // Every counter of a run starts at zero, so the start itself is the first sample.
    samples_.push_back({nowMs, 0, {}});
}

OutputStatusTracker::Entry &OutputStatusTracker::entryFor(const OutputTargetStatus &target) {
    for (Entry &e : entries_)
        if (sameTarget(e.last, target))
            return e;
    Entry e;
    e.last = target;
    if (target.isStream)
        e.streamNumber = 1 + int(std::count_if(entries_.begin(), entries_.end(),
                                               [](const Entry &x) { return x.last.isStream; }));
    entries_.push_back(e);
    return entries_.back();
}

// The newest sample at least one window old, else the oldest one there is.
const OutputStatusTracker::Sample *OutputStatusTracker::reference(int64_t nowMs) const {
    const Sample *ref = nullptr;
    for (const Sample &s : samples_) {
        if (s.atMs >= nowMs)
            break;
        if (!ref || s.atMs <= nowMs - kRateWindowMs)
            ref = &s;
    }
    return ref;
}

void OutputStatusTracker::update(const OutputRunStatus &status) {
    seen_ = true;
    running_ = status.running;
    closing_ = status.closing;
    if (status.fileMissing) {
        fileMissing_ = true;
        fileMissingPath_ = status.fileMissingPath;
        fileMissingReason_ = status.fileMissingReason;
    }
    // A closed run reports nothing new: keep the last numbers.
    if (!status.running)
        return;

    for (const OutputTargetStatus &target : status.targets) {
        Entry &e = entryFor(target);
        if (e.failed)
            continue; // given up for this run; keep the reason it failed with
        const int64_t previousBytes = e.last.bytesWritten;
        e.last = target;
        e.last.bytesWritten = std::max(previousBytes, target.bytesWritten);
        e.failed = target.state == OutputTargetStatus::State::Failed;
        if (target.state == OutputTargetStatus::State::Live && target.liveSinceMs > 0)
            e.onAirMs = status.takenAtMs - target.liveSinceMs;
    }

    while (!samples_.empty() && samples_.front().atMs > status.takenAtMs)
        samples_.pop_front(); // a clock that does not match the snapshots'
    if (const Sample *ref = reference(status.takenAtMs)) {
        const double seconds = double(status.takenAtMs - ref->atMs) / 1000.0;
        framesPerSecond_ = double(status.encodedVideoFrames - ref->frames) / seconds;
        for (size_t i = 0; i < entries_.size(); ++i) {
            const int64_t before = i < ref->bytes.size() ? ref->bytes[i] : 0;
            if (before >= 0)
                entries_[i].bitsPerSecond =
                    double(entries_[i].last.bytesWritten - before) * 8.0 / seconds;
        }
    }
    Sample now{status.takenAtMs, status.encodedVideoFrames, {}};
    for (const Entry &e : entries_) {
        const bool listed = std::any_of(status.targets.begin(), status.targets.end(),
                                        [&](const auto &t) { return sameTarget(t, e.last); });
        now.bytes.push_back(listed ? e.last.bytesWritten : -1);
    }
    samples_.push_back(std::move(now));
    // Only the reference for the next poll and what follows it are needed.
    while (samples_.size() > 1 && samples_[1].atMs <= status.takenAtMs - kRateWindowMs)
        samples_.pop_front();
}

void OutputStatusTracker::noteStopped(const QString &reason) {
    stoppedReason_ = reason;
    running_ = false;
    closing_ = false;
    seen_ = true;
}

// Reasons may quote an address with its key.
QString OutputStatusTracker::masked(QString text) const {
    for (const Entry &e : entries_)
        if (e.last.isStream && !e.last.url.isEmpty())
            text.replace(e.last.url, StreamAddressMask::mask(e.last.url));
    return text;
}

std::vector<OutputStatusLine> OutputStatusTracker::lines(bool chinese) const {
    using Level = OutputStatusLine::Level;
    using State = OutputTargetStatus::State;
    std::vector<OutputStatusLine> out;
    if (!seen_)
        return out;
    const QString sep = QStringLiteral(" · ");

    for (const Entry &e : entries_) {
        const OutputTargetStatus &t = e.last;
        if (fileMissing_ && !t.isStream)
            continue; // the line of the missing recording below says it once

        QString state;
        Level level = Level::Info;
        if (e.failed) {
            state = pick(chinese, "失败：", "failed: ") + masked(t.reason);
            level = Level::Error;
        } else if (!running_) {
            state = closing_ ? pick(chinese, "正在收尾", "closing")
                             : pick(chinese, "已停止", "stopped");
        } else if (t.state == State::Live) {
            state = pick(chinese, "直播中", "live");
            level = Level::Good;
        } else if (t.state == State::Reconnecting) {
            state = chinese ? QStringLiteral("重连中（第 %1 次）").arg(t.attempt)
                            : QStringLiteral("reconnecting (try %1)").arg(t.attempt);
            level = Level::Warning;
        } else {
            state = pick(chinese, "正在启动", "starting");
            level = Level::Warning;
        }
        const QString name = t.isStream ? pick(chinese, "推流 %1", "Stream %1").arg(e.streamNumber)
                                        : pick(chinese, "文件", "File");
        // Rate and time on air only while live: the line must stay short enough for the
        // state to be read in a narrow panel.
        QString text = name + QLatin1Char(' ') + StreamAddressMask::mask(t.url) + sep + state;
        if (level == Level::Good)
            text += sep + rateText(e.bitsPerSecond);
        text += sep + pick(chinese, "丢包 %1", "dropped %1").arg(t.packetsDropped);
        if (level == Level::Good || (!running_ && e.onAirMs > 0))
            text += sep + pick(chinese, "播出 ", "on air ") + durationText(e.onAirMs);
        out.push_back({text, level});
    }
    if (fileMissing_) {
        const QString text =
            pick(chinese, "文件 %1 · 未录制：%2", "File %1 · not recorded: %2")
                .arg(fileMissingPath_, fileMissingReason_.isEmpty()
                                           ? pick(chinese, "无法打开", "could not be opened")
                                           : fileMissingReason_);
        out.push_back({text, Level::Error});
    }
    const QString fps =
        framesPerSecond_ < 0 ? QStringLiteral("–") : QString::number(framesPerSecond_, 'f', 1);
    out.push_back(
        {pick(chinese, "节目编码 %1 帧/秒", "Program encoded %1 fps").arg(fps), Level::Info});
    if (!stoppedReason_.isEmpty())
        out.push_back({pick(chinese, "输出已停止：", "Output stopped: ") + masked(stoppedReason_),
                       Level::Error});
    return out;
}
