#include "output/YuvConverter.h"

#include <QRandomGenerator>
#include <QTest>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <vector>

namespace {

struct Planes {
    int w, h, cw, ch;
    std::vector<uint8_t> y, u, v;
    Planes(int width, int height)
        : w(width), h(height), cw((width + 1) / 2), ch((height + 1) / 2), y(size_t(w) * h),
          u(size_t(cw) * ch), v(size_t(cw) * ch) {}
};

// Colour bars on top, a gradient in the middle, noise below; the row padding is junk that
// must not leak into the output.
std::vector<uint8_t> testCard(int w, int h, int stride) {
    std::vector<uint8_t> px(size_t(stride) * h, 0xa5);
    QRandomGenerator rng(7);
    static const uint8_t bars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                       {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t *p = &px[size_t(y) * stride + 4 * x];
            const int band = 3 * y / h;
            for (int c = 0; c < 3; ++c)
                p[c] = band == 0   ? bars[8 * x / w][c]
                       : band == 1 ? uint8_t((x * 255 / std::max(1, w - 1) + 85 * c) % 256)
                                   : uint8_t(rng.bounded(256));
            p[3] = 255;
        }
    return px;
}

// Today's encoder path. swscale reads one pixel past an odd row and resamples odd heights, so
// odd sizes are checked against it on the picture with its last column and row repeated.
// Below 8 rows it shortens its chroma filter, hence no such heights here.
Planes reference(const std::vector<uint8_t> &px, int w, int h, int stride, bool bt709) {
    const int ew = w + (w & 1), eh = h + (h & 1);
    std::vector<uint8_t> even(size_t(ew) * 4 * eh);
    for (int y = 0; y < eh; ++y)
        for (int x = 0; x < ew; ++x)
            std::copy_n(&px[size_t(std::min(y, h - 1)) * stride + 4 * std::min(x, w - 1)], 4,
                        &even[(size_t(y) * ew + x) * 4]);
    Planes full(ew, eh);
    SwsContext *sws = sws_getContext(ew, eh, AV_PIX_FMT_RGBA, ew, eh, AV_PIX_FMT_YUV420P,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    const int m = bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    sws_setColorspaceDetails(sws, sws_getCoefficients(m), 1, sws_getCoefficients(m), 0, 0, 1 << 16,
                             1 << 16);
    const uint8_t *src[1] = {even.data()};
    const int srcStride[1] = {ew * 4};
    uint8_t *dst[3] = {full.y.data(), full.u.data(), full.v.data()};
    const int dstStride[3] = {ew, full.cw, full.cw};
    sws_scale(sws, src, srcStride, 0, eh, dst, dstStride);
    sws_freeContext(sws);
    Planes out(w, h);
    for (int y = 0; y < h; ++y)
        std::copy_n(&full.y[size_t(y) * ew], w, &out.y[size_t(y) * w]);
    out.u = full.u; // same chroma size either way
    out.v = full.v;
    return out;
}

int maxDiff(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    int m = 0;
    for (size_t i = 0; i < a.size(); ++i)
        m = std::max(m, std::abs(int(a[i]) - int(b[i])));
    return m;
}

} // namespace

class TestYuvConverter : public QObject {
    Q_OBJECT
private slots:
    void matchesSwscale_data();
    void matchesSwscale();
};

void TestYuvConverter::matchesSwscale_data() {
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<bool>("bt709");
    for (const bool bt709 : {false, true}) {
        const char *m = bt709 ? "709" : "601";
        QTest::addRow("1920x1080 %s", m) << 1920 << 1080 << bt709;
        QTest::addRow("17x9 %s", m) << 17 << 9 << bt709;
        QTest::addRow("16x9 %s", m) << 16 << 9 << bt709;
        QTest::addRow("33x10 %s", m) << 33 << 10 << bt709;
        QTest::addRow("1x1 %s", m) << 1 << 1 << bt709;
    }
}

void TestYuvConverter::matchesSwscale() {
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(bool, bt709);
    const int stride = w * 4 + 12;
    const std::vector<uint8_t> px = testCard(w, h, stride);
    const Planes ref = reference(px, w, h, stride, bt709);
    Planes ours(w, h);
    YuvConverter::rgbaToI420(px.data(), stride, w, h,
                             bt709 ? YuvConverter::Matrix::Bt709 : YuvConverter::Matrix::Bt601,
                             ours.y.data(), w, ours.u.data(), ours.cw, ours.v.data(), ours.cw);
    const int dy = maxDiff(ours.y, ref.y), du = maxDiff(ours.u, ref.u), dv = maxDiff(ours.v, ref.v);
    qInfo("max difference Y %d U %d V %d", dy, du, dv);
    QVERIFY(dy <= 2);
    QVERIFY(du <= 2);
    QVERIFY(dv <= 2);
}

QTEST_GUILESS_MAIN(TestYuvConverter)
#include "tst_YuvConverter.moc"
