#pragma once

#include "core/TextOverlayData.h"

#include <QPoint>
#include <QWidget>

class QLabel;

// A scene-sized black window in which the operator drags one text row into place. The window
// is 640 x 360, so its pixels are scene units; the position reaches the program only when the
// row is overlaid again.
//
// Threads: the GUI thread only.
class TextPreviewWidget : public QWidget {
    Q_OBJECT
public:
    explicit TextPreviewWidget(QWidget *parent = nullptr);

    void setData(const TextOverlayData &data);
    QPoint textPosition() const;

signals:
    void positionChanged(QPoint pos);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPoint clampedToWindow(QPoint pos) const;

    QLabel *text_ = nullptr;
    QLabel *coordinates_ = nullptr;
    QPoint pressPoint_;
    bool dragging_ = false;
};
