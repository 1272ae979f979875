#pragma once

// Network peers on loopback, owned by the test and stopped with bounded waits: an nginx RTMP
// server (that can record), an ffmpeg pusher, a TCP peer that never answers, a UDP capture.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace peers {

// Every socket here skips the system proxy lookup: its helper thread is Qt's, invisible to
// ThreadSanitizer, and loopback needs no proxy.
template <typename Socket> Socket &direct(Socket &socket) {
    socket.setProxy(QNetworkProxy::NoProxy);
    return socket;
}

// A port nothing listens on right now.
inline quint16 freeTcpPort() {
    QTcpServer s;
    return direct(s).listen(QHostAddress::LocalHost, 0) ? s.serverPort() : 0;
}

inline quint16 freeUdpPort() {
    QUdpSocket s;
    return direct(s).bind(QHostAddress::LocalHost, 0) ? s.localPort() : 0;
}

// True while a socket of `protocol` ("tcp", "udp") on local `port` is in one of `states` (as
// the kernel writes them: "0A" listening, "01" established, "08" closing; none: any). Read
// from the kernel, so that a one-shot listener is not used up by looking.
inline bool socketIn(const QString &protocol, quint16 port, const QList<QByteArray> &states) {
    for (const QString &table : {"/proc/net/" + protocol, "/proc/net/" + protocol + '6'}) {
        QFile f(table);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        f.readLine(); // the header
        while (!f.atEnd()) {
            const QList<QByteArray> col = f.readLine().simplified().split(' ');
            bool ok = false;
            if (col.size() >= 4 && (states.isEmpty() || states.contains(col[3])) &&
                col[1].mid(col[1].lastIndexOf(':') + 1).toUInt(&ok, 16) == port && ok)
                return true;
        }
    }
    return false;
}
inline bool tcpSocketIn(quint16 port, const QList<QByteArray> &states) {
    return socketIn("tcp", port, states);
}
inline bool listening(quint16 port) {
    return tcpSocketIn(port, {"0A"});
}

inline bool waitForListening(quint16 port, int ms, const QProcess *owner = nullptr) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired() && (!owner || owner->state() == QProcess::Running)) {
        if (listening(port))
            return true;
        QThread::msleep(50);
    }
    return false;
}

