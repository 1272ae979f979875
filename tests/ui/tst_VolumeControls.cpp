// The volume panel as the operator sees and uses it: LED sliders set by the mouse, their
// animation and colours, the panel's signals and setters, and the level meters beside them.

#include "ui/panels/VolumeCtrlWidget.h"
#include "ui/widgets/LedSlider.h"
#include "ui/widgets/LevelMeter.h"

#include <QGroupBox>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

namespace {

// G, Y, R for a lit green, yellow or red segment, '-' for an unlit one, '.' for the dark
// background, '?' for anything else.
char colourOf(QRgb pixel) {
    const int r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
    if (r + g + b < 60)
        return '.';
    if (b < 80 && r < 60 && g > 120)
        return 'G';
    if (b < 80 && r > 120)
        return g > 120 ? 'Y' : g < 60 ? 'R' : '?';
    return std::abs(r - 50) + std::abs(g - 50) + std::abs(b - 50) < 10 ? '-' : '?';
}

void settle(LedSlider &slider) {
    while (slider.displayValue() != slider.value())
        slider.animateStep();
}

void sendMouse(QWidget &widget, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons held,
               int y) {
    const QPointF at(widget.width() / 2, y);
    QMouseEvent event(type, at, widget.mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

void leftClickAt(QWidget &widget, int y) {
    QTest::mouseClick(&widget, Qt::LeftButton, {}, QPoint(widget.width() / 2, y));
}

QStringList percentLabels(const VolumeCtrlWidget &panel) {
    QStringList texts;
    for (const char *name : {"overlay0", "overlay1", "overlay2", "overlay3", "output"})
        texts << panel.findChild<QLabel *>(name + QStringLiteral("Percent"))->text();
    return texts;
}

} // namespace

class TestVolumeControls : public QObject {
    Q_OBJECT
private slots:
    // y in a 200 px slider -> value; each click reports, also an unchanged value.
    void sliderFollowsTheMouse() {
        LedSlider slider;
        slider.resize(25, 200);
        slider.show();
        QVERIFY(QTest::qWaitForWindowExposed(&slider));
        QSignalSpy changed(&slider, &LedSlider::valueChanged);
        const struct {
            int y, value;
        } rows[] = {{200 - 74, 35}, {0, 100}, {199, 0}, {230, 0}, {200 - 119, 55}, {80, 60}};
        for (const auto &row : rows) {
            leftClickAt(slider, row.y);
            leftClickAt(slider, row.y);
            QCOMPARE(slider.value(), row.value);
            QCOMPARE(changed.takeFirst().at(0).toInt(), row.value);
            QCOMPARE(changed.takeFirst().at(0).toInt(), row.value);
        }
        // Dragging with the left button sets; the right button does nothing.
        sendMouse(slider, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, 0);
        sendMouse(slider, QEvent::MouseMove, Qt::NoButton, Qt::RightButton, 20);
        QVERIFY(changed.isEmpty());
        sendMouse(slider, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, 150);
        QCOMPARE(slider.value(), 25);
        QCOMPARE(changed.count(), 1);
    }

    void sliderAnimates() {
        const struct { int from, to, steps; } rows[] = {{20, 100, 40}, {100, 15, 43}, {50, 50, 0}};
        for (const auto &row : rows) {
            LedSlider slider;
            slider.setValue(row.from);
            settle(slider);
            slider.setValue(row.to);
            int steps = 0;
            for (; slider.displayValue() != row.to && steps < 1000; ++steps) {
                const int before = slider.displayValue();
                slider.animateStep();
                QVERIFY(std::abs(slider.displayValue() - before) <= 2);
                QVERIFY((slider.displayValue() - row.to) * (row.from - row.to) >=
                        0); // no overshoot
            }
            QCOMPARE(steps, row.steps);
        }
    }

    // Segment colours from the bottom, sampled in the middle of each 10 px segment.
    void sliderColours() {
        const struct {
            int value;
            const char *colours;
        } rows[] = {{100, "GGGGGGGGGGGGYYYYYRRR"},
                    {50, "GGGGGGGGGG----------"},
                    {74, "GGGGGGGGGGGGYY------"},
                    {0, "--------------------"}};
        for (const auto &row : rows) {
            LedSlider slider;
            slider.resize(25, 200);
            slider.setValue(row.value);
            settle(slider);
            const QImage image = slider.grab().toImage();
            QString colours;
            for (int i = 0; i < 20; ++i)
                colours += QChar(colourOf(image.pixel(12, 200 - i * 10 - 5)));
            QCOMPARE(colours, QString::fromLatin1(row.colours));
            // The lit column brightens toward its top.
            if (row.value == 50)
                QVERIFY(qGreen(image.pixel(12, 200 - 95)) > qGreen(image.pixel(12, 195)) + 20);
        }
    }

    void panelStartsAsShownAndSignals() {
        VolumeCtrlWidget panel;
        auto *group = panel.findChild<QGroupBox *>();
        QCOMPARE(group->title(), QStringLiteral("叠加"));
        QCOMPARE(group->toolTip(), QStringLiteral("四路叠加视频解码音进入主预览合成时的音量；"
                                                  "各叠加本地监听请在叠加条上调节。"));
        QStringList texts;
        for (QLabel *label : panel.findChildren<QLabel *>())
            texts << label->text();
        QCOMPARE(texts, QStringList({"叠 1", "20%", "叠 2", "20%", "叠 3", "20%", "叠 4", "20%",
                                     "输出", "50%"}));
        QCOMPARE(panel.findChildren<LevelMeter *>().size(), 5);

        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QSignalSpy input(&panel, &VolumeCtrlWidget::inputVolumeChanged);
        QSignalSpy preview(&panel, &VolumeCtrlWidget::previewVolumeChanged);
        leftClickAt(*panel.findChild<LedSlider *>("overlay2Slider"), 0);
        auto *output = panel.findChild<LedSlider *>("outputSlider");
        leftClickAt(*output, output->height() - 1);
        QCOMPARE(input, QList<QVariantList>({{2, 100}}));
        QCOMPARE(preview, QList<QVariantList>({{0}}));
        QCOMPARE(panel.inputVolume(2), 100);
        QCOMPARE(panel.previewVolume(), 0);
        QCOMPARE(percentLabels(panel), QStringList({"20%", "20%", "100%", "20%", "0%"}));
    }

    // Setters limit and show the value without a signal; slot -1 here means the output.
    void panelSetters() {
        const struct {
            int slot, volume;
            QList<int> volumes; // four overlays, then the output
        } rows[] = {{0, 40, {40, 20, 20, 20, 50}},   {5, 40, {20, 20, 20, 20, 50}},
                    {0, 140, {100, 20, 20, 20, 50}}, {3, -5, {20, 20, 20, 0, 50}},
                    {-1, 75, {20, 20, 20, 20, 75}},  {-1, 300, {20, 20, 20, 20, 100}}};
        for (const auto &row : rows) {
            VolumeCtrlWidget panel;
            QSignalSpy input(&panel, &VolumeCtrlWidget::inputVolumeChanged);
            QSignalSpy preview(&panel, &VolumeCtrlWidget::previewVolumeChanged);
            if (row.slot < 0)
                panel.setPreviewVolume(row.volume);
            else
                panel.setInputVolume(row.slot, row.volume);
            QList<int> seen;
            QStringList labels;
            for (int s = 0; s < 4; ++s)
                seen << panel.inputVolume(s);
            seen << panel.previewVolume();
            for (int v : row.volumes)
                labels << QStringLiteral("%1%").arg(v);
            QCOMPARE(seen, row.volumes);
            QCOMPARE(percentLabels(panel), labels);
            QCOMPARE(input.count() + preview.count(), 0);
            QCOMPARE(panel.inputVolume(-1), 100);
            QCOMPARE(panel.inputVolume(4), 100);
        }
    }

    // A 200 px meter: -60 dB at the bottom, 0 dB at the top.
    void meterShowsLevel() {
        LevelMeter meter;
        meter.resize(meter.width(), 200);
        const auto pixelAt = [&meter](double db) {
            return meter.grab().toImage().pixel(meter.width() / 2, int(200.0 * -db / 60.0));
        };
        QCOMPARE(colourOf(pixelAt(-50)), '.'); // no source: silence

        float peak = 0.5f;
        meter.setPeakSource([&peak] { return std::exchange(peak, 0.0f); });
        meter.poll();
        QVERIFY(std::abs(meter.levelDb() + 6.02f) < 0.1f);
        QCOMPARE(colourOf(pixelAt(-4)), '.');
        QCOMPARE(colourOf(pixelAt(-7.5)), 'Y');
        QCOMPARE(colourOf(pixelAt(-40)), 'G');

        QVERIFY(!meter.isPolling());
        meter.show();
        QVERIFY(QTest::qWaitForWindowExposed(&meter));
        QVERIFY(meter.isPolling());
        meter.hide();
        QVERIFY(!meter.isPolling());
    }

    void panelMetersPollTheirSources() {
        VolumeCtrlWidget panel;
        QList<int> asked;
        panel.setMeterSources(
            [&asked](int slot) {
                asked << slot;
                return 1.0f;
            },
            [] { return 0.1f; });
        auto *overlay = panel.findChild<LevelMeter *>("overlay2Meter");
        auto *output = panel.findChild<LevelMeter *>("outputMeter");
        overlay->poll();
        output->poll();
        QCOMPARE(asked, QList<int>{2});
        QCOMPARE(overlay->levelDb(), 0.0f);
        QVERIFY(std::abs(output->levelDb() + 20.0f) < 0.1f);
        panel.setMeterSources({}, {});
        output->poll();
        QCOMPARE(output->levelDb(), -60.0f);
    }
};

QTEST_MAIN(TestVolumeControls)
#include "tst_VolumeControls.moc"
