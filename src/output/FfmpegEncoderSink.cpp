#include "output/FfmpegEncoderSink.h"

#include "core/LibavError.h"
#include "core/Logging.h"
#include "core/StreamAddressMask.h"
#include "output/AudioEncoder.h"
#include "output/MediaClock.h"
#include "output/OutputShared.h"
#include "output/PacketFanOut.h"
#include "output/VideoEncoder.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

FfmpegEncoderSink::FfmpegEncoderSink()
    : shared_(std::make_shared<OutputShared>()),
      clock_(std::make_unique<MediaClock>(kMaxFrameLeadMs)),
      video_(std::make_unique<VideoEncoder>([this](AVPacket *p) { deliver(p, true); })),
      audio_(std::make_unique<AudioEncoder>(kSampleRate, kMaxQueuedSamples,
                                            [this](AVPacket *p) { deliver(p, false); })),
      outputs_(std::make_unique<PacketFanOut>(shared_)) {}

FfmpegEncoderSink::~FfmpegEncoderSink() {
    close();
}

void FfmpegEncoderSink::setWriteObserver(WriteObserver observer) {
    shared_->observer = std::move(observer);
}

void FfmpegEncoderSink::setSteadyClock(SteadyClock clock) {
    shared_->clock = std::move(clock);
}

int64_t FfmpegEncoderSink::now() const {
    return shared_->now();
}

bool FfmpegEncoderSink::isRtmpAddress(const QString &url) {
    return OutputTarget::isRtmpUrl(url.trimmed());
}

int FfmpegEncoderSink::bitrateKbps(double fps, int width, int height) {
    return VideoEncoder::bitrateKbps(fps, width, height);
}

QSize FfmpegEncoderSink::encoderSize(int requestedWidth, int requestedHeight, int frameWidth,
                                     int frameHeight) {
    int w = requestedWidth >= 1 ? requestedWidth : frameWidth;
    int h = requestedHeight >= 1 ? requestedHeight : frameHeight;
    w = std::max(w & ~1, 2);
    h = std::max(h & ~1, 2);
    return QSize(w, h);
}

int64_t FfmpegEncoderSink::reopenDelayMs(int attempts) {
    return OutputTarget::reopenDelayMs(attempts);
}

int64_t FfmpegEncoderSink::writeFailureDelayMs(int attempts) {
    return OutputTarget::writeFailureDelayMs(attempts);
}

bool FfmpegEncoderSink::configure(const QString &filePath, const std::vector<StreamTarget> &streams,
                                  double fps) {
    close();
    filePath_ = filePath;
    streamTargets_.clear();
    for (const StreamTarget &s : streams) {
        const QString url = s.url.trimmed();
        if (!url.isEmpty())
            streamTargets_.push_back({url, s.format.trimmed()});
    }
    streamCount_ = int(streamTargets_.size());
    frameRate_ = fps > 0.1 ? fps : 30.0;
    hasFile_ = !filePath.trimmed().isEmpty();
    started_ = false;
    liveMode_ = false;
    openRetryAtNs_ = 0;
    openFailingSinceNs_ = 0;
    shared_->abortIo.store(false);
    encodedVideoFrames_.store(0);
    runFailed_.store(false);
    {
        std::lock_guard lock(statusMutex_);
        fileMissingPath_.clear();
        fileMissingReason_.clear();
        lastOutputs_.clear();
    }
    for (const StreamTarget &s : streamTargets_)
        if (s.format.compare(QLatin1String("flv"), Qt::CaseInsensitive) == 0 ||
            OutputTarget::isRtmpUrl(s.url))
            liveMode_ = true;
    return hasFile_ || streamCount_ > 0;
}

bool FfmpegEncoderSink::open(const QString &filePath, double fps) {
    return configure(filePath, {}, fps);
}

void FfmpegEncoderSink::setOutputSize(int width, int height) {
    requestedWidth_ = std::max(width, 0);
    requestedHeight_ = std::max(height, 0);
}

void FfmpegEncoderSink::setTransportFailedCallback(std::function<void()> callback) {
    transportFailedCallback_ = std::move(callback);
}

void FfmpegEncoderSink::setAudioPullCallback(AudioPull callback) {
    audioPullCallback_ = std::move(callback);
}

void FfmpegEncoderSink::requestAbort() {
    shared_->abortIo.store(true);
}

void FfmpegEncoderSink::notifyTransportFailed() {
    if (failureNotified_.exchange(true))
        return;
    failed_.store(true);
    runFailed_.store(true);
    if (transportFailedCallback_)
        transportFailedCallback_();
}

