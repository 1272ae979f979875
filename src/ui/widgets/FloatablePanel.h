#pragma once

#include <QObject>
#include <QSize>
#include <QString>

class QDockWidget;
class QGroupBox;
class QMainWindow;
class QPushButton;
class QVBoxLayout;
class QWidget;

// A titled group of the main window whose content the operator can float into its own window
// (a dock) and get back by closing that window or docking it. The content is one widget that
// moves between the group and the dock; later panels go into content()'s layout.
//
// Threads: the GUI thread.
class FloatablePanel : public QObject {
    Q_OBJECT
public:
    struct Titles {
        QString chinese;
        QString english;
    };
    FloatablePanel(const Titles &titles, QSize dockMinimum, QSize dockInitial, QMainWindow *window);

    QGroupBox *group() const { return group_; }
    QDockWidget *dock() const { return dock_; }
    QPushButton *floatButton() const { return floatButton_; }
    QWidget *content() const { return content_; }
    QVBoxLayout *contentLayout() const { return contentLayout_; }
    bool isFloated() const { return floated_; }

    void setChinese(bool chinese);

public slots:
    void floatOut();
    // Puts the content back into the group and hides the dock; nothing when it is there.
    void returnContent();

signals:
    void floatedOut();
    void contentReturned();

private:
    void onDockVisibilityChanged(bool visible);
    void onDockTopLevelChanged(bool floating);

    Titles titles_;
    QSize dockInitial_;
    QGroupBox *group_;
    QVBoxLayout *groupLayout_;
    QWidget *content_;
    QVBoxLayout *contentLayout_;
    QPushButton *floatButton_;
    QDockWidget *dock_;
    bool floated_ = false;
    bool returning_ = false;
};
