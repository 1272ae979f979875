#pragma once

#include <QList>
#include <QString>

#include <utility>

// The interface language (Chinese or English), switched at run time. Widgets are built with the
// texts of one language; switching rewrites each text through a fixed table of (Chinese, English)
// pairs and a few rules for texts that carry numbers or names.
class UiLanguage {
public:
    // "zh" and "zh_cn" in any case mean Chinese; anything else English.
    static bool chineseFromSetting(const QString &stored);
    // The stored choice (setting "ui_language", English when unset).
    static bool loadChinese();
    static void storeChinese(bool chinese);
    // The same on Qt's global thread pool: writing the settings file can take tens of
    // milliseconds, too long for the thread that composes the program. Each write stores the
    // newest choice, so quick switches end with the last one. Threads: any.
    static void storeChineseInBackground(bool chinese);

    // `text` in the other language, or `text` itself when no rule or pair knows it (user text,
    // or text already in the target language). Blank text is returned as it is.
    static QString translate(const QString &text, bool toChinese);

    // The (Chinese, English) pairs, in table order; no text appears twice on either side.
    static const QList<std::pair<QString, QString>> &pairs();
};
