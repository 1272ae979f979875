#include "ui/dialogs/ProgramArrangementWindow.h"

#include "arrangement/ArrangementPlayer.h"
#include "core/UiLanguage.h"
#include "ui/LanguageWalker.h"
#include "ui/Theme.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/TextEffectDialog.h"
#include "ui/widgets/SceneRowWidget.h"
#include "ui/widgets/ScheduleDateTimeWidget.h"

#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QtConcurrent>

#include <algorithm>

namespace {

const QString kStyle = QStringLiteral(
    "#arrangementCard { background:#23262c; border:1px solid #3a3d44; border-radius:6px; }"
    "QLabel, QCheckBox { color:#d4af37; background:transparent; }"
    "QCheckBox::indicator { width:12px; height:12px; border:1px solid #6b6450;"
    " border-radius:2px; background:#111316; }"
    "QCheckBox::indicator:checked { background:#d4af37; border-color:#d4af37; }"
    "QCheckBox::indicator:disabled { border-color:#3a3d44; }"
    "QDateEdit, QDoubleSpinBox { background:#111316; color:#e8d9a8; border:1px solid #3a3d44;"
    " border-radius:3px; padding:2px 4px; }"
    "QDateEdit::drop-down { width:16px; background:#2a2d33; border:none; }"
    "QDateEdit::down-arrow { image:url(:/resources/images/spin-down.png); width:9px;"
    " height:6px; }"
    "QDoubleSpinBox::up-button, QDoubleSpinBox::down-button { width:14px; background:#2a2d33;"
    " border:none; }"
    "QDoubleSpinBox::up-arrow { image:url(:/resources/images/spin-up.png); width:9px;"
    " height:6px; }"
    "QDoubleSpinBox::down-arrow { image:url(:/resources/images/spin-down.png); width:9px;"
    " height:6px; }"
    "QSpinBox:disabled, QDateEdit:disabled, QPushButton:disabled, QComboBox:disabled {"
    " color:#6b6450; }"
    "QCalendarWidget QWidget { background:#1f2228; color:#e8d9a8; }");

// The number in an id such as "s12" with this prefix, or -1.
int idNumber(const QString &id, QChar prefix) {
    if (!id.startsWith(prefix))
        return -1;
    bool ok = false;
    const int n = id.mid(1).toInt(&ok);
    return ok && n >= 0 ? n : -1;
}

QScrollArea *rowList(QWidget *parent, QVBoxLayout **list) {
    auto *content = new QWidget;
    *list = new QVBoxLayout(content);
    (*list)->setContentsMargins(2, 2, 2, 2);
    (*list)->setSpacing(6);
    (*list)->addStretch();
    auto *scroll = new QScrollArea(parent);
    scroll->setWidgetResizable(true);
    scroll->setWidget(content);
    return scroll;
}

bool defaultEffectEditor(QWidget *parent, bool chinese, TextOverlayData &data) {
    TextEffectDialog dialog(chinese, parent);
    dialog.applyArrangementStyle();
    dialog.setData(data);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    data = dialog.data();
    return true;
}

} // namespace

