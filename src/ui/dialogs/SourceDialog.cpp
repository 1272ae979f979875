#include "ui/dialogs/SourceDialog.h"

#include "core/UiLanguage.h"
#include "input/SourceAddress.h"

#include <QAudioDevice>
#include <QCameraDevice>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

QStringList systemCameras() {
    QStringList names;
    for (const QCameraDevice &device : QMediaDevices::videoInputs()) {
        const QString description = device.description();
        names << (description.isEmpty() ? QString::fromUtf8(device.id()) : description);
    }
    return names;
}

QStringList systemMicrophones() {
    QStringList names;
    for (const QAudioDevice &device : QMediaDevices::audioInputs()) {
        const QString description = device.description();
        names << (description.isEmpty() ? QString::fromUtf8(device.id()) : description);
    }
    return names;
}

SourceDialog::SystemLists &systemLists() {
    static SourceDialog::SystemLists lists;
    return lists;
}

SourceDialog::OpenFileDialog &openFileDialog() {
    static SourceDialog::OpenFileDialog dialog;
    return dialog;
}

// Keeps the entry chosen before a refill: the same device, display or window while it is
// still listed (the system may list them in another order), else the same place in the list.
void restoreChoice(QComboBox *list, int previous, const QVariant &previousValue) {
    const int same = previousValue.isValid() ? list->findData(previousValue) : -1;
    if (same >= 0)
        list->setCurrentIndex(same);
    else if (previous >= 0 && previous < list->count())
        list->setCurrentIndex(previous);
}

QLabel *rowLabel(const QString &text) {
    auto *label = new QLabel(text);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

// Lists of what the system reports: the language switch leaves their entries alone.
QComboBox *systemList(const char *name) {
    auto *list = new QComboBox;
    list->setObjectName(QString::fromLatin1(name));
    list->setProperty("userContent", true);
    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list->setMinimumContentsLength(28);
    return list;
}

} // namespace

void SourceDialog::setSystemLists(SystemLists lists) {
    systemLists() = std::move(lists);
}

void SourceDialog::setOpenFileDialog(OpenFileDialog dialog) {
    openFileDialog() = std::move(dialog);
}

SourceDialog::SourceDialog(QWidget *parent) : SourceDialog(UiLanguage::loadChinese(), parent) {}

