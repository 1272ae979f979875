#include "ui/panels/OutputSettingsWidget.h"

#include "ui/widgets/StreamUrlEdit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSize>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>

namespace {

OutputSettingsWidget::SaveFileDialog &saveFileDialog() {
    static OutputSettingsWidget::SaveFileDialog dialog;
    return dialog;
}

struct Resolution {
    const char16_t *chinese;
    const char16_t *english;
    int width, height;
};

constexpr Resolution kResolutions[] = {
    {u"与节目相同", u"Same as Program", 0, 0},
    {u"1920 × 1080 (1080p)", u"1920 × 1080 (1080p)", 1920, 1080},
    {u"1280 × 720 (720p)", u"1280 × 720 (720p)", 1280, 720},
    {u"960 × 540", u"960 × 540", 960, 540},
    {u"640 × 360", u"640 × 360", 640, 360},
};

constexpr int kGainMin = 25;
constexpr int kGainMax = 400;
constexpr int kGainInitial = 200;

// Paths are case-sensitive here, so each pattern lists both cases.
const QString kFileFilter =
    QStringLiteral("MP4 (*.mp4 *.MP4);;MKV (*.mkv *.MKV);;AVI (*.avi *.AVI)");

QString pick(bool chinese, const QString &zh, const QString &en) {
    return chinese ? zh : en;
}

// Level colours readable on the dark panel; Info keeps the panel's own text colour.
QString levelStyle(OutputStatusLine::Level level) {
    switch (level) {
    case OutputStatusLine::Level::Good:
        return QStringLiteral("color:#5cc85c;");
    case OutputStatusLine::Level::Warning:
        return QStringLiteral("color:#f0a030;");
    case OutputStatusLine::Level::Error:
        return QStringLiteral("color:#f05050;");
    case OutputStatusLine::Level::Info:
        break;
    }
    return {};
}

// A status line shows its start and its end (the target and its state) and leaves out the
// middle of a long address rather than pushing the panel wider; the tool tip has it all.
class StatusLabel : public QLabel {
public:
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(QStringLiteral("mmmmmmmm")),
                QLabel::sizeHint().height()};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        const QRect area = contentsRect();
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
    }
};

void markUserContent(QWidget *widget) {
    widget->setProperty("userContent", true);
}

} // namespace

void OutputSettingsWidget::setSaveFileDialog(SaveFileDialog dialog) {
    saveFileDialog() = std::move(dialog);
}

