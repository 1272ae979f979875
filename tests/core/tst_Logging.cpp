#include "common/ChildProcess.h"
#include "core/LogSettings.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <numeric>
#include <unistd.h>

using namespace testutil;

namespace {

struct ProbeRun {
    bool hung = false; // killed after 15 s
    QProcess::ExitStatus status = QProcess::NormalExit;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QString logPath;
};

// Runs the probe from its own copy in `dir`, so its log file is written there.
ProbeRun runProbe(const QString &dir, const QStringList &args, const QStringList &env = {}) {
    ProbeRun run;
    QProcess p;
    p.setProcessEnvironment(environmentWith(env));
    p.start(copyExecutable(QStringLiteral(QUORVI_PROBE), dir), args);
    if ((run.hung = !p.waitForFinished(15000)))
        p.kill(), p.waitForFinished();
    run.status = p.exitStatus();
    run.exitCode = p.exitCode();
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    for (const QByteArray &line : run.out.split('\n'))
        if (line.startsWith("LOG "))
            run.logPath = QString::fromUtf8(line.mid(4));
    return run;
}

// Numbers of the "probe line NNNNNN" lines in a file, in file order.
QList<int> probeNumbers(const QString &path) {
    QList<int> numbers;
    static const QRegularExpression re(QStringLiteral("^probe line (\\d+) "));
    for (const QByteArray &line : lines(readFile(path))) {
        const auto m = re.match(QString::fromUtf8(line));
        if (m.hasMatch())
            numbers << m.captured(1).toInt();
    }
    return numbers;
}

} // namespace

class TestLogging : public QObject {
    Q_OBJECT
private slots:
    void settingsFromEnvironment_data() {
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<int>("maxFiles");
        QTest::addColumn<int>("queueMax");
        QTest::addColumn<int>("avLevel");

        QTest::newRow("defaults") << QStringList() << qint64(20971520) << 5 << 20000 << 24;
        QTest::newRow("all set") << QStringList{"QUORVI_LOG_MAX_BYTES=1024",
                                                "QUORVI_LOG_MAX_FILES=3",
                                                "QUORVI_LOG_QUEUE_MAX=1000",
                                                "QUORVI_AV_LOG_LEVEL=32"}
                                 << qint64(1024) << 3 << 1000 << 32;
        QTest::newRow("out of range keeps defaults")
            << QStringList{"QUORVI_LOG_MAX_BYTES=0", "QUORVI_LOG_MAX_FILES=0",
                           "QUORVI_LOG_QUEUE_MAX=500"}
            << qint64(20971520) << 5 << 20000 << 24;
        QTest::newRow("not decimal")
            << QStringList{"QUORVI_LOG_MAX_BYTES=1k", "QUORVI_LOG_MAX_FILES=0x10",
                           "QUORVI_LOG_QUEUE_MAX=", "QUORVI_AV_LOG_LEVEL=loud"}
            << qint64(20971520) << 5 << 20000 << 24;
    }

    void settingsFromEnvironment() {
        QFETCH(QStringList, env);
        QProcessEnvironment e;
        for (const QString &a : env)
            e.insert(a.section(QLatin1Char('='), 0, 0), a.section(QLatin1Char('='), 1));
        const LogSettings s = LogSettings::fromEnvironment(e);
        QTEST(qint64(s.maxBytes), "maxBytes");
        QTEST(s.maxFiles, "maxFiles");
        QTEST(s.queueMax, "queueMax");
        QTEST(s.avLogLevel, "avLevel");
    }

    void rotationKeepsNewestOutput_data() {
        QTest::addColumn<QString>("maxFiles");
        QTest::addColumn<int>("expectedFiles");
        QTest::newRow("three files") << "3" << 3;
        QTest::newRow("out of range keeps five") << "40" << 5;
        QTest::newRow("one file is truncated") << "1" << 1;
    }

