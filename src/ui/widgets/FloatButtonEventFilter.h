#pragma once

#include <QObject>

class QWidget;

// Keeps a group's float button in the group's top-right corner, 2 px from both edges, however
// the group is resized. Install it on the group.
//
// Threads: the GUI thread.
class FloatButtonEventFilter : public QObject {
    Q_OBJECT
public:
    FloatButtonEventFilter(QWidget *button, QObject *parent = nullptr);

    static constexpr int kMargin = 2;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *button_;
};
