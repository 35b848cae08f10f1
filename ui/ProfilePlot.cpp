#include "ProfilePlot.h"

#include "MeasurementTable.h"
#include "MessageText.h"
#include "VectorControl.h"

#include <QAbstractTableModel>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int LeftMargin = 54, RightMargin = 10, TopMargin = 22, BottomMargin = 36;
/** The plot area's background: dark, so that every channel colour (white too) shows. */
const QColor PlotBackground(16, 16, 16);

/** 0xRRGGBB as the controls' TColor, 0x00BBGGRR. */
TColor ControlColour(uint32_t rgb)
{
    return ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF);
}

QString AxisNumber(double value)
{
    return QString::number(value, 'g', 5);
}

} // namespace

/** The plot page: axes, legend and the dark area the channels' controls lie on. */
class TProfileCanvas : public QWidget
{
public:
    explicit TProfileCanvas(TProfilePlot* owner) : QWidget(owner), owner_(owner)
    {
        setAutoFillBackground(true);
    }

    QRect PlotRect() const
    {
        return QRect(LeftMargin, TopMargin, std::max(width() - LeftMargin - RightMargin, 1),
                     std::max(height() - TopMargin - BottomMargin, 1));
    }

protected:
    void resizeEvent(QResizeEvent*) override { owner_->PlaceCurves(); }
    void paintEvent(QPaintEvent*) override;

private:
    TProfilePlot* owner_;
};

void TProfileCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect plot = PlotRect();
    painter.fillRect(plot, PlotBackground);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(plot.adjusted(-1, -1, 0, 0));

    const TProfilePlot& o = *owner_;
    const int n = int(o.distance_.size());
    painter.setPen(palette().color(QPalette::WindowText));
    if (n == 0) {
        painter.setPen(QColor(150, 150, 150));
        painter.drawText(plot, Qt::AlignCenter, TProfilePlot::tr("No profile"));
        return;
    }
    // The value axis: the shared range, at the top and the bottom of the plot.
    painter.drawText(QRect(0, plot.top() - 8, LeftMargin - 4, 16),
                     Qt::AlignRight | Qt::AlignVCenter, AxisNumber(o.rangeMax_));
    painter.drawText(QRect(0, plot.bottom() - 8, LeftMargin - 4, 16),
                     Qt::AlignRight | Qt::AlignVCenter, AxisNumber(o.rangeMin_));
    // The distance axis: the vector control puts sample i at the middle of the i-th of n
    // equal cells, so the first and the last sample lie half a cell inside the ends.
    const double cell = double(plot.width()) / n;
    const int first = plot.left() + int(0.5 * cell), last = plot.left() + int((n - 0.5) * cell);
    const int below = plot.bottom() + 1;
    painter.drawLine(first, below, first, below + 3);
    painter.drawLine(last, below, last, below + 3);
    const QFontMetrics metrics = painter.fontMetrics();
    const QString from = AxisNumber(o.distance_.front()), to = AxisNumber(o.distance_.back());
    const int fromWidth = metrics.horizontalAdvance(from), toWidth = metrics.horizontalAdvance(to);
    painter.drawText(QRect(first - fromWidth / 2, below + 3, fromWidth + 1, 14), Qt::AlignLeft,
                     from);
    // The length is centred under its tick, but kept inside the widget, and left out when
    // it would run into the 0.
    const int toLeft = std::min(last - toWidth / 2, width() - toWidth - 2);
    if (toLeft > first + (fromWidth + 1) / 2 + 6)
        painter.drawText(QRect(toLeft, below + 3, toWidth + 1, 14), Qt::AlignLeft, to);
    const QString unit = o.unit_.isEmpty() ? TProfilePlot::tr("voxels") : o.unit_;
    painter.drawText(QRect(plot.left(), below + 17, plot.width(), 16), Qt::AlignCenter,
                     TProfilePlot::tr("distance (%1)").arg(unit));

    // The legend, above the plot, when there is more than one curve to tell apart.
    if (o.samples_.size() < 2) return;
    int x = plot.left();
    const int y = TopMargin / 2;
    for (size_t c = 0; c < o.samples_.size(); ++c) {
        const QString name = o.names_.value(int(c));
        const int textWidth = metrics.horizontalAdvance(name);
        if (x + 18 + textWidth > width() && x > plot.left()) break;
        painter.fillRect(QRect(x, y - 1, 14, 3), QColor::fromRgb(QRgb(o.colours_[c])));
        painter.drawText(QRect(x + 18, y - 8, textWidth + 2, 16), Qt::AlignLeft | Qt::AlignVCenter,
                         name);
        x += 18 + textWidth + 14;
    }
}