OutputSettingsWidget::OutputSettingsWidget(QWidget *parent) : QWidget(parent) {
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(4, 4, 4, 4);
    outer->setSpacing(4);

    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(4);
    grid->setColumnStretch(1, 1);

    fileCheck_ = new QCheckBox;
    fileCheck_->setObjectName(QStringLiteral("fileOutput"));
    filePath_ = new QLineEdit;
    filePath_->setObjectName(QStringLiteral("filePath"));
    markUserContent(filePath_);
    browseButton_ = new QPushButton;
    browseButton_->setObjectName(QStringLiteral("browse"));
    grid->addWidget(fileCheck_, 0, 0);
    grid->addWidget(filePath_, 0, 1, 1, 2);
    grid->addWidget(browseButton_, 0, 3);

    resolutionLabel_ = new QLabel;
    resolutionLabel_->setObjectName(QStringLiteral("resolutionLabel"));
    resolution_ = new QComboBox;
    resolution_->setObjectName(QStringLiteral("resolution"));
    for (const Resolution &r : kResolutions)
        resolution_->addItem(QString::fromUtf16(r.chinese), QSize(r.width, r.height));
    grid->addWidget(resolutionLabel_, 1, 0);
    grid->addWidget(resolution_, 1, 1, 1, 3);

    gainLabel_ = new QLabel;
    gainLabel_->setObjectName(QStringLiteral("gainLabel"));
    gainSlider_ = new QSlider(Qt::Horizontal);
    gainSlider_->setObjectName(QStringLiteral("gain"));
    gainSlider_->setRange(kGainMin, kGainMax);
    gainSlider_->setValue(kGainInitial);
    gainValue_ = new QLabel;
    gainValue_->setObjectName(QStringLiteral("gainValue"));
    gainValue_->setMinimumWidth(
        gainValue_->fontMetrics().horizontalAdvance(QStringLiteral("4.00×")) + 4);
    gainValue_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(gainLabel_, 2, 0);
    grid->addWidget(gainSlider_, 2, 1, 1, 2);
    grid->addWidget(gainValue_, 2, 3);
    outer->addLayout(grid);

    // The six rows scroll when the panel is short, so the status list below stays in view.
    auto *rowsHost = new QWidget;
    auto *rowsGrid = new QGridLayout(rowsHost);
    rowsGrid->setContentsMargins(0, 0, 0, 0);
    rowsGrid->setHorizontalSpacing(6);
    rowsGrid->setVerticalSpacing(3);
    rowsGrid->setColumnStretch(2, 1);
    for (int i = 0; i < kStreamRows; ++i) {
        StreamRow &row = rows_[size_t(i)];
        row.enabled = new QCheckBox(QString::number(i + 1));
        row.enabled->setObjectName(QStringLiteral("streamEnabled%1").arg(i));
        row.protocol = new QComboBox;
        row.protocol->setObjectName(QStringLiteral("streamProtocol%1").arg(i));
        row.protocol->addItems(
            {QStringLiteral("RTMP"), QStringLiteral("HTTP"), QStringLiteral("UDP")});
        row.url = new StreamUrlEdit;
        row.url->setObjectName(QStringLiteral("streamUrl%1").arg(i));
        markUserContent(row.url);
        rowsGrid->addWidget(row.enabled, i, 0);
        rowsGrid->addWidget(row.protocol, i, 1);
        rowsGrid->addWidget(row.url, i, 2);
    }
    auto *rowsScroll = new QScrollArea;
    rowsScroll->setObjectName(QStringLiteral("streamRows"));
    rowsScroll->setWidget(rowsHost);
    rowsScroll->setWidgetResizable(true);
    rowsScroll->setFrameShape(QFrame::NoFrame);
    rowsScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int rowHeight =
        std::max(rows_[0].url->sizeHint().height(), rows_[0].protocol->sizeHint().height());
    rowsScroll->setMinimumHeight(3 * (rowHeight + 3));
    outer->addWidget(rowsScroll, 3);

    auto *statusHost = new QWidget;
    statusHost->setObjectName(QStringLiteral("statusList"));
    markUserContent(statusHost);
    statusLayout_ = new QVBoxLayout(statusHost);
    statusLayout_->setContentsMargins(4, 2, 4, 2);
    statusLayout_->setSpacing(1);
    statusLayout_->addStretch();
    auto *statusScroll = new QScrollArea;
    statusScroll->setObjectName(QStringLiteral("statusScroll"));
    statusScroll->setWidget(statusHost);
    statusScroll->setWidgetResizable(true);
    statusScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    statusScroll->setMinimumHeight(4 * fontMetrics().height() + 8);
    outer->addWidget(statusScroll, 2);

    startStop_ = new QPushButton;
    startStop_->setObjectName(QStringLiteral("startStop"));
    startStop_->setMinimumHeight(28);
    outer->addWidget(startStop_);

    connect(browseButton_, &QPushButton::clicked, this, &OutputSettingsWidget::browse);
    connect(filePath_, &QLineEdit::editingFinished, this, [this] {
        synchroniseCheckBoxes();
        emit outputFileChanged(filePath_->text());
    });
    connect(fileCheck_, &QCheckBox::toggled, this, [this] { emit outputTargetsChanged(); });
    for (const StreamRow &row : rows_) {
        connect(row.url, &QLineEdit::editingFinished, this, [this] {
            synchroniseCheckBoxes();
            emit streamSettingsChanged();
        });
        connect(row.protocol, &QComboBox::currentTextChanged, this, [this] {
            synchroniseCheckBoxes();
            emit streamSettingsChanged();
        });
        connect(row.enabled, &QCheckBox::toggled, this, [this] { emit outputTargetsChanged(); });
    }
    connect(resolution_, &QComboBox::currentIndexChanged, this,
            [this] { emit outputDimensionsChanged(outputWidth(), outputHeight()); });
    connect(gainSlider_, &QSlider::valueChanged, this, [this](int value) {
        updateGainLabel();
        emit programRecordLinearGainChanged(float(value) / 100.0f);
    });
    connect(startStop_, &QPushButton::clicked, this, [this] {
        if (outputRunning_)
            emit stopOutputRequested();
        else
            emit startOutputRequested();
    });

    updateGainLabel();
    applyTexts();
}

