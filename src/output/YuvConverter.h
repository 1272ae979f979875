#pragma once

#include <cstdint>

// RGBA program frames (bytes R, G, B, A) to the encoder's limited-range YUV 4:2:0 planes, in
// fixed point loops the compiler vectorises. Chroma takes each horizontal pixel pair and filters
// the rows 1-3-3-1 around the chroma line (edges repeated), the way swscale subsamples these
// pictures, so recordings look the same whichever path converted them.
class YuvConverter {
public:
    enum class Matrix { Bt601, Bt709 };

    // Planes of width x height (luma) and ceil(width/2) x ceil(height/2) (chroma). An odd last
    // column or row counts as a pair with itself.
    static void rgbaToI420(const uint8_t *rgba, int stride, int width, int height, Matrix matrix,
                           uint8_t *y, int yStride, uint8_t *u, int uStride, uint8_t *v,
                           int vStride);
    // The same for the pixels in columns x0 .. x1-1 and rows y0 .. y1-1 only, widened to even
    // bounds and clipped to the picture; the rest of the planes is left as it is. Chroma still
    // filters over the rows around the region, so what is written equals rgbaToI420's output.
    static void rgbaToI420(const uint8_t *rgba, int stride, int width, int height, int x0, int y0,
                           int x1, int y1, Matrix matrix, uint8_t *y, int yStride, uint8_t *u,
                           int uStride, uint8_t *v, int vStride);
};
