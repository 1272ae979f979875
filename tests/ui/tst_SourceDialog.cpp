// The source dialog on fixed device, display and window lists: addresses, refresh, language.

#include "common/WidgetChild.h"
#include "input/SourceAddress.h"
#include "ui/dialogs/SourceDialog.h"

#include <QtTest>
#include <QtWidgets>

struct FakeSystem {
    QStringList cameras{"USB Cam: HD", "Cam\\2"};
    QStringList microphones{"Mic A", "Headset & Co"};
    QList<X11DisplayCapture::DisplayEntry> displays{{0, "DP-1"}, {1, "HDMI-1"}};
    QList<CaptureWindow> windows{{0xABCDEF, "Editor", "Editor  [0xabcdef]"},
                                 {42, "Term", "Term  [0x2a]"}};

    FakeSystem() {
        SourceDialog::setSystemLists({[this] { return cameras; }, [this] { return microphones; },
                                      [this] { return displays; }, [this] { return windows; }});
    }
    ~FakeSystem() { SourceDialog::setSystemLists({}); }
};

class TestSourceDialog : public QObject {
    Q_OBJECT
private slots:
    // Each capture type gives its address; microphone entry 0 means none.
    void addressPerType() {
        FakeSystem system;
        const struct {
            int type, index, microphone;
            QString device;
        } rows[] = {{SourceDialog::Camera, 0, 0, "USB Cam: HD"},
                    {SourceDialog::Camera, 1, 2, "Cam\\2"},
                    {SourceDialog::Display, 1, 1, "1"},
                    {SourceDialog::Window, 0, 0, "0xabcdef"},
                    {SourceDialog::Window, 1, 1, "0x2a"}};
        for (const auto &[type, index, microphone, device] : rows) {
            SourceDialog dialog(false);
            child<QComboBox>(dialog, "sourceType")->setCurrentIndex(type);
            const QString list =
                QStringList{"camera", "display", "window"}[type - SourceDialog::Camera];
            child<QComboBox>(dialog, list)->setCurrentIndex(index);
            child<QComboBox>(dialog, list + "Microphone")->setCurrentIndex(microphone);
            const QString address = dialog.address();
            if (type == SourceDialog::Camera)
                QCOMPARE(SourceAddress::deviceNames(address).video, device);
            else if (type == SourceDialog::Display)
                QCOMPARE(QString::number(SourceAddress::monitorIndex(address)), device);
            else
                QVERIFY2(address.contains("hwnd=" + device), qPrintable(address));
            QCOMPARE(address.contains("audioSource"), microphone > 0);
            QCOMPARE(SourceAddress::deviceNames(SourceAddress::audioSourceOf(address)).audio,
                     system.microphones.value(microphone - 1));
        }
    }

    // Typed addresses are trimmed; empty lists give no address, except display 0 as fallback.
    void typedAndEmpty() {
        FakeSystem system;
        const auto addressOf = [](int type) {
            SourceDialog dialog(false);
            child<QComboBox>(dialog, "sourceType")->setCurrentIndex(type);
            child<QLineEdit>(dialog, "filePath")->setText("  /media/a b.mp4 ");
            child<QLineEdit>(dialog, "url")->setText("   ");
            return dialog.address();
        };
        QCOMPARE(addressOf(SourceDialog::LocalFile), QStringLiteral("/media/a b.mp4"));
        QCOMPARE(addressOf(SourceDialog::NetworkUrl), QString());
        system.cameras.clear();
        system.displays.clear();
        system.windows.clear();
        QCOMPARE(addressOf(SourceDialog::Camera), QString());
        QCOMPARE(SourceAddress::monitorIndex(addressOf(SourceDialog::Display)), 0);
        QCOMPARE(addressOf(SourceDialog::Window), QString());
    }

    // A refresh keeps the chosen index while the list is long enough, else shows the first.
    void refreshKeepsTheIndex() {
        FakeSystem system;
        SourceDialog dialog(false);
        const struct {
            const char *list;
            int chosen, after;
        } rows[] = {{"window", 1, 0}, // the same window, listed first now
                    {"display", 1, 0},
                    {"cameraMicrophone", 2, 0},
                    {"displayMicrophone", 1, 1}};
        for (const auto &row : rows)
            child<QComboBox>(dialog, row.list)->setCurrentIndex(row.chosen);
        system.windows.move(1, 0);
        system.displays.removeLast();
        system.microphones.removeLast();
        for (const char *button : {"refreshWindows", "refreshDisplays", "refreshDevices"})
            QTest::mouseClick(child<QPushButton>(dialog, button), Qt::LeftButton);
        for (const auto &row : rows)
            QVERIFY2(child<QComboBox>(dialog, row.list)->currentIndex() == row.after, row.list);
    }

    // Without a language from the caller the stored one decides: "zh_cn" Chinese, else English.
    void storedLanguage() {
        FakeSystem system;
        QTemporaryDir configDir;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
        for (const auto &[stored, chinese] : {std::pair{"zh_cn", true}, {"fr", false}}) {
            QSettings("Brisol", "Quorvi Pro").setValue("ui_language", stored);
            SourceDialog dialog;
            const QStringList texts = visibleTexts(dialog) << dialog.windowTitle();
            for (const QString &text : texts)
                QVERIFY2(hasChinese(text) == chinese, qPrintable(stored + (": " + text)));
        }
    }
};

QTEST_MAIN(TestSourceDialog)
#include "tst_SourceDialog.moc"
