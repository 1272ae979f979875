#include "ui/dialogs/TextEffectDialog.h"

#include "ui/Theme.h"
#include "ui/UserPrompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFontComboBox>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

// The preview grows with the text up to this height, then scales it down.
constexpr int kPreviewMaxHeight = 120;
constexpr int kPreviewMargin = 4;

// The text as the program draws it: background box with its padding, then shadow, outline
// and fill, all at the overlay's opacity. One pixel per scene unit, or smaller so that the
// text fits `room`: large glyphs are slow to rasterise, so they are drawn small rather than
// drawn large and scaled down.
QImage renderText(TextSpriteCache &cache, const TextOverlayData &t, QSize room) {
    // Program frames are images, whose resolution sizes the fonts: measure on one as well.
    const QImage probe(1, 1, QImage::Format_ARGB32_Premultiplied);
    QFont font = t.font;
    font.setWeight(t.bold ? QFont::Bold : QFont::Normal);
    font.setItalic(t.italic);
    const QFontMetricsF metrics(font, &probe);
    const qreal pad = t.backgroundEnabled ? std::max(0, t.backgroundPadding) : 0;
    const qreal reach = 2 * (4.0 + (t.outline ? std::max(0, t.outlineWidth) : 0) + pad);
    const QPointF shadow = t.shadow ? QPointF(t.shadowOffset) : QPointF();
    const qreal width = metrics.horizontalAdvance(t.text) + reach + std::abs(shadow.x());
    const qreal height = metrics.height() + reach + std::abs(shadow.y());
    const qreal scale = std::min({1.0, room.width() / width, room.height() / height});

    TextSpriteCache::Target target;
    target.scaleX = target.scaleY = scale;
    target.dpiX = probe.logicalDpiX();
    target.dpiY = probe.logicalDpiY();
    const TextSpriteCache::Sprites &s = cache.sprites(t, target);

    const QRectF box(0, 0, s.advance * scale, s.textHeight * scale);
    const QRectF background = box.adjusted(-pad * scale, -pad * scale, pad * scale, pad * scale);
    QRect area = box.toAlignedRect();
    if (t.backgroundEnabled)
        area |= background.toAlignedRect();
    for (const TextSpriteCache::Layer *layer : {&s.shadow, &s.outline, &s.fill})
        if (!layer->image.isNull())
            area |= QRect(layer->offset, layer->image.size());
    if (area.isEmpty())
        return {};

    QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setOpacity(std::clamp(t.opacity / 255.0, 0.0, 1.0));
    const QPoint origin = -area.topLeft();
    if (t.backgroundEnabled)
        painter.fillRect(background.translated(origin), t.backgroundColor);
    TextSpriteCache::drawLayer(painter, s.shadow, origin);
    TextSpriteCache::drawLayer(painter, s.outline, origin);
    TextSpriteCache::drawLayer(painter, s.fill, origin);
    return image;
}

