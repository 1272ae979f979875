// 1080p RGBA to YUV 4:2:0 as the encoder does it: swscale (configured as VideoEncoder configures
// it for frames it must scale) against YuvConverter, in the same run. Then the decoder's side:
// 1080p YUV 4:2:0 to a quarter-size RGBA thumbnail, swscale scaling against ThumbnailConverter,
// with swscale's full-size conversion for scale. Plain timing loops rather than Google Benchmark,
// to print the ratios; the candidates alternate in rounds so that a neighbour loading the machine
// costs them alike, and the median round counts.
//
// BENCH_YUV_ROUNDS (default 15) rounds of BENCH_YUV_FRAMES (default 20) frames each.

#include "BenchUtil.h"
#include "input/ThumbnailConverter.h"
#include "output/YuvConverter.h"

extern "C" {
#include <libavutil/frame.h>
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

// Medians of `rounds` rounds of `frames` conversions each, the candidates taking turns.
std::vector<double> race(int rounds, int frames,
                         const std::vector<std::function<void()>> &candidates) {
    for (const auto &c : candidates)
        msPerFrame(3, c); // warm: page faults and the caches
    std::vector<std::vector<double>> ms(candidates.size());
    for (int r = 0; r < rounds; ++r)
        for (size_t i = 0; i < candidates.size(); ++i)
            ms[i].push_back(msPerFrame(frames, candidates[i]));
    std::vector<double> medians;
    for (auto &m : ms)
        medians.push_back(benchutil::median(m));
    return medians;
}

// The decoder's side: a 1080p picture as decoders hand it over, to a quarter-size RGBA
// thumbnail.
bool thumbnails(int rounds, int frames) {
    AVFrame *picture = av_frame_alloc();
    picture->width = kWidth;
    picture->height = kHeight;
    picture->format = AV_PIX_FMT_YUV420P;
    picture->colorspace = AVCOL_SPC_BT709;
    picture->color_range = AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(picture, 0) < 0)
        return false;
    uint32_t seed = 2;
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < (p ? kHeight / 2 : kHeight); ++y)
            for (int x = 0; x < (p ? kWidth / 2 : kWidth); ++x) {
                seed = seed * 1664525u + 1013904223u;
                picture->data[p][y * picture->linesize[p] + x] = uint8_t(seed >> 24);
            }
    std::vector<uint8_t> rgba(size_t(kWidth) * kHeight * 4);
    uint8_t *dst[4] = {rgba.data(), nullptr, nullptr, nullptr};
    const int thumbStride[4] = {kWidth, 0, 0, 0}, fullStride[4] = {kWidth * 4, 0, 0, 0};
    const auto context = [&](int w, int h) {
        SwsContext *sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_RGBA,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (sws)
            sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_ITU709), 0,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        return sws;
    };
    SwsContext *thumb = context(kWidth / 4, kHeight / 4), *full = context(kWidth, kHeight);
    if (!thumb || !full)
        return false;
    const std::vector<double> ms = race(
        rounds, frames,
        {[&] { sws_scale(thumb, picture->data, picture->linesize, 0, kHeight, dst, thumbStride); },
         [&] { sws_scale(full, picture->data, picture->linesize, 0, kHeight, dst, fullStride); },
         [&] { ThumbnailConverter::convert(picture, rgba.data(), thumbStride[0]); }});
    sws_freeContext(thumb);
    sws_freeContext(full);
    av_frame_free(&picture);

    std::printf("1080p YUV 4:2:0 -> RGBA, median of %d rounds x %d frames (load %s)\n", rounds,
                frames, qPrintable(benchutil::loadText()));
    std::printf("  swscale 480x270     %7.3f ms/frame\n", ms[0]);
    std::printf("  swscale 1920x1080   %7.3f ms/frame\n", ms[1]);
    std::printf("  ThumbnailConverter  %7.3f ms/frame\n", ms[2]);
    std::printf("  ratio to swscale 480x270 %7.2fx, to 1920x1080 %7.2fx\n", ms[0] / ms[2],
                ms[1] / ms[2]);
    return true;
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

    const std::vector<double> ms = race(rounds, frames, {swscale, ours});
    sws_freeContext(sws);

    const double a = ms[0], b = ms[1];
    std::printf("1080p RGBA -> YUV 4:2:0, median of %d rounds x %d frames (load %s)\n", rounds,
                frames, qPrintable(benchutil::loadText()));
    std::printf("  swscale       %7.3f ms/frame\n", a);
    std::printf("  YuvConverter  %7.3f ms/frame\n", b);
    std::printf("  ratio         %7.2fx\n", b > 0 ? a / b : 0.0);
    return thumbnails(rounds, frames) ? 0 : 1;
}
