#pragma once

#include <string>
#include <string_view>

/**
 * Text the program prints, for people and for scripts.
 *
 * Everything printed for scripts (figures, tables) uses the C numeric conventions
 * whatever the locale: a decimal point, no grouping. Bytes taken from files or
 * arguments are shown through QuoteBytes in every message, on standard error and in
 * the window, so that no control sequence reaches a terminal.
 */

/** `value` formatted with the printf `format` (one double) in the C locale. */
std::string FormatC(const char* format, double value);

/** The figure as scripts read it: "%2.3f" in the C locale ("nan" when not a number). */
std::string FormatFigure(float figure);

/**
 * `bytes` made safe to show: valid UTF-8 stays as it is, while control characters
 * (below 0x20, 0x7F, and U+0080 … U+009F) and bytes that are not part of valid UTF-8
 * are written as \xHH.
 */
std::string QuoteBytes(std::string_view bytes);

/** QuoteBytes(bytes) between single quotes, as messages name files and words. */
std::string InQuotes(std::string_view bytes);

/**
 * QuoteBytes of at most `limit` bytes of `bytes` (cut at a character boundary),
 * followed by "..." when it was cut.
 */
std::string QuoteShortened(std::string_view bytes, size_t limit = 60);

/**
 * Why the volume loaded from `file` (X × Y × Z voxels) has no figure: narrower than 10
 * voxels, or no voxels at all. The file is named in quotes.
 */
std::string NoFigureReason(std::string_view file, int x, int y, int z);
