#pragma once

#include <QString>

// One interface text in both languages, for widgets that set their own texts when the language
// changes instead of leaving them to the table-driven language walk.
struct BilingualText {
    const char16_t *chinese;
    const char16_t *english;
    QString in(bool chinese) const { return QString::fromUtf16(chinese ? this->chinese : english); }
};
