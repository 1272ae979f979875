// Pictures of the operator's window for the documentation, taken under an X server
// (scripts/screenshots.sh): a channel panel playing, the source dialog on each of its pages, the
// output panel while the output runs with its status lines, the text panel with the effect
// dialog, a drawing over the preview, the composed program frame and the schedule window.
//
// Usage: quorvi_shots <output folder> [en|zh] [arrangement]   (the last: that picture only)

#include "overlays/DoodleCanvas.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/ProgramOutput.h"
#include "ui/MainWindow.h"
#include "ui/dialogs/ProgramArrangementWindow.h"
#include "ui/dialogs/SourceDialog.h"
#include "ui/dialogs/TextEffectDialog.h"
#include "ui/panels/ImagePlaybackPanel.h"
#include "ui/panels/MediaOverlayWidget.h"
#include "ui/panels/OutputSettingsWidget.h"
#include "ui/panels/TextPanel.h"
#include "ui/panels/VideoInputPanel.h"
#include "ui/widgets/DrawingToolBar.h"
#include "ui/widgets/FloatablePanel.h"
#include "ui/widgets/ImageOverlayWidget.h"
#include "ui/widgets/PreviewWidget.h"
#include "ui/widgets/VideoOverlayWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QGraphicsProxyWidget>
#include <QGroupBox>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(const QPixmap &picture, const QString &path) {
    const bool ok = picture.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

QPushButton *button(QWidget *panel, const QString &text) {
    for (QPushButton *b : panel->findChildren<QPushButton *>())
        if (b->text() == text)
            return b;
    return nullptr;
}

// The five pages of the source dialog side by side, two rows.
QPixmap sourceDialogPages(bool chinese) {
    SourceDialog dialog(chinese);
    dialog.show();
    auto *type = dialog.findChild<QComboBox *>(QStringLiteral("sourceType"));
    QList<QPixmap> pages;
    for (int page = 0; type && page < type->count(); ++page) {
        type->setCurrentIndex(page);
        runFor(100);
        pages << dialog.grab();
    }
    if (pages.isEmpty())
        return {};
    const QSize cell = pages.first().size();
    QPixmap sheet(cell.width() * 3 + 40, cell.height() * 2 + 30);
    sheet.fill(QColor(0x17, 0x19, 0x1d));
    QPainter painter(&sheet);
    for (int i = 0; i < pages.size(); ++i)
        painter.drawPixmap(10 + (i % 3) * (cell.width() + 10), 10 + (i / 3) * (cell.height() + 10),
                           pages[i]);
    return sheet;
}

QPushButton *findBarButton(QGraphicsItem *item, const char *name) {
    for (QGraphicsItem *c : item->childItems())
        if (auto *proxy = dynamic_cast<QGraphicsProxyWidget *>(c))
            if (auto *b = proxy->widget()->findChild<QPushButton *>(QLatin1String(name)))
                return b;
    return nullptr;
}

// Three captions as an operator would write them, styled through the Effect button and sent to
// the program.
void writeCaptions(TextPanel *panel) {
    struct Caption {
        QString text;
        std::function<void(TextOverlayData &)> style;
    };
    const Caption captions[] = {
        {QStringLiteral("LIVE · Quorvi Pro"),
         [](TextOverlayData &d) {
             d.fontColor = Qt::white;
             d.backgroundEnabled = true;
             d.backgroundColor = QColor(0xc0, 0x10, 0x20);
             d.bold = true;
             d.font.setPointSize(20);
         }},
        {QStringLiteral("Ada Lovelace — first programmer"),
         [](TextOverlayData &d) {
             d.pos = QPoint(24, 292);
             d.fontColor = QColor(0xd4, 0xaf, 0x37);
             d.outline = true;
             d.outlineWidth = 2;
             d.shadow = true;
             d.font.setPointSize(24);
         }},
        {QStringLiteral("直播中 · 第 3 场"),
         [](TextOverlayData &d) {
             d.pos = QPoint(430, 14);
             d.fontColor = Qt::yellow;
             d.shadow = true;
             d.font.setPointSize(20);
         }},
    };
    for (int i = 0; i < 3; ++i) {
        panel->addTextItem();
        QWidget *row = panel->rowWidget(i);
        row->findChild<QLineEdit *>(QStringLiteral("text"))->setText(captions[i].text);
        panel->setEffectEditor([&](QWidget *, bool, TextOverlayData &d) {
            captions[i].style(d);
            return true;
        });
        row->findChild<QPushButton *>(QStringLiteral("effect"))->click();
        row->findChild<QPushButton *>(QStringLiteral("overlay"))->click();
    }
}

