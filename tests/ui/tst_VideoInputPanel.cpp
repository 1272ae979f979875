// A channel panel as the operator uses it: source, title, seeking, end, unload, thumbnail.

#include "common/OverlayFixtures.h"
#include "ui/UserPrompts.h"
#include "ui/panels/VideoInputPanel.h"

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
    }
};

template <class W = QPushButton> W *child(const VideoInputPanel &p, const char *name) {
    return p.findChild<W *>(QLatin1String(name));
}
QString title(const VideoInputPanel &p) {
    return child<QLabel>(p, "titleLabel")->text();
}
QColor thumbnailAt(const VideoInputPanel &p, int x = -1) {
    const QImage i = child<QLabel>(p, "thumbnailLabel")->pixmap().toImage();
    return i.isNull() ? QColor() : i.pixelColor(x < 0 ? i.width() / 2 : x, i.height() / 2);
}

} // namespace

class TestVideoInputPanel : public QObject {
    Q_OBJECT
    FramePool pool_{6, 192, 108};
    FrameTokenPtr frame(QColor colour = Qt::red) { return overlays::pooledFrame(pool_, colour, 0); }
    std::unique_ptr<VideoInputPanel> loaded(int channel, qint64 durationMs, qint64 atMs) {
        auto panel = std::make_unique<VideoInputPanel>(channel);
        panel->setSourceText(u"/media/a.mp4"_s);
        panel->setDurationMs(durationMs);
        panel->onChannelFrame(frame(), atMs);
        return panel;
    }

private slots:
    // A refusal keeps the old source and shows a box only when the check gave a reason.
    void choosingASource() {
        const struct {
            QString text, refusal, accepted, prompts; // null refusal: accepted
        } rows[] = {
            {u"clips/a b.mp4"_s, {}, QDir::currentPath() + u"/clips/a b.mp4"_s, {}},
            {u"/rec/x.mkv"_s, u"in use"_s, {}, u"无法使用该源: in use"_s},
            {u"/rec/x.mkv"_s, u""_s, {}, {}},
            {u"  "_s, {}, {}, {}}, // cancelled
        };
        for (const auto &row : rows) {
            QStringList prompts;
            UserPrompts::ScopedHandler boxes([&prompts](const UserPrompts::Prompt &p) {
                prompts << p.title + u": "_s + p.text;
                return false;
            });
            auto panel = loaded(2, 5000, 1000);
            panel->setSourceCheck([&](const QString &, QString *message) {
                return (*message = row.refusal).isNull();
            });
            Recorder signals_(*panel);
            panel->setSourcePicker([&](QWidget *, bool) { return row.text; });
            child(*panel, "openButton")->click();
            QCOMPARE(prompts.join('|'), row.prompts); // no box is ""
            const bool accepted = !row.accepted.isNull();
            QCOMPARE(signals_.log.join(' '), accepted ? u"media 2 playing 1"_s : u""_s);
            QCOMPARE(panel->programSource(), accepted ? row.accepted : u"/media/a.mp4"_s);
            QCOMPARE(panel->source().isLocalFile(), !panel->programSource().contains(u"://"_s));
        }
    }

    // The title at 75 minutes; a drag seeks (on move and on release) only with a duration.
    void titleAndSeeking() {
        for (const qint64 durationMs : {-1, 0, 7200000}) {
            auto panel = loaded(0, durationMs, 4500000);
            const bool known = durationMs > 0;
            const QString total = known ? u" / 2:00:00"_s : u" / --:--"_s;
            QCOMPARE(title(*panel), u"CH1 | 1:15:00"_s + total);
            Recorder signals_(*panel);
            auto *handle = child<QSlider>(*panel, "positionSlider");
            handle->setSliderDown(true); // dragged to the middle and let go
            handle->setSliderPosition(500);
            handle->setSliderDown(false);
            QCOMPARE(title(*panel), (known ? u"CH1 | 1:00:00"_s : u"CH1 | 1:15:00"_s) + total);
            QCOMPARE(signals_.log, known ? QStringList(2, u"seek 3600000"_s) : QStringList());
        }
    }

    // Late frames after a natural end leave the position alone until play (play, end, final).
    void endFreezesThePosition() {
        for (const auto &[play, endedAt, finalMs] :
             {std::tuple{false, 9900, 9900}, {false, 10500, 10000}, {true, 9900, 400}}) {
            auto panel = loaded(0, 10000, endedAt);
            Recorder signals_(*panel);
            panel->onPlaybackEnded();
            QCOMPARE(signals_.log, QStringList{"playing 0"});
            panel->onChannelFrame(frame(), 200);
            QCOMPARE(panel->positionMs(), std::min(endedAt, 10000));
            if (play)
                child(*panel, "playButton")->click();
            panel->onChannelFrame(frame(), 400);
            QCOMPARE(panel->positionMs(), finalMs);
        }
    }

    void unloadInTheWrittenOrder() {
        auto panel = loaded(1, 60000, 30000);
        Recorder signals_(*panel);
        panel->setPreviewSwitch(true); // shown, not echoed
        child(*panel, "unloadButton")->click();
        QCOMPARE(signals_.log, QStringList({"playing 0", "preview 0", "unloaded 1", "media 1"}));
        panel->onChannelFrame(frame(), 31000); // still on its way: shows nothing
        QCOMPARE(thumbnailAt(*panel), QColor());
        QCOMPARE(title(*panel), u"CH2 | 00:00 / 00:00"_s);
    }

    // A resize repaints from the held frame; with a repaint limit the newest frame still shows.
    void thumbnail() {
        auto panel = loaded(0, 10000, 0);
        panel->show();
        panel->resize(1000, 300); // a wide, low label: black bars left and right
        QCOMPARE(thumbnailAt(*panel), QColor(Qt::red));
        QCOMPARE(thumbnailAt(*panel, 1), QColor(Qt::black));
        panel->setThumbnailPolicy(2, false);
        for (QColor c : {Qt::green, Qt::blue, Qt::yellow})
            panel->onChannelFrame(frame(c), 100);
        QVERIFY(thumbnailAt(*panel) != QColor(Qt::yellow));
        QTRY_COMPARE_WITH_TIMEOUT(thumbnailAt(*panel), QColor(Qt::yellow), 3000);
    }
};

QTEST_MAIN(TestVideoInputPanel)
#include "tst_VideoInputPanel.moc"
