#pragma once

#include <QLineEdit>

// A stream address field that keeps the stream key out of sight: while the field has no focus
// it shows the address with its key masked ("rtmp://host/live/••••"); focused, it shows and
// edits the address itself. address() is always the whole address; text() is what is shown.
//
// Threads: the GUI thread.
class StreamUrlEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit StreamUrlEdit(QWidget *parent = nullptr);

    QString address() const;
    void setAddress(const QString &address);

protected:
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void conceal();

    QString address_; // the whole address while the shown text is masked
    bool masked_ = false;
};
