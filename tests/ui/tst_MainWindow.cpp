#include "audio/PreviewAudioMixer.h"
#include "common/ChildProcess.h"
#include "common/MediaFixtures.h"
#include "common/SlowFactor.h"
#include "core/TextOverlayData.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OverlayManager.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/ProgramArrangementWindow.h"
#include "ui/widgets/FloatablePanel.h"
#include "ui/widgets/PreviewWidget.h"

#include <QAction>
#include <QDialog>
#include <QDockWidget>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

using testutil::waitUntil;

namespace {

// Every text the language walk may touch, keyed by object, so two snapshots compare whole.
QStringList visibleTexts(const QWidget *root) {
    QStringList texts;
    for (const QGroupBox *g : root->findChildren<QGroupBox *>())
        texts << g->title();
    for (const QLabel *l : root->findChildren<QLabel *>())
        texts << l->text() << l->toolTip();
    for (const QAbstractButton *b : root->findChildren<QAbstractButton *>())
        texts << b->text() << b->toolTip();
    for (const QMenu *m : root->findChildren<QMenu *>()) {
        if (m->title().isEmpty())
            continue; // Qt's own overflow menus come and go with the layout
        texts << m->title();
        for (const QAction *a : m->actions())
            texts << a->text();
    }
    for (const QDockWidget *d : root->findChildren<QDockWidget *>())
        texts << d->windowTitle();
    return texts;
}

int countRed(const QImage &image) {
    int n = 0;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            n += image.pixelColor(x, y).red() > 150 && image.pixelColor(x, y).green() < 80;
    return n;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void coversTheScreenAndRunsThePreview();
    void floatedGroupReturnsWhenItsWindowCloses_data();
    void floatedGroupReturnsWhenItsWindowCloses();
    void languageSwitchRewritesAndRestoresEveryText();
    void closingWhileOutputRunsAsksAndQuitsInOrder();

private:
    QTemporaryDir settingsDir_;
    std::unique_ptr<MainWindow> makeWindow();
};

void TestMainWindow::initTestCase() {
    QVERIFY(settingsDir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
}

void TestMainWindow::init() {
    QSettings(QStringLiteral("Brisol"), QStringLiteral("Quorvi Pro")).clear();
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow() {
    auto window = std::make_unique<MainWindow>(nullptr, EngineSession::AudioPlayback::Off);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    return window;
}

void TestMainWindow::coversTheScreenAndRunsThePreview() {
    auto window = makeWindow();
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("Quorvi Pro"));
    // On a bare X server there is no window manager to honour the maximised state; the window
    // must still cover the screen.
    QCOMPARE(window->frameGeometry().size(),
             QGuiApplication::primaryScreen()->availableGeometry().size());
    for (const QDockWidget *dock : window->findChildren<QDockWidget *>())
        QVERIFY2(dock->isHidden(), qPrintable(dock->objectName()));

    // With no channel on the program, the tick composes the overlays on black.
    QSignalSpy frames(window->session().pipeline(), &FramePipeline::programFrameReady);
    TextOverlayData text;
    text.text = QStringLiteral("ON AIR");
    text.font.setPixelSize(60);
    text.fontColor = Qt::red;
    window->session().overlays()->setTextOverlay(text);
    QVERIFY(frames.wait(2000 * kSlow));
    QVERIFY(waitUntil([&] { return countRed(window->preview()->grab().toImage()) > 50; },
                      3000 * kSlow));
    frames.clear();
    QTest::qWait(1000);
    QVERIFY2(frames.count() >= 10 / kSlow, qPrintable(QString::number(frames.count())));
}

void TestMainWindow::floatedGroupReturnsWhenItsWindowCloses_data() {
    QTest::addColumn<int>("which");
    QTest::newRow("text") << int(MainWindow::Floatable::TextOverlay);
    QTest::newRow("video") << int(MainWindow::Floatable::VideoOverlay);
    QTest::newRow("images") << int(MainWindow::Floatable::ImagePlayback);
    QTest::newRow("preview") << int(MainWindow::Floatable::OutputPreview);
}

void TestMainWindow::floatedGroupReturnsWhenItsWindowCloses() {
    QFETCH(int, which);
    auto window = makeWindow();
    QVERIFY(window);
    FloatablePanel *panel = window->floatable(MainWindow::Floatable(which));
    QGroupBox *group = panel->group();
    QPushButton *button = panel->floatButton();
    const auto buttonInCorner = [&] {
        return button->geometry().topRight() == QPoint(group->width() - 1 - 2, 2);
    };
    QVERIFY(buttonInCorner());
    group->resize(group->width() - 37, group->height());
    QVERIFY(buttonInCorner());

    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(panel->dock()->isVisible());
    QVERIFY(panel->dock()->isFloating());
    QCOMPARE(panel->content()->parentWidget(), panel->dock());
    QVERIFY(!group->isAncestorOf(panel->content()));

    QSignalSpy returned(panel, &FloatablePanel::contentReturned);
    panel->dock()->close();
    QCOMPARE(returned.count(), 1);
    QVERIFY(group->isAncestorOf(panel->content()));
    QVERIFY(panel->content()->isVisible());
    QVERIFY(panel->dock()->isHidden());
    QVERIFY(button->isEnabled());
    if (MainWindow::Floatable(which) == MainWindow::Floatable::OutputPreview)
        QVERIFY(window->preview()->minimumSize() == QSize(640, 360));

    // It floats again after returning.
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(panel->dock()->isVisible());
}

void TestMainWindow::languageSwitchRewritesAndRestoresEveryText() {
    auto window = makeWindow();
    QVERIFY(window);
    QVERIFY(!window->chineseUi());
    // The operator's own words are never translated, even when they match a table text.
    auto *caption = new QLabel(QStringLiteral("Output"));
    caption->setProperty("userContent", true);
    window->floatable(MainWindow::Floatable::TextOverlay)->contentLayout()->addWidget(caption);

    // Program Scheduling opens one schedule window, again the same one, in the language in force.
    QAction *scheduling = nullptr;
    for (QAction *a : window->findChildren<QAction *>())
        if (a->text() == QStringLiteral("Program Scheduling"))
            scheduling = a;
    QVERIFY(scheduling);
    scheduling->trigger();
    QPointer<ProgramArrangementWindow> schedule = window->arrangementWindow();
    QVERIFY(schedule && schedule->isVisible());
    schedule->close();
    scheduling->trigger();
    QCOMPARE(window->arrangementWindow(), schedule.data());
    QCOMPARE(schedule->windowTitle(), QStringLiteral("Program Scheduling"));

    const QStringList english = visibleTexts(window.get());
    QVERIFY(english.contains(QStringLiteral("Output Preview")));
    QVERIFY(english.contains(QStringLiteral("Start Arrangement")));

    QElapsedTimer switching;
    switching.start();
    window->setUiLanguage(true);
    // It runs on the thread that composes the program (timing checked outside the sanitizers).
    QVERIFY2(kSlow > 1 || switching.elapsed() < 33,
             qPrintable(QString::number(switching.elapsed())));
    QVERIFY(waitUntil(
        [] {
            return QSettings(QStringLiteral("Brisol"), QStringLiteral("Quorvi Pro"))
                       .value(QStringLiteral("ui_language")) == QStringLiteral("zh");
        },
        2000));
    const QStringList chinese = visibleTexts(window.get());
    for (const QString &expected :
         {QStringLiteral("输出预览"), QStringLiteral("调音台"), QStringLiteral("文件"),
          QStringLiteral("语言切换"), QStringLiteral("叠 2"),
          // the panels with their own text sets: a channel's tool tip, the output button,
          // the text panel, the drawing toolbar's eraser
          QStringLiteral("循环播放"), QStringLiteral("开始输出"), QStringLiteral("+ 添加文字"),
          QStringLiteral("橡皮擦")})
        QVERIFY2(chinese.contains(expected), qPrintable(expected));
    QCOMPARE(caption->text(), QStringLiteral("Output"));
    QCOMPARE(schedule->windowTitle(), QStringLiteral("节目编排"));
    QVERIFY(chinese.contains(QStringLiteral("开始编排")));

    // A window that appears later speaks the language in force.
    {
        QDialog dialog(window.get());
        auto *label = new QLabel(QStringLiteral("Audio Mixer"), &dialog);
        dialog.setWindowTitle(QStringLiteral("Image Playback"));
        dialog.show();
        QCOMPARE(label->text(), QStringLiteral("调音台"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("图片播放"));
    }

    window->setUiLanguage(false);
    QCOMPARE(visibleTexts(window.get()), english);

    // The choice is remembered for the next start.
    window.reset();
    QThreadPool::globalInstance()->waitForDone(); // the switch back's write
    QSettings(QStringLiteral("Brisol"), QStringLiteral("Quorvi Pro"))
        .setValue(QStringLiteral("ui_language"), QStringLiteral("ZH_CN"));
    window = makeWindow();
    QVERIFY(window->chineseUi());
    QVERIFY(visibleTexts(window.get()).contains(QStringLiteral("输出设置")));
}

void TestMainWindow::closingWhileOutputRunsAsksAndQuitsInOrder() {
    QTemporaryDir dir;
    const QStringList threadsBefore = testutil::threadNames();
    auto window = makeWindow();
    QVERIFY(window);
    FramePipeline *pipeline = window->session().pipeline();
    const QString file = dir.filePath(QStringLiteral("show.mkv"));
    pipeline->setOutputSize(320, 180);
    pipeline->setOutputFile(file);
    QVERIFY(pipeline->startOutputs());

    QStringList asked;
    bool answer = false;
    UserPrompts::ScopedHandler prompts([&](const UserPrompts::Prompt &prompt) {
        asked << prompt.text + (prompt.defaultYes ? " [yes]" : " [no]");
        return answer;
    });
    QVERIFY(!window->close());
    QCOMPARE(asked, QStringList{QStringLiteral("Output is running. Stop it and quit? [no]")});
    QVERIFY(window->isVisible());
    QVERIFY(pipeline->isOutputRunning());

    QTest::qWait(1500);
    answer = true;
    QVERIFY(window->close());
    QCOMPARE(asked.size(), 2);

    // Destroying the window ends the output with a trailer and leaves no thread behind.
    QElapsedTimer timer;
    timer.start();
    window.reset();
    QVERIFY2(timer.elapsed() < 3000 * kSlow, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(waitUntil([&] { return testutil::threadNames() == threadsBefore; }, 2000));
    const media::ProbeInfo recorded = media::probe(file);
    QVERIFY2(recorded.durationS > 0.5, "the recording is unreadable or empty");
    QVERIFY(recorded.codecs.contains(QStringLiteral("video:h264")));

    // Without output, closing does not ask.
    window = makeWindow();
    asked.clear();
    QVERIFY(window->close());
    QVERIFY(asked.isEmpty());
}

QTEST_MAIN(TestMainWindow)
#include "tst_MainWindow.moc"
