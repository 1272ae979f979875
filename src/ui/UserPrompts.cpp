#include "ui/UserPrompts.h"

#include <QMessageBox>

namespace {

UserPrompts::Handler &handler() {
    static UserPrompts::Handler h;
    return h;
}

} // namespace

void UserPrompts::warning(QWidget *parent, const QString &title, const QString &text) {
    // A copy: the handler may replace itself while it runs.
    if (const Handler h = handler()) {
        h(Prompt{Kind::Warning, parent, title, text, false});
        return;
    }
    QMessageBox::warning(parent, title, text);
}

bool UserPrompts::question(QWidget *parent, const QString &title, const QString &text,
                           bool defaultYes) {
    if (const Handler h = handler())
        return h(Prompt{Kind::Question, parent, title, text, defaultYes});
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                 defaultYes ? QMessageBox::Yes : QMessageBox::No) ==
           QMessageBox::Yes;
}

void UserPrompts::setHandler(Handler h) {
    handler() = std::move(h);
}

UserPrompts::ScopedHandler::ScopedHandler(Handler h) : previous_(std::move(handler())) {
    handler() = std::move(h);
}

UserPrompts::ScopedHandler::~ScopedHandler() {
    handler() = std::move(previous_);
}
