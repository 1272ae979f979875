#include "ui/panels/TextPanel.h"

#include "ui/BilingualText.h"
#include "ui/UserPrompts.h"
#include "ui/widgets/TextPreviewWidget.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

Q_DECLARE_METATYPE(TextOverlayData *)

namespace {

using Texts = BilingualText;

const Texts kAddText{u"+ 添加文字", u"+ Add Text"};
const Texts kAddTip{u"添加一行文字叠加（最多 %1 行）。",
                    u"Add a new text overlay row (maximum %1)."};
const Texts kAddFullTip{u"已达到 %1 条文字叠加上限。请删除一行或使用“全部清除”。",
                        u"Maximum %1 text overlays reached. Delete a row or use Clear All."};
const Texts kApplyAll{u"全部应用", u"Apply all"};
const Texts kApplyAllTip{u"把每一行应用到节目（最多 %1 条文字）",
                         u"Apply every row to the program (up to %1 texts)"};
const Texts kClearAll{u"全部清除", u"Clear All"};
const Texts kClearAllTip{u"删除所有行并从节目中移除全部文字",
                         u"Remove every row and every text from the program"};
const Texts kLimitTitle{u"文字叠加", u"Text overlay"};
const Texts kLimitText{
    u"最多 %1 条文字叠加。请删除一行，或在输出端使用“全部清除”。",
    u"Maximum %1 text overlays. Remove a row or use Clear All on the output side."};
const Texts kPlaceholder{u"输入文字...", u"Enter text..."};
const Texts kShownTip{u"勾选时显示此文字", u"Draw this text while checked"};
const Texts kEffect{u"特效", u"Effect"};
const Texts kPreview{u"预览", u"Preview"};
const Texts kOverlay{u"叠加", u"Overlay"};
const Texts kDelete{u"删除", u"Delete"};
const Texts kPreviewTitle{u"文字预览", u"Text Preview"};

} // namespace

// One row: the operator's text, the shown box and the four buttons, with the record it edits.
// The record is also reachable through the "textData" property for code that only has the row.
class TextRow : public QWidget {
public:
    explicit TextRow(const TextOverlayData &initial) : data(initial) {
        setObjectName(QStringLiteral("textRow%1").arg(initial.id));
        setProperty("textData", QVariant::fromValue(&data));
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(4, 2, 4, 2);
        layout->setSpacing(4);
        edit = new QLineEdit;
        edit->setObjectName(QStringLiteral("text"));
        edit->setProperty("userContent", true);
        shown = new QCheckBox;
        shown->setObjectName(QStringLiteral("enabled"));
        shown->setChecked(initial.enabled);
        layout->addWidget(edit, 1);
        layout->addWidget(shown);
        for (QPushButton **button : {&effect, &preview, &overlay, &remove}) {
            *button = new QPushButton;
            layout->addWidget(*button);
        }
        effect->setObjectName(QStringLiteral("effect"));
        preview->setObjectName(QStringLiteral("preview"));
        overlay->setObjectName(QStringLiteral("overlay"));
        remove->setObjectName(QStringLiteral("delete"));
    }

    ~TextRow() override { delete previewWindow; }

    void setChinese(bool zh) {
        edit->setPlaceholderText(kPlaceholder.in(zh));
        shown->setToolTip(kShownTip.in(zh));
        effect->setText(kEffect.in(zh));
        preview->setText(kPreview.in(zh));
        overlay->setText(kOverlay.in(zh));
        remove->setText(kDelete.in(zh));
        if (previewWindow)
            previewWindow->setWindowTitle(kPreviewTitle.in(zh));
    }

    // The text and the check box as they stand, copied into the record.
    const TextOverlayData &synced() {
        data.text = edit->text();
        data.enabled = shown->isChecked();
        return data;
    }

    TextOverlayData data;
    QLineEdit *edit = nullptr;
    QCheckBox *shown = nullptr;
    QPushButton *effect = nullptr, *preview = nullptr, *overlay = nullptr, *remove = nullptr;
    // At most one per row; it goes with the row or when the operator closes it.
    QPointer<TextPreviewWidget> previewWindow;
};

TextPanel::TextPanel(QWidget *parent) : QWidget(parent) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    list_ = new QListWidget;
    list_->setObjectName(QStringLiteral("textRows"));
    list_->setStyleSheet(QStringLiteral(
        "QListWidget { background: #1a1c20; border: 1px solid #8c7a4b; color: white; }"));
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    layout->addWidget(list_, 1);

    auto *buttons = new QHBoxLayout;
    addButton_ = new QPushButton;
    addButton_->setObjectName(QStringLiteral("addText"));
    applyAllButton_ = new QPushButton;
    applyAllButton_->setObjectName(QStringLiteral("applyAll"));
    clearAllButton_ = new QPushButton;
    clearAllButton_->setObjectName(QStringLiteral("clearAll"));
    buttons->addWidget(addButton_);
    buttons->addStretch(1);
    buttons->addWidget(applyAllButton_);
    buttons->addWidget(clearAllButton_);
    layout->addLayout(buttons);

    connect(addButton_, &QPushButton::clicked, this, &TextPanel::addTextItem);
    connect(applyAllButton_, &QPushButton::clicked, this, &TextPanel::applyAll);
    connect(clearAllButton_, &QPushButton::clicked, this, &TextPanel::clearAll);
    applyTexts();
}

