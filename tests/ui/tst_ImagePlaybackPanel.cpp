// The image playback panel as the operator uses it: folders, thumbnails, dragging, removing, play.

#include "common/WidgetChild.h"
#include "ui/panels/ImagePlaybackPanel.h"
#include "ui/widgets/ImageItem.h"

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

// a..f as pictures of different shapes (listed as a b c d e f x whatever the case), x.png as
// text that only looks like a picture, and a file that is no picture by name.
QString makeFolder(const QTemporaryDir &dir, int side) {
    const struct {
        const char *name;
        int w, h;
    } pictures[] = {{"b.png", 2, 1}, {"A.jpg", 1, 1}, {"c.bmp", 1, 2},
                    {"d.png", 1, 1}, {"e.gif", 1, 1}, {"f.jpeg", 3, 1}};
    for (const auto &p : pictures) {
        QImage image(p.w * side / 2, p.h * side / 2, QImage::Format_RGB32);
        image.fill(Qt::red);
        const QString name = QLatin1String(p.name); // no GIF writer; the reader goes by content
        if (!image.save(dir.filePath(name), name.endsWith(u".gif"_s) ? "PNG" : nullptr))
            qFatal("cannot write %s", p.name);
    }
    for (const QString &name : {u"x.png"_s, u"notes.txt"_s}) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write("not a picture") < 0)
            qFatal("cannot write %s", qPrintable(name));
    }
    return dir.path();
}

// The display order as the first letters of the file names, e.g. "abcdefx".
QString order(const ImagePlaybackPanel &panel) {
    QString letters;
    for (const QString &path : panel.paths())
        letters += QFileInfo(path).fileName().front().toLower();
    return letters;
}

QGraphicsView *view(const ImagePlaybackPanel &panel) {
    return child<QGraphicsView>(panel, u"imageView"_s);
}

ImageItem *item(const ImagePlaybackPanel &panel, int index) {
    for (QGraphicsItem *i : view(panel)->scene()->items())
        if (auto *image = dynamic_cast<ImageItem *>(i);
            image && image->path() == panel.paths()[index])
            return image;
    qFatal("no item %d", index);
}

QPointF centre(int index, const ImagePlaybackPanel &panel) {
    const ImageItem *i = item(panel, index);
    return i->mapToScene(i->pixmap().rect().center());
}

// Every finished load delivered, so thumbnails are what they will stay.
void settleThumbnails() {
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
}

std::unique_ptr<ImagePlaybackPanel> shown(const QString &folder, bool settled = true) {
    auto panel = std::make_unique<ImagePlaybackPanel>();
    panel->resize(720, 520);
    panel->show();
    if (!folder.isEmpty())
        panel->addImagesFromDirectory(folder);
    if (settled)
        settleThumbnails();
    return panel;
}

// A left-button drag in the view from one scene point to another.
void drag(const ImagePlaybackPanel &panel, QPointF from, QPointF to) {
    QWidget *viewport = view(panel)->viewport();
    QTest::mousePress(viewport, Qt::LeftButton, {}, view(panel)->mapFromScene(from));
    QTest::mouseMove(viewport, view(panel)->mapFromScene(to));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, view(panel)->mapFromScene(to));
}

} // namespace

class TestImagePlaybackPanel : public QObject {
    Q_OBJECT
    QTemporaryDir dir_, bigDir_;
    QString folder_, bigFolder_;

private slots:
    void initTestCase() {
        folder_ = makeFolder(dir_, 200);
        bigFolder_ = makeFolder(bigDir_, 1600);
    }
    void cleanup() { ImagePlaybackPanel::setDirectoryChooser({}); }

    // Each folder chosen with the browse button is appended; a cancel changes nothing.
    void addingFolders() {
        const struct {
            QStringList answers; // "" = cancelled
            QString order;
        } rows[] = {{{u""_s}, u""_s},
                    {{u"@"_s, u""_s}, u"abcdefx"_s},
                    {{u"@"_s, u"@"_s}, u"abcdefxabcdefx"_s}};
        for (const auto &row : rows) {
            auto panel = shown({});
            for (const QString &answer : row.answers) {
                ImagePlaybackPanel::setDirectoryChooser([&](QWidget *, const QString &caption) {
                    return caption == u"选择图片目录"_s && answer == u"@"_s ? folder_ : QString();
                });
                child<QPushButton>(*panel, u"imageBrowseButton"_s)->click();
            }
            QCOMPARE(order(*panel), row.order);
            QCOMPARE(child<QLineEdit>(*panel, u"imageFolderPath"_s)->text(),
                     row.order.isEmpty() ? QString() : folder_);
        }
    }

