// Streams the program in real time to receivers on loopback (a socket for UDP, ffmpeg for HTTP,
// nginx for RTMP) and reads back what each recorded: the codecs and every frame's counter. Also
// a server that hangs, refuses, goes away and comes back, or comes up late.

#include "common/ChildProcess.h"
#include "common/EncodedFrames.h"
#include "common/MediaFixtures.h"
#include "common/SlowFactor.h"
#include "common/StreamPeers.h"
#include "output/FfmpegEncoderSink.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace encoded;

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kFrames = 120; // 4 s
// A stream may join a little after the start, at a keyframe.
constexpr int kLatestFirstFrame = 75;

// True while something here listens on TCP `port`. Read from the kernel, so that a one-shot
// listener is not used up by looking.
bool listening(quint16 port) {
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        const QByteArrayList rows = testutil::lines(testutil::readFile(table));
        for (qsizetype i = 1; i < rows.size(); ++i) {
            const QByteArrayList f = rows[i].simplified().split(' ');
            if (f.size() < 4)
                continue;
            bool ok = false;
            const uint local = f[1].mid(f[1].lastIndexOf(':') + 1).toUInt(&ok, 16);
            if (ok && local == port && f[3] == "0A")
                return true;
        }
    }
    return false;
}

// Saves every datagram sent to a loopback port, in order: the stream as a receiver got it.
class UdpCapture {
public:
    ~UdpCapture() { stop(); }
    // The port, or 0.
    quint16 start(const QString &path) {
        file_.setFileName(path);
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        const int buffer = 8 << 20;
        const timeval tick{0, 50000};
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &length) != 0 ||
            !file_.open(QIODevice::WriteOnly))
            return 0;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        thread_ = std::thread([this] {
            std::vector<char> datagram(65536);
            while (!stop_) {
                const ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), 0);
                if (n > 0)
                    file_.write(datagram.data(), n);
            }
            file_.close();
        });
        return ntohs(a.sin_port);
    }
    void stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    QFile file_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// nginx with the RTMP module on a port of our choosing, kept across restarts, recording every
// published stream to "<name>-<time>.flv", one file per publishing session.
class RtmpRecorder {
public:
    explicit RtmpRecorder(quint16 port) : port_(port) {}
    ~RtmpRecorder() { stop(); }

    bool start(QString *error) {
        if (!dir_.isValid() || !peers::NginxRtmpServer::available() || port_ == 0) {
            *error = QStringLiteral("nginx or its RTMP module is missing");
            return false;
        }
        QDir(dir_.path()).mkpath("rec");
        QFile conf(dir_.filePath("nginx.conf"));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        conf.write(QStringLiteral("load_module %1;\ndaemon off;\nmaster_process off;\n"
                                  "error_log %2/error.log;\npid %2/nginx.pid;\nevents {}\n"
                                  "rtmp { server { listen 127.0.0.1:%3;\n"
                                  "  application live { live on; record all;\n"
                                  "    record_path %2/rec; record_unique on; } } }\n")
                       .arg(peers::NginxRtmpServer::modulePath(), dir_.path())
                       .arg(port_)
                       .toUtf8());
        conf.close();
        proc_.setProcessChannelMode(QProcess::MergedChannels);
        proc_.start(
            peers::NginxRtmpServer::nginxPath(),
            {"-c", conf.fileName(), "-p", dir_.path() + "/", "-e", dir_.filePath("error.log")});
        if (proc_.waitForStarted(5000) &&
            testutil::waitUntil(
                [&] { return listening(port_) || proc_.state() != QProcess::Running; }, 10000) &&
            proc_.state() == QProcess::Running)
            return true;
        peers::endProcess(proc_, 3000);
        *error =
            QString::fromUtf8(proc_.readAll() + testutil::readFile(dir_.filePath("error.log")));
        return false;
    }
    void stop() { peers::endProcess(proc_, 5000); }

    QString url(const QString &name) const {
        return QStringLiteral("rtmp://127.0.0.1:%1/live/%2").arg(port_).arg(name);
    }
    QStringList recordings(const QString &name) const {
        QStringList files =
            QDir(dir_.filePath("rec")).entryList({name + "-*.flv"}, QDir::Files, QDir::Name);
        for (QString &f : files)
            f = dir_.filePath("rec/" + f);
        return files;
    }

private:
    QTemporaryDir dir_;
    QProcess proc_;
    quint16 port_;
};

enum Kind { File, Udp, Http, Rtmp, HungRtmp, RefusedRtmp };

