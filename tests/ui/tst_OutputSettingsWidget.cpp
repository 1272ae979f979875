// The output panel as the operator uses it: targets that cannot stay ticked without an address,
// the order of its signals, the lock while the output runs, both languages, and the status list.

#include "ui/panels/OutputSettingsWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QtTest>

namespace {

template <typename T> T *child(const QWidget &panel, const QString &name) {
    T *widget = panel.findChild<T *>(name);
    if (!widget)
        qFatal("no child %s", qPrintable(name));
    return widget;
}

QLineEdit *urlEdit(const QWidget &panel, int row) {
    return child<QLineEdit>(panel, QStringLiteral("streamUrl%1").arg(row));
}
QCheckBox *streamCheck(const QWidget &panel, int row) {
    return child<QCheckBox>(panel, QStringLiteral("streamEnabled%1").arg(row));
}

// The panel's signals by name, in the order they came.
QStringList *recordSignals(OutputSettingsWidget &panel) {
    auto *names = new QStringList;
    QObject::connect(&panel, &QObject::destroyed, [names] { delete names; });
    QObject::connect(&panel, &OutputSettingsWidget::outputFileChanged,
                     [names](const QString &f) { *names << "file:" + f; });
    QObject::connect(&panel, &OutputSettingsWidget::streamSettingsChanged,
                     [names] { *names << "streams"; });
    QObject::connect(&panel, &OutputSettingsWidget::outputDimensionsChanged, [names](int w, int h) {
        *names << QStringLiteral("size:%1x%2").arg(w).arg(h);
    });
    QObject::connect(&panel, &OutputSettingsWidget::startOutputRequested,
                     [names] { *names << "start"; });
    QObject::connect(&panel, &OutputSettingsWidget::stopOutputRequested,
                     [names] { *names << "stop"; });
    QObject::connect(&panel, &OutputSettingsWidget::outputTargetsChanged,
                     [names] { *names << "targets"; });
    QObject::connect(&panel, &OutputSettingsWidget::programRecordLinearGainChanged,
                     [names](float g) { *names << "gain:" + QString::number(g); });
    return names;
}

// Every text the panel shows: labels, buttons, tool tips, placeholders and combo items.
QStringList visibleTexts(const QWidget &panel) {
    QStringList texts;
    for (const QWidget *w : panel.findChildren<QWidget *>()) {
        if (auto *label = qobject_cast<const QLabel *>(w))
            texts << label->text();
        if (auto *button = qobject_cast<const QAbstractButton *>(w))
            texts << button->text();
        if (auto *edit = qobject_cast<const QLineEdit *>(w))
            texts << edit->placeholderText();
        if (auto *combo = qobject_cast<const QComboBox *>(w))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
        texts << w->toolTip();
    }
    texts.removeAll(QString());
    return texts;
}

bool hasChinese(const QString &text) {
    for (const QChar c : text)
        if (c.unicode() >= 0x3000 && c.unicode() < 0xA000)
            return true;
    return false;
}

} // namespace

