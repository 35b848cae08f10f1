#pragma once

#include <cstdio>
#include <string>
#include <vector>

/**
 * The table mode: the high-frequency figures of many files, one line each, computed on
 * several threads.
 *
 *   volinspect --figures [--jobs N] [--] FILE...
 *   volinspect --figures [--jobs N] -          (names from standard input, one a line)
 *
 * Standard output gets a header line and then one line per file, in the order given:
 * the name (control characters written as \xHH), the figure with 9 significant digits
 * ("nan" when there is none) and the three sizes (empty when the load failed),
 * separated by tabs. Each line is flushed as it is written. Standard error gets one line
 * for each file that fails to load or has no figure, and each load warning. No Qt at
 * all: no display, no window, no platform plugin.
 */

/** Where a table run reads names and writes its table, messages and progress. */
struct FigureTableStreams
{
    std::FILE* in = stdin;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    /** A progress line on `err` at most ten times a second (for a terminal). */
    bool progress = false;
};

/**
 * Runs the table mode on `args`, the words after "--figures". Returns the exit status:
 * 0 when every file gave a figure, 1 otherwise, 2 for a usage error (no files, a
 * --jobs that is not a positive number, names mixed with "-", an unknown option), 3 when
 * the table could not be written (OutputFailedStatus; the run stops at the first failed
 * write).
 */
int RunFigureTable(const std::vector<std::string>& args, const FigureTableStreams& streams);

/** The header line of the table, with its line end. */
extern const char* const FigureTableHeader;
