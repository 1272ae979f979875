#pragma once

#include <QString>

class FramePipeline;
class OverlayManager;

// The harness job's overlays, placed on the program as bench/quorvi_harness and the window run
// of bench_window place them and as the CLI job in harness_vs_ffmpeg.sh draws them: the text,
// the image and the picture-in-picture video (its decoder slot looping and playing). An empty
// argument leaves that overlay out. Ids start at `firstId` (the text and the image share it:
// they live in separate tables).
namespace HarnessOverlays {
void place(FramePipeline *pipeline, OverlayManager *overlays, const QString &text,
           const QString &image, const QString &pip, int firstId);
}