QSize FfmpegEncoderSink::encoderFrameSize() const {
    return video_->size();
}

QString FfmpegEncoderSink::videoEncoderName() const {
    return video_->name();
}

int64_t FfmpegEncoderSink::mediaClockMs() const {
    return clock_->ms();
}

int FfmpegEncoderSink::reconnectCount() const {
    return shared_->reconnectCount.load();
}

std::vector<FfmpegEncoderSink::OutputStatus> FfmpegEncoderSink::outputStatus() const {
    std::vector<OutputStatus> out;
    for (const OutputTarget::Status &s : outputs_->status())
        out.push_back({s.url, s.isStream, s.open, s.attempts, s.written, s.dropped});
    return out;
}

void FfmpegEncoderSink::publishStreamParameters() {
    auto p = std::make_shared<EncoderParams>();
    const AVCodecContext *video = video_->codec();
    avcodec_parameters_from_context(p->video.get(), video);
    p->videoTimeBase = video->time_base;
    p->videoFrameRate = video->framerate.num > 0
                            ? video->framerate
                            : AVRational{std::max(1, int(std::trunc(frameRate_ + 0.5))), 1};
    if (const AVCodecContext *audio = audio_->codec()) {
        p->audio.reset(avcodec_parameters_alloc());
        avcodec_parameters_from_context(p->audio.get(), audio);
        p->audioTimeBase = audio->time_base;
        p->audioSampleRate = audio->sample_rate;
        p->audioFrameSize = audio_->frameSize();
    }
    shared_->publishParams(std::move(p));
}

bool FfmpegEncoderSink::ensureOpened(int width, int height) {
    if (!hasFile_ && streamCount_ == 0)
        return false;
    if (width < 1 || height < 1)
        return false;
    installAvLogRouting();
    // Everything is closed again and retried a second later; after 5 s of failing opens the
    // output reports itself failed, as it does for failing writes.
    const auto failOpen = [this] {
        close();
        const int64_t t = now();
        openRetryAtNs_ = t + 1'000'000'000;
        if (openFailingSinceNs_ == 0)
            openFailingSinceNs_ = t;
        return false;
    };
    const QSize size = encoderSize(requestedWidth_, requestedHeight_, width, height);

    bool globalHeader = false;
    if (hasFile_) {
        const AVOutputFormat *f =
            av_guess_format(nullptr, filePath_.trimmed().toUtf8().constData(), nullptr);
        globalHeader = f && (f->flags & AVFMT_GLOBALHEADER);
    }
    for (const StreamTarget &s : streamTargets_) {
        const AVOutputFormat *f = av_guess_format(
            s.format.isEmpty() ? nullptr : s.format.toUtf8().constData(), nullptr, nullptr);
        if (f && (f->flags & AVFMT_GLOBALHEADER))
            globalHeader = true;
    }

    if (video_->isOpen() && outputs_->hasTargets()) {
        if (video_->size() == size)
            return true;
        // Containers that carry the parameter sets once, in their header, cannot change the
        // picture size mid-run: later frames would not decode. Those runs keep their size and
        // the new frames are scaled to it.
        if (globalHeader)
            return true;
        if (reopenVideoEncoderForNewSize(size.width(), size.height(), globalHeader))
            return true;
        // Start over from nothing on the next frame rather than on top of open outputs.
        close();
        return false;
    }
    // A run whose outputs will not open is not retried on every frame.
    if (now() < openRetryAtNs_)
        return false;

    if (!video_->openCodec(size.width(), size.height(),
                           {frameRate_, liveMode_, streamCount_, globalHeader})) {
        qWarning().noquote() << libav::errorText("FfmpegEncoderSink: no usable H.264 encoder "
                                                 "(avcodec_open2 failed for all candidates)",
                                                 video_->lastError());
        return failOpen();
    }
    if (!audio_->open(globalHeader))
        return failOpen();
    if (!video_->allocatePicture())
        return failOpen();
    publishStreamParameters();
    shared_->liveMode = liveMode_;

    if (hasFile_) {
        const QString path = filePath_.trimmed();
        QString error;
        if (outputs_->openFile(path, OutputTarget::isRtmpUrl(path), &error)) {
            started_ = true;
        } else if (streamCount_ == 0) {
            return failOpen();
        } else {
            // The streams are live output the operator is waiting for; the recording is lost
            // for this run and the status says so.
            qWarning().noquote() << "FfmpegEncoderSink: the recording did not open, the streams "
                                    "go on without it:"
                                 << StreamAddressMask::mask(path) << error;
            markFileMissing(path, error);
            hasFile_ = false;
        }
    }
    // Streams open on their own writers; none of them is waited for here.
    outputs_->startStreams(streamTargets_, hasFile_ ? 1 : 0, kStreamQueuePackets,
                           kStreamOpenTimeoutMs);
    if (outputs_->hasStreams())
        started_ = true;
    openFailingSinceNs_ = 0;
    return true;
}