struct Output {
    Kind kind;
    QString label;
    StreamTarget target;
    QString recording; // a file, or the nginx stream name
    std::unique_ptr<QProcess> receiver;
    std::unique_ptr<UdpCapture> capture;
};

// The outputs of one run and the peers behind them, all owned by the test.
class Rig {
public:
    Rig() : nginx(peers::freeTcpPort()) {}

    bool setUp(const QList<int> &kinds, QString *error) {
        bool nginxStarted = false;
        for (int k : kinds) {
            Output o{Kind(k), {}, {}, {}, {}, {}};
            const QString n = QString::number(outputs.size());
            switch (o.kind) {
            case File:
                o.label = "file";
                o.recording = filePath = dir.filePath("program.mp4");
                break;
            case Udp: {
                o.label = "udp " + n;
                o.recording = dir.filePath("udp" + n + ".ts");
                o.capture = std::make_unique<UdpCapture>();
                const quint16 port = o.capture->start(o.recording);
                if (port == 0) {
                    *error = "cannot receive UDP";
                    return false;
                }
                o.target = {QStringLiteral("udp://127.0.0.1:%1?pkt_size=1316").arg(port), "mpegts"};
                break;
            }
            case Http: {
                const quint16 port = peers::freeTcpPort();
                o.label = "http " + n;
                o.target = {QStringLiteral("http://127.0.0.1:%1/program.ts").arg(port), "mpegts"};
                o.recording = dir.filePath("http" + n + ".ts");
                o.receiver = std::make_unique<QProcess>();
                o.receiver->start("ffmpeg",
                                  {"-hide_banner", "-loglevel", "error", "-nostdin", "-listen", "1",
                                   "-i", o.target.url, "-c", "copy", "-f", "mpegts", o.recording});
                if (!testutil::waitUntil([&] { return listening(port); }, 10000)) {
                    *error = "the HTTP receiver did not start";
                    return false;
                }
                break;
            }
            case Rtmp:
                if (!nginxStarted && !nginx.start(error))
                    return false;
                nginxStarted = true;
                o.label = "rtmp " + n;
                o.recording = "s" + n;
                o.target = {nginx.url(o.recording), "flv"};
                break;
            case HungRtmp:
                if (!silent.listen()) {
                    *error = "cannot listen";
                    return false;
                }
                o.label = "hung rtmp";
                o.target = {QStringLiteral("rtmp://127.0.0.1:%1/live/hung").arg(silent.port()),
                            "flv"};
                break;
            case RefusedRtmp:
                o.label = "refused rtmp";
                o.target = {
                    QStringLiteral("rtmp://127.0.0.1:%1/live/refused").arg(peers::freeTcpPort()),
                    "flv"};
                break;
            }
            outputs.push_back(std::move(o));
        }
        return true;
    }

    std::vector<StreamTarget> streams() const {
        std::vector<StreamTarget> out;
        for (const Output &o : outputs)
            if (o.kind != File)
                out.push_back(o.target);
        return out;
    }

    // After the sink closed: the receivers write out what they got and nginx closes its files.
    void finishPeers() {
        for (Output &o : outputs) {
            if (o.capture) {
                QTest::qWait(200); // the last datagrams
                o.capture->stop();
            }
            if (o.receiver && !o.receiver->waitForFinished(5000))
                peers::endProcess(*o.receiver, 5000);
        }
        nginx.stop();
    }

    // The recordings of one output, oldest first.
    QStringList recordingsOf(const Output &o) const {
        if (o.kind == Rtmp)
            return nginx.recordings(o.recording);
        return QFileInfo::exists(o.recording) ? QStringList{o.recording} : QStringList();
    }

    QTemporaryDir dir;
    RtmpRecorder nginx;
    peers::SilentTcpPeer silent;
    QString filePath;
    std::vector<Output> outputs;
};

