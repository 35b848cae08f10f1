#pragma once

#include <cstdint>
#include <string>

/**
 * Checks an ICS header, and the data file it leads to, before libics reads them.
 * libics trusts its header in ways that can crash, hang or corrupt memory; this
 * refuses every such header with a reason instead:
 *
 *  - the header must be a readable regular file of at most 1 MiB;
 *  - no line may end in a "s_params" or "s_states" category without values;
 *  - the layout sizes must be plain decimal numbers (at most 10 of them), whose
 *    product in bytes does not overflow;
 *  - every byte_order entry must name a byte of the sample (1 … bytes per sample),
 *    and there may be no more entries than bytes;
 *  - the data file (NAME.ids beside a version 1 header, the "source file" of a
 *    version 2 header, or the header file itself after its "end" line) must exist as
 *    a regular file; uncompressed, it must hold the whole data from its offset on. FIFOs and devices are refused without being
 *    opened.
 *
 * Returns true when libics may be given the file; otherwise false with the reason.
 */
/** What the check learned of the data file. */
struct IcsDataFile
{
    int64_t Available = 0;   ///< bytes of the data file from the data's offset on
    bool Compressed = false; ///< the data is compressed, so Available bounds it loosely
};

/**
 * `data`, when given, receives what the check learned of the data file, so that the
 * data size libics derives can be compared with it before anything is allocated.
 */
bool CheckIcsHeader(const std::string& fileName, std::string& message,
                    IcsDataFile* data = nullptr);
