// Shows, end to end, in the real window and through its own controls, read back with the ffmpeg
// tools: two channels of distinct colours, the program switched between them while the output
// records a file and sends a UDP stream, then one channel unloaded and the output stopped; and
// a slideshow of three pictures recorded as the program.

#include "common/ChildProcess.h"
#include "common/EncodedFrames.h"
#include "common/MediaFixtures.h"
#include "common/SlowFactor.h"
#include "common/StreamPeers.h"
#include "common/WidgetChild.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/ProgramOutput.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/panels/ImagePlaybackPanel.h"
#include "ui/panels/OutputSettingsWidget.h"
#include "ui/panels/VideoInputPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

using testutil::waitUntil;

namespace {

constexpr double kFps = 30.0;

QPushButton *button(QWidget *panel, const QString &text) {
    for (QPushButton *b : panel->findChildren<QPushButton *>())
        if (b->text() == text)
            return b;
    return nullptr;
}

void typeInto(QLineEdit *edit, const QString &text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return); // editing finished
}

// The colour of every frame of a file, in presentation order: 'r', 'g', 'b' or '?'.
QByteArray frameColours(const QString &path) {
    const media::ToolResult r =
        media::runTool("ffmpeg",
                       {"-hide_banner", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0",
                        "-vf", "scale=4:4:flags=area", "-fps_mode", "passthrough", "-f", "rawvideo",
                        "-pix_fmt", "rgb24", "-"},
                       120000, true);
    QByteArray colours;
    const QByteArray &px = r.output;
    for (qsizetype at = 0; at + 48 <= px.size(); at += 48) {
        int red = 0, blue = 0, green = 0;
        for (int i = 0; i < 16; ++i) {
            red += uchar(px[at + i * 3]);
            green += uchar(px[at + i * 3 + 1]);
            blue += uchar(px[at + i * 3 + 2]);
        }
        colours += red > 2 * (blue + green)   ? 'r'
                   : green > 2 * (red + blue) ? 'g'
                   : blue > 2 * (red + green) ? 'b'
                                              : '?';
    }
    return colours;
}

struct Span {
    char colour;
    double startS;
    double lengthS;
};

// Runs of one colour with their times; stray frames ('?') are skipped.
QList<Span> spans(const QByteArray &colours, const QList<double> &timesS) {
    QList<Span> out;
    for (qsizetype i = 0; i < std::min(colours.size(), timesS.size()); ++i) {
        const char c = colours[i];
        if (c == '?')
            continue;
        if (out.isEmpty() || out.last().colour != c)
            out.append({c, timesS[i], 0.0});
        out.last().lengthS = timesS[i] + 1.0 / kFps - out.last().startS;
    }
    return out;
}

// Sets the output panel to record `file` at 640 x 360 and starts it.
void startRecording(OutputSettingsWidget *settings, const QString &file) {
    typeInto(child<QLineEdit>(*settings, "filePath"), file);
    child<QCheckBox>(*settings, "fileOutput")->setChecked(true);
    auto *resolution = child<QComboBox>(*settings, "resolution");
    resolution->setCurrentIndex(resolution->findData(QSize(640, 360)));
    QTest::mouseClick(child<QPushButton>(*settings, "startStop"), Qt::LeftButton);
}

QString describe(const QList<Span> &runs) {
    QString seen;
    for (const Span &s : runs)
        seen += QStringLiteral("%1 %2-%3s  ")
                    .arg(QChar(s.colour))
                    .arg(s.startS, 0, 'f', 2)
                    .arg(s.startS + s.lengthS, 0, 'f', 2);
    return seen;
}

} // namespace

class TestOperatorRun : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void switchesRecordsAndStreams();
    void slideshowIsRecordedInOrder();

private:
    QTemporaryDir settingsDir_;
    media::FixtureSet fixtures_;
};

