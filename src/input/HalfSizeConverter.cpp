#include "input/HalfSizeConverter.h"

#include "core/VectorClones.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <cstddef>
#include <cstring>

namespace {

// Sums carry 5 fraction bits: the brightest limited-range red plus its chroma term stays below
// 2^15. Every product is the high half of a 16x16 multiply (one instruction per lane), so the
// operands are pre-shifted to fill 16 bits: luma by 7, chroma (centred) by 8.
constexpr int kBits = 5;

struct Coefficients {
    int16_t yOffset;
    int16_t y;              // luma gain, x 2^14
    int16_t rv, gu, gv, bu; // chroma terms, x 2^13
};

constexpr int16_t fixed(double v, int shift) {
    const double s = v * (1 << shift);
    return int16_t(s < 0 ? s - 0.5 : s + 0.5);
}

constexpr Coefficients coefficients(double kr, double kb, bool full) {
    const double kg = 1.0 - kr - kb;
    const double ys = full ? 1.0 : 255.0 / 219.0;
    const double cs = full ? 1.0 : 255.0 / 224.0;
    return {int16_t(full ? 0 : 16),
            fixed(ys, 14),
            fixed(cs * 2 * (1 - kr), 13),
            fixed(-cs * 2 * kb * (1 - kb) / kg, 13),
            fixed(-cs * 2 * kr * (1 - kr) / kg, 13),
            fixed(cs * 2 * (1 - kb), 13)};
}

constexpr Coefficients kBt601Limited = coefficients(0.299, 0.114, false);
constexpr Coefficients kBt601Full = coefficients(0.299, 0.114, true);
constexpr Coefficients kBt709Limited = coefficients(0.2126, 0.0722, false);
constexpr Coefficients kBt709Full = coefficients(0.2126, 0.0722, true);

[[gnu::always_inline]] inline int16_t mulHigh(int16_t a, int16_t b) {
    return int16_t((int32_t(a) * b) >> 16);
}

[[gnu::always_inline]] inline uint32_t channel(int16_t sum) {
    // Not std::clamp: under ThreadSanitizer the uninstrumented loop cannot inline it, and an
    // instrumented call per channel made thumbnails slow enough to starve the program.
    const int16_t v = int16_t(sum >> kBits);
    return uint32_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// One output row from luma rows 2j and 2j+1 and chroma row j. `v` is unused for NV12, whose
// chroma alternates U, V.
template <bool Interleaved>
[[gnu::always_inline]] inline void row(const uint8_t *__restrict y0, const uint8_t *__restrict y1,
                                       const uint8_t *__restrict u, const uint8_t *__restrict v,
                                       int width, const Coefficients &c, uint8_t *__restrict dst) {
    // Copies, so the loop does not reload them through the reference each pixel.
    const int16_t yOffset = c.yOffset, yk = c.y, rv = c.rv, gu = c.gu, gv = c.gv, bu = c.bu;
    for (int i = 0; i < width; ++i) {
        // Two luma samples per 16-bit load: adding the halves is cheaper than de-interleaving.
        uint16_t a, b;
        std::memcpy(&a, y0 + 2 * i, 2);
        std::memcpy(&b, y1 + 2 * i, 2);
        const int16_t luma =
            int16_t((((a & 0xff) + (a >> 8) + (b & 0xff) + (b >> 8) + 2) >> 2) - yOffset);
        const int16_t ys = int16_t(mulHigh(int16_t(luma << 7), yk) + (1 << (kBits - 1)));
        int16_t cu, cv;
        if constexpr (Interleaved) {
            uint16_t w;
            std::memcpy(&w, u + 2 * i, 2);
            cu = int16_t(((w & 0xff) << 8) - 32768);
            cv = int16_t((w & 0xff00) - 32768);
        } else {
            cu = int16_t((u[i] << 8) - 32768);
            cv = int16_t((v[i] << 8) - 32768);
        }
        const int16_t r = int16_t(ys + mulHigh(cv, rv));
        const int16_t g = int16_t(int16_t(ys + mulHigh(cu, gu)) + mulHigh(cv, gv));
        const int16_t bl = int16_t(ys + mulHigh(cu, bu));
        const uint32_t px = channel(r) | channel(g) << 8 | channel(bl) << 16 | 0xff000000u;
        std::memcpy(dst + 4 * i, &px, 4);
    }
}

QUORVI_VECTOR_CLONES
void planarRow(const uint8_t *y0, const uint8_t *y1, const uint8_t *u, const uint8_t *v, int width,
               const Coefficients &c, uint8_t *dst) {
    row<false>(y0, y1, u, v, width, c, dst);
}

QUORVI_VECTOR_CLONES
void interleavedRow(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, int width,
                    const Coefficients &c, uint8_t *dst) {
    row<true>(y0, y1, uv, nullptr, width, c, dst);
}

const Coefficients &coefficientsFor(const AVFrame *picture) {
    const bool full =
        picture->color_range == AVCOL_RANGE_JPEG || picture->format == AV_PIX_FMT_YUVJ420P;
    bool bt709;
    switch (picture->colorspace) {
    case AVCOL_SPC_BT709:
        bt709 = true;
        break;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        bt709 = false;
        break;
    default:
        bt709 = picture->height >= 720;
        break;
    }
    if (bt709)
        return full ? kBt709Full : kBt709Limited;
    return full ? kBt601Full : kBt601Limited;
}

} // namespace

bool HalfSizeConverter::supports(const AVFrame *picture) {
    const int f = picture->format;
    return (f == AV_PIX_FMT_YUV420P || f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_NV12) &&
           picture->width >= 2 && picture->height >= 2 && picture->width % 2 == 0 &&
           picture->height % 2 == 0;
}

void HalfSizeConverter::convert(const AVFrame *picture, uint8_t *dst, int dstStride) {
    const Coefficients &c = coefficientsFor(picture);
    const int width = picture->width / 2;
    const bool interleaved = picture->format == AV_PIX_FMT_NV12;
    const uint8_t *const *data = picture->data;
    const int *stride = picture->linesize;
    for (int j = 0; j < picture->height / 2; ++j) {
        const uint8_t *y0 = data[0] + std::ptrdiff_t(2 * j) * stride[0];
        const uint8_t *u = data[1] + std::ptrdiff_t(j) * stride[1];
        uint8_t *out = dst + std::ptrdiff_t(j) * dstStride;
        if (interleaved)
            interleavedRow(y0, y0 + stride[0], u, width, c, out);
        else
            planarRow(y0, y0 + stride[0], u, data[2] + std::ptrdiff_t(j) * stride[2], width, c,
                      out);
    }
}
