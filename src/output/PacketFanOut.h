#pragma once

#include "output/OutputTarget.h"
#include "output/StreamTarget.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// The outputs of one run and every encoded packet handed to each of them: the recording file
// (written at once) and the streams (queued for their writers).
//
// Threads: everything on the encoding thread except status(), which any thread may call.
class PacketFanOut {
public:
    explicit PacketFanOut(std::shared_ptr<OutputShared> shared);
    ~PacketFanOut();
    PacketFanOut(const PacketFanOut &) = delete;
    PacketFanOut &operator=(const PacketFanOut &) = delete;

    bool hasTargets() const { return file_ || !streams_.empty(); }
    bool hasStreams() const { return !streams_.empty(); }

    // Opens the recording file now; false (and no file, `error` says why) when it does not.
    bool openFile(const QString &path, bool isRtmp, QString *error = nullptr);
    // Starts one writer per stream; none of them is waited for. Output numbers for the write
    // observer count on from `firstObserverIndex`.
    void startStreams(const std::vector<StreamTarget> &streams, int firstObserverIndex,
                      int queuePackets, int64_t openTimeoutMs);

    void write(const AVPacket *packet, bool isVideo);
    // The file's muxer carries on with new encoder parameters (a new video size).
    void useParameters(const std::shared_ptr<const EncoderParams> &params);
    // Pushes the file's buffered bytes out now and then, so a reader of it keeps up.
    void flushFileIfDue(int64_t now);
    // Every output has failed all its writes for `spanNs` and one of them is not an RTMP
    // stream (those alone keep reconnecting for as long as the run lasts).
    bool allFailedFor(int64_t now, int64_t spanNs) const;

    // Finishes the file, with its trailer when asked.
    void closeFile(bool writeTrailer);
    // Each writer sends what it still holds and its trailer within `graceMs`, then is cut off.
    void stopStreams(int64_t graceMs);
    // Forgets the outputs (stopped before).
    void clear();

    std::vector<OutputTarget::Status> status() const;

private:
    const std::shared_ptr<OutputShared> shared_;
    // Replaced only on the encoding thread, under mutex_ so that status() can read them from
    // elsewhere; mutex_ is never held across I/O (outputs are destroyed outside it).
    mutable std::mutex mutex_;
    std::unique_ptr<OutputTarget> file_;
    std::vector<std::unique_ptr<OutputTarget>> streams_;
    int64_t lastFlushNs_ = 0;
    bool flushedOnce_ = false;
};
