#pragma once

#include <cstdio>
#include <functional>
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

/** What NoFigureReason says after the name: "is 9 voxels wide; ...". */
std::string NoFigurePredicate(int x, int y, int z);

/** NoFigureReason for a text that names no file: "the volume is 9 voxels wide; ...". */
std::string NoFigureReason(int x, int y, int z);

/**
 * What the exception being handled says, for people: "Out of memory." for bad_alloc,
 * what() of any other standard exception, empty for anything else. Call it only while
 * an exception is handled (in a catch block).
 */
std::string DescribeCurrentException();

/**
 * Appends `bytes` to `out` as a cell of a tab-separated table: a backslash as \\, a tab
 * as \t, a line feed as \n, a carriage return as \r, other control characters (below
 * 0x20, 0x7F, U+0080 … U+009F) and bytes that are not part of valid UTF-8 as \xHH, and
 * everything else as it is. The cell holds no tab and no line end, and reads back to
 * exactly `bytes`.
 */
void AppendTableCell(std::string& out, std::string_view bytes);

/**
 * Appends `bytes` to `out` as a field of an RFC 4180 table: control characters other
 * than tab, line feed and carriage return, and bytes that are not part of valid UTF-8,
 * as \xHH; a backslash that would read as such an escape (followed by "x" and two hex
 * digits) as \x5c; the field between double quotes, its quotes doubled, when it holds
 * a comma, a double quote, a line feed or a carriage return. A CSV reader gives back
 * every name that is valid UTF-8 exactly; replacing each \xHH by its byte gives back
 * any name.
 */
void AppendCsvField(std::string& out, std::string_view bytes);

/** The exit status of a run whose output could not be written. */
constexpr int OutputFailedStatus = 3;

/**
 * Output that checks every write: the first write, flush or close that fails is said
 * once on `err`, as "volinspect: cannot write the output: REASON", and every later
 * write does nothing. A closed pipe ends the program by SIGPIPE before any of this,
 * as it ends every program that writes to one.
 */
class CheckedOutput
{
public:
    /** `beforeMessage` runs before the failure is said (to take a progress line away). */
    explicit CheckedOutput(std::FILE* out, std::FILE* err = stderr,
                           std::function<void()> beforeMessage = {})
        : out_(out), err_(err), beforeMessage_(std::move(beforeMessage))
    {
    }

    /** Writes `text` and, with `flush`, hands it to the system at once; false once failed. */
    bool Write(std::string_view text, bool flush = true);
    /** Hands what is buffered to the system; false once failed. */
    bool Flush();
    /**
     * Flushes and closes the stream, also when a write failed (without saying it twice);
     * false when the output was not all written.
     */
    bool Close();
    bool Failed() const { return failed_; }

private:
    /** Says why the output failed (the errno `error`), once. */
    void Fail(int error);

    std::FILE* out_;
    std::FILE* err_;
    std::function<void()> beforeMessage_;
    bool failed_ = false;
};

/** The program's standard output, checked (on standard error). */
CheckedOutput& StandardOutput();