class TestOutputSettingsWidget : public QObject {
    Q_OBJECT
private slots:
    // A finished edit anywhere unticks targets without an address, then reports; the check
    // boxes themselves do not report while being unticked.
    void editsSynchroniseTargets() {
        const struct {
            const char *name;
            const char *edited; // "file", "url0" or "protocol3"
            bool rowTicked, rowHasUrl, fileHasPath;
            bool rowAfter, fileAfter;
            const char *order;
        } rows[] = {
            {"url edit unticks empty row", "url0", true, false, false, false, false,
             "targets streams"},
            {"url edit keeps a row with address", "url0", true, true, true, true, true,
             "targets streams"},
            {"file edit unticks empty row", "file", true, false, true, false, true,
             "targets file:/rec/a.mp4"},
            {"protocol change unticks empty row", "protocol3", true, false, false, false, false,
             "targets streams"},
        };
        for (const auto &row : rows) {
            OutputSettingsWidget panel;
            QLineEdit *filePath = child<QLineEdit>(panel, "filePath");
            filePath->setText(row.fileHasPath ? QStringLiteral("/rec/a.mp4") : QStringLiteral(" "));
            child<QCheckBox>(panel, "fileOutput")->setChecked(true);
            urlEdit(panel, 2)->setText(row.rowHasUrl ? QStringLiteral("rtmp://h/live/k")
                                                     : QStringLiteral("  "));
            streamCheck(panel, 2)->setChecked(row.rowTicked);
            QStringList *order = recordSignals(panel);
            const QString edited = QString::fromLatin1(row.edited);
            if (edited == "file")
                emit filePath->editingFinished();
            else if (edited == "url0")
                emit urlEdit(panel, 0)->editingFinished();
            else
                child<QComboBox>(panel, "streamProtocol3")->setCurrentText("UDP");
            QVERIFY2(order->join(' ') == QString::fromLatin1(row.order),
                     qPrintable(row.name + (": " + order->join(' '))));
            QCOMPARE(streamCheck(panel, 2)->isChecked(), row.rowAfter);
            QCOMPARE(panel.isStreamEnabled(2), row.rowAfter);
            QCOMPARE(panel.isFileOutputEnabled(), row.fileAfter);
        }
    }

    void gainAndResolution() {
        OutputSettingsWidget panel;
        QLabel *value = child<QLabel>(panel, "gainValue");
        QCOMPARE(value->text(), QStringLiteral("2.00×"));
        QCOMPARE(panel.recordLinearGain(), 2.0f);
        QStringList *order = recordSignals(panel);
        const struct {
            int set, reads;
            const char *shown;
        } gains[] = {
            {0, 25, "0.25×"}, {400, 400, "4.00×"}, {1000, 400, "4.00×"}, {137, 137, "1.37×"}};
        for (const auto &g : gains) {
            child<QSlider>(panel, "gain")->setValue(g.set);
            QCOMPARE(value->text(), QString::fromUtf8(g.shown));
            QCOMPARE(panel.recordLinearGain(), float(g.reads) / 100.0f);
        }
        QCOMPARE(order->join(' '), QStringLiteral("gain:0.25 gain:4 gain:1.37"));
        order->clear();

        QComboBox *resolution = child<QComboBox>(panel, "resolution");
        QCOMPARE(panel.outputWidth(), 0);
        for (int index : {2, 1, 4, 3, 0})
            resolution->setCurrentIndex(index);
        QCOMPARE(order->join(' '), QStringLiteral("size:1280x720 size:1920x1080 size:640x360 "
                                                  "size:960x540 size:0x0"));
        QCOMPARE(panel.outputHeight(), 0);
    }

    // While running the addresses stay selectable but fixed, the choices are disabled, the
    // targets and the gain stay usable, and the button asks for a stop.
    void runningLock() {
        OutputSettingsWidget panel;
        QStringList *order = recordSignals(panel);
        QPushButton *button = child<QPushButton>(panel, "startStop");
        const struct {
            bool running;
            const char *text, *tip, *click;
        } rows[] = {
            {true, "停止输出", "结束写入并关闭文件与推流连接", "stop"},
            {false, "开始输出", "将节目输出写入文件和/或推流", "start"},
        };
        for (const auto &row : rows) {
            panel.setOutputRunning(row.running);
            QCOMPARE(panel.isOutputRunning(), row.running);
            QCOMPARE(button->text(), QString::fromUtf8(row.text));
            QCOMPARE(button->toolTip(), QString::fromUtf8(row.tip));
            QCOMPARE(child<QLineEdit>(panel, "filePath")->isReadOnly(), row.running);
            QVERIFY(child<QLineEdit>(panel, "filePath")->isEnabled());
            for (int r = 0; r < panel.streamRowCount(); ++r) {
                QCOMPARE(urlEdit(panel, r)->isReadOnly(), row.running);
                QVERIFY(urlEdit(panel, r)->isEnabled());
                QVERIFY(streamCheck(panel, r)->isEnabled());
                QCOMPARE(
                    child<QComboBox>(panel, QStringLiteral("streamProtocol%1").arg(r))->isEnabled(),
                    !row.running);
            }
            for (const char *name : {"browse", "resolution", "resolutionLabel"})
                QCOMPARE(child<QWidget>(panel, name)->isEnabled(), !row.running);
            QVERIFY(child<QCheckBox>(panel, "fileOutput")->isEnabled());
            QVERIFY(child<QSlider>(panel, "gain")->isEnabled());
            order->clear();
            QTest::mouseClick(button, Qt::LeftButton);
            child<QSlider>(panel, "gain")->setValue(150);
            child<QSlider>(panel, "gain")->setValue(200);
            QCOMPARE(order->join(' '), row.click + QStringLiteral(" gain:1.5 gain:2"));
        }
    }

