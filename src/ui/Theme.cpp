#include "ui/Theme.h"

#include <QFont>
#include <QWidget>

QStringList Theme::fontFamilies() {
    return {QStringLiteral("Segoe UI"), QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans"),
            QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Color Emoji")};
}

QString Theme::styleSheet() {
    // The families come from the widget font (a style sheet family list is not portable);
    // the sheet sets the size and colours only.
    return QStringLiteral(
        "QMainWindow, QDialog, QDockWidget { background:#17191d; color:#d4af37; }"
        "QWidget { color:#d4af37; font-size:13px; }"
        "QGroupBox { background:#1f2228; border:1px solid #3a3d44; border-radius:6px;"
        " margin-top:14px; padding-top:6px; font-weight:bold; }"
        "QGroupBox::title { subcontrol-origin:margin; left:10px; padding:0 4px; color:#d4af37; }"
        "QMenuBar { background:#17191d; color:#d4af37; }"
        "QMenuBar::item:selected { background:#2a2d33; }"
        "QMenu { background:#1f2228; color:#d4af37; border:1px solid #3a3d44; }"
        "QMenu::item:selected { background:#3a3d44; }"
        "QToolBar { background:#1f2228; border:none; spacing:4px; }"
        "QPushButton, QToolButton { background:#2a2d33; color:#d4af37; border:1px solid #4a4d55;"
        " border-radius:4px; padding:2px 8px; }"
        "QPushButton:hover, QToolButton:hover { background:#34383f; }"
        "QPushButton:checked, QToolButton:checked { background:#5a4a1a; }"
        "QLineEdit, QComboBox, QSpinBox { background:#111316; color:#e8d9a8;"
        " border:1px solid #3a3d44; border-radius:3px; padding:2px 4px; }"
        // Styling the box drops the native arrows; these draw them again as small triangles.
        "QSpinBox::up-button, QSpinBox::down-button { width:14px; background:#2a2d33;"
        " border:none; }"
        "QSpinBox::up-arrow { image:url(:/resources/images/spin-up.png); width:9px; height:6px; }"
        "QSpinBox::down-arrow { image:url(:/resources/images/spin-down.png); width:9px;"
        " height:6px; }"
        "QToolTip { background:#1f2228; color:#d4af37; border:1px solid #d4af37; }"
        "QSplitter::handle { background:#17191d; }"
        // Scrolled content sits on its panel's background, not on the light default base.
        "QScrollArea { background:transparent; border:none; }"
        "QScrollArea > QWidget, QScrollArea > QWidget > QWidget { background:transparent; }"
        "QScrollArea#statusScroll { background:#111316; border:1px solid #3a3d44;"
        " border-radius:3px; }");
}

void Theme::apply(QWidget *window) {
    QFont font = window->font();
    font.setFamilies(fontFamilies());
    window->setFont(font);
    window->setStyleSheet(styleSheet());
}
