#pragma once

#include "core/TextOverlayData.h"

#include <QWidget>

#include <functional>

class QListWidget;
class QListWidgetItem;
class QPushButton;
class TextRow;

// The operator's text rows: up to ten captions, each styled, placed and sent to the program on
// its own. Row ids grow with every row ever made and are never reused, so an id the overlay
// store still holds can never name another row. The program sees a row only when it is
// overlaid ("Overlay" or "Apply all").
//
// Threads: the GUI thread only.
class TextPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 10;

    // Edits `data` in place and returns true when the operator accepted; the main window
    // installs the effect dialog, tests their own. Without one "Effect" does nothing.
    using EffectEditor = std::function<bool(QWidget *parent, bool chinese, TextOverlayData &data)>;

    explicit TextPanel(QWidget *parent = nullptr);
    ~TextPanel() override;

    void setEffectEditor(EffectEditor editor) { effectEditor_ = std::move(editor); }
    void setChineseUi(bool chinese);

    int rowCount() const;
    QWidget *rowWidget(int index) const;
    // The row's record with the text and check box as they stand.
    TextOverlayData rowData(int index) const;

signals:
    void textOverlayAdded(TextOverlayData data);
    void textOverlayRemoved(int id);
    void clearOverlaysRequested();

public slots:
    void addTextItem();
    void applyAll();
    void clearAll();

private:
    TextRow *row(int index) const;
    int indexOf(const TextRow *row) const;
    void connectRow(TextRow *row);
    void editEffect(TextRow *row);
    void showPreview(TextRow *row);
    void deleteRow(TextRow *row);
    void dropRow(int index);
    void updateAddButton();
    void applyTexts();

    QListWidget *list_ = nullptr;
    QPushButton *addButton_ = nullptr;
    QPushButton *applyAllButton_ = nullptr;
    QPushButton *clearAllButton_ = nullptr;
    EffectEditor effectEditor_;
    int nextId_ = 1;
    bool chinese_ = true;
};