    // Pictures shrink into the 100 px square keeping their shape; a broken file stays grey.
    void thumbnails() {
        const struct {
            int index;
            QSize size;
            QColor colour;
        } rows[] = {{0, {100, 100}, Qt::red},
                    {1, {100, 50}, Qt::red},
                    {2, {50, 100}, Qt::red},
                    {5, {100, 33}, Qt::red},
                    {6, {100, 100}, QColor(32, 32, 32)}};
        auto panel = shown(folder_);
        for (const auto &row : rows) {
            const QImage image = item(*panel, row.index)->pixmap().toImage();
            QCOMPARE(image.size(), row.size);
            const QColor seen = image.pixelColor(image.rect().center()); // JPEG is near enough
            for (const int d : {seen.red() - row.colour.red(), seen.green() - row.colour.green(),
                                seen.blue() - row.colour.blue()})
                QVERIFY2(std::abs(d) < 8, qPrintable(seen.name()));
        }
    }

    // A dropped thumbnail lands in the nearest cell of the grid and the order follows.
    void dropping() {
        const struct {
            int from;
            QPointF to; // where the thumbnail's centre is let go, in cells
            QString order;
        } rows[] = {
            {0, {3.5, 1.5}, u"bcdefxa"_s},  // beyond the last cell
            {2, {2.6, 0.3}, u"abcdefx"_s},  // on its own cell
            {4, {1.4, 0.4}, u"aebcdfx"_s},  // onto another item
            {1, {0.5, 1.5}, u"acdefbx"_s},  // onto the next row
            {3, {-1.5, 1.5}, u"abcefdx"_s}, // left of the grid
            {5, {2.5, -0.8}, u"abfcdex"_s}, // above the grid
            {0, {6.5, 0.5}, u"bcdeafx"_s},  // right of the last column
        };
        for (const auto &row : rows) {
            auto panel = shown(folder_);
            drag(*panel, centre(row.from, *panel), row.to * ImagePlaybackPanel::kCellSize);
            QCOMPARE(order(*panel), row.order);
            for (int i = 0; i < panel->count(); ++i)
                QCOMPARE(item(*panel, i)->pos(), QPointF(i % 5 * 120, i / 5 * 120));
        }
    }

    // Removing before the thumbnails arrive: the late pictures find nothing to paint.
    void removingWhileLoading() {
        const struct {
            QList<int> selected; // empty: a rubber band over the first row
            bool deleteKey;      // else a right-click
            QString left;
        } rows[] = {{{}, false, u"fx"_s},
                    {{1, 3}, true, u"acefx"_s},
                    {{0, 1, 2, 3, 4, 5, 6}, false, u""_s}};
        for (const auto &row : rows) {
            auto panel = shown(bigFolder_, false);
            for (const int i : row.selected)
                item(*panel, i)->setSelected(true);
            if (row.selected.isEmpty())
                drag(*panel, {595, 110}, {5, 5});
            if (row.deleteKey)
                QTest::keyClick(view(*panel), Qt::Key_Delete);
            else
                QTest::mouseClick(view(*panel)->viewport(), Qt::RightButton, {}, {700, 500});
            QCOMPARE(order(*panel), row.left);
            QCOMPARE(view(*panel)->scene()->items().size(), panel->count());
            settleThumbnails();
        }
    }

    // Play asks for the list in display order; while a slideshow runs it asks to stop instead.
    void playing() {
        const struct {
            QString folder;
            bool running, loopOff;
            int interval;
            QString signal;
        } rows[] = {{{}, false, false, 2000, u""_s},
                    {folder_, false, false, 2000, u"abcdefx 2000 1"_s},
                    {folder_, false, true, 300, u"abcdefx 300 0"_s},
                    {folder_, true, false, 2000, u"stop"_s}};
        for (const auto &row : rows) {
            auto panel = shown(row.folder);
            auto *interval = child<QSpinBox>(*panel, u"imageIntervalSpin"_s);
            auto *loop = child<QToolButton>(*panel, u"imageLoopButton"_s);
            auto *play = child<QPushButton>(*panel, u"imagePlayButton"_s);
            interval->setValue(row.interval);
            if (row.loopOff)
                loop->click();
            QString log;
            connect(panel.get(), &ImagePlaybackPanel::imagePlayRequested,
                    [&](const QStringList &, int ms, bool on) {
                        log = u"%1 %2 %3"_s.arg(order(*panel)).arg(ms).arg(on);
                    });
            connect(panel.get(), &ImagePlaybackPanel::imagePlayStopRequested,
                    [&] { log = u"stop"_s; });
            panel->setPlaying(row.running);
            QCOMPARE(interval->isEnabled() || loop->isEnabled(), !row.running);
            QCOMPARE(play->text(), row.running ? u"停止播放"_s : u"播放图片"_s);
            play->click();
            QCOMPARE(log, row.signal);
        }
    }
};

QTEST_MAIN(TestImagePlaybackPanel)
#include "tst_ImagePlaybackPanel.moc"
