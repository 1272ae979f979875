#include "ui/widgets/FloatButtonEventFilter.h"

#include <QEvent>
#include <QWidget>

FloatButtonEventFilter::FloatButtonEventFilter(QWidget *button, QObject *parent)
    : QObject(parent), button_(button) {}

bool FloatButtonEventFilter::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::Resize || event->type() == QEvent::Show) {
        if (auto *group = qobject_cast<QWidget *>(watched); group && button_) {
            button_->move(group->width() - button_->width() - kMargin, kMargin);
            button_->raise();
        }
    }
    return QObject::eventFilter(watched, event);
}
