#include "IcsHeaderCheck.h"

#include "FileIo.h"

#include <libics.h>
#include <libics_ll.h>

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <set>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr int64_t MaxHeaderBytes = 1 << 20;
constexpr size_t MaxDimensions = 10;              // libics' own limit
constexpr size_t MaxIcsName = ICS_MAXPATHLEN - 1; // libics' file names, less the zero
constexpr size_t LineChunk = ICS_LINE_LENGTH - 1; // bytes libics takes for one line
constexpr long MaxChannels = ICS_MAX_LAMBDA;

using Fields = std::vector<std::string_view>;

/** The separators a header declares, and where its first line starts. */
struct Separators
{
    char field = 0;
    char line = 0;
    size_t start = 0;
};

/**
 * Reads the separators as libics does: the first two bytes, unless the second is a
 * CR after a field separator other than LF and an LF follows it, which makes the line
 * separator LF (a header written in text mode on Windows).
 */
bool ReadSeparators(std::string_view text, Separators& seps)
{
    if (text.size() < 2 || text[0] == text[1]) return false;
    seps.field = text[0];
    seps.line = text[1];
    seps.start = 2;
    if (seps.line == '\r' && seps.field != '\n') {
        if (text.size() < 3) return false;
        if (text[2] == '\n') {
            seps.line = '\n';
            seps.start = 3;
        }
    }
    return true;
}

/**
 * The lines of a header as libics' line reader returns them: up to and including the
 * line separator, at most LineChunk bytes (a longer line goes on as the next one),
 * a CR before an LF dropped when the separator is LF. A CR at the very end of the
 * file becomes the byte 0xFF, as libics stores the EOF it reads after it.
 */
class LineReader
{
public:
    LineReader(std::string_view text, const Separators& seps)
        : text_(text), pos_(seps.start), sep_(seps.line)
    {
    }

    bool Next(std::string& line)
    {
        line.clear();
        while (line.size() < LineChunk && pos_ < text_.size()) {
            char ch = text_[pos_++];
            if (ch == '\r' && sep_ == '\n') {
                if (pos_ >= text_.size()) {
                    ch = char(0xFF);
                } else if (text_[pos_] == '\n') {
                    ch = text_[pos_++];
                }
            }
            line.push_back(ch);
            if (ch == sep_) break;
        }
        return !line.empty();
    }

    /** The offset of the byte after the last line read. */
    size_t Position() const { return pos_; }

private:
    std::string_view text_;
    size_t pos_;
    char sep_;
};

/** The fields of a line as strtok splits it at either separator, after a NUL cut. */
Fields Tokens(std::string_view line, const Separators& seps)
{
    line = line.substr(0, line.find('\0'));
    Fields fields;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = start;
        while (end < line.size() && line[end] != seps.field && line[end] != seps.line)
            ++end;
        if (end > start) fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

/** A plain unsigned decimal number without overflow. */
bool ParseCount(std::string_view text, uint64_t& value)
{
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
    }
    return true;
}

/** The value atoi() gives, saturated instead of overflowing. */
long AtoiValue(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value > 100000000 ? 1000000000 : value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

/**
 * A keyword as libics compares it: categories, subcategories and values ignore case
 * ("SENSOR S_PARAMS" is a sensor parameter line); only the first two lines' words
 * (ics_version, filename) must be written exactly.
 */
bool Is(std::string_view field, std::string_view keyword)
{
    return field.size() == keyword.size() &&
           std::equal(field.begin(), field.end(), keyword.begin(), [](char a, char b) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
               return lower(a) == lower(b);
           });
}

bool StartsWith(const Fields& fields, std::string_view a, std::string_view b)
{
    return fields.size() >= 2 && Is(fields[0], a) && Is(fields[1], b);
}

