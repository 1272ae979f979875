#pragma once

// Helpers for widget tests that reach controls by their object name.

#include <QComboBox>
#include <QString>
#include <QStringList>
#include <QWidget>

// A named child the test cannot go on without.
template <typename T> T *child(const QWidget &parent, const QString &name) {
    T *widget = parent.findChild<T *>(name);
    if (!widget)
        qFatal("no child %s", qPrintable(name));
    return widget;
}

inline QStringList comboTexts(const QComboBox *combo) {
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

inline bool hasChinese(const QString &text) {
    for (const QChar c : text)
        if (c.unicode() >= 0x3000 && c.unicode() < 0xA000)
            return true;
    return false;
}
