// GUI-thread cost of one preview refresh: a 1920x1080 program frame scaled into a 640x360 label.
// BM_RefreshRgbxSmooth does what PreviewWidget does (wrap the opaque RGBA bytes as RGBX, smooth
// scaling, pixmap); its peers in the same run change one step each: wrapping as RGBA, which
// makes Qt convert the whole frame to premultiplied ARGB before scaling, and nearest-pixel
// scaling. BM_PreviewWidget runs the widget itself, to show the replica costs what it does.
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include "core/FrameToken.h"
#include "ui/widgets/PreviewWidget.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
const QSize kLabel(640, 360);

FrameTokenPtr makeFrame() {
    auto token = std::make_shared<FrameToken>();
    token->width = kWidth;
    token->height = kHeight;
    token->stride = kWidth * 4;
    token->data.resize(qsizetype(token->stride) * kHeight);
    QImage image(reinterpret_cast<uchar *>(token->data.data()), kWidth, kHeight, token->stride,
                 QImage::Format_RGBA8888);
    QLinearGradient g(0, 0, kWidth, kHeight);
    g.setColorAt(0, QColor(20, 40, 80));
    g.setColorAt(1, QColor(200, 160, 40));
    QPainter(&image).fillRect(image.rect(), g);
    return token;
}

void refresh(benchmark::State &state, QImage::Format format, Qt::TransformationMode mode) {
    const FrameTokenPtr frame = makeFrame();
    QLabel label; // hidden: the cost of painting it on screen is the same for every peer
    label.resize(kLabel);
    for (auto _ : state) {
        const QImage wrapped(reinterpret_cast<const uchar *>(frame->data.constData()), kWidth,
                             kHeight, frame->stride, format);
        QImage scaled = wrapped.scaled(kLabel, Qt::KeepAspectRatio, mode);
        label.setPixmap(QPixmap::fromImage(std::move(scaled)));
    }
}

void BM_RefreshRgbxSmooth(benchmark::State &state) {
    refresh(state, QImage::Format_RGBX8888, Qt::SmoothTransformation);
}
void BM_RefreshRgbaSmooth(benchmark::State &state) {
    refresh(state, QImage::Format_RGBA8888, Qt::SmoothTransformation);
}
void BM_RefreshRgbxFast(benchmark::State &state) {
    refresh(state, QImage::Format_RGBX8888, Qt::FastTransformation);
}

void BM_PreviewWidget(benchmark::State &state) {
    const FrameTokenPtr frame = makeFrame();
    PreviewWidget widget; // hidden, like the labels above: the resize event is sent by hand
    widget.resize(kLabel);
    QResizeEvent resize(kLabel, QSize());
    QApplication::sendEvent(&widget, &resize);
    for (auto _ : state) {
        widget.setProgramFrame(frame);
        QApplication::processEvents(); // runs the queued refresh
    }
}

} // namespace

// Wall time: Qt spreads smooth scaling of a large image over its thread pool, and the GUI thread
// waits for all of it.
BENCHMARK(BM_RefreshRgbxSmooth)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RefreshRgbaSmooth)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RefreshRgbxFast)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PreviewWidget)->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char **argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