QString OutputSettingsWidget::outputFile() const {
    return filePath_->text();
}

bool OutputSettingsWidget::isFileOutputEnabled() const {
    return fileCheck_->isChecked() && !filePath_->text().trimmed().isEmpty();
}

QString OutputSettingsWidget::streamProtocol(int row) const {
    if (row < 0 || row >= kStreamRows)
        return {};
    return rows_[size_t(row)].protocol->currentText();
}

QString OutputSettingsWidget::streamUrl(int row) const {
    if (row < 0 || row >= kStreamRows)
        return {};
    return rows_[size_t(row)].url->address();
}

bool OutputSettingsWidget::isStreamEnabled(int row) const {
    if (row < 0 || row >= kStreamRows)
        return false;
    const StreamRow &r = rows_[size_t(row)];
    return r.enabled->isChecked() && !r.url->address().trimmed().isEmpty();
}

int OutputSettingsWidget::outputWidth() const {
    return resolution_->currentData().toSize().width();
}

int OutputSettingsWidget::outputHeight() const {
    return resolution_->currentData().toSize().height();
}

float OutputSettingsWidget::recordLinearGain() const {
    return float(gainSlider_->value()) / 100.0f;
}

OutputSettings OutputSettingsWidget::settings() const {
    OutputSettings s;
    s.fileEnabled = isFileOutputEnabled();
    s.filePath = outputFile();
    s.rows.reserve(kStreamRows);
    for (int row = 0; row < kStreamRows; ++row)
        s.rows.push_back({isStreamEnabled(row), streamUrl(row), streamProtocol(row)});
    s.width = outputWidth();
    s.height = outputHeight();
    return s;
}

void OutputSettingsWidget::setOutputRunning(bool running) {
    outputRunning_ = running;
    // Read-only rather than disabled: the operator can still select and copy an address.
    filePath_->setReadOnly(running);
    browseButton_->setEnabled(!running);
    resolutionLabel_->setEnabled(!running);
    resolution_->setEnabled(!running);
    for (const StreamRow &row : rows_) {
        row.url->setReadOnly(running);
        row.protocol->setEnabled(!running);
    }
    applyTexts();
    synchroniseCheckBoxes();
}

void OutputSettingsWidget::setChineseUi(bool chinese) {
    chineseUi_ = chinese;
    applyTexts();
}

void OutputSettingsWidget::setStatusLines(const std::vector<OutputStatusLine> &lines) {
    while (statusLabels_.size() < lines.size()) {
        auto *label = new StatusLabel;
        label->setObjectName(QStringLiteral("statusLine%1").arg(statusLabels_.size()));
        label->setProperty("userContent", true);
        label->setTextFormat(Qt::PlainText);
        label->setProperty("statusLevel", int(OutputStatusLine::Level::Info));
        statusLayout_->insertWidget(int(statusLabels_.size()), label);
        statusLabels_.push_back(label);
    }
    for (size_t i = 0; i < statusLabels_.size(); ++i) {
        QLabel *label = statusLabels_[i];
        if (i >= lines.size()) {
            label->hide();
            continue;
        }
        const OutputStatusLine &line = lines[i];
        label->setText(line.text);
        if (label->toolTip() != line.text)
            label->setToolTip(line.text); // the line may be shortened in the middle
        // A style sheet change re-polishes the label; do it only when the level moves.
        if (label->property("statusLevel").toInt() != int(line.level)) {
            label->setStyleSheet(levelStyle(line.level));
            label->setProperty("statusLevel", int(line.level));
        }
        label->show();
    }
}

