#include "core/ClockText.h"

#include <QtTest>

class TestClockText : public QObject {
    Q_OBJECT
private slots:
    void position_data() {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("start") << qint64(0) << "00:00";
        QTest::newRow("cut, not rounded") << qint64(1999) << "00:01";
        QTest::newRow("last second of the hour") << qint64(3599999) << "59:59";
        QTest::newRow("one hour") << qint64(3600000) << "1:00:00";
        QTest::newRow("75 minutes") << qint64(75 * 60000) << "1:15:00";
        QTest::newRow("hours not wrapped") << qint64((100 * 3600 + 61) * 1000LL) << "100:01:01";
        QTest::newRow("negative") << qint64(-5000) << "00:00";
    }
    void position() {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(ClockText::position(ms), text);
    }
};

QTEST_APPLESS_MAIN(TestClockText)
#include "tst_ClockText.moc"