    // Every text switches to English and back to exactly what it was; the browse dialog gets
    // its title in the language in force and the case-insensitive filter.
    void languageRoundTrip() {
        OutputSettingsWidget panel;
        const QStringList chinese = visibleTexts(panel);
        QVERIFY(chinese.contains(QStringLiteral("流地址 6")));
        panel.setChineseUi(false);
        const QStringList english = visibleTexts(panel);
        for (const QString &text : english)
            QVERIFY2(!hasChinese(text), qPrintable(text));
        for (const char *expected :
             {"Browse...", "Resolution", "Record Gain", "Same as Program", "Stream URL 1",
              "Stream URL 6", "Start Output", "Write program output to file and/or stream",
              "Recording/stream output resolution; 'Same as Program' follows current canvas "
              "size.",
              "1920 × 1080 (1080p)", "RTMP", "UDP"})
            QVERIFY2(english.contains(QString::fromUtf8(expected)), expected);
        panel.setOutputRunning(true);
        QCOMPARE(child<QPushButton>(panel, "startStop")->text(), QStringLiteral("Stop Output"));
        panel.setOutputRunning(false);
        panel.setChineseUi(true);
        QCOMPARE(visibleTexts(panel), chinese);

        QStringList calls;
        OutputSettingsWidget::setSaveFileDialog([&calls](QWidget *, const QString &title,
                                                         const QString &proposed,
                                                         const QString &filter) {
            calls << title << proposed << filter;
            return calls.size() > 3 ? QString() : QStringLiteral("/rec/show.mkv");
        });
        QStringList *order = recordSignals(panel);
        child<QLineEdit>(panel, "filePath")->setText("/media/old/take.mp4");
        QTest::mouseClick(child<QPushButton>(panel, "browse"), Qt::LeftButton);
        panel.setChineseUi(false);
        QTest::mouseClick(child<QPushButton>(panel, "browse"), Qt::LeftButton); // cancelled
        OutputSettingsWidget::setSaveFileDialog({});
        const QString filter =
            QStringLiteral("MP4 (*.mp4 *.MP4);;MKV (*.mkv *.MKV);;AVI (*.avi *.AVI)");
        QCOMPARE(calls, QStringList({QStringLiteral("输出文件"), "/media/old/output.mp4", filter,
                                     "Output File", "/rec/output.mp4", filter}));
        QCOMPARE(panel.outputFile(), QStringLiteral("/rec/show.mkv"));
        QCOMPARE(order->join(' '), QStringLiteral("file:/rec/show.mkv"));
    }

