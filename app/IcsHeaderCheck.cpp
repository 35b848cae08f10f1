#include "IcsHeaderCheck.h"

#include "FileIo.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr int64_t MaxHeaderBytes = 1 << 20;
constexpr size_t MaxDimensions = 10; // libics' own limit
constexpr size_t MaxIcsName = 511;    // libics' file names, less the terminating zero

using Fields = std::vector<std::string_view>;

std::string_view Trim(std::string_view text)
{
    const auto space = [](char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

/** Splits `text` at `separator`, dropping empty fields. */
Fields Split(std::string_view text, char separator)
{
    Fields fields;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view field = Trim(text.substr(start, end - start));
        if (!field.empty()) fields.push_back(field);
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

bool StartsWith(const Fields& fields, std::string_view a, std::string_view b)
{
    return fields.size() >= 2 && fields[0] == a && fields[1] == b;
}

/** Stats `path` without opening it: a regular file, and its length. */
bool RegularFile(const std::string& path, int64_t& length)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    length = st.st_size;
    return S_ISREG(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

/**
 * Checks the data file `path` (or, for a relative path, the same name beside the
 * header): it must be a regular file, and uncompressed hold `bytes` from `offset`.
 */
bool CheckDataFile(const std::string& path, const std::string& headerName, uint64_t offset,
                   uint64_t bytes, bool compressed, std::string& message, IcsDataFile* data)
{
    std::vector<std::string> candidates{path};
    if (!path.empty() && path[0] != '/') candidates.push_back(FolderOf(headerName) + path);
    bool found = false;
    for (const std::string& candidate : candidates) {
        if (!Exists(candidate)) continue;
        found = true;
        int64_t length = 0;
        if (!RegularFile(candidate, length)) {
            message = "the data file " + candidate + " is not a regular file";
            return false;
        }
        uint64_t needed = 0;
        if (!compressed && (__builtin_add_overflow(offset, bytes, &needed) ||
                            uint64_t(length) < needed)) {
            message = "the data file " + candidate + " holds " + std::to_string(length) +
                      " bytes, fewer than the " + std::to_string(bytes) +
                      " bytes of image data the header gives";
            return false;
        }
        if (data) {
            data->Available = uint64_t(length) > offset ? int64_t(uint64_t(length) - offset) : 0;
            data->Compressed = compressed;
        }
    }
    if (!found) message = "the data file " + path + " is missing";
    return found;
}

} // namespace

bool CheckIcsHeader(const std::string& fileName, std::string& message, IcsDataFile* data)
{
    // libics keeps file names in buffers of 512 bytes and fails on longer ones with a
    // misleading "file open error".
    if (fileName.size() > MaxIcsName) {
        message = "the name is longer than the " + std::to_string(MaxIcsName) +
                  " bytes the ICS reader accepts";
        return false;
    }
    FileIo::File file;
    if (!file.OpenRegular(fileName, message)) return false;
    if (file.Size() > MaxHeaderBytes) {
        message = "the ICS header is larger than 1 MiB";
        return false;
    }
    std::string text(size_t(file.Size()), '\0');
    text.resize(file.ReadFully(text.data(), text.size()));
    if (text.size() < 2) {
        message = "the file is too short for an ICS header";
        return false;
    }
    // The first two characters name the field and the line separators.
    const char fieldSeparator = text[0], lineSeparator = text[1];
    if (fieldSeparator == lineSeparator) {
        message = "the ICS header has no valid separators";
        return false;
    }

    int version = 1;
    uint64_t bits = 0;
    std::vector<uint64_t> sizes;
    Fields byteOrder;
    bool compressed = false;
    std::string source;
    uint64_t sourceOffset = 0;

    // The header ends at an "end" line; what follows is image data.
    std::string_view rest = std::string_view(text).substr(2);
    int64_t headerEnd = -1;
    while (!rest.empty()) {
        const size_t end = rest.find(lineSeparator);
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const Fields fields = Split(line, fieldSeparator);
        if (fields.empty()) continue;
        if (fields.size() == 1 && fields[0] == "end") {
            headerEnd = int64_t(text.size() - rest.size());
            break;
        }

        const std::string_view last = fields.back();
        if (last == "s_params" || last == "s_states" ||
            (last.size() > 9 && (last.substr(last.size() - 9) == " s_params" ||
                                 last.substr(last.size() - 9) == " s_states"))) {
            message = "the ICS header has a sensor line without values";
            return false;
        }
        if (fields[0] == "ics_version" && fields.size() >= 2 && fields[1] == "2.0") version = 2;
        if (StartsWith(fields, "layout", "sizes")) {
            sizes.clear();
            if (fields.size() - 2 > MaxDimensions) {
                message = "the ICS header gives more than 10 sizes";
                return false;
            }
            for (size_t i = 2; i < fields.size(); ++i) {
                uint64_t value = 0;
                if (!ParseCount(fields[i], value)) {
                    message = "the ICS header gives an invalid size '" + std::string(fields[i]) + "'";
                    return false;
                }
                sizes.push_back(value);
            }
        }
        if (StartsWith(fields, "representation", "byte_order"))
            byteOrder.assign(fields.begin() + 2, fields.end());
        if (StartsWith(fields, "representation", "compression"))
            compressed = fields.size() >= 3 && fields[2] != "uncompressed";
        if (StartsWith(fields, "source", "file") && fields.size() >= 3) {
            source = std::string(fields[2]);
            sourceOffset = 0;
            if (fields.size() >= 4 && !ParseCount(fields[3], sourceOffset)) {
                message = "the ICS header gives an invalid data offset";
                return false;
            }
        }
    }

    // The first size is the number of bits of a sample.
    if (sizes.empty()) {
        message = "the ICS header gives no sizes";
        return false;
    }
    bits = sizes[0];
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
    for (std::string_view entry : byteOrder) {
        uint64_t value = 0;
        if (!ParseCount(entry, value) || value < 1 || value > sampleBytes) {
            message = "the byte order '" + std::string(entry) + "' names no byte of a " +
                      std::to_string(sampleBytes) + "-byte sample";
            return false;
        }
    }

    if (version == 2) {
        if (source.size() > MaxIcsName) {
            message = "the data file's name is longer than the ICS reader accepts";
            return false;
        }
        if (!source.empty())
            return CheckDataFile(source, fileName, sourceOffset, bytes, compressed, message, data);
        // A single file: the data follows the header's "end" line.
        if (headerEnd < 0) {
            message = "the version 2 ICS header has neither a data file nor an end line";
            return false;
        }
        return CheckDataFile(fileName, fileName, uint64_t(headerEnd), bytes, compressed, message,
                             data);
    }
    // Version 1: the data lies in NAME.ids beside the header (or a compressed copy).
    const std::string stem = fileName.substr(0, fileName.size() - 4);
    for (const char* suffix : {".ids", ".ids.gz", ".ids.Z"})
        if (Exists(stem + suffix))
            return CheckDataFile(stem + suffix, fileName, 0, bytes,
                                 compressed || std::string_view(suffix) != ".ids", message, data);
    message = "the data file " + stem + ".ids is missing";
    return false;
}
