#include "ui/LanguageWalker.h"

#include "core/UiLanguage.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDockWidget>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSet>

namespace {

class Walk {
public:
    explicit Walk(bool chinese) : chinese_(chinese) {}

    void visit(QObject *object) {
        if (!object || visited_.contains(object))
            return;
        visited_.insert(object);
        if (object->property("userContent").toBool())
            return;
        translateObject(object);
        // Copies: a setter may create or reparent objects.
        const QObjectList children = object->children();
        for (QObject *child : children)
            visit(child);
        // A menu's actions usually belong to whoever created them, not to the menu.
        if (auto *w = qobject_cast<QWidget *>(object)) {
            const QList<QAction *> actions = w->actions();
            for (QAction *action : actions) {
                visit(action);
                visit(QMenu::menuInAction(action)); // a submenu may have no parent either
            }
        }
    }

private:
    // Calls the setter only for a changed text: an unchanged one would still relayout.
    template <class Set> void update(const QString &current, Set set) const {
        const QString next = UiLanguage::translate(current, chinese_);
        if (next != current)
            set(next);
    }

    void translateObject(QObject *object) const {
        if (auto *a = qobject_cast<QAction *>(object)) {
            // Text first: an action without its own tool tip shows its text as one.
            update(a->text(), [a](const QString &t) { a->setText(t); });
            update(a->toolTip(), [a](const QString &t) { a->setToolTip(t); });
            return;
        }
        auto *w = qobject_cast<QWidget *>(object);
        if (!w)
            return;
        if (auto *menu = qobject_cast<QMenu *>(w))
            update(menu->title(), [menu](const QString &t) { menu->setTitle(t); });
        if (auto *box = qobject_cast<QGroupBox *>(w))
            update(box->title(), [box](const QString &t) { box->setTitle(t); });
        if (auto *label = qobject_cast<QLabel *>(w))
            update(label->text(), [label](const QString &t) { label->setText(t); });
        if (auto *button = qobject_cast<QAbstractButton *>(w)) {
            update(button->text(), [button](const QString &t) { button->setText(t); });
            update(button->toolTip(), [button](const QString &t) { button->setToolTip(t); });
        }
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            update(edit->placeholderText(),
                   [edit](const QString &t) { edit->setPlaceholderText(t); });
        if (auto *combo = qobject_cast<QComboBox *>(w)) {
            for (int i = 0; i < combo->count(); ++i)
                update(combo->itemText(i),
                       [combo, i](const QString &t) { combo->setItemText(i, t); });
        }
        if (qobject_cast<QDockWidget *>(w) || w->isWindow())
            update(w->windowTitle(), [w](const QString &t) { w->setWindowTitle(t); });
    }

    bool chinese_;
    QSet<QObject *> visited_;
};

} // namespace

void LanguageWalker::apply(QObject *root, bool chinese) {
    Walk(chinese).visit(root);
}
