#include "MeasurementTable.h"

#include "MessageText.h"
#include "ShapesFile.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <charconv>
#include <cmath>

const char* const MeasureCsvColumns[17] = {"shape", "view", "channel", "frame",  "slice", "x0",
                                           "y0",    "x1",   "y1",      "length", "area",  "count",
                                           "mean",  "sd",   "min",     "max",    "sum"};

namespace {

enum Column
{
    ShapeColumn,
    ViewColumn,
    ChannelColumn,
    FrameColumn,
    SliceColumn,
    X0Column,
    Y0Column,
    X1Column,
    Y1Column,
    LengthColumn,
    AreaColumn,
    CountColumn,
    MeanColumn,
    SdColumn,
    MinColumn,
    MaxColumn,
    SumColumn,
    ColumnCount
};

/** The double a numeric column holds; NaN for the columns that hold text or integers. */
double NumberOf(const MeasureRow& row, int column)
{
    switch (column) {
    case X0Column:
        return row.Shape.X0;
    case Y0Column:
        return row.Shape.Y0;
    case X1Column:
        return row.Shape.X1;
    case Y1Column:
        return row.Shape.Y1;
    case LengthColumn:
        return row.Length;
    case AreaColumn:
        return row.Area;
    case MeanColumn:
        return row.Mean;
    case SdColumn:
        return row.Sd;
    case MinColumn:
        return row.Min;
    case MaxColumn:
        return row.Max;
    case SumColumn:
        return row.Sum;
    default:
        return MeasureRow::NaN;
    }
}

/**
 * The cell of `column` as the CSV writes it. Text and integer columns come out whole;
 * numbers through AppendCsvNumber.
 */
std::string CsvCell(const MeasureRow& row, int column)
{
    switch (column) {
    case ShapeColumn:
        return std::string(MeasureKindName(row.Shape.Shape));
    case ViewColumn:
        return std::string(MeasureViewName(row.Shape.View));
    case ChannelColumn:
        return std::to_string(row.Channel);
    case FrameColumn:
        return std::to_string(row.Frame);
    case SliceColumn:
        return row.Stack ? std::string("all") : std::to_string(row.Shape.Slice);
    case CountColumn:
        return std::to_string(row.Count);
    default: {
        std::string text;
        AppendCsvNumber(text, NumberOf(row, column));
        return text;
    }
    }
}

} // namespace

/** The rows of the measurements table, as a model for its view. */
class TMeasurementModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    void SetRows(std::vector<MeasureRow> rows)
    {
        beginResetModel();
        rows_ = std::move(rows);
        endResetModel();
    }
    const std::vector<MeasureRow>& Rows() const { return rows_; }

    void SetUnit(const QString& unit)
    {
        unit_ = unit;
        emit headerDataChanged(Qt::Horizontal, LengthColumn, AreaColumn);
    }

    int rowCount(const QModelIndex& parent) const override
    {
        return parent.isValid() ? 0 : int(rows_.size());
    }
    int columnCount(const QModelIndex& parent) const override
    {
        return parent.isValid() ? 0 : ColumnCount;
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= int(rows_.size())) return {};
        const MeasureRow& row = rows_[size_t(index.row())];
        const int column = index.column();
        if (role == Qt::TextAlignmentRole)
            return column <= ViewColumn ? int(Qt::AlignLeft | Qt::AlignVCenter)
                                        : int(Qt::AlignRight | Qt::AlignVCenter);
        if (role == Qt::ToolTipRole && column == SliceColumn && row.Stack)
            return QObject::tr("Measured through every slice of the view's plane");
        if (role != Qt::DisplayRole) return {};
        switch (column) {
        case ShapeColumn:
        case ViewColumn:
        case ChannelColumn:
        case FrameColumn:
        case SliceColumn:
        case CountColumn:
            return QString::fromStdString(CsvCell(row, column));
        default:
            return MeasureDisplayNumber(NumberOf(row, column));
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= ColumnCount)
            return QAbstractTableModel::headerData(section, orientation, role);
        const QString name = QString::fromLatin1(MeasureCsvColumns[section]);
        const QString unit = unit_.isEmpty() ? QObject::tr("voxels") : unit_;
        if (section == LengthColumn) return QStringLiteral("%1 (%2)").arg(name, unit);
        if (section == AreaColumn) return QStringLiteral("%1 (%2²)").arg(name, unit);
        return name;
    }

private:
    std::vector<MeasureRow> rows_;
    QString unit_;
};

