#pragma once

#include <cstdint>

struct AVFrame;

// Decoded 4:2:0 pictures straight to RGBA at half width and height, for channels that only feed
// thumbnails: each output pixel is its 2x2 luma block averaged with the chroma sample already
// there, so no resampling is needed. Fixed point in 16-bit lanes the compiler vectorises.
class HalfSizeConverter {
public:
    // Whether convert() takes this picture: 8-bit 4:2:0 planar (YUV420P, YUVJ420P) or
    // semi-planar (NV12), width and height even and at least 2.
    static bool supports(const AVFrame *picture);
    // Writes (width/2) x (height/2) RGBA pixels, alpha 255, rows `dstStride` bytes apart. The
    // matrix comes from the picture's colour space (unspecified: BT.709 from 720 lines up, else
    // BT.601, as FrameScaler reads it), the range from its colour range or J format.
    static void convert(const AVFrame *picture, uint8_t *dst, int dstStride);
};
