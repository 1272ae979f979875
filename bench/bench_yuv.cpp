// 1080p RGBA to YUV 4:2:0 as the encoder does it: swscale (configured as VideoEncoder configures
// it for frames it must scale) against YuvConverter, in the same run. Plain timing loops rather
// than Google Benchmark, to print the ratio; the two alternate in rounds so that a neighbour
// loading the machine costs both alike, and the median round counts.
//
// BENCH_YUV_ROUNDS (default 15) rounds of BENCH_YUV_FRAMES (default 20) frames each.

#include "BenchUtil.h"
#include "output/YuvConverter.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

double msPerFrame(int frames, const std::function<void()> &convert) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i)
        convert();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
               .count() /
           frames;
}

} // namespace

int main() {
    const int rounds = benchutil::envInt("BENCH_YUV_ROUNDS", 15);
    const int frames = benchutil::envInt("BENCH_YUV_FRAMES", 20);

    // Noise: no run of equal pixels a converter could coast on.
    std::vector<uint8_t> rgba(size_t(kWidth) * kHeight * 4);
    uint32_t seed = 1;
    for (uint8_t &b : rgba) {
        seed = seed * 1664525u + 1013904223u;
        b = uint8_t(seed >> 24);
    }
    std::vector<uint8_t> y(size_t(kWidth) * kHeight), u(y.size() / 4), v(y.size() / 4);
    uint8_t *dst[3] = {y.data(), u.data(), v.data()};
    const int dstStride[3] = {kWidth, kWidth / 2, kWidth / 2};
    const uint8_t *src[1] = {rgba.data()};
    const int srcStride[1] = {kWidth * 4};

    SwsContext *sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_RGBA, kWidth, kHeight,
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws)
        return 1;
    sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), 1,
                             sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    const auto swscale = [&] { sws_scale(sws, src, srcStride, 0, kHeight, dst, dstStride); };
    const auto ours = [&] {
        YuvConverter::rgbaToI420(rgba.data(), kWidth * 4, kWidth, kHeight,
                                 YuvConverter::Matrix::Bt709, dst[0], dstStride[0], dst[1],
                                 dstStride[1], dst[2], dstStride[2]);
    };

    msPerFrame(3, swscale); // warm: page faults and the caches
    msPerFrame(3, ours);
    std::vector<double> swsMs, oursMs;
    for (int r = 0; r < rounds; ++r) {
        swsMs.push_back(msPerFrame(frames, swscale));
        oursMs.push_back(msPerFrame(frames, ours));
    }
    sws_freeContext(sws);

    const double a = benchutil::median(swsMs), b = benchutil::median(oursMs);
    std::printf("1080p RGBA -> YUV 4:2:0, median of %d rounds x %d frames (load %s)\n", rounds,
                frames, qPrintable(benchutil::loadText()));
    std::printf("  swscale       %7.3f ms/frame\n", a);
    std::printf("  YuvConverter  %7.3f ms/frame\n", b);
    std::printf("  ratio         %7.2fx\n", b > 0 ? a / b : 0.0);
    return 0;
}
