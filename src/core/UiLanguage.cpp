#include "core/UiLanguage.h"

#include <QHash>
#include <QRegularExpression>
#include <QSettings>
#include <QThreadPool>

#include <atomic>
#include <mutex>

namespace {

struct Pair {
    const char16_t *chinese;
    const char16_t *english;
};

// clang-format off
constexpr Pair kPairs[] = {
    {u"节目编排", u"Program Scheduling"},
    {u"叠加", u"Overlay"},
    {u"输出", u"Output"},
    {u"叠 1", u"OL 1"},
    {u"叠 2", u"OL 2"},
    {u"叠 3", u"OL 3"},
    {u"叠 4", u"OL 4"},
    {u"颜色选择", u"Pick Color"},
    {u"画笔", u"Pen"},
    {u"直线", u"Line"},
    {u"矩形", u"Rectangle"},
    {u"椭圆", u"Ellipse"},
    {u"多边形", u"Polygon"},
    {u"曲线", u"Curve"},
    {u"撤销", u"Undo"},
    {u"清除", u"Clear"},
    {u"保存", u"Save"},
    {u"保存PNG", u"Save PNG"},
    {u"新建画布", u"New Canvas"},
    {u"输入设备", u"Input Device"},
    {u"本地文件", u"Local File"},
    {u"预览输出", u"To Output Preview"},
    {u"视频叠加", u"Video Overlay"},
    {u"文字叠加", u"Text Overlay"},
    {u"图片播放", u"Image Playback"},
    {u"调音台", u"Audio Mixer"},
    {u"输出设置", u"Output Settings"},
    {u"输出预览", u"Output Preview"},
    {u"添加视频", u"Add Video"},
    {u"添加图片", u"Add Image"},
    {u"选择视频", u"Select Video"},
    {u"选择图片", u"Select Image"},
    {u"基准时间", u"Base Time"},
    {u"基底片段", u"Base Clips"},
    {u"叠加片段", u"Overlay Clips"},
    {u"＋ 添加基底片段", u"+ Add Base Clip"},
    {u"＋ 添加叠加片段", u"+ Add Overlay Clip"},
    {u"导入 JSON…", u"Import JSON..."},
    {u"导出 JSON…", u"Export JSON..."},
    {u"开始编排", u"Start Arrangement"},
    {u"停止编排", u"Stop Arrangement"},
    {u"开始", u"Start"},
    {u"结束", u"End"},
    {u"不限结束", u"Open End"},
    {u"间隔", u"Interval"},
    {u"目录", u"Folder"},
    {u"视频", u"Video"},
    {u"删除", u"Delete"},
    {u"图片", u"Image"},
    {u"文字", u"Text"},
    {u"叠加文字内容", u"Overlay text content"},
    {u"文字特效…", u"Text Effects..."},
    {u"选择视频…", u"Select Video..."},
    {u"选择图片…", u"Select Image..."},
    {u"视频文件路径 / 单张叠加图片路径", u"Video file path / single overlay image path"},
    {u"文字滚动", u"Text Scroll"},
    {u"水平滚动", u"Horizontal Scroll"},
    {u"方向", u"Direction"},
    {u"无", u"None"},
    {u"从左到右", u"Left -> Right"},
    {u"从右到左", u"Right -> Left"},
    {u"导入", u"Import"},
    {u"导出", u"Export"},
    {u"错误", u"Error"},
    {u"编排", u"Arrangement"},
    {u"提示", u"Notice"},
    {u"时", u"h"},
    {u"分", u"m"},
    {u"秒", u"s"},
    {u"图片目录", u"Image Folder"},
    {u"浏览目录", u"Browse"},
    {u"播放图片", u"Play Images"},
    {u"停止播放", u"Stop Playback"},
    {u"循环：开 — 轮播结束后从首张继续；再点此按钮可关闭",
     u"Loop ON - continue from first image after last one; click again to disable"},
    {u"循环：关 — 播完最后一张后自动停止；再点此按钮可开启",
     u"Loop OFF - stop automatically after last image; click again to enable"},
    {u"按间隔轮播列表中的图片；再次点击停止", u"Play images in list by interval; click again to stop"},
    {u"结束图片轮播并恢复无基底画面", u"Stop image playback and return to no-base scene"},
    {u"叠加本地监听音量（与调音台主预览/叠加预览推子独立）",
     u"Overlay local monitor volume (independent from mixer preview faders)"},
    {u"叠加循环（与通道 ⟲ 不同）", u"Overlay loop (independent from channel loop)"},
    {u"取消叠加", u"Detach Overlay"},
    {u"叠加到节目输出", u"Attach to Program Output"},
    {u"应用图片叠加", u"Apply Image Overlay"},
    {u"移除图片叠加", u"Remove Image Overlay"},
    {u"图片叠加透明度", u"Image overlay opacity"},
    {u"开始时间", u"Start time"},
    {u"结束时间", u"End time"},
    {u"循环", u"Loop"},
    {u"图片目录路径", u"Image folder path"},
    {u"视频文件路径", u"Video file path"},
    {u"选择图片目录", u"Select image folder"},
    {u"选择视频文件", u"Select video file"},
    {u"视频 (*.mp4 *.avi *.mov *.mkv);;所有文件 (*)", u"Video (*.mp4 *.avi *.mov *.mkv);;All Files (*)"},
    {u"字幕", u"Subtitle"},
    {u"选择叠加视频", u"Select overlay video"},
    {u"选择叠加图片", u"Select overlay image"},
    {u"图片 (*.png *.jpg *.jpeg *.bmp *.webp *.gif);;所有文件 (*)",
     u"Image (*.png *.jpg *.jpeg *.bmp *.webp *.gif);;All Files (*)"},
    {u"结束时间必须大于开始时间", u"End time must be greater than start time"},
    {u"通道必须选择视频", u"Channel must be set to video"},
    {u"播放图片必须选择目录", u"Image playback must select a folder"},
    {u"文字不能为空", u"Text cannot be empty"},
    {u"请选择视频", u"Please select a video"},
    {u"请选择叠加图片文件", u"Please select an overlay image file"},
    {u"导入节目编排", u"Import program arrangement"},
    {u"JSON (*.json);;所有文件 (*)", u"JSON (*.json);;All Files (*)"},
    {u"无法打开文件", u"Failed to open file"},
    {u"导出节目编排", u"Export program arrangement"},
    {u"没有可导出的片段（请检查校验错误提示）。", u"No exportable clips (please review validation errors)."},
    {u"无法写入文件", u"Failed to write file"},
    {u"主窗口不可用", u"Main window is unavailable"},
    {u"请至少添加一个有效基底或叠加片段。", u"Please add at least one valid base or overlay clip."},
    // The interval box shows this tool tip as written, stray bracket included.
    {u"每张图片显示时长：200–10000 ms）", u"Duration per image: 200-10000 ms"},
    {u"视频 (*.mp4 *.avi *.mov);;所有文件 (*)", u"Video (*.mp4 *.avi *.mov);;All Files (*)"},
    {u"图片 (*.png *.jpg *.bmp);;所有文件 (*)", u"Image (*.png *.jpg *.bmp);;All Files (*)"},
    {u"视频 (*.mp4 *.avi *.mov)", u"Video (*.mp4 *.avi *.mov)"},
    {u"图片 (*.png *.jpg *.bmp)", u"Image (*.png *.jpg *.bmp)"},
};
// clang-format on

struct Table {
    QList<std::pair<QString, QString>> pairs;
    QHash<QString, QString> toEnglish;
    QHash<QString, QString> toChinese;
};

const Table &table() {
    static const Table t = [] {
        Table built;
        built.pairs.reserve(std::size(kPairs));
        for (const Pair &p : kPairs) {
            const QString zh = QString::fromUtf16(p.chinese);
            const QString en = QString::fromUtf16(p.english);
            built.pairs.append({zh, en});
            // First pair wins, as in a front-to-back search.
            built.toEnglish.insert(zh, built.toEnglish.value(zh, en));
            built.toChinese.insert(en, built.toChinese.value(en, zh));
        }
        return built;
    }();
    return t;
}

// The number of a channel name such as "通道 3" or "Channel 007": ASCII digits only, kept as
// written so that the name comes back unchanged when switched twice.
QString channelNumber(const QString &text, QStringView prefix) {
    if (!text.startsWith(prefix))
        return {};
    const QString rest = text.mid(prefix.size()).trimmed();
    for (QChar c : rest) {
        if (c < u'0' || c > u'9')
            return {};
    }
    return rest;
}

struct Rule {
    QRegularExpression pattern;
    QString result; // %1, %2 = captures
};

QString applyRules(const QString &text, const QList<Rule> &rules) {
    for (const Rule &rule : rules) {
        const QRegularExpressionMatch m = rule.pattern.match(text);
        if (!m.hasMatch())
            continue;
        // One pass over the result, so that a "%2" inside a captured name stays as it is.
        return m.lastCapturedIndex() == 1 ? rule.result.arg(m.captured(1))
                                          : rule.result.arg(m.captured(1), m.captured(2));
    }
    return {};
}

QString toEnglish(const QString &text) {
    const QString n = channelNumber(text, u"通道");
    if (!n.isEmpty())
        return QStringLiteral("Channel ") + n;
    static const QList<Rule> rules = {
        {QRegularExpression(QStringLiteral(u"^（\\s*(\\d+)\\s*张图片）$")),
         QStringLiteral("(%1 images)")},
        {QRegularExpression(QStringLiteral(u"^(.+)（\\s*(\\d+)\\s*张）$")),
         QStringLiteral("%1 (%2 images)")},
        {QRegularExpression(QStringLiteral(u"^(.+)（旧版目录，无可用图片）$")),
         QStringLiteral("%1 (legacy folder, no available image)")},
    };
    const QString ruled = applyRules(text, rules);
    if (!ruled.isEmpty())
        return ruled;
    return table().toEnglish.value(text, text);
}

QString toChinese(const QString &text) {
    const QString n = channelNumber(text, u"Channel ");
    if (!n.isEmpty())
        return QStringLiteral(u"通道") + n;
    static const QList<Rule> rules = {
        {QRegularExpression(QStringLiteral("^\\((\\d+) images\\)$")),
         QStringLiteral(u"（%1 张图片）")},
        {QRegularExpression(QStringLiteral("^(.+) \\((\\d+) images\\)$")),
         QStringLiteral(u"%1（%2 张）")},
        {QRegularExpression(QStringLiteral("^(.+) \\(legacy folder, no available image\\)$")),
         QStringLiteral(u"%1（旧版目录，无可用图片）")},
    };
    const QString ruled = applyRules(text, rules);
    if (!ruled.isEmpty())
        return ruled;
    return table().toChinese.value(text, text);
}

const QString kSettingKey = QStringLiteral("ui_language");

} // namespace

