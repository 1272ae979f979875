// The source dialog with fixed system lists in place of the machine's devices, displays and
// windows: the address per source type, the fallback entries, refreshes and both languages.

#include "core/UiLanguage.h"
#include "input/SourceAddress.h"
#include "ui/dialogs/SourceDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct FakeSystem {
    QStringList cameras{QStringLiteral("USB Cam: HD"), QStringLiteral("Cam\\2")};
    QStringList microphones{QStringLiteral("Mic A"), QStringLiteral("Headset & Co")};
    QList<X11DisplayCapture::DisplayEntry> displays{{0, QStringLiteral("DP-1 — 1920×1080")},
                                                    {1, QStringLiteral("HDMI-1 — 1280×720")}};
    QList<CaptureWindow> windows{
        {0xABCDEF, QStringLiteral("Editor"), QStringLiteral("Editor  [0xabcdef]")},
        {0x1a00003, QStringLiteral("Player"), QStringLiteral("Player  [0x1a00003]")},
        {42, QStringLiteral("Term"), QStringLiteral("Term  [0x2a]")}};

    void install() {
        SourceDialog::setSystemLists({[this] { return cameras; }, [this] { return microphones; },
                                      [this] { return displays; }, [this] { return windows; }});
    }
    ~FakeSystem() { SourceDialog::setSystemLists({}); }
};

template <typename T> T *child(const QWidget &dialog, const char *name) {
    T *widget = dialog.findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no child %s", name);
    return widget;
}

QComboBox *combo(const QWidget &dialog, const char *name) {
    return child<QComboBox>(dialog, name);
}

QString comboTexts(const QComboBox *combo) {
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts.join('|');
}

QString shownPage(const QDialog &dialog) {
    return dialog.findChild<QStackedWidget *>()->currentWidget()->objectName();
}

QStringList visibleTexts(const QDialog &dialog) {
    QStringList texts{dialog.windowTitle()};
    for (const QLabel *label : dialog.findChildren<QLabel *>())
        texts << label->text();
    for (const QPushButton *button : dialog.findChildren<QPushButton *>())
        texts << button->text();
    texts << comboTexts(combo(dialog, "sourceType")).split('|');
    return texts;
}

} // namespace

class TestSourceDialog : public QObject {
    Q_OBJECT
private slots:
    // Each source type gives its address; what is not usable gives none.
    void addressPerType() {
        FakeSystem system;
        system.install();
        const struct {
            const char *name;
            int type;
            const char *list; // the list to choose in, with `index`
            int index, microphone;
            QString kind, device, microphoneName;
        } rows[] = {
            {"camera alone", SourceDialog::Camera, "camera", 0, 0, "dshow", "USB Cam: HD", ""},
            {"camera and mic", SourceDialog::Camera, "camera", 1, 2, "dshow", "Cam\\2",
             "Headset & Co"},
            {"display 1 and mic", SourceDialog::Display, "display", 1, 1, "desktop", "1", "Mic A"},
            {"display 0", SourceDialog::Display, "display", 0, 0, "desktop", "0", ""},
            {"window", SourceDialog::Window, "window", 0, 0, "wgc", "0xabcdef", ""},
            {"window and mic", SourceDialog::Window, "window", 2, 1, "wgc", "0x2a", "Mic A"},
        };
        for (const auto &row : rows) {
            SourceDialog dialog(false);
            combo(dialog, "sourceType")->setCurrentIndex(row.type);
            QCOMPARE(shownPage(dialog), QStringLiteral("page%1").arg(row.type));
            combo(dialog, row.list)->setCurrentIndex(row.index);
            combo(dialog, (QByteArray(row.list) + "Microphone").constData())
                ->setCurrentIndex(row.microphone);
            const QString address = dialog.address();
            QVERIFY2(address.startsWith(row.kind + "://capture?"), qPrintable(address));
            switch (row.type) {
            case SourceDialog::Camera:
                QCOMPARE(SourceAddress::deviceNames(address).video, row.device);
                QCOMPARE(SourceAddress::deviceNames(address).audio, QString());
                break;
            case SourceDialog::Display:
                QCOMPARE(QString::number(SourceAddress::monitorIndex(address)), row.device);
                break;
            default:
                QVERIFY2(address.contains("hwnd=" + row.device), qPrintable(address));
                QCOMPARE(SourceAddress::windowHandle(address),
                         row.device.mid(2).toULongLong(nullptr, 16));
            }
            const QString microphone = SourceAddress::audioSourceOf(address);
            QCOMPARE(SourceAddress::deviceNames(microphone).audio, row.microphoneName);
            QCOMPARE(address.contains("audioSource"), !row.microphoneName.isEmpty());
        }

        SourceDialog dialog(true);
        const struct {
            int type;
            const char *edit, *typed, *address;
        } typed[] = {
            {SourceDialog::LocalFile, "filePath", "  /media/a b.mp4 ", "/media/a b.mp4"},
            {SourceDialog::NetworkUrl, "url", " rtmp://h/live/k\t", "rtmp://h/live/k"},
            {SourceDialog::NetworkUrl, "url", "   ", ""},
        };
        for (const auto &row : typed) {
            combo(dialog, "sourceType")->setCurrentIndex(row.type);
            QCOMPARE(shownPage(dialog), QStringLiteral("page%1").arg(row.type));
            child<QLineEdit>(dialog, row.edit)->setText(QString::fromUtf8(row.typed));
            QCOMPARE(dialog.address(), QString::fromUtf8(row.address));
        }
    }

