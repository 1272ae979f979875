#pragma once

#include <QColor>
#include <QString>

#include <functional>

class QWidget;

// The one way notices, warnings and yes/no questions reach the operator, and the way colour and
// file choices are asked. By default they are message boxes and the standard dialogs;
// tests put handlers in their place so that nothing waits on a modal window.
//
// Threads: the GUI thread only.
class UserPrompts {
public:
    enum class Kind { Information, Warning, Question };
    struct Prompt {
        Kind kind;
        QWidget *parent;
        QString title;
        QString text;
        bool defaultYes; // false for warnings
    };
    // Returns the answer to a question; ignored for notices and warnings.
    using Handler = std::function<bool(const Prompt &)>;
    // The colour chosen, invalid when cancelled.
    using ColorChooser = std::function<QColor(QWidget *parent, const QColor &initial)>;
    // The file name chosen, empty when cancelled.
    using SaveFileChooser = std::function<QString(QWidget *parent, const QString &title,
                                                  const QString &proposed, const QString &filter)>;
    using OpenFileChooser =
        std::function<QString(QWidget *parent, const QString &title, const QString &filter)>;
    using DirectoryChooser = std::function<QString(QWidget *parent, const QString &title)>;

    static void information(QWidget *parent, const QString &title, const QString &text);
    static void warning(QWidget *parent, const QString &title, const QString &text);
    static bool question(QWidget *parent, const QString &title, const QString &text,
                         bool defaultYes);

    static QColor chooseColor(QWidget *parent, const QColor &initial);
    static QString chooseSaveFile(QWidget *parent, const QString &title, const QString &proposed,
                                  const QString &filter);
    static QString chooseOpenFile(QWidget *parent, const QString &title, const QString &filter);
    static QString chooseDirectory(QWidget *parent, const QString &title);

    // An empty handler or chooser brings the standard window back.
    static void setHandler(Handler handler);
    static void setColorChooser(ColorChooser chooser);
    static void setSaveFileChooser(SaveFileChooser chooser);
    static void setOpenFileChooser(OpenFileChooser chooser);
    static void setDirectoryChooser(DirectoryChooser chooser);

    // Replaces the boxes for its lifetime, then restores the previous handler.
    class ScopedHandler {
    public:
        explicit ScopedHandler(Handler handler);
        ~ScopedHandler();
        ScopedHandler(const ScopedHandler &) = delete;
        ScopedHandler &operator=(const ScopedHandler &) = delete;

    private:
        Handler previous_;
    };
};
