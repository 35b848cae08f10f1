// The measuring panels: the measurements table, the profile's CSV and the shapes file read
// back by Python's csv and json modules to the very doubles, saves that fail without
// touching the old file, damaged and foreign shapes files, and the profile's curves on
// screen in their colours on one shared range, cheaply enough to follow a drag.

#include "MeasureShape.h"
#include "MeasurementTable.h"
#include "ProfilePlot.h"
#include "ShapesFile.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <array>
#include <csignal>
#include <cmath>
#include <functional>
#include <unistd.h>

namespace {

constexpr double NaN = MeasureRow::NaN;

/**
 * Python reads FILE as CSV ("csv") or as a shapes file ("json", one row for the format
 * and version, then one per shape) and compares it with the table of expected cells on
 * standard input: a cell given as a hexadecimal float must read, through float(), as
 * that very double; any other as that text. Prints the cells that differ as JSON.
 */
const char* const PythonCheck = R"py(import csv, json, math, sys
kind, name = sys.argv[1:3]
if kind == "csv":
    with open(name, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
else:
    with open(name, encoding="utf-8") as f:
        d = json.load(f)
    rows = [[d["format"], d["version"]]] + [[s.get(k) for k in
            ("shape", "view", "slice", "x0", "y0", "x1", "y1")] for s in d["shapes"]]
def same(v, e):
    if e.lstrip("-").startswith(("0x", "inf")):
        try:
            x, y = float(v), float.fromhex(e)
        except (TypeError, ValueError):
            return False
        return x == y and math.copysign(1, x) == math.copysign(1, y)
    return ("" if v is None else str(v)) == e
expected = json.load(sys.stdin)
bad = [[r, c, rows[r][c], e] for r, row in enumerate(expected) for c, e in enumerate(row)
       if r < len(rows) and c < len(rows[r]) and not same(rows[r][c], e)]
if [len(r) for r in rows] != [len(r) for r in expected]:
    bad.append(["sizes", [len(r) for r in rows]])
print(json.dumps(bad))
)py";

/** The cells Python finds different ("[]" when none); empty when there is no Python. */
QString CheckWithPython(const char* kind, const QString& file, const QJsonArray& expected)
{
    if (!QFileInfo::exists("/usr/bin/python3") && qEnvironmentVariable("CI") != "true") return {};
    QProcess python;
    python.start("/usr/bin/python3", {"-c", PythonCheck, kind, file});
    python.write(QJsonDocument(expected).toJson());
    python.closeWriteChannel();
    python.waitForFinished(30000);
    return QString::fromUtf8(python.readAllStandardOutput() + python.readAllStandardError())
        .trimmed();
}

/** An expected number: the double as a hexadecimal float, empty for NaN. */
QString Hex(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%a", value);
    return std::isnan(value) ? QString() : QString::fromLatin1(text);
}

QByteArray Contents(const QString& file)
{
    QFile in(file);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("(unreadable)");
}

void Write(const QString& file, const QByteArray& bytes)
{
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(bytes);
}

/** A row measuring `count` samples: length, area, mean, sd, min, max and sum in `values`. */
MeasureRow Row(MeasureShape shape, int channel, int frame, int64_t count, std::array<double, 7> v,
               bool stack = false)
{
    return {shape, channel, frame, v[0], v[1], count, v[2], v[3], v[4], v[5], v[6], stack};
}

const std::vector<MeasureRow>& SampleRows()
{
    // The second count lies beyond a double's integers: it must be written as an integer.
    static const std::vector<MeasureRow> rows{
        Row({MeasureShape::Line, SlicePlane::Top, 7, 0.1, 1.0 / 3, 12345.678901234567, -0.5}, 1, 2,
            40, {3 * std::sqrt(2.0), NaN, 1e-300, 2.5, -0.0, 65535, 9007199254740992.0}),
        Row({MeasureShape::Rect, SlicePlane::Front, 3, 2, 4, 5.5, 8.25}, 2, 1, 9007199254740993,
            {NaN, 12.25, NaN, NaN, NaN, NaN, NaN}, true),
        Row({MeasureShape::Point, SlicePlane::Side, 0, 17, 4, 17, 4}, 1, 1, 1,
            {NaN, NaN, 1.5e-7, NaN, -HUGE_VAL, 1.5e-7, 1.5e-7})};
    return rows;
}

/** The rows of `image` within `area` that hold colour `rgb`, and how many pixels do. */
std::pair<QList<int>, int> FindColour(const QImage& image, const QRect& area, QRgb rgb)
{
    std::pair<QList<int>, int> found{{}, 0};
    for (int y = area.top(); y <= area.bottom(); ++y) {
        int count = 0;
        for (int x = area.left(); x <= area.right(); ++x)
            count += (image.pixel(x, y) & 0xFFFFFF) == (rgb & 0xFFFFFF);
        if (count) found.first << y;
        found.second += count;
    }
    return found;
}

} // namespace

