#include "audio/PreviewAudioMixer.h"

#include "audio/AudioQueueIODevice.h"
#include "audio/MixerSource.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int kSamples = PreviewAudioMixer::kTickFrames * 2;

float clampGain(float g, float lo, float hi) {
    return std::isnan(g) ? lo : std::clamp(g, lo, hi);
}

int16_t limit(float v) {
    return int16_t(std::lround(std::tanh(double(v)) * 32767.0));
}

void addScaled(float *to, const float *from, int samples, float gain) {
    for (int i = 0; i < samples; ++i)
        to[i] += from[i] * gain;
}

float peakOf(const float *samples, int count) {
    float peak = 0.0f;
    for (int i = 0; i < count; ++i)
        peak = std::max(peak, std::fabs(samples[i])); // a NaN sample is skipped
    return peak;
}

// Lock-free "max": when a reader's exchange(0) lands between our load and compare-exchange,
// the compare fails, sees the 0 and raises that instead, so the peak goes to the next take.
void raisePeak(std::atomic<float> &meter, float peak) {
    peak = std::min(peak, 1.0f);
    float seen = meter.load(std::memory_order_relaxed);
    while (peak > seen && !meter.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
    }
}

} // namespace

PreviewAudioMixer::PreviewAudioMixer(MixerSource *source, QObject *parent)
    : QObject(parent), source_(source), localMix_(kSamples), previewMix_(kSamples),
      scratch_(kSamples), devicePcm_(kSamples) {
    for (int i = 0; i < 4; ++i) {
        channelLocalGain_[size_t(i)].store(0.5f);
        overlayLocalGain_[size_t(i)].store(0.2f);
        overlayPreviewGain_[size_t(i)].store(0.2f);
        overlayInPreview_[size_t(i)].store(false);
    }
}

PreviewAudioMixer::~PreviewAudioMixer() {
    stop();
}

void PreviewAudioMixer::setChannelLocalGain(int channel, float gain) {
    if (channel >= 0 && channel < 4)
        channelLocalGain_[size_t(channel)].store(clampGain(gain, 0.0f, 1.0f));
}
void PreviewAudioMixer::setPreviewGain(float gain) {
    previewGain_.store(clampGain(gain, 0.0f, 1.0f));
}
void PreviewAudioMixer::setOverlayLocalGain(int slot, float gain) {
    if (slot >= 0 && slot < 4)
        overlayLocalGain_[size_t(slot)].store(clampGain(gain, 0.0f, 1.0f));
}
void PreviewAudioMixer::setOverlayPreviewGain(int slot, float gain) {
    if (slot >= 0 && slot < 4)
        overlayPreviewGain_[size_t(slot)].store(clampGain(gain, 0.0f, 1.0f));
}
void PreviewAudioMixer::setOverlayInPreview(int slot, bool on) {
    if (slot >= 0 && slot < 4)
        overlayInPreview_[size_t(slot)].store(on);
}
void PreviewAudioMixer::setRecordGain(float gain) {
    recordGain_.store(clampGain(gain, 0.25f, 4.0f));
}

void PreviewAudioMixer::setProgramCaptureEnabled(bool on) {
    const bool was = programCaptureEnabled_.exchange(on);
    if (on && !was)
        clearProgramQueue();
}

void PreviewAudioMixer::clearProgramQueue() {
    std::lock_guard lock(programLock_);
    programQueue_.clear();
    programRead_ = 0;
}

void PreviewAudioMixer::compactProgramQueue() {
    if (programRead_ <= 0)
        return;
    if (programRead_ >= programQueue_.size()) {
        programQueue_.resize(0); // keeps the capacity
        programRead_ = 0;
    } else if (programRead_ >= programQueue_.size() / 2 || programRead_ >= 16384) {
        programQueue_.remove(0, programRead_);
        programRead_ = 0;
    }
}

void PreviewAudioMixer::pullProgramAudio(int16_t *out, int frames) {
    if (!out || frames < 1)
        return;
    const qsizetype wanted = qsizetype(frames) * 4;
    qsizetype n = 0;
    if (!stopped_.load()) {
        std::lock_guard lock(programLock_);
        n = std::min(programQueue_.size() - programRead_, wanted);
        std::memcpy(out, programQueue_.constData() + programRead_, size_t(n));
        programRead_ += n;
        compactProgramQueue();
    }
    std::memset(reinterpret_cast<char *>(out) + n, 0, size_t(wanted - n));
}

int64_t PreviewAudioMixer::playedFrames() const {
    return playedFrames_->load();
}

float PreviewAudioMixer::takeOverlayPeak(int slot) {
    if (slot < 0 || slot >= 4)
        return 0.0f;
    return overlayPeak_[size_t(slot)].exchange(0.0f, std::memory_order_relaxed);
}