    void settingsSnapshot() {
        OutputSettingsWidget panel;
        child<QLineEdit>(panel, "filePath")->setText("/rec/a.mkv");
        child<QCheckBox>(panel, "fileOutput")->setChecked(true);
        urlEdit(panel, 1)->setText("udp://239.0.0.1:1234");
        child<QComboBox>(panel, "streamProtocol1")->setCurrentText("UDP");
        streamCheck(panel, 1)->setChecked(true);
        urlEdit(panel, 4)->setText("rtmp://h/live/k"); // not ticked
        child<QComboBox>(panel, "resolution")->setCurrentIndex(2);
        const OutputSettings s = panel.settings();
        QVERIFY(s.fileEnabled);
        QCOMPARE(s.filePath, QStringLiteral("/rec/a.mkv"));
        QCOMPARE(int(s.rows.size()), 6);
        QString rows;
        for (const OutputSettings::StreamRow &row : s.rows)
            rows += QStringLiteral("%1 %2 %3|").arg(int(row.enabled)).arg(row.protocol, row.url);
        QCOMPARE(rows, QStringLiteral("0 RTMP |1 UDP udp://239.0.0.1:1234|0 RTMP |0 RTMP |"
                                      "0 RTMP rtmp://h/live/k|0 RTMP |"));
        QCOMPARE(QSize(s.width, s.height), QSize(1280, 720));
        QCOMPARE(panel.streamUrl(6), QString());
        QCOMPARE(panel.streamProtocol(-1), QString());
        QVERIFY(!panel.isStreamEnabled(6));

        // The key stays out of sight while the field is not being edited.
        QLineEdit *keyed = urlEdit(panel, 4);
        emit keyed->editingFinished();
        QCOMPARE(keyed->text(), QStringLiteral("rtmp://h/live/••••"));
        QCOMPARE(panel.streamUrl(4), QStringLiteral("rtmp://h/live/k"));
        QCOMPARE(panel.settings().rows[4].url, QStringLiteral("rtmp://h/live/k"));
        QFocusEvent focusIn(QEvent::FocusIn);
        QApplication::sendEvent(keyed, &focusIn);
        QCOMPARE(keyed->text(), QStringLiteral("rtmp://h/live/k"));
    }

    // The lines show in their level's colour; later calls reuse the same labels, hiding the
    // ones not needed, and the language switch leaves the reported texts alone.
    void statusLines() {
        OutputSettingsWidget panel;
        panel.resize(380, 380);
        panel.show();
        using Level = OutputStatusLine::Level;
        const QColor normal =
            child<QLabel>(panel, "gainLabel")->palette().color(QPalette::WindowText);
        const struct {
            std::vector<OutputStatusLine> lines;
        } polls[] = {
            {{{"File /rec/a.mp4: live", Level::Good},
              {"rtmp://h/live/****: reconnecting (2)", Level::Warning},
              {"udp://239.0.0.1:1234: failed", Level::Error}}},
            {{{"File /rec/a.mp4: closing", Level::Info},
              {"rtmp://h/live/****: live", Level::Good}}},
            {{{"File /rec/a.mp4: closing", Level::Error},
              {"x", Level::Warning},
              {"y", Level::Info}}},
        };
        const auto colourOf = [&](Level level) -> QColor {
            switch (level) {
            case Level::Good:
                return QColor(0x5c, 0xc8, 0x5c);
            case Level::Warning:
                return QColor(0xf0, 0xa0, 0x30);
            case Level::Error:
                return QColor(0xf0, 0x50, 0x50);
            case Level::Info:
                break;
            }
            return normal;
        };
        QList<QLabel *> first;
        for (const auto &poll : polls) {
            panel.setStatusLines(poll.lines);
            const QList<QLabel *> labels =
                child<QWidget>(panel, "statusList")->findChildren<QLabel *>();
            if (first.isEmpty())
                first = labels;
            QCOMPARE(labels, first);
            for (int i = 0; i < labels.size(); ++i) {
                QLabel *label = labels[i];
                QCOMPARE(label->isVisible(), size_t(i) < poll.lines.size());
                if (!label->isVisible())
                    continue;
                QCOMPARE(label->text(), poll.lines[size_t(i)].text);
                QCOMPARE(label->palette().color(QPalette::WindowText),
                         colourOf(poll.lines[size_t(i)].level));
                QVERIFY(label->property("userContent").toBool());
            }
        }
        QCOMPARE(first.size(), 3);
        // A long address is shortened on screen; it never widens the panel.
        panel.setStatusLines({{QStringLiteral("rtmp://") + QString(400, 'x'), Level::Error}});
        QVERIFY(panel.minimumSizeHint().width() <= 360);
        panel.setStatusLines({});
        for (QLabel *label : first)
            QVERIFY(!label->isVisible());
    }
};

QTEST_MAIN(TestOutputSettingsWidget)
#include "tst_OutputSettingsWidget.moc"
