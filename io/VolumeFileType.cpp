#include "VolumeFileType.h"

#include "FileIo.h"
#include "IcsHeaderCheck.h"

#include <libics.h>
#include <libics_ll.h>

#include <cstring>
#include <string_view>
#include <utility>

namespace {

/** Enough of a file for its magic number and for the first line of an ICS header. */
constexpr size_t HeadBytes = ICS_LINE_LENGTH + 3;

/** Opens `name` and reads its head into `file`; false with the reason on failure. */
bool ReadHead(const std::string& name, FileIo::OpenedFile& file, std::string& reason)
{
    file.Name = name;
    if (!file.Handle.OpenRegular(name, reason)) return false;
    file.Head.assign(HeadBytes, '\0');
    file.Head.resize(file.Handle.ReadFully(file.Head.data(), file.Head.size()));
    if (file.Handle.Failed()) {
        reason = file.Handle.Error();
        file.Handle.Close();
        return false;
    }
    return true;
}

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool IsTiff(std::string_view head)
{
    using namespace std::string_view_literals;
    return StartsWith(head, "II*\0"sv) || StartsWith(head, "MM\0*"sv) ||
           StartsWith(head, "II+\0"sv) || StartsWith(head, "MM\0+"sv);
}

const char* PictureFormat(std::string_view head, int64_t size)
{
    using namespace std::string_view_literals;
    if (StartsWith(head, "\x89PNG\r\n\x1a\n"sv)) return "PNG";
    if (StartsWith(head, "\xff\xd8\xff"sv)) return "JPEG";
    if (head.size() >= 6 && StartsWith(head, "BM"sv)) {
        const auto byte = [&](size_t i) { return uint32_t(uint8_t(head[i])); };
        const uint32_t declared = byte(2) | byte(3) << 8 | byte(4) << 16 | byte(5) << 24;
        if (int64_t(declared) == size) return "BMP";
    }
    return nullptr;
}

/** True when `name` ends in an .ids extension, as libics recognises one. */
bool HasIdsExtension(const std::string& name)
{
    const char* extension = IcsExtensionFind(name.c_str());
    return extension && strncasecmp(extension, ".ids", 4) == 0;
}

} // namespace

VolumeFileProbe ProbeVolumeFile(const std::string& fileName)
{
    VolumeFileProbe probe;
    FileIo::OpenedFile named;
    if (!ReadHead(fileName, named, probe.Reason)) {
        probe.Type = VolumeFileType::Unreadable;
        return probe;
    }

    const bool ids = fileName.size() < ICS_MAXPATHLEN && HasIdsExtension(fileName);
    if (ids) {
        // The data half of an ICS pair: load the pair through its header, which stays
        // open with the .ids file for the check.
        char icsName[ICS_MAXPATHLEN];
        IcsGetIcsName(icsName, fileName.c_str(), 0);
        FileIo::OpenedFile header;
        std::string ignored;
        if (icsName != fileName && ReadHead(icsName, header, ignored) &&
            IsIcsHeaderStart(header.Head)) {
            probe.Type = VolumeFileType::Ics;
            probe.HeaderName = icsName;
            probe.File = std::move(header);
            probe.IdsFile = std::move(named);
            return probe;
        }
    }
    probe.File = std::move(named);
    const std::string& head = probe.File.Head;
    // libics would swap an .ids name for its .ics partner, so an ICS header under an
    // .ids name cannot be read as it stands.
    if (!ids && IsIcsHeaderStart(head)) {
        probe.Type = VolumeFileType::Ics;
        probe.HeaderName = fileName;
        return probe;
    }
    if (IsTiff(head)) {
        probe.Type = VolumeFileType::Tiff;
        return probe;
    }
    if (const char* format = PictureFormat(head, probe.File.Handle.Size())) {
        probe.Type = VolumeFileType::Picture;
        probe.Format = format;
        return probe;
    }
    probe.Type = VolumeFileType::Other;
    return probe;
}
