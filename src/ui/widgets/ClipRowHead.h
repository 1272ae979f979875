#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>

class QCheckBox;
class QHBoxLayout;
class QLineEdit;
class QPushButton;
class QWidget;
class ScheduleDateTimeWidget;

// What every schedule row starts with: its id, its kind box, the start and end moments with the
// open-end box, and the delete button, in one line; and the clip times they stand for.
//
// Threads: the GUI thread only.
class ClipRowHead {
public:
    // The widgets become children of `row`, which is styled as a schedule card.
    ClipRowHead(QWidget *row, const QString &id, const QDateTime &start, QWidget *kindBox);

    // Lays the row out: this line, and the row's own fields below it.
    void stackOver(QHBoxLayout *details);
    QPushButton *deleteButton() const { return delete_; }
    QCheckBox *openEndBox() const { return openEnd_; }

    QString rowId() const; // trimmed
    void setId(const QString &id);
    bool isOpenEnd() const;
    // Milliseconds from `baseTime`; the end is 0 for an open end.
    int64_t startMs(const QDateTime &baseTime) const;
    int64_t endMs(const QDateTime &baseTime) const;
    void setTimes(const QDateTime &baseTime, int64_t startMs, int64_t endMs);
    bool endsBeforeStart() const;

private:
    QLineEdit *id_;
    ScheduleDateTimeWidget *start_;
    ScheduleDateTimeWidget *end_;
    QCheckBox *openEnd_;
    QPushButton *delete_;
    QHBoxLayout *layout_;
    QWidget *row_;
};