// What an operator might mark on the picture: a ring, an arrow, a curve and a scribble.
void drawOnProgram(DoodleCanvas *canvas, QSize view) {
    canvas->setViewSize(QSize(DoodleCanvas::kWidth, DoodleCanvas::kHeight)); // canvas units
    const auto stroke = [canvas](int tool, QColor colour, int width, QList<QPoint> points) {
        canvas->setTool(tool);
        canvas->setPenColor(colour);
        canvas->setPenWidth(width);
        canvas->press(points.first());
        for (const QPoint &p : points.mid(1))
            canvas->move(p);
        canvas->release(points.last());
    };
    stroke(DoodleCanvas::Ellipse, Qt::white, 5, {{400, 165}, {560, 275}});
    stroke(DoodleCanvas::Line, Qt::yellow, 6, {{250, 130}, {390, 210}});
    stroke(DoodleCanvas::Line, Qt::yellow, 6, {{390, 210}, {362, 208}});
    stroke(DoodleCanvas::Line, Qt::yellow, 6, {{390, 210}, {378, 185}});
    stroke(DoodleCanvas::Curve, Qt::cyan, 4, {{80, 250}, {300, 250}});
    QList<QPoint> scribble;
    for (int i = 0; i <= 40; ++i)
        scribble << QPoint(90 + i * 4, 120 + int(18 * std::sin(i / 3.0)));
    stroke(DoodleCanvas::Pen, Qt::white, 4, scribble);
    canvas->setTool(DoodleCanvas::None);
    canvas->setViewSize(view);
}

// The drawing toolbar above the preview it draws on.
QPixmap drawingOverPreview(MainWindow &window) {
    DrawingToolBar *bar = window.drawingToolBar();
    bar->findChild<QAction *>(QStringLiteral("toolPen"))->trigger(); // shown as the tool in hand
    const QPixmap tools = bar->grab(bar->childrenRect().adjusted(-4, -4, 4, 4));
    const QPixmap preview = window.floatable(MainWindow::Floatable::OutputPreview)->group()->grab();
    QPixmap sheet(std::max(tools.width(), preview.width()) + 20,
                  tools.height() + preview.height() + 30);
    sheet.fill(QColor(0x17, 0x19, 0x1d));
    QPainter painter(&sheet);
    painter.drawPixmap(10, 10, tools);
    painter.drawPixmap(10, tools.height() + 20, preview);
    return sheet;
}

// A dozen pictures for the thumbnail grid: gradients in turning hues with a number on each.
void writeSlides(const QString &folder) {
    for (int i = 0; i < 12; ++i) {
        QImage slide(800, i % 3 == 2 ? 1000 : 450, QImage::Format_RGB32);
        QPainter painter(&slide);
        QLinearGradient gradient(0, 0, slide.width(), slide.height());
        gradient.setColorAt(0, QColor::fromHsv((i * 30) % 360, 200, 230));
        gradient.setColorAt(1, QColor::fromHsv((i * 30 + 60) % 360, 255, 90));
        painter.fillRect(slide.rect(), gradient);
        painter.setPen(Qt::white);
        QFont font = painter.font();
        font.setPixelSize(160);
        font.setBold(true);
        painter.setFont(font);
        painter.drawText(slide.rect(), Qt::AlignCenter, QString::number(i + 1));
        painter.end();
        slide.save(QStringLiteral("%1/slide-%2.jpg").arg(folder).arg(i + 1, 2, 10, QChar(u'0')));
    }
}

// A picture-in-picture video and a logo on the overlay stage, both sent to the program.
void placeMediaOverlays(MediaOverlayWidget *stage, const QString &video, const QString &logo) {
    if (VideoOverlayWidget *item = stage->addVideoOverlay(video, {0, 0})) {
        item->setRectInScene(QRectF(420, 170, 200, 113));
        if (auto *attach = findBarButton(item, "attachButton"))
            attach->click();
    }
    if (ImageOverlayWidget *item = stage->addImageOverlay(logo, {0, 0})) {
        item->setRectInScene(QRectF(500, 60, 120, 90));
        if (auto *apply = findBarButton(item, "applyButton"))
            apply->click();
    }
}

