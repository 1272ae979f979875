// The image playback panel as the operator uses it: folders, thumbnails, dragging, removing, play.

#include "common/WidgetChild.h"
#include "ui/panels/ImagePlaybackPanel.h"
#include "ui/widgets/ImageItem.h"

#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QToolButton>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// a..f as pictures of different shapes, x.png as text that only looks like a picture.
QString makeFolder(const QTemporaryDir &dir, int side = 200) {
    const struct {
        const char *name;
        int w, h;
    } pictures[] = {{"b.png", 2, 1}, {"A.jpg", 1, 1}, {"c.bmp", 1, 2},
                    {"d.png", 1, 1}, {"e.gif", 1, 1}, {"f.jpeg", 3, 1}};
    for (const auto &p : pictures) {
        QImage image(p.w * side / 2, p.h * side / 2, QImage::Format_RGB32);
        image.fill(Qt::red);
        // No GIF writer: a PNG under that name, which the reader recognises by its content.
        const QString name = QLatin1String(p.name);
        if (!image.save(dir.filePath(name), name.endsWith(u".gif"_s) ? "PNG" : nullptr))
            qFatal("cannot write %s", p.name);
    }
    QFile bad(dir.filePath(u"x.png"_s));
    if (!bad.open(QIODevice::WriteOnly) || bad.write("not a picture") < 0)
        qFatal("cannot write x.png");
    QFile(dir.filePath(u"notes.txt"_s)).open(QIODevice::WriteOnly);
    return dir.path();
}

// The order a folder is listed in: by name, case ignored.
const QStringList kNames{u"A.jpg"_s, u"b.png"_s,  u"c.bmp"_s, u"d.png"_s,
                         u"e.gif"_s, u"f.jpeg"_s, u"x.png"_s};

QStringList names(const ImagePlaybackPanel &panel) {
    QStringList list;
    for (const QString &path : panel.paths())
        list << QFileInfo(path).fileName();
    return list;
}

QStringList names(const QString &letters) {
    QStringList list;
    for (const QChar c : letters)
        for (const QString &name : kNames)
            if (name.startsWith(c, Qt::CaseInsensitive))
                list << name;
    return list;
}

QGraphicsView *view(const ImagePlaybackPanel &panel) {
    return child<QGraphicsView>(panel, u"imageView"_s);
}

ImageItem *item(const ImagePlaybackPanel &panel, int index) {
    const QString path = panel.paths().value(index);
    for (QGraphicsItem *i : view(panel)->scene()->items())
        if (auto *image = dynamic_cast<ImageItem *>(i); image && image->path() == path)
            return image;
    qFatal("no item %d", index);
}

QPointF centre(const ImageItem *item) {
    return item->mapToScene(item->pixmap().rect().center());
}

// Every finished load delivered, so thumbnails are what they will stay.
void settleThumbnails() {
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
}

// A left-button drag in the view from one scene point to another.
void drag(const ImagePlaybackPanel &panel, QPointF from, QPointF to) {
    QGraphicsView *v = view(panel);
    QTest::mousePress(v->viewport(), Qt::LeftButton, {}, v->mapFromScene(from));
    QTest::mouseMove(v->viewport(), v->mapFromScene(to));
    QTest::mouseRelease(v->viewport(), Qt::LeftButton, {}, v->mapFromScene(to));
}

struct Shown {
    ImagePlaybackPanel panel;
    Shown() {
        panel.resize(720, 520);
        panel.show();
    }
};

} // namespace

