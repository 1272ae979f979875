#pragma once

#include "core/FrameToken.h"

#include <memory>

class FramePool;
class OverlayManager;
class QPainter;

// Draws the overlays of an OverlayManager over one base frame of the program and hands back
// the program picture. An offscreen OpenGL context renders when one can be had; otherwise, and
// for any frame on which OpenGL fails, QPainter draws on the CPU into the output token's own
// memory. Both paths share paintOverlays(), so they give the same picture. All overlay
// geometry is in the 640 x 360 scene, scaled to the frame.
//
// Threads: create, use and destroy on one thread (the GUI thread, which owns the overlay
// manager's lists and the OpenGL context). The pool may be shared with other threads.
class VulkanCompositor {
public:
    // Auto: OpenGL when a hardware renderer is there. EvenSoftware: also on a software
    // rasteriser (tests and measurements). Off: the CPU only.
    enum class GpuMode { Auto, EvenSoftware, Off };

    // Never fails; without OpenGL it composes on the CPU only.
    explicit VulkanCompositor(FramePool *pool, GpuMode mode = GpuMode::Auto);
    ~VulkanCompositor();
    VulkanCompositor(const VulkanCompositor &) = delete;
    VulkanCompositor &operator=(const VulkanCompositor &) = delete;

    // The base itself when there is nothing to draw (no copy, no pool token), else a new token
    // with the overlays drawn in; on the CPU a `programOnly` base is drawn on itself and comes
    // back `painted`. A base without a picture passes through unchanged.
    FrameTokenPtr compose(OverlayManager *overlays, const FrameTokenPtr &base);
    bool gpuReady() const;

    // Draws every overlay onto a painter whose width x height device already holds the base.
    // `swapRedBlue`: the device holds RGBA bytes painted as premultiplied ARGB, the raster
    // engine's fast format; every colour and picture then comes with red and blue traded.
    // With `painted`, every device-pixel rectangle drawn in is added to it (a little more
    // rather than less, merged where that costs nothing).
    static void paintOverlays(QPainter &painter, int width, int height, OverlayManager *overlays,
                              bool swapRedBlue = false, QList<QRect> *painted = nullptr);

    // Diagnostics: how the last frame was composed, and how often a framebuffer was made.
    enum class Path { PassedThrough, Cpu, Gpu };
    Path lastPath() const { return lastPath_; }
    int framebufferCreations() const;

private:
    struct GpuState;

    void setUpGpu(bool evenSoftware);
    bool ensureFramebuffer(int width, int height);
    bool composeOnGpu(OverlayManager *overlays, const FrameToken &base, FrameToken &out);
    static void paintOn(FrameToken &token, OverlayManager *overlays);

    FramePool *pool_;
    std::unique_ptr<GpuState> gpu_;
    Path lastPath_ = Path::PassedThrough;
};