// Writes numbered frames with their sound at 30 fps on an encoding thread of its own, as the
// program does, then closes the sink there.
class RealTimeFeed {
public:
    RealTimeFeed(FfmpegEncoderSink &sink, int frames) : sink_(sink), frames_(frames) {}
    ~RealTimeFeed() {
        if (thread_.joinable()) {
            stop_ = true;
            sink_.requestAbort();
            thread_.join();
        }
    }
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() { stop_ = true; }
    bool finish(int ms) {
        if (!testutil::waitUntil([&] { return done_.load(); }, ms))
            return false;
        thread_.join();
        return true;
    }
    int written() const { return written_; }
    int64_t longestWriteMs() const { return longestWriteMs_; }
    int64_t closeMs() const { return closeMs_; }

private:
    void run() {
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < frames_ && !stop_; ++i) {
            const int64_t waitUs = i * kFrameUs - clock.nsecsElapsed() / 1000;
            if (waitUs > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(waitUs));
            FrameTokenPtr frame = programFrame(i, kWidth, kHeight, i * kFrameUs);
            sine_.fill(pcm_.data(), kPcmPerFrame);
            QElapsedTimer call;
            call.start();
            sink_.writeFrame(frame, pcm_.data(), kPcmPerFrame);
            longestWriteMs_ = std::max<int64_t>(longestWriteMs_, call.elapsed());
            written_ = i + 1;
        }
        QElapsedTimer call;
        call.start();
        sink_.close();
        closeMs_ = call.elapsed();
        done_ = true;
    }

    static constexpr int kPcmPerFrame = 1600;
    FfmpegEncoderSink &sink_;
    const int frames_;
    Sine sine_;
    std::vector<int16_t> pcm_ = std::vector<int16_t>(2 * kPcmPerFrame);
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<int> written_{0};
    std::atomic<int64_t> longestWriteMs_{0};
    std::atomic<int64_t> closeMs_{0};
};

FfmpegEncoderSink::OutputStatus statusOf(const FfmpegEncoderSink &sink, const QString &url) {
    for (const auto &s : sink.outputStatus())
        if (s.url == url)
            return s;
    return {};
}

QString describe(const FfmpegEncoderSink::OutputStatus &s) {
    return QStringLiteral("%1 open=%2 attempts=%3 written=%4 dropped=%5")
        .arg(s.url)
        .arg(s.open)
        .arg(s.attempts)
        .arg(s.packetsWritten)
        .arg(s.packetsDropped);
}

// Empty when the recording has both codecs and its counters run without a gap up to the last
// frame sent, starting at 0 for the file and soon after it for a stream.
QString checkRecording(const QString &path, bool isFile, int lastFrame) {
    const media::ProbeInfo info = media::probe(path);
    if (!info.codecs.contains("video:h264") || !info.codecs.contains("audio:aac"))
        return QStringLiteral("codecs: ") + info.codecs.join(' ');
    const Decoded d = decodeCounters(path);
    QString gaps = gapReport(d.counters, isFile ? 0 : -1, lastFrame);
    if (gaps.isEmpty() && d.counters.first() > kLatestFirstFrame)
        gaps = QStringLiteral("joined late, at frame %1").arg(d.counters.first());
    return gaps.isEmpty() ? gaps : gaps + " " + QString::fromUtf8(d.errors.left(300));
}

} // namespace

class TestEncoderStreams : public QObject {
    Q_OBJECT

    // Runs the outputs for kFrames in real time and checks every healthy recording; with a bad
    // target among them, also that it keeps trying and holds nobody up.
    void runOutputs(const QList<int> &kinds) {
        Rig rig;
        QString error;
        if (!rig.setUp(kinds, &error)) {
            if (!peers::NginxRtmpServer::available())
                QSKIP("nginx with the RTMP module is missing");
            QFAIL(qPrintable(error));
        }
        const auto bad = std::find_if(rig.outputs.begin(), rig.outputs.end(), [](auto &o) {
            return o.kind == HungRtmp || o.kind == RefusedRtmp;
        });
        // A handshake that hangs is given up after 5 s and then retried.
        const int frames = kinds.contains(HungRtmp) ? 3 * kFrames : kFrames;
        FfmpegEncoderSink sink;
        QVERIFY(sink.configure(rig.filePath, rig.streams(), 30));
        RealTimeFeed feed(sink, frames);
        feed.start();

        // Near the end of the run: the bad target is still being tried, the others are open.
        QStringList statusProblems;
        if (bad != rig.outputs.end()) {
            if (bad->kind == HungRtmp && !rig.silent.waitForClient(5000))
                statusProblems << "the hung server was never contacted";
            QVERIFY(testutil::waitUntil([&] { return feed.written() >= frames - 15; }, 20000));
            for (const Output &o : rig.outputs) {
                const auto s = statusOf(sink, o.target.url);
                const bool fine = &o == &*bad
                                      ? !s.open && s.attempts >= (o.kind == HungRtmp ? 1 : 2)
                                      : o.kind == File || (s.open && s.packetsWritten > 0);
                if (!fine)
                    statusProblems << describe(s);
            }
        }
        QVERIFY(feed.finish(30000 * kSlow));
        rig.finishPeers();

        QVERIFY2(feed.longestWriteMs() < 500 * kSlow,
                 qPrintable(QStringLiteral("a frame took %1 ms").arg(feed.longestWriteMs())));
        QVERIFY2(feed.closeMs() < 5000 * kSlow,
                 qPrintable(QStringLiteral("closing took %1 ms").arg(feed.closeMs())));
        for (const Output &o : rig.outputs) {
            if (o.kind == HungRtmp || o.kind == RefusedRtmp)
                continue;
            const QStringList files = rig.recordingsOf(o);
            QVERIFY2(files.size() == 1, qPrintable(o.label + ": " + files.join(' ')));
            const QString problem = checkRecording(files.first(), o.kind == File, frames - 1);
            QVERIFY2(problem.isEmpty(), qPrintable(o.label + ": " + problem));
        }
        QVERIFY2(statusProblems.isEmpty(), qPrintable(statusProblems.join("; ")));
    }

private slots:
    void initTestCase() {
        if (!media::haveTool("ffmpeg") || !media::haveTool("ffprobe"))
            QSKIP("the ffmpeg and ffprobe CLIs are missing");
    }