QCheckBox *checkBox(const QString &text, const char *name) {
    auto *box = new QCheckBox(text);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QSpinBox *spinBox(int minimum, int maximum, const char *name) {
    auto *box = new QSpinBox;
    box->setRange(minimum, maximum);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QPushButton *colorButton(const char *name) {
    auto *button = new QPushButton;
    button->setObjectName(QString::fromLatin1(name));
    button->setFixedSize(30, 30);
    return button;
}

QGroupBox *group(const QString &title, QLayout *content) {
    auto *box = new QGroupBox(title);
    box->setLayout(content);
    return box;
}

int pointSizeOf(const QFont &font) {
    return font.pointSize() > 0 ? font.pointSize() : qRound(QFontInfo(font).pointSizeF());
}

} // namespace

TextEffectDialog::TextEffectDialog(bool chinese, QWidget *parent)
    : QDialog(parent), chinese_(chinese) {
    setWindowTitle(text(u"文字特效", u"Text Effect"));
    setMinimumWidth(320);

    auto *outer = new QVBoxLayout(this);

    preview_ = new QLabel;
    preview_->setObjectName(QStringLiteral("preview"));
    preview_->setProperty("userContent", true);
    preview_->setMinimumHeight(60);
    preview_->setAlignment(Qt::AlignCenter);
    preview_->setStyleSheet(QStringLiteral("background:#202020;border:1px solid #444;"));
    // The picture follows the label's width, never the other way round.
    preview_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    preview_->installEventFilter(this);
    outer->addWidget(preview_);

    // Font style.
    fontFamily_ = new QFontComboBox;
    fontFamily_->setObjectName(QStringLiteral("fontFamily"));
    // Family names come from the system; the language switch leaves them alone.
    fontFamily_->setProperty("userContent", true);
    if (fontFamily_->lineEdit())
        fontFamily_->lineEdit()->setProperty("userContent", true);
    fontSize_ = spinBox(6, 200, "fontSize");
    fontSize_->setFixedWidth(70);
    bold_ = checkBox(text(u"粗体", u"Bold"), "bold");
    italic_ = checkBox(text(u"斜体", u"Italic"), "italic");
    underline_ = checkBox(text(u"下划线", u"Underline"), "underline");
    strikeOut_ = checkBox(text(u"删除线", u"StrikeOut"), "strikeOut");
    {
        auto *grid = new QGridLayout;
        grid->addWidget(new QLabel(text(u"字体:", u"Font:")), 0, 0);
        grid->addWidget(fontFamily_, 0, 1, 1, 3);
        grid->addWidget(new QLabel(text(u"大小:", u"Size:")), 1, 0);
        grid->addWidget(fontSize_, 1, 1, Qt::AlignLeft);
        auto *flags = new QHBoxLayout;
        for (QCheckBox *box : {bold_, italic_, underline_, strikeOut_})
            flags->addWidget(box);
        flags->addStretch();
        grid->addLayout(flags, 2, 0, 1, 4);
        grid->setColumnStretch(3, 1);
        outer->addWidget(group(text(u"字体样式", u"Font Style"), grid));
    }

    // Colours and effects.
    fontColor_ = colorButton("fontColor");
    backgroundEnabled_ = checkBox(text(u"背景", u"BG"), "backgroundEnabled");
    backgroundColor_ = colorButton("backgroundColor");
    shadowEnabled_ = checkBox(text(u"阴影", u"Shadow"), "shadowEnabled");
    shadowColor_ = colorButton("shadowColor");
    outlineEnabled_ = checkBox(text(u"描边", u"Outline"), "outlineEnabled");
    outlineColor_ = colorButton("outlineColor");
    outlineWidth_ = spinBox(1, 10, "outlineWidth");
    opacity_ = new QSlider(Qt::Horizontal);
    opacity_->setObjectName(QStringLiteral("opacity"));
    opacity_->setRange(0, 255);
    {
        auto *grid = new QGridLayout;
        grid->addWidget(new QLabel(text(u"颜色:", u"Color:")), 0, 0);
        grid->addWidget(fontColor_, 0, 1);
        grid->addWidget(backgroundEnabled_, 1, 0);
        grid->addWidget(backgroundColor_, 1, 1);
        grid->addWidget(shadowEnabled_, 2, 0);
        grid->addWidget(shadowColor_, 2, 1);
        grid->addWidget(outlineEnabled_, 3, 0);
        grid->addWidget(outlineColor_, 3, 1);
        auto *width = new QHBoxLayout;
        width->addWidget(new QLabel(text(u"宽度:", u"Width:")));
        width->addWidget(outlineWidth_);
        width->addStretch();
        grid->addLayout(width, 3, 2);
        grid->addWidget(new QLabel(text(u"不透明度:", u"Opacity:")), 4, 0);
        grid->addWidget(opacity_, 4, 1, 1, 2);
        grid->setColumnStretch(2, 1);
        // A single ampersand would mark a shortcut and vanish from the title.
        outer->addWidget(group(text(u"颜色与效果", u"Color && Effects"), grid));
    }

    // Scrolling.
    scrollEnabled_ = checkBox(text(u"启用", u"Enable"), "scrollEnabled");
    scrollDirection_ = new QComboBox;
    scrollDirection_->setObjectName(QStringLiteral("scrollDirection"));
    // In the order of the record's direction values.
    scrollDirection_->addItems({text(u"无", u"None"), text(u"从左到右", u"Left → Right"),
                                text(u"从右到左", u"Right → Left")});
    scrollTimes_ = spinBox(1, 100, "scrollTimes");
    scrollTimes_->setToolTip(
        text(u"文字移出画面的次数（从左到右：到达右边缘；从右到左：越过左边缘）。"
             u"最后一次之后，文字停留在画面之外。",
             u"How many times the text exits the frame (Left→Right: to right edge; Right→Left: "
             u"past left edge). After the last pass, text stays off-screen."));
    scrollStep_ = spinBox(1, 50, "scrollStep");
    scrollStep_->setToolTip(
        text(u"滚动速度（数值越大越快）。", u"Scroll speed (higher = faster)."));
    {
        auto *grid = new QGridLayout;
        grid->addWidget(scrollEnabled_, 0, 0, 1, 2);
        grid->addWidget(new QLabel(text(u"方向:", u"Direction:")), 1, 0);
        grid->addWidget(scrollDirection_, 1, 1);
        grid->addWidget(new QLabel(text(u"次数:", u"Times:")), 2, 0);
        grid->addWidget(scrollTimes_, 2, 1);
        grid->addWidget(new QLabel(text(u"步长:", u"Step:")), 3, 0);
        grid->addWidget(scrollStep_, 3, 1);
        grid->setColumnStretch(1, 1);
        outer->addWidget(group(text(u"滚动", u"Scroll"), grid));
    }

    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons_->setObjectName(QStringLiteral("buttons"));
    buttons_->button(QDialogButtonBox::Ok)->setText(text(u"确定", u"OK"));
    buttons_->button(QDialogButtonBox::Cancel)->setText(text(u"取消", u"Cancel"));
    outer->addWidget(buttons_);
    connect(buttons_, &QDialogButtonBox::accepted, this, &TextEffectDialog::onAccept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &TextEffectDialog::onReject);

    connect(fontColor_, &QPushButton::clicked, this, &TextEffectDialog::chooseFontColor);
    connect(backgroundColor_, &QPushButton::clicked, this,
            &TextEffectDialog::chooseBackgroundColor);
    connect(shadowColor_, &QPushButton::clicked, this, &TextEffectDialog::chooseShadowColor);
    connect(outlineColor_, &QPushButton::clicked, this, &TextEffectDialog::chooseOutlineColor);

    // While a record is loaded the controls change one by one: draw once at the end.
    const auto changed = [this] {
        if (!loading_)
            updatePreview();
    };
    connect(fontFamily_, &QFontComboBox::currentFontChanged, this, changed);
    for (QSpinBox *box : {fontSize_, outlineWidth_, scrollTimes_, scrollStep_})
        connect(box, &QSpinBox::valueChanged, this, changed);
    for (QCheckBox *box : {bold_, italic_, underline_, strikeOut_, backgroundEnabled_,
                           shadowEnabled_, outlineEnabled_, scrollEnabled_})
        connect(box, &QCheckBox::toggled, this, changed);
    connect(opacity_, &QSlider::valueChanged, this, changed);
    connect(scrollDirection_, &QComboBox::currentIndexChanged, this, changed);

    setData(TextOverlayData());
}

QString TextEffectDialog::text(const char16_t *chinese, const char16_t *english) const {
    return QString::fromUtf16(chinese_ ? chinese : english);
}

void TextEffectDialog::setData(const TextOverlayData &d) {
    working_ = d;
    loading_ = true;
    fontFamily_->setCurrentFont(d.font);
    loadedFamily_ = fontFamily_->currentFont().family();
    fontSize_->setValue(pointSizeOf(d.font));
    bold_->setChecked(d.bold);
    italic_->setChecked(d.italic);
    underline_->setChecked(d.underline);
    strikeOut_->setChecked(d.strikeOut);
    backgroundEnabled_->setChecked(d.backgroundEnabled);
    shadowEnabled_->setChecked(d.shadow);
    outlineEnabled_->setChecked(d.outline);
    outlineWidth_->setValue(d.outlineWidth);
    opacity_->setValue(d.opacity);
    scrollEnabled_->setChecked(d.scrollable);
    // A direction this program does not know does not scroll.
    const bool knownDirection =
        d.scrollDirection >= 0 && d.scrollDirection < scrollDirection_->count();
    scrollDirection_->setCurrentIndex(knownDirection ? d.scrollDirection
                                                     : TextOverlayData::kScrollNone);
    scrollTimes_->setValue(d.scrollTimes);
    scrollStep_->setValue(d.scrollStep);
    showColor(fontColor_, d.fontColor);
    showColor(backgroundColor_, d.backgroundColor);
    showColor(shadowColor_, d.shadowColor);
    showColor(outlineColor_, d.outlineColor);
    loading_ = false;
    updatePreview();
}

TextOverlayData TextEffectDialog::data() const {
    TextOverlayData d = working_;
    // The box offers only the families the system has: stored names such as "Arial" survive
    // unless the operator picked another family.
    const QString shownFamily = fontFamily_->currentFont().family();
    if (shownFamily != loadedFamily_)
        d.font.setFamily(shownFamily);
    d.font.setPointSize(fontSize_->value());
    d.bold = bold_->isChecked();
    d.italic = italic_->isChecked();
    d.underline = underline_->isChecked();
    d.strikeOut = strikeOut_->isChecked();
    d.font.setWeight(d.bold ? QFont::Bold : QFont::Normal);
    d.font.setItalic(d.italic);
    d.font.setUnderline(d.underline);
    d.font.setStrikeOut(d.strikeOut);
    d.backgroundEnabled = backgroundEnabled_->isChecked();
    d.shadow = shadowEnabled_->isChecked();
    d.outline = outlineEnabled_->isChecked();
    d.outlineWidth = outlineWidth_->value();
    d.opacity = opacity_->value();
    d.scrollable = scrollEnabled_->isChecked();
    d.scrollDirection = scrollDirection_->currentIndex();
    d.scrollTimes = scrollTimes_->value();
    d.scrollStep = scrollStep_->value();
    return d;
}

void TextEffectDialog::updatePreview() {
    TextOverlayData d = data();
    if (d.text.isEmpty())
        d.text = text(u"文字示例", u"Sample");
    const QSize room(std::max(1, preview_->contentsRect().width() - 2 * kPreviewMargin),
                     kPreviewMaxHeight);
    QImage image = renderText(sprites_, d, room);
    // Glyphs may reach a little past their measured box.
    if (image.width() > room.width() || image.height() > room.height())
        image = image.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    preview_->setPixmap(QPixmap::fromImage(image));
}

bool TextEffectDialog::eventFilter(QObject *watched, QEvent *event) {
    // The label's width is known only once it is laid out: fit the picture again then.
    if (watched == preview_ && event->type() == QEvent::Resize &&
        preview_->width() != previewWidth_) {
        previewWidth_ = preview_->width();
        updatePreview();
    }
    return QDialog::eventFilter(watched, event);
}

void TextEffectDialog::chooseColor(QColor TextOverlayData::*field, QPushButton *button) {
    const QColor chosen = UserPrompts::chooseColor(this, working_.*field);
    if (!chosen.isValid())
        return;
    working_.*field = chosen;
    showColor(button, chosen);
    updatePreview();
}

void TextEffectDialog::showColor(QPushButton *button, const QColor &color) {
    button->setStyleSheet(
        QStringLiteral("background-color:%1; border:1px solid #777;").arg(color.name()));
}

void TextEffectDialog::chooseFontColor() {
    chooseColor(&TextOverlayData::fontColor, fontColor_);
}

void TextEffectDialog::chooseBackgroundColor() {
    chooseColor(&TextOverlayData::backgroundColor, backgroundColor_);
}

void TextEffectDialog::chooseShadowColor() {
    chooseColor(&TextOverlayData::shadowColor, shadowColor_);
}

void TextEffectDialog::chooseOutlineColor() {
    chooseColor(&TextOverlayData::outlineColor, outlineColor_);
}

void TextEffectDialog::onAccept() {
    done(QDialog::Accepted);
}

void TextEffectDialog::onReject() {
    done(QDialog::Rejected);
}

void TextEffectDialog::applyArrangementStyle() {
    // Families through the font, as the main window does; the sheet sets size and colours.
    QStringList families{QStringLiteral("Segoe UI"), QStringLiteral("Microsoft YaHei")};
    for (const QString &family : Theme::fontFamilies())
        if (!families.contains(family))
            families << family;
    QFont dialogFont = font();
    dialogFont.setFamilies(families);
    setFont(dialogFont);
    setStyleSheet(QStringLiteral(
        "QDialog { background:#2b2d33; color:#d4af37; }"
        "QWidget { color:#d4af37; font-size:13px; }"
        "QGroupBox { border:1px solid #4a4d55; border-radius:4px; margin-top:12px;"
        " padding-top:6px; }"
        "QGroupBox::title { subcontrol-origin:margin; left:8px; padding:0 3px; }"
        "QSpinBox, QComboBox { background:#1f2228; color:#e8d9a8; border:1px solid #4a4d55;"
        " border-radius:3px; padding:1px 4px; }"
        "QComboBox QAbstractItemView { background:#1f2228; color:#e8d9a8;"
        " selection-background-color:#3a3d44; }"
        "QDialogButtonBox QPushButton { background:#34373e; border:1px solid #4a4d55;"
        " border-radius:4px; padding:3px 12px; }"
        "QDialogButtonBox QPushButton:hover { background:#3e424a; }"));
}
