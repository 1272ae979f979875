#include "core/UiLanguage.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestUiLanguage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(configDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
    }

    void settingValues_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("chinese");
        QTest::newRow("zh") << "zh" << true;
        QTest::newRow("ZH_CN") << "ZH_CN" << true;
        QTest::newRow("fr") << "fr" << false;
        QTest::newRow("zh-CN") << "zh-CN" << false;
    }
    void settingValues() {
        QFETCH(QString, stored);
        QFETCH(bool, chinese);
        QCOMPARE(UiLanguage::chineseFromSetting(stored), chinese);
    }

    void storedChoiceSurvives() {
        QVERIFY(!UiLanguage::loadChinese()); // nothing stored yet
        UiLanguage::storeChinese(true);
        QCOMPARE(QSettings("Brisol", "Quorvi Pro").value("ui_language").toString(), "zh");
        QVERIFY(UiLanguage::loadChinese());
        UiLanguage::storeChinese(false);
        QVERIFY(!UiLanguage::loadChinese());
        QSettings("Brisol", "Quorvi Pro").setValue("ui_language", "ZH_CN");
        QVERIFY(UiLanguage::loadChinese());
    }

    void rules_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("toChinese");
        QTest::addColumn<QString>("expected");
        QTest::newRow("channel with blank") << u"通道 3"_s << false << u"Channel 3"_s;
        QTest::newRow("channel to Chinese") << u"Channel 12"_s << true << u"通道12"_s;
        QTest::newRow("channel zeros") << u"通道007"_s << false << u"Channel 007"_s;
        QTest::newRow("channel zeros back") << u"Channel 007"_s << true << u"通道007"_s;
        QTest::newRow("channel no number") << u"通道X"_s << false << u"通道X"_s;
        QTest::newRow("channel signed") << u"通道+3"_s << false << u"通道+3"_s;
        QTest::newRow("channel wide digit") << u"通道３"_s << false << u"通道３"_s;
        QTest::newRow("channel lower case") << u"channel 3"_s << true << u"channel 3"_s;
        QTest::newRow("channel sentence")
            << u"通道必须选择视频"_s << false << u"Channel must be set to video"_s;
        QTest::newRow("count") << u"（3 张图片）"_s << false << u"(3 images)"_s;
        QTest::newRow("count spaced") << u"（ 3  张图片）"_s << false << u"(3 images)"_s;
        QTest::newRow("count back") << u"(3 images)"_s << true << u"（3 张图片）"_s;
        QTest::newRow("folder") << u"Spring（12 张）"_s << false << u"Spring (12 images)"_s;
        QTest::newRow("folder back") << u"Spring (12 images)"_s << true << u"Spring（12 张）"_s;
        QTest::newRow("folder with marker") << u"a%2b（3 张）"_s << false << u"a%2b (3 images)"_s;
        QTest::newRow("legacy") << u"Spring（旧版目录，无可用图片）"_s << false
                                << u"Spring (legacy folder, no available image)"_s;
        QTest::newRow("legacy back") << u"Spring (legacy folder, no available image)"_s << true
                                     << u"Spring（旧版目录，无可用图片）"_s;
        QTest::newRow("unknown zh") << u"Hello world"_s << true << u"Hello world"_s;
        QTest::newRow("not exact") << u"Audio Mixer "_s << true << u"Audio Mixer "_s;
        QTest::newRow("blank") << u"  "_s << true << u"  "_s;
        QTest::newRow("empty") << QString() << false << QString();
        QTest::newRow("already English")
            << u"Spring (12 images)"_s << false << u"Spring (12 images)"_s;
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

private:
    QTemporaryDir configDir;
};

QTEST_GUILESS_MAIN(TestUiLanguage)
#include "tst_UiLanguage.moc"
