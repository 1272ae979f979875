#include "ui/UserPrompts.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QMessageBox>

namespace {

UserPrompts::Handler &handler() {
    static UserPrompts::Handler h;
    return h;
}

UserPrompts::ColorChooser &colorChooser() {
    static UserPrompts::ColorChooser c;
    return c;
}

UserPrompts::SaveFileChooser &saveFileChooser() {
    static UserPrompts::SaveFileChooser c;
    return c;
}

UserPrompts::OpenFileChooser &openFileChooser() {
    static UserPrompts::OpenFileChooser c;
    return c;
}

UserPrompts::DirectoryChooser &directoryChooser() {
    static UserPrompts::DirectoryChooser c;
    return c;
}

} // namespace

void UserPrompts::information(QWidget *parent, const QString &title, const QString &text) {
    if (const Handler h = handler()) {
        h(Prompt{Kind::Information, parent, title, text, false});
        return;
    }
    QMessageBox::information(parent, title, text);
}

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

QColor UserPrompts::chooseColor(QWidget *parent, const QColor &initial) {
    if (const ColorChooser c = colorChooser())
        return c(parent, initial);
    return QColorDialog::getColor(initial, parent);
}

QString UserPrompts::chooseSaveFile(QWidget *parent, const QString &title, const QString &proposed,
                                    const QString &filter) {
    if (const SaveFileChooser c = saveFileChooser())
        return c(parent, title, proposed, filter);
    return QFileDialog::getSaveFileName(parent, title, proposed, filter);
}

QString UserPrompts::chooseOpenFile(QWidget *parent, const QString &title, const QString &filter) {
    if (const OpenFileChooser c = openFileChooser())
        return c(parent, title, filter);
    return QFileDialog::getOpenFileName(parent, title, QString(), filter);
}

QString UserPrompts::chooseDirectory(QWidget *parent, const QString &title) {
    if (const DirectoryChooser c = directoryChooser())
        return c(parent, title);
    return QFileDialog::getExistingDirectory(parent, title);
}

void UserPrompts::setHandler(Handler h) {
    handler() = std::move(h);
}

void UserPrompts::setColorChooser(ColorChooser chooser) {
    colorChooser() = std::move(chooser);
}

void UserPrompts::setSaveFileChooser(SaveFileChooser chooser) {
    saveFileChooser() = std::move(chooser);
}

void UserPrompts::setOpenFileChooser(OpenFileChooser chooser) {
    openFileChooser() = std::move(chooser);
}

void UserPrompts::setDirectoryChooser(DirectoryChooser chooser) {
    directoryChooser() = std::move(chooser);
}

UserPrompts::ScopedHandler::ScopedHandler(Handler h) : previous_(std::move(handler())) {
    handler() = std::move(h);
}

UserPrompts::ScopedHandler::~ScopedHandler() {
    handler() = std::move(previous_);
}
