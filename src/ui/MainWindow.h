#pragma once

#include <QMainWindow>

// The operator's single window. It maximises itself when built.
//
// Threads: the GUI thread only.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Brings the window to the front for another start of the program; a minimised window
    // stays minimised.
    void bringToFront();
};
