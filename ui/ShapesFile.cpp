#include "ShapesFile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSaveFile>

#include <charconv>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cmath>
#include <optional>

namespace {

/** The value of "format" that marks a shapes file. */
constexpr char FormatName[] = "volinspect shapes";

/** Files longer than this are not read: no list of shapes drawn by hand comes near it. */
constexpr qint64 LargestFile = 16 << 20;

/** `value` as JSON: the shortest text that reads back as the same double. */
void AppendNumber(QByteArray& out, double value)
{
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    if (error == std::errc()) out.append(text, end - text);
}

/** The number at `key` when it is a finite one. */
std::optional<double> FiniteNumber(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble() || !std::isfinite(value.toDouble())) return std::nullopt;
    return value.toDouble();
}

bool Finite(const MeasureShape& shape)
{
    return std::isfinite(shape.X0) && std::isfinite(shape.Y0) && std::isfinite(shape.X1) &&
           std::isfinite(shape.Y1);
}

/** Reads entry `number` (from 1) of the list; false with the reason in `error`. */
bool ReadShape(const QJsonValue& entry, int number, MeasureShape& shape, QString& error)
{
    const QString which = QStringLiteral("shape %1").arg(number);
    if (!entry.isObject()) {
        error = QStringLiteral("%1 is not a JSON object").arg(which);
        return false;
    }
    const QJsonObject object = entry.toObject();
    const QString kindName = object.value(QLatin1String("shape")).toString();
    const auto kind = MeasureKindNamed(kindName.toStdString());
    if (!kind) {
        error = QStringLiteral("%1: \"shape\" is \"%2\", not line, rectangle or point")
                    .arg(which, kindName);
        return false;
    }
    const QString viewName = object.value(QLatin1String("view")).toString();
    const auto view = MeasureViewNamed(viewName.toStdString());
    if (!view) {
        error = QStringLiteral("%1: \"view\" is \"%2\", not XY, XZ or ZY").arg(which, viewName);
        return false;
    }
    const std::optional<double> slice = FiniteNumber(object, "slice");
    if (!slice || *slice < 0 || *slice > INT_MAX || *slice != std::floor(*slice)) {
        error = QStringLiteral("%1: \"slice\" is not a whole number from 0").arg(which);
        return false;
    }
    // A point has one position; whatever else it holds is not read.
    const bool point = *kind == MeasureShape::Point;
    double coordinates[4] = {};
    const char* const keys[4] = {"x0", "y0", "x1", "y1"};
    for (int k = 0; k < (point ? 2 : 4); ++k) {
        const std::optional<double> value = FiniteNumber(object, keys[k]);
        if (!value) {
            error = QStringLiteral("%1: \"%2\" is not a number").arg(which, QLatin1String(keys[k]));
            return false;
        }
        coordinates[k] = *value;
    }
    if (point) {
        coordinates[2] = coordinates[0];
        coordinates[3] = coordinates[1];
    }
    shape = MeasureShape{*kind,          *view,          int(*slice),   coordinates[0],
                         coordinates[1], coordinates[2], coordinates[3]};
    return true;
}

} // namespace

bool WriteWholeFile(const QString& file, const QByteArray& bytes, QString& error)
{
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        error = out.errorString();
        return false;
    }
    // The bytes wait in the device's buffer; flushing them here is what meets a full
    // disk. A write cut short while commit flushes is not reported by commit itself, so
    // the flush comes first and its failure cancels the file.
    errno = 0;
    if (out.write(bytes) != bytes.size() || !out.flush()) {
        // A write cut short leaves Qt without a reason of its own; the system's is in errno.
        const int code = errno;
        error = code ? QString::fromLocal8Bit(std::strerror(code)) : out.errorString();
        out.cancelWriting();
        return false;
    }
    if (!out.commit()) {
        error = out.errorString();
        return false;
    }
    return true;
}

QString ShapesFileName(const QString& volumeFile)
{
    return volumeFile + QStringLiteral(".shapes.json");
}