bool FfmpegEncoderSink::reopenVideoEncoderForNewSize(int width, int height, bool globalHeader) {
    if (!outputs_->hasTargets())
        return false;
    video_->flush();
    video_->close();
    if (!video_->openCodec(width, height, {frameRate_, liveMode_, streamCount_, globalHeader})) {
        qWarning().noquote() << libav::errorText(
            "FfmpegEncoderSink: reopenVideoEncoderForNewSize: no usable H.264 encoder",
            video_->lastError());
        return false;
    }
    if (!video_->allocatePicture()) {
        qWarning().noquote() << libav::errorText(
            "FfmpegEncoderSink: reopenVideoEncoderForNewSize: YUV buffer alloc failed",
            video_->lastError());
        video_->close();
        return false;
    }
    publishStreamParameters();
    outputs_->useParameters(shared_->currentParams());
    return true;
}

void FfmpegEncoderSink::writeFrame(const FrameTokenPtr &frame, const int16_t *pcm, int pcmFrames) {
    if (shared_->abortIo.load())
        return;
    if (failed_.load() && !closing_)
        return;
    if (!frame || !frame->valid || frame->data.isEmpty() || frame->width < 1 || frame->height < 1 ||
        frame->stride < frame->width * 4 ||
        int64_t(frame->stride) * frame->height > frame->data.size())
        return;
    if (!ensureOpened(frame->width, frame->height)) {
        if (openFailingSinceNs_ != 0 && now() - openFailingSinceNs_ >= kTransportFailureNs) {
            qWarning() << "FfmpegEncoderSink: the outputs have not opened for 5 s; stopping the "
                          "output";
            notifyTransportFailed();
        }
        return;
    }
    const bool converted = video_->convert(*frame);
    // Copied (or of no use): the decoder gets its picture back. Nothing else reads it once the
    // program picture is sent, and one encoder takes each frame.
    frame->source.reset();
    if (!converted)
        return;

    const int64_t step = clock_->step(now(), frame->ptsUs, frameRate_);
    if (audioPullCallback_) {
        const int n = int(std::min<int64_t>((step * kSampleRate + 500) / 1000, 9600));
        pullBuffer_.resize(size_t(2 * n));
        audioPullCallback_(pullBuffer_.data(), n);
        pcm = pullBuffer_.data();
        pcmFrames = n;
    }
    if (!video_->send(clock_->ms(), shared_->keyframeWanted.exchange(false)))
        return;
    encodedVideoFrames_.fetch_add(1);

    if (pcm && pcmFrames >= 1 && audio_->isOpen()) {
        audio_->append(pcm, pcmFrames);
        if (outputs_->hasTargets())
            audio_->encode(false);
    }
    pullLiveAudio();
    outputs_->flushFileIfDue(now());
    checkTransportFailure();
}

// A live run keeps its sound within 80 ms of the picture: what the pull fell behind by is
// pulled and encoded now, in steps of at most 200 ms.
void FfmpegEncoderSink::pullLiveAudio() {
    if (!audioPullCallback_ || !liveMode_ || !audio_->isOpen() || !outputs_->hasTargets())
        return;
    const int rate = audio_->codec()->sample_rate;
    if (rate < 1)
        return;
    for (int round = 0; round < 512; ++round) {
        const int64_t audioMs = audio_->encodedMs();
        if (clock_->ms() <= audioMs + 80)
            break;
        const int64_t gap = std::min<int64_t>(clock_->ms() - audioMs - 80, 10000);
        const int n = int(std::clamp<int64_t>((gap * rate + 500) / 1000, 1, 9600));
        pullBuffer_.resize(size_t(2 * n));
        audioPullCallback_(pullBuffer_.data(), n);
        audio_->append(pullBuffer_.data(), n);
        audio_->encode(false);
    }
}

// Every encoded packet, video and sound, on its way to the outputs.
void FfmpegEncoderSink::deliver(AVPacket *packet, bool isVideo) {
    if (liveMode_ && packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE &&
        packet->dts > packet->pts)
        packet->pts = packet->dts;
    if (!outputs_->hasTargets())
        return;
    if (failed_.load() && !closing_)
        return;
    outputs_->write(packet, isVideo);
}

