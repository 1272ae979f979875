#include "core/UiLanguage.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestUiLanguage : public QObject {
    Q_OBJECT
private slots:
    void setting() {
        QTemporaryDir configDir;
        QVERIFY(configDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
        QVERIFY(UiLanguage::chineseFromSetting(u"ZH_CN"_s));
        QVERIFY(!UiLanguage::chineseFromSetting(u"fr"_s));
        QVERIFY(!UiLanguage::loadChinese()); // nothing stored yet
        for (bool chinese : {true, false}) {
            UiLanguage::storeChinese(chinese);
            QCOMPARE(UiLanguage::loadChinese(), chinese);
        }
    }

    void rules_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("toChinese");
        QTest::addColumn<QString>("expected");
        const auto both = [](const char *name, const QString &zh, const QString &en) {
            QTest::addRow("%s to en", name) << zh << false << en;
            QTest::addRow("%s to zh", name) << en << true << zh;
        };
        both("channel zeros", u"通道007"_s, u"Channel 007"_s);
        both("count", u"（3 张图片）"_s, u"(3 images)"_s);
        both("folder", u"Spring（12 张）"_s, u"Spring (12 images)"_s);
        both("marker in name", u"a%2b（3 张）"_s, u"a%2b (3 images)"_s);
        both("legacy", u"Spring（旧版目录，无可用图片）"_s,
             u"Spring (legacy folder, no available image)"_s);
        QTest::newRow("channel blank") << u"通道 3"_s << false << u"Channel 3"_s;
        QTest::newRow("channel signed") << u"通道+3"_s << false << u"通道+3"_s;
        QTest::newRow("channel wide digit") << u"通道３"_s << false << u"通道３"_s;
        QTest::newRow("count spaced") << u"（ 3  张图片）"_s << false << u"(3 images)"_s;
        QTest::newRow("unknown") << u"Hello world"_s << true << u"Hello world"_s;
        QTest::newRow("not exact") << u"Audio Mixer "_s << true << u"Audio Mixer "_s;
    }
    void rules() {
        QFETCH(QString, text);
        QFETCH(bool, toChinese);
        QFETCH(QString, expected);
        QCOMPARE(UiLanguage::translate(text, toChinese), expected);
    }

    void everyPairSwitchesBothWaysAndStays() {
        const auto &pairs = UiLanguage::pairs();
        QVERIFY(!pairs.isEmpty());
        for (const auto &[zh, en] : pairs) {
            QCOMPARE(UiLanguage::translate(zh, false), en);
            QCOMPARE(UiLanguage::translate(en, true), zh);
            QCOMPARE(UiLanguage::translate(en, false), en);
            QCOMPARE(UiLanguage::translate(zh, true), zh);
        }
    }
};

QTEST_GUILESS_MAIN(TestUiLanguage)
#include "tst_UiLanguage.moc"
