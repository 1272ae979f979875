#include "ui/widgets/OverlayRowWidget.h"

#include "core/UiLanguage.h"
#include "ui/UserPrompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString inLanguage(const QString &chinese, bool toChinese) {
    return toChinese ? chinese : UiLanguage::translate(chinese, false);
}

QSpinBox *numberBox(QWidget *parent, const char *name, const QString &prefix, int min, int value) {
    auto *box = new QSpinBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setRange(min, 2000);
    box->setValue(value);
    box->setPrefix(prefix);
    box->setFixedWidth(78);
    return box;
}

// Scroll boxes of a plan that were never sized get the program scene's size.
constexpr int kSceneWidth = 640;
constexpr int kSceneHeight = 360;

QComboBox *kindBox(QWidget *row) {
    auto *box = new QComboBox(row);
    box->setObjectName(QStringLiteral("kind"));
    box->addItem(QStringLiteral(u"文字"), OverlayClip::Text);
    box->addItem(QStringLiteral(u"视频"), OverlayClip::Video);
    box->addItem(QStringLiteral(u"图片"), OverlayClip::Image);
    return box;
}

} // namespace

OverlayRowWidget::OverlayRowWidget(const QString &id, const QDateTime &start, QWidget *parent)
    : QWidget(parent), kind_(kindBox(this)), head_(this, id, start, kind_) {
    x_ = numberBox(this, "x", QStringLiteral("x "), 0, 12);
    y_ = numberBox(this, "y", QStringLiteral("y "), 0, 12);
    width_ = numberBox(this, "width", QStringLiteral("w "), 16, 320);
    height_ = numberBox(this, "height", QStringLiteral("h "), 16, 180);
    opacity_ = new QDoubleSpinBox(this);
    opacity_->setObjectName(QStringLiteral("opacity"));
    opacity_->setRange(0.0, 1.0);
    opacity_->setSingleStep(0.05);
    opacity_->setValue(1.0);
    opacity_->setPrefix(QStringLiteral(u"α "));
    opacity_->setFixedWidth(78);

    path_ = new QLineEdit(this);
    path_->setObjectName(QStringLiteral("path"));
    path_->setProperty("userContent", true);
    browse_ = new QPushButton(this);
    browse_->setObjectName(QStringLiteral("browse"));
    text_ = new QLineEdit(this);
    text_->setObjectName(QStringLiteral("text"));
    text_->setProperty("userContent", true);
    scroll_ = new QCheckBox(QStringLiteral(u"水平滚动"), this);
    scroll_->setObjectName(QStringLiteral("scroll"));
    directionLabel_ = new QLabel(QStringLiteral(u"方向"), this);
    direction_ = new QComboBox(this);
    direction_->setObjectName(QStringLiteral("direction"));
    direction_->addItem(QStringLiteral(u"无"), TextOverlayData::kScrollNone);
    direction_->addItem(QStringLiteral(u"从左到右"), TextOverlayData::kScrollLeftToRight);
    direction_->addItem(QStringLiteral(u"从右到左"), TextOverlayData::kScrollRightToLeft);
    direction_->setEnabled(false);
    effects_ = new QPushButton(QStringLiteral(u"文字特效…"), this);
    effects_->setObjectName(QStringLiteral("effects"));

    auto *bottom = new QHBoxLayout;
    bottom->addSpacing(66); // under the kind box
    for (QWidget *w : std::initializer_list<QWidget *>{x_, y_, width_, height_, opacity_})
        bottom->addWidget(w);
    bottom->addSpacing(8);
    bottom->addWidget(path_, 1);
    bottom->addWidget(browse_);
    bottom->addWidget(text_, 1);
    bottom->addWidget(scroll_);
    bottom->addWidget(directionLabel_);
    bottom->addWidget(direction_);
    bottom->addWidget(effects_);
    head_.stackOver(bottom);

    connect(kind_, &QComboBox::currentIndexChanged, this, &OverlayRowWidget::showKind);
    connect(scroll_, &QCheckBox::toggled, direction_, &QWidget::setEnabled);
    connect(browse_, &QPushButton::clicked, this, &OverlayRowWidget::browsePath);
    connect(effects_, &QPushButton::clicked, this, &OverlayRowWidget::editEffects);
    connect(head_.deleteButton(), &QPushButton::clicked, this,
            [this] { emit deleteRequested(this); });
    setChineseUi(true);
    showKind();
}

void OverlayRowWidget::setClip(const OverlayClip &clip, const QDateTime &baseTime) {
    head_.setId(clip.id);
    head_.setTimes(baseTime, clip.startMs, clip.endMs);
    kind_->setCurrentIndex(std::max(0, kind_->findData(clip.kind)));
    opacity_->setValue(clip.opacity);
    const QRect rect = clip.rect.toRect();
    width_->setValue(rect.width());
    height_->setValue(rect.height());
    if (clip.kind == OverlayClip::Text) {
        textData_ = clip.textData;
        text_->setText(clip.textData.text);
        x_->setValue(clip.textData.pos.x());
        y_->setValue(clip.textData.pos.y());
        scroll_->setChecked(clip.textData.scrollable);
        direction_->setCurrentIndex(
            std::max(0, direction_->findData(clip.textData.scrollDirection)));
    } else {
        x_->setValue(rect.x());
        y_->setValue(rect.y());
        path_->setText(clip.path);
    }
}

