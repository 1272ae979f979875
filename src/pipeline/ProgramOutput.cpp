#include "pipeline/ProgramOutput.h"

#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/ProgramTimeline.h"

#include <QDebug>
#include <QDir>

#include <chrono>

namespace {

// The snapshots' clock.
int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

ProgramOutput::ProgramOutput(EngineSession &session, ProgramTimeline &timeline, QObject *parent,
                             WallClock now)
    : QObject(parent), session_(session), timeline_(timeline),
      now_(now ? std::move(now) : WallClock([] { return QDateTime::currentDateTime(); })),
      pollTimer_(this) {
    pollTimer_.setInterval(kPollMs);
    connect(&pollTimer_, &QTimer::timeout, this, &ProgramOutput::poll);
    FramePipeline *pipeline = session_.pipeline();
    connect(pipeline, &FramePipeline::programOutputTransportFailed, this,
            &ProgramOutput::onTransportFailed);
    connect(pipeline, &FramePipeline::outputClosed, this, [this] {
        if (pollTimer_.isActive())
            poll();
    });
}

void ProgramOutput::setChinese(bool chinese) {
    if (chinese_ == chinese)
        return;
    chinese_ = chinese;
    emit statusChanged();
}

void ProgramOutput::setSettings(const OutputSettings &settings) {
    settings_ = settings;
    // A running output keeps what it was started with.
    if (!running_ && !session_.pipeline()->isOutputRunning())
        applySettings();
}

void ProgramOutput::applySettings() {
    FramePipeline *pipeline = session_.pipeline();
    pipeline->setOutputFile(settings_.fileEnabled ? settings_.filePath.trimmed() : QString());
    pipeline->setStreamTargets(OutputPlan::streamTargets(settings_));
}

void ProgramOutput::warn(const char *zh, const char *en) {
    emit warningRaised(chinese_ ? QStringLiteral("输出") : QStringLiteral("Output"),
                       QString::fromUtf8(chinese_ ? zh : en));
}

bool ProgramOutput::start() {
    if (running_)
        return true;
    FramePipeline *pipeline = session_.pipeline();
    pipeline->setOutputSize(settings_.width, settings_.height);
    const std::vector<StreamTarget> targets = OutputPlan::streamTargets(settings_);
    const bool fileEnabled = settings_.fileEnabled && !settings_.filePath.trimmed().isEmpty();
    if (targets.empty() && !fileEnabled) {
        warn("请填写输出文件路径或推流地址，并至少勾选一个输出目标。",
             "Please fill output file path or stream URL, and select at least one output "
             "target.");
        return false;
    }

    recordingFile_ = OutputPlan::recordingFile(settings_, now_(), QDir::currentPath());
    pipeline->setOutputFile(recordingFile_);
    pipeline->setStreamTargets(targets);
    tracker_.begin(steadyMs());
    runSettings_ = settings_;
    running_ = pipeline->startOutputs();
    emit runningChanged(running_);
    emit statusChanged();
    if (!running_) {
        warn("无法开始输出：请检查文件路径是否可写、FFmpeg 是否可用，以及推流地址与协议是否正确。",
             "Unable to start output: please check writable file path, FFmpeg availability, "
             "and stream URL/protocol.");
        return false;
    }
    pollTimer_.start();
    // The encoders get a first frame at once: the base, a blank one, or the slideshow's picture
    // with its feed at the output frame rate.
    timeline_.onOutputStarted();
    return true;
}

void ProgramOutput::stop() {
    timeline_.onOutputEnded();
    session_.pipeline()->stopOutputs(); // returns at once; polling follows the trailers
    const bool was = running_;
    running_ = false;
    emit runningChanged(false);
    if (was)
        poll();
}

void ProgramOutput::onTransportFailed(const QString &reason) {
    running_ = false;
    emit runningChanged(false);
    timeline_.onOutputEnded();
    tracker_.noteStopped(reason);
    qWarning().noquote() << "programOutputTransportFailed:" << reason;
    emit statusChanged();
    if (!pollTimer_.isActive())
        pollTimer_.start();
}

void ProgramOutput::poll() {
    FramePipeline *pipeline = session_.pipeline();
    const OutputRunStatus status = pipeline->outputStatus();
    tracker_.update(status);
    if (!status.running && !status.closing && !running_)
        pollTimer_.stop(); // the run is closed: nothing changes any more
    else if (!pollTimer_.isActive())
        pollTimer_.start();
    emit statusChanged();
}

bool ProgramOutput::sourceConflicts(const QString &candidate, QString *message) const {
    // The file being written counts while the run writes it, its trailer included.
    const bool writing = running_ || session_.pipeline()->isOutputClosing();
    const QString file = writing ? recordingFile_ : QString();
    if (OutputPlan::sourceConflicts(candidate, settings_, file, QDir::currentPath(), chinese_,
                                    message))
        return true;
    // The outputs in use count too, even when the fields have been changed since the start.
    return running_ && OutputPlan::sourceConflicts(candidate, runSettings_, file,
                                                   QDir::currentPath(), chinese_, message);
}
