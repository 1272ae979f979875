#pragma once

#include "core/FrameToken.h"
#include "core/LibavPtr.h"

#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>

// The program's H.264 encoder: picks an encoder (the hardware one where this machine has it,
// else software), converts the RGBA program frames to YUV with the colour matrix it tags the
// stream with, and stamps them with rising times from the media clock. Encoding thread only.
class VideoEncoder {
public:
    using PacketHandler = std::function<void(AVPacket *packet)>;
    struct Settings {
        double frameRate = 30.0;
        bool liveMode = false; // RTMP/FLV: software first, millisecond times, short GOP
        int streamCount = 0;
        bool globalHeader = false;
    };

    // Every encoded packet goes to `onPacket`, which must not keep it.
    explicit VideoEncoder(PacketHandler onPacket);

    // Tries the candidate encoders in turn; false when none opens (see lastError()).
    bool openCodec(int width, int height, const Settings &settings);
    // The picture the frames are converted into.
    bool allocatePicture();
    void close();

    bool isOpen() const { return codec_ != nullptr; }
    const AVCodecContext *codec() const { return codec_.get(); }
    QSize size() const; // empty while closed
    QString name() const { return name_; }
    int lastError() const { return lastError_; }

    // Converts one program frame into the picture; false when it could not be. Outside the
    // frame's paintedRects its source picture, when it has a usable one, is copied instead.
    bool convert(const FrameToken &frame);
    const AVFrame *picture() const { return picture_.get(); }
    // Encodes the picture at `mediaMs`, as a keyframe when asked; false when the encoder
    // refuses it.
    bool send(int64_t mediaMs, bool keyframe);
    // Sends the end of the stream and hands on what the encoder still holds.
    void flush();

    // The bit rate for a picture size and frame rate.
    static int bitrateKbps(double fps, int width, int height);
    // Whether hardware H.264 opens on this machine. Probed once per process, at the first
    // start that wants it: a missing driver would otherwise be complained about at every one.
    static bool hardwareAvailable();

private:
    void drain();
    // Copies the frame's source picture into ours, for convert() to draw the painted
    // rectangles on; false when it cannot stand for the frame's pixels here.
    bool copySource(const FrameToken &frame);

    PacketHandler onPacket_;
    libav::CodecContext codec_;
    libav::Frame picture_;
    libav::Sws scaler_;
    libav::Packet packet_{av_packet_alloc()};
    QString name_;
    int lastError_ = 0;
    bool hasLastPts_ = false;
    int64_t lastPts_ = 0;
};
