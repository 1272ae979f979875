#pragma once

#include <QList>
#include <QStringList>
#include <QWidget>

#include <functional>

class ImageItem;
class QGraphicsScene;
class QGraphicsView;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QToolButton;

// Gathers still pictures from folders into a grid of thumbnails the operator orders by dragging
// and thins out by selecting, and asks the main window to play them as a slideshow. The panel
// only collects paths; the main window runs the slideshow and reports back with setPlaying.
//
// Threads: the GUI thread only; thumbnails are decoded on Qt's global thread pool.
class ImagePlaybackPanel : public QWidget {
    Q_OBJECT
public:
    // Asks the operator for a folder; empty = cancelled.
    using DirectoryChooser = std::function<QString(QWidget *parent, const QString &caption)>;

    static constexpr int kColumns = 5;
    static constexpr int kCellSize = 120;

    explicit ImagePlaybackPanel(QWidget *parent = nullptr);

    // An empty chooser brings the standard folder dialog back.
    static void setDirectoryChooser(DirectoryChooser chooser);

    // Display order, which is the play order.
    QStringList paths() const;
    int count() const { return static_cast<int>(items_.size()); }
    bool isPlaying() const { return playing_; }

    // A slideshow runs: the play button stops it, interval and loop are locked.
    void setPlaying(bool playing);
    // Appends the folder's pictures (sorted by name) after those already listed.
    void addImagesFromDirectory(const QString &folder);
    void setChineseUi(bool chinese);

signals:
    void imagePlayRequested(QStringList paths, int intervalMs, bool imageLoop);
    void imagePlayStopRequested();

public slots:
    void addImagesFromDirectory();
    void removeSelectedImages();
    void onItemReleased(ImageItem *item);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void layoutItems();
    void onItemSelectedChanged(ImageItem *item, bool selected, bool shiftPressed);
    void onPlayClicked();
    void refreshTexts();

    QLabel *folderLabel_;
    QLineEdit *folderPath_;
    QPushButton *browse_;
    QSpinBox *interval_;
    QToolButton *loop_;
    QPushButton *play_;
    QGraphicsView *view_;
    QGraphicsScene *scene_;
    QList<ImageItem *> items_;
    bool playing_ = false;
    bool chinese_ = true;
};
