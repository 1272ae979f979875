// The program itself, started as a user would: one instance per user, a clean quit on signals,
// and a log that tells what happened; and the single-instance lock and quit signals on their own.

#include "common/ChildProcess.h"
#include "platform/SingleInstanceLock.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testutil;

namespace {

// One program installation (its own copy of the executable, so its log lands here) and one
// user session (a private runtime folder for the single-instance socket).
struct Installation {
    QTemporaryDir appDir;
    QTemporaryDir runtimeDir;
    QString exe;
    QString runtimeOverride; // when set, XDG_RUNTIME_DIR points here instead

    Installation() { exe = copyExecutable(QStringLiteral(QUORVI_BINARY), appDir.path()); }

    QString socketPath() const { return runtimeDir.path() + "/quorvi_single_instance"; }
    QByteArray logs() const { return allLogs(appDir.path()); }

    void start(QProcess &p, const std::function<void()> &childSetup = {}) const {
        p.setChildProcessModifier([childSetup] {
            // Whatever this test runner inherited (a background job ignores SIGINT), the
            // program starts as from a terminal.
            for (int sig : {SIGINT, SIGTERM, SIGHUP})
                std::signal(sig, SIG_DFL);
            if (childSetup)
                childSetup();
        });
        p.setProcessEnvironment(
            environmentWith({"QT_QPA_PLATFORM=offscreen",
                             "XDG_RUNTIME_DIR=" + (runtimeOverride.isEmpty() ? runtimeDir.path()
                                                                             : runtimeOverride)}));
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start(exe, {});
    }