QString MeasureDisplayNumber(double value)
{
    if (std::isnan(value)) return {};
    if (value == std::trunc(value) && std::abs(value) < 1e15) return QString::number(value, 'f', 0);
    return QString::number(value, 'g', 6);
}

void AppendCsvNumber(std::string& out, double value)
{
    if (std::isnan(value)) return;
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    if (error == std::errc()) out.append(text, end);
}

bool SaveTextFile(const QString& file, const QString& text, QString& error)
{
    return WriteWholeFile(file, text.toUtf8(), error);
}

QString AskSaveCsv(QWidget* parent, const QString& title, const QString& suggested,
                   const QString& text)
{
    const QString name =
        QFileDialog::getSaveFileName(parent, title, suggested, QObject::tr("CSV tables (*.csv)"));
    if (name.isEmpty()) return {};
    QString error;
    if (!SaveTextFile(name, text, error)) {
        QMessageBox::warning(parent, title, QObject::tr("Cannot write '%1': %2").arg(name, error));
        return {};
    }
    return name;
}

TMeasurementTable::TMeasurementTable(QWidget* parent) : QWidget(parent)
{
    model_ = new TMeasurementModel(this);
    view_ = new QTableView(this);
    view_->setModel(model_);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->verticalHeader()->setVisible(false);
    view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 6);
    view_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view_->horizontalHeader()->setStretchLastSection(false);
    // A row the user selects, by click or keys. Not the current index alone: the view
    // makes the first row current when it gets the focus, selecting nothing.
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const int row = SelectedRow();
        if (!quiet_ && row >= 0) emit RowActivated(row);
    });

    // Ctrl+C over the table copies all of it, as the button does.
    auto* copyAction = new QAction(view_);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    connect(copyAction, &QAction::triggered, this, &TMeasurementTable::Copy);
    view_->addAction(copyAction);

    copy_ = new QPushButton(tr("Copy"), this);
    copy_->setToolTip(tr("Copy the table as CSV"));
    connect(copy_, &QPushButton::clicked, this, &TMeasurementTable::Copy);
    save_ = new QPushButton(tr("Save CSV…"), this);
    save_->setToolTip(tr("Write the table to a CSV file"));
    connect(save_, &QPushButton::clicked, this, &TMeasurementTable::AskSave);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(copy_);
    buttons->addWidget(save_);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(view_, 1);
    layout->addLayout(buttons);
}

TMeasurementTable::~TMeasurementTable() = default;

void TMeasurementTable::SetRows(std::vector<MeasureRow> rows)
{
    const int selected = SelectedRow();
    quiet_ = true;
    model_->SetRows(std::move(rows));
    quiet_ = false;
    SelectRow(selected < int(model_->Rows().size()) ? selected : -1);
}

const std::vector<MeasureRow>& TMeasurementTable::Rows() const
{
    return model_->Rows();
}

void TMeasurementTable::SetUnits(const QString& unit)
{
    unit_ = unit;
    model_->SetUnit(unit);
}

void TMeasurementTable::SelectRow(int row)
{
    quiet_ = true;
    QItemSelectionModel* selection = view_->selectionModel();
    if (row < 0 || row >= model_->rowCount({})) {
        selection->clear();
    } else {
        const QModelIndex index = model_->index(row, 0);
        selection->setCurrentIndex(index,
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        view_->scrollTo(index);
    }
    quiet_ = false;
}

int TMeasurementTable::SelectedRow() const
{
    const QModelIndexList rows = view_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.front().row();
}

QString TMeasurementTable::Csv() const
{
    std::string text;
    for (int c = 0; c < ColumnCount; ++c) {
        if (c) text += ',';
        text += MeasureCsvColumns[c];
    }
    text += '\n';
    for (const MeasureRow& row : model_->Rows()) {
        for (int c = 0; c < ColumnCount; ++c) {
            if (c) text += ',';
            AppendCsvField(text, CsvCell(row, c));
        }
        text += '\n';
    }
    return QString::fromStdString(text);
}

bool TMeasurementTable::SaveCsv(const QString& file, QString& error) const
{
    return SaveTextFile(file, Csv(), error);
}

void TMeasurementTable::Copy() const
{
    QGuiApplication::clipboard()->setText(Csv());
}

void TMeasurementTable::AskSave()
{
    QString suggested = suggested_;
    if (suggested.isEmpty()) suggested = QStringLiteral("measurements.csv");
    AskSaveCsv(this, tr("Save measurements"), suggested, Csv());
}