ProgramArrangementWindow::ProgramArrangementWindow(QWidget *parent)
    : QDialog(parent), effectEditor_(&defaultEffectEditor) {
    setModal(false);
    setWindowTitle(QStringLiteral(u"节目编排"));
    Theme::apply(this);
    setStyleSheet(Theme::styleSheet() + kStyle);

    auto *baseGroup = new QGroupBox(QStringLiteral(u"基准时间"), this);
    auto *baseLayout = new QHBoxLayout(baseGroup);
    baseTime_ = new ScheduleDateTimeWidget(baseGroup);
    baseTime_->setObjectName(QStringLiteral("baseTime"));
    baseTime_->setDateTime(QDateTime(QDate::currentDate(), QTime(0, 0)));
    baseLayout->addWidget(baseTime_);

    importButton_ = new QPushButton(QStringLiteral(u"导入 JSON…"), this);
    importButton_->setObjectName(QStringLiteral("import"));
    exportButton_ = new QPushButton(QStringLiteral(u"导出 JSON…"), this);
    exportButton_->setObjectName(QStringLiteral("export"));
    auto *startButton = new QPushButton(QStringLiteral(u"开始编排"), this);
    startButton->setObjectName(QStringLiteral("start"));
    stopButton_ = new QPushButton(QStringLiteral(u"停止编排"), this);
    stopButton_->setObjectName(QStringLiteral("stop"));
    runningLight_ = new QLabel(QStringLiteral(u"●"), this);
    runningLight_->setObjectName(QStringLiteral("runningLight"));

    auto *top = new QHBoxLayout;
    top->addWidget(baseGroup);
    top->addStretch();
    for (QWidget *w : std::initializer_list<QWidget *>{importButton_, exportButton_})
        top->addWidget(w, 0, Qt::AlignBottom);
    top->addSpacing(16);
    for (QWidget *w : std::initializer_list<QWidget *>{runningLight_, startButton, stopButton_})
        top->addWidget(w, 0, Qt::AlignBottom);

    const auto group = [this](const QString &title, const QString &add, QVBoxLayout **list,
                              void (ProgramArrangementWindow::*slot)()) {
        auto *box = new QGroupBox(title, this);
        auto *layout = new QVBoxLayout(box);
        layout->addWidget(rowList(box, list), 1);
        auto *button = new QPushButton(add, box);
        connect(button, &QPushButton::clicked, this, slot);
        layout->addWidget(button, 0, Qt::AlignLeft);
        return box;
    };
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(group(QStringLiteral(u"基底片段"), QStringLiteral(u"＋ 添加基底片段"),
                            &sceneList_, &ProgramArrangementWindow::onAddSceneRow),
                      1);
    layout->addWidget(group(QStringLiteral(u"叠加片段"), QStringLiteral(u"＋ 添加叠加片段"),
                            &overlayList_, &ProgramArrangementWindow::onAddOverlayRow),
                      1);

    connect(importButton_, &QPushButton::clicked, this, &ProgramArrangementWindow::onImportJson);
    connect(exportButton_, &QPushButton::clicked, this, &ProgramArrangementWindow::onExportJson);
    connect(startButton, &QPushButton::clicked, this,
            &ProgramArrangementWindow::onStartArrangement);
    connect(stopButton_, &QPushButton::clicked, this, &ProgramArrangementWindow::onStopArrangement);
    connect(&importing_, &QFutureWatcher<ImportResult>::finished, this, [this] {
        importButton_->setEnabled(true);
        const ImportResult result = importing_.result();
        if (!result.error.isEmpty())
            warn(QStringLiteral(u"导入"), result.error);
        else
            loadArrangement(result.arrangement);
    });
    connect(&exporting_, &QFutureWatcher<bool>::finished, this, [this] {
        exportButton_->setEnabled(true);
        if (!exporting_.result())
            warn(QStringLiteral(u"导出"), QStringLiteral(u"无法写入文件"));
    });

    addSceneRow(QStringLiteral("s%1").arg(nextSceneId_++));
    showRunning(false);
    resize(1100, 700);
}

// A running import or export finishes on the pool on its own; its result is dropped.
ProgramArrangementWindow::~ProgramArrangementWindow() = default;

void ProgramArrangementWindow::setPlayer(ArrangementPlayer *player) {
    if (player_)
        disconnect(player_, nullptr, this, nullptr);
    player_ = player;
    if (player)
        connect(player, &ArrangementPlayer::runningChanged, this,
                &ProgramArrangementWindow::showRunning);
    showRunning(player && player->isRunning());
}

