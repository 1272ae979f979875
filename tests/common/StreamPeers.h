#pragma once

// Real network peers for stream tests, all on loopback and all owned by the test: an nginx
// RTMP server, an ffmpeg pusher and a TCP peer that accepts and never answers. Each stops
// its process or socket when destroyed, with bounded waits.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QList>
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

#include <memory>
#include <vector>

namespace peers {

// Every socket here skips the system proxy lookup: its helper thread is Qt's, invisible to
// ThreadSanitizer, and loopback needs no proxy.
template <typename Socket> Socket &direct(Socket &socket) {
    socket.setProxy(QNetworkProxy::NoProxy);
    return socket;
}

// A port nothing listens on right now (another program may still take it before we do).
inline quint16 freeTcpPort() {
    QTcpServer s;
    direct(s);
    return s.listen(QHostAddress::LocalHost, 0) ? s.serverPort() : 0;
}

inline quint16 freeUdpPort() {
    QUdpSocket s;
    direct(s);
    return s.bind(QHostAddress::LocalHost, 0) ? s.localPort() : 0;
}

inline bool waitForTcpPort(quint16 port, int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QTcpSocket probe;
        direct(probe).connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

// Ends a child: a polite signal first, then a kill.
inline void endProcess(QProcess &p, int graceMs) {
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(graceMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

// nginx with the RTMP module, one "live" application, in the foreground on a free port.
class NginxRtmpServer {
public:
    static QString nginxPath() {
        const QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
        if (!found.isEmpty())
            return found;
        return QFileInfo::exists("/usr/sbin/nginx") ? QStringLiteral("/usr/sbin/nginx") : QString();
    }
    static QString modulePath() {
        for (const char *p : {"/usr/lib/nginx/modules/ngx_rtmp_module.so",
                              "/usr/share/nginx/modules/ngx_rtmp_module.so"}) {
            if (QFileInfo::exists(QString::fromLatin1(p)))
                return QString::fromLatin1(p);
        }
        return {};
    }
    static bool available() { return !nginxPath().isEmpty() && !modulePath().isEmpty(); }

    ~NginxRtmpServer() { stop(); }

    // Starts the server and waits until it accepts connections. A port taken in between is
    // retried with another one.
    bool start(QString *error) {
        if (!dir_.isValid() || !available()) {
            *error = QStringLiteral("nginx or its RTMP module is missing");
            return false;
        }
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = freeTcpPort();
            if (port_ == 0 || !writeConfig()) {
                *error = QStringLiteral("cannot prepare the nginx configuration");
                return false;
            }
            const QString prefix = dir_.path() + QLatin1Char('/');
            proc_.setProcessChannelMode(QProcess::MergedChannels);
            proc_.start(nginxPath(), {"-c", dir_.filePath("nginx.conf"), "-p", prefix, "-e",
                                      dir_.filePath("error.log")});
            if (!proc_.waitForStarted(5000)) {
                *error = QStringLiteral("nginx did not start");
                return false;
            }
            QDeadlineTimer deadline(10000);
            while (!deadline.hasExpired() && proc_.state() == QProcess::Running) {
                if (waitForTcpPort(port_, 300))
                    return true;
            }
            endProcess(proc_, 3000);
            *error = QString::fromUtf8(proc_.readAll() + errorLog()).trimmed();
        }
        return false;
    }

    void stop() { endProcess(proc_, 5000); }

    quint16 port() const { return port_; }
    QString url(const QString &stream) const {
        return QStringLiteral("rtmp://127.0.0.1:%1/live/%2").arg(port_).arg(stream);
    }
    QByteArray errorLog() const {
        QFile f(dir_.filePath("error.log"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    bool writeConfig() {
        QFile f(dir_.filePath("nginx.conf"));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        const QString conf = QStringLiteral("load_module %1;\n"
                                            "daemon off;\n"
                                            "master_process off;\n"
                                            "error_log %2/error.log;\n"
                                            "pid %2/nginx.pid;\n"
                                            "events {}\n"
                                            "rtmp { server { listen 127.0.0.1:%3;\n"
                                            "    application live { live on; } } }\n")
                                 .arg(modulePath(), dir_.path())
                                 .arg(port_);
        return f.write(conf.toUtf8()) > 0;
    }

    QTemporaryDir dir_;
    QProcess proc_;
    quint16 port_ = 0;
};

// An ffmpeg process that sends a stream somewhere; killed when destroyed.
class FfmpegPusher {
public:
    ~FfmpegPusher() { kill(); }

    bool start(const QStringList &args) {
        proc_.setProcessChannelMode(QProcess::MergedChannels);
        proc_.start(QStringLiteral("ffmpeg"),
                    QStringList{"-hide_banner", "-loglevel", "error", "-nostdin"} + args);
        return proc_.waitForStarted(5000);
    }
    bool isRunning() const { return proc_.state() == QProcess::Running; }
    bool waitForFinished(int ms) { return proc_.waitForFinished(ms); }
    void kill() {
        if (proc_.state() == QProcess::NotRunning)
            return;
        proc_.kill();
        proc_.waitForFinished(5000);
    }
    QByteArray output() { return proc_.readAll(); }

    // A test pattern with a 1 kHz tone, paced in real time for `seconds`: H.264 with a
    // keyframe every second, and AAC.
    static QStringList testPattern(int seconds) {
        return QStringLiteral("-re -f lavfi -i testsrc2=size=320x240:rate=30 "
                              "-re -f lavfi -i sine=frequency=1000:sample_rate=44100 "
                              "-t %1 -c:v libx264 -preset ultrafast -tune zerolatency -g 30 "
                              "-pix_fmt yuv420p -c:a aac")
            .arg(seconds)
            .split(QLatin1Char(' '));
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

} // namespace peers
