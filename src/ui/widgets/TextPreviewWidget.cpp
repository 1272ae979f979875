#include "ui/widgets/TextPreviewWidget.h"

#include "pipeline/OverlayManager.h"

#include <QLabel>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>

TextPreviewWidget::TextPreviewWidget(QWidget *parent) : QWidget(parent, Qt::Tool) {
    setObjectName(QStringLiteral("textPreview"));
    setFixedSize(OverlayManager::kSceneWidth, OverlayManager::kSceneHeight);
    setStyleSheet(QStringLiteral("background:black;"));

    text_ = new QLabel(this);
    text_->setObjectName(QStringLiteral("previewText"));
    text_->setProperty("userContent", true);
    text_->installEventFilter(this);
    text_->setCursor(Qt::OpenHandCursor);

    coordinates_ = new QLabel(this);
    coordinates_->setObjectName(QStringLiteral("previewCoordinates"));
    coordinates_->setProperty("userContent", true);
    coordinates_->setStyleSheet(
        QStringLiteral("color:white;background:rgba(0,0,0,150);padding:2px 4px;"));
    coordinates_->hide();
}

void TextPreviewWidget::setData(const TextOverlayData &d) {
    text_->setText(d.text);
    QFont font = d.font;
    font.setWeight(d.bold ? QFont::Bold : QFont::Normal);
    font.setItalic(d.italic);
    font.setUnderline(d.underline);
    font.setStrikeOut(d.strikeOut);
    text_->setFont(font);
    const QString background =
        d.backgroundEnabled ? d.backgroundColor.name() : QStringLiteral("transparent");
    const QString border = d.outline ? d.outlineColor.name() : QStringLiteral("transparent");
    text_->setStyleSheet(QStringLiteral("QLabel { background-color: %1; border: 1px solid %2; }")
                             .arg(background, border));
    QPalette palette = text_->palette();
    palette.setColor(QPalette::All, QPalette::WindowText, d.fontColor);
    text_->setPalette(palette);
    text_->adjustSize();
    // A stored position may lie outside: the label is placed where the operator can grab it.
    text_->move(clampedToWindow(d.pos));
}

QPoint TextPreviewWidget::textPosition() const {
    return text_->pos();
}

QPoint TextPreviewWidget::clampedToWindow(QPoint pos) const {
    // A text wider or taller than the window stops at 0 instead of a negative limit.
    const int maxX = std::max(0, width() - text_->width());
    const int maxY = std::max(0, height() - text_->height());
    return QPoint(std::clamp(pos.x(), 0, maxX), std::clamp(pos.y(), 0, maxY));
}

bool TextPreviewWidget::eventFilter(QObject *watched, QEvent *event) {
    if (watched != text_)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        dragging_ = true;
        pressPoint_ = mouse->position().toPoint();
        coordinates_->show();
        coordinates_->raise();
        return true;
    }
    case QEvent::MouseMove: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (!dragging_ || !(mouse->buttons() & Qt::LeftButton))
            break;
        const QPointF moved = QPointF(text_->pos()) + mouse->position() - QPointF(pressPoint_);
        const QPoint pos =
            clampedToWindow(QPoint(int(std::lround(moved.x())), int(std::lround(moved.y()))));
        text_->move(pos);
        coordinates_->setText(QStringLiteral("X:%1 Y:%2").arg(pos.x()).arg(pos.y()));
        coordinates_->adjustSize();
        coordinates_->move(pos.x() + 10, pos.y() - 20);
        emit positionChanged(pos);
        return true;
    }
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
            break;
        dragging_ = false;
        coordinates_->hide();
        return true;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