bool UiLanguage::chineseFromSetting(const QString &stored) {
    const QString v = stored.toLower();
    return v == u"zh" || v == u"zh_cn";
}

bool UiLanguage::loadChinese() {
    const QSettings settings(QStringLiteral("Brisol"), QStringLiteral("Quorvi Pro"));
    return chineseFromSetting(settings.value(kSettingKey, QStringLiteral("en")).toString());
}

void UiLanguage::storeChinese(bool chinese) {
    QSettings settings(QStringLiteral("Brisol"), QStringLiteral("Quorvi Pro"));
    settings.setValue(kSettingKey, chinese ? QStringLiteral("zh") : QStringLiteral("en"));
    settings.sync();
}

void UiLanguage::storeChineseInBackground(bool chinese) {
    static std::atomic<bool> wanted{false};
    static std::mutex writing; // one write at a time
    wanted.store(chinese);
    QThreadPool::globalInstance()->start([] {
        std::lock_guard lock(writing);
        storeChinese(wanted.load());
    });
}

QString UiLanguage::translate(const QString &text, bool toChinese) {
    if (text.trimmed().isEmpty())
        return text;
    return toChinese ? ::toChinese(text) : ::toEnglish(text);
}

const QList<std::pair<QString, QString>> &UiLanguage::pairs() {
    return table().pairs;
}
