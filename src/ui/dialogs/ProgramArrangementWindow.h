#pragma once

#include "arrangement/ProgramArrangement.h"
#include "ui/widgets/OverlayRowWidget.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QList>
#include <QPointer>

class ArrangementPlayer;
class QLabel;
class QPushButton;
class QVBoxLayout;
class SceneRowWidget;
class ScheduleDateTimeWidget;

// Where the operator writes a schedule for the program: base clips and overlay clips between
// wall-clock moments, kept in JSON files and played by the arrangement player.
//
// Reading, writing and parsing files happen on the thread pool: the program is composed on
// this thread and must not wait on a disk.
//
// Threads: the GUI thread only.
class ProgramArrangementWindow : public QDialog {
    Q_OBJECT
public:
    // Files above this are no schedule anyone wrote.
    static constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

    explicit ProgramArrangementWindow(QWidget *parent = nullptr);
    ~ProgramArrangementWindow() override;

    void setPlayer(ArrangementPlayer *player);
    void setChineseUi(bool chinese);
    // The editor behind the rows' text-effects buttons; by default the effect dialog.
    void setEffectEditor(OverlayRowWidget::EffectEditor editor);

    // The rows as a plan; empty after a row failed its checks (the operator has been told).
    ProgramArrangement collectArrangement();
    // Replaces the rows by the plan's clips, timed from the base time.
    void loadArrangement(const ProgramArrangement &arrangement);

    ScheduleDateTimeWidget *baseTimeEdit() const { return baseTime_; }
    QList<SceneRowWidget *> sceneRows() const;
    QList<OverlayRowWidget *> overlayRows() const;

public slots:
    void onImportJson();
    void onExportJson();
    void onAddSceneRow();
    void onAddOverlayRow();
    void onStartArrangement();
    void onStopArrangement();

private:
    struct ImportResult {
        ProgramArrangement arrangement;
        QString error; // empty on success
    };

    SceneRowWidget *addSceneRow(const QString &id);
    OverlayRowWidget *addOverlayRow(const QString &id);
    void prepareRow(QWidget *row);
    static void dropRow(QVBoxLayout *list, QWidget *row);
    void clearRows();
    void warn(const QString &title, const QString &text);
    QString inLanguage(const QString &chinese) const;
    void showRunning(bool running);

    QPointer<ArrangementPlayer> player_;
    ScheduleDateTimeWidget *baseTime_ = nullptr;
    QVBoxLayout *sceneList_ = nullptr;
    QVBoxLayout *overlayList_ = nullptr;
    QPushButton *importButton_ = nullptr;
    QPushButton *exportButton_ = nullptr;
    QPushButton *stopButton_ = nullptr;
    QLabel *runningLight_ = nullptr;
    QFutureWatcher<ImportResult> importing_;
    QFutureWatcher<bool> exporting_;
    OverlayRowWidget::EffectEditor effectEditor_;
    int nextSceneId_ = 0;
    int nextOverlayId_ = 0;
    bool chinese_ = true;
};