class TestMeasurePanels : public QObject
{
    Q_OBJECT

private slots:
    void csvReadByPython();
    void tableRowsAndSelection();
    void failedSavesKeepTheOldFile();
    void shapesRoundTrip();
    void shapesFileRefused_data();
    void shapesFileRefused();
    void shapesFileHugeOrFolder();
    void profileCurvesOnScreen();
    void profileTable();
    void profileIsCheap();
};

void TestMeasurePanels::csvReadByPython()
{
    QTemporaryDir dir;
    TMeasurementTable table;
    table.SetRows(SampleRows());
    const QString file = dir.filePath("m.csv"), profileFile = dir.filePath("p.csv");
    QString error;
    QVERIFY2(table.SaveCsv(file, error), qPrintable(error));
    QCOMPARE(Contents(file), table.Csv().toUtf8());
    table.Copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), table.Csv());
    // Whole numbers need no point; 2^53 is written in full rather than as 9.007e+15.
    QVERIFY(table.Csv().contains(",40,1e-300,2.5,-0,65535,9007199254740992\n"));

    // The header exactly, text as written, "all" for the stack row, empty cells for NaN.
    QJsonArray expected;
    expected.append(QJsonArray::fromStringList(
        QString("shape,view,channel,frame,slice,x0,y0,x1,y1,length,area,count,mean,sd,min,max,sum")
            .split(',')));
    const char* const texts[3][6] = {{"line", "XY", "1", "2", "7", "40"},
                                     {"rectangle", "XZ", "2", "1", "all", "9007199254740993"},
                                     {"point", "ZY", "1", "1", "0", "1"}};
    for (int r = 0; r < 3; ++r) {
        const MeasureRow& m = SampleRows()[size_t(r)];
        QJsonArray row;
        for (int c = 0; c < 5; ++c)
            row.append(texts[r][c]);
        for (const double v : {m.Shape.X0, m.Shape.Y0, m.Shape.X1, m.Shape.Y1, m.Length, m.Area})
            row.append(Hex(v));
        row.append(texts[r][5]);
        for (const double v : {m.Mean, m.Sd, m.Min, m.Max, m.Sum})
            row.append(Hex(v));
        expected.append(row);
    }
    const QString found = CheckWithPython("csv", file, expected);
    if (found.isEmpty()) QSKIP("/usr/bin/python3 is not installed");
    QCOMPARE(found, QString("[]"));

    // The profile: channel names that need quoting come back whole; gaps are empty.
    TProfilePlot plot;
    const QStringList names{"a,b", "say \"hi\"", "\u00b5-line\nbreak"};
    plot.SetProfile({0, 0.5, 1.25}, {{1, NaN, 3e-5}, {-2, 7, 0.1}, {5, 6, 1e20}},
                    {0x00FF00, 0xFF00FF, 0x00FFFF}, names, "\u00b5m");
    QVERIFY2(plot.SaveCsv(profileFile, error), qPrintable(error));
    expected = QJsonArray();
    expected.append(QJsonArray::fromStringList(QStringList("distance") + names));
    for (size_t i = 0; i < 3; ++i)
        expected.append(QJsonArray{Hex(plot.Distance()[i]), Hex(plot.Samples()[0][i]),
                                   Hex(plot.Samples()[1][i]), Hex(plot.Samples()[2][i])});
    QCOMPARE(CheckWithPython("csv", profileFile, expected), QString("[]"));
}

