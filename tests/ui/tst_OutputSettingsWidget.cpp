// The output panel as the operator uses it: target sync, the lock while running, languages, status.

#include "common/WidgetChild.h"
#include "ui/panels/OutputSettingsWidget.h"

#include <QtTest>
#include <QtWidgets>

class TestOutputSettingsWidget : public QObject {
    Q_OBJECT
    QStringList order_; // the panel's signals in the order they came

    void record(OutputSettingsWidget &panel) {
        using W = OutputSettingsWidget;
        order_.clear();
        connect(&panel, &W::outputFileChanged, this, [this](QString f) { order_ << "file:" + f; });
        connect(&panel, &W::streamSettingsChanged, this, [this] { order_ << "streams"; });
        connect(&panel, &W::outputDimensionsChanged, this,
                [this](int w, int h) { order_ << QStringLiteral("size:%1x%2").arg(w).arg(h); });
        connect(&panel, &W::startOutputRequested, this, [this] { order_ << "start"; });
        connect(&panel, &W::stopOutputRequested, this, [this] { order_ << "stop"; });
        connect(&panel, &W::outputTargetsChanged, this, [this] { order_ << "targets"; });
        connect(&panel, &W::programRecordLinearGainChanged, this,
                [this](float g) { order_ << "gain:" + QString::number(g); });
    }

private slots:
    // Any finished edit unticks targets without an address (quietly) before it reports.
    void editsSynchroniseTargets_data() {
        QTest::addColumn<QString>("edited");
        QTest::addColumn<bool>("hasAddress");
        QTest::newRow("url edit, no addresses") << "url" << false;
        QTest::newRow("url edit, addresses") << "url" << true;
        QTest::newRow("file edit") << "file" << false;
        QTest::newRow("protocol change") << "protocol" << false;
    }
    void editsSynchroniseTargets() {
        QFETCH(QString, edited);
        QFETCH(bool, hasAddress);
        OutputSettingsWidget panel;
        QLineEdit *filePath = child<QLineEdit>(panel, "filePath");
        filePath->setText(hasAddress ? "/rec/a.mp4" : " ");
        child<QCheckBox>(panel, "fileOutput")->setChecked(true);
        child<QLineEdit>(panel, "streamUrl2")->setText(hasAddress ? "rtmp://h/live/k" : "  ");
        child<QCheckBox>(panel, "streamEnabled2")->setChecked(true);
        record(panel);
        if (edited == "file")
            emit filePath->editingFinished();
        else if (edited == "url")
            emit child<QLineEdit>(panel, "streamUrl2")->editingFinished();
        else
            child<QComboBox>(panel, "streamProtocol3")->setCurrentText("UDP");
        QCOMPARE(order_.join(' '), edited == "file" ? "targets file: " : "targets streams");
        QCOMPARE(child<QCheckBox>(panel, "streamEnabled2")->isChecked(), hasAddress);
        QCOMPARE(panel.isFileOutputEnabled(), hasAddress);
        if (!hasAddress)
            return;
        // The key stays out of sight while the field is not being edited; the settings keep it.
        QLineEdit *keyed = child<QLineEdit>(panel, "streamUrl2");
        QCOMPARE(keyed->text(), QStringLiteral("rtmp://h/live/••••"));
        QCOMPARE(panel.settings().rows[2].url, QStringLiteral("rtmp://h/live/k"));
        QFocusEvent focusIn(QEvent::FocusIn);
        QApplication::sendEvent(keyed, &focusIn);
        QCOMPARE(keyed->text(), QStringLiteral("rtmp://h/live/k"));
    }

    // Addresses stay selectable but fixed; targets and gain stay usable; the button asks to stop.
    void runningLock() {
        OutputSettingsWidget panel;
        record(panel);
        child<QComboBox>(panel, "resolution")->setCurrentIndex(2);
        child<QComboBox>(panel, "resolution")->setCurrentIndex(0); // "Same as Program"
        QCOMPARE(order_.join(' '), QStringLiteral("size:1280x720 size:0x0"));
        QCOMPARE(QSize(panel.outputWidth(), panel.outputHeight()), QSize(0, 0));
        for (bool running : {true, false}) {
            panel.setOutputRunning(running);
            for (const char *name : {"streamUrl5", "filePath"})
                QCOMPARE(child<QLineEdit>(panel, name)->isReadOnly(), running);
            for (const char *name : {"streamProtocol5", "resolution", "browse"})
                QCOMPARE(child<QWidget>(panel, name)->isEnabled(), !running);
            for (const char *name : {"streamUrl5", "streamEnabled5", "fileOutput", "gain"})
                QVERIFY(child<QWidget>(panel, name)->isEnabled());
            order_.clear();
            QTest::mouseClick(child<QPushButton>(panel, "startStop"), Qt::LeftButton);
            child<QSlider>(panel, "gain")->setValue(running ? 150 : 250);
            QCOMPARE(order_.join(' '), running ? "stop gain:1.5" : "start gain:2.5");
        }
    }

    // Every text switches to English and back to exactly what it was.
    void languageRoundTrip() {
        OutputSettingsWidget panel;
        const QStringList chinese = visibleTexts(panel);
        panel.setChineseUi(false);
        panel.setOutputRunning(true);
        const QStringList english = visibleTexts(panel);
        for (const QString &text : english)
            QVERIFY2(!hasChinese(text), qPrintable(text));
        QVERIFY(english.contains("Same as Program") && english.contains("Stop Output"));
        panel.setOutputRunning(false);
        panel.setChineseUi(true);
        QCOMPARE(visibleTexts(panel), chinese);
    }

    // Later calls reuse the labels, hiding spare ones; a long address never widens the panel.
    void statusLinesReuseLabels() {
        OutputSettingsWidget panel;
        using Level = OutputStatusLine::Level;
        panel.setStatusLines({{"File /rec/a.mp4: live", Level::Good},
                              {"rtmp://h/live/****: reconnecting (2)", Level::Warning},
                              {"udp://239.0.0.1:1234: failed", Level::Error}});
        QWidget *list = child<QWidget>(panel, "statusList");
        const QList<QLabel *> first = list->findChildren<QLabel *>();
        QCOMPARE(first.size(), 3);
        QVERIFY(first[0]->palette().color(QPalette::WindowText) !=
                first[2]->palette().color(QPalette::WindowText));
        panel.setStatusLines({{"rtmp://" + QString(400, 'x'), Level::Error}});
        QCOMPARE(list->findChildren<QLabel *>(), first);
        QVERIFY(!first[0]->isHidden() && first[1]->isHidden() && first[2]->isHidden());
        QVERIFY(first[0]->property("userContent").toBool());
        QVERIFY(panel.minimumSizeHint().width() <= 360);
    }
};

QTEST_MAIN(TestOutputSettingsWidget)
#include "tst_OutputSettingsWidget.moc"
