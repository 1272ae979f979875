#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QRect>

#include <cstdint>
#include <memory>

struct AVFrame;

// One RGBA8888 picture (bytes R, G, B, A; rows top to bottom) that travels between threads.
// A token is written by exactly one producer before it is shared and is read-only afterwards,
// so its pixels need no lock; the one exception is a `programOnly` token, which the compositor
// paints on (GUI thread) before anything reads it. Tokens come from a FramePool and go back to it
// when the last FrameTokenPtr lets go.
struct FrameToken {
    int64_t ptsUs = 0; // presentation time in microseconds; 0 when the source gives none
    int32_t width = 0;
    int32_t height = 0;
    bool valid = true;
    // At least stride * height bytes while width/height are set. Never keep a copy of it (wrap
    // the bytes in a QImage instead, or hold the token): a copy shares the buffer, and the next
    // producer's write to the recycled token would then duplicate the whole picture.
    QByteArray data;
    int32_t stride = 0; // bytes per row
    // Shown by nothing but the program (its thumbnail, if any, travels as a token of its own),
    // so the compositor paints the overlays on it in place instead of on a copy. Set by its
    // producer before it is shared.
    bool programOnly = false;
    // The overlays are on it: no longer the channel's own picture. GUI thread only.
    bool painted = false;
    // The decoded picture (8-bit 4:2:0 planar, limited range, this token's size) the pixels were
    // converted from with the BT.709 matrix or, when `sourceBt709` is false, BT.601. Outside
    // `paintedRects` the pixels are still exactly that conversion, so the encoder takes the
    // planes there as they are instead of converting the RGBA back. Set by the producer of a
    // programOnly token; the compositor adds the pixel rectangles it draws in (GUI thread,
    // before the token is sent). The encoder lets go of the picture once it has copied it, on
    // its thread, the only one to read it after the send; the pool does when the token comes
    // back.
    std::shared_ptr<const AVFrame> source;
    bool sourceBt709 = false;
    QList<QRect> paintedRects;

    bool hasPicture() const { return !data.isEmpty() && width >= 1 && height >= 1; }
};

using FrameTokenPtr = std::shared_ptr<FrameToken>;

Q_DECLARE_METATYPE(FrameTokenPtr)
