#include "input/ThumbnailConverter.h"

#include <QTest>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A 4:2:0 picture in our own buffers, rows padded to odd strides full of junk.
struct Picture {
    Bytes y, u, v; // v stays empty for NV12
    AVFrame frame{};
};

// Bars on top, gradients in the middle, noise below, in every plane, laid out on the 2x2 blocks
// (x, y) of a w x h chroma plane so that no bar or band edge splits a thumbnail's 4x4 pixels.
// Gradients and noise stay near the middle of the range: each full-size pixel must be a colour
// RGB can hold, or the reference clips it before averaging where the mean would not need
// clipping (the bars may clip, being whole blocks).
uint8_t sample(int x, int y, int w, int h, int plane) {
    static constexpr uint8_t kBars[3][8] = {{235, 210, 170, 145, 106, 81, 41, 16},
                                            {128, 16, 166, 54, 202, 90, 240, 128},
                                            {128, 146, 16, 34, 222, 240, 110, 128}};
    const int band = 3 * (y / 2) / ((h + 1) / 2);
    if (band == 0)
        return kBars[plane][8 * (x / 2) / ((w + 1) / 2)];
    if (band == 1)
        return uint8_t(plane == 0   ? 48 + 150 * x / w
                       : plane == 1 ? 112 + 32 * (y - h / 3) / std::max(1, h / 3)
                                    : 144 - 32 * x / w);
    // Noise that depends on the block alone: the converter reads the middle rows of each 4x4.
    uint32_t n = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(plane) * 83492791u;
    n = (n ^ (n >> 13)) * 0x5bd1e995u;
    n ^= n >> 15;
    return uint8_t((plane == 0 ? 100 : 98) + n % 61);
}

void makePicture(Picture &p, int w, int h, AVPixelFormat format, AVColorSpace space,
                 AVColorRange range) {
    const int cw = w / 2, ch = h / 2;
    const bool nv12 = format == AV_PIX_FMT_NV12;
    const int yStride = w + 13, cStride = (nv12 ? w : cw) + 7;
    p.y.assign(size_t(yStride) * h, 0xa5);
    p.u.assign(size_t(cStride) * ch, 0x5a);
    p.v.assign(nv12 ? 0 : size_t(cStride) * ch, 0x5a);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p.y[size_t(y) * yStride + x] = sample(x / 2, y / 2, cw, ch, 0);
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            const uint8_t u = sample(x, y, cw, ch, 1), v = sample(x, y, cw, ch, 2);
            if (nv12) {
                p.u[size_t(y) * cStride + 2 * x] = u;
                p.u[size_t(y) * cStride + 2 * x + 1] = v;
            } else {
                p.u[size_t(y) * cStride + x] = u;
                p.v[size_t(y) * cStride + x] = v;
            }
        }
    p.frame.width = w;
    p.frame.height = h;
    p.frame.format = format;
    p.frame.colorspace = space;
    p.frame.color_range = range;
    p.frame.data[0] = p.y.data();
    p.frame.data[1] = p.u.data();
    p.frame.data[2] = nv12 ? nullptr : p.v.data();
    p.frame.linesize[0] = yStride;
    p.frame.linesize[1] = p.frame.linesize[2] = cStride;
}

