#include "output/YuvConverter.h"

#include "core/VectorClones.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Luma in 16-bit lanes (twice as many per vector): 8 fraction bits keep it within half a code
// value, and 255 * 220 + bias still fits. Chroma sums need 32 bits and take 15.
constexpr int kLumaShift = 8;
constexpr int kShift = 15;
// Chroma sums carry a weight of 16: two pixels across times 1+3+3+1 down.
constexpr int kChromaShift = kShift + 4;

struct LumaCoefficients {
    uint16_t r, g, b;
};

struct Coefficients {
    LumaCoefficients y;
    int32_t ur, ub, vr, vb; // green's are -ur - ub and -vr - vb, so greys are exact
};

constexpr int32_t scaled(double v, int shift) {
    const double s = v * (1 << shift);
    return int32_t(s < 0 ? s - 0.5 : s + 0.5);
}

// The green terms take up the rounding, so white gives exactly 235 and greys exactly 128.
constexpr Coefficients coefficients(double kr, double kb) {
    const double kg = 1.0 - kr - kb;
    const double ys = 219.0 / 255.0;
    const double cs = 224.0 / 255.0;
    Coefficients c{};
    c.y.r = uint16_t(scaled(ys * kr, kLumaShift));
    c.y.b = uint16_t(scaled(ys * kb, kLumaShift));
    c.y.g = uint16_t(scaled(ys * (kr + kg + kb), kLumaShift) - c.y.r - c.y.b);
    c.ur = scaled(-cs * kr / (2 * (1 - kb)), kShift);
    c.ub = scaled(cs * 0.5, kShift);
    c.vr = scaled(cs * 0.5, kShift);
    c.vb = scaled(-cs * kb / (2 * (1 - kr)), kShift);
    return c;
}

constexpr Coefficients kBt601 = coefficients(0.299, 0.114);
constexpr Coefficients kBt709 = coefficients(0.2126, 0.0722);

QUORVI_VECTOR_CLONES
void lumaRow(const uint8_t *__restrict src, int width, const LumaCoefficients &c,
             uint8_t *__restrict dst) {
    // Copies, so the loop does not reload them through the reference each pixel.
    const uint16_t yr = c.r, yg = c.g, yb = c.b;
    constexpr uint16_t bias = (16 << kLumaShift) + (1 << (kLumaShift - 1));
    for (int x = 0; x < width; ++x) {
        // A pixel as two 16-bit halves, R | G << 8 and B | A << 8: splitting 16-bit lanes is
        // cheaper for the vectoriser than picking every fourth byte.
        uint16_t rg, ba;
        std::memcpy(&rg, src + 4 * x, 2);
        std::memcpy(&ba, src + 4 * x + 2, 2);
        dst[x] = uint8_t(uint16_t(yr * (rg & 0xff) + yg * (rg >> 8) + yb * (ba & 0xff) + bias) >>
                         kLumaShift);
    }
}

// Sums of horizontal pixel pairs of one row, as R - G and B - G runs of `cw` each: the chroma
// coefficients of each row add up to zero (green takes the rest), so U and V need only these
// two differences, filtered and multiplied, rather than three channels.
QUORVI_VECTOR_CLONES
void pairRow(const uint8_t *__restrict src, int width, int cw, int16_t *__restrict out) {
    int16_t *__restrict rg = out;
    int16_t *__restrict bg = out + cw;
    const int pairs = width / 2;
    for (int i = 0; i < pairs; ++i) {
        // Whole pixels, R in the low byte: R and B add in one go without carrying into each
        // other (at most 510 each).
        uint32_t p0, p1;
        std::memcpy(&p0, src + 8 * i, 4);
        std::memcpy(&p1, src + 8 * i + 4, 4);
        const uint32_t rb = (p0 & 0x00ff00ff) + (p1 & 0x00ff00ff);
        const int16_t g = int16_t(((p0 >> 8) & 0xff) + ((p1 >> 8) & 0xff));
        rg[i] = int16_t(int16_t(rb & 0xffff) - g);
        bg[i] = int16_t(int16_t(rb >> 16) - g);
    }
    if (pairs < cw) {
        const uint8_t *p = src + 8 * pairs;
        rg[pairs] = int16_t(2 * (p[0] - p[1]));
        bg[pairs] = int16_t(2 * (p[2] - p[1]));
    }
}

