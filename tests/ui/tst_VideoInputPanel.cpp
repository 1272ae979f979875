// A channel panel as the operator uses it: choosing a source (and being refused), the title
// line, seeking, the end of the media, unloading, the thumbnail and the look of the panel.

#include "common/OverlayFixtures.h"
#include "ui/UserPrompts.h"
#include "ui/panels/VideoInputPanel.h"
#include "ui/widgets/LevelMeter.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// Every signal of the panel, in the order it came.
QStringList *recordSignals(VideoInputPanel &panel) {
    auto *log = new QStringList;
    QObject::connect(&panel, &QObject::destroyed, [log] { delete log; });
    const auto add = [log](const QString &entry) { log->append(entry); };
    QObject::connect(&panel, &VideoInputPanel::outputToPreviewToggled,
                     [add](bool on) { add(u"preview %1"_s.arg(on)); });
    QObject::connect(&panel, &VideoInputPanel::programSeekRequested,
                     [add](qint64 ms) { add(u"seek %1"_s.arg(ms)); });
    QObject::connect(&panel, &VideoInputPanel::mediaSourceUnloaded,
                     [add](int c) { add(u"unloaded %1"_s.arg(c)); });
    QObject::connect(&panel, &VideoInputPanel::channelMediaChanged,
                     [add](int c) { add(u"media %1"_s.arg(c)); });
    QObject::connect(&panel, &VideoInputPanel::playbackStateChanged,
                     [add](bool on) { add(u"playing %1"_s.arg(on)); });
    QObject::connect(&panel, &VideoInputPanel::localChannelVolumeChanged,
                     [add] { add(u"volume"_s); });
    return log;
}

QPushButton *button(const VideoInputPanel &panel, const char *name) {
    return panel.findChild<QPushButton *>(QLatin1String(name));
}
QSlider *slider(const VideoInputPanel &panel, const char *name) {
    return panel.findChild<QSlider *>(QLatin1String(name));
}
QString title(const VideoInputPanel &panel) {
    return panel.findChild<QLabel *>(u"titleLabel"_s)->text();
}
QImage thumbnail(const VideoInputPanel &panel) {
    return panel.findChild<QLabel *>(u"thumbnailLabel"_s)->pixmap().toImage();
}

// Chooses `text` through the open button.
void open(VideoInputPanel &panel, const QString &text) {
    panel.setSourcePicker([text](QWidget *, bool) { return text; });
    button(panel, "openButton")->click();
}

// Drags the position slider's handle to `value` and lets go.
void drag(VideoInputPanel &panel, int value) {
    QSlider *s = slider(panel, "positionSlider");
    s->setSliderDown(true);
    s->setSliderPosition(value);
    s->setSliderDown(false);
}

QColor centre(const QImage &image) {
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

} // namespace

class TestVideoInputPanel : public QObject {
    Q_OBJECT
    FramePool pool_{6, 192, 108};

