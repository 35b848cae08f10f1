#pragma once

#include <cstdio>
#include <string>
#include <vector>

/**
 * The table mode: the high-frequency figures of many files, one line each, computed on
 * several threads.
 *
 *   volinspect --figures [--jobs N] [--csv] [--] FILE...
 *   volinspect --figures [--jobs N] [--csv] -   (names from standard input, one a line)
 *
 * Standard output gets a header line and then one line per volume, in the order given:
 * the name, the figure with 9 significant digits ("nan" when there is none), the three
 * sizes (empty when the load failed), the volume's channel and frame in its file (0 and
 * 0: files hold one volume) and a message (why there is no figure, else the load's
 * warnings, else nothing). The table is tab-separated with its cells escaped by
 * AppendTableCell, or with --csv an RFC 4180 table of AppendCsvField fields. A name read
 * from standard input that holds a NUL byte is not loaded (the system would open the part
 * before it): its row says so. Each line is flushed as it is written. Standard error gets one line
 * for each file that fails to load or has no figure, and each load warning. No Qt at all: no
 * display, no window, no platform plugin.
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
 * --jobs that is not a positive number, names mixed with "-", an unknown option) or
 * when not one worker thread can start, 3 when the table could not be written
 * (OutputFailedStatus; the run stops at the first failed write). "-h", "--help" and
 * "--version" among the options print the usage or the version instead. When fewer
 * worker threads start than asked for, a warning says so and the run goes on.
 */
int RunFigureTable(const std::vector<std::string>& args, const FigureTableStreams& streams);

/** The header line of the tab-separated table, with its line end. */
extern const char* const FigureTableHeader;
/** The header line of the CSV table, with its line end. */
extern const char* const FigureCsvHeader;
