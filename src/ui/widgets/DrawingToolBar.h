#pragma once

#include <QToolBar>

#include <vector>

class DoodleCanvas;
class QAction;
class QActionGroup;

// The operator's drawing controls for the canvas over the preview: colour, pen width, the
// tools, undo, clear and save. Unchecking the checked tool leaves no tool, so that clicks on the
// preview draw nothing.
//
// Threads: the GUI thread only.
class DrawingToolBar : public QToolBar {
    Q_OBJECT
public:
    DrawingToolBar(DoodleCanvas *canvas, QWidget *parent = nullptr);

    // Not every text is in the shared language table, so the toolbar sets its own.
    void setChineseUi(bool chinese);

public slots:
    // Asks for a file name and writes the drawing there as PNG; a failure is reported.
    void saveDrawing();

private:
    QAction *addText(QAction *action, const char *objectName, const QString &chinese,
                     const QString &english);
    void pickColor();
    void showPenColor();

    struct OwnText {
        QAction *action;
        QString chinese;
        QString english;
    };

    DoodleCanvas *canvas_;
    bool chinese_ = true;
    std::vector<OwnText> texts_;
    QAction *colorAction_ = nullptr;
    QActionGroup *tools_ = nullptr;
};
