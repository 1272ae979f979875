#pragma once

#include <QWidget>

#include <array>
#include <functional>

class LedSlider;
class LevelMeter;
class QHBoxLayout;
class QLabel;

// How loud each overlay video and the program's base channel are in the program sound: five
// LED sliders (four overlays, then the output), each with its percentage and a level meter of
// what it actually sends. Values are 0 … 100; the main window turns them into gains.
//
// Threads: the GUI thread only; the meter sources are called there.
class VolumeCtrlWidget : public QWidget {
    Q_OBJECT
public:
    explicit VolumeCtrlWidget(QWidget *parent = nullptr);

    // 100 for a slot outside 0 … 3.
    int inputVolume(int slot) const;
    int previewVolume() const;
    // Limited to 0 … 100, shown at once in the label; no signal. Slots outside 0 … 3 are ignored.
    void setInputVolume(int slot, int volume);
    void setPreviewVolume(int volume);
    // Peak sources for the meters (e.g. the mixer's takes); empty functions show silence.
    void setMeterSources(std::function<float(int slot)> overlayPeak,
                         std::function<float()> programPeak);

signals:
    void inputVolumeChanged(int channel, int volume);
    void previewVolumeChanged(int volume);

private:
    struct Column {
        LedSlider *slider = nullptr;
        QLabel *percent = nullptr;
        LevelMeter *meter = nullptr;
    };
    Column addColumn(QHBoxLayout *row, const QString &title, int value, const QString &name);

    std::array<Column, 4> overlays_;
    Column output_;
};
