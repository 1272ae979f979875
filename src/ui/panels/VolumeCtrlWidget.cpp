#include "ui/panels/VolumeCtrlWidget.h"

#include "ui/widgets/LedSlider.h"
#include "ui/widgets/LevelMeter.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString percentText(int value) {
    return QStringLiteral("%1%").arg(value);
}

} // namespace

VolumeCtrlWidget::VolumeCtrlWidget(QWidget *parent) : QWidget(parent) {
    auto *group = new QGroupBox(QStringLiteral("叠加"), this);
    group->setToolTip(QStringLiteral("四路叠加视频解码音进入主预览合成时的音量；"
                                     "各叠加本地监听请在叠加条上调节。"));
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(group);
    auto *row = new QHBoxLayout(group);
    row->setSpacing(10);

    for (int slot = 0; slot < 4; ++slot) {
        overlays_[size_t(slot)] = addColumn(row, QStringLiteral("叠 %1").arg(slot + 1), 20,
                                            QStringLiteral("overlay%1").arg(slot));
        const Column column = overlays_[size_t(slot)];
        connect(column.slider, &LedSlider::valueChanged, this, [this, column, slot](int v) {
            column.percent->setText(percentText(v));
            emit inputVolumeChanged(slot, v);
        });
    }
    output_ = addColumn(row, QStringLiteral("输出"), 50, QStringLiteral("output"));
    connect(output_.slider, &LedSlider::valueChanged, this, [this](int v) {
        output_.percent->setText(percentText(v));
        emit previewVolumeChanged(v);
    });
}

VolumeCtrlWidget::Column VolumeCtrlWidget::addColumn(QHBoxLayout *row, const QString &title,
                                                     int value, const QString &name) {
    Column column;
    auto *layout = new QVBoxLayout;
    auto *label = new QLabel(title);
    label->setAlignment(Qt::AlignHCenter);
    layout->addWidget(label);

    auto *bars = new QHBoxLayout;
    bars->setSpacing(3);
    column.slider = new LedSlider;
    column.slider->setObjectName(name + QStringLiteral("Slider"));
    column.slider->setValue(value);
    column.meter = new LevelMeter;
    column.meter->setObjectName(name + QStringLiteral("Meter"));
    bars->addStretch();
    bars->addWidget(column.slider);
    bars->addWidget(column.meter);
    bars->addStretch();
    layout->addLayout(bars, 1);

    column.percent = new QLabel(percentText(value));
    column.percent->setObjectName(name + QStringLiteral("Percent"));
    column.percent->setAlignment(Qt::AlignHCenter);
    layout->addWidget(column.percent);
    row->addLayout(layout);
    return column;
}

int VolumeCtrlWidget::inputVolume(int slot) const {
    if (slot < 0 || slot >= 4)
        return 100;
    return overlays_[size_t(slot)].slider->value();
}

int VolumeCtrlWidget::previewVolume() const {
    return output_.slider->value();
}

void VolumeCtrlWidget::setInputVolume(int slot, int volume) {
    if (slot < 0 || slot >= 4)
        return;
    const Column &column = overlays_[size_t(slot)];
    column.slider->setValue(volume);
    column.percent->setText(percentText(column.slider->value()));
}

void VolumeCtrlWidget::setPreviewVolume(int volume) {
    output_.slider->setValue(volume);
    output_.percent->setText(percentText(output_.slider->value()));
}

void VolumeCtrlWidget::setMeterSources(std::function<float(int slot)> overlayPeak,
                                       std::function<float()> programPeak) {
    for (int slot = 0; slot < 4; ++slot) {
        std::function<float()> source;
        if (overlayPeak)
            source = [overlayPeak, slot] { return overlayPeak(slot); };
        overlays_[size_t(slot)].meter->setPeakSource(std::move(source));
    }
    output_.meter->setPeakSource(std::move(programPeak));
}