// One chroma line from the pair differences of the four rows around it.
QUORVI_VECTOR_CLONES
void chromaRow(const int16_t *__restrict p0, const int16_t *__restrict p1,
               const int16_t *__restrict p2, const int16_t *__restrict p3, int cw,
               const Coefficients &c, uint8_t *__restrict u, uint8_t *__restrict v) {
    // 16-bit operands (differences are within +-4080) so the products are widening 16x16
    // multiplies. ur * r + ug * g + ub * b is ur * (r - g) + ub * (b - g) as ug = -ur - ub.
    const int16_t ur = int16_t(c.ur), ub = int16_t(c.ub);
    const int16_t vr = int16_t(c.vr), vb = int16_t(c.vb);
    constexpr int32_t bias = (128 << kChromaShift) + (1 << (kChromaShift - 1));
    for (int i = 0; i < cw; ++i) {
        const int16_t rg = int16_t(p0[i] + 3 * (p1[i] + p2[i]) + p3[i]);
        const int16_t bg = int16_t(p0[cw + i] + 3 * (p1[cw + i] + p2[cw + i]) + p3[cw + i]);
        u[i] = uint8_t((int32_t(ur) * rg + int32_t(ub) * bg + bias) >> kChromaShift);
        v[i] = uint8_t((int32_t(vr) * rg + int32_t(vb) * bg + bias) >> kChromaShift);
    }
}

// Columns x0 .. x1-1 (x0 even) of chroma lines j0 .. j1-1 and their luma rows.
void convert(const uint8_t *rgba, int stride, int height, int x0, int x1, int j0, int j1,
             const Coefficients &c, uint8_t *y, int yStride, uint8_t *u, int uStride, uint8_t *v,
             int vStride, int16_t *sums) {
    const int span = x1 - x0;
    const int cw = (span + 1) / 2;
    const int cx = x0 / 2;
    const auto row = [&](int r) {
        return rgba + std::ptrdiff_t(std::clamp(r, 0, height - 1)) * stride + 4 * x0;
    };
    // Pair sums of rows 2j-1 .. 2j+2 for chroma line j; each row is summed once.
    int16_t *above = sums;
    int16_t *top = above + 2 * cw;
    int16_t *bottom = top + 2 * cw;
    int16_t *below = bottom + 2 * cw;
    pairRow(row(2 * j0 - 1), span, cw, above);
    pairRow(row(2 * j0), span, cw, top);
    for (int j = j0; j < j1; ++j) {
        const int y0 = 2 * j;
        lumaRow(row(y0), span, c.y, y + std::ptrdiff_t(y0) * yStride + x0);
        if (y0 + 1 < height)
            lumaRow(row(y0 + 1), span, c.y, y + std::ptrdiff_t(y0 + 1) * yStride + x0);
        pairRow(row(y0 + 1), span, cw, bottom);
        pairRow(row(y0 + 2), span, cw, below);
        chromaRow(above, top, bottom, below, cw, c, u + std::ptrdiff_t(j) * uStride + cx,
                  v + std::ptrdiff_t(j) * vStride + cx);
        std::swap(above, bottom); // row 2j+1 is above the next line
        std::swap(top, below);    // row 2j+2 is its top
    }
}

const Coefficients &coefficientsFor(YuvConverter::Matrix matrix) {
    return matrix == YuvConverter::Matrix::Bt709 ? kBt709 : kBt601;
}

} // namespace

void YuvConverter::rgbaToI420(const uint8_t *rgba, int stride, int width, int height, Matrix matrix,
                              uint8_t *y, int yStride, uint8_t *u, int uStride, uint8_t *v,
                              int vStride) {
    rgbaToI420(rgba, stride, width, height, 0, 0, width, height, matrix, y, yStride, u, uStride, v,
               vStride);
}

void YuvConverter::rgbaToI420(const uint8_t *rgba, int stride, int width, int height, int x0,
                              int y0, int x1, int y1, Matrix matrix, uint8_t *y, int yStride,
                              uint8_t *u, int uStride, uint8_t *v, int vStride) {
    x0 = std::max(0, x0 & ~1);
    y0 = std::max(0, y0 & ~1);
    x1 = std::min(width, x1 + (x1 & 1));
    y1 = std::min(height, y1 + (y1 & 1));
    if (x1 <= x0 || y1 <= y0)
        return;
    std::vector<int16_t> sums(size_t((x1 - x0 + 1) / 2) * 2 * 4);
    convert(rgba, stride, height, x0, x1, y0 / 2, (y1 + 1) / 2, coefficientsFor(matrix), y, yStride,
            u, uStride, v, vStride, sums.data());
}
