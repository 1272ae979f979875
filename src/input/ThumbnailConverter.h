#pragma once

#include <cstdint>

struct AVFrame;

// Decoded 4:2:0 pictures straight to RGBA at a quarter of their width and height, for channels
// that only feed thumbnails (shown at about that size): each output pixel takes the middle two
// luma rows of its 4x4 block and the four chroma samples under it, so a quarter of the picture's
// bytes are never read. Fixed point in 16-bit lanes the compiler vectorises.
class ThumbnailConverter {
public:
    // Whether convert() takes this picture: 8-bit 4:2:0 planar (YUV420P, YUVJ420P) or
    // semi-planar (NV12), width and height even and at least 4.
    static bool supports(const AVFrame *picture);
    // Writes (width/4) x (height/4) RGBA pixels, alpha 255, rows `dstStride` bytes apart; up to
    // three last columns and rows are left out. The matrix comes from the picture's colour space
    // (unspecified: BT.709 from 720 lines up, else BT.601, as FrameScaler reads it), the range
    // from its colour range or J format.
    static void convert(const AVFrame *picture, uint8_t *dst, int dstStride);

    enum class Matrix { Bt601, Bt709, Other };
    // The matrix the picture's colour space names; unnamed: BT.709 from 720 lines up, else
    // BT.601, as FrameScaler reads it.
    static Matrix matrixOf(const AVFrame *picture);
};
