#pragma once

#include <QString>

#include <functional>

class QWidget;

// The one way warnings and yes/no questions reach the operator. By default they are message
// boxes; tests put a handler in their place so that nothing waits on a modal box.
//
// Threads: the GUI thread only.
class UserPrompts {
public:
    enum class Kind { Warning, Question };
    struct Prompt {
        Kind kind;
        QWidget *parent;
        QString title;
        QString text;
        bool defaultYes; // false for warnings
    };
    // Returns the answer to a question; ignored for warnings.
    using Handler = std::function<bool(const Prompt &)>;

    static void warning(QWidget *parent, const QString &title, const QString &text);
    static bool question(QWidget *parent, const QString &title, const QString &text,
                         bool defaultYes);

    // An empty handler brings the message boxes back.
    static void setHandler(Handler handler);

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