    FrameTokenPtr frame(QColor colour = Qt::red) { return overlays::pooledFrame(pool_, colour, 0); }

private slots:
    // What reaches the source check and the panel from the picker; refusals keep the old source
    // and say why only when the check gave a reason.
    void choosingASource_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("refusal"); // null: accepted
        QTest::addColumn<bool>("chinese");
        QTest::addColumn<QString>("checked"); // what the check saw; empty: not asked
        QTest::addColumn<QString>("prompt");
        const QString cwd = QDir::currentPath();
        QTest::newRow("relative path is a local file")
            << u"clips/a b.mp4"_s << QString() << true << cwd + u"/clips/a b.mp4"_s << QString();
        QTest::newRow("stream") << u" rtmp://h/live "_s << QString() << true << u"rtmp://h/live"_s
                                << QString();
        QTest::newRow("refused with a reason")
            << u"/rec/show.mkv"_s << u"same as the recording"_s << true << u"/rec/show.mkv"_s
            << u"无法使用该源: same as the recording"_s;
        QTest::newRow("refused, English")
            << u"/rec/show.mkv"_s << u"taken"_s << false << u"/rec/show.mkv"_s
            << u"Cannot use this source: taken"_s;
        QTest::newRow("refused silently")
            << u"/rec/show.mkv"_s << u""_s << true << u"/rec/show.mkv"_s << QString();
        QTest::newRow("cancelled") << u"  "_s << QString() << true << QString() << QString();
    }
    void choosingASource() {
        QFETCH(QString, text);
        QFETCH(QString, refusal);
        QFETCH(bool, chinese);
        QFETCH(QString, checked);
        QFETCH(QString, prompt);
        QStringList prompts;
        UserPrompts::ScopedHandler boxes([&prompts](const UserPrompts::Prompt &p) {
            prompts << p.title + u": "_s + p.text;
            return false;
        });
        VideoInputPanel panel(2);
        panel.setChineseUi(chinese);
        button(panel, "openButton")->click(); // no picker: nothing happens
        open(panel, u"/media/old.mp4"_s);
        QCOMPARE(panel.programSource(), u"/media/old.mp4"_s);
        panel.setDurationMs(5000);
        panel.onChannelFrame(frame(), 1000);
        button(panel, "playButton")->click(); // paused

        QString seen;
        panel.setSourceCheck([&](const QString &address, QString *message) {
            seen = address;
            *message = refusal;
            return refusal.isNull();
        });
        QStringList *log = recordSignals(panel);
        open(panel, text);
        QCOMPARE(seen, checked);
        QCOMPARE(prompts, prompt.isNull() ? QStringList() : QStringList{prompt});
        if (!refusal.isNull() || checked.isEmpty()) {
            QCOMPARE(*log, QStringList());
            QCOMPARE(panel.programSource(), u"/media/old.mp4"_s);
            QCOMPARE(title(panel), u"CH3 | 00:01 / 00:05"_s);
            QVERIFY(!panel.isPlaying());
            return;
        }
        QCOMPARE(*log, QStringList({u"media 2"_s, u"playing 1"_s}));
        QCOMPARE(panel.programSource(), checked);
        QCOMPARE(panel.source().isLocalFile(), !checked.contains(u"://"_s));
        QCOMPARE(title(panel), u"CH3 | 00:00 / --:--"_s);
        QCOMPARE(button(panel, "playButton")->text(), u"⏸"_s);
        QCOMPARE(slider(panel, "positionSlider")->value(), 0);
    }

    // The title through an hour, and seeks only within a known duration.
    void titleAndSeeking_data() {
        QTest::addColumn<qint64>("durationMs");
        QTest::addColumn<qint64>("framePositionMs");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("handle");
        QTest::addColumn<int>("dragTo");
        QTest::addColumn<QString>("afterDrag");
        QTest::newRow("no duration") << qint64(-1) << qint64(5000) << u"CH1 | 00:05 / --:--"_s << 0
                                     << 500 << u"CH1 | 00:05 / --:--"_s;
        QTest::newRow("zero duration") << qint64(0) << qint64(5000) << u"CH1 | 00:05 / --:--"_s << 0
                                       << 900 << u"CH1 | 00:05 / --:--"_s;
        QTest::newRow("75 minutes")
            << qint64(2 * 3600000) << qint64(75 * 60000) << u"CH1 | 1:15:00 / 2:00:00"_s << 625
            << 500 << u"CH1 | 1:00:00 / 2:00:00"_s;
        QTest::newRow("59:59") << qint64(3600000 - 1) << qint64(3599000) << u"CH1 | 59:59 / 59:59"_s
                               << 999 << 0 << u"CH1 | 00:00 / 59:59"_s;
    }
    void titleAndSeeking() {
        QFETCH(qint64, durationMs);
        QFETCH(qint64, framePositionMs);
        QFETCH(QString, shown);
        QFETCH(int, handle);
        QFETCH(int, dragTo);
        QFETCH(QString, afterDrag);
        VideoInputPanel panel(0);
        QCOMPARE(title(panel), u"CH1 | 00:00 / 00:00"_s);
        open(panel, u"/media/a.mp4"_s);
        panel.setDurationMs(durationMs);
        panel.onChannelFrame(frame(), framePositionMs);
        QCOMPARE(title(panel), shown);
        QCOMPARE(slider(panel, "positionSlider")->value(), handle);

        QStringList *log = recordSignals(panel);
        drag(panel, dragTo);
        QCOMPARE(title(panel), afterDrag);
        if (durationMs > 0) {
            const qint64 target = dragTo * durationMs / 1000;
            // Moved and released: both ask for the same place.
            QCOMPARE(*log, QStringList({u"seek %1"_s.arg(target), u"seek %1"_s.arg(target)}));
            QCOMPARE(panel.positionMs(), target);
        } else {
            QCOMPARE(*log, QStringList());
            QCOMPARE(slider(panel, "positionSlider")->value(), 0);
        }
    }

    // After a natural end, late frames leave the shown position alone until the operator plays,
    // seeks or jumps.
    void endFreezesThePosition_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<qint64>("endedAt");
        QTest::addColumn<qint64>("finalMs");
        QTest::newRow("nothing") << u""_s << qint64(9900) << qint64(9900);
        QTest::newRow("past the duration") << u""_s << qint64(10500) << qint64(10000);
        QTest::newRow("play") << u"play"_s << qint64(9900) << qint64(400);
        QTest::newRow("seek") << u"seek"_s << qint64(9900) << qint64(400);
        QTest::newRow("jump") << u"jump"_s << qint64(9900) << qint64(400);
    }
    void endFreezesThePosition() {
        QFETCH(QString, action);
        QFETCH(qint64, endedAt);
        QFETCH(qint64, finalMs);
        VideoInputPanel panel(0);
        open(panel, u"/media/a.mp4"_s);
        panel.setDurationMs(10000);
        panel.onChannelFrame(frame(), endedAt);
        QStringList *log = recordSignals(panel);
        panel.onPlaybackEnded();
        panel.onPlaybackEnded(); // not playing any more: nothing
        QCOMPARE(*log, QStringList({u"playing 0"_s}));
        QCOMPARE(button(panel, "playButton")->text(), u"▶"_s);
        const QString endTitle = title(panel);

        panel.onChannelFrame(frame(), 200);
        QCOMPARE(panel.positionMs(), std::min<qint64>(endedAt, 10000));
        QCOMPARE(title(panel), endTitle);

        if (action == u"play"_s)
            button(panel, "playButton")->click();
        else if (action == u"seek"_s)
            drag(panel, 100);
        else if (action == u"jump"_s)
            panel.setPositionMs(20000);
        if (action == u"jump"_s)
            QCOMPARE(panel.positionMs(), 9999); // within the duration
        panel.onChannelFrame(frame(), 400);
        QCOMPARE(panel.positionMs(), finalMs);
    }

    void unloadInTheWrittenOrder_data() {
        QTest::addColumn<bool>("onPreview");
        QTest::addColumn<QStringList>("emitted");
        QTest::newRow("on the preview")
            << true << QStringList{u"playing 0"_s, u"preview 0"_s, u"unloaded 1"_s, u"media 1"_s};
        QTest::newRow("off the preview")
            << false << QStringList{u"playing 0"_s, u"unloaded 1"_s, u"media 1"_s};
    }
    void unloadInTheWrittenOrder() {
        QFETCH(bool, onPreview);
        QFETCH(QStringList, emitted);
        VideoInputPanel panel(1);
        open(panel, u"rtmp://h/live"_s);
        panel.setDurationMs(60000);
        panel.onChannelFrame(frame(), 30000);
        QStringList *log = recordSignals(panel);
        panel.setPreviewSwitch(onPreview); // shown, not echoed
        QCOMPARE(*log, QStringList());

        button(panel, "unloadButton")->click();
        QCOMPARE(*log, emitted);
        QVERIFY(!button(panel, "outputButton")->isChecked());
        QCOMPARE(panel.programSource(), QString());
        QCOMPARE(title(panel), u"CH2 | 00:00 / 00:00"_s);
        QCOMPARE(slider(panel, "positionSlider")->value(), 0);
        QCOMPARE(button(panel, "playButton")->text(), u"▶"_s);
        QVERIFY(thumbnail(panel).isNull());
        // A frame that was still on its way shows nothing.
        panel.onChannelFrame(frame(), 31000);
        QVERIFY(thumbnail(panel).isNull());
        QCOMPARE(title(panel), u"CH2 | 00:00 / 00:00"_s);
        QCOMPARE(panel.positionMs(), 0);
    }

    // The thumbnail fills the label keeping the picture's shape, follows a resize without a new
    // frame, and with a repaint limit still ends on the newest frame.
    void thumbnailPicture() {
        VideoInputPanel panel(0);
        panel.resize(480, 360);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        open(panel, u"/media/a.mp4"_s);
        panel.onChannelFrame(frame(Qt::red), 0);
        auto *label = panel.findChild<QLabel *>(u"thumbnailLabel"_s);
        QCOMPARE(thumbnail(panel).size(), label->contentsRect().size());
        QCOMPARE(centre(thumbnail(panel)), QColor(Qt::red));

        panel.resize(1000, 300); // a wide, low label: black bars left and right
        QCOMPARE(thumbnail(panel).size(), label->contentsRect().size());
        QCOMPARE(centre(thumbnail(panel)), QColor(Qt::red));
        QCOMPARE(thumbnail(panel).pixelColor(1, label->height() / 2), QColor(Qt::black));

        panel.setThumbnailPolicy(2, false);
        panel.onChannelFrame(frame(Qt::green), 100);
        panel.onChannelFrame(frame(Qt::blue), 200);
        panel.onChannelFrame(frame(Qt::yellow), 300);
        QCOMPARE(panel.positionMs(), 300); // position and title do not wait
        QVERIFY(centre(thumbnail(panel)) != QColor(Qt::yellow));
        QTRY_COMPARE_WITH_TIMEOUT(centre(thumbnail(panel)), QColor(Qt::yellow), 3000);
    }

    // The control row at a quarter of the window, the highlight frame, tool tips in both
    // languages, the small controls' signals, and the meter.
    void controls() {
        VideoInputPanel panel(3);
        panel.resize(460, 300);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(panel.width(), 460);
        const char *names[] = {"openButton",      "playButton",     "unloadButton", "loopButton",
                               "highlightButton", "positionSlider", "volumeSlider", "outputButton"};
        int right = 0;
        for (const char *name : names) {
            auto *w = panel.findChild<QWidget *>(QLatin1String(name));
            const QRect r(w->mapTo(&panel, QPoint(0, 0)), w->size());
            QVERIFY2(r.left() >= right && panel.rect().contains(r), name); // in order, all shown
            right = r.right();
            QVERIFY2(!w->toolTip().isEmpty(), name);
            const QString chinese = w->toolTip();
            panel.setChineseUi(false);
            QVERIFY2(!w->toolTip().isEmpty() && w->toolTip() != chinese, name);
            panel.setChineseUi(true);
        }
        QVERIFY(slider(panel, "positionSlider")->width() >= 60);
        QCOMPARE(button(panel, "playButton")->size(), QSize(28, 28));

        const auto edge = [&panel] { return panel.grab().toImage().pixelColor(0, 150); };
        const QColor plain = edge();
        button(panel, "highlightButton")->click();
        QCOMPARE(edge(), QColor(0xd4, 0xaf, 0x37));
        button(panel, "highlightButton")->click();
        QCOMPARE(edge(), plain);

        QStringList *log = recordSignals(panel);
        button(panel, "loopButton")->click();
        slider(panel, "volumeSlider")->triggerAction(QAbstractSlider::SliderPageStepAdd);
        button(panel, "outputButton")->click();
        QCOMPARE(*log, QStringList({u"media 3"_s, u"volume"_s, u"preview 1"_s}));
        QVERIFY(panel.loopEnabled());
        QCOMPARE(panel.volumePercent(), 20);

        auto *meter = panel.findChild<LevelMeter *>(u"channelMeter"_s);
        panel.setMeterSource([] { return 1.0f; });
        meter->poll();
        QCOMPARE(meter->levelDb(), 0.0f);
        QVERIFY(meter->isPolling());
        panel.hide();
        QVERIFY(!meter->isPolling());
        panel.setMeterSource({});
        meter->poll();
        QCOMPARE(meter->levelDb(), LevelMeterBallistics::kFloorDb);
    }
};

QTEST_MAIN(TestVideoInputPanel)
#include "tst_VideoInputPanel.moc"
