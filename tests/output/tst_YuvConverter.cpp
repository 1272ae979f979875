#include "core/FrameToken.h"
#include "core/LibavPtr.h"
#include "output/VideoEncoder.h"
#include "output/YuvConverter.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTest>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Colour bars on top, a gradient in the middle, noise below, with junk in the row padding.
Bytes testCard(int w, int h, int stride) {
    Bytes px(size_t(stride) * h, 0xa5);
    QRandomGenerator rng(7);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t *p = &px[size_t(y) * stride + 4 * x];
            const int bar = 7 - 8 * x / w, band = 3 * y / h;
            for (int c = 0; c < 3; ++c)
                p[c] = band == 0   ? uint8_t((bar >> (2 - c) & 1) * 255)
                       : band == 1 ? uint8_t((x * 255 / std::max(1, w - 1) + 85 * c) % 256)
                                   : uint8_t(rng.bounded(256));
            p[3] = 255;
        }
    return px;
}

// Every byte random, row padding included.
Bytes noise(int h, int stride) {
    Bytes px(size_t(stride) * h);
    QRandomGenerator rng(h * 7919 + stride);
    for (uint8_t &b : px)
        b = uint8_t(rng.bounded(256));
    return px;
}

// Y, U, V planes packed. The reference is the encoder's swscale set-up; swscale reads past an
// odd row and resamples odd heights, so it gets the picture with the last column and row
// repeated (and shortens its filter below 8 rows, hence no such heights).
Bytes convert(const Bytes &px, int w, int h, int stride, bool bt709, bool ours) {
    const int ew = w + (w & 1), eh = h + (h & 1), cw = ew / 2;
    Bytes out(size_t(ew) * eh + size_t(cw) * eh);
    uint8_t *dst[3] = {out.data(), out.data() + size_t(ew) * eh,
                       out.data() + size_t(ew) * eh + size_t(cw) * eh / 2};
    if (ours) {
        YuvConverter::rgbaToI420(px.data(), stride, w, h,
                                 bt709 ? YuvConverter::Matrix::Bt709 : YuvConverter::Matrix::Bt601,
                                 dst[0], ew, dst[1], cw, dst[2], cw);
        return out;
    }
    Bytes even(size_t(ew) * 4 * eh);
    for (int y = 0; y < eh; ++y)
        for (int x = 0; x < ew; ++x)
            std::copy_n(&px[size_t(std::min(y, h - 1)) * stride + 4 * std::min(x, w - 1)], 4,
                        &even[(size_t(y) * ew + x) * 4]);
    SwsContext *sws = sws_getContext(ew, eh, AV_PIX_FMT_RGBA, ew, eh, AV_PIX_FMT_YUV420P,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    const int *m = sws_getCoefficients(bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(sws, m, 1, m, 0, 0, 1 << 16, 1 << 16);
    const uint8_t *src[1] = {even.data()};
    const int srcStride[1] = {ew * 4}, dstStride[3] = {ew, cw, cw};
    sws_scale(sws, src, srcStride, 0, eh, dst, dstStride);
    sws_freeContext(sws);
    for (int y = h; y < eh; ++y) // the repeated row is not ours to compare
        std::fill_n(&out[size_t(y) * ew], ew, 0);
    for (int y = 0; y < h && w < ew; ++y)
        out[size_t(y) * ew + w] = 0;
    return out;
}

} // namespace

class TestYuvConverter : public QObject {
    Q_OBJECT
private slots:
    void matchesSwscale_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<bool>("bt709");
        for (const bool bt709 : {false, true})
            for (const QSize s :
                 {QSize(1920, 1080), QSize(17, 9), QSize(16, 9), QSize(33, 10), QSize(1, 1)})
                QTest::addRow("%dx%d %s", s.width(), s.height(), bt709 ? "709" : "601")
                    << s.width() << s.height() << bt709;
    }

    void matchesSwscale() {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(bool, bt709);
        const int stride = w * 4 + 12;
        const Bytes px = testCard(w, h, stride);
        const Bytes ref = convert(px, w, h, stride, bt709, false);
        const Bytes ours = convert(px, w, h, stride, bt709, true);
        const size_t ySize = size_t(w + (w & 1)) * (h + (h & 1)), cSize = (ref.size() - ySize) / 2;
        int diff[3] = {0, 0, 0};
        for (size_t i = 0; i < ref.size(); ++i) {
            const int plane = i < ySize ? 0 : i < ySize + cSize ? 1 : 2;
            diff[plane] = std::max(diff[plane], std::abs(int(ours[i]) - int(ref[i])));
        }
        qInfo("max difference Y %d U %d V %d", diff[0], diff[1], diff[2]);
        QVERIFY(*std::max_element(diff, diff + 3) <= 2);
    }

    // The encoder's picture comes from the decoded source outside the rectangles drawn on
    // (widened to even bounds, clipped to the picture) and from the RGBA inside them, exactly
    // as a whole conversion gives it there; when the source cannot stand for the pixels
    // (another matrix or size, drawn over almost whole) the RGBA is converted whole.
    void encoderTakesTheSourceOutsideDrawing_data() {
        QTest::addColumn<bool>("sourceBt709");
        QTest::addColumn<int>("sourceWidth");
        QTest::addColumn<QList<QRect>>("drawn");
        QTest::addColumn<bool>("fromSource");
        const QList<QRect> two{QRect(5, 3, 20, 11), QRect(25, 23, 20, 11)};
        QTest::newRow("odd bounds") << false << 64 << two << true;
        QTest::newRow("past the edges")
            << false << 64 << QList<QRect>{QRect(-5, -5, 12, 8), QRect(57, 31, 20, 20)} << true;
        QTest::newRow("not drawn on") << false << 64 << QList<QRect>() << true;
        QTest::newRow("other matrix") << true << 64 << two << false;
        QTest::newRow("other size") << false << 66 << two << false;
        QTest::newRow("mostly drawn") << false << 64 << QList<QRect>{QRect(0, 0, 60, 36)} << false;
    }

    void encoderTakesTheSourceOutsideDrawing() {
        QFETCH(bool, sourceBt709);
        QFETCH(int, sourceWidth);
        QFETCH(QList<QRect>, drawn);
        QFETCH(bool, fromSource);
        constexpr int w = 64, h = 36; // below HD: the encoder tags BT.601
        VideoEncoder encoder([](AVPacket *) {});
        QVERIFY(encoder.openCodec(w, h, {}));
        QVERIFY(encoder.allocatePicture());

        AVFrame *decoded = av_frame_alloc();
        decoded->format = AV_PIX_FMT_YUV420P;
        decoded->width = sourceWidth;
        decoded->height = h;
        QVERIFY(av_frame_get_buffer(decoded, 0) >= 0);
        for (int p = 0; p < 3; ++p)
            for (int row = 0; row < (p ? h / 2 : h); ++row)
                for (int x = 0; x < (p ? sourceWidth / 2 : sourceWidth); ++x)
                    decoded->data[p][row * decoded->linesize[p] + x] =
                        uint8_t(40 + 50 * p + x + row);
        FrameToken frame;
        frame.width = w;
        frame.height = h;
        frame.stride = w * 4 + 12;
        const Bytes px = testCard(w, h, frame.stride);
        frame.data = QByteArray(reinterpret_cast<const char *>(px.data()), qsizetype(px.size()));
        frame.source = std::shared_ptr<const AVFrame>(decoded, libav::FrameDeleter());
        frame.sourceBt709 = sourceBt709;
        frame.paintedRects = drawn;
        QVERIFY(encoder.convert(frame));

        const Bytes whole = convert(px, w, h, frame.stride, false, true); // Y, U, V packed
        const uint8_t *planes[3] = {whole.data(), whole.data() + w * h,
                                    whole.data() + w * h + w * h / 4};
        const AVFrame *out = encoder.picture();
        int mismatches = 0;
        for (int p = 0; p < 3; ++p) {
            const int sub = p ? 2 : 1;
            for (int row = 0; row < h / sub; ++row)
                for (int x = 0; x < w / sub; ++x) {
                    const bool painted = std::any_of(drawn.cbegin(), drawn.cend(), [&](QRect r) {
                        r.setCoords(r.left() & ~1, r.top() & ~1, r.right() | 1, r.bottom() | 1);
                        return r.contains(x * sub, row * sub);
                    });
                    const uint8_t expected = fromSource && !painted
                                                 ? decoded->data[p][row * decoded->linesize[p] + x]
                                                 : planes[p][row * (w / sub) + x];
                    mismatches += out->data[p][row * out->linesize[p] + x] != expected;
                }
        }
        QCOMPARE(mismatches, 0);
    }

    // The output of a version known to be right, byte for byte: faster code must not move a
    // single code value.
    void unchanged_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<bool>("bt709");
        QTest::addColumn<bool>("card");
        QTest::addColumn<QByteArray>("md5");
        // From the conversion before it was vectorised by pixel halves and colour differences.
        const char *sums[] = {
            "2b676bd9b3d5263bb3e40d9ef0d46c16", "70f54de8ff0c7892d19b2b0356d585ae",
            "aabb2d1b640687e5c1ac9b38c3643b6f", "5ceac730123919c791958ff1ac9edd86",
            "2214194d0a5457d5dd3181991204d0bb", "b5038db7232fc97660d7bd5d711aff18",
            "8d66d03bd7bc5e3be39d032a86874687", "10ccb61df0f2ae0680c0dd3ba74c84fa",
            "791ac551617f2b2f529b92448c0c01bb", "ee44ca4f6285e9c529b9ab7de65a5bc7",
            "4885859eea75344cccafa149e9a6c994", "b5038db7232fc97660d7bd5d711aff18",
            "cc1bc21025cba561fe0a9e94158a167d", "311433fc412ae77fa7067c1df6062908",
            "244816a47b230b80ebc60d406870f10b", "652ca0061953f5898efe62d3c72a7010",
            "23457a0e070383b2e3a45bbb216acbf1", "e0f1281bd0dfee35e3d77c7982980065",
            "5cbf8656f60cfc07b3779c57dd0e453e", "89da42d36cbfb4c9a71d15648c42dd63",
            "432ce5548c4f53ca59c323c180aa5305", "9ffc2eeecc389b15af09f1c74a5baca5",
            "885dd795beb9f485e19cc723d26684a2", "7fe468fc7fa95fa48da44e27b941c350"};
        int i = 0;
        for (const bool card : {true, false})
            for (const bool bt709 : {false, true})
                for (const QSize s : {QSize(1920, 1080), QSize(641, 361), QSize(33, 10),
                                      QSize(17, 9), QSize(2, 3), QSize(1, 1)})
                    QTest::addRow("%s %dx%d %s", card ? "card" : "noise", s.width(), s.height(),
                                  bt709 ? "709" : "601")
                        << s.width() << s.height() << bt709 << card << QByteArray(sums[i++]);
    }

    void unchanged() {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(bool, bt709);
        QFETCH(bool, card);
        QFETCH(QByteArray, md5);
        const int stride = w * 4 + 12;
        const Bytes px = card ? testCard(w, h, stride) : noise(h, stride);
        const Bytes out = convert(px, w, h, stride, bt709, true);
        QCOMPARE(QCryptographicHash::hash(QByteArrayView(out.data(), qsizetype(out.size())),
                                          QCryptographicHash::Md5)
                     .toHex(),
                 md5);
    }
};

QTEST_GUILESS_MAIN(TestYuvConverter)
#include "tst_YuvConverter.moc"