TextPanel::~TextPanel() = default;

void TextPanel::setChineseUi(bool chinese) {
    if (chinese == chinese_)
        return;
    chinese_ = chinese;
    applyTexts();
}

void TextPanel::applyTexts() {
    addButton_->setText(kAddText.in(chinese_));
    applyAllButton_->setText(kApplyAll.in(chinese_));
    applyAllButton_->setToolTip(kApplyAllTip.in(chinese_).arg(kMaxRows));
    clearAllButton_->setText(kClearAll.in(chinese_));
    clearAllButton_->setToolTip(kClearAllTip.in(chinese_));
    for (int i = 0; i < rowCount(); ++i)
        row(i)->setChinese(chinese_);
    updateAddButton();
}

int TextPanel::rowCount() const {
    return list_->count();
}

TextRow *TextPanel::row(int index) const {
    return static_cast<TextRow *>(list_->itemWidget(list_->item(index)));
}

QWidget *TextPanel::rowWidget(int index) const {
    return index >= 0 && index < rowCount() ? row(index) : nullptr;
}

TextOverlayData TextPanel::rowData(int index) const {
    TextRow *r = index >= 0 && index < rowCount() ? row(index) : nullptr;
    return r ? r->synced() : TextOverlayData{};
}

int TextPanel::indexOf(const TextRow *r) const {
    for (int i = 0; i < rowCount(); ++i)
        if (row(i) == r)
            return i;
    return -1;
}

void TextPanel::addTextItem() {
    if (rowCount() >= kMaxRows) {
        UserPrompts::information(this, kLimitTitle.in(chinese_),
                                 kLimitText.in(chinese_).arg(kMaxRows));
        return;
    }
    auto *r = new TextRow(TextOverlayData::forNewRow(nextId_++, rowCount()));
    r->setChinese(chinese_);
    auto *item = new QListWidgetItem(list_);
    item->setSizeHint(QSize(300, 40));
    list_->setItemWidget(item, r);
    connectRow(r);
    updateAddButton();
}

void TextPanel::connectRow(TextRow *r) {
    connect(r->effect, &QPushButton::clicked, this, [this, r] { editEffect(r); });
    connect(r->preview, &QPushButton::clicked, this, [this, r] { showPreview(r); });
    connect(r->overlay, &QPushButton::clicked, this,
            [this, r] { emit textOverlayAdded(r->synced()); });
    connect(r->remove, &QPushButton::clicked, this, [this, r] { deleteRow(r); });
}

void TextPanel::editEffect(TextRow *r) {
    if (!effectEditor_)
        return;
    const QPointer<TextRow> guard(r);
    TextOverlayData edited = r->synced();
    // The editor runs its own event loop, in which the row may be deleted.
    if (effectEditor_(this, chinese_, edited) && guard)
        r->data = edited;
}

void TextPanel::showPreview(TextRow *r) {
    if (!r->previewWindow) {
        // No parent: the window's style sheet would set the label's font over the caption's.
        // The row deletes it with itself.
        auto *window = new TextPreviewWidget;
        window->setAttribute(Qt::WA_DeleteOnClose);
        connect(window, &TextPreviewWidget::positionChanged, r,
                [r](QPoint pos) { r->data.pos = pos; });
        r->previewWindow = window;
        r->setChinese(chinese_);
    }
    r->previewWindow->setData(r->synced());
    r->previewWindow->show();
    r->previewWindow->raise();
    r->previewWindow->activateWindow();
}

void TextPanel::dropRow(int index) {
    TextRow *r = row(index);
    // The preview window goes now; the row later, since this may run from its own button.
    delete r->previewWindow;
    delete list_->takeItem(index);
    r->hide();
    r->deleteLater();
}

void TextPanel::deleteRow(TextRow *r) {
    const int index = indexOf(r);
    if (index < 0)
        return;
    const int id = r->data.id;
    dropRow(index);
    emit textOverlayRemoved(id);
    updateAddButton();
}

void TextPanel::applyAll() {
    for (int i = 0; i < rowCount(); ++i)
        emit textOverlayAdded(row(i)->synced());
}

void TextPanel::clearAll() {
    while (rowCount() > 0)
        dropRow(0);
    emit clearOverlaysRequested();
    updateAddButton();
}

void TextPanel::updateAddButton() {
    const bool full = rowCount() >= kMaxRows;
    addButton_->setEnabled(!full);
    addButton_->setToolTip((full ? kAddFullTip : kAddTip).in(chinese_).arg(kMaxRows));
}
