// Display and window capture as a channel sees it: pictures of real X windows made by the test,
// stretched to the program size, and the messages an operator gets when a capture cannot run.

#include "common/OverlayFixtures.h"
#include "core/FramePool.h"
#include "input/FFmpegVideoDecoder.h"
#include "input/SourceAddress.h"
#include "platform/VitreonLoader.h"
#include "platform/X11DisplayCapture.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// After Qt: the X11 headers define macros that Qt's own would trip over.
#include "common/X11Windows.h"

#include <mutex>

using namespace x11;

namespace {

// Keeps the newest delivered picture of a decoder.
struct Receiver {
    std::mutex mutex;
    FrameTokenPtr latest; // guarded by mutex
    std::atomic<int> count{0};
    void take(FrameTokenPtr f) {
        std::lock_guard lock(mutex);
        latest = std::move(f);
        ++count;
    }
    FrameTokenPtr frame() {
        std::lock_guard lock(mutex);
        return latest;
    }
    // The colour at a point of the newest picture (0 without one).
    QRgb at(int x, int y) {
        const FrameTokenPtr f = frame();
        return f && x < f->width && y < f->height ? overlays::pixel(f, x, y).rgba() : 0;
    }
};

bool near(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) < 12 && std::abs(qGreen(a) - qGreen(b)) < 12 &&
           std::abs(qBlue(a) - qBlue(b)) < 12 && qAlpha(a) == 255;
}

} // namespace

