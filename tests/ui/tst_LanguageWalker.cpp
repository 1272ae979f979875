#include "ui/LanguageWalker.h"

#include <QComboBox>
#include <QDockWidget>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Every text the walk may touch, in tree order.
QStringList shownTexts(QObject *root) {
    QStringList out;
    const auto objects = root->findChildren<QObject *>();
    for (QObject *o : QObjectList{root} + objects) {
        if (auto *w = qobject_cast<QWidget *>(o); w && w->isWindow())
            out << w->windowTitle();
        if (auto *m = qobject_cast<QMenu *>(o))
            out << m->title();
        if (auto *a = qobject_cast<QAction *>(o))
            out << a->text() << a->toolTip();
        if (auto *g = qobject_cast<QGroupBox *>(o))
            out << g->title();
        if (auto *l = qobject_cast<QLabel *>(o))
            out << l->text();
        if (auto *b = qobject_cast<QAbstractButton *>(o))
            out << b->text() << b->toolTip();
        if (auto *e = qobject_cast<QLineEdit *>(o))
            out << e->placeholderText();
        if (auto *c = qobject_cast<QComboBox *>(o))
            for (int i = 0; i < c->count(); ++i)
                out << c->itemText(i);
        if (auto *d = qobject_cast<QDockWidget *>(o))
            out << d->windowTitle();
    }
    return out;
}

} // namespace

class TestLanguageWalker : public QObject {
    Q_OBJECT
private slots:
    void switchesEveryKindAndBack() {
        QMainWindow window;
        window.setWindowTitle(u"节目编排"_s);
        QMenu *menu = window.menuBar()->addMenu(u"叠加"_s);
        // Owned by nobody in the tree: only the menu's action list leads to it.
        auto save = std::make_unique<QAction>(u"保存PNG"_s);
        save->setToolTip(u"保存"_s);
        menu->addAction(save.get());

        auto *central = new QWidget;
        auto *layout = new QVBoxLayout(central);
        auto *group = new QGroupBox(u"输出预览"_s);
        auto *groupLayout = new QVBoxLayout(group);
        auto *label = new QLabel(u"调音台"_s);
        auto *button = new QPushButton(u"画笔"_s);
        button->setToolTip(u"颜色选择"_s);
        auto *edit = new QLineEdit;
        edit->setPlaceholderText(u"叠加文字内容"_s);
        auto *combo = new QComboBox;
        combo->addItems({u"无"_s, u"从左到右"_s, u"Spring（12 张）"_s, u"My camera"_s});
        for (QWidget *w : {static_cast<QWidget *>(label), static_cast<QWidget *>(button),
                           static_cast<QWidget *>(edit), static_cast<QWidget *>(combo)})
            groupLayout->addWidget(w);
        layout->addWidget(group);

        // An operator's caption that happens to read like an interface text.
        auto *caption = new QLabel(u"Output"_s);
        caption->setProperty("userContent", true);
        auto *captionChild = new QLabel(u"Output"_s, caption);
        layout->addWidget(caption);
        window.setCentralWidget(central);

        auto *dock = new QDockWidget(u"视频叠加"_s, &window);
        window.addDockWidget(Qt::RightDockWidgetArea, dock);
        auto *floating = new QWidget(&window, Qt::Window);
        floating->setWindowTitle(u"图片播放"_s);

        const auto allTexts = [&] {
            return shownTexts(&window) + QStringList{save->text(), save->toolTip()};
        };
        const QStringList chinese = allTexts();
        shownTexts(&window) + QStringList{save->text(), save->toolTip()};

        LanguageWalker::apply(&window, false);
        QCOMPARE(window.windowTitle(), u"Program Scheduling"_s);
        QCOMPARE(menu->title(), u"Overlay"_s);
        QCOMPARE(save->text(), u"Save PNG"_s);
        QCOMPARE(save->toolTip(), u"Save"_s);
        QCOMPARE(group->title(), u"Output Preview"_s);
        QCOMPARE(label->text(), u"Audio Mixer"_s);
        QCOMPARE(button->text(), u"Pen"_s);
        QCOMPARE(button->toolTip(), u"Pick Color"_s);
        QCOMPARE(edit->placeholderText(), u"Overlay text content"_s);
        QCOMPARE(combo->itemText(2), u"Spring (12 images)"_s);
        QCOMPARE(combo->itemText(3), u"My camera"_s);
        QCOMPARE(dock->windowTitle(), u"Video Overlay"_s);
        QCOMPARE(floating->windowTitle(), u"Image Playback"_s);

        LanguageWalker::apply(&window, true);
        QCOMPARE(allTexts(), chinese);
        QCOMPARE(caption->text(), u"Output"_s);
        QCOMPARE(captionChild->text(), u"Output"_s);
    }
};

QTEST_MAIN(TestLanguageWalker)
#include "tst_LanguageWalker.moc"
