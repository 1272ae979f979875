#include "arrangement/ArrangementPlayout.h"

#include "arrangement/ArrangementPlayer.h"
#include "core/FrameToken.h"
#include "core/StreamAddressMask.h"
#include "input/SourceAddress.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/MediaOverlayControl.h"
#include "pipeline/ProgramChannel.h"
#include "pipeline/ProgramOutput.h"
#include "pipeline/ProgramTimeline.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

// A channel as the playout drives it: a file set by the plan, playing from its start, no loop,
// full volume. It follows its decoder's position and end as the channel panel does.
class PlayoutChannel : public ProgramChannel {
public:
    QString programSource() const override { return source; }
    int64_t positionMs() const override { return position; }
    bool isPlaying() const override { return playing; }
    bool loopEnabled() const override { return false; }
    int volumePercent() const override { return 100; }
    void setPreviewSwitch(bool) override {}
    void setDurationMs(int64_t) override {}

    QString source;
    int64_t position = 0;
    bool playing = false;
};

namespace {

void writeLine(FILE *stream, const QString &line) {
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream); // a pipe reader sees each event as it happens
}

QString planTime(int64_t ms) {
    ms = std::max<int64_t>(ms, 0);
    return QStringLiteral("%1:%2:%3.%4")
        .arg(ms / 3600000, 2, 10, QLatin1Char('0'))
        .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

// What a decoder opens for a path or address from the plan.
QString sourceAddress(const QString &text) {
    return SourceAddress::decoderAddress(SourceAddress::toUrl(text, QDir::currentPath()));
}

// A status line with its figures blanked: the same shape means only numbers moved.
QString shape(QString line) {
    static const QRegularExpression digits(QStringLiteral("[0-9]+"));
    return line.replace(digits, QStringLiteral("#"));
}

} // namespace

ArrangementPlayout::ArrangementPlayout(const PlayoutOptions &options, LineSink out, LineSink err,
                                       QObject *parent)
    : QObject(parent), options_(options),
      out_(out ? std::move(out) : LineSink([](const QString &l) { writeLine(stdout, l); })),
      // Failures go to the log as well.
      err_(err ? std::move(err)
               : LineSink([](const QString &l) { qCritical("%s", qUtf8Printable(l)); })),
      endTimer_(this) {
    session_ = std::make_unique<EngineSession>(EngineSession::AudioPlayback::Off);
    timeline_ = std::make_unique<ProgramTimeline>(*session_);
    output_ = std::make_unique<ProgramOutput>(*session_, *timeline_);
    output_->setChinese(false);
    control_ = std::make_unique<MediaOverlayControl>(*session_, *timeline_);
    for (int c = 0; c < ProgramTimeline::kChannels; ++c) {
        channels_[size_t(c)] = std::make_unique<PlayoutChannel>();
        timeline_->setChannel(c, channels_[size_t(c)].get());
    }
    player_ = std::make_unique<ArrangementPlayer>(*timeline_, *session_->overlays(), *this);

    FramePipeline *pipeline = session_->pipeline();
    connect(pipeline, &FramePipeline::channelFrameReady, this,
            [this](int c, const FrameTokenPtr &frame) {
                if (c >= 0 && c < ProgramTimeline::kChannels && frame)
                    channels_[size_t(c)]->position = frame->ptsUs / 1000;
            });
    connect(pipeline, &FramePipeline::channelPlaybackEnded, this, [this](int c) {
        if (c < 0 || c >= ProgramTimeline::kChannels || !channels_[size_t(c)]->playing)
            return;
        channels_[size_t(c)]->playing = false;
        timeline_->onPlaybackStateChanged(c, false);
    });
    connect(pipeline, &FramePipeline::programOutputTransportFailed, this,
            [this](const QString &reason) {
                if (stopping_)
                    return;
                err_(QStringLiteral("quorvi: the output failed: ") + masked(reason));
                exitCode_ = 1;
                stop();
            });
    connect(pipeline, &FramePipeline::outputClosed, this, &ArrangementPlayout::checkClosed);
    connect(output_.get(), &ProgramOutput::statusChanged, this, [this] {
        noteTargets();
        printStatus(false);
        checkClosed();
    });

    connect(player_.get(), &ArrangementPlayer::sceneClipStarted, this,
            [this](const QString &id, qint64 atMs) { say(atMs, describeScene(id, atMs)); });
    connect(player_.get(), &ArrangementPlayer::overlayClipApplied, this,
            [this](const QString &id, qint64 atMs) {
                say(atMs, QStringLiteral("overlay %1 on").arg(id));
            });
    connect(player_.get(), &ArrangementPlayer::overlayClipRemoved, this,
            [this](const QString &id, qint64 atMs) {
                say(atMs, QStringLiteral("overlay %1 off").arg(id));
            });

    endTimer_.setSingleShot(true);
    endTimer_.setTimerType(Qt::PreciseTimer);
    // A timer may fire a little early: the plan's own clock decides, and it is set again.
    connect(&endTimer_, &QTimer::timeout, this, &ArrangementPlayout::scheduleEnd);
    timeline_->start();
}

