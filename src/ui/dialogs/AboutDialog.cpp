#include "ui/dialogs/AboutDialog.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#ifndef QUORVI_VERSION
#define QUORVI_VERSION "unknown"
#endif

AboutDialog::AboutDialog(bool chinese, QWidget *parent) : QDialog(parent) {
    const QString product = QString::fromLatin1(kProductName);
    setWindowTitle((chinese ? QStringLiteral("关于 %1") : QStringLiteral("About %1")).arg(product));
    setStyleSheet(QStringLiteral("QDialog { background:#17191d; }"
                                 "QLabel { color:#d4af37; font-family:'Segoe UI'; font-size:13px; }"
                                 "QLabel#productName { font-size:20px; font-weight:bold; }"
                                 "QPushButton { background:#2a2d33; color:#d4af37;"
                                 " border:1px solid #3a3d44; padding:4px 16px; }"));

    auto *name = new QLabel(product, this);
    name->setObjectName(QStringLiteral("productName"));
    name->setAlignment(Qt::AlignCenter);

    auto *version = new QLabel(
        (chinese ? QStringLiteral("版本 %1") : QStringLiteral("Version %1")).arg(versionText()),
        this);
    version->setObjectName(QStringLiteral("version"));
    version->setAlignment(Qt::AlignCenter);

    const QString url = QString::fromLatin1(kProductUrl);
    auto *link = new QLabel(
        QStringLiteral("<a style=\"color:#d4af37\" href=\"%1\">%1</a>").arg(url.toHtmlEscaped()),
        this);
    link->setObjectName(QStringLiteral("productLink"));
    link->setAlignment(Qt::AlignCenter);
    link->setTextFormat(Qt::RichText);
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);
    link->setOpenExternalLinks(true);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)
        ->setText(chinese ? QStringLiteral("关闭") : QStringLiteral("Close"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 16);
    layout->setSpacing(10);
    layout->addWidget(name);
    layout->addWidget(version);
    layout->addWidget(link);
    layout->addSpacing(6);
    layout->addWidget(buttons);
    setFixedSize(sizeHint().expandedTo(QSize(320, 0)));
}

QString AboutDialog::versionText() {
    const QString set = QCoreApplication::applicationVersion();
    return set.isEmpty() ? QStringLiteral(QUORVI_VERSION) : set;
}
