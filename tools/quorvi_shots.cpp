// Pictures of the operator's window for the documentation, taken under an X server
// (scripts/screenshots.sh): a channel panel playing, the source dialog on each of its pages, and
// the output panel while the output runs with its status lines.
//
// Usage: quorvi_shots <output folder> [en|zh]

#include "pipeline/FramePipeline.h"
#include "pipeline/ProgramOutput.h"
#include "ui/MainWindow.h"
#include "ui/dialogs/SourceDialog.h"
#include "ui/panels/OutputSettingsWidget.h"
#include "ui/panels/TextPanel.h"
#include "ui/panels/VideoInputPanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

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

// Three captions as an operator would write them, each sent to the program.
void writeCaptions(TextPanel *panel) {
    const QStringList captions = {QStringLiteral("Quorvi Pro — live"),
                                  QStringLiteral("Lower third: Ada Lovelace"),
                                  QStringLiteral("直播中 · 第 3 场")};
    for (int i = 0; i < captions.size(); ++i) {
        panel->addTextItem();
        QWidget *row = panel->rowWidget(i);
        row->findChild<QLineEdit *>(QStringLiteral("text"))->setText(captions[i]);
        row->findChild<QPushButton *>(QStringLiteral("overlay"))->click();
    }
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
    runFor(5000);

    bool ok = save(panel->grab(), out.filePath(QStringLiteral("channel-panel-%1.png").arg(lang)));
    ok &= save(window.outputSettings()->parentWidget()->grab(),
               out.filePath(QStringLiteral("output-running-%1.png").arg(lang)));
    ok &= save(sourceDialogPages(lang == QLatin1String("zh")),
               out.filePath(QStringLiteral("source-dialog-%1.png").arg(lang)));
    ok &= save(window.textPanel()->parentWidget()->grab(),
               out.filePath(QStringLiteral("text-panel-%1.png").arg(lang)));
    ok &= save(window.grab(), out.filePath(QStringLiteral("window-%1.png").arg(lang)));
    window.output().stop();
    window.session().pipeline()->waitOutputsClosed(5000);
    return ok ? 0 : 1;
}