float PreviewAudioMixer::takeChannelPeak(int channel) {
    if (channel < 0 || channel >= 4)
        return 0.0f;
    return channelPeak_[size_t(channel)].exchange(0.0f, std::memory_order_relaxed);
}

float PreviewAudioMixer::takeProgramPeak() {
    return programPeak_.exchange(0.0f, std::memory_order_relaxed);
}

void PreviewAudioMixer::mix(int frames, float *localOut, float *previewOut) {
    if (!source_ || !localOut || !previewOut || frames < 1)
        return;
    const int samples = frames * 2;
    std::fill(localOut, localOut + samples, 0.0f);
    std::fill(previewOut, previewOut + samples, 0.0f);
    if (scratch_.size() < size_t(samples))
        scratch_.resize(size_t(samples));
    float *scratch = scratch_.data();
    const int base = source_->baseChannel();
    const float preview = previewGain_.load();
    for (int c = 0; c < 4; ++c) {
        // Pulled every tick whatever the gains, so that each queue keeps moving.
        source_->pullChannelAudio(c, scratch, frames);
        const float local = channelLocalGain_[size_t(c)].load();
        if (local > 0) {
            addScaled(localOut, scratch, samples, local);
            raisePeak(channelPeak_[size_t(c)], peakOf(scratch, samples) * local);
        }
        if (c == base && base >= 0 && preview > 0)
            addScaled(previewOut, scratch, samples, preview);
    }
    for (int s = 0; s < 4; ++s) {
        source_->pullOverlayAudio(s, scratch, frames);
        const float local = overlayLocalGain_[size_t(s)].load();
        if (local > 0)
            addScaled(localOut, scratch, samples, local);
        const float gain = overlayPreviewGain_[size_t(s)].load();
        if (overlayInPreview_[size_t(s)].load() && gain > 0) {
            addScaled(previewOut, scratch, samples, gain);
            raisePeak(overlayPeak_[size_t(s)], peakOf(scratch, samples) * gain);
        }
    }
}

void PreviewAudioMixer::tick() {
    if (!source_ || !device_)
        return;
    mix(kTickFrames, localMix_.data(), previewMix_.data());
    for (int i = 0; i < kSamples; ++i)
        devicePcm_[size_t(i)] = limit(localMix_[size_t(i)] + previewMix_[size_t(i)]);
    device_->append(reinterpret_cast<const char *>(devicePcm_.data()), kSamples * 2);

    // tanh is odd and rising, so the limited peak is the limited raw peak.
    const float gain = recordGain_.load();
    raisePeak(programPeak_, float(std::tanh(double(peakOf(previewMix_.data(), kSamples) * gain))));
    if (!programCaptureEnabled_.load())
        return;
    for (int i = 0; i < kSamples; ++i)
        devicePcm_[size_t(i)] = limit(previewMix_[size_t(i)] * gain);
    std::lock_guard lock(programLock_);
    compactProgramQueue();
    programQueue_.append(reinterpret_cast<const char *>(devicePcm_.data()), kSamples * 2);
    while (programQueue_.size() - programRead_ > kProgramQueueMaxBytes) {
        programRead_ = programQueue_.size() - kProgramQueueMaxBytes;
        compactProgramQueue();
    }
}

void PreviewAudioMixer::start() {
    if (device_ || timer_)
        return;
    stopped_.store(false);
    playedFrames_->store(0);
    device_ = new AudioQueueIODevice(*playedFrames_, this);
    device_->open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    if (!sink_ && playbackEnabled_) {
        const QAudioDevice output = QMediaDevices::defaultAudioOutput();
        if (!output.isNull()) {
            QAudioFormat format;
            format.setSampleRate(48000);
            format.setChannelCount(2);
            format.setSampleFormat(QAudioFormat::Int16);
            sink_ = new QAudioSink(output, format, this);
            sink_->setBufferSize(196608);
            sink_->setVolume(1.0);
            sink_->start(device_);
        }
    }
    timer_ = new QTimer(this);
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(10);
    connect(timer_, &QTimer::timeout, this, &PreviewAudioMixer::tick);
    timer_->start();
}

void PreviewAudioMixer::stop() {
    stopped_.store(true);
    if (timer_) {
        timer_->stop();
        delete timer_;
        timer_ = nullptr;
    }
    if (sink_) {
        sink_->stop();
        delete sink_;
        sink_ = nullptr;
    }
    delete device_;
    device_ = nullptr;
    playedFrames_->store(0);
}

void PreviewAudioMixer::shutdown() {
    stop();
    QThread *main = QCoreApplication::instance() ? QCoreApplication::instance()->thread() : nullptr;
    if (main && thread() != main)
        moveToThread(main);
}