// The text panel with the effect dialog open on its second row, side by side.
QPixmap textPanelWithDialog(MainWindow &window, bool chinese) {
    TextEffectDialog dialog(chinese, &window);
    dialog.setData(window.textPanel()->rowData(1));
    dialog.show();
    runFor(300);
    const QPixmap panel = window.floatable(MainWindow::Floatable::TextOverlay)->group()->grab();
    const QPixmap effect = dialog.grab();
    QPixmap sheet(panel.width() + effect.width() + 30,
                  std::max(panel.height(), effect.height()) + 20);
    sheet.fill(QColor(0x17, 0x19, 0x1d));
    QPainter painter(&sheet);
    painter.drawPixmap(10, 10, panel);
    painter.drawPixmap(panel.width() + 20, 10, effect);
    return sheet;
}

// The schedule window on its own with a morning's plan: two channels around a picture show, a
// caption, a video and a logo over them.
QPixmap arrangementWindow(bool chinese, const QString &slides) {
    ProgramArrangementWindow window;
    window.setChineseUi(chinese);
    const auto at = [](int hour, int minute) { return int64_t(hour * 60 + minute) * 60 * 1000; };
    ProgramArrangement plan;
    SceneClip opening;
    opening.id = QStringLiteral("s0");
    opening.startMs = at(8, 0);
    opening.endMs = at(8, 30);
    opening.sceneVideoPath = QStringLiteral("/media/show/opening.mp4");
    SceneClip pictures;
    pictures.id = QStringLiteral("s1");
    pictures.kind = SceneClip::ImagePlay;
    pictures.startMs = at(8, 30);
    pictures.endMs = at(9, 0);
    pictures.imageDirectory = slides;
    pictures.intervalMs = 3000;
    pictures.imageLoop = false;
    SceneClip studio;
    studio.id = QStringLiteral("s2");
    studio.channel = 1;
    studio.startMs = at(9, 0);
    studio.sceneVideoPath = QStringLiteral("/media/show/studio.mp4");
    plan.sceneClips = {opening, pictures, studio};
    OverlayClip caption;
    caption.id = QStringLiteral("o0");
    caption.kind = OverlayClip::Text;
    caption.startMs = at(8, 0);
    caption.endMs = at(8, 30);
    caption.textData.text = QStringLiteral(u"早间新闻 · Morning News");
    caption.textData.pos = QPoint(24, 300);
    caption.textData.scrollable = true;
    caption.textData.scrollDirection = TextOverlayData::kScrollRightToLeft;
    OverlayClip bars;
    bars.id = QStringLiteral("o1");
    bars.kind = OverlayClip::Video;
    bars.startMs = at(8, 35);
    bars.endMs = at(8, 50);
    bars.path = QStringLiteral("/media/overlays/bars.mp4");
    bars.rect = QRectF(420, 170, 200, 113);
    OverlayClip logo;
    logo.id = QStringLiteral("o2");
    logo.kind = OverlayClip::Image;
    logo.startMs = at(8, 0);
    logo.path = QStringLiteral("/media/overlays/logo.png");
    logo.rect = QRectF(500, 60, 120, 90);
    logo.opacity = 0.85;
    plan.overlayClips = {caption, bars, logo};
    window.loadArrangement(plan);
    window.resize(1100, 700);
    window.show();
    runFor(800); // the folder is listed on the pool
    return window.grab();
}

} // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: quorvi_shots <folder> [en|zh]\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QString lang = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("en");
    QTemporaryDir work;
    if (argc > 3 && QString::fromLatin1(argv[3]) == QLatin1String("arrangement")) {
        const QString slides = work.filePath(QStringLiteral("slides"));
        QDir().mkpath(slides);
        writeSlides(slides);
        return save(arrangementWindow(lang == QLatin1String("zh"), slides),
                    out.filePath(QStringLiteral("arrangement-%1.png").arg(lang)))
                   ? 0
                   : 1;
    }
    const QString clip = work.filePath(QStringLiteral("clip.mp4"));
    if (QProcess::execute(
            QStringLiteral("ffmpeg"),
            QStringLiteral(
                "-hide_banner -loglevel error -nostdin -y -f lavfi -i "
                "testsrc2=size=1280x720:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 "
                "-t 20 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac")
                    .split(u' ')
                << clip) != 0)
        return 1;

    MainWindow window(nullptr, EngineSession::AudioPlayback::Off);
    window.setUiLanguage(lang == QLatin1String("zh"));
    window.setGeometry(0, 0, 1920, 1080);
    window.show();
    VideoInputPanel *panel = window.channelPanel(0);
    panel->setSourceText(clip);
    if (QPushButton *toPreview = button(panel, QStringLiteral("🖥")))
        toPreview->click();

    // The output panel filled in as an operator would, then started from its own button.
    OutputSettingsWidget *output = window.outputSettings();
    const auto edit = [output](const QString &name, const QString &text) {
        auto *field = output->findChild<QLineEdit *>(name);
        field->setText(text);
        emit field->editingFinished();
    };
    edit(QStringLiteral("filePath"), work.filePath(QStringLiteral("show.mp4")));
    output->findChild<QCheckBox *>(QStringLiteral("fileOutput"))->setChecked(true);
    edit(QStringLiteral("streamUrl0"), QStringLiteral("udp://127.0.0.1:23456"));
    output->findChild<QComboBox *>(QStringLiteral("streamProtocol0"))
        ->setCurrentText(QStringLiteral("UDP"));
    output->findChild<QCheckBox *>(QStringLiteral("streamEnabled0"))->setChecked(true);
    // Nothing listens there: the status shows a stream that keeps trying, its key masked.
    edit(QStringLiteral("streamUrl1"), QStringLiteral("rtmp://127.0.0.1:1/live/secret-key"));
    output->findChild<QCheckBox *>(QStringLiteral("streamEnabled1"))->setChecked(true);
    auto *resolution = output->findChild<QComboBox *>(QStringLiteral("resolution"));
    resolution->setCurrentIndex(resolution->findData(QSize(640, 360)));
    output->findChild<QPushButton *>(QStringLiteral("startStop"))->click();
    writeCaptions(window.textPanel());
    const QString overlayClip = work.filePath(QStringLiteral("bars.mp4"));
    QProcess::execute(QStringLiteral("ffmpeg"),
                      QStringLiteral("-hide_banner -loglevel error -nostdin -y -f lavfi -i "
                                     "smptehdbars=size=320x180:rate=25 -t 30 -c:v libx264 "
                                     "-preset ultrafast -pix_fmt yuv420p")
                              .split(u' ')
                          << overlayClip);
    placeMediaOverlays(window.mediaPanel(), overlayClip,
                       QDir::current().filePath(QStringLiteral("resources/images/logo.png")));
    writeSlides(work.path());
    window.imagePanel()->addImagesFromDirectory(work.path());
    drawOnProgram(window.doodleCanvas(), window.preview()->size());
    QImage program;
    QObject::connect(window.session().pipeline(), &FramePipeline::programFrameReady, &window,
                     [&program](const FrameTokenPtr &f) {
                         if (f && f->hasPicture())
                             program =
                                 QImage(reinterpret_cast<const uchar *>(f->data.constData()),
                                        f->width, f->height, f->stride, QImage::Format_RGBA8888)
                                     .copy();
                     });
    runFor(5000);

    bool ok = save(panel->grab(), out.filePath(QStringLiteral("channel-panel-%1.png").arg(lang)));
    ok &= save(window.outputSettings()->parentWidget()->grab(),
               out.filePath(QStringLiteral("output-running-%1.png").arg(lang)));
    ok &= save(sourceDialogPages(lang == QLatin1String("zh")),
               out.filePath(QStringLiteral("source-dialog-%1.png").arg(lang)));
    ok &= save(textPanelWithDialog(window, lang == QLatin1String("zh")),
               out.filePath(QStringLiteral("text-panel-%1.png").arg(lang)));
    ok &=
        save(drawingOverPreview(window), out.filePath(QStringLiteral("drawing-%1.png").arg(lang)));
    ok &=
        save(QPixmap::fromImage(program), out.filePath(QStringLiteral("program-%1.png").arg(lang)));
    ok &= save(window.floatable(MainWindow::Floatable::VideoOverlay)->group()->grab(),
               out.filePath(QStringLiteral("media-stage-%1.png").arg(lang)));
    ok &= save(window.floatable(MainWindow::Floatable::ImagePlayback)->group()->grab(),
               out.filePath(QStringLiteral("image-grid-%1.png").arg(lang)));
    ok &= save(window.grab(), out.filePath(QStringLiteral("window-%1.png").arg(lang)));
    ok &= save(arrangementWindow(lang == QLatin1String("zh"), work.path()),
               out.filePath(QStringLiteral("arrangement-%1.png").arg(lang)));
    window.output().stop();
    window.session().pipeline()->waitOutputsClosed(5000);
    return ok ? 0 : 1;
}
