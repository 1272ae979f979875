#pragma once

#include <QDateTime>
#include <QWidget>

class QDateEdit;
class QSpinBox;

// A wall-clock moment to the second: a date with a calendar and hour, minute and second boxes.
//
// Threads: the GUI thread only.
class ScheduleDateTimeWidget : public QWidget {
    Q_OBJECT
public:
    explicit ScheduleDateTimeWidget(QWidget *parent = nullptr);

    // Local time, milliseconds 0.
    QDateTime dateTime() const;
    void setDateTime(const QDateTime &value);

private:
    QDateEdit *date_ = nullptr;
    QSpinBox *hour_ = nullptr;
    QSpinBox *minute_ = nullptr;
    QSpinBox *second_ = nullptr;
};
