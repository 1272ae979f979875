#include "input/ThumbnailConverter.h"

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

// One output row from luma rows 4j+1 and 4j+2 and chroma rows 2j and 2j+1 (u0, v0 and u1, v1).
// The v rows are unused for NV12, whose chroma alternates U, V.
template <bool Interleaved>
[[gnu::always_inline]] inline void row(const uint8_t *__restrict y0, const uint8_t *__restrict y1,
                                       const uint8_t *__restrict u0, const uint8_t *__restrict u1,
                                       const uint8_t *__restrict v0, const uint8_t *__restrict v1,
                                       int width, const Coefficients &c, uint8_t *__restrict dst) {
    // Copies, so the loop does not reload them through the reference each pixel.
    const int16_t yOffset = c.yOffset, yk = c.y, rv = c.rv, gu = c.gu, gv = c.gv, bu = c.bu;
    for (int i = 0; i < width; ++i) {
        // Four luma samples per 32-bit load, summed in two 16-bit halves: cheaper for the
        // vectoriser than de-interleaving.
        uint32_t a, b;
        std::memcpy(&a, y0 + 4 * i, 4);
        std::memcpy(&b, y1 + 4 * i, 4);
        const uint32_t pairs =
            (a & 0x00ff00ff) + ((a >> 8) & 0x00ff00ff) + (b & 0x00ff00ff) + ((b >> 8) & 0x00ff00ff);
        const int16_t luma = int16_t((((pairs & 0xffff) + (pairs >> 16) + 4) >> 3) - yOffset);
        const int16_t ys = int16_t(mulHigh(int16_t(luma << 7), yk) + (1 << (kBits - 1)));
        int sumU, sumV;
        if constexpr (Interleaved) {
            uint32_t p, q; // U V U V
            std::memcpy(&p, u0 + 4 * i, 4);
            std::memcpy(&q, u1 + 4 * i, 4);
            const uint32_t s = (p & 0x00ff00ff) + (q & 0x00ff00ff);
            const uint32_t t = ((p >> 8) & 0x00ff00ff) + ((q >> 8) & 0x00ff00ff);
            sumU = int((s & 0xffff) + (s >> 16));
            sumV = int((t & 0xffff) + (t >> 16));
        } else {
            uint16_t p, q, r, t;
            std::memcpy(&p, u0 + 2 * i, 2);
            std::memcpy(&q, u1 + 2 * i, 2);
            std::memcpy(&r, v0 + 2 * i, 2);
            std::memcpy(&t, v1 + 2 * i, 2);
            sumU = (p & 0xff) + (p >> 8) + (q & 0xff) + (q >> 8);
            sumV = (r & 0xff) + (r >> 8) + (t & 0xff) + (t >> 8);
        }
        const int16_t cu = int16_t((((sumU + 2) >> 2) << 8) - 32768);
        const int16_t cv = int16_t((((sumV + 2) >> 2) << 8) - 32768);
        const int16_t r = int16_t(ys + mulHigh(cv, rv));
        const int16_t g = int16_t(int16_t(ys + mulHigh(cu, gu)) + mulHigh(cv, gv));
        const int16_t bl = int16_t(ys + mulHigh(cu, bu));
        const uint32_t px = channel(r) | channel(g) << 8 | channel(bl) << 16 | 0xff000000u;
        std::memcpy(dst + 4 * i, &px, 4);
    }
}

QUORVI_VECTOR_CLONES
void planarRow(const uint8_t *y0, const uint8_t *y1, const uint8_t *u0, const uint8_t *u1,
               const uint8_t *v0, const uint8_t *v1, int width, const Coefficients &c,
               uint8_t *dst) {
    row<false>(y0, y1, u0, u1, v0, v1, width, c, dst);
}

QUORVI_VECTOR_CLONES
void interleavedRow(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv0, const uint8_t *uv1,
                    int width, const Coefficients &c, uint8_t *dst) {
    row<true>(y0, y1, uv0, uv1, nullptr, nullptr, width, c, dst);
}

const Coefficients &coefficientsFor(const AVFrame *picture) {
    const bool full =
        picture->color_range == AVCOL_RANGE_JPEG || picture->format == AV_PIX_FMT_YUVJ420P;
    const ThumbnailConverter::Matrix matrix = ThumbnailConverter::matrixOf(picture);
    // Others are shown near enough with the matrix of their size.
    if (matrix == ThumbnailConverter::Matrix::Bt709 ||
        (matrix == ThumbnailConverter::Matrix::Other && picture->height >= 720))
        return full ? kBt709Full : kBt709Limited;
    return full ? kBt601Full : kBt601Limited;
}

} // namespace

ThumbnailConverter::Matrix ThumbnailConverter::matrixOf(const AVFrame *picture) {
    switch (picture->colorspace) {
    case AVCOL_SPC_BT709:
        return Matrix::Bt709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return Matrix::Bt601;
    case AVCOL_SPC_UNSPECIFIED:
        return picture->height >= 720 ? Matrix::Bt709 : Matrix::Bt601;
    default:
        return Matrix::Other;
    }
}

bool ThumbnailConverter::supports(const AVFrame *picture) {
    const int f = picture->format;
    return (f == AV_PIX_FMT_YUV420P || f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_NV12) &&
           picture->width >= 4 && picture->height >= 4 && picture->width % 2 == 0 &&
           picture->height % 2 == 0;
}

void ThumbnailConverter::convert(const AVFrame *picture, uint8_t *dst, int dstStride) {
    const Coefficients &c = coefficientsFor(picture);
    const int width = picture->width / 4;
    const bool interleaved = picture->format == AV_PIX_FMT_NV12;
    const uint8_t *const *data = picture->data;
    const int *stride = picture->linesize;
    const auto at = [&](int plane, int row) {
        return data[plane] + std::ptrdiff_t(row) * stride[plane];
    };
    for (int j = 0; j < picture->height / 4; ++j) {
        uint8_t *out = dst + std::ptrdiff_t(j) * dstStride;
        const uint8_t *y0 = at(0, 4 * j + 1), *y1 = at(0, 4 * j + 2);
        if (interleaved)
            interleavedRow(y0, y1, at(1, 2 * j), at(1, 2 * j + 1), width, c, out);
        else
            planarRow(y0, y1, at(1, 2 * j), at(1, 2 * j + 1), at(2, 2 * j), at(2, 2 * j + 1), width,
                      c, out);
    }
}
