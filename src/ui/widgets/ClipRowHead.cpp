#include "ui/widgets/ClipRowHead.h"

#include "ui/widgets/ScheduleDateTimeWidget.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A new or open-ended row offers an end this long after its start.
constexpr int kProposedLengthS = 3600;

} // namespace

ClipRowHead::ClipRowHead(QWidget *row, const QString &id, const QDateTime &start, QWidget *kindBox)
    : id_(new QLineEdit(id, row)), start_(new ScheduleDateTimeWidget(row)),
      end_(new ScheduleDateTimeWidget(row)),
      openEnd_(new QCheckBox(QStringLiteral(u"不限结束"), row)),
      delete_(new QPushButton(QStringLiteral(u"删除"), row)), layout_(new QHBoxLayout), row_(row) {
    row->setObjectName(QStringLiteral("arrangementCard"));
    row->setAttribute(Qt::WA_StyledBackground);
    id_->setObjectName(QStringLiteral("id"));
    id_->setPlaceholderText(QStringLiteral("id"));
    id_->setFixedWidth(60);
    id_->setProperty("userContent", true);
    start_->setObjectName(QStringLiteral("start"));
    start_->setDateTime(start);
    end_->setObjectName(QStringLiteral("end"));
    end_->setDateTime(start.addSecs(kProposedLengthS));
    openEnd_->setObjectName(QStringLiteral("openEnd"));
    delete_->setObjectName(QStringLiteral("delete"));
    // An open end has no end time to edit.
    QObject::connect(openEnd_, &QCheckBox::toggled, end_, &QWidget::setDisabled);

    layout_->addWidget(id_);
    layout_->addWidget(kindBox);
    layout_->addSpacing(8);
    layout_->addWidget(new QLabel(QStringLiteral(u"开始"), row));
    layout_->addWidget(start_);
    layout_->addSpacing(8);
    layout_->addWidget(new QLabel(QStringLiteral(u"结束"), row));
    layout_->addWidget(end_);
    layout_->addWidget(openEnd_);
    layout_->addStretch();
    layout_->addWidget(delete_);
}

void ClipRowHead::stackOver(QHBoxLayout *details) {
    auto *rows = new QVBoxLayout(row_);
    rows->setContentsMargins(8, 6, 8, 6);
    rows->setSpacing(4);
    rows->addLayout(layout_);
    rows->addLayout(details);
}

QString ClipRowHead::rowId() const {
    return id_->text().trimmed();
}

void ClipRowHead::setId(const QString &id) {
    id_->setText(id);
}

bool ClipRowHead::isOpenEnd() const {
    return openEnd_->isChecked();
}

int64_t ClipRowHead::startMs(const QDateTime &baseTime) const {
    return baseTime.msecsTo(start_->dateTime());
}

int64_t ClipRowHead::endMs(const QDateTime &baseTime) const {
    return isOpenEnd() ? 0 : baseTime.msecsTo(end_->dateTime());
}

void ClipRowHead::setTimes(const QDateTime &baseTime, int64_t startMs, int64_t endMs) {
    const QDateTime start = baseTime.addMSecs(startMs);
    start_->setDateTime(start);
    openEnd_->setChecked(endMs <= 0);
    end_->setDateTime(endMs > 0 ? baseTime.addMSecs(endMs) : start.addSecs(kProposedLengthS));
}

bool ClipRowHead::endsBeforeStart() const {
    return !isOpenEnd() && end_->dateTime() <= start_->dateTime();
}