    // Up and holding the lock.
    bool startRunning(QProcess &p, const std::function<void()> &childSetup = {}) const {
        start(p, childSetup);
        return waitUntil(
            [&] {
                return p.state() == QProcess::Running && QFile::exists(socketPath()) &&
                       logs().contains("quorvi log file:");
            },
            15000);
    }
};

// How a finished program ended: "exit <code>" or "crash".
QByteArray ended(QProcess &p) {
    return p.exitStatus() == QProcess::NormalExit ? "exit " + QByteArray::number(p.exitCode())
                                                  : "crash";
}

// Asks the program to quit as a session would; how it ended.
QByteArray stop(QProcess &p) {
    ::kill(pid_t(p.processId()), SIGTERM);
    if (!p.waitForFinished(10000))
        p.kill(), p.waitForFinished();
    return ended(p);
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void init() {
        runtime_ = std::make_unique<QTemporaryDir>();
        qputenv("XDG_RUNTIME_DIR", runtime_->path().toUtf8());
    }
    void cleanup() { runtime_.reset(); }

    void fallbackSocketFolderIsPrivate() {
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
        QCOMPARE(int(folder.permissions() & QFileDevice::Permissions(0x0077)), 0); // group, others
    }

    void staleSocketIsReplaced() {
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

    void eachConnectionRaisesOnceAndIsFreed() {
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

    void secondQuitSignalEndsAStuckProgram() {
        QTemporaryDir dir;
        QProcess p;
        p.setChildProcessModifier([] { std::signal(SIGTERM, SIG_DFL); });
        p.start(copyExecutable(QStringLiteral(QUORVI_PROBE), dir.path()), {"hang-on-quit"});
        const auto printed = [&](const char *text) {
            return waitUntil(
                [&] {
                    p.waitForReadyRead(10);
                    return p.peek(4096).contains(text);
                },
                10000);
        };
        QVERIFY(printed("READY")); // its quit handlers are installed
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(printed("QUIT 15"));
        QCOMPARE(p.state(), QProcess::Running); // the first signal only asks; the second ends it
        QCOMPARE(stop(p), "crash");
    }

    void secondStartRaisesTheFirstAndExits() {
        Installation inst;
        QProcess first;
        QVERIFY(inst.startRunning(first));

        QProcess second;
        inst.start(second);
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(ended(second), "exit 0");

        QVERIFY(waitUntil(
            [&] { return inst.logs().contains("another start asked for the window; raising it"); },
            3000));
        QCOMPARE(first.state(), QProcess::Running);
        QCOMPARE(inst.logs().count("quorvi log file:"), qsizetype(2)); // neither log was lost
        QCOMPARE(stop(first), "exit 0");
    }

    void simultaneousStartsTakeTurns() {
        // Two starts at the same moment (a double click) could both miss each other in the probe
        // and both run. A start that finds another one between its probe and its listen waits.
        Installation inst;
        qputenv("XDG_RUNTIME_DIR", inst.runtimeDir.path().toUtf8()); // the lock this process takes
        auto otherStart = std::make_unique<SingleInstanceLock::StartGuard>();
        QProcess p;
        inst.start(p);
        QTest::qWait(1500);
        QCOMPARE(p.state(), QProcess::Running);
        QVERIFY(!QFile::exists(inst.socketPath())); // still waiting for its turn
        otherStart.reset();
        QVERIFY(waitUntil([&] { return QFile::exists(inst.socketPath()); }, 10000));
        QCOMPARE(stop(p), "exit 0");
    }

    void startedWithStandardErrorClosed() {
        // Some launchers start programs without standard error. Nothing else may take its place.
        Installation inst;
        QProcess p;
        QVERIFY(inst.startRunning(p, [] { ::close(STDERR_FILENO); }));
        QTest::qWait(300); // the event loop runs and wakes itself up a few times
        QCOMPARE(stop(p), "exit 0");
        const QByteArray log = inst.logs();
        QVERIFY(log.endsWith("quorvi: exiting with code 0\n"));
        QVERIFY2(!log.contains('\0') && !log.contains('\x01'), log.toHex().constData());
    }

    void lockThatCannotBeTakenExitsWithOne() {
        Installation inst;
        // A runtime "folder" that is a plain file: no socket can be created in it.
        inst.runtimeOverride = inst.runtimeDir.path() + "/not_a_folder";
        QVERIFY(QFile(inst.runtimeOverride).open(QIODevice::WriteOnly));
        QProcess p;
        inst.start(p);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(ended(p), "exit 1");
        QVERIFY(inst.logs().contains("Single-instance lock listen failed: "));
    }

    void quitSignalEndsWithZeroAndACompleteLog_data() {
        QTest::addColumn<int>("signalNumber");
        for (int sig : {SIGTERM, SIGHUP, SIGINT})
            QTest::newRow(sigabbrev_np(sig)) << sig;
    }
    void quitSignalEndsWithZeroAndACompleteLog() {
        QFETCH(int, signalNumber);
        const QByteArray name = QByteArray("SIG") + sigabbrev_np(signalNumber);
        Installation inst;
        QProcess p;
        QVERIFY(inst.startRunning(p));
        ::kill(pid_t(p.processId()), signalNumber);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(ended(p), "exit 0");

        const QByteArrayList lines = inst.logs().trimmed().split('\n');
        QVERIFY(lines.first().startsWith("quorvi log file: " + inst.appDir.path().toUtf8()));
        QVERIFY(lines.contains("quorvi: " + name + " received, quitting"));
        QCOMPARE(lines.last(), QByteArray("quorvi: exiting with code 0"));
        QVERIFY(!QFile::exists(inst.socketPath())); // the lock is given back
    }

    // The command line: what needs no window ends at once with its own exit code, without a
    // display (the one given does not exist), and a playout never takes the window's lock, so
    // a running window cannot turn it into a silent 0.
    void commandLineModesAndExitCodes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("windowRunning");
        QTest::addColumn<QString>("expected"); // "exit <code>", then what stdout / stderr hold
        QTest::addColumn<QByteArray>("printed");
        QTest::addColumn<QByteArray>("complaint");
        const QByteArray tryHelp = "Try 'quorvi --help'";
        const QByteArray unreadable = "cannot read the schedule";
        const QStringList record{"--record", "x.mp4"};
        QTest::newRow("help") << QStringList{"--help"} << false << "exit 0" << QByteArray("Usage")
                              << QByteArray();
        QTest::newRow("version") << QStringList{"-v"} << false << "exit 0"
                                 << QByteArray("Quorvi Pro " QUORVI_VERSION) << QByteArray();
        QTest::newRow("unknown option")
            << QStringList{"--bogus"} << false << "exit 2" << QByteArray() << tryHelp;
        QTest::newRow("play without outputs")
            << QStringList{"--play", "show.json"} << false << "exit 2" << QByteArray() << tryHelp;
        QTest::newRow("bad duration")
            << QStringList{"--play", "a.json", "--record", "x.mp4", "--duration", "-3"} << false
            << "exit 2" << QByteArray() << tryHelp;
        QTest::newRow("missing schedule") << QStringList{"--play", "/missing.json"} + record
                                          << false << "exit 1" << QByteArray() << unreadable;
        QTest::newRow("bad schedule beside a window")
            << QStringList{"--play", "BAD"} + record << true << "exit 1" << QByteArray()
            << unreadable;
    }
    void commandLineModesAndExitCodes() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, windowRunning);
        QFETCH(QString, expected);
        QFETCH(QByteArray, printed);
        QFETCH(QByteArray, complaint);
        Installation inst;
        const QString bad = inst.appDir.filePath("bad.json");
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(R"({"format": "other"})") > 0);
        file.close();
        arguments.replaceInStrings(QStringLiteral("BAD"), bad);
        QProcess window;
        if (windowRunning)
            QVERIFY(inst.startRunning(window));

        QProcess p;
        p.setProcessEnvironment(environmentWith(
            {"QT_QPA_PLATFORM=xcb", "DISPLAY=:4711", "XDG_RUNTIME_DIR=" + inst.runtimeDir.path()}));
        p.start(inst.exe, arguments);
        QVERIFY(p.waitForFinished(15000));
        const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
        QCOMPARE(ended(p), expected.toUtf8());
        QVERIFY2(out.contains(printed), out.constData());
        QVERIFY2(err.contains(complaint), err.constData());
        if (windowRunning)
            QCOMPARE(stop(window), "exit 0");
    }

    void hangupIgnoredAtStartStaysIgnored() {
        // nohup: the user asked for the program to outlive the terminal.
        Installation inst;
        QProcess p;
        QVERIFY(inst.startRunning(p, [] { std::signal(SIGHUP, SIG_IGN); }));
        ::kill(pid_t(p.processId()), SIGHUP);
        QVERIFY(!p.waitForFinished(1000));
        QCOMPARE(stop(p), "exit 0"); // SIGTERM still quits in order
    }

private:
    std::unique_ptr<QTemporaryDir> runtime_; // for the locks this process takes
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_Startup.moc"
