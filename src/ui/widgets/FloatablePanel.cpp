#include "ui/widgets/FloatablePanel.h"

#include "ui/widgets/FloatButtonEventFilter.h"

#include <QDockWidget>
#include <QFont>
#include <QGroupBox>
#include <QMainWindow>
#include <QPushButton>
#include <QVBoxLayout>

FloatablePanel::FloatablePanel(const Titles &titles, QSize dockMinimum, QSize dockInitial,
                               QMainWindow *window)
    : QObject(window), titles_(titles), dockInitial_(dockInitial) {
    group_ = new QGroupBox(titles.chinese);
    groupLayout_ = new QVBoxLayout(group_);
    groupLayout_->setContentsMargins(4, 8, 4, 4);
    content_ = new QWidget(group_);
    contentLayout_ = new QVBoxLayout(content_);
    contentLayout_->setContentsMargins(0, 0, 0, 0);
    groupLayout_->addWidget(content_);

    floatButton_ = new QPushButton(QStringLiteral("⧈"), group_);
    floatButton_->setFixedSize(20, 20);
    QFont buttonFont = floatButton_->font();
    buttonFont.setPointSize(16);
    floatButton_->setFont(buttonFont);
    floatButton_->setStyleSheet(QStringLiteral("QPushButton { padding:0px; }"));
    group_->installEventFilter(new FloatButtonEventFilter(floatButton_, group_));
    connect(floatButton_, &QPushButton::clicked, this, &FloatablePanel::floatOut);

    dock_ = new QDockWidget(titles.chinese, window);
    dock_->setObjectName(titles.english);
    dock_->setAllowedAreas(Qt::AllDockWidgetAreas);
    dock_->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                       QDockWidget::DockWidgetFloatable);
    dock_->setMinimumSize(dockMinimum);
    dock_->hide();
    connect(dock_, &QDockWidget::visibilityChanged, this, &FloatablePanel::onDockVisibilityChanged);
    connect(dock_, &QDockWidget::topLevelChanged, this, &FloatablePanel::onDockTopLevelChanged);
}

void FloatablePanel::setChinese(bool chinese) {
    const QString &title = chinese ? titles_.chinese : titles_.english;
    group_->setTitle(title);
    dock_->setWindowTitle(title);
}

void FloatablePanel::floatOut() {
    if (floated_)
        return;
    floated_ = true;
    groupLayout_->removeWidget(content_);
    content_->setParent(dock_);
    dock_->setWidget(content_);
    dock_->setFloating(true);
    dock_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowCloseButtonHint);
    dock_->resize(dockInitial_);
    content_->show();
    dock_->show();
    floatButton_->setEnabled(false);
    emit floatedOut();
}

void FloatablePanel::returnContent() {
    if (!floated_ || returning_)
        return;
    returning_ = true; // hiding the dock below reports back through visibilityChanged
    floated_ = false;
    dock_->setWidget(nullptr);
    content_->setParent(group_);
    groupLayout_->addWidget(content_);
    content_->show();
    dock_->hide();
    floatButton_->setEnabled(true);
    floatButton_->raise();
    returning_ = false;
    emit contentReturned();
}

void FloatablePanel::onDockVisibilityChanged(bool visible) {
    // Only a closed window counts: a floating window that is merely covered, or hidden with a
    // minimised main window, keeps its content.
    if (!visible && dock_->isHidden())
        returnContent();
}

void FloatablePanel::onDockTopLevelChanged(bool floating) {
    if (!floating)
        returnContent();
}
