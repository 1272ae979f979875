#include "ui/widgets/ScheduleDateTimeWidget.h"

#include <QDateEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>

ScheduleDateTimeWidget::ScheduleDateTimeWidget(QWidget *parent) : QWidget(parent) {
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(3);
    date_ = new QDateEdit(QDate::currentDate(), this);
    date_->setObjectName(QStringLiteral("date"));
    date_->setCalendarPopup(true);
    date_->setDisplayFormat(QStringLiteral("yyyy/MM/dd"));
    date_->setMinimumWidth(110);
    layout->addWidget(date_);
    const struct {
        QSpinBox **box;
        const char *name;
        int max;
        const char16_t *unit;
    } parts[] = {{&hour_, "hour", 23, u"时"},
                 {&minute_, "minute", 59, u"分"},
                 {&second_, "second", 59, u"秒"}};
    for (const auto &part : parts) {
        auto *box = new QSpinBox(this);
        box->setObjectName(QLatin1String(part.name));
        box->setRange(0, part.max);
        box->setFixedWidth(50);
        *part.box = box;
        layout->addWidget(box);
        layout->addWidget(new QLabel(QString::fromUtf16(part.unit), this));
    }
}

QDateTime ScheduleDateTimeWidget::dateTime() const {
    return QDateTime(date_->date(), QTime(hour_->value(), minute_->value(), second_->value()));
}

void ScheduleDateTimeWidget::setDateTime(const QDateTime &value) {
    const QDateTime local = value.toLocalTime();
    date_->setDate(local.date());
    hour_->setValue(local.time().hour());
    minute_->setValue(local.time().minute());
    second_->setValue(local.time().second());
}