void FfmpegEncoderSink::checkTransportFailure() {
    if (failureNotified_.load() || !outputs_->allFailedFor(now(), kTransportFailureNs))
        return;
    qWarning() << "FfmpegEncoderSink: every output has failed for 5 s; stopping the output";
    notifyTransportFailed();
}

void FfmpegEncoderSink::close() {
    audioPullCallback_ = nullptr;
    pullBuffer_.clear();
    pullBuffer_.shrink_to_fit();
    closing_ = true;
    failed_.store(false);
    if (outputs_->hasTargets()) {
        video_->flush();
        audio_->flush();
    }
    outputs_->closeFile(started_);
    // Each writer sends what it still holds and its trailer, within a second.
    outputs_->stopStreams(1000);
    shared_->abortIo.store(false);
    if (outputs_->hasTargets()) {
        std::vector<OutputTarget::Status> last = outputs_->status();
        std::lock_guard lock(statusMutex_);
        lastOutputs_ = std::move(last);
    }
    outputs_->clear();
    started_ = false;
    shared_->fileWriteStreak.store(0);
    shared_->streamWriteSeq.store(0);
    shared_->reconnectCount.store(0);
    shared_->keyframeWanted.store(false);
    shared_->publishParams(nullptr);
    video_->close();
    audio_->close();
    clock_->reset();
    failed_.store(false);
    failureNotified_.store(false);
    closing_ = false;
    requestedWidth_ = 0;
    requestedHeight_ = 0;
}

void FfmpegEncoderSink::markFileMissing(const QString &path, const QString &reason) {
    std::lock_guard lock(statusMutex_);
    fileMissingPath_ = path;
    fileMissingReason_ = reason;
}

OutputTargetStatus FfmpegEncoderSink::targetStatus(const OutputTarget::Status &s, bool isRtmp,
                                                   int64_t nowNs, int64_t failSpanNs) {
    OutputTargetStatus t;
    t.isStream = s.isStream;
    t.url = s.url;
    t.bytesWritten = s.bytes;
    t.packetsDropped = s.dropped;
    const bool gaveUp = !isRtmp && s.failingSinceNs != 0 && nowNs - s.failingSinceNs >= failSpanNs;
    if (gaveUp) {
        t.state = OutputTargetStatus::State::Failed;
        t.reason = s.lastError;
    } else if (s.open) {
        t.state = OutputTargetStatus::State::Live;
        t.liveSinceMs = s.liveSinceMs;
    } else if (s.reconnecting || s.attempts > 0) {
        t.state = OutputTargetStatus::State::Reconnecting;
        t.attempt = s.attempts + 1;
        t.reason = s.lastError;
    }
    return t;
}

OutputRunStatus FfmpegEncoderSink::runStatus() const {
    OutputRunStatus run;
    run.encodedVideoFrames = encodedVideoFrames_.load();
    std::vector<OutputTarget::Status> outputs = outputs_->status();
    {
        std::lock_guard lock(statusMutex_);
        run.fileMissing = !fileMissingPath_.isEmpty();
        run.fileMissingPath = fileMissingPath_;
        run.fileMissingReason = fileMissingReason_;
        if (outputs.empty())
            outputs = lastOutputs_;
    }
    const int64_t nowNs = now();
    const bool failed = runFailed_.load();
    auto shown = [&](OutputTargetStatus t) {
        if (failed) {
            t.state = OutputTargetStatus::State::Failed;
            t.liveSinceMs = 0;
            t.reason = QStringLiteral("the output was stopped: every output failed");
        }
        return t;
    };
    size_t next = 0;
    if (!filePath_.trimmed().isEmpty() || run.fileMissing) {
        OutputTargetStatus file;
        if (run.fileMissing) {
            file.url = run.fileMissingPath;
            file.state = OutputTargetStatus::State::Failed;
            file.reason = run.fileMissingReason;
        } else if (!outputs.empty() && !outputs.front().isStream) {
            file = targetStatus(outputs.front(), OutputTarget::isRtmpUrl(outputs.front().url),
                                nowNs, kTransportFailureNs);
            ++next;
        } else {
            file.url = filePath_.trimmed();
        }
        run.targets.push_back(shown(file));
    }
    for (const StreamTarget &target : streamTargets_) {
        OutputTargetStatus stream;
        if (next < outputs.size() && outputs[next].isStream) {
            stream = targetStatus(outputs[next], OutputTarget::isRtmpUrl(outputs[next].url), nowNs,
                                  kTransportFailureNs);
            ++next;
        } else {
            stream.isStream = true;
            stream.url = target.url;
        }
        run.targets.push_back(shown(stream));
    }
    return run;
}
