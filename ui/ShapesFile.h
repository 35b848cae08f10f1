#pragma once

#include "MeasureShape.h"

#include <QByteArray>
#include <QString>

#include <vector>

/**
 * The shapes file: the measuring shapes drawn on a volume, kept beside it as
 * `FILE.shapes.json`, a JSON object naming its format ("format": "volinspect shapes"),
 * its format version and the list of shapes. docs/shapes.md describes it for users and
 * scripts.
 *
 * Messages in `error` give the reason alone; the caller names the file.
 */

/** The format version this program writes and reads. */
constexpr int ShapesFormatVersion = 1;

/** The shapes file of `volumeFile`: its name followed by ".shapes.json". */
QString ShapesFileName(const QString& volumeFile);

/**
 * Writes `shapes` to the shapes file of `volumeFile`, replacing it only once the whole
 * file is written (a failed write leaves the old file as it was). An empty list removes
 * the file instead, so that a volume whose shapes were all deleted opens with none and
 * no file is left beside it; with no file there, nothing is written. False with the
 * reason in `error` when the file cannot be written or removed, or a coordinate is not
 * a finite number.
 *
 * A window that could not load the file (LoadShapes false) should not save over it
 * unasked: the file may be the user's, edited by hand.
 */
bool SaveShapes(const QString& volumeFile, const std::vector<MeasureShape>& shapes, QString& error);

/**
 * Reads the shapes file of `volumeFile` into `shapes`. No file: true and no shapes. A
 * file that cannot be read, is not JSON, is not a shapes file, has another format
 * version or holds a shape that makes no sense: false with the reason in `error`, and
 * `shapes` left as it was. Keys the format does not know are ignored.
 */
bool LoadShapes(const QString& volumeFile, std::vector<MeasureShape>& shapes, QString& error);

/**
 * Writes `bytes` to `file` through a temporary file that replaces it only once every
 * byte has reached the file system: a failed write (a full disk, a folder that may not
 * be written) leaves an existing file as it was. False with the reason in `error`.
 */
bool WriteWholeFile(const QString& file, const QByteArray& bytes, QString& error);

/** The text of a shapes file holding `shapes` (coordinates must be finite). */
QByteArray ShapesJson(const std::vector<MeasureShape>& shapes);

/** Reads the text of a shapes file, as LoadShapes reads the file. */
bool ParseShapesJson(const QByteArray& json, std::vector<MeasureShape>& shapes, QString& error);
