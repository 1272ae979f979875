#pragma once

// Helpers for widget tests that reach controls by their object name.

#include <QComboBox>
#include <QGraphicsProxyWidget>
#include <QPushButton>
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

// A control on a graphics item's bar: such bars live in proxy widgets, not under the panel.
template <typename T = QPushButton> T *itemControl(QGraphicsItem *item, const char *name) {
    for (QGraphicsItem *c : item->childItems())
        if (auto *proxy = dynamic_cast<QGraphicsProxyWidget *>(c))
            if (T *w = proxy->widget()->findChild<T *>(QLatin1String(name)))
                return w;
    qFatal("no control %s", name);
}

inline QStringList comboTexts(const QComboBox *combo) {
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

// Texts, placeholders, tool tips and combo items of every control, leaving out what the
// operator typed or the system reported (userContent).
inline QStringList visibleTexts(const QWidget &parent) {
    QStringList texts;
    for (const QWidget *w : parent.findChildren<QWidget *>()) {
        if (w->property("userContent").toBool())
            continue;
        for (const char *property : {"text", "placeholderText", "toolTip"})
            texts << w->property(property).toString();
        if (auto *combo = qobject_cast<const QComboBox *>(w))
            texts << comboTexts(combo);
    }
    texts.removeAll(QString());
    return texts;
}

inline bool hasChinese(const QString &text) {
    for (const QChar c : text)
        if (c.unicode() >= 0x3000 && c.unicode() < 0xA000)
            return true;
    return false;
}
