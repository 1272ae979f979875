#include "common/ChildProcess.h"
#include "platform/QuitSignals.h"
#include "platform/SingleInstanceLock.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testutil;

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void fallbackSocketFolderIsPrivate();
    void staleSocketIsReplaced();
    void eachConnectionRaisesOnceAndIsFreed();
    void secondQuitSignalEndsAStuckProgram();

private:
    std::unique_ptr<QTemporaryDir> runtime_;
};

void TestPlatform::init() {
    runtime_ = std::make_unique<QTemporaryDir>();
    qputenv("XDG_RUNTIME_DIR", runtime_->path().toUtf8());
}

void TestPlatform::cleanup() {
    runtime_.reset();
}

void TestPlatform::fallbackSocketFolderIsPrivate() {
    // Without a runtime folder the socket goes below the shared temporary folder, into a
    // folder of the user's own that nobody else can enter, take or clean up.
    qunsetenv("XDG_RUNTIME_DIR");
    const QFileInfo socket(SingleInstanceLock::serverName());
    QCOMPARE(socket.fileName(), QStringLiteral("quorvi_single_instance"));
    const QFileInfo folder(socket.path());
    QCOMPARE(folder.absoluteFilePath(),
             QDir::tempPath() + QStringLiteral("/quorvi-") + QString::number(getuid()));
    QVERIFY(folder.isDir());
    QCOMPARE(folder.ownerId(), uint(getuid()));
    QCOMPARE(folder.permissions() &
                 (QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther |
                  QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup),
             QFileDevice::Permissions());
}

void TestPlatform::staleSocketIsReplaced() {
    // What a crashed instance leaves behind: a socket file nobody listens on.
    const QByteArray path = SingleInstanceLock::serverName().toUtf8();
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.constData(), sizeof addr.sun_path - 1);
    QCOMPARE(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(fd);
    QVERIFY(QFile::exists(QString::fromUtf8(path)));

    QVERIFY(!SingleInstanceLock::anotherInstanceRunning());
    {
        SingleInstanceLock lock;
        QString error;
        QVERIFY2(lock.take(&error), qPrintable(error));
        QVERIFY(SingleInstanceLock::anotherInstanceRunning());
    }
    QVERIFY(!SingleInstanceLock::anotherInstanceRunning(100)); // gone with its owner
}

void TestPlatform::eachConnectionRaisesOnceAndIsFreed() {
    SingleInstanceLock lock;
    QString error;
    QVERIFY(lock.take(&error));
    QSignalSpy raised(&lock, &SingleInstanceLock::activationRequested);

    std::vector<std::unique_ptr<QLocalSocket>> peers;
    for (int i = 0; i < 5; ++i) {
        peers.push_back(std::make_unique<QLocalSocket>());
        peers.back()->connectToServer(SingleInstanceLock::serverName());
        QVERIFY(peers.back()->waitForConnected(1000));
    }
    QVERIFY(waitUntil([&] { return raised.count() >= 5; }, 3000));
    QCOMPARE(lock.findChildren<QLocalSocket *>().size(), qsizetype(5));

    peers.clear(); // the peers close: every server-side socket must go away
    QVERIFY(waitUntil(
        [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return lock.findChildren<QLocalSocket *>().isEmpty();
        },
        3000));
    QCOMPARE(raised.count(), 5);
}

namespace {

// Starts the probe and waits until its quit handlers are installed.
bool startHangingProbe(QProcess &p, const QString &dir) {
    p.setChildProcessModifier([] { std::signal(SIGTERM, SIG_DFL); });
    p.start(copyExecutable(QStringLiteral(QUORVI_PROBE), dir), {"hang-on-quit"});
    return waitUntil(
        [&] {
            p.waitForReadyRead(10);
            return p.peek(4096).contains("READY");
        },
        10000);
}

} // namespace

void TestPlatform::secondQuitSignalEndsAStuckProgram() {
    QTemporaryDir dir;
    QProcess p;
    QVERIFY(startHangingProbe(p, dir.path()));
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(waitUntil(
        [&] {
            p.waitForReadyRead(10);
            return p.peek(4096).contains("QUIT 15");
        },
        5000));
    QCOMPARE(p.state(), QProcess::Running); // the first signal only asks
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitStatus(), QProcess::CrashExit);
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_Platform.moc"
