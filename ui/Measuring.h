#pragma once

#include "MeasureShape.h"
#include "SliceModel.h"

#include <QObject>
#include <QString>

#include <vector>

class QAction;
class QActionGroup;
class QDockWidget;
class QToolBar;
class QUndoStack;
class TMeasurementTable;
class TOrthoWindow;
class TProfilePlot;

/**
 * Measuring in the inspector: shapes drawn on the slice views (a line with its length and
 * the profile of the samples along it, a rectangle with the statistics of the voxels
 * whose centres lie inside it, a point with its samples), a table of what they measure,
 * and the file of shapes beside the volume's.
 *
 * Shapes belong to the volume: each lies on one slice of one view, in voxel-centre
 * coordinates of that slice, and shows while its view is at that slice. Every change
 * (drawn, reshaped or moved by its grips, deleted) is a command on one undo stack, and is
 * written to FILE.shapes.json beside the volume's file at once (see ShapesFile).
 *
 * A tool bar and keys choose the tool: L line, R rectangle, P point, Esc back to
 * navigating; Delete deletes the shape selected. The measurements table has a row per
 * shape and channel at the time point shown; with stack statistics on, a rectangle also
 * measures the box through every slice of its view.
 */
class TMeasuring : public QObject
{
    Q_OBJECT

public:
    /** The tools: a kind of shape to draw, or none. */
    enum Tool
    {
        Navigate = -1,
        DrawLine = MeasureShape::Line,
        DrawRect = MeasureShape::Rect,
        DrawPoint = MeasureShape::Point
    };

    explicit TMeasuring(TOrthoWindow& window);
    ~TMeasuring() override;

    QToolBar* ToolBar() const { return toolBar_; }
    QDockWidget* TableDock() const { return tableDock_; }
    QDockWidget* ProfileDock() const { return profileDock_; }
    TMeasurementTable* Table() const { return table_; }
    TProfilePlot* Profile() const { return profile_; }
    QUndoStack* UndoStack() const { return undo_; }
    /** The action of `tool` (its key and tool bar button). */
    QAction* ToolAction(Tool tool) const;
    QAction* DeleteAction() const { return delete_; }
    QAction* StackAction() const { return stack_; }

    Tool CurrentTool() const { return tool_; }
    void SetTool(Tool tool);
    /** The shapes, oldest first. */
    std::vector<MeasureShape> Shapes() const;
    /** The shape selected, its index in Shapes(); −1 for none. */
    int Selected() const;
    /** Selects shape `index` of Shapes() (−1: none). */
    void Select(int index);
    /** Adds `shape` (an undoable command) and selects it. */
    void AddShape(const MeasureShape& shape);
    /** Deletes the shape selected (an undoable command). */
    void DeleteSelected();
    /** Deletes every shape (an undoable command). */
    void DeleteAll();
    /** Statistics of rectangles through every slice of their view, beside the slice's. */
    void SetStackStatistics(bool on);

    /**
     * A new volume (`fileName` empty for one without a file): its shapes are read from
     * beside the file, the undo stack starts afresh; Refresh shows them. Returns false with the
     * reason when the shapes file could not be read (its shapes are then neither shown nor
     * written).
     */
    bool VolumeChanged(const QString& fileName, QString& error);
    /** The views show their slices' shapes and labels, the table and profile measure anew. */
    void Refresh();
    /**
     * The channels, the time point or the samples shown changed: the table and the profile
     * measure anew (ShowShapes redoes the labels).
     */
    void Remeasure();
    /** The positions changed: each view shows the shapes of its slice now. */
    void ShowShapes();
    /** Why the last write of the shapes file failed; empty when it did not. */
    const QString& SaveError() const { return saveError_; }

    /** What `shape` measures on channel `c` at the time point shown (Stack: the box). */
    MeasureRow Measure(const MeasureShape& shape, int c, bool stack) const;
    /**
     * The profile along line `shape` on channel `c`: distances in the file's units (voxels
     * when none) and the samples.
     */
    bool LineSamples(const MeasureShape& shape, int c, std::vector<double>& distance,
                     std::vector<double>& samples) const;
    /** The text written beside `shape` on its view. */
    QString Label(const MeasureShape& shape) const;
    /** The length of a line in the file's units (voxels when there are none). */
    double Length(const MeasureShape& shape) const;
    /** The unit of lengths: the spacing's, or "voxels". */
    QString LengthUnit() const;

signals:
    /** The shapes changed (drawn, edited, deleted, undone, loaded). */
    void ShapesChanged();
    /** Writing the shapes file failed: why. */
    void SaveFailed(const QString& reason);

private:
    struct Entry
    {
        int Id = 0;
        MeasureShape Shape;
        bool operator==(const Entry&) const = default;
    };
    class Command;

    /** Takes `entries` and the selection (an id) as they are after a command. */
    void Restore(const std::vector<Entry>& entries, int selected);
    /** Pushes the change from the present entries to `after`. */
    void Change(const QString& text, std::vector<Entry> after, int selected);
    /** The table's rows, measured anew. */
    void UpdateTable();
    /** The profile of the line selected, or of `line` while it is drawn or dragged. */
    void UpdateProfile(const MeasureShape* line = nullptr);
    void Save();
    /** Shows the table, and the profile when there is a line, once there are shapes. */
    void ShowDocks();
    int IndexOf(int id) const;
    void ShapeDrawn(SlicePlane plane, int kind, double x0, double y0, double x1, double y1,
                    bool finished);
    void ShapeEdited(SlicePlane plane, int id, double x0, double y0, double x1, double y1,
                     bool finished);
    /** Voxel sizes along the two axes of `plane`'s slices: the spacing, or 1 when unknown. */
    std::array<double, 2> SliceSpacing(SlicePlane plane) const;

    TOrthoWindow& window_;
    QUndoStack* undo_;
    QToolBar* toolBar_;
    QActionGroup* tools_;
    QAction* delete_;
    QAction* stack_;
    QDockWidget* tableDock_;
    QDockWidget* profileDock_;
    TMeasurementTable* table_;
    TProfilePlot* profile_;
    std::vector<Entry> entries_;
    int selected_ = -1; ///< the id of the shape selected
    int nextId_ = 1;
    Tool tool_ = Navigate;
    bool stackStatistics_ = false;
    /** An edit under way: the shape as its grips place it, shown but not yet a command. */
    bool editing_ = false;
    Entry edited_;
    QString fileName_;      ///< the volume's file; shapes are written beside it
    bool writable_ = false; ///< its shapes file was read (or absent): it may be written
    QString saveError_;
};