/** The profile as a table: the distance, then one column per channel. */
class TProfileModel : public QAbstractTableModel
{
public:
    explicit TProfileModel(TProfilePlot* owner) : QAbstractTableModel(owner), owner_(owner) {}

    void Reset()
    {
        beginResetModel();
        endResetModel();
    }

    int rowCount(const QModelIndex& parent) const override
    {
        return parent.isValid() ? 0 : int(owner_->Distance().size());
    }
    int columnCount(const QModelIndex& parent) const override
    {
        return parent.isValid() ? 0 : 1 + int(owner_->Samples().size());
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid()) return {};
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
        if (role != Qt::DisplayRole) return {};
        const size_t row = size_t(index.row());
        if (index.column() == 0) return MeasureDisplayNumber(owner_->Distance()[row]);
        return MeasureDisplayNumber(owner_->Samples()[size_t(index.column() - 1)][row]);
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return QAbstractTableModel::headerData(section, orientation, role);
        if (section == 0) {
            const QString unit =
                owner_->Unit().isEmpty() ? TProfilePlot::tr("voxels") : owner_->Unit();
            return TProfilePlot::tr("distance (%1)").arg(unit);
        }
        return owner_->ChannelNames().value(section - 1);
    }

private:
    TProfilePlot* owner_;
};

TProfilePlot::TProfilePlot(QWidget* parent) : QWidget(parent)
{
    canvas_ = new TProfileCanvas(this);
    model_ = new TProfileModel(this);
    table_ = new QTableView(this);
    table_->setModel(model_);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->setVisible(false);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->horizontalHeader()->setStretchLastSection(true);
    pages_ = new QStackedWidget(this);
    pages_->addWidget(canvas_);
    pages_->addWidget(table_);

    tableButton_ = new QPushButton(tr("Table"), this);
    tableButton_->setCheckable(true);
    tableButton_->setToolTip(tr("Show the samples as a table"));
    connect(tableButton_, &QPushButton::toggled, this, &TProfilePlot::ShowTable);
    copy_ = new QPushButton(tr("Copy"), this);
    copy_->setToolTip(tr("Copy the profile as CSV"));
    connect(copy_, &QPushButton::clicked, this, &TProfilePlot::Copy);
    save_ = new QPushButton(tr("Save CSV…"), this);
    save_->setToolTip(tr("Write the profile to a CSV file"));
    connect(save_, &QPushButton::clicked, this, [this] {
        AskSaveCsv(this, tr("Save profile"),
                   suggested_.isEmpty() ? QStringLiteral("profile.csv") : suggested_, Csv());
    });
    for (QPushButton* button : {tableButton_, copy_, save_})
        button->setFocusPolicy(Qt::NoFocus);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(tableButton_);
    buttons->addWidget(copy_);
    buttons->addWidget(save_);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(pages_, 1);
    layout->addLayout(buttons);
    resize(420, 260);
    Clear();
}

TProfilePlot::~TProfilePlot()
{
    for (Curve& curve : curves_) {
        curve.Control->Vector = nullptr;
        DestroyVector(curve.Record);
        delete curve.Record;
    }
}

