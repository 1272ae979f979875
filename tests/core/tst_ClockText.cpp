#include "core/ClockText.h"

#include <QtTest>

class TestClockText : public QObject {
    Q_OBJECT
private slots:
    // Seconds are cut, hours appear from the first hour on and never wrap.
    void position() {
        const struct {
            qint64 ms;
            const char *text;
        } rows[] = {{0, "00:00"},         {1999, "00:01"},      {3599999, "59:59"},
                    {3600000, "1:00:00"}, {4500000, "1:15:00"}, {360061000, "100:01:01"},
                    {-5000, "00:00"}};
        for (const auto &row : rows)
            QCOMPARE(ClockText::position(row.ms), QString::fromLatin1(row.text));
    }
};

QTEST_APPLESS_MAIN(TestClockText)
#include "tst_ClockText.moc"