void TestOperatorRun::initTestCase() {
    if (kSlow > 1)
        QSKIP("real-time run: the plain build only");
    QVERIFY(settingsDir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
    for (const auto &[name, colour, tone] :
         {std::tuple{"blue.mp4", "blue", 440}, std::tuple{"red.mp4", "red", 880}}) {
        fixtures_.define(
            QString::fromLatin1(name),
            media::lavfi(QStringLiteral("color=c=%1:s=640x360:r=30:d=30").arg(colour)) +
                media::sineInput(tone, 48000) +
                QStringList{"-t", "30", "-c:v", "libx264", "-preset", "ultrafast", "-g", "30",
                            "-pix_fmt", "yuv420p", "-c:a", "aac"});
    }
}

void TestOperatorRun::switchesRecordsAndStreams() {
    const QString blue = fixtures_.path(QStringLiteral("blue.mp4"));
    const QString red = fixtures_.path(QStringLiteral("red.mp4"));
    QVERIFY2(!blue.isEmpty() && !red.isEmpty(), qPrintable(fixtures_.lastError()));
    QTemporaryDir out;
    peers::UdpCapture capture;
    const quint16 port = capture.start(out.filePath(QStringLiteral("stream.ts")));
    QVERIFY(port != 0);

    QStringList boxes;
    UserPrompts::ScopedHandler prompts([&](const UserPrompts::Prompt &prompt) {
        boxes << prompt.text;
        return false;
    });
    MainWindow window(nullptr, EngineSession::AudioPlayback::Off);
    window.setGeometry(0, 0, 1920, 1080);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    FramePipeline *pipeline = window.session().pipeline();

    // CH1 blue, CH2 red, chosen through each panel's open button.
    VideoInputPanel *ch1 = window.channelPanel(0);
    VideoInputPanel *ch2 = window.channelPanel(1);
    for (auto [panel, path] : {std::pair{ch1, blue}, std::pair{ch2, red}}) {
        panel->setSourcePicker([path](QWidget *, bool) { return path; });
        QTest::mouseClick(button(panel, QStringLiteral("📂")), Qt::LeftButton);
    }
    QVERIFY(waitUntil([&] { return ch1->positionMs() > 300 && ch2->positionMs() > 300; }, 5000));
    QTest::mouseClick(button(ch2, QStringLiteral("🖥")), Qt::LeftButton);

    // A file and a UDP stream at 640 x 360.
    OutputSettingsWidget *settings = window.outputSettings();
    const QString file = out.filePath(QStringLiteral("show.mp4"));
    typeInto(child<QLineEdit>(*settings, "streamUrl0"),
             QStringLiteral("udp://127.0.0.1:%1?pkt_size=1316").arg(port));
    child<QComboBox>(*settings, "streamProtocol0")->setCurrentText(QStringLiteral("UDP"));
    child<QCheckBox>(*settings, "streamEnabled0")->setChecked(true);
    auto *startStop = child<QPushButton>(*settings, "startStop");

    QElapsedTimer show;
    startRecording(settings, file);
    show.start();
    QVERIFY2(pipeline->isOutputRunning(), qPrintable(boxes.join('\n')));
    QList<double> switchesS;
    for (VideoInputPanel *next : {ch1, ch2, ch1}) {
        QTest::qWait(2000);
        QTest::mouseClick(button(next, QStringLiteral("🖥")), Qt::LeftButton);
        switchesS << double(show.elapsed()) / 1000.0;
    }
    QTest::mouseClick(button(ch2, QStringLiteral("■")), Qt::LeftButton);
    QTest::qWait(1000);
    QTest::mouseClick(startStop, Qt::LeftButton);
    const double lengthS = double(show.elapsed()) / 1000.0;
    QVERIFY(!pipeline->isOutputRunning());
    QVERIFY(pipeline->waitOutputsClosed(10000));
    capture.stop();
    QVERIFY(boxes.isEmpty());

    // The recording: CH2, CH1, CH2, CH1, each as long as it was on the program.
    const QString recorded = window.output().recordingFile();
    QVERIFY2(QFileInfo(recorded).absolutePath() == QFileInfo(file).absolutePath(),
             qPrintable(recorded));
    const encoded::Timing timing = encoded::timing(recorded, true);
    const QByteArray colours = frameColours(recorded);
    QCOMPARE(colours.size(), timing.frameTimesS.size());
    const QList<Span> runs = spans(colours, timing.frameTimesS);
    const QString seen = describe(runs);
    QVERIFY2(runs.size() == 4, qPrintable(seen));
    const QList<double> expected = {switchesS[0], switchesS[1] - switchesS[0],
                                    switchesS[2] - switchesS[1], lengthS - switchesS[2]};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(runs[i].colour, i % 2 == 0 ? 'r' : 'b');
        QVERIFY2(std::abs(runs[i].lengthS - expected[i]) <= 0.5, qPrintable(seen));
    }
    qInfo("recorded: %s(%lld frames in %.2f s on air)", qPrintable(seen),
          static_cast<long long>(timing.frameTimesS.size()), lengthS);
    // Real time, without holes.
    QVERIFY2(timing.frameTimesS.size() >= 0.97 * lengthS * kFps,
             qPrintable(
                 QStringLiteral("%1 frames in %2 s").arg(timing.frameTimesS.size()).arg(lengthS)));
    for (qsizetype i = 1; i < timing.frameTimesS.size(); ++i)
        QVERIFY2(timing.frameTimesS[i] - timing.frameTimesS[i - 1] <= 0.2,
                 qPrintable(QStringLiteral("gap at %1 s").arg(timing.frameTimesS[i - 1])));

    // The stream decodes.
    const QString stream = out.filePath(QStringLiteral("stream.ts"));
    const media::ProbeInfo streamed = media::probe(stream);
    QVERIFY2(streamed.codecs.contains(QStringLiteral("video:h264")), qPrintable(stream));
    QVERIFY(frameColours(stream).count('r') > 10);
}

