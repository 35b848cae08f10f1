#pragma once

#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <vector>

class QPushButton;
class QStackedWidget;
class QTableView;
class TProfileCanvas;
class TProfileModel;
class TVectorControl;
struct VectorStruct;

/**
 * The profile of a measuring line: each channel's samples along the line plotted by a
 * vector control of its own, in the channel's colour, the controls stacked transparent
 * over one dark plot area and all drawn on one shared value range (RangeMin … RangeMax)
 * so that the curves compare. The value range is written at the left, the distance from 0 to the
 * line's length along the bottom (under the first and the last sample), and a legend names the
 * channels when there are several. The Table button swaps the plot for a table of the distance and
 * every channel's samples; Copy and Save CSV… give that table as CSV (columns distance and the
 * channel names; numbers and quoting as in the measurements table).
 *
 * The samples are taken to lie at even steps along the line, as the plot spaces them.
 * SetProfile follows every drag step of a line: it refills the curves' records and
 * repaints the plot area once, creating a control only for a channel more than ever
 * shown before.
 */
class TProfilePlot : public QWidget
{
    Q_OBJECT

public:
    explicit TProfilePlot(QWidget* parent = nullptr);
    ~TProfilePlot() override;

    /**
     * Shows a profile: `samples[c][i]` is channel c's sample at `distance[i]` (NaN where
     * there is none: the curve has a gap), drawn in `colours[c]` (0xRRGGBB; white when
     * missing) and named `channelNames[c]` ("C1", … when missing); `unit` names the
     * distance ("µm"; voxels when empty). Channels of another length than `distance`
     * are cut or padded with NaN.
     */
    void SetProfile(std::vector<double> distance, std::vector<std::vector<double>> samples,
                    std::vector<uint32_t> colours, QStringList channelNames, QString unit);
    /** Shows no profile. */
    void Clear();

    const std::vector<double>& Distance() const { return distance_; }
    const std::vector<std::vector<double>>& Samples() const { return samples_; }
    QStringList ChannelNames() const { return names_; }
    /** The unit of the distance, empty for voxels. */
    QString Unit() const { return unit_; }
    /** The shared value range the curves are drawn on, bottom to top. */
    double RangeMin() const { return rangeMin_; }
    double RangeMax() const { return rangeMax_; }

    /** Shows the table (true) or the plot. */
    void ShowTable(bool table);
    bool TableShown() const;

    /** The profile as CSV text: distance and one column per channel. */
    QString Csv() const;
    /** Writes Csv() to `file`, whole or not at all; false with the reason in `error`. */
    bool SaveCsv(const QString& file, QString& error) const;
    /** Puts Csv() on the clipboard. */
    void Copy() const;
    /** The folder and name the Save CSV… dialog starts with. */
    void SetSuggestedFile(const QString& file) { suggested_ = file; }

    /** The widget the curves and axes are drawn on, and the rectangle of the curves in it. */
    QWidget* PlotArea() const;
    QRect PlotRect() const;
    QTableView* Table() const { return table_; }
    QPushButton* TableButton() const { return tableButton_; }
    QPushButton* CopyButton() const { return copy_; }
    QPushButton* SaveButton() const { return save_; }

private:
    /** Places the channels' controls over the plot rectangle. */
    void PlaceCurves();

    TProfileCanvas* canvas_;
    TProfileModel* model_;
    QTableView* table_;
    QStackedWidget* pages_;
    QPushButton* tableButton_;
    QPushButton* copy_;
    QPushButton* save_;
    /**
     * One control per channel ever shown (those beyond the channels shown are hidden),
     * each plotting a record of the plot's own: its samples scaled from the shared range
     * onto 0 … 1, the control's fixed range. A drag step then writes the records and
     * changes no control setting: each change makes every control ask for repaints of its
     * own and of what it overlaps, which costs more than the painting itself.
     */
    struct Curve
    {
        TVectorControl* Control;
        VectorStruct* Record;
    };
    std::vector<Curve> curves_;

    std::vector<double> distance_;
    std::vector<std::vector<double>> samples_;
    std::vector<uint32_t> colours_;
    QStringList names_;
    QString unit_;
    double rangeMin_ = 0, rangeMax_ = 1;
    QString suggested_;

    friend class TProfileCanvas;
};
