#include "ui/LanguageWalker.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

// Only what the main window's test cannot reach: placeholders, combo items, tool tips, an action
// with no parent, and the children of an operator's caption.
class TestLanguageWalker : public QObject {
    Q_OBJECT
private slots:
    void switchesAndSwitchesBack() {
        QWidget root;
        auto *edit = new QLineEdit;
        edit->setPlaceholderText(u"叠加文字内容"_s);
        auto *combo = new QComboBox;
        combo->addItems({u"无"_s, u"从左到右"_s});
        auto *button = new QPushButton(u"画笔"_s);
        button->setToolTip(u"颜色选择"_s);
        // Owned by nobody in the tree: only the button's action list leads to it.
        auto save = std::make_unique<QAction>(u"保存PNG"_s);
        save->setToolTip(u"保存"_s);
        button->addAction(save.get());
        auto *caption = new QLabel(u"输出"_s);
        caption->setProperty("userContent", true);
        auto *captionChild = new QLabel(u"输出"_s, caption);
        auto *layout = new QVBoxLayout(&root);
        for (QWidget *w : QWidgetList{edit, combo, button, caption})
            layout->addWidget(w);

        const auto texts = [&] {
            return QStringList{edit->placeholderText(), combo->itemText(0),  combo->itemText(1),
                               button->toolTip(),       save->text(),        save->toolTip(),
                               caption->text(),         captionChild->text()};
        };
        const QStringList chinese = texts();
        LanguageWalker::apply(&root, false);
        QCOMPARE(texts(),
                 (QStringList{u"Overlay text content"_s, u"None"_s, u"Left -> Right"_s,
                              u"Pick Color"_s, u"Save PNG"_s, u"Save"_s, u"输出"_s, u"输出"_s}));
        LanguageWalker::apply(&root, true);
        QCOMPARE(texts(), chinese);
    }
};

QTEST_MAIN(TestLanguageWalker)
#include "tst_LanguageWalker.moc"
