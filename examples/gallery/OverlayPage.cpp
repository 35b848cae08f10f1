#include "OverlayPage.h"

#include "GraphicsListControl.h"
#include "ImageControl.h"
#include "ZoomPanel.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QVBoxLayout>

namespace {

/** Tells the page whenever its item is selected or changed. */
class TItemFollower : public TGLCNotifyObject
{
public:
    explicit TItemFollower(TOverlayPage* page) : page_(page) {}
    void cbSelect() override { page_->ShowItem(Index); }
    void cbChange() override { page_->ShowItem(Index); }

private:
    TOverlayPage* page_;
};

GraphicsItemStruct Item(int kind, std::initializer_list<float> coords, uint32_t color)
{
    GraphicsItemStruct item;
    item.Kind = kind;
    item.Color = color;
    std::copy(coords.begin(), coords.end(), item.Coords);
    return item;
}

} // namespace

TOverlayPage::TOverlayPage(const QString& pictures, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    panel_ = new TZoomPanel(this);
    panel_->SetColor(0x202020);
    panel_->SetMaxScale(32.0f);
    image_ = new TImageControl(panel_);
    image_->SetBorderColor(0x202020);
    image_->SetAutoSize(true);
    image_->SetAutoLoad(QDir(pictures).filePath(QStringLiteral("cameraman.tif")));
    image_->SetAutoSize(false);
    overlay_ = new TGraphicsListControl(panel_); // above the image: created after it
    overlay_->SetTransparent(true);
    panel_->SetClientRatio(float(image_->XSize()) / float(std::max(image_->YSize(), 1)));
    panel_->SetAutoMouse(true);
    layout->addWidget(panel_, 1);
    geometry_ = new QLabel(QStringLiteral("Click a shape to select it."), this);
    layout->addWidget(geometry_);

    // Shapes in the picture's sample coordinates (cameraman is 256 × 256).
    const uint32_t yellow = 0x00FFFF, cyan = 0xFFFF00, magenta = 0xFF00FF, orange = 0x0080FF;
    for (const GraphicsItemStruct& item : {
             Item(GraphicsRectangle, {88, 36, 150, 110}, yellow), // the head
             Item(GraphicsRectangle, {20, 200, 70, 240}, yellow),
             Item(GraphicsLine, {170, 60, 230, 140}, cyan),
             Item(GraphicsLine, {30, 150, 110, 170}, cyan),
             Item(GraphicsArc, {190, 200, 35, 20, 160}, magenta),
             Item(GraphicsArc, {60, 90, 25, 200, 340}, magenta),
             Item(GraphicsPoint, {0, 0, 120, 140}, orange),
             Item(GraphicsPoint, {0, 0, 200, 30}, orange),
             Item(GraphicsPoint, {0, 0, 230, 230}, orange),
         }) {
        const int index = AppendToList(overlay_->List, item);
        auto& follower = followers_.emplace_back(std::make_unique<TItemFollower>(this));
        follower->RegisterTo(overlay_, index);
    }
    overlay_->OnSelect = [this](QObject*, int index) {
        if (index < 0) geometry_->setText(QStringLiteral("Nothing selected."));
    };
    overlay_->SetUndoStack(&undo_);

    QAction* undo = undo_.createUndoAction(this);
    undo->setShortcut(QKeySequence::Undo);
    QAction* redo = undo_.createRedoAction(this);
    // Ctrl+Shift+Z on every desktop, beside the platform's own keys (once: a key bound
    // twice would be ambiguous and do nothing).
    QList<QKeySequence> redoKeys = QKeySequence::keyBindings(QKeySequence::Redo);
    if (!redoKeys.contains(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)))
        redoKeys << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z);
    redo->setShortcuts(redoKeys);
    for (QAction* action : {undo, redo}) {
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        addAction(action);
    }
}

// The followers unregister themselves; the overlay may already be gone or not.
TOverlayPage::~TOverlayPage() = default;

void TOverlayPage::ShowItem(int index)
{
    const GraphicsItemStruct* item = GetFromList(overlay_->List, index);
    if (!item) return;
    const float* c = item->Coords;
    const auto n = [](float v) { return QString::number(double(v), 'f', 1); };
    QString text;
    switch (item->Kind) {
    case GraphicsPoint:
        text = QStringLiteral("point at (%1, %2)").arg(n(c[2]), n(c[3]));
        break;
    case GraphicsLine:
        text = QStringLiteral("line from (%1, %2) to (%3, %4)")
                   .arg(n(c[0]), n(c[1]), n(c[2]), n(c[3]));
        break;
    case GraphicsRectangle:
        text = QStringLiteral("rectangle from (%1, %2) to (%3, %4)")
                   .arg(n(c[0]), n(c[1]), n(c[2]), n(c[3]));
        break;
    case GraphicsArc:
        text = QStringLiteral("arc about (%1, %2), radius %3, from %4° to %5°")
                   .arg(n(c[0]), n(c[1]), n(c[2]), n(c[3]), n(c[4]));
        break;
    default:
        break;
    }
    geometry_->setText(
        QStringLiteral("Item %1: %2   (undo: %3)").arg(index).arg(text).arg(undo_.count()));
}
