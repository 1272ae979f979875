#include "ui/widgets/StreamUrlEdit.h"

#include "core/StreamAddressMask.h"

#include <QSignalBlocker>

StreamUrlEdit::StreamUrlEdit(QWidget *parent) : QLineEdit(parent) {
    // Text set or typed while the field is not focused (pasted by a program, a test) is masked
    // once it is final.
    connect(this, &QLineEdit::editingFinished, this, [this] {
        if (!hasFocus())
            conceal();
    });
}

QString StreamUrlEdit::address() const {
    return masked_ ? address_ : text();
}

void StreamUrlEdit::setAddress(const QString &address) {
    masked_ = false;
    setText(address);
    if (!hasFocus())
        conceal();
}

void StreamUrlEdit::focusInEvent(QFocusEvent *event) {
    if (masked_) {
        const QSignalBlocker quiet(this); // the address itself does not change
        masked_ = false;
        setText(address_);
    }
    QLineEdit::focusInEvent(event);
}

void StreamUrlEdit::focusOutEvent(QFocusEvent *event) {
    QLineEdit::focusOutEvent(event); // editing finishes with the whole address
    conceal();
}

void StreamUrlEdit::conceal() {
    if (masked_)
        return;
    const QString whole = text();
    const QString shown = StreamAddressMask::mask(whole);
    if (shown == whole)
        return;
    const QSignalBlocker quiet(this);
    address_ = whole;
    masked_ = true;
    setText(shown);
}