void TestOperatorRun::slideshowIsRecordedInOrder() {
    QTemporaryDir pictures, out;
    for (const auto &[name, colour] : {std::pair{"1.png", Qt::red}, std::pair{"2.png", Qt::green},
                                       std::pair{"3.png", Qt::blue}}) {
        QImage picture(1280, 720, QImage::Format_RGB32);
        picture.fill(colour);
        QVERIFY(picture.save(pictures.filePath(QString::fromLatin1(name))));
    }
    MainWindow window(nullptr, EngineSession::AudioPlayback::Off);
    window.setGeometry(0, 0, 1920, 1080);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ImagePlaybackPanel *panel = window.imagePanel();
    ImagePlaybackPanel::setDirectoryChooser(
        [&](QWidget *, const QString &) { return pictures.path(); });
    QTest::mouseClick(child<QPushButton>(*panel, "imageBrowseButton"), Qt::LeftButton);
    ImagePlaybackPanel::setDirectoryChooser({});
    auto *interval = child<QSpinBox>(*panel, "imageIntervalSpin");
    interval->setFocus();
    interval->selectAll();
    QTest::keyClicks(interval, QStringLiteral("1000"));
    QTest::mouseClick(child<QPushButton>(*panel, "imagePlayButton"), Qt::LeftButton);
    QVERIFY(waitUntil([&] { return panel->isPlaying(); }, 5000));

    // The output start gives the picture on the program its whole interval again.
    QElapsedTimer show;
    startRecording(window.outputSettings(), out.filePath(QStringLiteral("slides.mp4")));
    show.start();
    QVERIFY(window.session().pipeline()->isOutputRunning());
    QTest::qWait(5000);
    QTest::mouseClick(child<QPushButton>(*window.outputSettings(), "startStop"), Qt::LeftButton);
    const double lengthS = double(show.elapsed()) / 1000.0;
    QVERIFY(window.session().pipeline()->waitOutputsClosed(10000));

    const QString recorded = window.output().recordingFile();
    const encoded::Timing timing = encoded::timing(recorded, true);
    const QList<Span> runs = spans(frameColours(recorded), timing.frameTimesS);
    const QString seen = describe(runs);
    qInfo("recorded: %s(%lld frames in %.2f s)", qPrintable(seen),
          static_cast<long long>(timing.frameTimesS.size()), lengthS);
    QVERIFY2(runs.size() >= 5, qPrintable(seen));
    const QByteArray order = "rgb";
    for (qsizetype i = 0; i < runs.size(); ++i) {
        QVERIFY2(i == 0 ||
                     order.indexOf(runs[i].colour) == (order.indexOf(runs[i - 1].colour) + 1) % 3,
                 qPrintable(seen));
        // Every picture but the last, cut by the stop, stays its interval within 3 frames.
        if (i + 1 < runs.size())
            QVERIFY2(std::abs(runs[i].lengthS - 1.0) <= 3 / kFps + 1e-6, qPrintable(seen));
    }
    // As many frames as real time holds: more would stretch the picture past its sound.
    QVERIFY2(std::abs(double(timing.frameTimesS.size()) - lengthS * kFps) <= 0.03 * lengthS * kFps,
             qPrintable(
                 QStringLiteral("%1 frames in %2 s").arg(timing.frameTimesS.size()).arg(lengthS)));
}

QTEST_MAIN(TestOperatorRun)
#include "tst_OperatorRun.moc"
