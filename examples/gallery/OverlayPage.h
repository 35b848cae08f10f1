#pragma once

#include <QString>
#include <QUndoStack>
#include <QWidget>

#include <memory>
#include <vector>

class QLabel;
class TGraphicsListControl;
class TGLCNotifyObject;
class TImageControl;
class TZoomPanel;

/**
 * The overlay in use: points, lines, rectangles and arcs over cameraman, in a
 * pan-and-zoom panel. Click an item to select it, drag its grips, nudge it with the
 * arrow keys; drag the empty picture to pan, drag with the right button or turn the
 * wheel to zoom; Ctrl+Z and Ctrl+Shift+Z undo and redo. A label, fed by one
 * notification object per item, shows the geometry of the item last selected or
 * changed.
 */
class TOverlayPage : public QWidget
{
    Q_OBJECT
public:
    /** `pictures` is the folder holding cameraman.tif. */
    explicit TOverlayPage(const QString& pictures, QWidget* parent = nullptr);
    ~TOverlayPage() override;

    TGraphicsListControl* Overlay() const { return overlay_; }
    /** Shows the geometry of item `index` in the label. */
    void ShowItem(int index);

private:
    TZoomPanel* panel_;
    TImageControl* image_;
    TGraphicsListControl* overlay_;
    QLabel* geometry_;
    QUndoStack undo_;
    std::vector<std::unique_ptr<TGLCNotifyObject>> followers_;
};
