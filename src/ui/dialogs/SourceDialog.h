#pragma once

#include "platform/WindowList.h"
#include "platform/X11DisplayCapture.h"

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QComboBox;
class QLineEdit;
class QStackedWidget;

// Picks what a channel plays: a local file, a network stream, a camera (with an optional
// separate microphone), a whole display or one window (each with an optional microphone), and
// returns it as one source address.
//
// Threads: the GUI thread only.
class SourceDialog : public QDialog {
    Q_OBJECT
public:
    enum SourceType { LocalFile, NetworkUrl, Camera, Display, Window };

    // What the system offers. The defaults ask Qt Multimedia and the X server; tests put fixed
    // lists in place. An empty function restores its default.
    struct SystemLists {
        std::function<QStringList()> cameras;     // device names
        std::function<QStringList()> microphones; // device names
        std::function<QList<X11DisplayCapture::DisplayEntry>()> displays;
        std::function<QList<CaptureWindow>()> windows;
    };
    static void setSystemLists(SystemLists lists);

    // The open dialog of the browse button: (parent, caption, filter) -> chosen path, empty
    // when cancelled. An empty function brings the real dialog back.
    using OpenFileDialog =
        std::function<QString(QWidget *parent, const QString &caption, const QString &filter)>;
    static void setOpenFileDialog(OpenFileDialog dialog);

    // In the language in force.
    explicit SourceDialog(bool chinese, QWidget *parent = nullptr);
    // In the stored interface language.
    explicit SourceDialog(QWidget *parent = nullptr);

    // The address for the chosen type; empty when nothing usable is chosen.
    QString address() const;

public slots:
    void browseFile();
    void sourceTypeChanged(int index);
    void refreshCaptureDevices();
    void refreshDxgiMonitors();
    void refreshWindowList();

private:
    QString text(const char16_t *chinese, const char16_t *english) const;
    QString chosenMicrophone(const QComboBox *list) const;

    bool chinese_ = false;
    QComboBox *sourceType_ = nullptr;
    QStackedWidget *pages_ = nullptr;
    QLineEdit *filePath_ = nullptr;
    QLineEdit *url_ = nullptr;
    QComboBox *camera_ = nullptr;
    QComboBox *cameraMicrophone_ = nullptr;
    QComboBox *display_ = nullptr;
    QComboBox *displayMicrophone_ = nullptr;
    QComboBox *window_ = nullptr;
    QComboBox *windowMicrophone_ = nullptr;
};
