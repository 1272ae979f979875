#pragma once

#include "core/FrameToken.h"
#include "core/LibavPtr.h"
#include "input/AudioStreamDecoder.h"
#include "input/FrameScaler.h"
#include "input/LibavInput.h"
#include "input/LivePacketQueue.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

class DecoderControl;

// One run of the decode worker over an FFmpeg input (a file, a network stream or a camera):
// the opened input, its decoders, the pacing anchor, held packets and the optional packet
// reader thread ("rd:<tag>") of a live camera. Files are paced to their own timeline; live
// inputs deliver only their newest picture and never wait for a token.
//
// Threads: created, run and destroyed on the decode worker, which owns and joins the reader.
class DecodeWorker {
public:
    explicit DecodeWorker(DecoderControl &control);
    ~DecodeWorker() { shutdown(); }
    DecodeWorker(const DecodeWorker &) = delete;
    DecodeWorker &operator=(const DecodeWorker &) = delete;

    // Opens `address` (the source without its separate microphone). False after reporting why.
    bool open(const QString &source, const QString &address, bool hasAudioSource);
    // Plays, pauses and seeks on command until a stop or a broken input.
    void run();
    bool isLive() const { return live_; }

private:
    void shutdown();
    void pausedStep();
    bool playingStep(); // false: leave the main loop
    void drainPaced();
    void drainLive();
    bool deliverStillFrame();
    bool beforeSeekTarget(int64_t tsUs) const;
    void hand(FrameTokenPtr token);
    // `playing`: a picture of the running timeline, not a still (a pause, a seek, redeliver()).
    void deliver(AVFrame *frame, int64_t tsUs, bool mayAllocate, bool playing);
    // A thumbnail while only a thumbnail needs it. On the program a playing picture goes whole
    // to the program alone, marked programOnly, and its thumbnail apart (thumbnail_, at most 15
    // a second). Either way the picture is also kept in last_.
    FrameTokenPtr convert(AVFrame *picture, int64_t tsUs, bool mayAllocate, bool playing);
    bool thumbnailDue(int64_t tsUs) const;
    // A playing picture a thumbnail would not show (too soon after the last one); kept in last_.
    bool thumbnailSkips(AVFrame *picture, int64_t tsUs);
    void keepLast(AVFrame *picture, int64_t tsUs);
    // Sends a video packet (null: the end). Off the program, a picture no other picture refers
    // to is left undecoded when one sent whole lies less than a thumbnail interval before it.
    void sendVideo(const AVPacket *packet);
    void redeliver();                 // last_ again, now whole
    int readPacket(AVPacket *packet); // held packets first, then the input
    int readInput(AVPacket *packet);  // the input itself (or the reader's queue)
    bool seek(int64_t positionMs);    // false when the input cannot seek
    void freeHeld() { held_.clear(); }
    void sleepUs(int64_t us);
    // The stream time of a picture or sound, counted from the start of the input.
    int64_t streamUs(int64_t ts, AVRational timeBase) const;
    bool stopping() const;

    void startReader();
    void readerLoop();

    DecoderControl &c_;
    std::atomic<bool> readerQuit_{false}; // W: this worker; R: the reader and interrupt checks
    LibavInput input_;
    libav::CodecContext video_;
    int videoStream_ = -1;
    AVRational videoTimeBase_{1, 1};
    int64_t videoFrameUs_ = 33333;
    AudioStreamDecoder audio_;
    libav::Frame frame_;
    libav::Frame newest_;
    libav::Frame last_;       // the newest picture while only a thumbnail or the program has it
    FrameTokenPtr thumbnail_; // the thumbnail of the picture convert() made, handed before it
    int64_t lastTsUs_ = 0;
    int64_t lastThumbnailUs_ = INT64_MIN; // stream time of the last one converted for it
    // Stream times of the latest video packets sent to be decoded whatever they are (a ring;
    // emptied by a seek): B-pictures come after the later pictures they sit between.
    std::array<int64_t, 16> sentWhole_{};
    size_t sentWholeCount_ = 0;
    libav::Packet packet_;
    libav::Packet aheadPacket_;
    FrameScaler scaler_;
    std::deque<libav::Packet> held_;
    std::vector<libav::Packet> spare_; // emptied held packets, for reuse
    bool live_ = false;

    int64_t startUs_ = 0;              // a file's first timestamp; positions count from it
    int64_t seekTargetUs_ = INT64_MIN; // pictures before it are decoded, not shown
    int64_t lastDeliveredUs_ = -1;
    bool anchored_ = false;
    int64_t anchorWallUs_ = 0;
    int64_t anchorTsUs_ = 0;

    // Packet reader of a live camera.
    std::thread reader_;
    LivePacketQueue queue_;
};
