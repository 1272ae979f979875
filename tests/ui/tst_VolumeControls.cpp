// The volume panel as the operator sees and uses it: LED sliders set by the mouse, their
// animation and colours, the panel's signals and setters, and the level meters beside them.

#include "ui/panels/VolumeCtrlWidget.h"
#include "ui/widgets/LedSlider.h"
#include "ui/widgets/LevelMeter.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

namespace {

void leftClickAt(QWidget &widget, int y) {
    QTest::mouseClick(&widget, Qt::LeftButton, {}, QPoint(widget.width() / 2, y));
}

// The percentages under the four overlay sliders and the output slider.
QString shown(const VolumeCtrlWidget &panel) {
    QStringList texts;
    for (const char *name : {"overlay0", "overlay1", "overlay2", "overlay3", "output"})
        texts << panel.findChild<QLabel *>(name + QStringLiteral("Percent"))->text();
    return texts.join(' ');
}

} // namespace

class TestVolumeControls : public QObject {
    Q_OBJECT
private slots:
    // y in a 200 px slider -> value in steps of 5; each click reports, also an unchanged value.
    void sliderFollowsTheMouse() {
        LedSlider slider;
        slider.resize(25, 200);
        QSignalSpy changed(&slider, &LedSlider::valueChanged);
        const struct { int y, value; } rows[] = {{200 - 74, 35}, {0, 100}, {230, 0}};
        for (const auto &row : rows) {
            leftClickAt(slider, row.y);
            leftClickAt(slider, row.y);
            QCOMPARE(slider.value(), row.value);
            QCOMPARE(changed, QList<QVariantList>({{row.value}, {row.value}}));
            changed.clear();
        }
    }

    // Two per step without overshoot; then the segments from the bottom, sampled in the middle.
    void sliderAnimatesAndColours() {
        const struct {
            int from, to, steps;
            const char *colours;
        } rows[] = {{20, 100, 40, "GGGGGGGGGGGGYYYYYRRR"}, {100, 50, 25, "GGGGGGGGGG----------"}};
        for (const auto &row : rows) {
            LedSlider slider;
            slider.resize(25, 200);
            slider.setValue(row.from);
            while (slider.displayValue() != row.from)
                slider.animateStep();
            slider.setValue(row.to);
            int steps = 0;
            for (; slider.displayValue() != row.to && steps < 1000; ++steps) {
                slider.animateStep();
                QVERIFY((slider.displayValue() - row.to) * (row.from - row.to) >= 0);
            }
            QCOMPARE(steps, row.steps);
            const QImage image = slider.grab().toImage();
            QString colours; // G, Y, R for a lit segment, '-' for an unlit (grey) one
            for (int i = 0; i < 20; ++i) {
                const QRgb pixel = image.pixel(12, 200 - i * 10 - 5);
                colours += "-GRY"[(qGreen(pixel) > 120) + 2 * (qRed(pixel) > 120)];
            }
            QCOMPARE(colours, QString::fromLatin1(row.colours));
        }
    }

    // Setters limit and show the value without a signal (slot -1 here: the output; a slot
    // outside 0 … 3 reads 100); clicks report their slot and value; each meter polls its own
    // source, and without one shows silence.
    void panel() {
        VolumeCtrlWidget panel;
        QSignalSpy input(&panel, &VolumeCtrlWidget::inputVolumeChanged);
        QSignalSpy preview(&panel, &VolumeCtrlWidget::previewVolumeChanged);
        const struct {
            int slot, volume, reads;
            const char *shown;
        } rows[] = {{5, 40, 100, "20% 20% 20% 20% 50%"},
                    {0, 140, 100, "100% 20% 20% 20% 50%"},
                    {-1, -30, 0, "100% 20% 20% 20% 0%"}};
        for (const auto &row : rows) {
            row.slot < 0 ? panel.setPreviewVolume(row.volume)
                         : panel.setInputVolume(row.slot, row.volume);
            QCOMPARE(row.slot < 0 ? panel.previewVolume() : panel.inputVolume(row.slot), row.reads);
            QCOMPARE(shown(panel), QString::fromUtf8(row.shown));
        }
        QCOMPARE(input.count() + preview.count(), 0);
        leftClickAt(*panel.findChild<LedSlider *>("overlay2Slider"), 0);
        leftClickAt(*panel.findChild<LedSlider *>("outputSlider"), 0);
        QCOMPARE(input, QList<QVariantList>({{2, 100}}));
        QCOMPARE(preview, QList<QVariantList>({{100}}));
        QCOMPARE(shown(panel), QStringLiteral("100% 20% 100% 20% 100%"));

        const auto level = [&panel](const char *meter) {
            panel.findChild<LevelMeter *>(meter)->poll();
            return std::lround(panel.findChild<LevelMeter *>(meter)->levelDb());
        };
        panel.setMeterSources([](int s) { return s == 2 ? 1.0f : 0.0f; }, [] { return 0.1f; });
        QCOMPARE(level("overlay2Meter"), 0);
        QCOMPARE(level("overlay1Meter"), -60);
        QCOMPARE(level("outputMeter"), -20);
        panel.setMeterSources({}, {});
        QCOMPARE(level("outputMeter"), -60);
    }
};

QTEST_MAIN(TestVolumeControls)
#include "tst_VolumeControls.moc"
