#pragma once

#include "core/TextOverlayData.h"
#include "pipeline/TextSpriteCache.h"

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QFontComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;

// Edits the look of one text overlay: font, style flags, colours, outline, opacity and
// scrolling, with a live preview drawn the way the program draws the text. The caller loads a
// record with setData() and takes data() only when the dialog was accepted.
//
// Threads: the GUI thread only.
class TextEffectDialog : public QDialog {
    Q_OBJECT
public:
    explicit TextEffectDialog(bool chinese, QWidget *parent = nullptr);

    // Loads `d` as the working copy; values outside a control's range are clamped into it.
    void setData(const TextOverlayData &d);
    // The working copy with the controls' values applied.
    TextOverlayData data() const;

public slots:
    void updatePreview();
    void chooseFontColor();
    void chooseBackgroundColor();
    void chooseShadowColor();
    void chooseOutlineColor();
    void onAccept();
    void onReject();
    void applyArrangementStyle();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString text(const char16_t *chinese, const char16_t *english) const;
    void chooseColor(QColor TextOverlayData::*field, QPushButton *button);
    static void showColor(QPushButton *button, const QColor &color);

    bool chinese_ = false;
    bool loading_ = false;
    TextOverlayData working_;
    // The family the combo box showed right after loading: while it still shows that one, the
    // record keeps its own family name, which the system may not have under that name.
    QString loadedFamily_;
    TextSpriteCache sprites_;
    int previewWidth_ = -1;

    QLabel *preview_ = nullptr;
    QFontComboBox *fontFamily_ = nullptr;
    QSpinBox *fontSize_ = nullptr;
    QCheckBox *bold_ = nullptr;
    QCheckBox *italic_ = nullptr;
    QCheckBox *underline_ = nullptr;
    QCheckBox *strikeOut_ = nullptr;
    QPushButton *fontColor_ = nullptr;
    QCheckBox *backgroundEnabled_ = nullptr;
    QPushButton *backgroundColor_ = nullptr;
    QCheckBox *shadowEnabled_ = nullptr;
    QPushButton *shadowColor_ = nullptr;
    QCheckBox *outlineEnabled_ = nullptr;
    QPushButton *outlineColor_ = nullptr;
    QSpinBox *outlineWidth_ = nullptr;
    QSlider *opacity_ = nullptr;
    QCheckBox *scrollEnabled_ = nullptr;
    QComboBox *scrollDirection_ = nullptr;
    QSpinBox *scrollTimes_ = nullptr;
    QSpinBox *scrollStep_ = nullptr;
    QDialogButtonBox *buttons_ = nullptr;
};