void TestMeasurePanels::tableRowsAndSelection()
{
    TMeasurementTable table;
    QAbstractItemModel* model = table.View()->model();
    const auto header = [model](int c) { return model->headerData(c, Qt::Horizontal).toString(); };
    QCOMPARE(header(9) + header(10), QString("length (voxels)area (voxels\u00b2)"));
    table.SetUnits("\u00b5m");
    QCOMPARE(header(9) + header(10), QString("length (\u00b5m)area (\u00b5m\u00b2)"));

    QSignalSpy activated(&table, &TMeasurementTable::RowActivated);
    table.SetRows(SampleRows());
    QCOMPARE(model->rowCount(), 3);
    QCOMPARE(model->columnCount(), 17);
    // What people read: "all" for the stack row, nothing where a value does not apply,
    // whole numbers whole up to 15 digits, others to six digits.
    const QString shown[3] = {
        "line,XY,1,2,7,0.1,0.333333,12345.7,-0.5,4.24264,,40,1e-300,2.5,0,65535,9.0072e+15",
        "rectangle,XZ,2,1,all,2,4,5.5,8.25,,12.25,9007199254740993,,,,,",
        "point,ZY,1,1,0,17,4,17,4,,,1,1.5e-07,,-inf,1.5e-07,1.5e-07"};
    for (int r = 0; r < 3; ++r) {
        QStringList cells;
        for (int c = 0; c < 17; ++c)
            cells << model->index(r, c).data().toString();
        QCOMPARE(cells.join(','), shown[r]);
    }

    table.resize(900, 300);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    table.SelectRow(1);
    QCOMPARE(table.SelectedRow(), 1);
    QCOMPARE(activated.count(), 0);
    const QRect cell = table.View()->visualRect(model->index(2, 3));
    QTest::mouseClick(table.View()->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.takeFirst().at(0).toInt(), 2);

    // New rows keep the selection while it exists, and never say so.
    table.SetRows(SampleRows());
    QCOMPARE(table.SelectedRow(), 2);
    table.SetRows({SampleRows()[0]});
    QCOMPARE(table.SelectedRow(), -1);
    QCOMPARE(activated.count(), 0);
    QCOMPARE(table.Csv().count('\n'), 2);
}

