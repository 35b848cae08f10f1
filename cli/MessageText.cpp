#include "MessageText.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include <locale.h>

namespace {

/** The C locale, made once; printf under uselocale() follows it on this thread only. */
locale_t CLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return c;
}

/** Length of the valid UTF-8 sequence at `s` (at most `n` bytes), or 0. */
size_t Utf8Length(const unsigned char* s, size_t n)
{
    const unsigned char c = s[0];
    size_t length = 0;
    uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (n < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        code = code << 6 | (s[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not valid.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    // C1 controls are control characters too.
    if (code >= 0x80 && code <= 0x9F) return 0;
    return length;
}

void AppendEscaped(std::string& out, unsigned char byte)
{
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

/** Quotes whole characters of `bytes` up to `limit` bytes; returns the bytes taken. */
size_t Quote(std::string_view bytes, size_t limit, std::string& out)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char c = s[i];
        // A valid multi-byte character goes whole; any other byte alone.
        const size_t character = c >= 0x80 ? Utf8Length(s + i, bytes.size() - i) : 1;
        const size_t length = std::max<size_t>(character, 1);
        if (i + length > limit) break;
        if (c < 0x20 || c == 0x7F || character == 0)
            AppendEscaped(out, c);
        else
            out.append(bytes.substr(i, length));
        i += length;
    }
    return i;
}

} // namespace

std::string FormatC(const char* format, double value)
{
    const locale_t previous = uselocale(CLocale());
    char text[512];
    const int n = std::snprintf(text, sizeof text, format, value);
    uselocale(previous);
    return n < 0 ? std::string() : std::string(text, std::min<size_t>(size_t(n), sizeof text - 1));
}

std::string FormatFigure(float figure)
{
    // printf writes a NaN with its sign bit as "-nan"; a figure that is not a number
    // reads the same whatever its bits.
    if (std::isnan(figure)) return "nan";
    return FormatC("%2.3f", double(figure));
}

std::string QuoteBytes(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    Quote(bytes, bytes.size(), out);
    return out;
}

std::string InQuotes(std::string_view bytes)
{
    // Built by appending: GCC 12 warns falsely about "'" + std::string.
    std::string out(1, '\'');
    Quote(bytes, bytes.size(), out);
    out += '\'';
    return out;
}

std::string QuoteShortened(std::string_view bytes, size_t limit)
{
    std::string out;
    if (Quote(bytes, limit, out) < bytes.size()) out += "...";
    return out;
}

/** Why a volume of X × Y × Z voxels has no figure, after its subject. */
std::string NoFigurePredicate(int x, int y, int z)
{
    if (x < 10)
        return "is " + std::to_string(x) + " voxel" + (x == 1 ? "" : "s") +
               " wide; the figure needs at least 10";
    return "holds no voxels (" + std::to_string(x) + " x " + std::to_string(y) + " x " +
           std::to_string(z) + "); it has no figure";
}

namespace {

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

std::string NoFigureReason(std::string_view file, int x, int y, int z)
{
    return InQuotes(file) + ' ' + NoFigurePredicate(x, y, z);
}

std::string NoFigureReason(int x, int y, int z)
{
    return "the volume " + NoFigurePredicate(x, y, z);
}

std::string DescribeCurrentException()
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "Out of memory.";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return {};
    }
}

namespace {

/**
 * Appends `bytes` to `out`: bytes that `plain` (given the bytes and a position) accepts
 * and valid UTF-8 characters other than C1 controls go as they are, every other byte
 * through `escape`.
 */
template <typename Plain, typename Escape>
void AppendWithEscapes(std::string& out, std::string_view bytes, Plain plain, Escape escape)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t start = 0; // start of the bytes not yet appended, which need no escape
    for (size_t i = 0; i < n;) {
        if (plain(s, i, n)) {
            ++i;
            continue;
        }
        const size_t character = s[i] >= 0x80 ? Utf8Length(s + i, n - i) : 0;
        if (character > 0) {
            i += character;
            continue;
        }
        out.append(bytes.substr(start, i - start));
        escape(out, s[i]);
        start = ++i;
    }
    out.append(bytes.substr(start));
}

} // namespace

void AppendTableCell(std::string& out, std::string_view bytes)
{
    AppendWithEscapes(
        out, bytes,
        [](const unsigned char* s, size_t i, size_t) {
            return s[i] >= 0x20 && s[i] < 0x7F && s[i] != '\\';
        },
        [](std::string& text, unsigned char c) {
            switch (c) {
            case '\\':
                text += "\\\\";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            default:
                AppendEscaped(text, c);
            }
        });
}

void AppendCsvField(std::string& out, std::string_view bytes)
{
    const bool quoted = bytes.find_first_of(",\"\n\r") != std::string_view::npos;
    if (quoted) out += '"';
    AppendWithEscapes(
        out, bytes,
        [](const unsigned char* s, size_t i, size_t n) {
            const unsigned char c = s[i];
            const bool text = (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r';
            const bool readsAsEscape = c == '\\' && i + 3 < n && s[i + 1] == 'x' &&
                                       IsHexDigit(char(s[i + 2])) && IsHexDigit(char(s[i + 3]));
            return text && c != '"' && !readsAsEscape;
        },
        [](std::string& text, unsigned char c) {
            if (c == '"')
                text += "\"\"";
            else
                AppendEscaped(text, c);
        });
    if (quoted) out += '"';
}

bool CheckedOutput::Write(std::string_view text, bool flush)
{
    if (failed_) return false;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), out_) != text.size()) {
        Fail(errno);
        return false;
    }
    return !flush || Flush();
}

bool CheckedOutput::Flush()
{
    if (failed_) return false;
    // A write that failed unseen (straight on the stream) still counts.
    const bool earlier = std::ferror(out_) != 0;
    errno = 0;
    if (std::fflush(out_) != 0 || earlier) {
        Fail(errno);
        return false;
    }
    return true;
}

bool CheckedOutput::Close()
{
    const bool flushed = Flush();
    errno = 0;
    const bool closed = std::fclose(out_) == 0;
    if (!closed && flushed) Fail(errno);
    return flushed && closed;
}

void CheckedOutput::Fail(int error)
{
    if (failed_) return;
    failed_ = true;
    if (beforeMessage_) beforeMessage_();
    std::fprintf(err_, "volinspect: cannot write the output: %s\n",
                 std::strerror(error != 0 ? error : EIO));
    std::fflush(err_);
}

CheckedOutput& StandardOutput()
{
    static CheckedOutput output(stdout, stderr);
    return output;
}