/** Stats `path` without opening it: a regular file. */
bool IsRegularFile(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

/**
 * Checks that the data, `bytes` from `offset` on, fit the data file `name` of `length`
 * bytes when uncompressed, and records in `files` what is available.
 */
bool CheckDataLength(const std::string& name, int64_t length, uint64_t offset, uint64_t bytes,
                     bool compressed, std::string& message, IcsDataFile& files)
{
    uint64_t needed = 0;
    if (!compressed &&
        (__builtin_add_overflow(offset, bytes, &needed) || uint64_t(length) < needed)) {
        message = "the data file " + name + " holds " + std::to_string(length) +
                  " bytes, fewer than the " + std::to_string(bytes) +
                  " bytes of image data the header gives";
        return false;
    }
    files.Available = uint64_t(length) > offset ? int64_t(uint64_t(length) - offset) : 0;
    files.Compressed = compressed;
    return true;
}

/**
 * Opens and checks the data file, the first of `candidates` that exists: it must be a
 * regular file and, uncompressed, hold `bytes` from `offset`. A FIFO or a device is
 * refused before it is opened; one that takes the name meanwhile, after. A candidate
 * that `known` has open already is taken from it, not opened again.
 */
bool CheckDataFile(const std::vector<std::string>& candidates, uint64_t offset, uint64_t bytes,
                   bool compressed, std::string& message, IcsDataFile& files,
                   FileIo::OpenedFile* known)
{
    for (const std::string& candidate : candidates) {
        if (!Exists(candidate)) continue;
        if (!IsRegularFile(candidate)) {
            message = "the data file " + candidate + " is not a regular file";
            return false;
        }
        std::string reason;
        if (known && known->Handle.IsOpen() && known->Name == candidate) {
            files.Data = std::move(known->Handle);
        } else if (!files.Data.OpenRegular(candidate, reason)) {
            message = "the data file " + candidate + ": " + reason;
            return false;
        }
        return CheckDataLength(candidate, files.Data.Size(), offset, bytes, compressed, message,
                               files);
    }
    message = "the data file " + candidates.front() + " is missing";
    return false;
}

/** True when a sensor parameter line (fields from the third on) is one libics mishandles. */
bool HostileSensorLine(const Fields& fields, std::string& message)
{
    if (fields.size() < 2 || (!Is(fields[1], "s_params") && !Is(fields[1], "s_states")))
        return false;
    // libics takes the third field's length without looking whether there is one.
    if (fields.size() == 2) {
        message = "the ICS header has a sensor line without values";
        return true;
    }
    // It then copies a type name for every declared channel into room for 32.
    std::string_view name = fields[2];
    if (!name.empty() && name.back() == ']') name = name.substr(0, name.find('['));
    if (Is(fields[1], "s_params") && (Is(name, "Channels") || Is(name, "Detectors")) &&
        fields.size() >= 4 && AtoiValue(fields[3]) > MaxChannels) {
        message =
            "the ICS header declares more than " + std::to_string(MaxChannels) + " sensor channels";
        return true;
    }
    return false;
}

/**
 * libics keeps file names in buffers of 512 bytes and fails on longer ones with a
 * misleading "file open error".
 */
bool CheckNameLength(const std::string& fileName, std::string& message)
{
    if (fileName.size() <= MaxIcsName) return true;
    message = "the name is longer than the " + std::to_string(MaxIcsName) +
              " bytes the ICS reader accepts";
    return false;
}

/** CheckIcsHeader on an open header whose name has been checked. */
bool CheckOpenHeader(FileIo::OpenedFile&& header, std::string& message, IcsDataFile* data,
                     FileIo::OpenedFile* known)
{
    IcsDataFile unused;
    IcsDataFile& files = data ? *data : unused;
    files.Data.Close();
    files.DataCodec = IcsDataFile::Codec::Declared;
    files.Header = std::move(header.Handle);
    FileIo::File& file = files.Header;
    const std::string& fileName = header.Name;
    // The header must end within its first MiB; image data may follow it. The bytes
    // read before are its start, and the rest is read on from them.
    const size_t length = size_t(std::min<int64_t>(file.Size(), MaxHeaderBytes));
    std::string text = std::move(header.Head);
    if (const size_t had = text.size(); had < length) {
        text.resize(length);
        text.resize(had + file.ReadFully(text.data() + had, length - had));
    } else {
        text.resize(length);
    }
    const bool cut = file.Size() > int64_t(text.size());

    Separators seps;
    if (!ReadSeparators(text, seps)) {
        message = text.size() < 3 ? "the file is too short for an ICS header"
                                  : "the ICS header has no valid separators";
        return false;
    }
    LineReader reader(text, seps);
    std::string line;
    Fields fields;
    if (!reader.Next(line) || (fields = Tokens(line, seps)).size() < 2 ||
        fields[0] != "ics_version" || (fields[1] != "1.0" && fields[1] != "2.0")) {
        message = "the file is not an ICS header (no ics_version 1.0 or 2.0 line)";
        return false;
    }
    const int version = fields[1] == "2.0" ? 2 : 1;
    if (!reader.Next(line) || (fields = Tokens(line, seps)).empty() || fields[0] != "filename") {
        message = "the ICS header has no filename line";
        return false;
    }

    // libics overwrites the entries of a repeated line one by one, so each list keeps
    // every value it was ever given at a position.
    std::vector<std::string_view> sizeFields;
    std::vector<std::string_view> byteOrder;
    bool compressed = false;
    std::string source;
    uint64_t sourceOffset = 0;
    int64_t headerEnd = -1;
    const auto assign = [](std::vector<std::string_view>& list, const Fields& values) {
        for (size_t i = 2; i < values.size(); ++i) {
            if (list.size() < i - 1) list.resize(i - 1);
            list[i - 2] = values[i];
        }
    };

    // Lines stay in place while their fields are in use.
    std::deque<std::string> lines;
    while (reader.Next(line)) {
        lines.push_back(line);
        fields = Tokens(lines.back(), seps);
        if (fields.empty()) continue;
        if (Is(fields[0], "end")) {
            headerEnd = int64_t(reader.Position());
            break;
        }
        if (HostileSensorLine(fields, message)) return false;
        if (StartsWith(fields, "layout", "sizes")) {
            if (fields.size() - 2 > MaxDimensions) {
                message = "the ICS header gives more than 10 sizes";
                return false;
            }
            assign(sizeFields, fields);
        }
        if (StartsWith(fields, "representation", "byte_order")) assign(byteOrder, fields);
        if (StartsWith(fields, "representation", "compression"))
            compressed = fields.size() >= 3 && !Is(fields[2], "uncompressed");
        // "source file NAME" takes the name alone; the offset has a line of its own.
        if (StartsWith(fields, "source", "file") && fields.size() >= 3)
            source = std::string(fields[2]);
        if (StartsWith(fields, "source", "offset") && fields.size() >= 3 &&
            !ParseCount(fields[2], sourceOffset)) {
            message = "the ICS header gives an invalid data offset";
            return false;
        }
    }
    if (headerEnd < 0 && cut) {
        message = "the ICS header is larger than 1 MiB";
        return false;
    }

    // The first size is the number of bits of a sample.
    std::vector<uint64_t> sizes;
    for (std::string_view field : sizeFields) {
        uint64_t value = 0;
        if (!ParseCount(field, value)) {
            message = "the ICS header gives an invalid size '" + std::string(field) + "'";
            return false;
        }
        sizes.push_back(value);
    }
    if (sizes.empty()) {
        message = "the ICS header gives no sizes";
        return false;
    }
    const uint64_t bits = sizes[0];
    const uint64_t sampleBytes = (bits + 7) / 8;
    if (bits == 0 || sampleBytes > 16) {
        message = "the ICS header gives samples of " + std::to_string(bits) + " bits";
        return false;
    }
    uint64_t bytes = sampleBytes;
    for (size_t i = 1; i < sizes.size(); ++i)
        if (__builtin_mul_overflow(bytes, sizes[i], &bytes)) {
            message = "the image sizes in the ICS header overflow";
            return false;
        }

    if (byteOrder.size() > sampleBytes) {
        message = "the byte order names more bytes than a sample has";
        return false;
    }
    // A byte named twice leaves another byte of every sample unwritten by the reader.
    std::set<uint64_t> named;
    for (std::string_view entry : byteOrder) {
        uint64_t value = 0;
        if (!ParseCount(entry, value) || value < 1 || value > sampleBytes) {
            message = "the byte order '" + std::string(entry) + "' names no byte of a " +
                      std::to_string(sampleBytes) + "-byte sample";
            return false;
        }
        if (!named.insert(value).second) {
            message = "the byte order names byte " + std::string(entry) + " twice";
            return false;
        }
    }

    if (version == 2) {
        if (source.size() > MaxIcsName) {
            message = "the data file's name is longer than the ICS reader accepts";
            return false;
        }
        // A relative name is looked for where libics looks, in the working folder, and
        // then beside the header, where writers put it.
        if (!source.empty()) {
            std::vector<std::string> candidates{source};
            if (source[0] != '/' && !FolderOf(fileName).empty())
                candidates.push_back(FolderOf(fileName) + source);
            return CheckDataFile(candidates, sourceOffset, bytes, compressed, message, files,
                                 known);
        }
        // A single file: the data follows the header's "end" line.
        if (headerEnd < 0) {
            message = "the version 2 ICS header has neither a data file nor an end line";
            return false;
        }
        return CheckDataLength(fileName, file.Size(), uint64_t(headerEnd), bytes, compressed,
                               message, files);
    }
    // Version 1: the data lies in the file whose name libics derives from the header's
    // (NAME.ids beside NAME.ics, NAME.IDS beside NAME.ICS, NAME.ids beside another
    // name), or in a compressed copy of it.
    char idsName[ICS_MAXPATHLEN];
    IcsGetIdsName(idsName, fileName.c_str());
    const std::string ids = idsName;
    constexpr struct
    {
        const char* suffix;
        IcsDataFile::Codec codec;
    } copies[] = {{"", IcsDataFile::Codec::Declared},
                  {".gz", IcsDataFile::Codec::Gzip},
                  {".Z", IcsDataFile::Codec::Compress}};
    for (const auto& copy : copies)
        if (Exists(ids + copy.suffix)) {
            files.DataCodec = copy.codec;
            return CheckDataFile({ids + copy.suffix}, 0, bytes,
                                 compressed || copy.codec != IcsDataFile::Codec::Declared, message,
                                 files, known);
        }
    message = "the data file " + ids + " is missing";
    return false;
}

} // namespace

bool CheckIcsHeader(const std::string& fileName, std::string& message, IcsDataFile* data)
{
    if (!CheckNameLength(fileName, message)) return false;
    FileIo::OpenedFile header;
    header.Name = fileName;
    if (!header.Handle.OpenRegular(fileName, message)) {
        if (data) *data = IcsDataFile(); // nothing was checked, and nothing is open
        return false;
    }
    return CheckOpenHeader(std::move(header), message, data, nullptr);
}

bool CheckIcsHeader(FileIo::OpenedFile header, std::string& message, IcsDataFile* data,
                    FileIo::OpenedFile* known)
{
    return CheckNameLength(header.Name, message) &&
           CheckOpenHeader(std::move(header), message, data, known);
}

bool IsIcsHeaderStart(std::string_view head)
{
    Separators seps;
    if (!ReadSeparators(head, seps)) return false;
    LineReader reader(head, seps);
    std::string line;
    if (!reader.Next(line)) return false;
    const Fields fields = Tokens(line, seps);
    return fields.size() >= 2 && fields[0] == "ics_version" &&
           (fields[1] == "1.0" || fields[1] == "2.0");
}
