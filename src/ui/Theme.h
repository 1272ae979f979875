#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// The dark, gold-accented look of the window.
//
// Threads: the GUI thread.
class Theme {
public:
    // The window's face first; the rest are what Linux machines have, with a Chinese face last
    // so that CJK text never falls back to empty boxes.
    static QStringList fontFamilies();
    static QString styleSheet();
    // Font and style sheet for a top-level window.
    static void apply(QWidget *window);
};
