#include "common/ChildProcess.h"
#include "common/ProgramFrames.h"
#include "common/SlowFactor.h"
#include "common/WidgetChild.h"
#include "pipeline/OverlayManager.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/TextEffectDialog.h"
#include "ui/panels/TextPanel.h"
#include "ui/widgets/TextPreviewWidget.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using testutil::waitUntil;

namespace {

QPushButton *rowButton(TextPanel *panel, int index, const char *name) {
    return child<QPushButton>(*panel->rowWidget(index), QString::fromLatin1(name));
}

void typeText(TextPanel *panel, int index, const QString &text) {
    QLineEdit *edit = child<QLineEdit>(*panel->rowWidget(index), QStringLiteral("text"));
    edit->clear();
    QTest::keyClicks(edit, text);
}

QList<TextPreviewWidget *> openPreviews() {
    QList<TextPreviewWidget *> previews;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *p = qobject_cast<TextPreviewWidget *>(w); p && p->isVisible())
            previews << p;
    return previews;
}

// The caption's box at the new-row position; the rest of the scene stays empty.
const QRect kCaption(12, 12, 200, 40);

} // namespace

class TestTextOverlays : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void rowsKeepTheirIdsAndTheLimit();
    void textReachesTheProgramOnlyWhenOverlaid();
    void previewWindowBelongsToItsRow();

private:
    QTemporaryDir settingsDir_;
    std::unique_ptr<MainWindow> window_;
    TextPanel *panel_ = nullptr;
};

void TestTextOverlays::initTestCase() {
    QVERIFY(settingsDir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
    window_ = std::make_unique<MainWindow>(nullptr, EngineSession::AudioPlayback::Off);
    window_->setUiLanguage(false);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    panel_ = window_->textPanel();
}

void TestTextOverlays::rowsKeepTheirIdsAndTheLimit() {
    QList<UserPrompts::Prompt> prompts;
    UserPrompts::ScopedHandler handler([&](const UserPrompts::Prompt &p) {
        prompts << p;
        return false;
    });
    QSignalSpy removed(panel_, &TextPanel::textOverlayRemoved);
    QSignalSpy cleared(panel_, &TextPanel::clearOverlaysRequested);
    auto *add = child<QPushButton>(*panel_, QStringLiteral("addText"));
    for (int i = 0; i < 10; ++i)
        QTest::mouseClick(add, Qt::LeftButton);
    QCOMPARE(panel_->rowCount(), 10);
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(panel_->rowData(i).id, i + 1);
        QCOMPARE(panel_->rowData(i).pos, QPoint(12, 12 + 26 * i));
    }
    QVERIFY(!add->isEnabled());
    QVERIFY(add->toolTip().contains(QStringLiteral("reached")));

    // The eleventh is refused with a notice, not silently.
    panel_->addTextItem();
    QCOMPARE(panel_->rowCount(), 10);
    QCOMPARE(prompts.size(), 1);
    QCOMPARE(prompts[0].kind, UserPrompts::Kind::Information);

    // Ids are never reused: a deleted row's id may still be on the program elsewhere.
    QTest::mouseClick(rowButton(panel_, 2, "delete"), Qt::LeftButton);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed[0][0].toInt(), 3);
    QVERIFY(add->isEnabled());
    QTest::mouseClick(add, Qt::LeftButton);
    QCOMPARE(panel_->rowData(9).id, 11);

    auto *clearAll = child<QPushButton>(*panel_, QStringLiteral("clearAll"));
    QTest::mouseClick(clearAll, Qt::LeftButton);
    QTest::mouseClick(clearAll, Qt::LeftButton); // an empty panel still clears the program
    QCOMPARE(panel_->rowCount(), 0);
    QCOMPARE(cleared.size(), 2);
    QCOMPARE(removed.size(), 1);
}