    void everyOutputGetsEveryFrame_data() {
        QTest::addColumn<QList<int>>("kinds");
        QTest::newRow("mpegts over udp") << QList<int>{Udp};
        QTest::newRow("mpegts over http") << QList<int>{Http};
        QTest::newRow("flv over rtmp") << QList<int>{Rtmp};
        QTest::newRow("two streams and a file") << QList<int>{File, Udp, Rtmp};
    }
    void everyOutputGetsEveryFrame() {
        QFETCH(QList<int>, kinds);
        runOutputs(kinds);
    }

    void oneBadTargetAmongSix_data() {
        QTest::addColumn<QList<int>>("kinds");
        QTest::newRow("hung server") << QList<int>{File, Rtmp, Rtmp, Udp, Http, HungRtmp};
        QTest::newRow("refused address") << QList<int>{File, Rtmp, Rtmp, Udp, Http, RefusedRtmp};
    }
    void oneBadTargetAmongSix() {
        QFETCH(QList<int>, kinds);
        runOutputs(kinds);
    }

    // The server goes away mid-stream and is back 2 s later on the same port.
    void streamResumesAfterServerRestart() {
        Rig rig;
        QString error;
        if (!rig.setUp({File, Rtmp}, &error))
            QSKIP(qPrintable(error));
        const Output &stream = rig.outputs.back();
        LogCapture log;
        FfmpegEncoderSink sink;
        QVERIFY(sink.configure(rig.filePath, rig.streams(), 30));
        RealTimeFeed feed(sink, 900);
        feed.start();

        QVERIFY(testutil::waitUntil([&] { return feed.written() >= 45; }, 10000));
        rig.nginx.stop();
        QTest::qWait(2000);
        QVERIFY(rig.nginx.start(&error));
        QVERIFY2(testutil::waitUntil([&] { return sink.reconnectCount() >= 1; }, 15000),
                 qPrintable(describe(statusOf(sink, stream.target.url))));
        const int resumedAt = feed.written();
        QVERIFY(testutil::waitUntil([&] { return feed.written() >= resumedAt + 45; }, 10000));
        feed.stop();
        QVERIFY(feed.finish(10000 * kSlow));
        rig.finishPeers();
        const int last = feed.written() - 1;

        QVERIFY2(
            !log.matching("^FfmpegEncoderSink: stream mux reconnected \\(n= ?1 ?\\)").isEmpty(),
            qPrintable(log.messages().join('\n')));
        const QStringList files = rig.recordingsOf(stream);
        QVERIFY2(files.size() >= 2, qPrintable(files.join(' ')));
        const Decoded resumed = decodeCounters(files.last());
        const QString gaps = gapReport(resumed.counters, -1, last);
        QVERIFY2(gaps.isEmpty(), qPrintable(gaps));
        QVERIFY2(resumed.counters.size() >= 30, qPrintable(gapReport(resumed.counters, 0)));
        const Decoded file = decodeCounters(rig.filePath);
        const QString fileGaps = gapReport(file.counters, 0, last);
        QVERIFY2(fileGaps.isEmpty(), qPrintable(fileGaps));
    }