void TProfilePlot::SetProfile(std::vector<double> distance,
                              std::vector<std::vector<double>> samples,
                              std::vector<uint32_t> colours, QStringList channelNames, QString unit)
{
    const size_t n = distance.size(), channels = samples.size();
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::vector<double>& channel : samples) {
        channel.resize(n, std::numeric_limits<double>::quiet_NaN());
        for (const double v : channel)
            if (std::isfinite(v)) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
    }
    if (lo > hi) {
        lo = 0;
        hi = 1;
    } else if (lo == hi) {
        // A flat profile lies in the middle of a range around its value.
        const double half = lo == 0 ? 1 : std::abs(lo) * 0.1;
        lo -= half;
        hi += half;
    }
    colours.resize(channels, 0xFFFFFF);
    while (channelNames.size() < int(channels))
        channelNames.append(QStringLiteral("C%1").arg(channelNames.size() + 1));
    while (channelNames.size() > int(channels))
        channelNames.removeLast();

    distance_ = std::move(distance);
    samples_ = std::move(samples);
    colours_ = std::move(colours);
    names_ = std::move(channelNames);
    unit_ = std::move(unit);
    rangeMin_ = lo;
    rangeMax_ = hi;

    while (curves_.size() < channels) {
        auto* control = new TVectorControl(canvas_);
        control->SetTransparent(true);
        control->SetAllocVector(false);
        control->SetMin(0);
        control->SetMax(1);
        control->setAttribute(Qt::WA_TransparentForMouseEvents);
        control->Vector = new VectorStruct;
        curves_.push_back({control, control->Vector});
    }
    PlaceCurves();
    const double scale = 1 / (hi - lo);
    for (size_t c = 0; c < curves_.size(); ++c) {
        TVectorControl* control = curves_[c].Control;
        if (c >= channels || n == 0) {
            control->hide();
            continue;
        }
        VectorStruct* record = curves_[c].Record;
        if (size_t(record->Allocated) < n)
            InitVectorSize(record, int32_t(std::max(n, 2 * size_t(record->Allocated))));
        record->Length = int32_t(n);
        const std::vector<double>& values = samples_[c];
        for (size_t i = 0; i < n; ++i)
            record->Values[i] = float((values[i] - lo) * scale);
        control->SetVectorColor(ControlColour(colours_[c]));
        control->show();
    }
    canvas_->update();
    model_->Reset();
}

void TProfilePlot::Clear()
{
    SetProfile({}, {}, {}, {}, unit_);
}

void TProfilePlot::PlaceCurves()
{
    const QRect plot = canvas_->PlotRect();
    for (const Curve& curve : curves_)
        if (curve.Control->geometry() != plot) curve.Control->setGeometry(plot);
}

void TProfilePlot::ShowTable(bool table)
{
    pages_->setCurrentWidget(table ? static_cast<QWidget*>(table_) : canvas_);
    if (tableButton_->isChecked() != table) tableButton_->setChecked(table);
}

bool TProfilePlot::TableShown() const
{
    return pages_->currentWidget() == table_;
}

QString TProfilePlot::Csv() const
{
    std::string text = "distance";
    for (const QString& name : names_) {
        text += ',';
        AppendCsvField(text, name.toStdString());
    }
    text += '\n';
    for (size_t i = 0; i < distance_.size(); ++i) {
        AppendCsvNumber(text, distance_[i]);
        for (const std::vector<double>& channel : samples_) {
            text += ',';
            AppendCsvNumber(text, channel[i]);
        }
        text += '\n';
    }
    return QString::fromStdString(text);
}

bool TProfilePlot::SaveCsv(const QString& file, QString& error) const
{
    return SaveTextFile(file, Csv(), error);
}

void TProfilePlot::Copy() const
{
    QGuiApplication::clipboard()->setText(Csv());
}

QWidget* TProfilePlot::PlotArea() const
{
    return canvas_;
}

QRect TProfilePlot::PlotRect() const
{
    return canvas_->PlotRect();
}
