// The overlay stage as the operator uses it: adding, cascading, dragging, resizing, transport,
// attach, apply and remove, driven through the view and the items' own controls.

#include "common/WidgetChild.h"
#include "ui/panels/MediaOverlayWidget.h"
#include "ui/widgets/ImageOverlayWidget.h"
#include "ui/widgets/VideoOverlayWidget.h"

#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

void moveMouse(QGraphicsView *view, QPointF scenePos, Qt::MouseButtons buttons) {
    const QPoint p = view->mapFromScene(scenePos);
    QMouseEvent move(QEvent::MouseMove, p, view->viewport()->mapToGlobal(p), Qt::NoButton, buttons,
                     Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
}

void drag(QGraphicsView *view, QPointF from, QPointF to) {
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, view->mapFromScene(from));
    moveMouse(view, (from + to) / 2, Qt::LeftButton);
    moveMouse(view, to, Qt::LeftButton);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, view->mapFromScene(to));
}

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

struct Stage {
    MediaOverlayWidget panel;
    Stage() {
        panel.resize(700, 450);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
    }
    QPushButton *button(const char *name) {
        return panel.findChild<QPushButton *>(QLatin1String(name));
    }
};

} // namespace

class TestMediaOverlayWidget : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        qRegisterMetaType<VideoOverlayWidget *>();
        qRegisterMetaType<ImageOverlayWidget *>();
    }
    void cleanup() { MediaOverlayWidget::setFileChooser({}); }

    // Eight items of any kind fill the stage; a removal makes room again, with a fresh id.
    void stageHoldsEightItems() {
        const struct {
            int videos; // the rest of the eight are images
            bool removeVideo;
        } rows[] = {{8, true}, {0, false}, {3, false}, {5, true}};
        for (const auto &row : rows) {
            Stage s;
            QList<QGraphicsObject *> items;
            for (int i = 0; i < MediaOverlayWidget::kMaxItems; ++i) {
                QGraphicsObject *item =
                    i < row.videos
                        ? static_cast<QGraphicsObject *>(s.panel.addVideoOverlay(u"v.mp4"_s, {}))
                        : s.panel.addImageOverlay(u"missing.png"_s, {});
                QVERIFY(item);
                items << item;
            }
            QCOMPARE(s.panel.itemCount(), 8);
            QVERIFY(!s.panel.addVideoOverlay(u"v.mp4"_s, {}));
            QVERIFY(!s.panel.addImageOverlay(u"i.png"_s, {}));
            QVERIFY(!s.button("addVideoButton")->isEnabled());
            QVERIFY(!s.button("addImageButton")->isEnabled());

            QGraphicsObject *gone = row.removeVideo ? items.first() : items.last();
            itemControl(gone, "removeButton")->click();
            QCOMPARE(s.panel.itemCount(), 7);
            QVERIFY(s.button("addVideoButton")->isEnabled());
            QVERIFY(s.button("addImageButton")->isEnabled());
            VideoOverlayWidget *again = s.panel.addVideoOverlay(u"w.mp4"_s, {});
            QVERIFY(again);
            QCOMPARE(again->mediaId(), 9);
            QCOMPARE(s.panel.videoItem(9), again);
            QVERIFY(!s.panel.addVideoOverlay(u""_s, {}));
        }
    }

    // Each chosen file lands 30 further down-right; a cancelled choice moves nothing.
    void buttonsCascade() {
        const struct {
            const char *button;
            QStringList answers;
            QList<QPointF> positions;
            QString caption, filter;
        } rows[] = {
            {"addVideoButton",
             {u"a.mp4"_s, u"b.mp4"_s, u"c.mp4"_s},
             {{10, 10}, {40, 40}, {70, 70}},
             u"选择视频"_s,
             u"视频 (*.mp4 *.avi *.mov)"_s},
            {"addImageButton",
             {u"a.png"_s, u""_s, u"b.png"_s},
             {{10, 10}, {40, 40}},
             u"选择图片"_s,
             u"图片 (*.png *.jpg *.bmp)"_s},
        };
        for (const auto &row : rows) {
            Stage s;
            QStringList asked;
            QStringList answers = row.answers;
            MediaOverlayWidget::setFileChooser([&](QWidget *, const QString &c, const QString &f) {
                asked << c + u" | "_s + f;
                return answers.takeFirst();
            });
            QList<QPointF> positions;
            connect(&s.panel, &MediaOverlayWidget::videoOverlayAdded, this,
                    [&](VideoOverlayWidget *v) { positions << v->rectInScene().topLeft(); });
            connect(&s.panel, &MediaOverlayWidget::imageOverlayAdded, this,
                    [&](ImageOverlayWidget *i) { positions << i->rectInScene().topLeft(); });
            for (int i = 0; i < row.answers.size(); ++i)
                s.button(row.button)->click();
            QCOMPARE(positions, row.positions);
            QCOMPARE(asked.first(), row.caption + u" | "_s + row.filter);
        }
    }

    // Dragging stops at the scene's edges; a video's control bar must stay on the stage too.
    void draggingStaysOnStage() {
        const qreal bar = VideoOverlayWidget::kControlBarHeight;
        const struct {
            bool video;
            QPointF by;
            QPointF topLeft;
        } rows[] = {
            {true, {1000, 1000}, {320, 180 - bar}}, {true, {-1000, -1000}, {0, 0}},
            {true, {50, 30}, {150, 130}},           {false, {1000, 1000}, {320, 180}},
            {false, {-1000, 20}, {0, 120}},
        };
        for (const auto &row : rows) {
            Stage s;
            QGraphicsObject *item =
                row.video
                    ? static_cast<QGraphicsObject *>(s.panel.addVideoOverlay(u"v"_s, {100, 100}))
                    : s.panel.addImageOverlay(u"i"_s, {100, 100});
            QSignalSpy followed(&s.panel, &MediaOverlayWidget::videoOverlayGeometryChanged);
            const QPointF grab(200, 150);
            drag(s.panel.view(), grab, grab + row.by);
            const QRectF r = item->mapRectToScene(QRectF(0, 0, 320, 180));
            QCOMPARE(r.topLeft(), row.topLeft);
            QVERIFY(item->isSelected());
            if (row.video)
                QCOMPARE(followed.last().at(1).toRectF(), r);
        }
    }

    // A handle changes the size from its own side(s), within the stage and above the minimum.
    void handlesResize() {
        const struct {
            QPointF handle; // in the item's own coordinates (320 x 180 at (100, 60))
            QPointF by;
            Qt::CursorShape cursor;
            QRectF rect;
        } rows[] = {
            {{320, 180}, {40, 20}, Qt::SizeFDiagCursor, {100, 60, 360, 200}},
            {{320, 90}, {50, 0}, Qt::SizeHorCursor, {100, 60, 370, 180}},
            {{0, 0}, {-30, -20}, Qt::SizeFDiagCursor, {70, 40, 350, 200}},
            {{320, 0}, {400, -400}, Qt::SizeBDiagCursor, {100, 0, 540, 240}},
            {{160, 180}, {0, 500}, Qt::SizeVerCursor, {100, 60, 320, 300 - 28}},
            {{0, 90}, {600, 0}, Qt::SizeHorCursor, {220, 60, 200, 180}}, // minimum width
            {{160, 90}, {0, 0}, Qt::SizeAllCursor, {100, 60, 320, 180}},
        };
        for (const auto &row : rows) {
            Stage s;
            VideoOverlayWidget *v = s.panel.addVideoOverlay(u"v"_s, {100, 60});
            const QPointF at = v->mapToScene(row.handle);
            moveMouse(s.panel.view(), at, Qt::NoButton);
            QCOMPARE(v->cursor().shape(), row.cursor);
            drag(s.panel.view(), at, at + row.by);
            QCOMPARE(v->rectInScene(), row.rect);
            QCOMPARE(itemControl<QPushButton>(v, "playButton")->parentWidget()->width(),
                     int(row.rect.width()));
        }
    }

    // Attaching a paused video starts it; the request carries the running state.
    void attachAndDetach() {
        const struct { bool playingBefore; } rows[] = {{false}, {true}};
        for (const auto &row : rows) {
            Stage s;
            VideoOverlayWidget *v = s.panel.addVideoOverlay(u"/clips/v.mp4"_s, {40, 40});
            if (row.playingBefore)
                itemControl(v, "playButton")->click();
            QSignalSpy apply(&s.panel, &MediaOverlayWidget::videoOverlayApplyRequested);
            QSignalSpy detach(&s.panel, &MediaOverlayWidget::videoOverlayDetachRequested);
            QPushButton *attach = itemControl(v, "attachButton");
            QCOMPARE(attach->toolTip(), u"叠加到节目输出"_s);
            attach->click();
            QCOMPARE(apply.size(), 1);
            QCOMPARE(apply[0][1].toString(), u"/clips/v.mp4"_s);
            QCOMPARE(apply[0][2].toRectF(), QRectF(40, 40, 320, 180));
            QCOMPARE(apply[0][4].toBool(), true);
            QVERIFY(v->isPlaying());
            QCOMPARE(itemControl(v, "playButton")->text(), u"⏸"_s);
            QCOMPARE(attach->toolTip(), u"取消叠加"_s);
            attach->click();
            QCOMPARE(detach.size(), 1);
            QCOMPARE(attach->toolTip(), u"叠加到节目输出"_s);

            v->setAttached(true); // the window's word: no request back
            QVERIFY(attach->isChecked() && v->isAttached());
            v->reset();
            QVERIFY(!attach->isChecked() && !v->isAttached() && !v->isPlaying());
            QCOMPARE(apply.size(), 1);
            QCOMPARE(detach.size(), 1);
        }
    }

    // The slider seeks only in a file of known length, while dragged and when let go.
    void positionSliderSeeks() {
        const struct {
            qint64 durationMs;
            int slider;
            QList<qint64> syncs;
        } rows[] = {
            {0, 500, {}},
            {10000, 500, {5000, 5000}},
            {90000, 1000, {90000, 90000}},
        };
        for (const auto &row : rows) {
            Stage s;
            VideoOverlayWidget *v = s.panel.addVideoOverlay(u"v"_s, {});
            v->setDurationMs(row.durationMs);
            QList<qint64> syncs;
            connect(&s.panel, &MediaOverlayWidget::videoOverlaySyncRequested, this,
                    [&](VideoOverlayWidget *, qint64 ms, bool) { syncs << ms; });
            auto *slider = itemControl<QSlider>(v, "positionSlider");
            slider->setSliderDown(true);
            slider->setSliderPosition(row.slider);
            slider->setSliderDown(false);
            QCOMPARE(syncs, row.syncs);
            QCOMPARE(v->positionMs(), row.syncs.isEmpty() ? 0 : row.syncs.last());
        }
    }

    // The window hears of a removal while the item is still there, so it can let go of it first.
    void removalReachesTheWindowFirst() {
        const struct {
            bool video, byMouse;
        } rows[] = {{false, false}, {true, false}, {false, true}, {true, true}};
        for (const auto [video, byMouse] : rows) {
            Stage s;
            QGraphicsObject *item =
                video ? static_cast<QGraphicsObject *>(s.panel.addVideoOverlay(u"v"_s, {}))
                      : s.panel.addImageOverlay(u"i"_s, {});
            const int id = video ? static_cast<VideoOverlayWidget *>(item)->mediaId()
                                 : static_cast<ImageOverlayWidget *>(item)->mediaId();
            QPointer<QGraphicsObject> watch(item);
            int heard = 0;
            const auto check = [&](QGraphicsObject *asked) {
                ++heard;
                QCOMPARE(asked, item);
                QCOMPARE(item->scene(), s.panel.view()->scene());
                QCOMPARE(s.panel.itemCount(), 1);
            };
            connect(&s.panel, &MediaOverlayWidget::imageOverlayRemoveRequested, this, check);
            connect(&s.panel, &MediaOverlayWidget::videoOverlayRemoveRequested, this, check);
            QPushButton *remove = itemControl(item, "removeButton");
            if (byMouse) {
                // Through the stage: the item goes while its own button is being released.
                const QPointF at = remove->parentWidget()->graphicsProxyWidget()->mapToScene(
                    QRectF(remove->geometry()).center());
                QTest::mouseClick(s.panel.view()->viewport(), Qt::LeftButton, {},
                                  s.panel.view()->mapFromScene(at));
            } else {
                remove->click();
            }
            QCOMPARE(heard, 1);
            QCOMPARE(s.panel.itemCount(), 0);
            QVERIFY(!s.panel.videoItem(id) && !s.panel.imageItem(id));
            QVERIFY(s.panel.view()->scene()->items().isEmpty());
            flushDeletes();
            QVERIFY(!watch);
        }
    }

    // The apply request carries the slider's opacity and where the picture stands.
    void imageApplyCarriesOpacity() {
        const struct {
            int slider;
            double opacity;
        } rows[] = {{100, 1.0}, {35, 0.35}, {0, 0.0}};
        for (const auto &row : rows) {
            Stage s;
            ImageOverlayWidget *i = s.panel.addImageOverlay(u"/p/logo.png"_s, {30, 20});
            itemControl<QSlider>(i, "opacitySlider")->setValue(row.slider);
            QSignalSpy apply(&s.panel, &MediaOverlayWidget::imageOverlayApplyRequested);
            itemControl(i, "applyButton")->click();
            QCOMPARE(apply.size(), 1);
            QCOMPARE(apply[0][0].value<ImageOverlayWidget *>(), i);
            QCOMPARE(apply[0][1].toString(), u"/p/logo.png"_s);
            QCOMPARE(apply[0][2].toRectF(), QRectF(30, 20, 320, 180));
            QCOMPARE(apply[0][3].toDouble(), row.opacity);
        }
    }

    // The editor's picture arrives in the background; an item removed before that is no harm.
    void imageLoadsInTheBackground() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"p.png"_s);
        QImage picture(80, 40, QImage::Format_RGB32);
        picture.fill(Qt::green);
        QVERIFY(picture.save(path));
        for (bool removeAtOnce : {false, true}) {
            Stage s;
            ImageOverlayWidget *i = s.panel.addImageOverlay(path, {});
            QPointer<ImageOverlayWidget> watch(i);
            if (removeAtOnce) {
                itemControl(i, "removeButton")->click();
                flushDeletes();
                QVERIFY(!watch);
                QThreadPool::globalInstance()->waitForDone();
                QCoreApplication::processEvents();
            } else {
                QTRY_VERIFY(i->hasPicture());
            }
        }
    }
};

QTEST_MAIN(TestMediaOverlayWidget)
#include "tst_MediaOverlayWidget.moc"