void TestMeasurePanels::failedSavesKeepTheOldFile()
{
    QTemporaryDir dir;
    TMeasurementTable table;
    table.SetRows(SampleRows());
    TProfilePlot plot;
    plot.SetProfile({0, 1, 2, 3, 4, 5}, {{1, 2, 3, 4, 5, 6}}, {0xFF0000}, {"C1"}, {});
    const std::vector<MeasureShape> shapes(5, SampleRows()[0].Shape);
    const QString volume = dir.filePath("v.tif"), csv = dir.filePath("m.csv");
    const QString shapesFile = ShapesFileName(volume);
    QCOMPARE(shapesFile, volume + ".shapes.json");

    const std::pair<QString, std::function<bool(QString&)>> saves[] = {
        {csv, [&](QString& e) { return table.SaveCsv(csv, e); }},
        {csv, [&](QString& e) { return plot.SaveCsv(csv, e); }},
        {shapesFile, [&](QString& e) { return SaveShapes(volume, shapes, e); }}};
    for (const auto& [target, save] : saves) {
        Write(target, "old\n");
        const QStringList before = QDir(dir.path()).entryList(QDir::Files);
        // A full disk (here a file size limit, which binds the superuser too): Qt's own
        // commit misses a write cut short, and no reason is "Unknown error".
        QString error;
        rlimit old{}, small{};
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        small = {16, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
        const bool saved = save(error);
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(!saved);
        QVERIFY2(!error.isEmpty() && error != "Unknown error", qPrintable(error));
        QCOMPARE(Contents(target), QByteArray("old\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), before);
        // A folder the user may not write in.
        if (::geteuid() != 0) {
            QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
            const bool written = save(error);
            QFile::setPermissions(dir.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QVERIFY(!written);
            QCOMPARE(Contents(target), QByteArray("old\n"));
        }
        QVERIFY(save(error));
        QVERIFY(Contents(target) != "old\n");
    }
}

void TestMeasurePanels::shapesRoundTrip()
{
    // Every kind on every view, at fractions a decimal text must carry exactly.
    QTemporaryDir dir;
    const QString volume = dir.filePath("cells, \"1\".ics");
    std::vector<MeasureShape> shapes;
    const double fractions[] = {0.1, 1.0 / 3, 12345.678901234567, 1e-9, -0.75, 2.5, 1e20};
    QJsonArray expected;
    expected.append(QJsonArray{"volinspect shapes", "1"});
    for (const auto kind : {MeasureShape::Line, MeasureShape::Rect, MeasureShape::Point})
        for (const auto view : {SlicePlane::Top, SlicePlane::Front, SlicePlane::Side}) {
            const int k = int(shapes.size());
            const bool point = kind == MeasureShape::Point;
            const double x0 = fractions[k % 7], y0 = fractions[(k + 1) % 7];
            shapes.push_back({kind, view, 1000 * k, x0, y0, point ? x0 : fractions[(k + 2) % 7],
                              point ? y0 : fractions[(k + 3) % 7]});
            const MeasureShape& s = shapes.back();
            // A point has no second corner in the file.
            expected.append(QJsonArray{MeasureKindName(kind).data(), MeasureViewName(view).data(),
                                       QString::number(s.Slice), Hex(x0), Hex(y0),
                                       point ? "" : Hex(s.X1), point ? "" : Hex(s.Y1)});
        }
    QString error;
    QVERIFY2(SaveShapes(volume, shapes, error), qPrintable(error));
    std::vector<MeasureShape> read{MeasureShape{}};
    QVERIFY2(LoadShapes(volume, read, error), qPrintable(error));
    QVERIFY(read == shapes);
    const QString found = CheckWithPython("json", ShapesFileName(volume), expected);
    if (!found.isEmpty()) QCOMPARE(found, QString("[]"));

    // No shapes: no file left beside the volume, and none read back.
    QVERIFY(SaveShapes(volume, {}, error) && !QFileInfo::exists(ShapesFileName(volume)));
    QVERIFY(SaveShapes(volume, {}, error) && LoadShapes(volume, read, error) && read.empty());
    // A coordinate that is not a number is refused and writes nothing.
    shapes[4].Y1 = NaN;
    QVERIFY(!SaveShapes(volume, shapes, error) && error.contains("shape 5"));
    QVERIFY(!QFileInfo::exists(ShapesFileName(volume)));
}

void TestMeasurePanels::shapesFileRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason"); // empty: the file reads as the one line below
    const QByteArray head = R"({"format": "volinspect shapes", "version": 1, "shapes": )";
    const QByteArray line =
        R"({"shape": "line", "view": "XY", "slice": 2, "x0": 1, "y0": 2, "x1": 3.5, "y1": 4})";
    const auto with = [&](const char* from, const char* to) {
        return head + "[" + QByteArray(line).replace(from, to) + "]}";
    };
    const auto version = [](const char* v) {
        return R"({"format": "volinspect shapes", "shapes": [])" + QByteArray(v) + "}";
    };
    const std::tuple<const char*, QByteArray, const char*> cases[] = {
        {"cut short", head + "[" + line, "not valid JSON"},
        {"empty", "", "not valid JSON"},
        {"binary", QByteArray("\x89PNG\r\n\x1a\n\0\0", 10), "not valid JSON"},
        {"a list", "[" + line + "]", "not a shapes file"},
        {"foreign JSON", R"({"type": "FeatureCollection", "version": 1})", "not a shapes file"},
        {"newer version", version(R"(, "version": 2)"),
         "format version 2; this version of volinspect reads version 1"},
        {"version as text", version(R"(, "version": "1")"), "no valid format version"},
        {"no version", version(""), "no valid format version"},
        {"shapes not a list", head + "{}}", "\"shapes\" is not a list"},
        {"second entry a number", head + "[" + line + ", 5]}", "shape 2 is not a JSON object"},
        {"unknown kind", with("line", "ellipse"), "shape 1: \"shape\" is \"ellipse\""},
        {"unknown view", with("XY", "YZ"), "\"view\" is \"YZ\""},
        {"negative slice", with("2,", "-2,"), "\"slice\" is not a whole number"},
        {"coordinate as text", with("3.5", "\"3.5\""), "\"x1\" is not a number"},
        {"line without y1", with(R"(, "y1": 4)", ""), "\"y1\" is not a number"},
        {"unknown keys", "{\"note\": [1, {}], " + with("{", R"({"colour": "red", )").mid(1), ""},
        {"byte order mark", "\xEF\xBB\xBF" + head + "[" + line + "]}", ""}};
    for (const auto& [name, text, reason] : cases)
        QTest::newRow(name) << text << QString(reason);
}

void TestMeasurePanels::shapesFileRefused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString volume = dir.filePath("v.raw");
    Write(ShapesFileName(volume), text);
    const std::vector<MeasureShape> before{{MeasureShape::Point, SlicePlane::Side, 9, 1, 1, 1, 1}};
    std::vector<MeasureShape> shapes = before;
    QString error;
    const bool read = LoadShapes(volume, shapes, error);
    if (!reason.isEmpty()) {
        QVERIFY2(!read && error.contains(reason), qPrintable(error));
        QVERIFY(shapes == before);
        return;
    }
    QVERIFY2(read, qPrintable(error));
    QVERIFY((shapes ==
             std::vector<MeasureShape>{{MeasureShape::Line, SlicePlane::Top, 2, 1, 2, 3.5, 4}}));
}

void TestMeasurePanels::shapesFileHugeOrFolder()
{
    QTemporaryDir dir;
    const QString volume = dir.filePath("v.raw");
    std::vector<MeasureShape> shapes(1);
    QString error;
    QFile file(ShapesFileName(volume));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(64 << 20)); // sparse
    QVERIFY(!LoadShapes(volume, shapes, error) && error.contains("too long"));
    QVERIFY(file.remove() && QDir(dir.path()).mkdir("v.raw.shapes.json"));
    QVERIFY(!LoadShapes(volume, shapes, error) && error.contains("folder"));
    QCOMPARE(shapes.size(), size_t(1));
}

void TestMeasurePanels::profileCurvesOnScreen()
{
    // Three flat channels on one range 0 … 200: the first along the top row of the plot,
    // the second halfway, the third along the bottom with a gap where it has no samples.
    // Ranges of their own would put all three in the middle.
    const int n = 300;
    std::vector<double> distance(n);
    std::vector<std::vector<double>> samples(3, std::vector<double>(n));
    for (size_t i = 0; i < size_t(n); ++i) {
        distance[i] = 0.25 * double(i);
        samples[0][i] = 200;
        samples[1][i] = 100;
        samples[2][i] = i >= 100 && i < 200 ? NaN : 0;
    }
    const QRgb colours[3] = {0xFF2020, 0x20FF20, 0x4080FF};
    TProfilePlot plot;
    plot.resize(480, 320);
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    plot.SetProfile(distance, samples, {colours[0], colours[1], colours[2]}, {"A", "B", "C"}, "nm");
    QCOMPARE(plot.RangeMin(), 0.0);
    QCOMPARE(plot.RangeMax(), 200.0);

    const QImage image = plot.PlotArea()->grab().toImage();
    const QRect area = plot.PlotRect(), legend(0, 0, image.width(), area.top() - 1);
    const int rows[3] = {area.top(), area.top() + area.height() / 2, area.bottom()};
    for (int c = 0; c < 3; ++c) {
        const auto [found, count] = FindColour(image, area, colours[c]);
        QVERIFY2(found.size() == 1 && std::abs(found[0] - rows[c]) <= 1,
                 qPrintable(QStringLiteral("channel %1 on %2 rows").arg(c).arg(found.size())));
        QVERIFY(count >= (c == 2 ? 0.6 : 0.99) * area.width());
        QVERIFY(FindColour(image, legend, colours[c]).second > 0); // in the legend too
    }
    // Nothing of the third channel over its gap.
    const double cell = double(area.width()) / n;
    const QRect gap(area.left() + int(101 * cell), area.top(), int(97 * cell), area.height());
    QCOMPARE(FindColour(image, gap, colours[2]).second, 0);

    // The screen follows the next profile (channels swapped top for bottom) with nothing
    // but SetProfile.
    QTest::qWait(20);
    plot.SetProfile(distance, {samples[2], samples[1], samples[0]},
                    {colours[0], colours[1], colours[2]}, {"A", "B", "C"}, {});
    QTest::qWait(20);
    const QImage screen =
        QGuiApplication::primaryScreen()
            ->grabWindow(plot.winId())
            .toImage()
            .copy(QRect(plot.PlotArea()->mapTo(&plot, QPoint()), plot.PlotArea()->size()));
    QCOMPARE(FindColour(screen, area, colours[0]).first.value(0), area.bottom());
    QCOMPARE(FindColour(screen, area, colours[2]).first.value(0), area.top());

    // One channel: no legend. Clear: no curve at all.
    plot.SetProfile(distance, {samples[1]}, {colours[1]}, {"B"}, {});
    QImage one = plot.PlotArea()->grab().toImage();
    QCOMPARE(FindColour(one, legend, colours[1]).second, 0);
    QVERIFY(FindColour(one, area, colours[1]).second > 0);
    plot.Clear();
    one = plot.PlotArea()->grab().toImage();
    QCOMPARE(FindColour(one, one.rect(), colours[1]).second, 0);
    QVERIFY(plot.Distance().empty() && plot.Samples().empty());
}

void TestMeasurePanels::profileTable()
{
    TProfilePlot plot;
    // A short channel is padded with gaps; missing names and colours are filled in.
    plot.SetProfile({0, 0.5, 1, 1.5}, {{10, 11, 12, 13}, {1.25, 2}}, {0x00FF00}, {"GFP"}, "nm");
    QCOMPARE(plot.ChannelNames(), QStringList({"GFP", "C2"}));
    QVERIFY(!plot.TableShown());
    plot.TableButton()->click();
    QVERIFY(plot.TableShown());
    const QAbstractItemModel* model = plot.Table()->model();
    QCOMPARE(model->rowCount(), 4);
    QCOMPARE(model->columnCount(), 3);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QString("distance (nm)"));
    QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QString("C2"));
    QString cells;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            cells += model->index(r, c).data().toString() + (c < 2 ? "|" : ";");
    QCOMPARE(cells, QString("0|10|1.25;0.5|11|2;1|12|;1.5|13|;"));
    QCOMPARE(plot.Csv(), QString("distance,GFP,C2\n0,10,1.25\n0.5,11,2\n1,12,\n1.5,13,\n"));
    plot.Copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), plot.Csv());

    // A new profile while the table shows refreshes it.
    plot.SetProfile({0, 1}, {{5, 6}}, {}, {}, {});
    QCOMPARE(model->rowCount() * 10 + model->columnCount(), 22);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QString("distance (voxels)"));
    plot.TableButton()->click();
    QVERIFY(!plot.TableShown());
}