    // No cameras: no camera address; no displays: display 0 under a fallback entry; no
    // windows: a fallback entry that gives no address. Blank device names count as none.
    void emptyAndFallbackLists() {
        FakeSystem system;
        system.cameras.clear();
        system.microphones.clear();
        system.displays.clear();
        system.windows.clear();
        system.install();
        for (bool chinese : {false, true}) {
            SourceDialog dialog(chinese);
            QCOMPARE(combo(dialog, "camera")->count(), 0);
            QCOMPARE(comboTexts(combo(dialog, "windowMicrophone")),
                     chinese ? QStringLiteral("（不使用麦克风）")
                             : QStringLiteral("(No microphone)"));
            QCOMPARE(comboTexts(combo(dialog, "display")),
                     chinese ? QStringLiteral("（未检测到显示器）")
                             : QStringLiteral("(No display detected)"));
            QCOMPARE(comboTexts(combo(dialog, "window")),
                     chinese ? QStringLiteral("（无可用窗口，点刷新）")
                             : QStringLiteral("(No windows — click Refresh)"));
            const struct {
                int type;
                const char *address;
            } rows[] = {
                {SourceDialog::Camera, ""},
                {SourceDialog::Display, "desktop://capture?monitor=0"},
                {SourceDialog::Window, ""},
            };
            for (const auto &row : rows) {
                combo(dialog, "sourceType")->setCurrentIndex(row.type);
                QCOMPARE(dialog.address(), QString::fromLatin1(row.address));
            }
        }
        system.cameras = {QStringLiteral("   ")};
        SourceDialog dialog(false);
        combo(dialog, "sourceType")->setCurrentIndex(SourceDialog::Camera);
        QCOMPARE(dialog.address(), QString());
    }

    // A refresh keeps the chosen entry while it still exists, else shows the first.
    void refreshKeepsTheChoice() {
        FakeSystem system;
        system.install();
        SourceDialog dialog(false);
        const struct {
            const char *list, *button;
            int chosen, afterShrink;
        } rows[] = {
            {"window", "refreshWindows", 2, 0},
            {"display", "refreshDisplays", 1, 0},
            {"camera", "refreshDevices", 1, 0},
            {"cameraMicrophone", "refreshDevices", 2, 0},
            {"displayMicrophone", "refreshDevices", 1, 1},
            {"windowMicrophone", "refreshDevices", 2, 0},
        };
        for (const auto &row : rows) {
            combo(dialog, row.list)->setCurrentIndex(row.chosen);
            QTest::mouseClick(child<QPushButton>(dialog, row.button), Qt::LeftButton);
            QCOMPARE(combo(dialog, row.list)->currentIndex(), row.chosen);
        }
        system.windows = {system.windows.last()};
        system.windows.first().text = QStringLiteral("Term (renamed)  [0x2a]");
        system.displays.removeLast();
        system.cameras.removeLast();
        system.microphones.removeLast();
        for (const char *button : {"refreshWindows", "refreshDisplays", "refreshDevices"})
            QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
        QCOMPARE(comboTexts(combo(dialog, "window")), QStringLiteral("Term (renamed)  [0x2a]"));
        for (const auto &row : rows)
            QVERIFY2(combo(dialog, row.list)->currentIndex() == row.afterShrink, row.list);
        for (const char *list : {"camera", "cameraMicrophone", "display", "window"})
            QVERIFY(combo(dialog, list)->property("userContent").toBool());
    }

