#pragma once

#include "arrangement/ProgramArrangement.h"
#include "core/TextOverlayData.h"
#include "ui/widgets/ClipRowHead.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// One overlay clip of the schedule: a styled text, a video or a picture over the program
// between two wall-clock moments.
//
// Threads: the GUI thread only.
class OverlayRowWidget : public QWidget {
    Q_OBJECT
public:
    // Edits `data` in place and returns true when the operator accepted.
    using EffectEditor = std::function<bool(QWidget *parent, bool chinese, TextOverlayData &data)>;

    explicit OverlayRowWidget(const QString &id, const QDateTime &start, QWidget *parent = nullptr);

    // Shows `clip` with its times counted from `baseTime`.
    void setClip(const OverlayClip &clip, const QDateTime &baseTime);
    OverlayClip toClip(const QDateTime &baseTime) const;
    // The first problem that keeps the row out of a plan; empty when it is fine.
    QString problem() const;
    QString rowId() const;
    void setChineseUi(bool chinese);
    void setEffectEditor(EffectEditor editor) { effectEditor_ = std::move(editor); }

signals:
    void deleteRequested(OverlayRowWidget *row);

private:
    int kind() const;
    void showKind();
    void browsePath();
    void editEffects();
    // The row's style record with the text, place and scrolling as the fields show them.
    TextOverlayData currentText() const;

    QComboBox *kind_ = nullptr;
    ClipRowHead head_;
    QSpinBox *x_ = nullptr;
    QSpinBox *y_ = nullptr;
    QSpinBox *width_ = nullptr;
    QSpinBox *height_ = nullptr;
    QDoubleSpinBox *opacity_ = nullptr;
    QLineEdit *path_ = nullptr;
    QPushButton *browse_ = nullptr;
    QLineEdit *text_ = nullptr;
    QCheckBox *scroll_ = nullptr;
    QLabel *directionLabel_ = nullptr;
    QComboBox *direction_ = nullptr;
    QPushButton *effects_ = nullptr;
    TextOverlayData textData_;
    EffectEditor effectEditor_;
    bool chinese_ = true;
};