// swscale's full-size conversion, set up as FrameScaler sets it up, each 4x4 block averaged (the
// picture is the same over each 2x2 block, so the middle rows the converter reads stand for all).
// It gets the picture as 4:4:4 with each chroma sample repeated over its block: swscale would
// otherwise interpolate chroma between samples, and its noise would measure that rather than the
// matrix, the range and the luma averaging under test.
Bytes reference(const AVFrame &f, bool bt709, bool full) {
    const int w = f.width, h = f.height;
    const bool nv12 = f.format == AV_PIX_FMT_NV12;
    Bytes planes(size_t(w) * h * 3 + 64); // swscale reads a little past the last row
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t *c = f.data[1] + (y / 2) * f.linesize[1];
            planes[size_t(y) * w + x] = f.data[0][y * f.linesize[0] + x];
            planes[size_t(w) * h + size_t(y) * w + x] = nv12 ? c[x / 2 * 2] : c[x / 2];
            planes[size_t(w) * h * 2 + size_t(y) * w + x] =
                nv12 ? c[x / 2 * 2 + 1] : f.data[2][(y / 2) * f.linesize[2] + x / 2];
        }
    const uint8_t *src[4] = {planes.data(), planes.data() + size_t(w) * h,
                             planes.data() + size_t(w) * h * 2, nullptr};
    const int srcStride[4] = {w, w, w, 0};
    SwsContext *sws = sws_getContext(w, h, full ? AV_PIX_FMT_YUVJ444P : AV_PIX_FMT_YUV444P, w, h,
                                     AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    sws_setColorspaceDetails(sws, sws_getCoefficients(bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601), full,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    Bytes rgba(size_t(w) * (h + 1) * 4); // and may write past it
    uint8_t *dst[4] = {rgba.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {w * 4, 0, 0, 0};
    sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
    sws_freeContext(sws);
    Bytes quarter(size_t(w / 4) * (h / 4) * 4);
    for (int y = 0; y < h / 4; ++y)
        for (int x = 0; x < w / 4; ++x)
            for (int c = 0; c < 4; ++c) {
                int sum = 0;
                for (int dy = 0; dy < 4; ++dy)
                    for (int dx = 0; dx < 4; ++dx)
                        sum += rgba[(size_t(4 * y + dy) * w + 4 * x + dx) * 4 + c];
                quarter[(size_t(y) * (w / 4) + x) * 4 + c] = uint8_t((sum + 8) / 16);
            }
    return quarter;
}

} // namespace

class TestThumbnailConverter : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { av_log_set_level(AV_LOG_ERROR); } // unaligned strides warn

    void matchesSwscale_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("space");
        QTest::addColumn<int>("range");
        QTest::addColumn<bool>("bt709"); // what the reference reads it as
        QTest::addColumn<bool>("full");
        const AVColorSpace spaces[] = {AVCOL_SPC_BT709, AVCOL_SPC_SMPTE170M};
        for (const AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NV12})
            for (const AVColorSpace space : spaces)
                for (const AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG})
                    for (const QSize s : {QSize(1920, 1080), QSize(34, 18)})
                        QTest::addRow("%s %s %s %dx%d", av_get_pix_fmt_name(format),
                                      av_color_space_name(space), av_color_range_name(range),
                                      s.width(), s.height())
                            << s.width() << s.height() << int(format) << int(space) << int(range)
                            << (space == AVCOL_SPC_BT709) << (range == AVCOL_RANGE_JPEG);
        // Matrix and range the picture leaves open.
        QTest::addRow("unspecified 720p")
            << 1280 << 720 << int(AV_PIX_FMT_YUV420P) << int(AVCOL_SPC_UNSPECIFIED)
            << int(AVCOL_RANGE_UNSPECIFIED) << true << false;
        QTest::addRow("unspecified 576p")
            << 720 << 576 << int(AV_PIX_FMT_NV12) << int(AVCOL_SPC_UNSPECIFIED)
            << int(AVCOL_RANGE_UNSPECIFIED) << false << false;
        QTest::addRow("bt470bg") << 64 << 48 << int(AV_PIX_FMT_YUV420P) << int(AVCOL_SPC_BT470BG)
                                 << int(AVCOL_RANGE_MPEG) << false << false;
        QTest::addRow("yuvj420p") << 64 << 48 << int(AV_PIX_FMT_YUVJ420P)
                                  << int(AVCOL_SPC_SMPTE170M) << int(AVCOL_RANGE_UNSPECIFIED)
                                  << false << true;
        QTest::addRow("bt2020 720 lines")
            << 32 << 720 << int(AV_PIX_FMT_YUV420P) << int(AVCOL_SPC_BT2020_NCL)
            << int(AVCOL_RANGE_MPEG) << true << false;
        QTest::addRow("smallest") << 4 << 4 << int(AV_PIX_FMT_YUV420P) << int(AVCOL_SPC_BT709)
                                  << int(AVCOL_RANGE_MPEG) << true << false;
    }

    void matchesSwscale() {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(int, format);
        QFETCH(int, space);
        QFETCH(int, range);
        QFETCH(bool, bt709);
        QFETCH(bool, full);
        Picture p;
        makePicture(p, w, h, AVPixelFormat(format), AVColorSpace(space), AVColorRange(range));
        QVERIFY(ThumbnailConverter::supports(&p.frame));
        const Bytes ref = reference(p.frame, bt709, full);

        // Rows padded, and the padding must survive.
        const int rowBytes = w / 4 * 4, stride = rowBytes + 12;
        Bytes out(size_t(stride) * (h / 4), 0x77);
        ThumbnailConverter::convert(&p.frame, out.data(), stride);
        int diff[4] = {0, 0, 0, 0};
        for (int y = 0; y < h / 4; ++y) {
            for (int x = 0; x < rowBytes; ++x)
                diff[x % 4] = std::max(diff[x % 4], std::abs(int(out[size_t(y) * stride + x]) -
                                                             int(ref[size_t(y) * rowBytes + x])));
            for (int x = rowBytes; x < stride; ++x)
                QCOMPARE(out[size_t(y) * stride + x], uint8_t(0x77));
        }
        qInfo("max difference R %d G %d B %d A %d", diff[0], diff[1], diff[2], diff[3]);
        QVERIFY(*std::max_element(diff, diff + 3) <= 3);
        QCOMPARE(diff[3], 0);
    }

    void supports_data() {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<bool>("ok");
        QTest::addRow("yuv420p") << int(AV_PIX_FMT_YUV420P) << 1920 << 1080 << true;
        QTest::addRow("yuvj420p") << int(AV_PIX_FMT_YUVJ420P) << 640 << 480 << true;
        QTest::addRow("nv12") << int(AV_PIX_FMT_NV12) << 4 << 4 << true;
        QTest::addRow("too small") << int(AV_PIX_FMT_NV12) << 2 << 2 << false;
        QTest::addRow("odd width") << int(AV_PIX_FMT_YUV420P) << 1919 << 1080 << false;
        QTest::addRow("odd height") << int(AV_PIX_FMT_NV12) << 1920 << 1081 << false;
        QTest::addRow("empty") << int(AV_PIX_FMT_YUV420P) << 0 << 0 << false;
        QTest::addRow("yuv422p") << int(AV_PIX_FMT_YUV422P) << 1920 << 1080 << false;
        QTest::addRow("10-bit") << int(AV_PIX_FMT_YUV420P10LE) << 1920 << 1080 << false;
    }

    void supports() {
        QFETCH(int, format);
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(bool, ok);
        AVFrame f{};
        f.format = format;
        f.width = w;
        f.height = h;
        QCOMPARE(ThumbnailConverter::supports(&f), ok);
    }
};

QTEST_GUILESS_MAIN(TestThumbnailConverter)
#include "tst_ThumbnailConverter.moc"
