#pragma once

#include <memory>

class CompositionController;
class FramePipeline;
class OverlayManager;
class PreviewAudioMixer;
class QThread;

// The engine's central objects, made, wired and torn down in one place: the overlay manager,
// the composition controller, the frame pipeline, and the audio mixer running on its own thread
// ("mix") and feeding the program output. Whatever hosts the engine (the main window, the
// headless harness, tests) holds one; what reacts to the operator (panels, previews, the
// program time line) stays with that host.
//
// Wired here: every change of the controller's state is applied to the pipeline together with
// the overlay manager (setProgramState), as is the initial state, so the pipeline can draw
// overlays from the first frame.
//
// Teardown, in this order: the output run is stopped (it pulls no more sound) and the mixer is
// detached from the pipeline; the mixer stops on its own thread; the audio thread is joined
// (at most 5 s); then the mixer, the pipeline (waiting for closing runs to write their trailers,
// then joining its decoders before their pools), the controller and, last, the overlay manager,
// which overlay decoders call until they are joined.
//
// Threads: every method on the thread that made the session (the GUI thread in the
// application), the destructor included; the objects it hands out keep their own rules. The
// mixer lives on the audio thread and is reached through its queued or atomic interface.
class EngineSession {
public:
    // Off: the mixer opens no audio device (headless runs and tests); everything else runs.
    enum class AudioPlayback { On, Off };

    // Returns with the mixer running and attached to the pipeline's output.
    explicit EngineSession(AudioPlayback playback = AudioPlayback::On);
    ~EngineSession();
    EngineSession(const EngineSession &) = delete;
    EngineSession &operator=(const EngineSession &) = delete;

    OverlayManager *overlays() const { return overlays_.get(); }
    CompositionController *controller() const { return controller_.get(); }
    FramePipeline *pipeline() const { return pipeline_.get(); }
    PreviewAudioMixer *mixer() const { return mixer_.get(); }

    // Hands the controller's state and the overlay manager to the pipeline. Runs on every
    // change of the controller's state.
    void applyProgramState();

private:
    std::unique_ptr<OverlayManager> overlays_;
    std::unique_ptr<CompositionController> controller_;
    std::unique_ptr<FramePipeline> pipeline_;
    std::unique_ptr<QThread> audioThread_;
    std::unique_ptr<PreviewAudioMixer> mixer_;
};
