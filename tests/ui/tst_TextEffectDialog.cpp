// The text effect dialog driven as the text panel uses it: load, edit, OK or Cancel.

#include "common/WidgetChild.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/TextEffectDialog.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>

namespace {

// Answers every colour question with `answer` and remembers what it was asked with.
struct FakeColorChooser {
    QColor answer;
    QColor initial;
    explicit FakeColorChooser(QColor a) : answer(a) {
        UserPrompts::setColorChooser([this](QWidget *, const QColor &start) {
            initial = start;
            return answer;
        });
    }
    ~FakeColorChooser() { UserPrompts::setColorChooser({}); }
};

// Opens the dialog modally on `record`, lets `edit` work on the open dialog, closes it with
// `close` and returns what the caller then holds: data() only when accepted.
TextOverlayData run(TextEffectDialog &dialog, TextOverlayData record,
                    QDialogButtonBox::StandardButton close,
                    const std::function<void()> &edit = {}) {
    dialog.setData(record);
    QTimer::singleShot(0, &dialog, [&] {
        if (edit)
            edit();
        auto *buttons = child<QDialogButtonBox>(dialog, "buttons");
        QTest::mouseClick(buttons->button(close), Qt::LeftButton);
    });
    QTimer::singleShot(10000, &dialog, &QDialog::reject); // never hang on a missed click
    if (dialog.exec() == QDialog::Accepted)
        record = dialog.data();
    return record;
}

} // namespace

class TestTextEffectDialog : public QObject {
    Q_OBJECT
private slots:
    // Out-of-range values are shown clamped and come back clamped.
    void clampsOutOfRange() {
        using D = TextOverlayData;
        // clang-format off
        const struct {
            const char *control;
            int D::*field; // null: the font's point size
            int given, expected;
        } rows[] = {
            {"fontSize", nullptr, 300, 200}, {"fontSize", nullptr, 2, 6},
            {"scrollTimes", &D::scrollTimes, 0, 1}, {"scrollStep", &D::scrollStep, 99, 50},
            {"outlineWidth", &D::outlineWidth, 0, 1}, {"opacity", &D::opacity, 300, 255},
            {"opacity", &D::opacity, -5, 0}, {"scrollDirection", &D::scrollDirection, 7, 0},
            {"scrollDirection", &D::scrollDirection, -1, 0}};
        // clang-format on
        for (const auto &row : rows) {
            D given;
            row.field ? void(given.*row.field = row.given) : given.font.setPointSize(row.given);
            TextEffectDialog dialog(false);
            int shown = -1;
            const D back = run(dialog, given, QDialogButtonBox::Ok, [&] {
                QWidget *control = child<QWidget>(dialog, row.control);
                auto *combo = qobject_cast<QComboBox *>(control);
                shown = combo ? combo->currentIndex() : control->property("value").toInt();
            });
            QVERIFY2(shown == row.expected, row.control);
            QVERIFY2((row.field ? back.*row.field : back.font.pointSize()) == row.expected,
                     row.control);
        }
    }

    // What no control edits comes back exactly; a record within range comes back whole.
    void passesThroughUntouchedFields() {
        // clang-format off
        TextOverlayData given{.id = 42, .enabled = false, .text = QStringLiteral("News 新闻"),
            .pos = QPoint(-7, 333), .fontColor = QColor(10, 20, 30), .opacity = 99, .bold = true,
            .strikeOut = true, .backgroundPadding = 17, .shadowOffset = QPoint(-3, 5),
            .outline = true, .outlineWidth = 4, .scrollable = true, .scrollDirection = 2,
            .scrollTimes = 12, .scrollStep = 33, .scrollViewportWidth = 640,
            .scrollViewportHeight = 48, .zIndex = -2};
        // clang-format on
        given.font.setWeight(QFont::Bold);
        given.font.setStrikeOut(true);
        TextEffectDialog dialog(false);
        QCOMPARE(run(dialog, given, QDialogButtonBox::Ok), given);
    }

    // Stored families this system lacks (its font box shows a stand-in) survive unless the
    // operator picks another family.
    void keepsTheStoredFamilyUnlessPicked() {
        // clang-format off
        const struct {
            const char *name;
            std::function<void(TextEffectDialog &)> edit;
            bool picked;
        } edits[] = {
            {"untouched", [](TextEffectDialog &) {}, false},
            {"size and bold changed", [](TextEffectDialog &d) {
                 QTest::keyClick(child<QSpinBox>(d, "fontSize"), Qt::Key_Up);
                 QTest::mouseClick(child<QCheckBox>(d, "bold"), Qt::LeftButton); }, false},
            {"family picked", [](TextEffectDialog &d) {
                 auto *family = child<QFontComboBox>(d, "fontFamily");
                 const bool last = family->currentIndex() + 1 >= family->count();
                 QTest::keyClick(family, last ? Qt::Key_Up : Qt::Key_Down); }, true},
        };
        // clang-format on
        for (const QString stored : {"Arial", "Times New Roman", "Courier New"}) {
            for (const auto &edit : edits) {
                TextOverlayData given;
                given.font.setFamily(stored);
                TextEffectDialog dialog(false);
                QString loaded, shown;
                const TextOverlayData back = run(dialog, given, QDialogButtonBox::Ok, [&] {
                    auto *family = child<QFontComboBox>(dialog, "fontFamily");
                    loaded = family->currentText();
                    edit.edit(dialog);
                    shown = family->currentFont().family();
                });
                const QString why = stored + ", " + edit.name + ": " + back.font.family();
                QVERIFY2(back.font.family() == (edit.picked ? shown : stored), qPrintable(why));
                QVERIFY2(!edit.picked || shown != loaded, qPrintable(why));
            }
        }
    }

    // Every colour button asks starting at the field's colour; OK keeps the choice and shows it
    // on the button, Cancel or a cancelled choice leaves the caller's record as it was.
    void colourChoices() {
        using D = TextOverlayData;
        // clang-format off
        const struct {
            const char *button;
            QColor D::*field;
        } buttons[] = {{"fontColor", &D::fontColor}, {"backgroundColor", &D::backgroundColor},
                       {"shadowColor", &D::shadowColor}, {"outlineColor", &D::outlineColor}};
        const QColor picked(0x12, 0xab, 0x34);
        const struct {
            QColor answer;
            QDialogButtonBox::StandardButton close;
            bool kept;
        } outcomes[] = {{picked, QDialogButtonBox::Ok, true},
                        {picked, QDialogButtonBox::Cancel, false},
                        {QColor(), QDialogButtonBox::Ok, false}};
        // clang-format on
        for (const auto &button : buttons) {
            for (const auto &outcome : outcomes) {
                FakeColorChooser chooser(outcome.answer);
                D given;
                given.*button.field = QColor(0x40, 0x50, 0x60);
                TextEffectDialog dialog(false);
                const D back = run(dialog, given, outcome.close, [&] {
                    QTest::mouseClick(child<QPushButton>(dialog, button.button), Qt::LeftButton);
                });
                QCOMPARE(chooser.initial, given.*button.field);
                D expected = given;
                if (outcome.kept)
                    expected.*button.field = outcome.answer;
                QCOMPARE(back, expected);
                // The button shows the last valid choice, whether or not the dialog is accepted.
                const QColor shown =
                    outcome.answer.isValid() ? outcome.answer : given.*button.field;
                const QString style = child<QPushButton>(dialog, button.button)->styleSheet();
                QVERIFY2(style.contains(shown.name()), qPrintable(style));
            }
        }
    }
};

QTEST_MAIN(TestTextEffectDialog)
#include "tst_TextEffectDialog.moc"
