#include "output/PacketFanOut.h"

#include <chrono>

PacketFanOut::PacketFanOut(std::shared_ptr<OutputShared> shared) : shared_(std::move(shared)) {}

PacketFanOut::~PacketFanOut() {
    stopStreams(0);
    clear();
}

bool PacketFanOut::openFile(const QString &path, bool isRtmp, QString *error) {
    OutputTarget::Config config;
    config.muxer.url = path.toUtf8();
    config.muxer.isRtmp = isRtmp;
    auto file = std::make_unique<OutputTarget>(shared_, std::move(config));
    if (!file->openNow()) {
        if (error)
            *error = file->lastError();
        return false;
    }
    std::lock_guard lock(mutex_);
    file_ = std::move(file);
    return true;
}

void PacketFanOut::startStreams(const std::vector<StreamTarget> &streams, int firstObserverIndex,
                                int queuePackets, int64_t openTimeoutMs) {
    for (size_t i = 0; i < streams.size(); ++i) {
        OutputTarget::Config config;
        config.muxer.url = streams[i].url.toUtf8();
        config.muxer.format = streams[i].format.toUtf8();
        config.muxer.isRtmp = OutputTarget::isRtmpUrl(streams[i].url);
        config.isStream = true;
        config.index = int(i) + 1;
        config.observerIndex = firstObserverIndex + int(i);
        config.queuePackets = queuePackets;
        config.openTimeoutMs = openTimeoutMs;
        auto target = std::make_unique<OutputTarget>(shared_, std::move(config));
        target->startWriter();
        std::lock_guard lock(mutex_);
        streams_.push_back(std::move(target));
    }
}

void PacketFanOut::write(const AVPacket *packet, bool isVideo) {
    if (file_)
        file_->writeNow(packet, isVideo);
    for (const auto &s : streams_)
        s->enqueue(packet, isVideo);
}

void PacketFanOut::useParameters(const std::shared_ptr<const EncoderParams> &params) {
    if (file_)
        file_->useParameters(params);
}

void PacketFanOut::flushFileIfDue(int64_t now) {
    const int64_t interval = (shared_->liveMode ? 80 : 250) * int64_t(1'000'000);
    if (flushedOnce_ && now - lastFlushNs_ < interval)
        return;
    flushedOnce_ = true;
    lastFlushNs_ = now;
    if (file_)
        file_->flush();
}

bool PacketFanOut::allFailedFor(int64_t now, int64_t spanNs) const {
    if (!hasTargets())
        return false;
    bool anyNotRtmp = false;
    auto failedLongEnough = [&](const OutputTarget &t) {
        anyNotRtmp |= !t.isRtmp();
        const int64_t since = t.failingSinceNs();
        return since != 0 && now - since >= spanNs;
    };
    if (file_ && !failedLongEnough(*file_))
        return false;
    for (const auto &s : streams_)
        if (!failedLongEnough(*s))
            return false;
    return anyNotRtmp;
}

void PacketFanOut::closeFile(bool writeTrailer) {
    if (file_)
        file_->closeNow(writeTrailer);
}

void PacketFanOut::stopStreams(int64_t graceMs) {
    for (const auto &s : streams_)
        s->requestStop();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    for (const auto &s : streams_)
        s->finish(deadline);
}

void PacketFanOut::clear() {
    std::unique_ptr<OutputTarget> file;
    std::vector<std::unique_ptr<OutputTarget>> streams;
    {
        std::lock_guard lock(mutex_);
        file = std::move(file_);
        streams.swap(streams_);
    }
    file.reset();
    streams.clear();
    lastFlushNs_ = 0;
    flushedOnce_ = false;
}

std::vector<OutputTarget::Status> PacketFanOut::status() const {
    std::vector<OutputTarget::Status> out;
    std::lock_guard lock(mutex_);
    if (file_)
        out.push_back(file_->status());
    for (const auto &s : streams_)
        out.push_back(s->status());
    return out;
}
