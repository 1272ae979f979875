#include "input/MicrophoneInput.h"

#include "core/LibavError.h"
#include "core/LibavPtr.h"
#include "core/PosixUtil.h"
#include "input/AudioStreamDecoder.h"
#include "input/DecoderControl.h"
#include "input/LibavInput.h"
#include "input/SourceAddress.h"
#include "platform/CaptureDevices.h"

void MicrophoneInput::start(const QString &address) {
    const QByteArray name = ("mic:" + c_.threadTag).toUtf8();
    thread_ = std::thread([this, address, name] {
        setCurrentThreadName(name.constData());
        run(address);
    });
}

void MicrophoneInput::join() {
    if (thread_.joinable())
        thread_.join();
}

void MicrophoneInput::run(const QString &microphone) {
    if (microphone.isEmpty())
        return;
    LibavInput::initialise();

    if (!SourceAddress::isMicrophoneAddress(microphone)) {
        c_.reportError(QStringLiteral("dshow 分离麦克风 URL 无效（需 dshow://…&audio=设备名）"));
        return;
    }
    const CaptureDevices::Input device =
        CaptureDevices::microphone(SourceAddress::deviceNames(microphone).audio, &c_.stopRequested);
    const QByteArray formatName = device.isValid() ? device.format : QByteArray("pulse");
    const AVInputFormat *format = av_find_input_format(formatName.constData());
    if (!format)
        format = av_find_input_format("alsa");
    if (!format) {
        c_.reportError(QStringLiteral("未注册 dshow 输入（分离麦克风）"));
        return;
    }

    const QString openFailed = QStringLiteral("无法打开麦克风（分离 dshow 采集）");
    if (!device.isValid()) {
        c_.reportError(openFailed);
        return;
    }
    LibavInput input([this] { return c_.stopping(); });
    SourceAddress::Options options = SourceAddress::networkOptions(microphone);
    for (const auto &list :
         {SourceAddress::microphoneBufferOptions(), SourceAddress::probeOptions(microphone, true)})
        options.insert(options.end(), list.begin(), list.end());
    if (const int r = input.open(device.url, format, options); r < 0) {
        c_.reportError(libav::errorText(openFailed, r));
        return;
    }
    if (const int r = input.findStreamInfo(); r < 0) {
        c_.reportError(libav::errorText(QStringLiteral("dshow 麦克风 find_stream_info 失败"), r));
        return;
    }
    const int stream = input.bestStream(AVMEDIA_TYPE_AUDIO);
    if (stream < 0) {
        c_.reportError(QStringLiteral("分离音轨中无音频流"));
        return;
    }
    if (!avcodec_find_decoder(input->streams[stream]->codecpar->codec_id))
        return;
    AudioStreamDecoder sound(c_.audio, &c_.gate);
    if (!sound.open(input.get(), stream)) {
        c_.reportError(QStringLiteral("dshow 麦克风解码器打开失败"));
        return;
    }
    libav::Packet packet(av_packet_alloc());
    if (!packet)
        return;

    while (!c_.stopping()) {
        if (c_.flushAudioRequested.exchange(false))
            c_.audio.clear(false);
        if (c_.playing.load()) {
            if (av_read_frame(input.get(), packet.get()) < 0) {
                c_.sleepUs(3000);
                continue;
            }
            if (packet->stream_index == stream)
                sound.decode(packet.get(), c_.stopRequested);
            av_packet_unref(packet.get());
        } else {
            // Paused: keep the device drained so that resuming plays no stale sound.
            int discarded = 0;
            while (discarded < 128 && !c_.stopping() && !c_.playing.load() &&
                   av_read_frame(input.get(), packet.get()) >= 0) {
                av_packet_unref(packet.get());
                ++discarded;
            }
            c_.sleepUs(discarded > 0 ? 1000 : 8000);
        }
    }
}
