#include "pipeline/EngineSession.h"

#include "audio/PreviewAudioMixer.h"
#include "pipeline/CompositionController.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OverlayManager.h"

#include <QThread>

namespace {
constexpr int kAudioThreadJoinMs = 5000;
}

EngineSession::EngineSession(AudioPlayback playback)
    : overlays_(std::make_unique<OverlayManager>()),
      controller_(std::make_unique<CompositionController>()),
      pipeline_(std::make_unique<FramePipeline>()), audioThread_(std::make_unique<QThread>()),
      mixer_(std::make_unique<PreviewAudioMixer>(pipeline_.get())) {
    QObject::connect(controller_.get(), &CompositionController::programStateChanged,
                     pipeline_.get(), [this] { applyProgramState(); });
    applyProgramState();

    mixer_->setPlaybackEnabled(playback == AudioPlayback::On);
    audioThread_->setObjectName(QStringLiteral("mix"));
    mixer_->moveToThread(audioThread_.get());
    audioThread_->start();
    // Started before returning, not on the thread's `started`: a channel's sound queued while
    // nobody pulls it would lag its picture for good, so callers must be able to start
    // channels right away.
    QMetaObject::invokeMethod(mixer_.get(), "start", Qt::BlockingQueuedConnection);
    pipeline_->setPreviewAudioMixerForOutput(mixer_.get());
}

EngineSession::~EngineSession() {
    // Stops a running output first (from then on it pulls no program sound; its trailer is
    // written before the pipeline goes), then detaches the mixer from the output and the
    // decoders' audio clock.
    pipeline_->onOutputMixerGone(mixer_.get());
    // Stopped on its own thread, whose timer and audio device it owns; shutdown() also hands it
    // back to this thread so it can be deleted here.
    if (mixer_->thread() != QThread::currentThread() && audioThread_->isRunning())
        QMetaObject::invokeMethod(mixer_.get(), "shutdown", Qt::BlockingQueuedConnection);
    else
        mixer_->shutdown();
    audioThread_->quit();
    if (!audioThread_->wait(kAudioThreadJoinMs)) {
        qWarning("EngineSession: the audio thread did not end within %d ms", kAudioThreadJoinMs);
        // Destroying a running QThread aborts the program: leave it rather than crash.
        (void)audioThread_.release();
    }
    mixer_.reset();
    pipeline_.reset();
    controller_.reset();
    overlays_.reset();
}

void EngineSession::applyProgramState() {
    pipeline_->setProgramState(controller_->snapshot(), overlays_.get());
}