    // The stored language decides when the caller does not: "zh"/"zh_cn" Chinese, else English.
    void language() {
        FakeSystem system;
        system.install();
        QTemporaryDir configDir;
        QVERIFY(configDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
        const QStringList english{"Select source",
                                  "Source type:",
                                  "Local file",
                                  "URL / network stream",
                                  "Camera / microphone",
                                  "Desktop (DXGI)",
                                  "Window (WGC)",
                                  "Browse…",
                                  "Camera:",
                                  "Microphone:",
                                  "Refresh devices",
                                  "Display:",
                                  "Refresh displays",
                                  "Window:",
                                  "Refresh windows",
                                  "OK",
                                  "Cancel"};
        const QStringList chinese{
            "选择源",      "源类型：",   "本地文件",   "URL / 网络流", "摄像头 / 麦克风",
            "桌面 (DXGI)", "窗口 (WGC)", "浏览…",      "摄像头：",     "麦克风：",
            "刷新设备",    "显示器：",   "刷新显示器", "窗口：",       "刷新窗口",
            "确定",        "取消"};
        const struct {
            const char *stored;
            bool chinese;
        } rows[] = {{"zh_cn", true}, {"fr", false}};
        for (const auto &row : rows) {
            QSettings("Brisol", "Quorvi Pro").setValue("ui_language", row.stored);
            SourceDialog dialog;
            QStringList shown = visibleTexts(dialog);
            shown.removeDuplicates();
            QStringList expected = row.chinese ? chinese : english;
            shown.sort();
            expected.sort();
            QVERIFY2(shown == expected, qPrintable(shown.join(',')));
            QCOMPARE(combo(dialog, "cameraMicrophone")->itemText(0),
                     row.chinese ? QStringLiteral("（不使用麦克风）")
                                 : QStringLiteral("(No microphone)"));

            QStringList calls;
            SourceDialog::setOpenFileDialog(
                [&calls](QWidget *, const QString &caption, const QString &filter) {
                    calls << caption << filter;
                    return calls.size() > 2 ? QString() : QStringLiteral("/media/clip.MOV");
                });
            QTest::mouseClick(child<QPushButton>(dialog, "browse"), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(dialog, "browse"), Qt::LeftButton); // cancelled
            SourceDialog::setOpenFileDialog({});
            QCOMPARE(child<QLineEdit>(dialog, "filePath")->text(),
                     QStringLiteral("/media/clip.MOV"));
            QCOMPARE(calls.value(0), row.chinese ? QStringLiteral("选择媒体文件")
                                                 : QStringLiteral("Select media file"));
            const QString filter = calls.value(1);
            QVERIFY2(filter.startsWith(row.chinese ? "媒体文件 (" : "Media (") &&
                         filter.endsWith(row.chinese ? ";;所有文件 (*)" : ";;All files (*)"),
                     qPrintable(filter));
            for (const char *pattern : {"*.mp4", "*.MP4", "*.mov", "*.MOV", "*.mkv", "*.MKV",
                                        "*.avi", "*.AVI", "*.mp3", "*.MP3", "*.wav", "*.WAV"})
                QVERIFY2(filter.contains(pattern), pattern);
        }
    }
};

QTEST_MAIN(TestSourceDialog)
#include "tst_SourceDialog.moc"
