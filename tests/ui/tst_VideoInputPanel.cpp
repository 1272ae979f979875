// A channel panel as the operator uses it: choosing a source (and being refused), the title
// line, seeking, the end of the media, unloading, the thumbnail and the control row.

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

// The panel's signals in the order they came, e.g. "media 2", "playing 1".
struct Recorder {
    QStringList log;
    explicit Recorder(VideoInputPanel &p) {
        const auto add = [this](const char *what) {
            return [this, what](qint64 v) { log << u"%1 %2"_s.arg(QLatin1String(what)).arg(v); };
        };
        QObject::connect(&p, &VideoInputPanel::outputToPreviewToggled, add("preview"));
        QObject::connect(&p, &VideoInputPanel::programSeekRequested, add("seek"));
        QObject::connect(&p, &VideoInputPanel::mediaSourceUnloaded, add("unloaded"));
        QObject::connect(&p, &VideoInputPanel::channelMediaChanged, add("media"));
        QObject::connect(&p, &VideoInputPanel::playbackStateChanged, add("playing"));
        QObject::connect(&p, &VideoInputPanel::localChannelVolumeChanged,
                         [this] { log << "volume"; });
    }
};

template <class W = QPushButton> W *child(const VideoInputPanel &p, const char *name) {
    return p.findChild<W *>(QLatin1String(name));
}
QString title(const VideoInputPanel &p) {
    return child<QLabel>(p, "titleLabel")->text();
}
QColor thumbnailAt(const VideoInputPanel &p, int x = -1) {
    const QImage image = child<QLabel>(p, "thumbnailLabel")->pixmap().toImage();
    return image.isNull() ? QColor()
                          : image.pixelColor(x < 0 ? image.width() / 2 : x, image.height() / 2);
}
void open(VideoInputPanel &p, const QString &text) {
    p.setSourcePicker([text](QWidget *, bool) { return text; });
    child(p, "openButton")->click();
}
// Drags the position handle to `value` and lets go.
void drag(VideoInputPanel &p, int value) {
    QSlider *s = child<QSlider>(p, "positionSlider");
    s->setSliderDown(true);
    s->setSliderPosition(value);
    s->setSliderDown(false);
}

} // namespace

class TestVideoInputPanel : public QObject {
    Q_OBJECT
    FramePool pool_{6, 192, 108};
    FrameTokenPtr frame(QColor colour = Qt::red) { return overlays::pooledFrame(pool_, colour, 0); }

private slots:
    // The check sees what the decoder would open; a refusal keeps the old source and shows a
    // box only when the check gave a reason.
    void choosingASource() {
        const QString cwd = QDir::currentPath();
        const struct {
            QString text, refusal; // null refusal: accepted
            bool chinese;
            QString checked, prompt;
        } rows[] = {
            {u"clips/a b.mp4"_s, {}, true, cwd + u"/clips/a b.mp4"_s, {}},
            {u" rtmp://h/live "_s, {}, true, u"rtmp://h/live"_s, {}},
            {u"/rec/x.mkv"_s, u"in use"_s, true, u"/rec/x.mkv"_s, u"无法使用该源: in use"_s},
            {u"/rec/x.mkv"_s, u"in use"_s, false, u"/rec/x.mkv"_s,
             u"Cannot use this source: in use"_s},
            {u"/rec/x.mkv"_s, u""_s, true, u"/rec/x.mkv"_s, {}},
            {u"  "_s, {}, true, {}, {}}, // cancelled
        };
        for (const auto &row : rows) {
            QStringList prompts;
            UserPrompts::ScopedHandler boxes([&prompts](const UserPrompts::Prompt &p) {
                prompts << p.title + u": "_s + p.text;
                return false;
            });
            VideoInputPanel panel(2);
            panel.setChineseUi(row.chinese);
            child(panel, "openButton")->click(); // no picker: nothing
            open(panel, u"/media/old.mp4"_s);
            panel.setDurationMs(5000);
            panel.onChannelFrame(frame(), 1000);
            child(panel, "playButton")->click(); // paused
            QString seen;
            panel.setSourceCheck([&](const QString &address, QString *message) {
                seen = address;
                *message = row.refusal;
                return row.refusal.isNull();
            });
            Recorder signals_(panel);
            open(panel, row.text);
            QCOMPARE(seen, row.checked);
            QCOMPARE(prompts, row.prompt.isNull() ? QStringList() : QStringList(row.prompt));
            const bool accepted = row.refusal.isNull() && !row.checked.isEmpty();
            QCOMPARE(signals_.log,
                     accepted ? QStringList({"media 2", "playing 1"}) : QStringList());
            QCOMPARE(panel.programSource(), accepted ? row.checked : u"/media/old.mp4"_s);
            QCOMPARE(panel.source().isLocalFile(), !panel.programSource().contains(u"://"_s));
            QCOMPARE(title(panel), accepted ? u"CH3 | 00:00 / --:--"_s : u"CH3 | 00:01 / 00:05"_s);
            QCOMPARE(child(panel, "playButton")->text(), accepted ? u"⏸"_s : u"▶"_s);
        }
    }

