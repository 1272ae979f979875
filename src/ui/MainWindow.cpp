#include "ui/MainWindow.h"

#include <QGuiApplication>
#include <QScreen>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Quorvi Pro"));
    setMinimumSize(960, 540);
    // Without a window manager (a bare X server) the maximised state alone does nothing.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        setGeometry(screen->availableGeometry());
    setWindowState(windowState() | Qt::WindowMaximized);
}

MainWindow::~MainWindow() = default;

void MainWindow::bringToFront() {
    raise();
    activateWindow();
}