void ProgramArrangementWindow::setChineseUi(bool chinese) {
    chinese_ = chinese;
    LanguageWalker::apply(this, chinese);
    for (SceneRowWidget *row : sceneRows())
        row->setChineseUi(chinese);
    for (OverlayRowWidget *row : overlayRows())
        row->setChineseUi(chinese);
}

void ProgramArrangementWindow::setEffectEditor(OverlayRowWidget::EffectEditor editor) {
    effectEditor_ = std::move(editor);
    for (OverlayRowWidget *row : overlayRows())
        row->setEffectEditor(effectEditor_);
}

ProgramArrangement ProgramArrangementWindow::collectArrangement() {
    const QDateTime base = baseTime_->dateTime();
    ProgramArrangement arrangement;
    arrangement.version = 2;
    arrangement.timelineZero = base.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    // The first row that fails stops the whole plan: half a schedule would play wrongly.
    const auto check = [this](const QString &problem) {
        if (problem.isEmpty())
            return true;
        warn(QStringLiteral(u"错误"), problem);
        return false;
    };
    for (const SceneRowWidget *row : sceneRows()) {
        if (row->rowId().isEmpty())
            continue;
        if (!check(row->problem()))
            return {};
        arrangement.sceneClips << row->toClip(base);
    }
    for (const OverlayRowWidget *row : overlayRows()) {
        if (row->rowId().isEmpty())
            continue;
        if (!check(row->problem()))
            return {};
        arrangement.overlayClips << row->toClip(base);
    }
    return arrangement;
}

void ProgramArrangementWindow::loadArrangement(const ProgramArrangement &arrangement) {
    clearRows();
    const QDateTime base = baseTime_->dateTime();
    for (const SceneClip &clip : arrangement.sceneClips) {
        addSceneRow(clip.id)->setClip(clip, base);
        nextSceneId_ = std::max(nextSceneId_, idNumber(clip.id, u's') + 1);
    }
    for (const OverlayClip &clip : arrangement.overlayClips) {
        addOverlayRow(clip.id)->setClip(clip, base);
        nextOverlayId_ = std::max(nextOverlayId_, idNumber(clip.id, u'o') + 1);
    }
}

QList<SceneRowWidget *> ProgramArrangementWindow::sceneRows() const {
    QList<SceneRowWidget *> rows;
    for (int i = 0; i < sceneList_->count(); ++i)
        if (auto *row = qobject_cast<SceneRowWidget *>(sceneList_->itemAt(i)->widget()))
            rows << row;
    return rows;
}

QList<OverlayRowWidget *> ProgramArrangementWindow::overlayRows() const {
    QList<OverlayRowWidget *> rows;
    for (int i = 0; i < overlayList_->count(); ++i)
        if (auto *row = qobject_cast<OverlayRowWidget *>(overlayList_->itemAt(i)->widget()))
            rows << row;
    return rows;
}

void ProgramArrangementWindow::onImportJson() {
    if (importing_.isRunning())
        return;
    const QString path =
        UserPrompts::chooseOpenFile(this, inLanguage(QStringLiteral(u"导入节目编排")),
                                    inLanguage(QStringLiteral(u"JSON (*.json);;所有文件 (*)")));
    if (path.isEmpty())
        return;
    importButton_->setEnabled(false);
    importing_.setFuture(QtConcurrent::run([path] {
        ImportResult result;
        QFile file(path);
        // Read one byte past the limit: a device or a growing file has no useful size.
        const QByteArray bytes =
            file.open(QIODevice::ReadOnly) ? file.read(kMaxFileBytes + 1) : QByteArray();
        if (!file.isOpen() || bytes.size() > kMaxFileBytes) {
            result.error = QStringLiteral(u"无法打开文件");
            return result;
        }
        result.arrangement = arrangementFromJson(bytes, &result.error);
        return result;
    }));
}