void TestMeasurePanels::profileIsCheap()
{
    // Every drag step calls SetProfile: 1500 samples of three channels, then a repaint.
    const int n = 1500;
    std::vector<double> distance(n);
    std::vector<std::vector<double>> samples(3, std::vector<double>(n));
    for (size_t i = 0; i < size_t(n); ++i) {
        distance[i] = double(i) * 0.1;
        for (size_t c = 0; c < 3; ++c)
            samples[c][i] = 1000 + 800 * std::sin(double(i) * 0.01 * double(c + 1));
    }
    const std::vector<uint32_t> colours{0x00FF00, 0xFF00FF, 0x00FFFF};
    TProfilePlot plot;
    plot.resize(640, 360);
    plot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plot));
    plot.SetProfile(distance, samples, colours, {"a", "b", "c"}, "\u00b5m");
    const QObjectList children = plot.PlotArea()->children();
    for (int channels : {1, 3, 2, 3}) {
        plot.SetProfile(distance, {samples.begin(), samples.begin() + channels}, {}, {}, {});
        QCOMPARE(plot.PlotArea()->children(), children); // no widget made again
    }

    // The reference: the same three curves drawn as plain polylines into a picture of the
    // plot's size.
    const QRect area = plot.PlotRect();
    QImage reference(plot.PlotArea()->size(), QImage::Format_ARGB32_Premultiplied);
    std::vector<QPointF> points(n);
    const size_t rounds = 200;
    qint64 set = 0, paint = 0, theirs = 0;
    QElapsedTimer timer;
    for (size_t round = 0; round < rounds; ++round) {
        // A different profile each step, on a range that grows as a drag's may.
        samples[0][round] += 1;
        samples[2][round] = 1800 + double(round);
        timer.start();
        plot.SetProfile(distance, samples, colours, {"a", "b", "c"}, "\u00b5m");
        set += timer.nsecsElapsed();
        timer.start();
        plot.PlotArea()->repaint();
        paint += timer.nsecsElapsed();
        timer.start();
        QPainter painter(&reference);
        painter.fillRect(area, Qt::black);
        for (size_t c = 0; c < 3; ++c) {
            painter.setPen(QColor::fromRgb(colours[c]));
            for (size_t i = 0; i < size_t(n); ++i)
                points[i] =
                    QPointF(area.left() + (double(i) + 0.5) * area.width() / n,
                            area.top() + area.height() * (1 - (samples[c][i] - 200) / 1600));
            painter.drawPolyline(points.data(), n);
        }
        painter.end();
        theirs += timer.nsecsElapsed();
    }
    const double ours = double(set + paint) / 1e6 / rounds, plain = double(theirs) / 1e6 / rounds;
    qInfo("SetProfile + repaint of %d samples x 3 channels: %.3f ms (%.3f + %.3f); "
          "three polylines drawn by hand: %.3f ms; ratio %.2f",
          n, ours, double(set) / 1e6 / rounds, double(paint) / 1e6 / rounds, plain, ours / plain);
    QVERIFY2(ours < 10, qPrintable(QString::number(ours)));
}

QTEST_MAIN(TestMeasurePanels)
#include "tst_measurepanels.moc"
