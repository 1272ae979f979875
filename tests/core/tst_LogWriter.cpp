#include "common/ChildProcess.h"
#include "core/LogWriter.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

using namespace testutil;

class TestLogWriter : public QObject {
    Q_OBJECT
private slots:
    void writerDropsOldestWhenFull() {
        QTemporaryDir dir;
        LogSettings s;
        s.queueMax = 1000;
        LogWriter writer(s);
        QVERIFY(writer.open(dir.filePath("w.log")));
        // The writer is not running yet, so the queue fills up: the newest 1000 lines must win.
        for (int i = 0; i < 1500; ++i)
            writer.enqueueLine("line " + QByteArray::number(i));
        QCOMPARE(writer.droppedLines(), int64_t(500));
        writer.start();
        writer.stop();
        const QByteArrayList got = lines(readFile(dir.filePath("w.log")));
        QCOMPARE(got.size(), 1000);
        QCOMPARE(got.first(), QByteArray("line 500"));
        QCOMPARE(got.last(), QByteArray("line 1499"));
    }

    void writerKeepsAnExistingFileAndTrimsLines() {
        // A second start within the same second opens the same name; it must not wipe the log of
        // the instance that is running.
        QTemporaryDir dir;
        const QString path = dir.filePath("same_second.log");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("first instance line\n") > 0);
        f.close();
        LogWriter writer{LogSettings()};
        QVERIFY(writer.open(path));
        writer.start();
        writer.enqueueLine("second\r\n");
        writer.enqueueLine("\r\n");
        writer.enqueueLine("");
        writer.enqueueLine("third");
        writer.stop();
        QCOMPARE(readFile(path), QByteArray("first instance line\nsecond\nthird\n"));
    }

    void manyThreadsWithEmergencyFlushes() {
        // Producers on several threads while crash paths flush at the same time: every line must
        // reach the file exactly once, and each thread's lines in the order it logged them.
        constexpr int kThreads = 4;
        constexpr int kLines = 5000;
        QTemporaryDir dir;
        LogSettings s;
        s.queueMax = kThreads * kLines; // nothing may be dropped here
        s.maxBytes = 64 * 1024;         // and rotation runs during the storm
        s.maxFiles = 32;
        LogWriter writer(s);
        QVERIFY(writer.open(dir.filePath("storm.log")));
        writer.start();

        std::atomic<bool> producing{true};
        std::thread flusher([&] {
            while (producing.load())
                writer.emergencyFlush();
        });
        std::vector<std::thread> producers;
        for (int t = 0; t < kThreads; ++t)
            producers.emplace_back([&writer, t] {
                for (int i = 0; i < kLines; ++i)
                    writer.enqueueLine("t" + QByteArray::number(t) + " " + QByteArray::number(i));
            });
        for (std::thread &p : producers)
            p.join();
        producing.store(false);
        flusher.join();
        writer.stop();
        QCOMPARE(writer.droppedLines(), int64_t(0));

        QByteArray all;
        for (int i = 31; i >= 1; --i)
            all += readFile(dir.filePath("storm.log.") + QByteArray::number(i));
        all += readFile(dir.filePath("storm.log"));
        std::vector<int> next(kThreads, 0);
        int total = 0;
        for (const QByteArray &line : lines(all)) {
            const QByteArrayList parts = line.split(' ');
            QCOMPARE(parts.size(), qsizetype(2));
            const int t = parts[0].mid(1).toInt();
            QCOMPARE(parts[1].toInt(), next[size_t(t)]);
            ++next[size_t(t)];
            ++total;
        }
        QCOMPARE(total, kThreads * kLines);
    }
};

QTEST_GUILESS_MAIN(TestLogWriter)
#include "tst_LogWriter.moc"