class TestImagePlaybackPanel : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString folder_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        folder_ = makeFolder(dir_);
    }
    void cleanup() { ImagePlaybackPanel::setDirectoryChooser({}); }

    // The browse button asks for a folder; each one chosen is appended, a cancel changes nothing.
    void addingFolders() {
        const struct {
            QStringList answers; // "" = cancelled
            int count;
        } rows[] = {
            {{u""_s}, 0},
            {{u"@"_s}, 7},
            {{u"@"_s, u""_s}, 7},
            {{u"@"_s, u"@"_s}, 14},
        };
        for (const auto &row : rows) {
            Shown s;
            QStringList captions;
            for (const QString &answer : row.answers) {
                ImagePlaybackPanel::setDirectoryChooser([&](QWidget *, const QString &caption) {
                    captions << caption;
                    return answer == u"@"_s ? folder_ : QString();
                });
                child<QPushButton>(s.panel, u"imageBrowseButton"_s)->click();
            }
            QCOMPARE(captions.size(), row.answers.size());
            QCOMPARE(captions.value(0), u"选择图片目录"_s);
            QCOMPARE(s.panel.count(), row.count);
            QCOMPARE(names(s.panel), (kNames + kNames).mid(0, row.count));
            const auto *path = child<QLineEdit>(s.panel, u"imageFolderPath"_s);
            QCOMPARE(path->text(), row.count ? folder_ : QString());
            settleThumbnails();
        }
    }

    // Pictures shrink into the 100 px square keeping their shape; a broken file stays grey.
    void thumbnails() {
        const struct {
            int index;
            QSize size;
            QColor colour;
        } rows[] = {
            {0, {100, 100}, Qt::red},
            {1, {100, 50}, Qt::red},
            {2, {50, 100}, Qt::red},
            {5, {100, 33}, Qt::red},
            {6, {100, 100}, QColor(32, 32, 32)},
        };
        Shown s;
        s.panel.addImagesFromDirectory(folder_);
        settleThumbnails();
        for (const auto &row : rows) {
            const QImage image = item(s.panel, row.index)->pixmap().toImage();
            QCOMPARE(image.size(), row.size);
            const QColor seen = image.pixelColor(image.rect().center());
            QVERIFY2(std::abs(seen.red() - row.colour.red()) < 8 &&
                         std::abs(seen.green() - row.colour.green()) < 8 &&
                         std::abs(seen.blue() - row.colour.blue()) < 8,
                     qPrintable(seen.name()));
        }
    }

    // Dropped thumbnails land in the nearest cell of the grid; the order follows.
    void dropping() {
        const struct {
            const char *name;
            int from;
            QPointF to; // where the dragged thumbnail's centre is let go, in cells
            QString order;
        } rows[] = {
            {"beyond the last cell", 0, {3.5, 1.5}, u"bcdefxa"_s},
            {"on its own cell", 2, {2.6, 0.3}, u"abcdefx"_s},
            {"onto another item", 4, {1.4, 0.4}, u"aebcdfx"_s},
            {"onto the next row", 1, {0.5, 1.5}, u"acdefbx"_s},
            {"left of the grid", 3, {-1.5, 1.5}, u"abcefdx"_s},
            {"above the grid", 5, {2.5, -0.8}, u"abfcdex"_s},
            {"right of the last column", 0, {6.5, 0.5}, u"bcdeafx"_s},
        };
        for (const auto &row : rows) {
            Shown s;
            s.panel.addImagesFromDirectory(folder_);
            settleThumbnails();
            drag(s.panel, centre(item(s.panel, row.from)), row.to * ImagePlaybackPanel::kCellSize);
            QVERIFY2(names(s.panel) == names(row.order), row.name);
            for (int i = 0; i < s.panel.count(); ++i) {
                const QPointF cell(i % 5 * 120, i / 5 * 120);
                QVERIFY2(item(s.panel, i)->pos() == cell, row.name);
            }
        }
    }

    // Pressing a thumbnail highlights it alone; Shift adds to the highlight; a second press clears.
    void highlighting() {
        const struct {
            QList<std::pair<int, bool>> presses; // index, Shift held
            QString highlighted;
        } rows[] = {
            {{{1, false}}, u"b"_s},
            {{{1, false}, {3, false}}, u"d"_s},
            {{{1, false}, {3, true}}, u"bd"_s},
            {{{1, false}, {1, false}}, u""_s},
        };
        for (const auto &row : rows) {
            Shown s;
            s.panel.addImagesFromDirectory(folder_);
            settleThumbnails();
            QGraphicsView *v = view(s.panel);
            for (const auto &[index, shift] : row.presses)
                QTest::mouseClick(v->viewport(), Qt::LeftButton,
                                  shift ? Qt::ShiftModifier : Qt::NoModifier,
                                  v->mapFromScene(centre(item(s.panel, index))));
            QStringList lit;
            for (int i = 0; i < s.panel.count(); ++i)
                if (item(s.panel, i)->isHighlighted())
                    lit << names(s.panel)[i];
            QCOMPARE(lit, names(row.highlighted));
        }
    }

    // Removing while thumbnails are still loading: the late pictures find nothing to paint.
    void removingWhileLoading() {
        enum Select { RubberBandFirstRow, TwoBySelection, All };
        const struct {
            Select select;
            bool deleteKey; // else right-click
            QString left;
        } rows[] = {
            {RubberBandFirstRow, false, u"fx"_s},
            {TwoBySelection, true, u"acefx"_s},
            {All, false, u""_s},
            {All, true, u""_s},
        };
        QTemporaryDir big;
        const QString bigFolder = makeFolder(big, 1600);
        for (const auto &row : rows) {
            Shown s;
            s.panel.addImagesFromDirectory(bigFolder);
            QGraphicsView *v = view(s.panel);
            if (row.select == RubberBandFirstRow)
                drag(s.panel, {595, 110}, {5, 5});
            else if (row.select == TwoBySelection)
                for (int i : {1, 3})
                    item(s.panel, i)->setSelected(true);
            else
                for (QGraphicsItem *i : v->scene()->items())
                    i->setSelected(true);
            if (row.deleteKey)
                QTest::keyClick(v, Qt::Key_Delete);
            else
                QTest::mouseClick(v->viewport(), Qt::RightButton, {}, QPoint(700, 500));
            QCOMPARE(names(s.panel), names(row.left));
            QCOMPARE(v->scene()->items().size(), s.panel.count());
            settleThumbnails();
            for (int i = 0; i + 1 < s.panel.count(); ++i) // the last one is x.png
                QCOMPARE(item(s.panel, i)->pixmap().height() <= 100, true);
        }
    }

    // Play asks for the list in display order; while a slideshow runs it asks to stop instead.
    void playing() {
        const struct {
            bool withImages, running, loopOff;
            int interval;
            QString signal;
        } rows[] = {
            {false, false, false, 2000, u""_s},
            {true, false, false, 2000, u"play abcdefx 2000 loop"_s},
            {true, false, true, 300, u"play abcdefx 300 once"_s},
            {true, true, false, 2000, u"stop"_s},
            {false, true, false, 2000, u"stop"_s},
        };
        for (const auto &row : rows) {
            Shown s;
            if (row.withImages)
                s.panel.addImagesFromDirectory(folder_);
            auto *interval = child<QSpinBox>(s.panel, u"imageIntervalSpin"_s);
            auto *loop = child<QToolButton>(s.panel, u"imageLoopButton"_s);
            auto *play = child<QPushButton>(s.panel, u"imagePlayButton"_s);
            interval->setValue(row.interval);
            if (row.loopOff)
                loop->click();
            QStringList log;
            connect(&s.panel, &ImagePlaybackPanel::imagePlayRequested,
                    [&](const QStringList &paths, int ms, bool loopOn) {
                        QStringList letters;
                        for (const QString &p : paths)
                            letters << QFileInfo(p).baseName().toLower();
                        log << u"play %1 %2 %3"_s.arg(letters.join(QString()))
                                   .arg(ms)
                                   .arg(loopOn ? u"loop"_s : u"once"_s);
                    });
            connect(&s.panel, &ImagePlaybackPanel::imagePlayStopRequested,
                    [&] { log << u"stop"_s; });
            s.panel.setPlaying(row.running);
            QCOMPARE(interval->isEnabled(), !row.running);
            QCOMPARE(loop->isEnabled(), !row.running);
            QCOMPARE(play->text(), row.running ? u"停止播放"_s : u"播放图片"_s);
            play->click();
            QCOMPARE(log.join(u'|'), row.signal);
            s.panel.setPlaying(false);
            QVERIFY(interval->isEnabled() && loop->isEnabled());
            settleThumbnails();
        }
    }

    // Every text the operator reads follows the language; the folder path is left alone.
    void language() {
        Shown s;
        s.panel.addImagesFromDirectory(u"/目录"_s);
        auto *loop = child<QToolButton>(s.panel, u"imageLoopButton"_s);
        for (const bool chinese : {false, true, false}) {
            for (const bool loopOn : {true, false}) {
                s.panel.setChineseUi(chinese);
                loop->setChecked(loopOn);
                for (const QString &text : visibleTexts(s.panel))
                    if (text != u"2000 ms"_s && text != u"↻"_s) // the same in both languages
                        QVERIFY2(hasChinese(text) == chinese, qPrintable(text));
                const QString state =
                    chinese ? (loopOn ? u"开"_s : u"关"_s) : (loopOn ? u"ON"_s : u"OFF"_s);
                QVERIFY2(loop->toolTip().contains(state), qPrintable(loop->toolTip()));
            }
        }
    }
};

QTEST_MAIN(TestImagePlaybackPanel)
#include "tst_ImagePlaybackPanel.moc"