    // The title through an hour; dragging seeks (on move and on release) only with a duration.
    void titleAndSeeking() {
        const struct {
            qint64 durationMs, atMs;
            QString shown;
            int handle, dragTo;
            QString afterDrag;
        } rows[] = {
            {-1, 5000, u"CH1 | 00:05 / --:--"_s, 0, 500, u"CH1 | 00:05 / --:--"_s},
            {0, 5000, u"CH1 | 00:05 / --:--"_s, 0, 900, u"CH1 | 00:05 / --:--"_s},
            {7200000, 4500000, u"CH1 | 1:15:00 / 2:00:00"_s, 625, 500,
             u"CH1 | 1:00:00 / 2:00:00"_s},
            {3599999, 3599000, u"CH1 | 59:59 / 59:59"_s, 999, 0, u"CH1 | 00:00 / 59:59"_s},
        };
        for (const auto &row : rows) {
            VideoInputPanel panel(0);
            QCOMPARE(title(panel), u"CH1 | 00:00 / 00:00"_s);
            open(panel, u"/media/a.mp4"_s);
            panel.setDurationMs(row.durationMs);
            panel.onChannelFrame(frame(), row.atMs);
            QCOMPARE(title(panel), row.shown);
            QCOMPARE(child<QSlider>(panel, "positionSlider")->value(), row.handle);
            Recorder signals_(panel);
            drag(panel, row.dragTo);
            QCOMPARE(title(panel), row.afterDrag);
            const QString seek = u"seek %1"_s.arg(row.dragTo * row.durationMs / 1000);
            QCOMPARE(signals_.log, row.durationMs > 0 ? QStringList({seek, seek}) : QStringList());
            QCOMPARE(child<QSlider>(panel, "positionSlider")->value(),
                     row.durationMs > 0 ? row.dragTo : 0);
        }
    }

    // After a natural end, late frames leave the position alone until play, seek or jump.
    void endFreezesThePosition() {
        const struct {
            const char *action;
            qint64 endedAt, finalMs;
        } rows[] = {{"", 9900, 9900},
                    {"", 10500, 10000},
                    {"play", 9900, 400},
                    {"seek", 9900, 400},
                    {"jump", 9900, 400}};
        for (const auto &row : rows) {
            const QByteArray action = row.action;
            VideoInputPanel panel(0);
            open(panel, u"/media/a.mp4"_s);
            panel.setDurationMs(10000);
            panel.onChannelFrame(frame(), row.endedAt);
            Recorder signals_(panel);
            panel.onPlaybackEnded();
            panel.onPlaybackEnded(); // no longer playing: nothing
            QCOMPARE(signals_.log, QStringList{"playing 0"});
            QCOMPARE(child(panel, "playButton")->text(), u"▶"_s);
            const QString ended = title(panel);
            panel.onChannelFrame(frame(), 200);
            QCOMPARE(panel.positionMs(), std::min<qint64>(row.endedAt, 10000));
            QCOMPARE(title(panel), ended);
            if (action == "play")
                child(panel, "playButton")->click();
            if (action == "seek")
                drag(panel, 100);
            if (action == "jump") {
                panel.setPositionMs(20000);
                QCOMPARE(panel.positionMs(), 9999); // within the duration
            }
            panel.onChannelFrame(frame(), 400);
            QCOMPARE(panel.positionMs(), row.finalMs);
        }
    }