void TestTextOverlays::textReachesTheProgramOnlyWhenOverlaid() {
    UserPrompts::setColorChooser([](QWidget *, const QColor &) { return QColor(Qt::green); });
    ProgramFrames frames(window_->session().pipeline());
    OverlayManager *overlays = window_->session().overlays();
    const int timeout = 3000 * kSlow;
    const auto red = [](const QImage &f) {
        return ProgramFrames::count(f, kCaption, ProgramFrames::reddish);
    };
    const auto green = [](const QImage &f) {
        return ProgramFrames::count(f, kCaption, ProgramFrames::greenish);
    };

    panel_->addTextItem();
    typeText(panel_, 0, QStringLiteral("QUORVI"));
    QTest::qWait(300);
    QVERIFY2(overlays->textOverlays().isEmpty(), "typing alone must not reach the program");
    QTest::mouseClick(rowButton(panel_, 0, "overlay"), Qt::LeftButton);
    QVERIFY(frames.waitFor([&](const QImage &f) { return red(f) > 40; }, timeout));
    QCOMPARE(
        ProgramFrames::count(frames.latest(), QRect(320, 180, 320, 180), ProgramFrames::reddish),
        0);

    // The effect dialog changes the row; the program keeps the old look until "Overlay".
    QTimer::singleShot(0, this, [] {
        auto *dialog = qobject_cast<TextEffectDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        QTest::mouseClick(child<QPushButton>(*dialog, QStringLiteral("fontColor")), Qt::LeftButton);
        child<QDialogButtonBox>(*dialog, QStringLiteral("buttons"))
            ->button(QDialogButtonBox::Ok)
            ->click();
    });
    QTest::mouseClick(rowButton(panel_, 0, "effect"), Qt::LeftButton);
    QCOMPARE(panel_->rowData(0).fontColor, QColor(Qt::green));
    QVERIFY(!frames.waitFor([&](const QImage &f) { return green(f) > 0; }, 500));
    QVERIFY(red(frames.latest()) > 40);
    QTest::mouseClick(rowButton(panel_, 0, "overlay"), Qt::LeftButton);
    QVERIFY(frames.waitFor([&](const QImage &f) { return green(f) > 40 && red(f) == 0; }, timeout));

    QTest::mouseClick(rowButton(panel_, 0, "delete"), Qt::LeftButton);
    QVERIFY(frames.waitFor([&](const QImage &f) { return green(f) == 0; }, timeout));
    QVERIFY(overlays->textOverlays().isEmpty());
    UserPrompts::setColorChooser({});
}

void TestTextOverlays::previewWindowBelongsToItsRow() {
    OverlayManager *overlays = window_->session().overlays();
    panel_->addTextItem();
    // Wider than the preview window: the drag must still keep it at 0, never negative.
    typeText(panel_, 0, QStringLiteral("A caption far wider than the whole preview window is"));
    QTest::mouseClick(rowButton(panel_, 0, "overlay"), Qt::LeftButton);
    const QPoint onProgram = overlays->textOverlays().value(0).pos;
    for (int i = 0; i < 2; ++i)
        QTest::mouseClick(rowButton(panel_, 0, "preview"), Qt::LeftButton);
    QList<TextPreviewWidget *> previews = openPreviews();
    QCOMPARE(previews.size(), 1);
    QPointer<TextPreviewWidget> preview = previews[0];
    QVERIFY(QTest::qWaitForWindowExposed(preview));
    auto *label = child<QLabel>(*preview, QStringLiteral("previewText"));
    QVERIFY2(label->width() > preview->width(), qPrintable(QString::number(label->width())));

    QSignalSpy moved(preview, &TextPreviewWidget::positionChanged);
    struct Drag {
        QPoint by;
        QPoint expected;
    };
    for (const Drag &drag : {Drag{{-300, -300}, {0, 0}}, Drag{{900, 40}, {0, 40}},
                             Drag{{0, 900}, {0, 360 - label->height()}}}) {
        const QPoint grip(10, 10);
        QTest::mousePress(label, Qt::LeftButton, {}, grip);
        QTest::mouseMove(label, grip + drag.by);
        QTest::mouseRelease(label, Qt::LeftButton, {}, grip);
        QVERIFY(!moved.isEmpty());
        QCOMPARE(moved.last()[0].toPoint(), drag.expected);
        QCOMPARE(panel_->rowData(0).pos, drag.expected);
    }
    QCOMPARE(overlays->textOverlays().value(0).pos, onProgram);

    // Deleting the row closes its window at once; nothing is left to touch the freed row.
    QTest::mouseClick(rowButton(panel_, 0, "delete"), Qt::LeftButton);
    QVERIFY(preview.isNull());
    panel_->addTextItem();
    QTest::mouseClick(rowButton(panel_, 0, "preview"), Qt::LeftButton);
    previews = openPreviews();
    QCOMPARE(previews.size(), 1);
    preview = previews[0];
    QTest::mouseClick(child<QPushButton>(*panel_, QStringLiteral("clearAll")), Qt::LeftButton);
    QVERIFY(preview.isNull());
    QTest::qWait(50);
}

QTEST_MAIN(TestTextOverlays)
#include "tst_TextOverlays.moc"
