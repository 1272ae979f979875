#pragma once

#include "arrangement/ProgramArrangement.h"
#include "ui/widgets/ClipRowHead.h"

#include <QFutureWatcher>
#include <QStringList>
#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;

// One base clip of the schedule: a channel playing a chosen video, or a folder of pictures
// played at an interval, between two wall-clock moments.
//
// Threads: the GUI thread only.
class SceneRowWidget : public QWidget {
    Q_OBJECT
public:
    static constexpr int kImagePlay = 4; // source box data; 0-3 are the channels

    explicit SceneRowWidget(const QString &id, const QDateTime &start, QWidget *parent = nullptr);

    // Shows `clip` with its times counted from `baseTime`.
    void setClip(const SceneClip &clip, const QDateTime &baseTime);
    SceneClip toClip(const QDateTime &baseTime) const;
    // The first problem that keeps the row out of a plan; empty when it is fine.
    QString problem() const;
    QString rowId() const;
    void setChineseUi(bool chinese);
    // True until the listing of the chosen folder has reached the row.
    bool isListing() const { return listingPending_; }

signals:
    void deleteRequested(SceneRowWidget *row);

public slots:
    void onKindUserChanged(int index);
    void onBrowseDirectory();
    void onBrowseSceneVideo();

private:
    void setDirectory(const QString &directory, const QStringList &images);
    void showChoice();
    void listDirectory();
    bool isImagePlay() const;

    QComboBox *source_ = nullptr;
    ClipRowHead head_;
    QLabel *intervalLabel_ = nullptr;
    QSpinBox *interval_ = nullptr;
    QPushButton *folderButton_ = nullptr;
    QPushButton *videoButton_ = nullptr;
    QLabel *choice_ = nullptr;
    QString videoPath_;
    QString directory_;
    QStringList images_;
    bool listed_ = false; // images_ reflects directory_
    QFutureWatcher<QStringList> listing_;
    bool listingPending_ = false;
    bool chinese_ = true;
};