    void unloadInTheWrittenOrder() {
        for (const bool onPreview : {true, false}) {
            VideoInputPanel panel(1);
            open(panel, u"rtmp://h/live"_s);
            panel.setDurationMs(60000);
            panel.onChannelFrame(frame(), 30000);
            Recorder signals_(panel);
            panel.setPreviewSwitch(onPreview); // shown, not echoed
            child(panel, "unloadButton")->click();
            QStringList expected{"playing 0", "preview 0", "unloaded 1", "media 1"};
            if (!onPreview)
                expected.removeAt(1);
            QCOMPARE(signals_.log, expected);
            QVERIFY(!child(panel, "outputButton")->isChecked());
            QCOMPARE(panel.programSource(), QString());
            QCOMPARE(child<QSlider>(panel, "positionSlider")->value(), 0);
            // A frame still on its way after the unload shows nothing.
            panel.onChannelFrame(frame(), 31000);
            QCOMPARE(thumbnailAt(panel), QColor());
            QCOMPARE(title(panel), u"CH2 | 00:00 / 00:00"_s);
        }
    }

    // The thumbnail keeps the picture's shape, follows a resize without a new frame, and with
    // a repaint limit still ends on the newest frame.
    void thumbnail() {
        VideoInputPanel panel(0);
        panel.resize(480, 360);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        open(panel, u"/media/a.mp4"_s);
        panel.onChannelFrame(frame(Qt::red), 0);
        auto *label = child<QLabel>(panel, "thumbnailLabel");
        QCOMPARE(label->pixmap().size(), label->contentsRect().size());
        panel.resize(1000, 300); // a wide, low label: black bars left and right
        QCOMPARE(label->pixmap().size(), label->contentsRect().size());
        QCOMPARE(thumbnailAt(panel), QColor(Qt::red));
        QCOMPARE(thumbnailAt(panel, 1), QColor(Qt::black));

        panel.setThumbnailPolicy(2, false);
        int atMs = 0;
        for (QColor c : {Qt::green, Qt::blue, Qt::yellow})
            panel.onChannelFrame(frame(c), atMs += 100);
        QCOMPARE(panel.positionMs(), 300); // the position does not wait
        QVERIFY(thumbnailAt(panel) != QColor(Qt::yellow));
        QTRY_COMPARE_WITH_TIMEOUT(thumbnailAt(panel), QColor(Qt::yellow), 3000);
    }

    // At a quarter of the window every control is shown, in order; the highlight frames the
    // panel; the small controls report; the meter reads only while shown.
    void controlRow() {
        VideoInputPanel panel(3);
        panel.resize(460, 300);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(panel.width(), 460);
        int right = 0;
        for (const char *name :
             {"openButton", "playButton", "unloadButton", "loopButton", "highlightButton",
              "positionSlider", "volumeSlider", "outputButton"}) {
            auto *w = child<QWidget>(panel, name);
            const QRect r(w->mapTo(&panel, QPoint()), w->size());
            QVERIFY2(r.left() > right && panel.rect().contains(r) && w->width() >= 28, name);
            right = r.right();
        }
        QCOMPARE(child(panel, "playButton")->size(), QSize(28, 28));

        const auto edge = [&panel] { return panel.grab().toImage().pixelColor(0, 150); };
        const QColor plain = edge();
        child(panel, "highlightButton")->click();
        QCOMPARE(edge(), QColor(0xd4, 0xaf, 0x37));
        child(panel, "highlightButton")->click();
        QCOMPARE(edge(), plain);

        Recorder signals_(panel);
        child(panel, "loopButton")->click();
        child<QSlider>(panel, "volumeSlider")->triggerAction(QAbstractSlider::SliderPageStepAdd);
        child(panel, "outputButton")->click();
        QCOMPARE(signals_.log, QStringList({"media 3", "volume", "preview 1"}));
        QVERIFY(panel.loopEnabled());
        QCOMPARE(panel.volumePercent(), 20);

        auto *meter = child<LevelMeter>(panel, "channelMeter");
        panel.setMeterSource([] { return 1.0f; });
        meter->poll();
        QVERIFY(meter->levelDb() == 0.0f && meter->isPolling());
        panel.hide();
        QVERIFY(!meter->isPolling());
    }
};

QTEST_MAIN(TestVideoInputPanel)
#include "tst_VideoInputPanel.moc"