OverlayClip OverlayRowWidget::toClip(const QDateTime &baseTime) const {
    OverlayClip clip;
    clip.id = rowId();
    clip.startMs = head_.startMs(baseTime);
    clip.endMs = head_.endMs(baseTime);
    clip.kind = kind();
    clip.opacity = opacity_->value();
    if (clip.kind == OverlayClip::Text) {
        clip.textData = currentText();
        QFont font = clip.textData.font;
        font.setBold(clip.textData.bold);
        font.setItalic(clip.textData.italic);
        font.setUnderline(clip.textData.underline);
        font.setStrikeOut(clip.textData.strikeOut);
        const QFontMetrics metrics(font);
        clip.rect = QRectF(x_->value(), y_->value(),
                           std::max(16, metrics.horizontalAdvance(clip.textData.text)),
                           std::max(16, metrics.height()));
    } else {
        clip.rect = QRectF(x_->value(), y_->value(), width_->value(), height_->value());
        clip.path = clip.kind == OverlayClip::Image ? path_->text().trimmed() : path_->text();
    }
    return clip;
}

QString OverlayRowWidget::problem() const {
    if (head_.endsBeforeStart())
        return QStringLiteral(u"结束时间必须大于开始时间");
    switch (kind()) {
    case OverlayClip::Text:
        if (text_->text().trimmed().isEmpty())
            return QStringLiteral(u"文字不能为空");
        break;
    case OverlayClip::Video:
        if (path_->text().trimmed().isEmpty())
            return QStringLiteral(u"请选择视频");
        break;
    default:
        if (path_->text().trimmed().isEmpty())
            return QStringLiteral(u"请选择叠加图片文件");
        break;
    }
    return {};
}

QString OverlayRowWidget::rowId() const {
    return head_.rowId();
}

void OverlayRowWidget::setChineseUi(bool chinese) {
    chinese_ = chinese;
    // These fields hold what the operator typed, so the language walk leaves them alone.
    path_->setPlaceholderText(
        inLanguage(QStringLiteral(u"视频文件路径 / 单张叠加图片路径"), chinese));
    text_->setPlaceholderText(inLanguage(QStringLiteral(u"叠加文字内容"), chinese));
}

int OverlayRowWidget::kind() const {
    return kind_->currentData().toInt();
}

void OverlayRowWidget::showKind() {
    const bool text = kind() == OverlayClip::Text;
    // A text's box follows from its font: no size boxes for it.
    for (QWidget *w : std::initializer_list<QWidget *>{width_, height_, path_, browse_})
        w->setVisible(!text);
    for (QWidget *w :
         std::initializer_list<QWidget *>{text_, scroll_, directionLabel_, direction_, effects_})
        w->setVisible(text);
    browse_->setText(kind() == OverlayClip::Video ? QStringLiteral(u"选择视频…")
                                                  : QStringLiteral(u"选择图片…"));
    if (!chinese_)
        browse_->setText(UiLanguage::translate(browse_->text(), false));
}

void OverlayRowWidget::browsePath() {
    const bool video = kind() == OverlayClip::Video;
    const QString path = UserPrompts::chooseOpenFile(
        this,
        inLanguage(video ? QStringLiteral(u"选择叠加视频") : QStringLiteral(u"选择叠加图片"),
                   chinese_),
        inLanguage(video ? QStringLiteral(u"视频 (*.mp4 *.avi *.mov *.mkv);;所有文件 (*)")
                         : QStringLiteral(u"图片 (*.png *.jpg *.jpeg *.bmp *.webp *.gif);;"
                                          u"所有文件 (*)"),
                   chinese_));
    if (!path.isEmpty())
        path_->setText(path);
}

void OverlayRowWidget::editEffects() {
    if (!effectEditor_)
        return;
    const QPointer<OverlayRowWidget> guard(this);
    TextOverlayData edited = currentText();
    // The editor runs its own event loop, in which the row may be deleted.
    if (!effectEditor_(this, chinese_, edited) || !guard)
        return;
    textData_ = edited;
    scroll_->setChecked(edited.scrollable);
    direction_->setCurrentIndex(std::max(0, direction_->findData(edited.scrollDirection)));
}

TextOverlayData OverlayRowWidget::currentText() const {
    TextOverlayData d = textData_;
    d.text = text_->text();
    d.pos = QPoint(x_->value(), y_->value());
    d.scrollable = scroll_->isChecked();
    d.scrollDirection = d.scrollable ? direction_->currentData().toInt() : 0;
    if (d.scrollViewportWidth < 1)
        d.scrollViewportWidth = kSceneWidth;
    if (d.scrollViewportHeight < 1)
        d.scrollViewportHeight = kSceneHeight;
    return d;
}