// As the window: the player and the overlay control first, the session (which joins the
// engine's threads) last.
ArrangementPlayout::~ArrangementPlayout() {
    player_.reset();
    control_.reset();
    output_.reset();
    timeline_.reset();
    session_.reset();
}

QString ArrangementPlayout::streamProtocol(const QString &url) {
    const QString text = url.trimmed();
    const qsizetype colon = text.indexOf(QLatin1String("://"));
    const QString scheme = colon > 0 ? text.left(colon).toLower() : QString();
    if (scheme == QLatin1String("rtmp") || scheme == QLatin1String("rtmps"))
        return QStringLiteral("RTMP");
    if (scheme == QLatin1String("udp"))
        return QStringLiteral("UDP");
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        return QStringLiteral("HTTP");
    return {};
}

bool ArrangementPlayout::readSchedule(const QString &path, ProgramArrangement *plan,
                                      QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    QString reason;
    *plan = arrangementFromJson(file.readAll(), &reason);
    if (!reason.isEmpty()) {
        *error = reason;
        return false;
    }
    return true;
}

void ArrangementPlayout::start(const ProgramArrangement &plan) {
    if (started_ || stopping_) // a quit signal may come first
        return;
    started_ = true;
    OutputSettings settings;
    settings.fileEnabled = !options_.recordPath.trimmed().isEmpty();
    settings.filePath = options_.recordPath;
    settings.exactFileName = true;
    for (const QString &url : options_.streamUrls)
        settings.rows.push_back({true, url, streamProtocol(url)});
    settings.width = options_.width;
    settings.height = options_.height;
    output_->setSettings(settings);

    QString warning;
    const QMetaObject::Connection warned =
        connect(output_.get(), &ProgramOutput::warningRaised, this,
                [&warning](const QString &, const QString &text) { warning = text; });
    const bool running = output_->start();
    disconnect(warned);
    if (!running) {
        err_(QStringLiteral("quorvi: the output could not start: ") + masked(warning));
        exitCode_ = 1;
        stopping_ = true;
        // Whatever the run left behind is closed before the end is told.
        QMetaObject::invokeMethod(this, &ArrangementPlayout::checkClosed, Qt::QueuedConnection);
        return;
    }
    if (!output_->recordingFile().isEmpty())
        say(0, QStringLiteral("recording %1").arg(output_->recordingFile()));
    for (const QString &url : options_.streamUrls)
        say(0, QStringLiteral("streaming %1").arg(StreamAddressMask::mask(url.trimmed())));

    clock_.start(); // with the plan's own clock, to the millisecond
    player_->startArrangement(plan);
    endAtMs_ = options_.durationMs >= 0 ? options_.durationMs : player_->endMs();
    if (endAtMs_ >= 0)
        say(0, QStringLiteral("plan started, ends at %1").arg(planTime(endAtMs_)));
    else
        say(0, QStringLiteral("plan started, open end: runs until stopped"));
    scheduleEnd();
}

void ArrangementPlayout::scheduleEnd() {
    if (endAtMs_ < 0 || stopping_)
        return;
    const int64_t left = endAtMs_ - player_->positionMs();
    if (left <= 0) {
        stop();
        return;
    }
    endTimer_.start(int(std::min<int64_t>(left, INT32_MAX)));
}

void ArrangementPlayout::stop() {
    if (stopping_)
        return;
    stopping_ = true;
    endTimer_.stop();
    if (player_->isRunning()) {
        const int64_t at = player_->positionMs();
        player_->stopArrangement(); // its overlays come off, each with its line
        say(at, QStringLiteral("plan stopped"));
    }
    if (output_->isRunning()) {
        say(nowMs(), QStringLiteral("output stopping"));
        output_->stop();
    }
    checkClosed();
}

void ArrangementPlayout::checkClosed() {
    if (!stopping_ || done_)
        return;
    const FramePipeline *pipeline = session_->pipeline();
    if (pipeline->isOutputRunning() || pipeline->isOutputClosing())
        return;
    noteTargets();
    printStatus(true);
    // A target that failed for good, a recording never made or a stream that never got
    // through fails the run too.
    if (exitCode_ == 0) {
        for (const OutputStatusLine &line : output_->statusLines())
            if (line.level == OutputStatusLine::Level::Error) {
                err_(QStringLiteral("quorvi: output: ") + line.text);
                exitCode_ = 1;
            }
        for (auto it = delivered_.cbegin(); it != delivered_.cend(); ++it)
            if (!it.value()) {
                err_(QStringLiteral("quorvi: output: nothing was delivered to ") +
                     StreamAddressMask::mask(it.key()));
                exitCode_ = 1;
            }
    }
    finishWith(exitCode_);
}