SourceDialog::SourceDialog(bool chinese, QWidget *parent) : QDialog(parent), chinese_(chinese) {
    setWindowTitle(text(u"选择源", u"Select source"));
    setStyleSheet(
        QStringLiteral("QDialog { background:#202020; }"
                       "QWidget { color:white; }"
                       "QLineEdit { background:#2b2b2b; padding:5px; border:1px solid #3a3a3a;"
                       " border-radius:4px; }"
                       "QComboBox { background:#2b2b2b; padding:5px; border:1px solid #3a3a3a; }"
                       "QComboBox QAbstractItemView { background:#2b2b2b; color:white;"
                       " selection-background-color:#444; }"
                       "QPushButton { background:#333; padding:5px 10px; border:1px solid #3a3a3a;"
                       " border-radius:4px; }"
                       "QPushButton:hover { background:#444; }"));

    auto *outer = new QVBoxLayout(this);

    auto *typeRow = new QHBoxLayout;
    typeRow->addWidget(new QLabel(text(u"源类型：", u"Source type:")));
    sourceType_ = new QComboBox;
    sourceType_->setObjectName(QStringLiteral("sourceType"));
    sourceType_->addItems(
        {text(u"本地文件", u"Local file"), text(u"URL / 网络流", u"URL / network stream"),
         text(u"摄像头 / 麦克风", u"Camera / microphone"), text(u"桌面 (DXGI)", u"Desktop (DXGI)"),
         text(u"窗口 (WGC)", u"Window (WGC)")});
    typeRow->addWidget(sourceType_, 1);
    outer->addLayout(typeRow);

    pages_ = new QStackedWidget;
    const auto addPage = [this](int index) {
        auto *page = new QWidget;
        page->setObjectName(QStringLiteral("page%1").arg(index));
        pages_->addWidget(page);
        return page;
    };

    {
        auto *column = new QVBoxLayout(addPage(LocalFile));
        column->setContentsMargins(0, 0, 0, 0);
        auto *row = new QHBoxLayout;
        column->addLayout(row);
        column->addStretch();
        filePath_ = new QLineEdit;
        filePath_->setObjectName(QStringLiteral("filePath"));
        filePath_->setProperty("userContent", true);
        auto *browse = new QPushButton(text(u"浏览…", u"Browse…"));
        browse->setObjectName(QStringLiteral("browse"));
        row->addWidget(filePath_, 1);
        row->addWidget(browse);
        connect(browse, &QPushButton::clicked, this, &SourceDialog::browseFile);
    }
    {
        auto *column = new QVBoxLayout(addPage(NetworkUrl));
        column->setContentsMargins(0, 0, 0, 0);
        auto *row = new QHBoxLayout;
        column->addLayout(row);
        column->addStretch();
        url_ = new QLineEdit;
        url_->setObjectName(QStringLiteral("url"));
        url_->setProperty("userContent", true);
        url_->setPlaceholderText(QStringLiteral("rtmp://  http://  rtsp:// …"));
        row->addWidget(url_);
    }

    // Camera, display and window pages: the device row, its microphone and a refresh button.
    const auto capturePage = [&](int index, const QString &label, QComboBox *list,
                                 QComboBox *microphone, const QString &refreshText) {
        auto *grid = new QGridLayout(addPage(index));
        grid->setContentsMargins(0, 0, 0, 0);
        grid->setColumnStretch(1, 1);
        grid->addWidget(rowLabel(label), 0, 0);
        grid->addWidget(list, 0, 1);
        grid->addWidget(rowLabel(text(u"麦克风：", u"Microphone:")), 1, 0);
        grid->addWidget(microphone, 1, 1);
        auto *refresh = new QPushButton(refreshText);
        grid->addWidget(refresh, 2, 1, Qt::AlignLeft);
        grid->setRowStretch(3, 1);
        return refresh;
    };
    camera_ = systemList("camera");
    cameraMicrophone_ = systemList("cameraMicrophone");
    display_ = systemList("display");
    displayMicrophone_ = systemList("displayMicrophone");
    window_ = systemList("window");
    windowMicrophone_ = systemList("windowMicrophone");
    QPushButton *refresh = capturePage(Camera, text(u"摄像头：", u"Camera:"), camera_,
                                       cameraMicrophone_, text(u"刷新设备", u"Refresh devices"));
    refresh->setObjectName(QStringLiteral("refreshDevices"));
    connect(refresh, &QPushButton::clicked, this, &SourceDialog::refreshCaptureDevices);
    refresh = capturePage(Display, text(u"显示器：", u"Display:"), display_, displayMicrophone_,
                          text(u"刷新显示器", u"Refresh displays"));
    refresh->setObjectName(QStringLiteral("refreshDisplays"));
    connect(refresh, &QPushButton::clicked, this, &SourceDialog::refreshDxgiMonitors);
    refresh = capturePage(Window, text(u"窗口：", u"Window:"), window_, windowMicrophone_,
                          text(u"刷新窗口", u"Refresh windows"));
    refresh->setObjectName(QStringLiteral("refreshWindows"));
    connect(refresh, &QPushButton::clicked, this, &SourceDialog::refreshWindowList);
    outer->addWidget(pages_);
    outer->addStretch();

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    auto *ok = new QPushButton(text(u"确定", u"OK"));
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    auto *cancel = new QPushButton(text(u"取消", u"Cancel"));
    cancel->setObjectName(QStringLiteral("cancel"));
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    outer->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    connect(sourceType_, &QComboBox::currentIndexChanged, this, &SourceDialog::sourceTypeChanged);
    refreshCaptureDevices();
    refreshDxgiMonitors();
    refreshWindowList();
    sourceTypeChanged(sourceType_->currentIndex());
}

QString SourceDialog::text(const char16_t *chinese, const char16_t *english) const {
    return QString::fromUtf16(chinese_ ? chinese : english);
}

QString SourceDialog::chosenMicrophone(const QComboBox *list) const {
    // Entry 0 is the no-microphone entry.
    return list->currentIndex() > 0 ? list->currentData().toString() : QString();
}