// A polite signal first, then a kill.
inline void endProcess(QProcess &p, int graceMs) {
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(graceMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

// nginx with the RTMP module and one "live" application; the port is kept across restarts.
// With `record`, each publishing session is saved to "<name>-<time>.flv".
class NginxRtmpServer {
public:
    explicit NginxRtmpServer(bool record = false) : record_(record), port_(freeTcpPort()) {}
    ~NginxRtmpServer() { stop(); }

    static QString nginxPath() {
        const QString found = QStandardPaths::findExecutable("nginx");
        return !found.isEmpty() || !QFileInfo::exists("/usr/sbin/nginx") ? found
                                                                         : "/usr/sbin/nginx";
    }
    static QString modulePath() {
        for (const char *p : {"/usr/lib/nginx/modules/ngx_rtmp_module.so",
                              "/usr/share/nginx/modules/ngx_rtmp_module.so"})
            if (QFileInfo::exists(QString::fromLatin1(p)))
                return QString::fromLatin1(p);
        return {};
    }
    static bool available() { return !nginxPath().isEmpty() && !modulePath().isEmpty(); }

    bool start(QString *error) {
        if (!dir_.isValid() || !available() || port_ == 0) {
            *error = "nginx or its RTMP module is missing";
            return false;
        }
        QDir(dir_.path()).mkpath("rec");
        QFile conf(dir_.filePath("nginx.conf"));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        const QString recording =
            QStringLiteral("record all; record_path %1/rec; record_unique on;");
        conf.write(QStringLiteral("load_module %1;\ndaemon off;\nmaster_process off;\n"
                                  "error_log %2/error.log;\npid %2/nginx.pid;\nevents {}\n"
                                  "rtmp { server { listen 127.0.0.1:%3;\n"
                                  "  application live { live on; %4 } } }\n")
                       .arg(modulePath(), dir_.path())
                       .arg(port_)
                       .arg(record_ ? recording.arg(dir_.path()) : QString())
                       .toUtf8());
        conf.close();
        proc_.setProcessChannelMode(QProcess::MergedChannels);
        proc_.start(nginxPath(), {"-c", conf.fileName(), "-p", dir_.path() + "/", "-e",
                                  dir_.filePath("error.log")});
        if (proc_.waitForStarted(5000) && waitForListening(port_, 10000, &proc_))
            return true;
        endProcess(proc_, 3000);
        *error = QString::fromUtf8(proc_.readAll() + errorLog());
        return false;
    }
    void stop() { endProcess(proc_, 5000); }
    // Stops once every client has gone and the server has read all they sent.
    void finish() {
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired() && tcpSocketIn(port_, {"01", "08"}))
            QThread::msleep(50);
        stop();
    }

    quint16 port() const { return port_; }
    QString url(const QString &stream) const {
        return QStringLiteral("rtmp://127.0.0.1:%1/live/%2").arg(port_).arg(stream);
    }
    QByteArray errorLog() const {
        QFile f(dir_.filePath("error.log"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // The recordings of one stream, oldest first.
    QStringList recordings(const QString &stream) const {
        QStringList files =
            QDir(dir_.filePath("rec")).entryList({stream + "-*.flv"}, QDir::Files, QDir::Name);
        for (QString &f : files)
            f = dir_.filePath("rec/" + f);
        return files;
    }

private:
    QTemporaryDir dir_;
    QProcess proc_;
    bool record_;
    quint16 port_;
};

// An ffmpeg process that sends a stream somewhere; killed when destroyed.
class FfmpegPusher {
public:
    ~FfmpegPusher() { kill(); }

    bool start(const QStringList &args) {
        proc_.setProcessChannelMode(QProcess::MergedChannels);
        proc_.start("ffmpeg", QStringList{"-hide_banner", "-loglevel", "error", "-nostdin"} + args);
        return proc_.waitForStarted(5000);
    }
    void kill() {
        if (proc_.state() == QProcess::NotRunning)
            return;
        proc_.kill();
        proc_.waitForFinished(5000);
    }

    // A test pattern with a 1 kHz tone in real time: H.264, a keyframe a second, and AAC.
    static QStringList testPattern(int seconds) {
        return QStringLiteral("-re -f lavfi -i testsrc2=size=320x240:rate=30 "
                              "-re -f lavfi -i sine=frequency=1000:sample_rate=44100 "
                              "-t %1 -c:v libx264 -preset ultrafast -tune zerolatency -g 30 "
                              "-pix_fmt yuv420p -c:a aac")
            .arg(seconds)
            .split(' ');
    }
    static QStringList udpTarget(quint16 port) {
        return {"-f", "mpegts", QStringLiteral("udp://127.0.0.1:%1?pkt_size=1316").arg(port)};
    }
    static QStringList rtmpTarget(const QString &url) { return {"-f", "flv", url}; }

private:
    QProcess proc_;
};

// Accepts TCP connections on loopback and never sends a byte: an open that hangs.
class SilentTcpPeer {
public:
    bool listen() { return direct(server_).listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server_.serverPort(); }
    QString rtmpUrl() const { return QStringLiteral("rtmp://127.0.0.1:%1/live/x").arg(port()); }
    // True once a client connected within `ms`; the connection is kept open.
    bool waitForClient(int ms) {
        if (!server_.waitForNewConnection(ms))
            return false;
        while (QTcpSocket *s = server_.nextPendingConnection())
            clients_.push_back(std::unique_ptr<QTcpSocket>(s));
        return !clients_.empty();
    }

private:
    QTcpServer server_;
    std::vector<std::unique_ptr<QTcpSocket>> clients_; // destroyed before the server
};

// Saves every datagram sent to a loopback port, in order.
class UdpCapture {
public:
    ~UdpCapture() { stop(); }
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

} // namespace peers