void ArrangementPlayout::finishWith(int exitCode) {
    done_ = true;
    say(nowMs(),
        exitCode == 0 ? QStringLiteral("finished") : QStringLiteral("finished with errors"));
    emit finished(exitCode);
}

void ArrangementPlayout::noteTargets() {
    if (!started_)
        return;
    for (const OutputTargetStatus &target : session_->pipeline()->outputStatus().targets)
        if (!target.url.isEmpty())
            delivered_[target.url] = delivered_.value(target.url) || target.bytesWritten > 0;
}

void ArrangementPlayout::printStatus(bool all) {
    const std::vector<OutputStatusLine> lines = output_->statusLines();
    const int64_t now = nowMs();
    if (printed_.size() < lines.size())
        printed_.resize(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const OutputStatusLine &line = lines[i];
        PrintedLine &last = printed_[i];
        if (line.text == last.text)
            continue;
        // Rates and counters move on every poll: they are repeated now and then, while a
        // change of state is told at once.
        if (!all && shape(line.text) == shape(last.text) && now - last.atMs < kStatusRepeatMs)
            continue;
        last = {line.text, now};
        say(now, QStringLiteral("output: ") + line.text);
    }
}

void ArrangementPlayout::say(int64_t atMs, const QString &text) {
    // The plan's clock and this one may differ by a millisecond: the lines never go back.
    atMs = lastSaidMs_ = std::max(atMs, lastSaidMs_);
    out_(QLatin1Char('[') + planTime(atMs) + QStringLiteral("] ") + text);
}

int64_t ArrangementPlayout::nowMs() const {
    return clock_.isValid() ? clock_.elapsed() : 0;
}

// Stream keys never reach the console or the log.
QString ArrangementPlayout::masked(QString text) const {
    for (const QString &url : options_.streamUrls)
        if (!url.trimmed().isEmpty())
            text.replace(url.trimmed(), StreamAddressMask::mask(url.trimmed()));
    return text;
}

QString ArrangementPlayout::describeScene(const QString &id, int64_t atMs) const {
    const std::optional<SceneClip> clip = player_->findActiveSceneClip(atMs);
    if (!clip || clip->id != id)
        return QStringLiteral("base %1").arg(id);
    if (clip->kind == SceneClip::ImagePlay)
        return QStringLiteral("base %1: %2 pictures, %3 ms each")
            .arg(id)
            .arg(clip->paths.size())
            .arg(ProgramTimeline::clampImageInterval(clip->intervalMs));
    const int channel = std::clamp(clip->channel, 0, ProgramTimeline::kChannels - 1);
    QString text = QStringLiteral("base %1: channel %2").arg(id).arg(channel + 1);
    if (const QString path = clip->sceneVideoPath.trimmed(); !path.isEmpty())
        text += QLatin1Char(' ') + StreamAddressMask::mask(sourceAddress(path));
    return text;
}

void ArrangementPlayout::loadChannelSource(int channel, const QString &path) {
    if (channel < 0 || channel >= ProgramTimeline::kChannels)
        return;
    const QString source = sourceAddress(path);
    // As the channel panel: a source must not read the program's own output.
    QString message;
    if (source.isEmpty() || output_->sourceConflicts(source, &message)) {
        say(nowMs(), QStringLiteral("channel %1 not loaded: %2")
                         .arg(channel + 1)
                         .arg(message.isEmpty() ? QStringLiteral("no source") : message));
        return;
    }
    PlayoutChannel &c = *channels_[size_t(channel)];
    c.source = source;
    c.position = 0;
    c.playing = true;
    timeline_->onChannelMediaChanged(channel);
    timeline_->onPlaybackStateChanged(channel, true);
}

int ArrangementPlayout::addVideoOverlay(const QString &path, const QRectF &rect) {
    const int id = nextMediaId_++;
    // A clip without a size gets the size a new editor on the stage would have.
    const QRectF placed = rect.width() > 1 ? rect : QRectF(rect.topLeft(), QSizeF(320, 180));
    QString message;
    if (!control_->attachVideo(id, path, placed, 0, true, &message)) {
        say(nowMs(), QStringLiteral("video overlay %1 not shown: %2").arg(path, message));
        return 0;
    }
    mediaOverlays_.insert(id, true);
    return id;
}

int ArrangementPlayout::addImageOverlay(const QString &path, const QRectF &rect, double opacity) {
    const int id = nextMediaId_++;
    const QRectF placed = rect.width() > 1 ? rect : QRectF(rect.topLeft(), QSizeF(320, 180));
    control_->applyImage(id, path, placed, opacity);
    mediaOverlays_.insert(id, false);
    return id;
}

void ArrangementPlayout::removeMediaOverlay(int handle) {
    const auto found = mediaOverlays_.constFind(handle);
    if (found == mediaOverlays_.cend())
        return;
    const bool video = *found;
    mediaOverlays_.erase(found);
    if (video)
        control_->removeVideo(handle);
    else
        control_->removeImage(handle);
}