QByteArray ShapesJson(const std::vector<MeasureShape>& shapes)
{
    // One shape a line: readable, and a change to one shape is a change to one line.
    QByteArray out;
    out += "{\n  \"format\": \"";
    out += FormatName;
    out += "\",\n  \"version\": " + QByteArray::number(ShapesFormatVersion) + ",\n";
    out += "  \"shapes\": [";
    for (size_t i = 0; i < shapes.size(); ++i) {
        const MeasureShape& s = shapes[i];
        out += i ? ",\n    {" : "\n    {";
        out += "\"shape\": \"" +
               QByteArray(MeasureKindName(s.Shape).data(),
                          qsizetype(MeasureKindName(s.Shape).size())) +
               "\", ";
        out +=
            "\"view\": \"" +
            QByteArray(MeasureViewName(s.View).data(), qsizetype(MeasureViewName(s.View).size())) +
            "\", ";
        out += "\"slice\": " + QByteArray::number(s.Slice) + ", \"x0\": ";
        AppendNumber(out, s.X0);
        out += ", \"y0\": ";
        AppendNumber(out, s.Y0);
        if (s.Shape != MeasureShape::Point) {
            out += ", \"x1\": ";
            AppendNumber(out, s.X1);
            out += ", \"y1\": ";
            AppendNumber(out, s.Y1);
        }
        out += '}';
    }
    out += shapes.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

bool ParseShapesJson(const QByteArray& json, std::vector<MeasureShape>& shapes, QString& error)
{
    // Editors on some systems start UTF-8 text with a byte order mark; JSON has none.
    const QByteArray text = json.startsWith("\xEF\xBB\xBF") ? json.mid(3) : json;
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("it is not valid JSON (%1 at byte %2)")
                    .arg(parse.errorString())
                    .arg(parse.offset + (text.size() < json.size() ? 3 : 0));
        return false;
    }
    const QJsonObject top = document.object();
    if (!document.isObject() || top.value(QLatin1String("format")).toString() != FormatName) {
        error = QStringLiteral("it is not a shapes file (it has no \"format\": \"%1\")")
                    .arg(QLatin1String(FormatName));
        return false;
    }
    const std::optional<double> version = FiniteNumber(top, "version");
    if (!version || *version < 1 || *version != std::floor(*version)) {
        error = QStringLiteral("it has no valid format version");
        return false;
    }
    if (*version != ShapesFormatVersion) {
        error = QStringLiteral("it is in shapes format version %1; this version of volinspect "
                               "reads version %2")
                    .arg(*version, 0, 'f', 0)
                    .arg(ShapesFormatVersion);
        return false;
    }
    const QJsonValue list = top.value(QLatin1String("shapes"));
    if (!list.isArray()) {
        error = QStringLiteral("its \"shapes\" is not a list");
        return false;
    }
    const QJsonArray entries = list.toArray();
    std::vector<MeasureShape> read(size_t(entries.size()));
    for (qsizetype i = 0; i < entries.size(); ++i)
        if (!ReadShape(entries[i], int(i) + 1, read[size_t(i)], error)) return false;
    shapes = std::move(read);
    return true;
}

bool SaveShapes(const QString& volumeFile, const std::vector<MeasureShape>& shapes, QString& error)
{
    const QString name = ShapesFileName(volumeFile);
    if (shapes.empty()) {
        QFile file(name);
        if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink()) return true;
        if (!file.remove()) {
            error = QStringLiteral("cannot remove it: %1").arg(file.errorString());
            return false;
        }
        return true;
    }
    for (size_t i = 0; i < shapes.size(); ++i)
        if (!Finite(shapes[i])) {
            error = QStringLiteral("shape %1 has a coordinate that is not a number").arg(i + 1);
            return false;
        }
    return WriteWholeFile(name, ShapesJson(shapes), error);
}

bool LoadShapes(const QString& volumeFile, std::vector<MeasureShape>& shapes, QString& error)
{
    const QString name = ShapesFileName(volumeFile);
    const QFileInfo info(name);
    if (!info.exists()) {
        shapes.clear();
        return true;
    }
    if (info.isDir()) {
        error = QStringLiteral("it is a folder");
        return false;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read it: %1").arg(file.errorString());
        return false;
    }
    if (file.size() > LargestFile) {
        error = QStringLiteral("it is %1 bytes long, too long for a shapes file").arg(file.size());
        return false;
    }
    const QByteArray text = file.read(LargestFile + 1);
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("cannot read it: %1").arg(file.errorString());
        return false;
    }
    if (text.size() > LargestFile) {
        error = QStringLiteral("it is longer than %1 bytes, too long for a shapes file")
                    .arg(LargestFile);
        return false;
    }
    return ParseShapesJson(text, shapes, error);
}
