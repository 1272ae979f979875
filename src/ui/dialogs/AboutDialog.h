#pragma once

#include <QDialog>

// Help → About: the product name, its version and a link to the product page.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr const char *kProductName = "Quorvi Pro";
    static constexpr const char *kProductUrl = "https://quorvi.example/pro";

    explicit AboutDialog(bool chinese, QWidget *parent = nullptr);

    // The application's version when it has set one, else the version it was built as.
    static QString versionText();
};
