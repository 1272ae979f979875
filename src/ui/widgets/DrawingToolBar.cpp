#include "ui/widgets/DrawingToolBar.h"

#include "overlays/DoodleCanvas.h"
#include "ui/UserPrompts.h"

#include <QActionGroup>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QSlider>

namespace {

QString pick(bool chinese, const char *zh, const char *en) {
    return chinese ? QString::fromUtf8(zh) : QString::fromUtf8(en);
}

} // namespace

DrawingToolBar::DrawingToolBar(DoodleCanvas *canvas, QWidget *parent)
    : QToolBar(parent), canvas_(canvas) {
    setObjectName(QStringLiteral("drawingToolBar"));
    // Text on every button; the colour button shows its swatch beside it.
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);

    colorAction_ = addText(addAction(QString()), "pickColor", QStringLiteral("颜色选择"),
                           QStringLiteral("Pick Color"));
    connect(colorAction_, &QAction::triggered, this, &DrawingToolBar::pickColor);
    showPenColor();

    auto *width = new QSlider(Qt::Horizontal);
    width->setRange(DoodleCanvas::kMinPenWidth, DoodleCanvas::kMaxPenWidth);
    width->setValue(canvas_->penWidth());
    width->setFixedWidth(40);
    addWidget(width)->setObjectName(QStringLiteral("penWidth"));
    connect(width, &QSlider::valueChanged, canvas_, [this](int w) { canvas_->setPenWidth(w); });

    tools_ = new QActionGroup(this);
    tools_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    const struct {
        int tool;
        const char *name;
        const char *zh;
        const char *en;
    } tools[] = {
        {DoodleCanvas::Pen, "toolPen", "画笔", "Pen"},
        {DoodleCanvas::Line, "toolLine", "直线", "Line"},
        {DoodleCanvas::Rectangle, "toolRectangle", "矩形", "Rectangle"},
        {DoodleCanvas::Ellipse, "toolEllipse", "椭圆", "Ellipse"},
        {DoodleCanvas::Polygon, "toolPolygon", "多边形", "Polygon"},
        {DoodleCanvas::Curve, "toolCurve", "曲线", "Curve"},
        {DoodleCanvas::Eraser, "toolEraser", "橡皮擦", "Eraser"},
    };
    for (const auto &t : tools) {
        QAction *action =
            addText(addAction(QString()), t.name, QString::fromUtf8(t.zh), QString::fromUtf8(t.en));
        action->setCheckable(true);
        action->setData(t.tool);
        action->setChecked(canvas_->tool() == t.tool);
        tools_->addAction(action);
        if (QWidget *button = widgetForAction(action))
            button->setMinimumSize(30, 30);
    }
    connect(tools_, &QActionGroup::triggered, this, [this] {
        const QAction *checked = tools_->checkedAction();
        canvas_->setTool(checked ? checked->data().toInt() : DoodleCanvas::None);
    });

    connect(addText(addAction(QString()), "undo", QStringLiteral("撤销"), QStringLiteral("Undo")),
            &QAction::triggered, canvas_, &DoodleCanvas::undo);
    connect(addText(addAction(QString()), "clear", QStringLiteral("清除"), QStringLiteral("Clear")),
            &QAction::triggered, canvas_, &DoodleCanvas::clear);
    connect(addText(addAction(QString()), "save", QStringLiteral("保存"), QStringLiteral("Save")),
            &QAction::triggered, this, &DrawingToolBar::saveDrawing);

    setChineseUi(chinese_);
}

QAction *DrawingToolBar::addText(QAction *action, const char *objectName, const QString &chinese,
                                 const QString &english) {
    action->setObjectName(QString::fromLatin1(objectName));
    texts_.push_back({action, chinese, english});
    return action;
}

void DrawingToolBar::setChineseUi(bool chinese) {
    chinese_ = chinese;
    setWindowTitle(pick(chinese, "画板工具", "Drawing Tools"));
    for (const OwnText &own : texts_)
        own.action->setText(chinese ? own.chinese : own.english);
}

void DrawingToolBar::pickColor() {
    // The chooser always opens on red, whatever the pen holds now.
    const QColor chosen = UserPrompts::chooseColor(window(), Qt::red);
    if (!chosen.isValid())
        return;
    canvas_->setPenColor(chosen);
    showPenColor();
}

void DrawingToolBar::showPenColor() {
    QPixmap swatch(16, 16);
    swatch.fill(canvas_->penColor());
    colorAction_->setIcon(QIcon(swatch));
}

void DrawingToolBar::saveDrawing() {
    const QString title = pick(chinese_, "保存PNG", "Save PNG");
    QString path =
        UserPrompts::chooseSaveFile(window(), title, QString(), QStringLiteral("PNG (*.png)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".png");
    QString error;
    if (canvas_->savePng(path, &error))
        return;
    const QString text = chinese_ ? QStringLiteral("无法保存绘图到 %1：%2")
                                  : QStringLiteral("Could not save the drawing to %1: %2");
    UserPrompts::warning(window(), title, text.arg(QDir::toNativeSeparators(path), error));
}