    void rotationKeepsNewestOutput() {
        QFETCH(QString, maxFiles);
        QFETCH(int, expectedFiles);
        QTemporaryDir dir;
        const ProbeRun run =
            runProbe(dir.path(), {"lines", "200"},
                     {"QUORVI_LOG_MAX_BYTES=1024", "QUORVI_LOG_MAX_FILES=" + maxFiles});
        QVERIFY(run.exitCode == 0 && !run.logPath.isEmpty());

        for (int i = 1; i < expectedFiles; ++i)
            QVERIFY2(QFile::exists(run.logPath + "." + QString::number(i)), qPrintable(run.err));
        QVERIFY(!QFile::exists(run.logPath + "." + QString::number(expectedFiles)));

        // Each file stays near the limit, and reading the kept files from the oldest to the
        // current one gives an unbroken run of lines that ends with the last line logged.
        QList<int> numbers;
        for (int i = expectedFiles - 1; i >= 1; --i) {
            const QString rotated = run.logPath + "." + QString::number(i);
            QVERIFY(QFileInfo(rotated).size() < 1024 + 200);
            numbers += probeNumbers(rotated);
        }
        numbers += probeNumbers(run.logPath);
        QVERIFY(!numbers.isEmpty());
        QCOMPARE(numbers.last(), 199);
        QCOMPARE(numbers.last() - numbers.first() + 1, numbers.size()); // with no line lost
        QVERIFY(std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<>()) ==
                numbers.end());
    }

    void stderrPartialLineAfterQuietPeriod() {
        QTemporaryDir dir;
        const ProbeRun run = runProbe(dir.path(), {"stderr-partial"});
        QCOMPARE(run.exitCode, 0);
        const qsizetype at = run.out.indexOf("APPEARED ");
        QVERIFY(at >= 0);
        const int ms = run.out.mid(at + 9).trimmed().toInt();
        QVERIFY2(ms >= 350 && ms < 3000, qPrintable(QString::number(ms)));
        QVERIFY(run.err.contains("abc")); // the console still shows the bytes as written
    }

    void stderrCarriageReturnsAndLineFeeds() {
        QTemporaryDir dir;
        const ProbeRun run = runProbe(dir.path(), {"stderr-crlf"});
        QCOMPARE(run.exitCode, 0);
        QByteArrayList got = lines(readFile(run.logPath));
        QVERIFY(got.takeFirst().startsWith("quorvi log file: "));
        // A partial line written just before the program ends is not lost.
        QCOMPARE(got, (QByteArrayList{"a", "b", "tail"}));
        QVERIFY(run.err.contains("a\r\nb\ntail")); // console copy unchanged
    }

    void ffmpegLevelFilter_data() {
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<bool>("infoLogged");
        QTest::newRow("default warning level") << QStringList() << false;
        QTest::newRow("info level") << QStringList{"QUORVI_AV_LOG_LEVEL=32"} << true;
    }

    void ffmpegLevelFilter() {
        QFETCH(QStringList, env);
        QFETCH(bool, infoLogged);
        QTemporaryDir dir;
        const ProbeRun run = runProbe(dir.path(), {"av"}, env);
        QCOMPARE(run.exitCode, 0);
        const QByteArray log = readFile(run.logPath);
        QVERIFY(log.contains("probe ffmpeg warning message\n"));
        QCOMPARE(log.contains("probe ffmpeg info message"), infoLogged);
        // Each FFmpeg message once: not a second time through the captured standard error.
        QCOMPARE(log.count("probe ffmpeg warning message"), qsizetype(1));
    }

    void crashesFlushQueuedLines_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("count");
        QTest::newRow("fatal message") << "fatal" << 3000;
        QTest::newRow("abort") << "abort" << 5000;
        // The C library aborts on heap corruption while holding its allocator lock; a crash
        // handler that allocates would wait for that lock for ever.
        QTest::newRow("double free") << "double-free" << 50;
    }

    void crashesFlushQueuedLines() {
        QFETCH(QString, mode);
        QFETCH(int, count);
        QTemporaryDir dir;
        const ProbeRun run = runProbe(dir.path(), {mode, QString::number(count)});
        QVERIFY(!run.hung);
        QCOMPARE(run.status, QProcess::CrashExit);
        QVERIFY(!run.out.contains("survived"));
        QList<int> expected(count);
        std::iota(expected.begin(), expected.end(), 0);
        QCOMPARE(probeNumbers(run.logPath), expected);
        if (mode == "fatal")
            QVERIFY(readFile(run.logPath).trimmed().endsWith("probe fatal message"));
    }

    void stateFolderWhenBesideExecutableIsNotWritable() {
        if (geteuid() != 0)
            QSKIP("needs root to run the probe as another user");
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("setpriv not available");
        // An installed program: its folder belongs to root and the user cannot write there.
        QTemporaryDir appDir;
        QTemporaryDir stateHome;
        QFile::setPermissions(appDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                 QFileDevice::ExeOther);
        QFile::setPermissions(stateHome.path(), QFileDevice::Permissions(0x7777));
        const QString exe = copyExecutable(QStringLiteral(QUORVI_PROBE), appDir.path());

        QProcess p;
        p.setProcessEnvironment(environmentWith({"XDG_STATE_HOME=" + stateHome.path(), "HOME=/"}));
        p.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", exe, "lines", "3"});
        QVERIFY(p.waitForFinished(30000));
        const QByteArray out = p.readAllStandardOutput();
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(out.contains("LOG " + stateHome.path().toUtf8() + "/quorvi/quorvi_"),
                 out.constData());
        QVERIFY(logFiles(appDir.path()).isEmpty());
        const QStringList kept = logFiles(stateHome.path() + "/quorvi");
        QCOMPARE(kept.size(), 1);
        QCOMPARE(probeNumbers(kept.first()), QList<int>({0, 1, 2}));
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_Logging.moc"
