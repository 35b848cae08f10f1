#pragma once

#include "MeasureShape.h"

#include <QWidget>

#include <string>
#include <vector>

class QPushButton;
class QTableView;
class TMeasurementModel;

/**
 * The measurements table: one row per MeasureRow, in the columns shape, view, channel,
 * frame, slice, x0, y0, x1, y1, length, area, count, mean, sd, min, max, sum, with
 * Copy and Save CSV… buttons under it. The headers of length and area name the units
 * ("length (µm)", "area (µm²)"; voxels without units). A row measured through every
 * slice of its view's plane shows its slice as "all", in the table and in the CSV.
 *
 * The CSV text is what scripts read: the header line of the column names without
 * units, then one line per row, RFC 4180 quoting, numbers in the C locale in the
 * shortest form that reads back as the same double (whole numbers without a point),
 * an empty cell where a value does not apply (NaN), lines ending in LF.
 */
class TMeasurementTable : public QWidget
{
    Q_OBJECT

public:
    explicit TMeasurementTable(QWidget* parent = nullptr);
    ~TMeasurementTable() override;

    /** Shows `rows`; the selected row stays selected while it exists (no signal). */
    void SetRows(std::vector<MeasureRow> rows);
    const std::vector<MeasureRow>& Rows() const;

    /** Sets the unit of lengths and areas ("µm"); empty for voxels. */
    void SetUnits(const QString& unit);
    QString Units() const { return unit_; }

    /** Selects row `row` (−1: none) without RowActivated. */
    void SelectRow(int row);
    /** The selected row, −1 when none. */
    int SelectedRow() const;

    /** The table as CSV text (see the class). */
    QString Csv() const;
    /**
     * Writes Csv() to `file` in UTF-8, replacing it only once the whole text is written:
     * a failed write leaves an existing file as it was. False with the reason in `error`.
     */
    bool SaveCsv(const QString& file, QString& error) const;
    /** Puts Csv() on the clipboard. */
    void Copy() const;

    /** The folder and name the Save CSV… dialog starts with. */
    void SetSuggestedFile(const QString& file) { suggested_ = file; }

    QTableView* View() const { return view_; }
    QPushButton* CopyButton() const { return copy_; }
    QPushButton* SaveButton() const { return save_; }

signals:
    /** The user selected row `row` (click or keys); the window selects its shape. */
    void RowActivated(int row);

private:
    void AskSave();

    TMeasurementModel* model_;
    QTableView* view_;
    QPushButton* copy_;
    QPushButton* save_;
    QString unit_;
    QString suggested_;
    bool quiet_ = false; ///< selection changes come from the program, not the user
};

/** The columns of the measurements CSV, as its header line names them. */
extern const char* const MeasureCsvColumns[17];

/**
 * Appends `value` to `out` as a CSV number: empty for NaN, else the shortest C-locale
 * text that reads back as the same double ("3", "0.1", "1e+20", "inf").
 */
void AppendCsvNumber(std::string& out, double value);

/**
 * A number as the tables show it to people: whole numbers in full up to 15 digits, else
 * six significant digits; empty for NaN.
 */
QString MeasureDisplayNumber(double value);

/** Writes `text` to `file` in UTF-8 through QSaveFile: whole or not at all. */
bool SaveTextFile(const QString& file, const QString& text, QString& error);

/**
 * Asks for a CSV file name (starting at `suggested`) and writes `text` to it, saying in a
 * box when that fails. Returns the name written, empty when cancelled or failed.
 */
QString AskSaveCsv(QWidget* parent, const QString& title, const QString& suggested,
                   const QString& text);
