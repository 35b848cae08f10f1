#pragma once

#include "FileIo.h"

#include <cstdint>
#include <string>
#include <string_view>

/**
 * Checks an ICS header, and the data file it leads to, before libics reads them.
 * libics trusts its header in ways that can crash, hang or corrupt memory; this
 * refuses every such header with a reason instead. The header is read exactly as
 * libics reads it: the two separators its first bytes declare (a CR LF pair after the
 * field separator counts as LF), lines of at most 1023 bytes ending at the line
 * separator (LF lines may end in CR LF), each cut at its first NUL byte and split at
 * either separator. On that reading:
 *
 *  - the header (up to its "end" line) must lie within the first MiB of a readable
 *    regular file, and start with an "ics_version 1.0|2.0" and a "filename" line;
 *  - no line may name a "s_params" or "s_states" subcategory without anything after
 *    it, and no sensor line may declare more channels than libics has room for;
 *  - the layout sizes must be plain decimal numbers (at most 10 of them), whose
 *    product in bytes does not overflow;
 *  - every byte_order entry must name a byte of the sample (1 … bytes per sample),
 *    and there may be no more entries than bytes;
 *  - the data file (for version 1 the name libics derives from the header's, NAME.ids
 *    or a compressed copy; the "source file" of a version 2 header, as named or else
 *    beside the header; or the header file itself after its "end" line) must exist as
 *    a regular file; uncompressed, it must hold the whole data from its offset on.
 *    FIFOs and devices are refused without being opened.
 *
 * The header and the data file are checked as they were opened, and stay open in
 * IcsDataFile: a reader handed their DescriptorName reads exactly the files that were
 * checked, even when another process replaces the names meanwhile.
 */

/** The files the check opened, and what it learned of the data file. */
struct IcsDataFile
{
    /** How the data are compressed, where the data file's name says so. */
    enum class Codec
    {
        Declared, ///< as the header declares
        Gzip,     ///< a version 1 NAME.ids.gz
        Compress  ///< a version 1 NAME.ids.Z
    };

    int64_t Available = 0;   ///< bytes of the data file from the data's offset on
    bool Compressed = false; ///< the data is compressed, so Available bounds it loosely
    Codec DataCodec = Codec::Declared;
    FileIo::File Header; ///< the header checked, open for reading
    /** The data file checked, open for reading; not open when the data follow the header. */
    FileIo::File Data;
};

/**
 * Returns true when libics may be given the header `fileName`; otherwise false with
 * the reason. `data`, when given, receives the open files and what the check learned
 * of the data file, so that the data size libics derives can be compared with it
 * before anything is allocated, and libics can be handed the files that were checked.
 * The name is used as it stands (libics opened with its name forced). Messages name
 * the files as the caller and the header name them.
 */
bool CheckIcsHeader(const std::string& fileName, std::string& message, IcsDataFile* data = nullptr);

/**
 * CheckIcsHeader on a header the caller opened already, as header.Name, and of which it
 * read the first bytes: the check reads on from there and keeps the file, so the name
 * is not opened again. `known`, when given and open, is another file the caller
 * opened (an .ids name it was given): it becomes the data file, instead of its name
 * being opened again, when the header leads to that name.
 */
bool CheckIcsHeader(FileIo::OpenedFile header, std::string& message, IcsDataFile* data = nullptr,
                    FileIo::OpenedFile* known = nullptr);

/**
 * True when `head`, the first bytes of a file (its first 1 KiB suffices), starts the
 * way libics requires of an ICS header: two different separators, then a line whose
 * first two fields are "ics_version" and "1.0" or "2.0".
 */
bool IsIcsHeaderStart(std::string_view head);
