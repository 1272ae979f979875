#include "ui/MainWindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QtTest>

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void opensMaximisedAndTitled();
};

void TestMainWindow::opensMaximisedAndTitled() {
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral("Quorvi Pro"));
    QVERIFY(window.windowState() & Qt::WindowMaximized);
    // On a bare X server there is no window manager to honour the maximised state; the window
    // must still cover the screen.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(window.frameGeometry().size(), screen.size());
    QCOMPARE(window.grab().size(), window.size());
}

QTEST_MAIN(TestMainWindow)
#include "tst_MainWindow.moc"