void OutputSettingsWidget::browse() {
    const QString folder = QFileInfo(filePath_->text()).absolutePath();
    const QString proposed = QDir(folder).filePath(QStringLiteral("output.mp4"));
    const QString title =
        pick(chineseUi_, QStringLiteral("输出文件"), QStringLiteral("Output File"));
    QString name;
    if (saveFileDialog())
        name = saveFileDialog()(this, title, proposed, kFileFilter);
    else
        name = QFileDialog::getSaveFileName(this, title, proposed, kFileFilter);
    if (name.isEmpty())
        return;
    filePath_->setText(name);
    emit outputFileChanged(name);
}

// A target cannot stay ticked without an address.
void OutputSettingsWidget::synchroniseCheckBoxes() {
    {
        const QSignalBlocker blockFile(fileCheck_);
        if (filePath_->text().trimmed().isEmpty())
            fileCheck_->setChecked(false);
        for (const StreamRow &row : rows_) {
            const QSignalBlocker blockRow(row.enabled);
            if (row.url->address().trimmed().isEmpty())
                row.enabled->setChecked(false);
        }
    }
    emit outputTargetsChanged();
}

void OutputSettingsWidget::updateGainLabel() {
    gainValue_->setText(QString::number(gainSlider_->value() / 100.0, 'f', 2) +
                        QStringLiteral("×"));
}

void OutputSettingsWidget::applyTexts() {
    const bool zh = chineseUi_;
    fileCheck_->setText(pick(zh, QStringLiteral("录制文件"), QStringLiteral("Record File")));
    filePath_->setPlaceholderText(
        pick(zh, QStringLiteral("输出文件路径"), QStringLiteral("Output file path")));
    browseButton_->setText(pick(zh, QStringLiteral("选择文件..."), QStringLiteral("Browse...")));
    resolutionLabel_->setText(pick(zh, QStringLiteral("输出分辨率"), QStringLiteral("Resolution")));
    const QString resolutionTip =
        pick(zh, QStringLiteral("录制与推流的输出分辨率；“与节目相同”即与当前合成画布尺寸一致"),
             QStringLiteral("Recording/stream output resolution; 'Same as Program' follows "
                            "current canvas size."));
    resolutionLabel_->setToolTip(resolutionTip);
    resolution_->setToolTip(resolutionTip);
    for (int i = 0; i < resolution_->count(); ++i) {
        const Resolution &r = kResolutions[i];
        resolution_->setItemText(i, QString::fromUtf16(zh ? r.chinese : r.english));
    }
    gainLabel_->setText(pick(zh, QStringLiteral("录制增益"), QStringLiteral("Record Gain")));
    for (int i = 0; i < kStreamRows; ++i)
        rows_[size_t(i)].url->setPlaceholderText(
            pick(zh, QStringLiteral("流地址 %1"), QStringLiteral("Stream URL %1")).arg(i + 1));
    if (outputRunning_) {
        startStop_->setText(pick(zh, QStringLiteral("停止输出"), QStringLiteral("Stop Output")));
        startStop_->setToolTip(pick(zh, QStringLiteral("结束写入并关闭文件与推流连接"),
                                    QStringLiteral("Stop writing and close file/stream output")));
    } else {
        startStop_->setText(pick(zh, QStringLiteral("开始输出"), QStringLiteral("Start Output")));
        startStop_->setToolTip(pick(zh, QStringLiteral("将节目输出写入文件和/或推流"),
                                    QStringLiteral("Write program output to file and/or stream")));
    }
}