void ProgramArrangementWindow::onExportJson() {
    if (exporting_.isRunning())
        return;
    const QString path = UserPrompts::chooseSaveFile(
        this, inLanguage(QStringLiteral(u"导出节目编排")),
        QStringLiteral("program_arrangement.json"), QStringLiteral("JSON (*.json)"));
    if (path.isEmpty())
        return;
    const ProgramArrangement arrangement = collectArrangement();
    if (arrangement.isEmpty()) {
        warn(QStringLiteral(u"导出"), QStringLiteral(u"没有可导出的片段（请检查校验错误提示）。"));
        return;
    }
    exportButton_->setEnabled(false);
    exporting_.setFuture(QtConcurrent::run([path, arrangement] {
        // All or nothing: a failed write leaves the file that was there. Unbuffered, because a
        // buffered flush that stops short (a full disk) still lets the commit succeed.
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        const QByteArray json = arrangementToJson(arrangement);
        return file.write(json) == json.size() && file.commit();
    }));
}

void ProgramArrangementWindow::onAddSceneRow() {
    addSceneRow(QStringLiteral("s%1").arg(nextSceneId_++));
}

void ProgramArrangementWindow::onAddOverlayRow() {
    addOverlayRow(QStringLiteral("o%1").arg(nextOverlayId_++));
}

void ProgramArrangementWindow::onStartArrangement() {
    if (!player_) {
        warn(QStringLiteral(u"编排"), QStringLiteral(u"主窗口不可用"));
        return;
    }
    const ProgramArrangement arrangement = collectArrangement();
    if (arrangement.isEmpty()) {
        warn(QStringLiteral(u"编排"), QStringLiteral(u"请至少添加一个有效基底或叠加片段。"));
        return;
    }
    player_->startArrangement(arrangement);
}

void ProgramArrangementWindow::onStopArrangement() {
    if (player_)
        player_->stopArrangement();
}

SceneRowWidget *ProgramArrangementWindow::addSceneRow(const QString &id) {
    auto *row = new SceneRowWidget(id, baseTime_->dateTime());
    connect(row, &SceneRowWidget::deleteRequested, this,
            [this](SceneRowWidget *r) { dropRow(sceneList_, r); });
    sceneList_->insertWidget(sceneList_->count() - 1, row);
    row->setChineseUi(chinese_);
    prepareRow(row);
    return row;
}

OverlayRowWidget *ProgramArrangementWindow::addOverlayRow(const QString &id) {
    auto *row = new OverlayRowWidget(id, baseTime_->dateTime());
    row->setEffectEditor(effectEditor_);
    connect(row, &OverlayRowWidget::deleteRequested, this,
            [this](OverlayRowWidget *r) { dropRow(overlayList_, r); });
    overlayList_->insertWidget(overlayList_->count() - 1, row);
    row->setChineseUi(chinese_);
    prepareRow(row);
    return row;
}

void ProgramArrangementWindow::prepareRow(QWidget *row) {
    // Rows are built with Chinese texts.
    if (!chinese_)
        LanguageWalker::apply(row, false);
}

void ProgramArrangementWindow::dropRow(QVBoxLayout *list, QWidget *row) {
    list->removeWidget(row);
    row->hide();
    row->deleteLater(); // it may be its own button's click that asks
}

void ProgramArrangementWindow::clearRows() {
    for (QWidget *row : sceneRows())
        dropRow(sceneList_, row);
    for (QWidget *row : overlayRows())
        dropRow(overlayList_, row);
}

void ProgramArrangementWindow::warn(const QString &title, const QString &text) {
    UserPrompts::warning(this, inLanguage(title), inLanguage(text));
}

QString ProgramArrangementWindow::inLanguage(const QString &chinese) const {
    return chinese_ ? chinese : UiLanguage::translate(chinese, false);
}

void ProgramArrangementWindow::showRunning(bool running) {
    // Start stays usable while a plan runs: starting again restarts it.
    stopButton_->setEnabled(running);
    runningLight_->setStyleSheet(running ? QStringLiteral("color:#d4af37;")
                                         : QStringLiteral("color:#4a4d55;"));
}