QString SourceDialog::address() const {
    switch (sourceType_->currentIndex()) {
    case LocalFile:
        return filePath_->text().trimmed();
    case NetworkUrl:
        return url_->text().trimmed();
    case Camera: {
        if (camera_->count() == 0)
            return {};
        const QString name = camera_->currentData().toString();
        if (name.trimmed().isEmpty())
            return {};
        return SourceAddress::cameraAddress(name, chosenMicrophone(cameraMicrophone_));
    }
    case Display:
        if (display_->count() == 0)
            return {};
        return SourceAddress::displayAddress(display_->currentData().toInt(),
                                             chosenMicrophone(displayMicrophone_));
    case Window: {
        if (window_->count() == 0)
            return {};
        const quint64 handle = window_->currentData().toULongLong();
        if (handle == 0)
            return {};
        return SourceAddress::windowAddress(handle, chosenMicrophone(windowMicrophone_));
    }
    default:
        return {};
    }
}

void SourceDialog::browseFile() {
    const QString caption = text(u"选择媒体文件", u"Select media file");
    // Paths are case-sensitive here, so each pattern lists both cases.
    const QString filter =
        text(u"媒体文件 (*.mp4 *.MP4 *.mov *.MOV *.mkv *.MKV *.avi *.AVI *.mp3 *.MP3 *.wav "
             u"*.WAV);;所有文件 (*)",
             u"Media (*.mp4 *.MP4 *.mov *.MOV *.mkv *.MKV *.avi *.AVI *.mp3 *.MP3 *.wav "
             u"*.WAV);;All files (*)");
    const QString chosen = openFileDialog()
                               ? openFileDialog()(this, caption, filter)
                               : QFileDialog::getOpenFileName(this, caption, QString(), filter);
    if (!chosen.isEmpty())
        filePath_->setText(chosen);
}

void SourceDialog::sourceTypeChanged(int index) {
    if (index >= 0 && index < pages_->count())
        pages_->setCurrentIndex(index);
}

void SourceDialog::refreshCaptureDevices() {
    if (!camera_ || !cameraMicrophone_)
        return;
    const QStringList cameras = systemLists().cameras ? systemLists().cameras() : systemCameras();
    const QStringList microphones =
        systemLists().microphones ? systemLists().microphones() : systemMicrophones();

    const int previousCamera = camera_->currentIndex();
    const QVariant previousCameraValue = camera_->currentData();
    camera_->clear();
    for (const QString &name : cameras)
        camera_->addItem(name, name);
    restoreChoice(camera_, previousCamera, previousCameraValue);

    for (QComboBox *list : {cameraMicrophone_, displayMicrophone_, windowMicrophone_}) {
        const int previous = list->currentIndex();
        const QVariant previousValue = list->currentData();
        list->clear();
        list->addItem(text(u"（不使用麦克风）", u"(No microphone)"), QString());
        for (const QString &name : microphones)
            list->addItem(name, name);
        restoreChoice(list, previous, previousValue);
    }
}

void SourceDialog::refreshDxgiMonitors() {
    const QList<X11DisplayCapture::DisplayEntry> displays =
        systemLists().displays ? systemLists().displays() : X11DisplayCapture::enumerateDisplays();
    const int previous = display_->currentIndex();
    const QVariant previousValue = display_->currentData();
    display_->clear();
    for (const X11DisplayCapture::DisplayEntry &entry : displays)
        display_->addItem(entry.description, entry.index);
    if (display_->count() == 0)
        display_->addItem(text(u"（未检测到显示器）", u"(No display detected)"), 0);
    restoreChoice(display_, previous, previousValue);
}

void SourceDialog::refreshWindowList() {
    const QList<CaptureWindow> windows =
        systemLists().windows ? systemLists().windows() : listCaptureWindows();
    const int previous = window_->currentIndex();
    const QVariant previousValue = window_->currentData();
    window_->clear();
    for (const CaptureWindow &entry : windows)
        window_->addItem(entry.text, QVariant::fromValue<quint64>(entry.handle));
    if (window_->count() == 0)
        window_->addItem(text(u"（无可用窗口，点刷新）", u"(No windows — click Refresh)"),
                         QVariant::fromValue<quint64>(0));
    restoreChoice(window_, previous, previousValue);
}