    // Nobody listens yet: the stream is retried with a growing delay and starts once the
    // server is up.
    void lateServerIsJoined() {
        const quint16 port = peers::freeTcpPort();
        RtmpRecorder nginx(port);
        LogCapture log;
        FfmpegEncoderSink sink;
        const QString url = nginx.url("late");
        QVERIFY(sink.configure({}, {{url, "flv"}}, 30));
        RealTimeFeed feed(sink, 900);
        feed.start();

        QVERIFY(testutil::waitUntil([&] { return feed.written() >= 75; }, 10000));
        // Tried at 0 s and 1 s, next at 3 s: not hammered.
        const auto before = statusOf(sink, url);
        QVERIFY2(!before.open && before.attempts >= 2 && before.attempts <= 3,
                 qPrintable(describe(before)));
        QString error;
        if (!nginx.start(&error))
            QSKIP(qPrintable(error));
        QVERIFY2(testutil::waitUntil([&] { return statusOf(sink, url).open; }, 10000),
                 qPrintable(describe(statusOf(sink, url))));
        const int joinedAt = feed.written();
        QVERIFY(testutil::waitUntil([&] { return feed.written() >= joinedAt + 45; }, 10000));
        feed.stop();
        QVERIFY(feed.finish(10000 * kSlow));
        nginx.stop();

        // Each logged failure names its attempt and the delay the back-off gives it.
        static const QRegularExpression reopen(
            "^FfmpegEncoderSink: RTMP mux reopen failed, attempt (\\d+) next in (\\d+) ms");
        QStringList reopens;
        for (const QString &m : log.messages()) {
            const auto match = reopen.match(m);
            if (!match.hasMatch())
                continue;
            reopens << m;
            const int attempt = match.captured(1).toInt();
            QVERIFY2(attempt >= 1 &&
                         match.captured(2).toLongLong() ==
                             std::min<int64_t>(1000LL << std::min(attempt - 1, 20), 90000),
                     qPrintable(m));
        }
        QVERIFY2(!reopens.isEmpty(), qPrintable(log.messages().join('\n')));
        const QStringList files = nginx.recordings("late");
        QVERIFY2(files.size() == 1, qPrintable(files.join(' ')));
        const Decoded d = decodeCounters(files.first());
        const QString gaps = gapReport(d.counters, -1, feed.written() - 1);
        QVERIFY2(gaps.isEmpty() && d.counters.size() >= 30, qPrintable(gaps));
    }

    // A stream whose server accepts and never answers: an abort from another thread frees the
    // encoding thread at once, whichever call it is in.
    void abortFreesTheEncodingThread_data() {
        QTest::addColumn<int>("phase");
        QTest::newRow("ensureOpened") << 1;
        QTest::newRow("writeFrame") << 2;
        QTest::newRow("close") << 3;
    }
    void abortFreesTheEncodingThread() {
        QFETCH(int, phase);
        peers::SilentTcpPeer silent;
        QVERIFY(silent.listen());
        FfmpegEncoderSink sink;
        QVERIFY(sink.configure(
            {}, {{QStringLiteral("rtmp://127.0.0.1:%1/live/x").arg(silent.port()), "flv"}}, 30));

        std::atomic<int> reached{0};
        std::atomic<bool> aborted{false};
        std::thread encoding([&] {
            reached = 1;
            sink.ensureOpened(kWidth, kHeight);
            reached = 2;
            const int frames = phase == 3 ? 15 : 900;
            for (int i = 0; i < frames && !aborted; ++i) {
                sink.writeFrame(programFrame(i, kWidth, kHeight, i * kFrameUs), nullptr, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(33));
            }
            reached = 3;
            sink.close();
            reached = 4;
        });
        const bool contacted = silent.waitForClient(3000);
        const bool inPhase = testutil::waitUntil([&] { return reached >= phase; }, 5000);
        QTest::qWait(300);
        const int at = reached;
        QElapsedTimer sinceAbort;
        sinceAbort.start();
        aborted = true;
        sink.requestAbort();
        const bool returned = testutil::waitUntil([&] { return reached == 4; }, 10000);
        const int64_t ms = sinceAbort.elapsed();
        encoding.join();
        QVERIFY(inPhase);
        QVERIFY2(contacted, "the server was never contacted");
        QVERIFY2(returned && ms < 1000 * kSlow,
                 qPrintable(QStringLiteral("returned %1 ms after the abort, made in phase %2")
                                .arg(ms)
                                .arg(at)));
    }
};

QTEST_GUILESS_MAIN(TestEncoderStreams)
#include "tst_EncoderStreams.moc"