class TestScreenCapture : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(x_.open(), "needs an X display"); }
    void cleanupTestCase() { x_.close(); }
    void init() { receiver_ = std::make_unique<Receiver>(); }
    void cleanup() {
        decoder_.reset();
        x_.clear();
    }

    // First, while the library has never been loaded in this process.
    void missingLibrary() {
        QTemporaryDir empty;
        VitreonLoader::setSearchDirectoryForTests(empty.path());
        const auto restore = qScopeGuard([] { VitreonLoader::setSearchDirectoryForTests({}); });
        const Window w = x_.make(100, 100, 320, 200, kBlue);

        play(SourceAddress::displayAddress(0) + QStringLiteral("&wgc=1"));
        QTRY_VERIFY_WITH_TIMEOUT(receiver_->count >= 1, 10000); // the plain display capture
        QCOMPARE(errors_->size(), 0);

        decoder_->setSource(SourceAddress::windowAddress(w));
        QTRY_COMPARE_WITH_TIMEOUT(errors_->size(), 1, 10000);
        QCOMPARE(
            errors_->at(0).at(0).toString(),
            QStringLiteral("未找到 libvitreon.so（请按 vitreon/README.md 编译后放到程序目录）"));
        decoder_.reset();
        VitreonLoader::setSearchDirectoryForTests({});
        QString error;
        QVERIFY2(VitreonLoader::load(&error), qPrintable(error)); // found where it belongs
    }

    // Screen 1280 x 720 (see the test's registration): every picture is stretched by 1.5.
    void displayCaptureShowsTheWindow() {
        const Window w = x_.make(200, 100, 400, 300, kGrey);
        x_.make(0, 0, 200, 150, kRed, w);
        x_.make(200, 150, 200, 150, kGreen, w);

        play(SourceAddress::displayAddress(0));
        QTRY_VERIFY_WITH_TIMEOUT(near(receiver_->at(450, 262), qRgb(255, 0, 0)), 10000);
        QVERIFY(near(receiver_->at(750, 487), qRgb(0, 255, 0)));     // green block's centre
        QVERIFY(near(receiver_->at(450, 487), qRgb(128, 128, 128))); // the background
        QVERIFY(!near(receiver_->at(100, 100), qRgb(255, 0, 0)));    // outside the window
        QCOMPARE(QSize(receiver_->frame()->width, receiver_->frame()->height), QSize(1920, 1080));
        const auto displays = X11DisplayCapture::enumerateDisplays();
        QVERIFY(displays.size() == 1 && displays[0].index == 0);
        QCOMPARE(displays[0].description, QStringLiteral("screen — 1280×720"));

        // A change on screen comes through; a still screen sends nothing new.
        x_.make(0, 0, 200, 150, kYellow, w);
        QTRY_VERIFY_WITH_TIMEOUT(near(receiver_->at(450, 262), qRgb(255, 255, 0)), 5000);
        QTest::qWait(100);
        const int settled = receiver_->count;
        QTest::qWait(300);
        QVERIFY2(receiver_->count <= settled + 1, qPrintable(QString::number(receiver_->count)));

        // Paused: nothing is delivered; playing again resumes.
        decoder_->setPlaybackState(0, false);
        QTest::qWait(100);
        const int paused = receiver_->count;
        x_.make(0, 0, 200, 150, kBlue, w);
        QTest::qWait(300);
        QCOMPARE(receiver_->count.load(), paused);
        decoder_->setPlaybackState(0, true);
        x_.make(0, 0, 200, 150, kRed, w);
        QTRY_VERIFY_WITH_TIMEOUT(near(receiver_->at(450, 262), qRgb(255, 0, 0)), 5000);
        QCOMPARE(errors_->size(), 0);
    }

    void windowCaptureSeesThroughCovers() {
        const Window w = x_.make(50, 50, 640, 360, kGrey);
        x_.make(0, 0, 320, 180, kRed, w);
        const Window child = x_.make(320, 180, 320, 180, kBlue, w);
        x_.make(0, 0, 1000, 600, kYellow); // the cover

        play(SourceAddress::windowAddress(w));
        // 640 x 360 stretched by 3: the red block's centre at (480, 270), the blue one's at
        // (1440, 810).
        QTRY_VERIFY_WITH_TIMEOUT(near(receiver_->at(480, 270), qRgb(255, 0, 0)), 10000);
        QVERIFY(near(receiver_->at(1440, 810), qRgb(0, 0, 255)));
        QVERIFY(near(receiver_->at(1440, 270), qRgb(128, 128, 128)));
        QCOMPARE(errors_->size(), 0);

        // A child window's handle captures its top-level window.
        decoder_.reset();
        receiver_ = std::make_unique<Receiver>();
        play(SourceAddress::windowAddress(child));
        QTRY_VERIFY_WITH_TIMEOUT(near(receiver_->at(480, 270), qRgb(255, 0, 0)), 10000);
    }

    void addressesThatCannotBeCaptured_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("message");
        const QString badHandle =
            QStringLiteral("wgc:// 需要有效 hwnd 参数（十进制或 0x 十六进制）");
        QTest::newRow("no such display") << SourceAddress::displayAddress(5) << "无效的显示器索引";
        QTest::newRow("closed window") << "gone" << badHandle;
        QTest::newRow("handle 0") << "wgc://capture?hwnd=0" << badHandle;
        QTest::newRow("not a number") << "wgc://capture?hwnd=zz" << badHandle;
        QTest::newRow("larger than the buffer")
            << "huge" << QStringLiteral("WGC 帧过大，请缩小窗口或提高缓冲");
    }
    void addressesThatCannotBeCaptured() {
        QFETCH(QString, address);
        QFETCH(QString, message);
        if (address == "gone")
            address = SourceAddress::windowAddress(x_.gone());
        else if (address == "huge") // larger than the screen is allowed
            address = SourceAddress::windowAddress(x_.make(0, 0, 3900, 2200, kGreen));
        play(address);
        QTRY_COMPARE_WITH_TIMEOUT(errors_->size(), 1, 10000);
        QCOMPARE(errors_->at(0).at(0).toString(), message);
        QCOMPARE(receiver_->count.load(), 0);
    }

    // Xvfb cannot change its size; a nested server that can runs inside it.
    void screenSizeChangeKeepsCapturing() {
        if (QStandardPaths::findExecutable("Xephyr").isEmpty() ||
            QStandardPaths::findExecutable("xrandr").isEmpty())
            QSKIP("needs Xephyr and xrandr (scripts/setup.sh installs them)");
        const QByteArray outer = qgetenv("DISPLAY");
        int number = 90;
        while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            ++number;
        const QString nested = QStringLiteral(":%1").arg(number);
        QProcess server;
        server.start("Xephyr", {nested, "-screen", "1280x720", "-resizeable", "-nolisten", "tcp"});
        QVERIFY(server.waitForStarted());
        const auto stopServer = qScopeGuard([&] {
            server.terminate();
            server.waitForFinished(5000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)), 10000);

        qputenv("DISPLAY", nested.toUtf8()); // the capture opens its own connection
        play(SourceAddress::displayAddress(0));
        QTRY_VERIFY_WITH_TIMEOUT(receiver_->count >= 1, 10000);
        qputenv("DISPLAY", outer);
        QCOMPARE(X11DisplayCapture::enumerateDisplays().size(), 1);

        QCOMPARE(QProcess::execute("xrandr", {"-display", nested, "-s", "1024x768"}), 0);
        // Something must change on the resized screen for a picture to come: changes keep
        // coming until one is captured, since the capture is re-created after the size change
        // and its first picture is skipped.
        const int before = receiver_->count;
        Windows inner;
        // The nested server may turn a connection away while it rebuilds its screen.
        QTRY_VERIFY_WITH_TIMEOUT((inner.dpy = XOpenDisplay(nested.toUtf8().constData())) != nullptr,
                                 5000);
        const Window w = inner.make(10, 10, 300, 200, kRed);
        for (int i = 0; i < 50 && receiver_->count <= before + 1; ++i) {
            inner.make(0, 0, 100, 100, i % 2 ? kGreen : kBlue, w);
            QTest::qWait(100);
        }
        QVERIFY(receiver_->count > before + 1);
        // Stretched from 1024 x 768: the window's corner block at (10, 10) is at (19, 14).
        QTRY_VERIFY(receiver_->at(40, 30) != 0);
        inner.close();
        QCOMPARE(errors_->size(), 0);
        QVERIFY(decoder_->isLive());
    }

private:
    void play(const QString &address) {
        decoder_ = std::make_unique<FFmpegVideoDecoder>(&pool_);
        decoder_->setThreadTag(QStringLiteral("cap"));
        Receiver *r = receiver_.get();
        decoder_->setFrameCallback([r](FrameTokenPtr f) { r->take(std::move(f)); });
        errors_ = std::make_unique<QSignalSpy>(decoder_.get(), &FFmpegVideoDecoder::decodeError);
        decoder_->setSource(address);
        decoder_->setPlaybackState(0, true);
    }

    Windows x_;
    FramePool pool_{6, 1920, 1080};
    std::unique_ptr<Receiver> receiver_;
    std::unique_ptr<FFmpegVideoDecoder> decoder_;
    std::unique_ptr<QSignalSpy> errors_;
};

QTEST_GUILESS_MAIN(TestScreenCapture)
#include "tst_ScreenCapture.moc"
