// The source dialog with fixed system lists in place of the machine's devices, displays and
// windows: the address per source type, empty lists, refreshes and the stored language.

#include "common/WidgetChild.h"
#include "input/SourceAddress.h"
#include "ui/dialogs/SourceDialog.h"

#include <QtTest>
#include <QtWidgets>

namespace {

struct FakeSystem {
    QStringList cameras{"USB Cam: HD", "Cam\\2"};
    QStringList microphones{"Mic A", "Headset & Co"};
    QList<X11DisplayCapture::DisplayEntry> displays{{0, "DP-1"}, {1, "HDMI-1"}};
    QList<CaptureWindow> windows{{0xABCDEF, "Editor", "Editor  [0xabcdef]"},
                                 {0x1a00003, "Player", "Player  [0x1a00003]"},
                                 {42, "Term", "Term  [0x2a]"}};

    FakeSystem() {
        SourceDialog::setSystemLists({[this] { return cameras; }, [this] { return microphones; },
                                      [this] { return displays; }, [this] { return windows; }});
    }
    ~FakeSystem() { SourceDialog::setSystemLists({}); }
};

QComboBox *combo(const QWidget &dialog, const QString &name) {
    return child<QComboBox>(dialog, name);
}

} // namespace

class TestSourceDialog : public QObject {
    Q_OBJECT
private slots:
    // Each capture type gives its address; microphone entry 0 means none.
    void addressPerType_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("microphone");
        QTest::addColumn<QString>("device");
        QTest::newRow("camera alone") << int(SourceDialog::Camera) << 0 << 0 << "USB Cam: HD";
        QTest::newRow("camera and mic") << int(SourceDialog::Camera) << 1 << 2 << "Cam\\2";
        QTest::newRow("display and mic") << int(SourceDialog::Display) << 1 << 1 << "1";
        QTest::newRow("window, lower-case hex")
            << int(SourceDialog::Window) << 0 << 0 << "0xabcdef";
        QTest::newRow("window and mic") << int(SourceDialog::Window) << 2 << 1 << "0x2a";
    }
    void addressPerType() {
        QFETCH(int, type);
        QFETCH(int, index);
        QFETCH(int, microphone);
        QFETCH(QString, device);
        FakeSystem system;
        SourceDialog dialog(false);
        combo(dialog, "sourceType")->setCurrentIndex(type);
        const QString list =
            QStringList{"camera", "display", "window"}[type - SourceDialog::Camera];
        combo(dialog, list)->setCurrentIndex(index);
        combo(dialog, list + "Microphone")->setCurrentIndex(microphone);
        const QString address = dialog.address();
        if (type == SourceDialog::Camera)
            QCOMPARE(SourceAddress::deviceNames(address).video, device);
        else if (type == SourceDialog::Display)
            QCOMPARE(QString::number(SourceAddress::monitorIndex(address)), device);
        else
            QVERIFY2(address.contains("hwnd=" + device) &&
                         SourceAddress::windowHandle(address) ==
                             device.mid(2).toULongLong(nullptr, 16),
                     qPrintable(address));
        QCOMPARE(address.contains("audioSource"), microphone > 0);
        QCOMPARE(SourceAddress::deviceNames(SourceAddress::audioSourceOf(address)).audio,
                 system.microphones.value(microphone - 1));
    }

    // Typed addresses are trimmed; empty lists and blank names give no capture address, except
    // the display fallback, which is display 0.
    void typedAndEmpty() {
        FakeSystem system;
        const auto addressOf = [](int type) {
            SourceDialog dialog(false);
            combo(dialog, "sourceType")->setCurrentIndex(type);
            child<QLineEdit>(dialog, "filePath")->setText("  /media/a b.mp4 ");
            child<QLineEdit>(dialog, "url")->setText("   ");
            return dialog.address();
        };
        QCOMPARE(addressOf(SourceDialog::LocalFile), QStringLiteral("/media/a b.mp4"));
        QCOMPARE(addressOf(SourceDialog::NetworkUrl), QString());
        system.cameras = {"   "};
        system.microphones.clear();
        system.displays.clear();
        system.windows.clear();
        QCOMPARE(addressOf(SourceDialog::Camera), QString());
        QCOMPARE(SourceAddress::monitorIndex(addressOf(SourceDialog::Display)), 0);
        QVERIFY(!addressOf(SourceDialog::Display).contains("audioSource"));
        QCOMPARE(addressOf(SourceDialog::Window), QString());
        system.cameras.clear();
        QCOMPARE(addressOf(SourceDialog::Camera), QString());
    }

    // A refresh keeps the chosen entry while it still exists, else shows the first.
    void refreshKeepsTheChoice() {
        FakeSystem system;
        SourceDialog dialog(false);
        const struct {
            const char *list, *button;
            int chosen, afterShrink;
        } rows[] = {{"window", "refreshWindows", 2, 0},
                    {"display", "refreshDisplays", 1, 0},
                    {"camera", "refreshDevices", 0, 0},
                    {"cameraMicrophone", "refreshDevices", 2, 0},
                    {"displayMicrophone", "refreshDevices", 1, 1}};
        for (const auto &row : rows) {
            combo(dialog, row.list)->setCurrentIndex(row.chosen);
            QTest::mouseClick(child<QPushButton>(dialog, row.button), Qt::LeftButton);
            QCOMPARE(combo(dialog, row.list)->currentIndex(), row.chosen);
        }
        system.windows = {{42, "Term", "Term (renamed)  [0x2a]"}};
        system.displays.removeLast();
        system.microphones.removeLast();
        for (const char *button : {"refreshWindows", "refreshDisplays", "refreshDevices"})
            QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
        QCOMPARE(combo(dialog, "window")->currentText(), QStringLiteral("Term (renamed)  [0x2a]"));
        for (const auto &row : rows)
            QVERIFY2(combo(dialog, row.list)->currentIndex() == row.afterShrink, row.list);
    }

    // Without a language from the caller the stored one decides: "zh_cn" Chinese, else English.
    void storedLanguage_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("chinese");
        QTest::newRow("zh_cn") << "zh_cn" << true;
        QTest::newRow("fr") << "fr" << false;
    }
    void storedLanguage() {
        QFETCH(QString, stored);
        QFETCH(bool, chinese);
        FakeSystem system;
        QTemporaryDir configDir;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
        QSettings("Brisol", "Quorvi Pro").setValue("ui_language", stored);
        SourceDialog dialog;
        QStringList texts = comboTexts(combo(dialog, "sourceType")) << dialog.windowTitle();
        for (const QLabel *label : dialog.findChildren<QLabel *>())
            texts << label->text();
        for (const QPushButton *button : dialog.findChildren<QPushButton *>())
            texts << button->text();
        for (const QString &text : texts)
            QVERIFY2(hasChinese(text) == chinese, qPrintable(text));
    }
};

QTEST_MAIN(TestSourceDialog)
#include "tst_SourceDialog.moc"
