#include "input/SourceAddress.h"
#include "platform/CaptureDevices.h"

#include <QtTest>

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;
using SA = SourceAddress;
Q_DECLARE_METATYPE(SA::Kind)

class TestSourceAddress : public QObject {
    Q_OBJECT
private slots:
    void kind_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<SA::Kind>("kind");
        QTest::newRow("camera") << u"DSHOW://capture?video=Cam"_s << SA::Kind::Camera;
        QTest::newRow("display") << u"Desktop://capture?monitor=1"_s << SA::Kind::Display;
        QTest::newRow("window") << u"wgc://capture?hwnd=0x10"_s << SA::Kind::Window;
        QTest::newRow("network") << u"udp://@:1234"_s << SA::Kind::Network;
        QTest::newRow("path") << u"/home/u/a b.mp4"_s << SA::Kind::File;
        QTest::newRow("windows path") << u"C:\\clips\\dshow.mp4"_s << SA::Kind::File;
    }
    void kind() {
        QFETCH(QString, address);
        QFETCH(SA::Kind, kind);
        QCOMPARE(SA::kindOf(address), kind);
    }

    void audioSource_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("without");
        QTest::newRow("camera")
            << u"dshow://c?video=Cam&audioSource=dshow%3A%2F%2Fc%3Faudio%3DM%2520i"_s
            << u"dshow://c?audio=M%20i"_s << u"dshow://c?video=Cam"_s;
        QTest::newRow("others kept")
            << u"rtmp://h/a?k=a%26b+c&audioSource=%20x%20&z=1&audioSource=y"_s << u"x"_s
            << u"rtmp://h/a?k=a%26b+c&z=1"_s;
        QTest::newRow("only item") << u"desktop://c?audioSource=x"_s << u"x"_s << u"desktop://c"_s;
        QTest::newRow("path as written") << u"/home/u/a b.mp4"_s << u""_s << u"/home/u/a b.mp4"_s;
        QTest::newRow("invalid url")
            << u"http://[::1?audioSource=x"_s << u"x"_s << u"http://[::1?audioSource=x"_s;
    }
    void audioSource() {
        QFETCH(QString, address);
        QFETCH(QString, source);
        QFETCH(QString, without);
        QCOMPARE(SA::audioSourceOf(address), source);
        QCOMPARE(SA::withoutAudioSource(address), without);
    }

    void deviceNames_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("video");
        QTest::addColumn<QString>("audio");
        QTest::newRow("trimmed") << u"dshow://c?video=%20Cam%201%20&audio=Mic"_s << u"Cam 1"_s
                                 << u"Mic"_s;
        QTest::newRow("blank is absent") << u"dshow://c?video=%20%20&audio="_s << u""_s << u""_s;
        QTest::newRow("host ignored") << u"DSHOW://other?audio=Mic"_s << u""_s << u"Mic"_s;
        QTest::newRow("not dshow") << u"desktop://c?video=Cam&audio=Mic"_s << u""_s << u""_s;
    }
    void deviceNames() {
        QFETCH(QString, address);
        QFETCH(QString, video);
        QFETCH(QString, audio);
        QCOMPARE(SA::deviceNames(address).video, video);
        QCOMPARE(SA::deviceNames(address).audio, audio);
        QCOMPARE(SA::isMicrophoneAddress(address), !audio.isEmpty());
    }

    void captureItems_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("monitor");
        QTest::addColumn<bool>("wgc");
        QTest::addColumn<quint64>("hwnd");
        QTest::newRow("-1, yes") << u"desktop://c?monitor=-1&wgc=yes"_s << 0 << false << quint64(0);
        QTest::newRow("abc, TRUE")
            << u"desktop://c?monitor=abc&wgc=TRUE"_s << 0 << true << quint64(0);
        QTest::newRow("2, 1") << u"Desktop://x?monitor=2&wgc=1"_s << 2 << true << quint64(0);
        QTest::newRow("hex") << u"wgc://c?hwnd=0X1A2B&monitor=2"_s << 0 << false << quint64(6699);
        QTest::newRow("decimal") << u"wgc://c?hwnd=6699"_s << 0 << false << quint64(6699);
        QTest::newRow("0xzz") << u"wgc://c?hwnd=0xzz"_s << 0 << false << quint64(0);
        QTest::newRow("not wgc") << u"desktop://c?hwnd=0x10"_s << 0 << false << quint64(0);
    }
    void captureItems() {
        QFETCH(QString, address);
        QFETCH(int, monitor);
        QFETCH(bool, wgc);
        QFETCH(quint64, hwnd);
        QCOMPARE(SA::monitorIndex(address), monitor);
        QCOMPARE(SA::usesWindowCaptureLibrary(address), wgc);
        QCOMPARE(quint64(SA::windowHandle(address)), hwnd);
    }

    // A network source must time out instead of hanging; a file or a device gets no network
    // options, and an RTMP stream is read as live.
    void networkOptions() {
        const auto has = [](const QString &address, const char *key) {
            const SA::Options options = SA::networkOptions(address);
            return std::any_of(options.begin(), options.end(),
                               [&](const auto &option) { return option.first == key; });
        };
        for (const QString &address : {u"rtmp://h/app/key"_s, u"RTMPT://h/a/k"_s, u"http://h/a"_s})
            QVERIFY2(has(address, "rw_timeout"), qPrintable(address));
        QVERIFY(has(u"rtmp://h/app/key"_s, "rtmp_live") && !has(u"http://h/a"_s, "rtmp_live"));
        QVERIFY(SA::networkOptions(u"/home/u/a.mp4"_s).empty());
        QVERIFY(SA::networkOptions(u"dshow://c?video=Cam"_s).empty());
    }

    void live_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<qint64>("durationUs");
        QTest::addColumn<bool>("live");
        const qint64 minute = 60'000'000, unknown = AV_NOPTS_VALUE;
        QTest::newRow("udp") << u"udp://@:1234"_s << minute << true;
        QTest::newRow("rtp") << u"rtp://239.0.0.1:5004"_s << minute << true;
        QTest::newRow("srtp") << u"SRTP://h:5004"_s << minute << true;
        QTest::newRow("rtmps") << u"rtmps://h/app"_s << minute << true;
        QTest::newRow("camera") << u"dshow://c?video=Cam"_s << minute << true;
        QTest::newRow("http, duration") << u"http://h/a.mp4"_s << minute << false;
        QTest::newRow("http, none") << u"http://h/live"_s << qint64(0) << true;
        QTest::newRow("http, unknown") << u"http://h/live"_s << unknown << true;
        QTest::newRow("path") << u"/home/u/a.mp4"_s << unknown << false;
    }
    void live() {
        QFETCH(QString, address);
        QFETCH(qint64, durationUs);
        QFETCH(bool, live);
        QCOMPARE(SA::isLive(address, durationUs), live);
    }

    // What the channel panel makes of typed text and what the decoder then opens: relative
    // paths are files in the working folder, never web addresses.
    void toUrl_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("localFile");
        QTest::addColumn<QString>("opened"); // empty: the text is refused
        QTest::newRow("relative") << u" clips/a b.mp4 "_s << true << u"/wd/clips/a b.mp4"_s;
        QTest::newRow("host-like name") << u"www.example.com"_s << true << u"/wd/www.example.com"_s;
        QTest::newRow("absolute") << u"/rec/a#1 %20.mkv"_s << true << u"/rec/a#1 %20.mkv"_s;
        QTest::newRow("file url") << u"file:///rec/a%23b.mp4"_s << true << u"/rec/a#b.mp4"_s;
        QTest::newRow("stream") << u"rtmp://h:1935/live/k?t=1"_s << false
                                << u"rtmp://h:1935/live/k?t=1"_s;
        QTest::newRow("camera, any case")
            << u"DSHOW://capture?video=USB%20Cam"_s << false << u"dshow://capture?video=USB Cam"_s;
        QTest::newRow("window") << u"wgc://capture?hwnd=0x1a"_s << false
                                << u"wgc://capture?hwnd=0x1a"_s;
        QTest::newRow("capture, not strict") << u"desktop://cap ture?monitor=1"_s << false << u""_s;
        QTest::newRow("blank") << u"  "_s << false << u""_s;
    }
    void toUrl() {
        QFETCH(QString, text);
        QFETCH(bool, localFile);
        QFETCH(QString, opened);
        const QUrl url = SA::toUrl(text, u"/wd"_s);
        QCOMPARE(url.isValid(), !opened.isEmpty());
        if (!url.isValid())
            return;
        QCOMPARE(url.isLocalFile(), localFile);
        QCOMPARE(SA::decoderAddress(url), opened);
    }

    void buildParseRoundTrip_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("colon") << u"Mic: 1"_s;
        QTest::newRow("backslash") << u"C:\\dev\\cam"_s;
        QTest::newRow("query delimiters") << u"A&B=C"_s;
        QTest::newRow("plus") << u"a+b c"_s;
        QTest::newRow("percent") << u"100% %26%2B"_s;
        QTest::newRow("hash") << u"x#y?z"_s;
        QTest::newRow("chinese") << QString::fromUtf8("集成 摄像头");
        QTest::newRow("everything") << QString::fromUtf8(" &=+%#:\\ 中 ");
    }
    void buildParseRoundTrip() {
        QFETCH(QString, name);
        const QString trimmed = name.trimmed();
        const QString camera = SA::cameraAddress(name, name);
        QCOMPARE(SA::kindOf(camera), SA::Kind::Camera);
        QCOMPARE(SA::deviceNames(camera).video, trimmed);
        QCOMPARE(SA::deviceNames(camera).audio, QString()); // only inside audioSource
        const QString microphone = SA::audioSourceOf(camera);
        QVERIFY(SA::isMicrophoneAddress(microphone));
        QCOMPARE(SA::deviceNames(microphone).audio, trimmed);
        QCOMPARE(SA::withoutAudioSource(camera), SA::cameraAddress(name));

        QCOMPARE(SA::deviceNames(SA::microphoneAddress(name)).audio, trimmed);
        const QString display = SA::displayAddress(2, name);
        QCOMPARE(SA::monitorIndex(display), 2);
        QCOMPARE(SA::deviceNames(SA::audioSourceOf(display)).audio, trimmed);
        const QString window = SA::windowAddress(0x1a2b, name);
        QCOMPARE(SA::windowHandle(window), uint64_t(0x1a2b));
        QCOMPARE(SA::deviceNames(SA::audioSourceOf(window)).audio, trimmed);
    }
    void builtForms() {
        QCOMPARE(SA::cameraAddress("USB Cam", "  "), "dshow://capture?video=USB%20Cam");
        QCOMPARE(SA::displayAddress(1), "desktop://capture?monitor=1");
        QCOMPARE(SA::windowAddress(0xABC), "wgc://capture?hwnd=0xabc");
        QCOMPARE(SA::audioSourceOf(SA::cameraAddress("Cam", "Mic")), "dshow://capture?audio=Mic");
        // The capture layer's device list: ':' and '\\' in a name are escaped.
        QCOMPARE(SA::deviceString("A:B\\C", "x:y"), "video=A\\:B\\\\C:audio=x\\:y");
        QCOMPARE(SA::deviceString("C", {}) + SA::deviceString({}, "M") + SA::deviceString({}, {}),
                 "video=Caudio=M");
    }

    void unknownDevicesAreInvalid() {
        const QString unknown = "Quorvi test device that does not exist";
        QVERIFY(!CaptureDevices::camera(unknown).isValid());
        QVERIFY(!CaptureDevices::microphone(unknown).isValid());
        QVERIFY(!CaptureDevices::camera(QString()).isValid());
        QVERIFY(!CaptureDevices::microphoneNames().contains(unknown));
    }
    void devicesFromAnotherThread() {
        const QStringList cameras = CaptureDevices::cameraNames();
        std::atomic<bool> done{false};
        QStringList fromWorker;
        std::thread worker([&] {
            fromWorker = CaptureDevices::cameraNames();
            done = true;
        });
        // The worker's read has to run here, on the application thread, within the time-out.
        QTRY_VERIFY_WITH_TIMEOUT(done, 2000);
        worker.join();
        QCOMPARE(fromWorker, cameras);
    }
};

QTEST_GUILESS_MAIN(TestSourceAddress)
#include "tst_SourceAddress.moc"
